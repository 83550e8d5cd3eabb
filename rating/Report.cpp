#include "Report.h"

#include "ResultFile.h"

#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

void put(std::FILE *out, const std::string &text)
{
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size())
        result_write_failed(out);
}

// One row of a CSV file, built without formatted output, which would take
// most of the report's time.
struct CsvRow {
    char text[512];
    char *end = text;

    // The number as "%.10g" writes it (the same text, to the byte), then the
    // separator.
    void add(double v, char separator)
    {
        end = std::to_chars(end, text + sizeof text - 1, v, std::chars_format::general, 10).ptr;
        *end++ = separator;
    }

    void add(long long v, char separator)
    {
        end = std::to_chars(end, text + sizeof text - 1, v).ptr;
        *end++ = separator;
    }

    void write(std::FILE *out)
    {
        const std::size_t size = static_cast<std::size_t>(end - text);
        if (std::fwrite(text, 1, size, out) != size)
            result_write_failed(out);
        end = text;
    }
};

// Two-sided p of the sign test: of n signs, k the rarer, each sign equally likely.
double sign_test(int plus, int minus)
{
    const int n = plus + minus;
    if (n == 0)
        return kNone;
    const boost::math::binomial_distribution<double> signs(n, 0.5);
    return std::min(1.0, 2.0 * boost::math::cdf(signs, std::min(plus, minus)));
}

// Two-sided p of the runs test, in the normal approximation of the number of
// runs of n1 plus and n2 minus signs in random order.
double runs_test(int runs, int n1, int n2)
{
    if (n1 == 0 || n2 == 0)
        return kNone;
    const double n = n1 + n2;
    const double products = 2.0 * n1 * n2;
    const double mean = products / n + 1.0;
    const double variance = products * (products - n) / (n * n * (n - 1.0));
    if (!(variance > 0.0))
        return kNone;
    const double z = (runs - mean) / std::sqrt(variance);
    const boost::math::normal_distribution<double> standard;
    return 2.0 * boost::math::cdf(boost::math::complement(standard, std::fabs(z)));
}

nlohmann::json number(double v)
{
    return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr);
}

nlohmann::json ranges(const StageRanges &r)
{
    nlohmann::json list = nlohmann::json::array();
    for (const auto &range : r)
        list.push_back({range.first, range.second});
    return list;
}

std::string format(const char *pattern, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, v);
    return text;
}

// "0.0901", or "none" for a figure that does not exist.
std::string figure(const char *pattern, double v)
{
    return std::isfinite(v) ? format(pattern, v) : std::string("none");
}

// "4.06 %", or "none".
std::string percent(double v)
{
    return std::isfinite(v) ? format("%.3g", v) + " %" : std::string("none");
}

std::string stage_ranges(const StageRanges &r)
{
    return ranges_text("%g to %g", nullptr, r);
}

} // namespace

std::string ranges_text(const char *format, const char *single, const StageRanges &ranges)
{
    std::string text;
    char one[160];
    for (const auto &range : ranges) {
        if (single != nullptr && range.first == range.second)
            std::snprintf(one, sizeof one, single, range.first);
        else
            std::snprintf(one, sizeof one, format, range.first, range.second);
        text += (text.empty() ? "" : ", ") + std::string(one);
    }
    return text;
}

double t_quantile_975(int degrees_of_freedom)
{
    const boost::math::students_t_distribution<double> t(degrees_of_freedom);
    return boost::math::quantile(t, 0.975);
}

void band_half_widths(const SplineFit &fit, double s_nu, double t_quantile, double h, double &conf, double &pred)
{
    const double leverage = spline_leverage(fit, h);
    conf = t_quantile * s_nu * std::sqrt(leverage);
    pred = t_quantile * s_nu * std::sqrt(1.0 + leverage);
}

