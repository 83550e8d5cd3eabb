// The run from start to end: configuration, observations, knots, the fit and
// the result files. Each step works on the run variables below and on the
// model state; a wrong input ends the run with a message naming the file.
#ifndef DRIVER_H
#define DRIVER_H

constexpr int kBufferSize = 200;  // words, titles and paths hold at most 199 characters

extern char Directory[kBufferSize];
extern char Inputfile[kBufferSize];
extern char Path[kBufferSize];
extern char Title[kBufferSize];
extern char Shorttitle[kBufferSize];
extern int Jdefault;
extern int Nout;
extern double Spacing;
extern double *x;
extern double **A;
extern int iter;
extern double fret;

// Control.dat and Settings.dat from the working directory.
void read_control();
void read_settings();
// Source.plt in the working directory.
void write_source_plt();
// The data file: title, observations ordered by stage, the stage range.
void read_observations();
// The knots file or automatic placement; interval widths and coefficient matrix.
void place_knots();
// The two ways of cutting the ordered observations into intervals: by the
// knots Y[1..J+1] (an observation at a knot goes to the interval above it),
// or automatically into Jknot intervals of equal counts, setting J and Y.
void assign_by_knots();
void place_automatic();
// The fit, the result file, the plot settings file and the knot report.
void fit_and_write_results();
// The processor time and the closing pause.
void finish_run();

#endif
