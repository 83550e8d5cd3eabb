// The inputs of the run without arguments: Control.dat, Settings.dat, the
// data file and the knots file, read into the run variables below and the
// model state (Model.h). Each reader returns an error value naming the file
// and the line; the front end prints it and ends the run.
#ifndef RUNINPUT_H
#define RUNINPUT_H

#include "Error.h"
#include "TextInput.h"

#include <string>
#include <vector>

constexpr int kBufferSize = 200;  // words, titles and paths hold at most 199 characters

extern char Directory[kBufferSize];
extern char Inputfile[kBufferSize];
extern char Title[kBufferSize];
extern char Shorttitle[kBufferSize];
extern int Jdefault;
extern int Nout;
extern double Spacing;

extern const char *const kControlFile;
extern const char *const kSettingsFile;

// Control.dat and Settings.dat from the working directory.
rating::Status read_control();
rating::Status read_settings();
// The data file: title, observations ordered by stage, the stage range.
rating::Status read_observations();
// Whether the last read_observations opened the data file: its title is then
// in Title and Shorttitle, even when a later line was refused.
bool observations_opened();
// The knots file or automatic placement; interval widths and coefficient matrix.
rating::Status place_knots();
// Whether the last place_knots found no knots file and took Jdefault
// intervals (whether or not Jdefault was then refused).
bool default_knots();
// The line of the data file of each observation, in the order of h[1..N]
// (element 0 unused).
std::vector<LineNumber> gauging_lines();
// Qnu = Q^nu; refuses an exponent nu for which some Q^nu is not a finite
// number, or for which every Q^nu is the same although the discharges differ.
rating::Status transform_discharges();

// "<Directory>/<Inputfile>.<extension>"; read_control has made sure it fits
// the 199 characters of a path.
std::string data_set_path(const char *extension);

#endif