FitFigures figure_fit(const ReportInput &in)
{
    FitFigures f;
    const SplineFit &ls = *in.least_squares;
    f.n = static_cast<int>(in.h.size());
    f.p = ls.unknowns;
    f.sse_nu_optimum = ls.sse;
    f.gaugings_per_interval.assign(in.knots.size() - 1, 0);

    double log_sum = 0.0;
    int log_count = 0;
    double q_sum = 0.0;
    int q_count = 0;
    double deviation_sum = 0.0;
    int deviations = 0;
    int last_sign = 0;
    f.max_abs_deviation_pct = 0.0;
    for (std::size_t i = 0; i < in.h.size(); i++) {
        GaugingFigures g;
        g.line = in.lines[i];
        g.h = in.h[i];
        g.Q = in.Q[i];
        g.interval = in.interval[i];
        const double fitted = in.curve(g.h);
        g.residual_nu = in.Qnu[i] - fitted;
        g.Q_fit = in.discharge(fitted);
        g.deviation_pct = 100.0 * (g.Q - g.Q_fit) / g.Q_fit;
        g.outlier = false;
        f.sse_nu += g.residual_nu * g.residual_nu;
        f.gaugings_per_interval[static_cast<std::size_t>(g.interval - 1)]++;
        if (g.Q > 0.0 && g.Q_fit > 0.0 && std::isfinite(g.Q_fit)) {
            const double d = std::log(g.Q) - std::log(g.Q_fit);
            log_sum += d * d;
            log_count++;
        }
        if (std::isfinite(g.Q_fit)) {
            q_sum += (g.Q - g.Q_fit) * (g.Q - g.Q_fit);
            q_count++;
            // Signs in stage order: their counts, and the runs of equal ones.
            const int sign = g.Q > g.Q_fit ? 1 : g.Q < g.Q_fit ? -1 : 0;
            f.sign_plus += sign > 0;
            f.sign_minus += sign < 0;
            if (sign != 0 && sign != last_sign) {
                f.runs++;
                last_sign = sign;
            }
        }
        if (std::isfinite(g.deviation_pct)) {
            deviation_sum += g.deviation_pct;
            deviations++;
            f.max_abs_deviation_pct = std::max(f.max_abs_deviation_pct, std::fabs(g.deviation_pct));
        }
        f.gaugings.push_back(g);
    }
    f.mean_deviation_pct = deviations > 0 ? deviation_sum / deviations : kNone;
    if (deviations == 0)
        f.max_abs_deviation_pct = kNone;
    f.rmse_q = q_count > 0 ? std::sqrt(q_sum / q_count) : kNone;
    f.excluded_from_log = f.n - log_count;
    // The spread of the logarithms is that of the discharge in per cent; the
    // p coefficients took p degrees of freedom from the gaugings summed.
    f.standard_error_pct = log_count > f.p ? 100.0 * std::sqrt(log_sum / (log_count - f.p)) : kNone;

    for (GaugingFigures &g : f.gaugings) {
        g.outlier = std::isfinite(f.standard_error_pct) && std::fabs(g.deviation_pct) > 2.0 * f.standard_error_pct;
        f.outliers += g.outlier;
    }
    f.sign_test_p = sign_test(f.sign_plus, f.sign_minus);
    f.runs_test_p = runs_test(f.runs, f.sign_plus, f.sign_minus);

    if (in.exact_solver) {
        f.minimiser_excess = kNone;
        f.max_curve_difference_pct = kNone;
    } else {
        f.minimiser_excess = ls.sse > 0.0 ? (in.minimiser_sse - ls.sse) / ls.sse : kNone;
        f.max_curve_difference_pct = ls.determined ? 0.0 : kNone;
        for (long i = 0; ls.determined && i <= in.nout; i++) {
            const double stage = in.table_stage(i);
            const double best = in.discharge(spline_value(ls, stage));
            const double difference = 100.0 * std::fabs(in.discharge(in.minimiser_curve(stage)) - best) / best;
            if (best > 0.0 && std::isfinite(difference))
                f.max_curve_difference_pct = std::max(f.max_curve_difference_pct, difference);
        }
    }

    if (!ls.determined) {
        f.no_band_reason = "the gaugings do not determine the curve at stages " + stage_ranges(ls.undetermined);
    } else if (f.n <= f.p) {
        f.no_band_reason = std::to_string(f.n) + " gaugings for " + std::to_string(f.p) +
                           " coefficients leave no degree of freedom to measure their spread";
    } else {
        f.band = true;
        f.s_nu = std::sqrt(f.sse_nu / (f.n - f.p));
        f.t_quantile = t_quantile_975(f.n - f.p);
    }
    return f;
}

void write_gaugings_csv(std::FILE *out, const FitFigures &f)
{
    put(out, "line,h,Q,Q_fit,deviation_pct,residual_nu,interval,outlier\n");
    CsvRow row;
    for (const GaugingFigures &g : f.gaugings) {
        row.add(g.line, ',');
        for (const double v : {g.h, g.Q, g.Q_fit, g.deviation_pct, g.residual_nu})
            row.add(v, ',');
        row.add(static_cast<long long>(g.interval), ',');
        row.add(g.outlier ? 1LL : 0LL, '\n');
        row.write(out);
    }
}

void write_band_csv(std::FILE *out, const ReportInput &in, const FitFigures &f)
{
    put(out, "h,Q,conf_low,conf_high,pred_low,pred_high\n");
    CsvRow row;
    for (long i = 0; i <= in.nout; i++) {
        const double stage = in.table_stage(i);
        const double y = in.curve(stage);
        double conf;
        double pred;
        band_half_widths(*in.least_squares, f.s_nu, f.t_quantile, stage, conf, pred);
        // Q = y^(1/nu) falls with y for a negative nu: the ends change places.
        const double sign = in.nu > 0.0 ? 1.0 : -1.0;
        for (const double v : {stage, in.discharge(y), in.discharge(y - sign * conf), in.discharge(y + sign * conf),
                               in.discharge(y - sign * pred)})
            row.add(v, ',');
        row.add(in.discharge(y + sign * pred), '\n');
        row.write(out);
    }
}

