// The run from start to end: configuration, observations, knots, the fit and
// the result files. The inputs are read by RunInput, the result files
// written by ResultTable; each step works on the run variables and on the
// model state. The run prints a refused input's message and ends with its
// exit code.
#ifndef DRIVER_H
#define DRIVER_H

#include "LeastSquares.h"
#include "Report.h"
#include "ResultTable.h"
#include "RunInput.h"

#include <cstdio>
#include <string>

extern double *x;     // the fitted parameters x[1..NN]
extern int iter;      // Powell's iteration count
extern double fret;   // the sum of squares at x
extern long Tstart;   // processor clock at the start and the end of the run
extern long Tend;
// The least-squares curve, and whether the result table is written from it
// rather than from the minimiser's c.
extern SplineFit exact_fit;
extern bool write_least_squares;

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

// The steps of the run after its inputs (RunInput.h), in the order run()
// takes them.

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
