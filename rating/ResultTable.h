// The result files of the run without arguments: the table of the curve
// (<name>.res), its plot settings (<name>.plt) and Source.plt, written from
// the run variables (RunInput.h), the model state (Model.h) and the curve
// the run chose (Driver.h).
#ifndef RESULTTABLE_H
#define RESULTTABLE_H

#include "StageRanges.h"

#include <cstdio>

// What the last result table showed beyond its rows.
struct TableNotes {
    long long clamped_rows = 0;        // rows whose model value had no discharge as it stood
    rating::StageRanges below_zero;    // stages where Q^nu is below 0, written with the floor's discharge (nu above 0)
    rating::StageRanges no_discharge;  // stages written as nan (negative nu)
    rating::StageRanges decreasing;    // stages where the written discharge falls as the stage rises
};

extern TableNotes table_notes;

extern const char *const kSourceFile;

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

#endif
