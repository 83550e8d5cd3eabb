#include "Report.h"

#include "ResultFile.h"

#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <numeric>

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
    // separator; a figure that is not a number is "nan", whatever its sign bit.
    void add(double v, char separator)
    {
        if (std::isnan(v)) {
            std::memcpy(end, "nan", 3);
            end += 3;
        } else {
            end = std::to_chars(end, text + sizeof text - 1, v, std::chars_format::general, 10).ptr;
        }
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

// The runs test for too few runs, in the normal approximation of the number
// of runs of n1 plus and n2 minus signs in random order: the chance of as few
// runs as counted. A curve that misses a bend has gaugings on one side of it
// over stretches of stages, which makes few runs; many runs are no sign of it.
// `expected` is the mean number of runs.
double runs_test(int runs, int n1, int n2, double &expected)
{
    expected = kNone;
    if (n1 == 0 || n2 == 0)
        return kNone;
    const double n = n1 + n2;
    const double products = 2.0 * n1 * n2;
    const double mean = products / n + 1.0;
    const double variance = products * (products - n) / (n * n * (n - 1.0));
    expected = mean;
    if (!(variance > 0.0))
        return kNone;
    const double z = (runs - mean) / std::sqrt(variance);
    const boost::math::normal_distribution<double> standard;
    return boost::math::cdf(standard, z);
}

// A number for JSON, or null for one that is not finite or not reported.
nlohmann::json number(double v)
{
    return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr);
}

nlohmann::json count(int v, bool reported)
{
    return reported ? nlohmann::json(v) : nlohmann::json(nullptr);
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

// The length of the UTF-8 sequence at text[i], or 0 when it is not a valid one
// (an overlong form, a surrogate, beyond U+10FFFF, or cut short).
std::size_t utf8_sequence(const std::string &text, std::size_t i)
{
    const auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80;  // the range of the byte after the lead
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; k++)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return length;
}

// The stage for a person, within `tolerance` of its value, with at least the
// six digits of %g.
std::string stage_for_text(double stage, double tolerance)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", stage_digits(stage, 6, tolerance), stage);
    return text;
}

} // namespace

int stage_digits(double stage, int least, double tolerance)
{
    constexpr int kMostDigits = 17;
    for (int digits = least; digits < kMostDigits; digits++) {
        char text[40];
        std::snprintf(text, sizeof text, "%.*g", digits, stage);
        if (std::fabs(std::strtod(text, nullptr) - stage) <= tolerance)
            return digits;
    }
    return kMostDigits;
}

std::string valid_utf8(const std::string &text, bool &replaced)
{
    replaced = false;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            replaced = true;
            i++;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string csv_field(const std::string &text)
{
    const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                       (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' ||
                                          text.back() == '\t'));
    if (!quote)
        return text;
    std::string field = "\"";
    for (const char ch : text) {
        field += ch;
        if (ch == '"')
            field += '"';
    }
    return field + "\"";
}

double t_quantile_975(int degrees_of_freedom)
{
    const boost::math::students_t_distribution<double> t(degrees_of_freedom);
    return boost::math::quantile(t, 0.975);
}

void band_half_widths(double leverage, double s_nu, double t_quantile, double &conf, double &pred)
{
    conf = t_quantile * s_nu * std::sqrt(leverage);
    pred = t_quantile * s_nu * std::sqrt(1.0 + leverage);
}

double table_discharge(double nu, double y)
{
    if (nu > 0.0)
        return std::pow(y < 0.0 ? 1e-10 : y, 1.0 / nu);
    // A negative power of a value at or below 0 is no discharge.
    return y > 0.0 ? std::pow(y, 1.0 / nu) : std::numeric_limits<double>::quiet_NaN();
}

