// Fits a stage-discharge rating curve to a gauge's field measurements.
// Run in a folder holding Control.dat and Settings.dat; without options it
// makes the run those files describe.
#include "Driver.h"
#include "Version.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

int main(int argc, char **argv)
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