void write_summary_json(std::FILE *out, const ReportInput &in, const FitFigures &f)
{
    const SplineFit &ls = *in.least_squares;
    nlohmann::ordered_json j;
    j["data_file"] = in.data_file;
    j["n"] = f.n;
    j["p"] = f.p;
    j["nu"] = in.nu;
    j["intervals"] = static_cast<int>(in.knots.size()) - 1;
    j["degree"] = in.degree;
    j["knots"] = in.knots;
    j["knot_stages"] = in.listed_knots ? "from file" : "automatic";
    j["solver"] = in.exact_solver ? "exact" : "minimiser";
    j["curve_written"] = in.exact_solver || in.replaced ? "least-squares" : "minimiser";
    j["determined"] = ls.determined;
    j["undetermined_ranges"] = ranges(ls.undetermined);
    j["sse_nu"] = number(f.sse_nu);
    j["sse_nu_optimum"] = number(f.sse_nu_optimum);
    j["minimiser_excess"] = number(f.minimiser_excess);
    j["max_curve_difference_pct"] = number(f.max_curve_difference_pct);
    j["rmse_q"] = number(f.rmse_q);
    j["standard_error_pct"] = number(f.standard_error_pct);
    j["mean_deviation_pct"] = number(f.mean_deviation_pct);
    j["max_abs_deviation_pct"] = number(f.max_abs_deviation_pct);
    j["sign_plus"] = f.sign_plus;
    j["sign_minus"] = f.sign_minus;
    j["sign_test_p"] = number(f.sign_test_p);
    j["runs"] = f.runs;
    j["runs_test_p"] = number(f.runs_test_p);
    j["outliers"] = f.outliers;
    j["gaugings_per_interval"] = f.gaugings_per_interval;
    j["decreasing_ranges"] = ranges(in.decreasing);
    j["clamped_rows"] = in.clamped_rows;
    j["excluded_from_log"] = f.excluded_from_log;
    j["band"] = f.band;
    j["no_band_reason"] = f.band ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(f.no_band_reason);
    j["degrees_of_freedom"] = f.n - f.p;
    j["s_nu"] = f.band ? number(f.s_nu) : nlohmann::json(nullptr);
    j["t_quantile"] = f.band ? number(f.t_quantile) : nlohmann::json(nullptr);
    put(out, j.dump(2) + "\n");
}

