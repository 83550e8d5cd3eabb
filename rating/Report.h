// The fit report: how the gaugings sit around the written curve, how well
// the curve is determined, and its 95 % confidence and prediction bands.
//
// The figures are made from a ReportInput, which the run fills, and written
// as four files: the gaugings (CSV), the bands at the stages of the result
// table (CSV), the figures for programs (JSON) and the same for a person
// (text). Every failed write ends the run through result_write_failed.
//
// Each file names the results it belongs to by their SHA-256 digest (a CSV
// file in a first line "# results sha256 <digest>", the JSON file under
// "results_sha256", the text in its header), so that a file left from an
// earlier run is known as such whatever its time.
#ifndef REPORT_H
#define REPORT_H

#include "LeastSquares.h"
#include "StageRanges.h"
#include "TextInput.h"

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using rating::StageRanges;
using rating::ranges_text;

struct ReportRow {
    double stage = 0.0;
    double value = 0.0;              // the written curve's Q^nu
    double leverage = 0.0;
    double best_discharge = 0.0;
    double minimiser_discharge = 0.0;
};

struct ReportInput {
    // The data set and the settings.
    std::string data_file;        // as named in messages
    std::string title;            // the short title
    std::string results_file;     // the results the report belongs to, as named in messages,
    std::string results_sha256;   // and their digest ("" when there is none)
    double nu = 0.0;
    int degree = 0;               // M
    bool listed_knots = false;    // knot stages from the knots file
    std::vector<double> knots;    // Y[1..J+1]
    bool exact_solver = false;    // the run skipped the minimiser
    bool replaced = false;        // the least-squares curve replaced the minimiser's

    // The gaugings, ordered by stage (the report takes equal stages in the
    // order of their lines), with the written curve's Q^nu at each and its
    // discharge by the table's rule.
    std::vector<LineNumber> lines;
    std::vector<double> h;
    std::vector<double> Q;
    std::vector<double> Qnu;
    std::vector<int> interval;    // 1..J
    std::vector<double> fitted;
    std::vector<double> fitted_discharge;

    // The least-squares curve of the model: its coefficients, sum of squares
    // and where the gaugings do not determine it.
    int p = 0;
    double sse_optimum = 0.0;
    bool determined = true;
    StageRanges undetermined;
    // The minimiser's sum of squares (not with the exact solver).
    double minimiser_sse = 0.0;

    // The rows of the result table: the written curve there, the variance
    // factor x(h)' (X'X)^-1 x(h) of the least-squares fit, and the discharges
    // of the least-squares and of the minimiser's curve by the table's rule.
    std::vector<ReportRow> rows;

    // What the result table showed.
    long long clamped_rows = 0;
    StageRanges decreasing;
};

struct GaugingFigures {
    LineNumber line;
    double h, Q, Q_fit, deviation_pct, residual_nu;
    int interval;
    bool outlier;
};

// Every figure of the report; NaN stands for a figure that does not exist
// (null in JSON).
struct FitFigures {
    int n = 0;                      // gaugings
    int p = 0;                      // coefficients of the curve
    // The curve passes through the gaugings: the least sum of squares is at
    // the level of rounding (at most 1e-24 of the sum of the squared Q^nu, or
    // every Q^nu the same). The deviations then say nothing of the gaugings,
    // so no sign or runs test, no outliers and no excess of the minimiser's
    // sum are reported.
    bool passes_through = false;
    double sse_nu = 0.0;            // sum of squares of the written curve, in Q^nu
    double sse_nu_optimum = 0.0;    // that of the least-squares curve
    double minimiser_excess = 0.0;  // (minimiser's - least) / least
    double max_curve_difference_pct = 0.0;
    double rmse_q = 0.0;
    double standard_error_pct = 0.0;
    double mean_deviation_pct = 0.0;
    double max_abs_deviation_pct = 0.0;
    int sign_plus = 0;
    int sign_minus = 0;
    double sign_test_p = 0.0;
    int runs = 0;
    double runs_expected = 0.0;     // the mean number of runs of signs in random order
    double runs_test_p = 0.0;       // one-sided: the chance of as few runs as these
    int outliers = 0;
    int excluded_from_log = 0;
    std::vector<int> gaugings_per_interval;
    std::vector<GaugingFigures> gaugings;  // by stage, equal stages by line
    // The bands: available when the gaugings determine the curve, exceed its
    // coefficients, and s and every band limit in Q^nu are finite numbers;
    // otherwise why not.
    bool band = false;
    std::string no_band_reason;
    double s_nu = 0.0;              // standard deviation of a gauging about the curve, in Q^nu
    double t_quantile = 0.0;        // Student's t at 0.975 with n - p degrees of freedom
};

FitFigures figure_fit(const ReportInput &in);

// Half widths in Q^nu of the 95 % confidence band of the curve and of the
// prediction band of a new gauging at a stage whose variance factor
// x(h)' (X'X)^-1 x(h) is `leverage` (from the factor of the least-squares
// fit, never from an inverted normal matrix).
void band_half_widths(double leverage, double s_nu, double t_quantile, double &conf, double &pred);

// Student's t quantile at 0.975 for the degrees of freedom.
double t_quantile_975(int degrees_of_freedom);

// The discharge of a value y of Q^nu by the rule of the result table: with
// nu above 0 a negative value counts as 1e-10; with nu below 0 a value at or
// below 0 has no discharge (NaN).
double table_discharge(double nu, double y);

// The fewest significant digits, from `least` to 17, with which "%.*g" writes
// the stage within `tolerance` of its value (17 always reads back exactly).
// The run writes stages within 1e-3 of the stage range.
int stage_digits(double stage, int least, double tolerance);

// The text with each byte that is not part of a valid UTF-8 sequence replaced
// by U+FFFD; `replaced` tells whether there was one. JSON holds only UTF-8.
std::string valid_utf8(const std::string &text, bool &replaced);

// A CSV field (RFC 4180) that reads back as the text, whatever bytes it
// holds: quoted, with quotes doubled, when it holds a comma, a quote, a line
// end or blanks at an end.
std::string csv_field(const std::string &text);

void write_gaugings_csv(std::FILE *out, const ReportInput &in, const FitFigures &f);
// Only for figures with a band.
void write_band_csv(std::FILE *out, const ReportInput &in, const FitFigures &f);
void write_summary_json(std::FILE *out, const ReportInput &in, const FitFigures &f);
void write_report_text(std::FILE *out, const ReportInput &in, const FitFigures &f);

#endif
