// fuzz_harness KIND INPUT: runs the program's real steps with the file KIND
// (control, settings, data or knots) replaced by the bytes of INPUT, in a
// scratch folder of its own that holds valid Control.dat, Settings.dat and
// data file and no knots file (automatic knots) unless KIND is knots.
//
// Built with afl-clang-fast++ it is the target of AFL++ in fork-server mode:
// the scratch folder and the valid files are made once, before the fork
// point, and every forked child writes its input and makes the program's
// run (run() of the driver). The run's error paths call exit(),
// which ends only that child; a sanitizer report aborts it, and that is
// what the fuzzer counts as a crash. Built with the ordinary compiler it
// replays one input, which is how the regression inputs are tested.
//
// The options of the run come from the input's length, so that one campaign
// covers them all: an odd length runs the exact solver, and every other pair
// of lengths writes the report (--report).
//
// Two limits keep the fuzzer inside its folder and its time: a Control.dat
// that names an absolute folder or one with ".." in it is not followed, and
// settings with more than 1000 output rows are not run (read_control and
// read_settings parse them first, as the run does again).
#include "Driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kValidControl = "g s\n";
const char *const kValidSettings = "Fuzz settings\n0.5 nu\n3 Jdefault\n2 M\n4 Nout\n1 Spacing\n";
const char *const kValidData =
    "# Fuzz gauge\n0.42 1.1\n0.55 2.0\n0.61 2.6\n0.80 4.9\n0.93 6.3\n1.10 8.8\n1.22 10.9\n1.40 14.2\n"
    "1.63 18.8\n1.85 23.9\n2.10 30.5\n2.41 39.6\n";

std::string scratch;
bool replay = false;

bool put(const std::string &path, const std::string &text)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

bool slurp(const char *path, std::string &text)
{
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, got);
    std::fclose(f);
    return true;
}

// Removes every entry of a folder except the names given.
void clear_folder(const std::string &dir, const char *keep1, const char *keep2, const char *keep3)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (const dirent *e = readdir(d)) {
        const char *name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        if ((keep1 != nullptr && std::strcmp(name, keep1) == 0) || (keep2 != nullptr && std::strcmp(name, keep2) == 0) ||
            (keep3 != nullptr && std::strcmp(name, keep3) == 0))
            continue;
        std::remove((dir + "/" + name).c_str());
    }
    closedir(d);
}

void remove_scratch()
{
    clear_folder(scratch + "/g", nullptr, nullptr, nullptr);
    rmdir((scratch + "/g").c_str());
    clear_folder(scratch, nullptr, nullptr, nullptr);
    rmdir(scratch.c_str());
}

bool outside_scratch(const char *word)
{
    return word[0] == '/' || std::strstr(word, "..") != nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_harness control|settings|data|knots INPUT\n");
        return 2;
    }
    const std::string kind = argv[1];
    const char *target = kind == "control"    ? "Control.dat"
                         : kind == "settings" ? "Settings.dat"
                         : kind == "data"     ? "g/s.dat"
                         : kind == "knots"    ? "g/s.knots"
                                              : nullptr;
    if (target == nullptr) {
        std::fprintf(stderr, "fuzz_harness: unknown file kind %s\n", argv[1]);
        return 2;
    }

    // Under the fuzzer every child shares the one folder, which the fuzzer's
    // own run script removes; a replay removes its folder itself.
    replay = std::getenv("__AFL_SHM_ID") == nullptr;
    const char *base = std::getenv("FUZZ_SCRATCH");
    if (base == nullptr || *base == '\0')
        base = std::getenv("TMPDIR");
    scratch = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/rating-fuzz-XXXXXX";
    if (mkdtemp(scratch.data()) == nullptr || mkdir((scratch + "/g").c_str(), 0755) != 0) {
        std::fprintf(stderr, "fuzz_harness: cannot make a scratch folder\n");
        return 2;
    }
    if (replay)
        std::atexit(remove_scratch);
    if (!put(scratch + "/Control.dat", kValidControl) || !put(scratch + "/Settings.dat", kValidSettings) ||
        !put(scratch + "/g/s.dat", kValidData)) {
        std::fprintf(stderr, "fuzz_harness: cannot write the valid files\n");
        return 2;
    }
    // The input is read after the fork point, from inside the scratch folder.
    std::string input_path = argv[2];
    if (input_path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return 2;
        input_path = std::string(cwd) + "/" + input_path;
    }
    if (chdir(scratch.c_str()) != 0)
        return 2;
    // The closing pause and the pause of a missing file read end-of-file.
    if (std::freopen("/dev/null", "r", stdin) == nullptr)
        return 2;

#ifdef __AFL_HAVE_MANUAL_CONTROL
    __AFL_INIT();
#endif

    std::string input;
    if (!slurp(input_path.c_str(), input)) {
        std::fprintf(stderr, "fuzz_harness: cannot read %s\n", input_path.c_str());
        return 2;
    }
    // Results of earlier children, and files a timed-out child left behind.
    clear_folder(scratch, "Control.dat", "Settings.dat", "g");
    clear_folder(scratch + "/g", "s.dat", "s.knots", nullptr);
    if (!put(target, input))
        return 2;

    RunOptions options;
    options.solver = input.size() % 2 == 1 ? Solver::exact : Solver::minimiser;
    options.report = input.size() / 2 % 2 == 1;
    // A refused Control.dat or Settings.dat is refused again by the run,
    // which reports it.
    if (!read_control())
        return run(options);
    if (outside_scratch(Directory) || outside_scratch(Inputfile))
        return 0;
    if (!read_settings())
        return run(options);
    if (Nout > 1000)
        return 0;
    return run(options);
}
