// The fit report: how the gaugings sit around the written curve, how well
// the curve is determined, and its 95 % confidence and prediction bands.
//
// The figures are made from a ReportInput, which the run fills, and written
// as four files: the gaugings (CSV), the bands at the stages of the result
// table (CSV), the figures for programs (JSON) and the same for a person
// (text). Every failed write ends the run through result_write_failed.
#ifndef REPORT_H
#define REPORT_H

#include "LeastSquares.h"
#include "TextInput.h"

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using StageRanges = std::vector<std::pair<double, double>>;

struct ReportInput {
    // The data set and the settings.
    std::string data_file;        // as named in messages
    std::string title;            // the short title
    double nu = 0.0;
    int degree = 0;               // M
    bool listed_knots = false;    // knot stages from the knots file
    std::vector<double> knots;    // Y[1..J+1]
    long nout = 0;                // the table has nout + 1 rows,
    std::function<double(long)> table_stage;  // row i at this stage
    bool exact_solver = false;    // the run skipped the minimiser
    bool replaced = false;        // the least-squares curve replaced the minimiser's

    // The gaugings, in stage order.
    std::vector<LineNumber> lines;
    std::vector<double> h;
    std::vector<double> Q;
    std::vector<double> Qnu;
    std::vector<int> interval;    // 1..J

    // The written curve as Q^nu at a stage, and the table's discharge of a
    // value of Q^nu.
    std::function<double(double)> curve;
    std::function<double(double)> discharge;
    // The minimiser's curve and sum of squares (none with the exact solver).
    std::function<double(double)> minimiser_curve;
    double minimiser_sse = 0.0;
    const SplineFit *least_squares = nullptr;

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
    double runs_test_p = 0.0;
    int outliers = 0;
    int excluded_from_log = 0;
    std::vector<int> gaugings_per_interval;
    std::vector<GaugingFigures> gaugings;
    // The bands: available when the gaugings determine the curve and exceed
    // its coefficients; otherwise why not.
    bool band = false;
    std::string no_band_reason;
    double s_nu = 0.0;              // standard deviation of a gauging about the curve, in Q^nu
    double t_quantile = 0.0;        // Student's t at 0.975 with n - p degrees of freedom
};

FitFigures figure_fit(const ReportInput &in);

// The ranges joined by ", ", each written with `format` (two %g), or with
// `single` (one %g), when given, where a range holds one stage.
std::string ranges_text(const char *format, const char *single, const StageRanges &ranges);

// Half widths in Q^nu of the 95 % confidence band of the curve and of the
// prediction band of a new gauging at stage h, from the factor of the
// least-squares fit (never from an inverted normal matrix).
void band_half_widths(const SplineFit &fit, double s_nu, double t_quantile, double h, double &conf,
                      double &pred);

// Student's t quantile at 0.975 for the degrees of freedom.
double t_quantile_975(int degrees_of_freedom);

void write_gaugings_csv(std::FILE *out, const FitFigures &f);
// Only for figures with a band.
void write_band_csv(std::FILE *out, const ReportInput &in, const FitFigures &f);
void write_summary_json(std::FILE *out, const ReportInput &in, const FitFigures &f);
void write_report_text(std::FILE *out, const ReportInput &in, const FitFigures &f);

#endif
