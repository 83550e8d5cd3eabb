#include "ResultTable.h"

#include "Driver.h"
#include "LeastSquares.h"
#include "Model.h"
#include "Report.h"
#include "ResultFile.h"
#include "RunInput.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TableNotes table_notes;

const char *const kSourceFile = "Source.plt";

namespace {

// A stage of the result table as text.
struct StageText {
    char text[32];
    bool equals(const StageText &other) const { return std::strcmp(text, other.text) == 0; }
};

StageText stage_text(double stage, int digits)
{
    StageText t;
    std::snprintf(t.text, sizeof t.text, "%.*g", digits, stage);
    return t;
}

// The stage with the fewest significant digits, from `least` up to 17, at
// which it differs from each neighbour given, the neighbours written with as
// many digits.
StageText distinct_stage_text(double stage, const double *below, const double *above, int least)
{
    constexpr int kMostDigits = 17;
    for (int digits = least; digits < kMostDigits; digits++) {
        const StageText t = stage_text(stage, digits);
        if ((below == nullptr || !t.equals(stage_text(*below, digits))) &&
            (above == nullptr || !t.equals(stage_text(*above, digits))))
            return t;
    }
    return stage_text(stage, kMostDigits);
}

} // namespace

void write_source_plt(std::FILE *out)
{
    write_result(out, "# Control file for single plots\n");
    write_result(out, "\nName=\"%s\"", Inputfile);
    write_result(out, "\nFolder=\"%s\"", Directory);
}

double table_stage(long i)
{
    return std::pow(static_cast<double>(i) / Nout, Spacing) * hrange + hmin;
}

double curve_value(double stage)
{
    return write_least_squares ? spline_value(exact_fit, stage) : P(stage);
}

double discharge_of(double value)
{
    return table_discharge(nu, value);
}

void write_result_table(std::FILE *out)
{
    write_result(out, "%s", Title);
    write_result(out, "\n# Computed rating curve");
    write_result(out, "\n# h ");
    write_result(out, "nu =%6.3f ", nu);
    write_result(out, "\n");

    table_notes = TableNotes();
    // Each stage is written within 1e-3 of the stage range of its value, with
    // five significant digits where they reach that, and apart from its
    // neighbours.
    const double tolerance = 1e-3 * hrange;
    double below = 0.0;
    double stage = table_stage(0);
    double above = 0.0;
    StageText text_below{};
    StageText text = stage_text(stage, 5);
    StageText text_above{};
    double Q_below = 0.0;  // as written
    bool clamped_below = false;
    for (long i = 0; i <= Nout; i++) {
        const bool last = i == Nout;
        if (!last) {
            above = table_stage(i + 1);
            text_above = stage_text(above, 5);
        }
        const bool five = std::fabs(std::strtod(text.text, nullptr) - stage) <= tolerance;
        const int digits = five ? 5 : stage_digits(stage, 6, tolerance);
        const StageText own = five ? text : stage_text(stage, digits);
        const bool clash_below = i > 0 && own.equals(five ? text_below : stage_text(below, digits));
        const bool clash_above = !last && own.equals(five ? text_above : stage_text(above, digits));
        const StageText written = clash_below || clash_above
                                      ? distinct_stage_text(stage, i > 0 ? &below : nullptr,
                                                            last ? nullptr : &above, digits + 1)
                                      : own;

        const double t1 = curve_value(stage);
        const double Qout = discharge_of(t1);
        const bool clamped = nu > 0.0 ? t1 < 0.0 : !(t1 > 0.0);
        if (clamped) {
            table_notes.clamped_rows++;
            // One range for the rows that follow one another.
            rating::add_range(nu > 0.0 ? table_notes.below_zero : table_notes.no_discharge,
                          i > 0 && clamped_below ? below : stage, stage);
        }
        char discharge[32];
        std::snprintf(discharge, sizeof discharge, "%.5g", Qout);
        const double Q_written = std::strtod(discharge, nullptr);
        if (i > 0 && Q_written < Q_below)
            rating::add_range(table_notes.decreasing, below, stage);
        write_result(out, "\n%s\t%s", written.text, discharge);

        below = stage;
        text_below = text;
        Q_below = Q_written;
        clamped_below = clamped;
        stage = above;
        text = text_above;
    }
}

void write_plot_settings(std::FILE *out)
{
    write_result(out, "Title = \"%s\"", Shorttitle);
    if (Jknot < 0) {
        std::printf("\n\nKnot points from file: %d intervals\n", J);
        write_result(out, "\nSpline_label = ' - sploines: %d intervals, knot stages from file'", J);
    } else {
        std::printf("\n\nKnot points automatic: %d intervals\n", J);
        write_result(out, "\nSpline_label = ' - splines: %d intervals, knot stages automatic'", J);
    }
    // Three significant digits, or as many more as bring the stage within
    // 1e-3 of the stage range, as the table's stages.
    write_result(out, "\nhmin = %.*g", stage_digits(h[1], 3, 1e-3 * hrange), h[1]);
    write_result(out, "\nhmax = %.*g", stage_digits(h[N], 3, 1e-3 * hrange), h[N]);
    write_result(out, "\nQmin = %.5g", Q[1]);
    write_result(out, "\nQmax = %.5g", Q[N]);
}
