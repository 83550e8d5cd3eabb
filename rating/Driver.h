// The run from start to end: configuration, observations, knots, the fit and
// the result files. Each step works on the run variables below and on the
// model state; a wrong input ends the run with a message naming the file.
#ifndef DRIVER_H
#define DRIVER_H

#include "LeastSquares.h"
#include "Report.h"
#include "TextInput.h"

#include <cstdio>
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
extern double *x;     // the fitted parameters x[1..NN]
extern int iter;      // Powell's iteration count
extern double fret;   // the sum of squares at x
extern long Tstart;   // processor clock at the start and the end of the run
extern long Tend;

enum class Solver {
    minimiser,  // Powell's minimiser, its result checked against the least-squares curve
    exact,      // the least-squares curve directly
};

struct RunOptions {
    Solver solver = Solver::minimiser;
    bool report = false;  // the fit report beside the result files
};

// The whole run in the working folder; returns the exit code of a complete
// run (every failure ends the process on its own).
int run(const RunOptions &options = RunOptions());

// The steps of the run, in the order run() takes them.

// Control.dat and Settings.dat from the working directory.
void read_control();
void read_settings();
// The data file: title, observations ordered by stage, the stage range.
void read_observations();
// The knots file or automatic placement; interval widths and coefficient matrix.
void place_knots();
// The line of the data file of each observation, in the order of h[1..N]
// (element 0 unused).
std::vector<LineNumber> gauging_lines();
// Qnu = Q^nu; refuses an exponent nu for which some Q^nu is not a finite
// number, or for which every Q^nu is the same although the discharges differ.
void transform_discharges();
// Powell's minimisation from the zero vector along the unit directions; c
// then holds the fitted curve.
void fit_curve();
// The least-squares curve of the same model, solved exactly.
void solve_least_squares();
const SplineFit &least_squares_fit();
// Which curve the result table is written from: the least-squares curve with
// the exact solver, or when the minimiser's sum of squares lies more than
// 1e-12 of the spread of Q^nu above the least one (which replaces the
// minimiser's curve: true then), else the minimiser's. A minimiser's sum at
// the level of rounding (at most 1e-24 of the sum of the squared Q^nu), or
// every Q^nu the same, leaves the minimiser's curve. Needs fit_curve
// (minimiser) and solve_least_squares.
bool choose_written_curve(Solver solver);
// The stage of row i of the result table: hmin + hrange (i / Nout)^Spacing.
double table_stage(long i);
// The curve the result table is written from, as Q^nu at a stage.
double curve_value(double stage);
// The discharge of a value of Q^nu as the result table writes it: with nu
// above 0 a negative value counts as 1e-10; with nu below 0 a value at or
// below 0 has no discharge (nan).
double discharge_of(double value);
// The content of each result file; the report of the knots goes to the
// console. A stage of the table is written with five significant digits, or
// as many more as bring it within 1e-3 of the stage range of its value and
// set it apart from its neighbours; the stages of the plot settings with
// three, or as many more as bring them as close.
void write_source_plt(std::FILE *out);
void write_result_table(std::FILE *out);
void write_plot_settings(std::FILE *out);
// What the report is made from, once the result table is written.
ReportInput report_input(bool exact_solver, bool replaced);
// The four files of the report, beside the result table: opened before the
// fit, so that one that cannot be written is refused before the work, and
// written after it for the result table of the given digest. When the
// report has no bands, the commit removes an earlier band file.
struct ReportFiles {
    std::FILE *gaugings = nullptr;
    std::FILE *band = nullptr;
    std::FILE *summary = nullptr;
    std::FILE *text = nullptr;
};
ReportFiles open_report_files();
void write_report(const ReportFiles &files, bool exact_solver, bool replaced, const std::string &results_sha256);
// Locks the data file against other runs on the data set (saying so while
// it waits, refusing after a minute), then completes or undoes a commit of
// an earlier run that was cut short (<folder>/<name>.journal) and names that
// journal for this run's commit.
void lock_data_set();
// The processor time and the closing pause.
void finish_run();

#endif
