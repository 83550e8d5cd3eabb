// The command `rating fit FILE [options]`: a rating curve fitted to one
// station of a gauging file (CSV or NWIS field measurements), written with
// its report into an output folder. The options and the writing of one
// station's files are shared with `rating batch`.
#ifndef FITCOMMAND_H
#define FITCOMMAND_H

#include "Fit.h"
#include "GaugingFile.h"

#include <CLI/CLI.hpp>

#include <string>

// The options of a fit as given on the command line.
struct FitOptions {
    rating::ReadOptions read;
    std::string delimiter;
    std::string uncertainty_unit = "sd";
    std::string nu = "0.5";
    std::string nu_grid = "0.1:1:0.05";
    int degree = 3;
    std::string intervals = "auto";
    int max_intervals = 30;
    std::string knots;
    std::string weights = "auto";
    bool increasing = true;
};

// Adds the options every fitting command takes.
void add_fit_options(CLI::App &app, FitOptions &options);

// The read options and fit settings of the options given; an error (exit 2)
// for a value CLI11 cannot check on its own.
rating::Result<rating::FitSettings> fit_settings_of(FitOptions &options);

// Parses the command line of a fitting command named `name` into the
// settings. Returns -1 to go on, or the exit code to end with: 0 after the
// help, 2 after an unknown option or a wrong value (the usage printed).
int parse_fit_command(CLI::App &app, FitOptions &options, int argc, char **argv, const char *name,
                      rating::FitSettings &settings);

// The name a station's files get: its id, or the file's base name without
// its extension for a file of one station without an id, made safe.
std::string station_file_name(const rating::Station &station, const std::string &path);

// argv[0] is "fit"; returns the exit code.
int fit_command(int argc, char **argv);

#endif
