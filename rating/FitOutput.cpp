#include "FitOutput.h"

#include "CurveFile.h"
#include "ResultFile.h"
#include "Table.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using rating::Curve;
using rating::FitResult;
using rating::FittedGauging;

constexpr int kBandSteps = 100;

// A number as "%.10g" writes it; nothing for a number that does not exist.
void add_number(std::string &row, double v)
{
    if (!std::isfinite(v))
        return;
    char text[32];
    row.append(text, rating::number_g10(text, v));
}

// What a writer of the report writes to a stream, as text.
template <class Write>
std::string text_of(Write write)
{
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *stream = open_memstream(&buffer, &size);
    if (stream == nullptr)
        std::abort();
    write(stream);
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

std::string selection_csv(const FitResult &result)
{
    std::string text = "nu,intervals,p,cv_se_pct,se_pct,eligible,chosen\n";
    for (const rating::Candidate &c : result.selection) {
        add_number(text, c.nu);
        text += ',' + std::to_string(c.intervals) + ',' + std::to_string(c.p) + ',';
        add_number(text, c.cv_se_pct);
        text += ',';
        add_number(text, c.se_pct);
        text += c.eligible ? ",true," : ",false,";
        text += c.chosen ? "true\n" : "false\n";
    }
    return text;
}

double band_stage(const Curve &curve, int i)
{
    const double lo = curve.stage_range.first;
    return i == kBandSteps ? curve.stage_range.second : lo + (curve.stage_range.second - lo) * i / kBandSteps;
}

std::string band_csv(const Curve &curve)
{
    const double t = rating::t_quantile_975(curve.dof);
    std::string text = "h,Q,conf_low,conf_high,pred_low,pred_high\n";
    for (int i = 0; i <= kBandSteps; i++) {
        const rating::BandRow b = rating::curve_band(curve, band_stage(curve, i), t);
        for (const double v : {b.stage, b.discharge, b.conf_low, b.conf_high, b.pred_low}) {
            add_number(text, v);
            text += ',';
        }
        add_number(text, b.pred_high);
        text += '\n';
    }
    return text;
}

// The report's columns of the active gaugings (in the report's order), then
// the inactive ones, each with its date, activity, uncertainty and weight.
std::string gaugings_csv(const FitResult &result, const FitFigures &f)
{
    std::string text = "line,h,Q,Q_fit,deviation_pct,residual_nu,interval,outlier,date,active,uncertainty,weight\n";
    text.reserve(text.size() + 128 * (result.active.size() + result.inactive.size()));
    // A number takes at most 24 characters ("-1.234567891e-300") and may use
    // 32 as scratch: a row's numbers and flags fit 256 characters besides
    // its date.
    const auto number = [](char *at, double v) { return rating::number_g10(at, v); };
    const auto add_row = [&text, &number](const FittedGauging &fg, double Q_fit, double deviation, bool outlier) {
        const rating::Gauging &g = fg.gauging;
        char row[384];
        char *at = std::to_chars(row, row + 24, g.line).ptr;
        for (const double v : {g.stage, g.discharge, Q_fit, deviation, fg.residual_nu}) {
            *at++ = ',';
            at = number(at, v);
        }
        *at++ = ',';
        if (fg.interval > 0)
            at = std::to_chars(at, at + 12, fg.interval).ptr;
        std::memcpy(at, outlier ? ",1," : ",0,", 3);
        at += 3;
        // Only a date with a blank, a control character, a comma or a quote
        // may need quotes; a long one is added apart.
        const bool plain_date = g.date.size() <= 64 && std::all_of(g.date.begin(), g.date.end(), [](char ch) {
                                    return ch > ' ' && ch != ',' && ch != '"';
                                });
        if (plain_date) {
            std::memcpy(at, g.date.data(), g.date.size());
            at += g.date.size();
        } else {
            text.append(row, at);
            text += csv_field(g.date);
            at = row;
        }
        std::memcpy(at, g.active ? ",true," : ",false,", g.active ? 6 : 7);
        at = number(at + (g.active ? 6 : 7), g.sigma);
        *at++ = ',';
        at = number(at, fg.weight);
        *at++ = '\n';
        text.append(row, at);
    };
    // The report orders equal stages by their lines, as the fit does.
    for (std::size_t i = 0; i < result.active.size(); i++) {
        const GaugingFigures &g = f.gaugings[i];
        add_row(result.active[i], g.Q_fit, g.deviation_pct, g.outlier);
    }
    for (const FittedGauging &fg : result.inactive) {
        const double Q_fit = rating::discharge_of_value(result.curve.nu, fg.fitted_nu);
        add_row(fg, Q_fit, 100.0 * (fg.gauging.discharge - Q_fit) / Q_fit, false);
    }
    return text;
}

// "4.068 %", or "none".
std::string percent_text(double v)
{
    if (!std::isfinite(v))
        return "none";
    char text[32];
    std::snprintf(text, sizeof text, "%.4g %%", v);
    return text;
}

nlohmann::ordered_json number_or_null(double v)
{
    return std::isfinite(v) ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
}

} // namespace