void write_report_text(std::FILE *out, const ReportInput &in, const FitFigures &f)
{
    const SplineFit &ls = *in.least_squares;
    const int J = static_cast<int>(in.knots.size()) - 1;
    const double low_q = *std::min_element(in.Q.begin(), in.Q.end());
    const double high_q = *std::max_element(in.Q.begin(), in.Q.end());
    static const char *const kDegree[] = {"", "straight lines", "parabolas", "cubics"};

    write_result(out, "Rating curve fit report\n=======================\n\n");
    write_result(out, "Data set     %s: %s\n", in.data_file.c_str(), in.title.c_str());
    write_result(out, "Gaugings     %d, stages %g to %g, discharges %g to %g\n", f.n, in.h.front(), in.h.back(), low_q,
         high_q);
    write_result(out, "Model        Q^%g fitted by %d interval%s of %s, knot stages %s; %d coefficients\n", in.nu, J,
         J == 1 ? "" : "s", kDegree[in.degree], in.listed_knots ? "from the knots file" : "automatic", f.p);
    if (in.exact_solver)
        write_result(out, "Curve        the least-squares curve, solved directly (--solver exact)\n");
    else if (in.replaced)
        write_result(out, "Curve        the minimiser stopped short of the least-squares curve (sum of squares %.3g %% "
                  "above it); the least-squares curve was written\n",
             100.0 * f.minimiser_excess);
    else if (!ls.determined)
        write_result(out, "Curve        the minimiser's; the gaugings do not determine the curve, so there is no single "
                  "least-squares curve to check it against\n");
    else
        write_result(out, "Curve        the minimiser's, which reached the least-squares curve: the sums of squares agree "
                  "to %.2g (relative), the discharges of the table to %.2g %%\n",
             std::fabs(f.minimiser_excess), f.max_curve_difference_pct);

    write_result(out, "\nKnots and gaugings per interval (fewer than M + 2 = %d marked \"few\")\n", in.degree + 2);
    write_result(out, "  interval  from          to            gaugings\n");
    for (int j = 0; j < J; j++) {
        const int count = f.gaugings_per_interval[static_cast<std::size_t>(j)];
        write_result(out, "  %8d  %-12g  %-12g  %8d%s\n", j + 1, in.knots[static_cast<std::size_t>(j)],
             in.knots[static_cast<std::size_t>(j) + 1], count, count < in.degree + 2 ? "  few" : "");
    }

    write_result(out, "\nStatistics\n");
    write_result(out, "  standard error Se         %-12s spread of the gaugings about the curve, in per cent of the "
              "discharge\n",
         percent(f.standard_error_pct).c_str());
    write_result(out, "  mean deviation            %-12s average of 100 (Q - Q_fit) / Q_fit; near 0 when the curve is "
              "not biased\n",
         percent(f.mean_deviation_pct).c_str());
    write_result(out, "  largest deviation         %-12s the gauging farthest from the curve\n",
         percent(f.max_abs_deviation_pct).c_str());
    write_result(out, "  RMSE of discharge         %-12s root mean square of Q - Q_fit, in the unit of the discharges\n",
         figure("%.4g", f.rmse_q).c_str());
    write_result(out, "  sign test                 %-12s p of %d above and %d below the curve; below 0.05 the curve "
              "lies to one side\n",
         figure("%.3g", f.sign_test_p).c_str(), f.sign_plus, f.sign_minus);
    write_result(out, "  runs test                 %-12s p of %d runs of equal signs in stage order; below 0.05 the "
              "curve misses a bend\n",
         figure("%.3g", f.runs_test_p).c_str(), f.runs);
    write_result(out, "  degrees of freedom        %-12d gaugings less coefficients\n", f.n - f.p);
    write_result(out, "  sum of squares in Q^nu    %-12.6g least %.6g\n", f.sse_nu, f.sse_nu_optimum);
    if (f.excluded_from_log > 0)
        write_result(out, "  left out of Se            %-12d gaugings with no positive discharge or fitted discharge\n",
             f.excluded_from_log);
    if (f.band)
        write_result(out, "\n95 %% bands   in the band file: the curve lies within the confidence band, a new gauging "
                  "within the prediction band, each with 95 %% probability (t = %.4g, s = %.4g in Q^nu)\n",
             f.t_quantile, f.s_nu);
    else
        write_result(out, "\n95 %% bands   none: %s\n", f.no_band_reason.c_str());

    if (std::isfinite(f.standard_error_pct)) {
        write_result(out, "\nOutliers (deviation beyond 2 Se = %.3g %%): %d\n", 2.0 * f.standard_error_pct, f.outliers);
        if (f.outliers > 0)
            write_result(out, "  line      stage         discharge     fitted        deviation\n");
        for (const GaugingFigures &g : f.gaugings)
            if (g.outlier)
                write_result(out, "  %-8lld  %-12g  %-12g  %-12g  %.3g %%\n", g.line, g.h, g.Q, g.Q_fit, g.deviation_pct);
    } else {
        write_result(out, "\nOutliers: none marked, as there is no standard error\n");
    }

    std::vector<std::string> warnings;
    if (!ls.determined)
        warnings.push_back("The gaugings do not determine the curve at stages " + stage_ranges(ls.undetermined) +
                           ": use fewer intervals or other knots.");
    if (f.n <= f.p)
        warnings.push_back("Too few gaugings: " + std::to_string(f.n) + " for " + std::to_string(f.p) +
                           " coefficients; the curve passes through them and says nothing of their spread.");
    for (int j = 0; j < J; j++)
        if (f.gaugings_per_interval[static_cast<std::size_t>(j)] < in.degree + 2) {
            warnings.push_back("Few gaugings in some intervals (marked above): the curve there follows them "
                               "closely; consider fewer intervals or other knots.");
            break;
        }
    if (!in.decreasing.empty())
        warnings.push_back("The discharge falls as the stage rises at stages " + stage_ranges(in.decreasing) +
                           ": no rating behaves so; use fewer intervals or a lower degree there.");
    if (in.clamped_rows > 0)
        warnings.push_back(std::to_string(in.clamped_rows) + " row" + (in.clamped_rows == 1 ? "" : "s") +
                           " of the table had a fitted Q^nu " + (in.nu > 0.0 ? "below 0, written as 1e-10^(1/nu)" :
                                                                                "at or below 0, written as nan") +
                           ".");
    if (f.excluded_from_log > 0)
        warnings.push_back(std::to_string(f.excluded_from_log) +
                           " gauging(s) with no positive discharge or fitted discharge are left out of Se.");
    write_result(out, "\nWarnings\n");
    if (warnings.empty())
        write_result(out, "  none\n");
    for (const std::string &w : warnings)
        write_result(out, "  - %s\n", w.c_str());
}
