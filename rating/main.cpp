// Fits a stage-discharge rating curve to a gauge's field measurements.
// Run in a folder holding Control.dat and Settings.dat; without a command it
// makes the run those files describe. The commands fit, batch, table and
// apply work on gauging files and curve files named on the command line.
#include "ApplyCommand.h"
#include "BatchCommand.h"
#include "Driver.h"
#include "FitCommand.h"
#include "TableCommand.h"
#include "Version.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <malloc.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The argument that gives a flag a value ("--report=yes"), or null. CLI11
// would take such a value as the flag's setting; a flag takes none.
const char *flag_given_a_value(const CLI::App &app, int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--")
            break;
        const std::size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") != 0 || equals == std::string::npos)
            continue;
        const CLI::Option *option = app.get_option_no_throw(arg.substr(0, equals));
        if (option != nullptr && option->get_expected_max() == 0)
            return argv[i];
    }
    return nullptr;
}

// The run that Control.dat and Settings.dat describe, with its options.
int run_without_command(int argc, char **argv)
{
    CLI::App app("Fits a stage-discharge rating curve to the field measurements named in Control.dat, "
                 "with the settings of Settings.dat, both in the working folder.",
                 "rating");
    app.set_version_flag("--version", std::string("rating ") + kVersion);
    RunOptions options;
    std::string solver = "minimiser";
    app.add_option("--solver", solver,
                   "minimiser: the derivative-free minimiser, its curve checked against the least-squares "
                   "curve (the default); exact: the least-squares curve directly")
        ->check(CLI::IsMember({"minimiser", "exact"}))
        ->option_text("minimiser|exact");
    app.add_flag("--report", options.report,
                 "also write the fit report: <name>.gaugings.csv, .band.csv, .summary.json and .report.txt");
    try {
        if (const char *arg = flag_given_a_value(app, argc, argv))
            throw CLI::ArgumentMismatch(std::string(arg, std::strchr(arg, '=')) + " is a flag and takes no value: " +
                                        arg);
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion &e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "rating: %s\n\n%s", e.what(), app.help().c_str());
        return 2;
    }
    options.solver = solver == "exact" ? Solver::exact : Solver::minimiser;
    return run(options);
}

// The commands that read gauging files fill a few megabytes of fresh memory,
// and where the first touch of each 4 KB page traps into the kernel (on a
// virtual machine, several microseconds a page) that costs more than the
// work. The heap is therefore grown once by a reserve that freed blocks
// return to, large blocks included, starting at a 2 MB boundary, and the
// reserve is asked for 2 MB pages. Where the system gives none, this changes
// nothing but the reserve.
void prepare_heap()
{
    constexpr std::size_t kReserve = std::size_t{24} << 20;
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto huge_page_up = [](std::uintptr_t a) { return (a + kHugePage - 1) & ~(kHugePage - 1); };
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the most the allocator takes
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kReserve));
    mallopt(M_TOP_PAD, static_cast<int>(kReserve / 8));
    // The allocator's next growth begins where the break then is, even one
    // moved by another. It is moved to just below a boundary, so that the
    // allocator's own header of the reserve lies below it: a 2 MB page is
    // made only where nothing has touched the memory before the advice.
    constexpr std::uintptr_t kHeader = 32;
    const auto end = reinterpret_cast<std::uintptr_t>(sbrk(0));
    const std::uintptr_t start = huge_page_up(end + kHeader) - kHeader;
    if (end == static_cast<std::uintptr_t>(-1) ||
        (start > end && sbrk(static_cast<std::intptr_t>(start - end)) == reinterpret_cast<void *>(-1)))
        return;
    void *block = std::malloc(kReserve);
    if (block == nullptr)
        return;
    const std::uintptr_t first = start + kHeader;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(sbrk(0)) & ~(kHugePage - 1);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
    std::free(block);
}

} // namespace

int main(int argc, char **argv)
{
    // Nothing may end the program without a message: whatever throws ends it
    // with one, exit code 1, and the result files as they were.
    try {
        if (argc > 1) {
            const std::string command = argv[1];
            if (command == "fit" || command == "batch")
                prepare_heap();
            if (command == "fit")
                return fit_command(argc - 1, argv + 1);
            if (command == "batch")
                return batch_command(argc - 1, argv + 1);
            if (command == "table")
                return table_command(argc - 1, argv + 1);
            if (command == "apply")
                return apply_command(argc - 1, argv + 1);
        }
        return run_without_command(argc, argv);
    } catch (const std::bad_alloc &) {
        std::printf("\nError: out of memory\n");
    } catch (const std::exception &e) {
        std::printf("\nError: %s\n", e.what());
    } catch (...) {
        std::printf("\nError: an unexpected failure ended the run\n");
    }
    return 1;
}