StationOutput station_output(const std::string &name, const std::string &source,
                             const FitResult &result, const rating::FitSettings &settings, bool with_files)
{
    StationOutput out;
    const Curve &curve = result.curve;
    const std::string curve_text = rating::curve_file_text(curve, settings);

    ReportInput in;
    in.data_file = source;
    in.title = curve.title;
    in.results_file = name + ".curve.json";
    in.results_sha256 = sha256_hex(curve_text);
    in.nu = curve.nu;
    in.degree = curve.degree;
    in.listed_knots = result.listed_knots;
    in.knots = result.interval_knots;
    in.exact_solver = true;
    const std::size_t n = result.active.size();
    for (auto *column : {&in.h, &in.Q, &in.Qnu, &in.fitted, &in.fitted_discharge})
        column->reserve(n);
    in.lines.reserve(n);
    in.interval.reserve(n);
    for (const FittedGauging &fg : result.active) {
        in.lines.push_back(fg.gauging.line);
        in.h.push_back(fg.gauging.stage);
        in.Q.push_back(fg.gauging.discharge);
        in.Qnu.push_back(fg.fitted_nu + fg.residual_nu);
        in.interval.push_back(fg.interval);
        in.fitted.push_back(fg.fitted_nu);
        in.fitted_discharge.push_back(rating::discharge_of_value(curve.nu, fg.fitted_nu));
    }
    in.p = curve.p - static_cast<int>(curve.constraints.size());
    in.sse_optimum = result.sse_nu;
    in.determined = true;
    const double s2 = curve.s * curve.s;
    double previous = 0.0;
    for (int i = 0; i <= kBandSteps; i++) {
        ReportRow row;
        row.stage = band_stage(curve, i);
        row.value = rating::curve_value(curve, row.stage);
        row.leverage = s2 > 0.0 ? rating::curve_variance(curve, row.stage) / s2 : 0.0;
        in.rows.push_back(row);
        const double discharge = rating::discharge_of_value(curve.nu, row.value);
        if (curve.nu > 0.0 ? row.value <= 0.0 : !(row.value > 0.0))
            in.clamped_rows++;
        if (i > 0 && discharge < previous) {
            if (!in.decreasing.empty() && in.decreasing.back().second >= in.rows[i - 1].stage)
                in.decreasing.back().second = row.stage;
            else
                in.decreasing.emplace_back(in.rows[i - 1].stage, row.stage);
        }
        previous = discharge;
    }
    out.figures = figure_fit(in);
    // The bands are those of the curve file: weighted, s is the curve's own
    // scatter s_m, and a constrained curve has the degrees of freedom of its
    // free coefficients.
    out.figures.s_nu = curve.s;
    out.figures.t_quantile = curve.dof > 0 ? rating::t_quantile_975(curve.dof) : std::nan("");
    if (!with_files)
        return out;
    const FitFigures &f = out.figures;

    nlohmann::ordered_json summary =
        nlohmann::ordered_json::parse(text_of([&](std::FILE *s) { write_summary_json(s, in, f); }));
    summary["degrees_of_freedom"] = curve.dof;
    summary["weights"] = curve.weighted ? "uncertainty" : "none";
    summary["s_m"] = number_or_null(curve.s_m);
    summary["r"] = curve.r;
    summary["explained_by_uncertainty"] = curve.weighted ? number_or_null(result.explained_share)
                                                         : nlohmann::ordered_json(nullptr);
    summary["n_inactive"] = curve.n_inactive;
    summary["constrained"] = result.constrained;
    nlohmann::ordered_json constraints = nlohmann::ordered_json::array();
    for (const rating::StageRange &r : curve.constraints)
        constraints.push_back({r.first, r.second});
    summary["constraints"] = constraints;
    summary["standard_error_unconstrained_pct"] = number_or_null(result.se_unconstrained_pct);
    nlohmann::ordered_json selection = nlohmann::ordered_json::array();
    for (const rating::Candidate &c : result.selection)
        selection.push_back({{"nu", c.nu},
                             {"intervals", c.intervals},
                             {"p", c.p},
                             {"cv_se_pct", number_or_null(c.cv_se_pct)},
                             {"se_pct", number_or_null(c.se_pct)},
                             {"eligible", c.eligible},
                             {"why", c.why},
                             {"chosen", c.chosen}});
    summary["selection"] = selection;
    nlohmann::ordered_json pieces = nlohmann::ordered_json::array();
    for (const rating::Piece &piece : rating::curve_pieces(curve))
        pieces.push_back({{"from", piece.from}, {"to", piece.to}, {"coefficients", piece.coefficients}});
    summary["pieces"] = pieces;

    std::string report = text_of([&](std::FILE *s) { write_report_text(s, in, f); });
    char line[256];
    report += "\nWeights\n";
    if (curve.weighted) {
        std::snprintf(line, sizeof line,
                      "  by the gaugings' uncertainty; the curve's own scatter s_m = %.4g in Q^nu, the gaugings' "
                      "uncertainty explains %.3g %% of the scatter\n",
                      curve.s_m, 100.0 * result.explained_share);
        report += line;
    } else {
        std::snprintf(line, sizeof line, "  none: every gauging counts alike; s_m = s = %.4g in Q^nu\n", curve.s_m);
        report += line;
    }
    report += "\nModel selection (cross-validated standard error CV-Se, per cent of the discharge)\n";
    report += "  nu        intervals  p     CV-Se        Se           \n";
    for (const rating::Candidate &c : result.selection) {
        std::snprintf(line, sizeof line, "  %-8g  %-9d  %-4d  %-11s  %-11s  %s%s\n", c.nu, c.intervals, c.p,
                      percent_text(c.cv_se_pct).c_str(), percent_text(c.se_pct).c_str(), c.chosen ? "chosen" : "",
                      c.eligible ? "" : ("ineligible: " + c.why).c_str());
        report += line;
    }
    report += "\nRising curve\n";
    if (result.constrained) {
        std::snprintf(line, sizeof line,
                      "  the least-squares curve fell with rising stage; the best rising curve is written. It is held "
                      "flat at %s; Se %.3g %% against %.3g %% unconstrained\n",
                      rating::ranges_in_words(curve.constraints).c_str(), f.standard_error_pct, result.se_unconstrained_pct);
        report += line;
    } else {
        report += settings.increasing ? "  the least-squares curve rises everywhere over the gauged range\n"
                                      : "  not asked for (--allow-decreasing)\n";
    }
    report += "\n" + rating::equations_text(curve);

    out.files.push_back({name + ".curve.json", curve_text});
    out.files.push_back({name + ".gaugings.csv", gaugings_csv(result, f)});
    out.files.push_back({name + ".selection.csv", selection_csv(result)});
    if (curve.dof > 0)
        out.files.push_back({name + ".band.csv", band_csv(curve)});
    out.files.push_back({name + ".summary.json", summary.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n"});
    out.files.push_back({name + ".report.txt", report});
    return out;
}