FitFigures figure_fit(const ReportInput &in)
{
    FitFigures f;
    f.n = static_cast<int>(in.h.size());
    f.p = in.p;
    f.sse_nu_optimum = in.sse_optimum;
    f.gaugings_per_interval.assign(in.knots.size() - 1, 0);

    // Equal stages in the order of their lines, so that the order of the
    // lines in the file cannot change a figure.
    std::vector<std::size_t> order(in.h.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto before = [&in](std::size_t a, std::size_t b) {
        return in.h[a] < in.h[b] || (in.h[a] == in.h[b] && in.lines[a] < in.lines[b]);
    };
    // Gaugings that come in this order already (a fit's do) keep it.
    if (!std::is_sorted(order.begin(), order.end(), before))
        std::stable_sort(order.begin(), order.end(), before);
    // The rounding level is measured against the squares of Q^nu, scaled by
    // the largest so that neither sum can overflow.
    double scale = 0.0;
    bool same_qnu = true;
    for (const double y : in.Qnu) {
        scale = std::max(scale, std::fabs(y));
        same_qnu = same_qnu && y == in.Qnu.front();
    }
    double scaled_squares = 0.0;
    double scaled_sse = 0.0;

    double log_sum = 0.0;
    int log_count = 0;
    double q_sum = 0.0;
    int q_count = 0;
    double deviation_sum = 0.0;
    int deviations = 0;
    int last_sign = 0;
    f.max_abs_deviation_pct = 0.0;
    f.gaugings.reserve(order.size());
    for (const std::size_t i : order) {
        GaugingFigures g;
        g.line = in.lines[i];
        g.h = in.h[i];
        g.Q = in.Q[i];
        g.interval = in.interval[i];
        const double fitted = in.fitted[i];
        g.residual_nu = in.Qnu[i] - fitted;
        g.Q_fit = in.fitted_discharge[i];
        g.deviation_pct = 100.0 * (g.Q - g.Q_fit) / g.Q_fit;
        g.outlier = false;
        f.sse_nu += g.residual_nu * g.residual_nu;
        if (scale > 0.0) {
            scaled_squares += (in.Qnu[i] / scale) * (in.Qnu[i] / scale);
            scaled_sse += (g.residual_nu / scale) * (g.residual_nu / scale);
        }
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
    // The least sum of squares decides: when it is rounding, the gaugings lie
    // on a curve of the model, and the deviations from whichever curve was
    // written say nothing of them.
    f.passes_through = same_qnu || scaled_sse <= 1e-24 * scaled_squares ||
                       in.sse_optimum / scale / scale <= 1e-24 * scaled_squares;
    f.mean_deviation_pct = deviations > 0 ? deviation_sum / deviations : kNone;
    if (deviations == 0)
        f.max_abs_deviation_pct = kNone;
    f.rmse_q = q_count > 0 ? std::sqrt(q_sum / q_count) : kNone;
    f.excluded_from_log = f.n - log_count;
    // The spread of the logarithms is that of the discharge in per cent; the
    // p coefficients took p degrees of freedom from the gaugings summed.
    f.standard_error_pct = log_count > f.p ? 100.0 * std::sqrt(log_sum / (log_count - f.p)) : kNone;

    for (GaugingFigures &g : f.gaugings) {
        g.outlier = !f.passes_through && std::isfinite(f.standard_error_pct) &&
                    std::fabs(g.deviation_pct) > 2.0 * f.standard_error_pct;
        f.outliers += g.outlier;
    }
    f.sign_test_p = f.passes_through ? kNone : sign_test(f.sign_plus, f.sign_minus);
    f.runs_test_p = runs_test(f.runs, f.sign_plus, f.sign_minus, f.runs_expected);
    if (f.passes_through) {
        f.runs_test_p = kNone;
        f.runs_expected = kNone;
    }

    if (in.exact_solver) {
        f.minimiser_excess = kNone;
        f.max_curve_difference_pct = kNone;
    } else {
        f.minimiser_excess = in.sse_optimum > 0.0 && !f.passes_through
                                 ? (in.minimiser_sse - in.sse_optimum) / in.sse_optimum
                                 : kNone;
        f.max_curve_difference_pct = in.determined ? 0.0 : kNone;
        for (std::size_t i = 0; in.determined && i < in.rows.size(); i++) {
            const double best = in.rows[i].best_discharge;
            const double difference = 100.0 * std::fabs(in.rows[i].minimiser_discharge - best) / best;
            if (best > 0.0 && std::isfinite(difference))
                f.max_curve_difference_pct = std::max(f.max_curve_difference_pct, difference);
        }
    }

    if (!in.determined) {
        f.no_band_reason = "the gaugings do not determine the curve at stages " + stage_ranges(in.undetermined);
    } else if (f.n <= f.p) {
        f.no_band_reason = std::to_string(f.n) + " gaugings for " + std::to_string(f.p) +
                           " coefficients leave no degree of freedom to measure their spread";
    } else {
        const double s = std::sqrt(f.sse_nu / (f.n - f.p));
        const double t = t_quantile_975(f.n - f.p);
        if (!std::isfinite(s))
            f.no_band_reason = "the spread of the gaugings about the curve in Q^nu, s = " + format("%g", s) +
                               ", is not a finite number";
        for (std::size_t i = 0; f.no_band_reason.empty() && i < in.rows.size(); i++) {
            const double stage = in.rows[i].stage;
            const double y = in.rows[i].value;
            double conf;
            double pred;
            band_half_widths(in.rows[i].leverage, s, t, conf, pred);
            if (!std::isfinite(y - pred) || !std::isfinite(y + pred))
                f.no_band_reason = "a limit of the bands in Q^nu is not a finite number at stage " + format("%g", stage);
        }
        f.band = f.no_band_reason.empty();
        if (f.band) {
            f.s_nu = s;
            f.t_quantile = t;
        }
    }
    return f;
}

namespace {

// The first line of a CSV file of the report: the results it belongs to.
void put_results_line(std::FILE *out, const ReportInput &in)
{
    if (!in.results_sha256.empty())
        put(out, "# results sha256 " + in.results_sha256 + "\n");
}

} // namespace

void write_gaugings_csv(std::FILE *out, const ReportInput &in, const FitFigures &f)
{
    put_results_line(out, in);
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
    put_results_line(out, in);
    put(out, "h,Q,conf_low,conf_high,pred_low,pred_high\n");
    CsvRow row;
    for (const ReportRow &r : in.rows) {
        const double stage = r.stage;
        const double y = r.value;
        double conf;
        double pred;
        band_half_widths(r.leverage, f.s_nu, f.t_quantile, conf, pred);
        // Q = y^(1/nu) falls with y for a negative nu: the ends change places.
        const double sign = in.nu > 0.0 ? 1.0 : -1.0;
        for (const double v : {stage, table_discharge(in.nu, y), table_discharge(in.nu, y - sign * conf), table_discharge(in.nu, y + sign * conf),
                               table_discharge(in.nu, y - sign * pred)})
            row.add(v, ',');
        row.add(table_discharge(in.nu, y + sign * pred), '\n');
        row.write(out);
    }
}

void write_summary_json(std::FILE *out, const ReportInput &in, const FitFigures &f)
{
    nlohmann::ordered_json j;
    bool data_file_replaced = false;
    bool results_file_replaced = false;
    j["data_file"] = valid_utf8(in.data_file, data_file_replaced);
    j["results_file"] = valid_utf8(in.results_file, results_file_replaced);
    j["results_sha256"] = in.results_sha256;
    // Names are bytes; JSON is UTF-8. A name that is not gets U+FFFD for each
    // byte out of place, and this says so.
    j["invalid_utf8_replaced"] = data_file_replaced || results_file_replaced;
    j["n"] = f.n;
    j["p"] = f.p;
    j["nu"] = in.nu;
    j["intervals"] = static_cast<int>(in.knots.size()) - 1;
    j["degree"] = in.degree;
    j["knots"] = in.knots;
    j["knot_stages"] = in.listed_knots ? "from file" : "automatic";
    j["solver"] = in.exact_solver ? "exact" : "minimiser";
    j["curve_written"] = in.exact_solver || in.replaced ? "least-squares" : "minimiser";
    j["determined"] = in.determined;
    j["undetermined_ranges"] = ranges(in.undetermined);
    j["sse_nu"] = number(f.sse_nu);
    j["sse_nu_optimum"] = number(f.sse_nu_optimum);
    j["minimiser_excess"] = number(f.minimiser_excess);
    j["max_curve_difference_pct"] = number(f.max_curve_difference_pct);
    j["rmse_q"] = number(f.rmse_q);
    j["standard_error_pct"] = number(f.standard_error_pct);
    j["mean_deviation_pct"] = number(f.mean_deviation_pct);
    j["max_abs_deviation_pct"] = number(f.max_abs_deviation_pct);
    j["passes_through"] = f.passes_through;
    j["sign_plus"] = count(f.sign_plus, !f.passes_through);
    j["sign_minus"] = count(f.sign_minus, !f.passes_through);
    j["sign_test_p"] = number(f.sign_test_p);
    j["runs"] = count(f.runs, !f.passes_through);
    j["runs_expected"] = number(f.runs_expected);
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
    put(out, j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
}

void write_report_text(std::FILE *out, const ReportInput &in, const FitFigures &f)
{
    const int J = static_cast<int>(in.knots.size()) - 1;
    const double low_q = *std::min_element(in.Q.begin(), in.Q.end());
    const double high_q = *std::max_element(in.Q.begin(), in.Q.end());
    static const char *const kDegree[] = {"", "straight lines", "parabolas", "cubics"};
    // Stages within 1e-3 of the stage range, as the result table writes them.
    const double tolerance = 1e-3 * (in.h.back() - in.h.front());
    const auto stage = [tolerance](double h) { return stage_for_text(h, tolerance); };

    write_result(out, "Rating curve fit report\n=======================\n\n");
    write_result(out, "Data set     %s: %s\n", in.data_file.c_str(), in.title.c_str());
    if (!in.results_sha256.empty())
        write_result(out, "Results      %s, SHA-256 %s\n", in.results_file.c_str(), in.results_sha256.c_str());
    write_result(out, "Gaugings     %d, stages %s to %s, discharges %g to %g\n", f.n, stage(in.h.front()).c_str(),
                 stage(in.h.back()).c_str(), low_q, high_q);
    write_result(out, "Model        Q^%g fitted by %d interval%s of %s, knot stages %s; %d coefficients\n", in.nu, J,
         J == 1 ? "" : "s", kDegree[in.degree], in.listed_knots ? "from the knots file" : "automatic", f.p);
    if (f.passes_through)
        write_result(out, "Curve        %s; the curve passes through the gaugings (the least sum of squares is at the "
                          "level of rounding), so no test of the deviations is made and no sums of squares are "
                          "compared\n",
                     in.exact_solver ? "the least-squares curve, solved directly (--solver exact)"
                     : in.replaced   ? "the least-squares curve"
                                     : "the minimiser's");
    else if (in.exact_solver)
        write_result(out, "Curve        the least-squares curve, solved directly (--solver exact)\n");
    else if (in.replaced)
        write_result(out, "Curve        the minimiser stopped short of the least-squares curve (sum of squares %.3g %% "
                  "above it); the least-squares curve was written\n",
             100.0 * f.minimiser_excess);
    else if (!in.determined)
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
        write_result(out, "  %8d  %-12s  %-12s  %8d%s\n", j + 1, stage(in.knots[static_cast<std::size_t>(j)]).c_str(),
                     stage(in.knots[static_cast<std::size_t>(j) + 1]).c_str(), count,
                     count < in.degree + 2 ? "  few" : "");
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
    if (f.passes_through) {
        write_result(out, "  sign test                 none         the curve passes through the gaugings\n");
        write_result(out, "  runs test                 none         the curve passes through the gaugings\n");
    } else {
        write_result(out, "  sign test                 %-12s p of %d above and %d below the curve; below 0.05 the curve "
                          "lies to one side\n",
                     figure("%.3g", f.sign_test_p).c_str(), f.sign_plus, f.sign_minus);
        if (!std::isfinite(f.runs_expected)) {
            write_result(out, "  runs test                 none         %d run%s of equal signs in stage order; no test "
                              "without gaugings on both sides of the curve\n",
                         f.runs, f.runs == 1 ? "" : "s");
        } else {
            const char *const way = f.runs < f.runs_expected   ? "fewer than"
                                    : f.runs > f.runs_expected ? "more than"
                                                               : "as many as";
            write_result(out, "  runs test                 %-12s p of as few as %d runs of equal signs in stage order, "
                              "%s the %.3g expected; below 0.05 the curve misses a bend\n",
                         figure("%.3g", f.runs_test_p).c_str(), f.runs, way, f.runs_expected);
        }
    }
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

    if (f.passes_through) {
        write_result(out, "\nOutliers: none marked, as the curve passes through the gaugings\n");
    } else if (std::isfinite(f.standard_error_pct)) {
        write_result(out, "\nOutliers (deviation beyond 2 Se = %.3g %%): %d\n", 2.0 * f.standard_error_pct, f.outliers);
        if (f.outliers > 0)
            write_result(out, "  line      stage         discharge     fitted        deviation\n");
        for (const GaugingFigures &g : f.gaugings)
            if (g.outlier)
                write_result(out, "  %-8lld  %-12s  %-12g  %-12g  %.3g %%\n", g.line, stage(g.h).c_str(), g.Q, g.Q_fit,
                             g.deviation_pct);
    } else {
        write_result(out, "\nOutliers: none marked, as there is no standard error\n");
    }

    std::vector<std::string> warnings;
    bool data_file_replaced = false;
    bool results_file_replaced = false;
    valid_utf8(in.data_file, data_file_replaced);
    valid_utf8(in.results_file, results_file_replaced);
    if (data_file_replaced || results_file_replaced)
        warnings.push_back("The name of the data set is not valid UTF-8: the summary file gives it with U+FFFD in "
                           "place of each byte that is out of place.");
    if (!in.determined)
        warnings.push_back("The gaugings do not determine the curve at stages " + stage_ranges(in.undetermined) +
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
