#include "Fit.h"

#include "Knots.h"
#include "LeastSquares.h"
#include "Monotone.h"
#include "Selection.h"
#include "Weighted.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace rating {

Result<std::vector<double>> nu_values(const NuGrid &grid)
{
    constexpr int kMostValues = 1000;
    if (!std::isfinite(grid.from) || !std::isfinite(grid.to) || !std::isfinite(grid.step) || !(grid.step > 0.0) ||
        grid.to < grid.from)
        return file_error_value("", "the nu grid must be from:to:step with from <= to and a step above 0");
    if (grid.from <= 0.0 && grid.to >= 0.0)
        return file_error_value("", "the nu grid holds 0, for which Q^nu cannot be fitted");
    const double scale = std::pow(10.0, grid.decimals);
    std::vector<double> values;
    for (int k = 0;; k++) {
        const double raw = grid.from + k * grid.step;
        if (raw > grid.to + 1e-9 * grid.step)
            break;
        if (k == kMostValues)
            return file_error_value("", "the nu grid holds more than 1000 values");
        values.push_back(std::round(raw * scale) / scale);
    }
    return values;
}

} // namespace rating

namespace rating {

namespace {

constexpr std::size_t kNamedLines = 10;

std::string lines_text(const std::vector<LineNumber> &lines)
{
    std::string text;
    for (std::size_t i = 0; i < lines.size() && i < kNamedLines; i++)
        text += (i == 0 ? "" : ", ") + std::to_string(lines[i]);
    if (lines.size() > kNamedLines)
        text += " and " + std::to_string(lines.size() - kNamedLines) + " more";
    return text;
}

std::string number_text(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

const char *degree_words(int degree)
{
    static const char *const kWords[] = {"", "straight lines", "parabolas", "cubics"};
    return kWords[degree];
}

// The knot vector of the B-splines: coincident interior knots merged, the
// ends repeated degree + 1 times, as the solver merges them.
std::vector<double> spline_knots(const std::vector<double> &Y, int degree)
{
    std::vector<double> knots(static_cast<std::size_t>(degree) + 1, Y.front());
    double last = Y.front();
    for (std::size_t k = 1; k + 1 < Y.size(); k++)
        if (Y[k] > last && Y[k] < Y.back()) {
            knots.push_back(Y[k]);
            last = Y[k];
        }
    knots.insert(knots.end(), static_cast<std::size_t>(degree) + 1, Y.back());
    return knots;
}

// (R' R)^-1 = R^-1 R^-T for the upper-triangular R, p x p row-major.
std::vector<double> inverse_normal(const std::vector<double> &R, int p)
{
    std::vector<double> inverse(static_cast<std::size_t>(p) * p, 0.0);  // R^-1, upper triangular
    for (int col = 0; col < p; col++) {
        for (int i = col; i >= 0; i--) {
            double sum = i == col ? 1.0 : 0.0;
            for (int k = i + 1; k <= col; k++)
                sum -= R[static_cast<std::size_t>(i) * p + k] * inverse[static_cast<std::size_t>(k) * p + col];
            inverse[static_cast<std::size_t>(i) * p + col] = sum / R[static_cast<std::size_t>(i) * p + i];
        }
    }
    std::vector<double> C(static_cast<std::size_t>(p) * p, 0.0);
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++) {
            double sum = 0.0;
            for (int k = std::max(i, j); k < p; k++)
                sum += inverse[static_cast<std::size_t>(i) * p + k] * inverse[static_cast<std::size_t>(j) * p + k];
            C[static_cast<std::size_t>(i) * p + j] = sum;
        }
    return C;
}

// The interval of the placed knots Y[0..J] holding stage h: the highest j
// whose knot is at or below it (from 1, at most J); 0 outside the range.
int interval_number(const std::vector<double> &Y, double h)
{
    if (h < Y.front() || h > Y.back())
        return 0;
    const int J = static_cast<int>(Y.size()) - 1;
    int interval = 1;
    for (int j = 1; j < J; j++)
        if (h >= Y[static_cast<std::size_t>(j)])
            interval = j + 1;
    return interval;
}

Error station_error(const Station &station, std::string message, LineNumber line = 0)
{
    Error e;
    e.file = station.source;
    e.line = line;
    e.message = (station.id.empty() ? "" : "station " + station.id + ": ") + std::move(message);
    return e;
}

} // namespace

Result<FitResult> fit_station(const Station &station, const FitSettings &settings)
{
    FitResult result;
    std::vector<const Gauging *> active;  // by stage
    for (const std::size_t i : active_order(station.gaugings))
        active.push_back(&station.gaugings[i]);
    const int n = static_cast<int>(active.size());
    if (settings.degree < 1 || settings.degree > 3)
        return station_error(station, "the degree must be 1, 2 or 3");
    if (n < 2)
        return station_error(station, std::to_string(n) + " active gauging" + (n == 1 ? "" : "s") +
                                          ": a rating curve needs at least " + std::to_string(settings.degree + 2));

    // The weights: by the uncertainties only when every active gauging has one above 0.
    std::vector<LineNumber> without;
    for (const Gauging *g : active)
        if (!(has_sigma(*g) && g->sigma > 0.0))
            without.push_back(g->line);
    bool weighted = settings.weights == WeightMode::uncertainty;
    if (weighted && !without.empty())
        return station_error(station,
                             "weights by uncertainty need an uncertainty above 0 for every active gauging, "
                             "but line" + std::string(without.size() == 1 ? " " : "s ") + lines_text(without) +
                                 (without.size() == 1 ? " has none" : " have none"),
                             without.front());
    if (settings.weights == WeightMode::automatic) {
        weighted = without.empty();
        if (!weighted && without.size() == active.size())
            result.notices.push_back("Fitted without weights: the gaugings have no uncertainty");
        else if (!weighted)
            result.notices.push_back("Fitted without weights: no uncertainty above 0 on line" +
                                     std::string(without.size() == 1 ? " " : "s ") + lines_text(without) +
                                     (station.source.empty() ? "" : " of " + station.source));
    }

    std::vector<double> h;
    std::vector<double> Q;
    std::vector<double> sigma;
    h.reserve(active.size());
    Q.reserve(active.size());
    for (const Gauging *g : active) {
        h.push_back(g->stage);
        Q.push_back(g->discharge);
        if (weighted)
            sigma.push_back(g->sigma);
    }
    if (!(h.back() > h.front()))
        return station_error(station, "every active gauging is at the same stage " + number_text(h.front()) +
                                          ": the curve cannot be fitted");
    for (std::size_t k = 0; k < settings.knots.size(); k++) {
        const double knot = settings.knots[k];
        if (!std::isfinite(knot) || !(knot > h.front() && knot < h.back()))
            return station_error(station, "the knot stage " + number_text(knot) +
                                              " does not lie strictly between the lowest and highest active stage, " +
                                              number_text(h.front()) + " and " + number_text(h.back()));
        if (k > 0 && !(knot > settings.knots[k - 1]))
            return station_error(station, "the knot stages must be strictly ascending");
    }

    // The model is chosen from the data when the exponent or the number of
    // automatic intervals is left open; otherwise it is the one asked for.
    const bool choose = settings.nu_auto || (settings.intervals_auto && settings.knots.empty());
    double nu = settings.nu;
    int J = settings.knots.empty() ? settings.intervals : static_cast<int>(settings.knots.size()) + 1;
    double cv_se_pct = std::numeric_limits<double>::quiet_NaN();
    double se_pct = std::numeric_limits<double>::quiet_NaN();
    if (choose) {
        Result<std::vector<Candidate>> selection = select_model(h, Q, sigma, settings);
        if (!selection)
            return station_error(station, selection.error().message);
        result.selection = std::move(selection).value();
        const auto chosen = std::find_if(result.selection.begin(), result.selection.end(),
                                         [](const Candidate &c) { return c.chosen; });
        if (chosen == result.selection.end())
            return station_error(station, "no candidate model could be fitted");
        nu = chosen->nu;
        J = chosen->intervals;
        cv_se_pct = chosen->cv_se_pct;
        se_pct = chosen->se_pct;
    } else if (!std::isfinite(nu) || nu == 0.0) {
        return station_error(station, "the exponent nu must be a finite number other than 0");
    } else if (J < 1 || J > n) {
        return station_error(station, std::to_string(J) + " intervals need at least as many active gaugings, but there are " +
                                          std::to_string(n));
    }
    for (const double q : Q) {
        // Q^nu lies between 1e-300 and 1e300 for such Q and nu.
        const bool surely_finite = q >= 1e-300 && q <= 1e300 && std::fabs(nu) <= 1.0;
        if (!surely_finite && (!std::isfinite(std::pow(q, nu)) || (q == 0.0 && nu < 0.0)))
            return station_error(station, "with nu = " + number_text(nu) + " the discharge " + number_text(q) +
                                              " gives no finite Q^nu");
    }
    result.listed_knots = !settings.knots.empty();
    result.interval_knots = result.listed_knots ? listed_knots(h, settings.knots) : automatic_knots(h, J);

    ModelFit model;
    fit_model(h, Q, sigma, nu, result.interval_knots, settings.degree, model);
    const SplineFit &fit = model.fit;
    const int p = fit.unknowns;
    if (!fit.determined)
        return station_error(station, "the gaugings do not determine the curve at " + ranges_in_words(fit.undetermined) +
                                          ": use fewer intervals or other knots");
    if (n < p + 1)
        return station_error(station, std::to_string(n) + " active gaugings for a curve of " + std::to_string(p) +
                                          " coefficients (" + std::to_string(J) + " intervals of " +
                                          degree_words(settings.degree) + "): at least " + std::to_string(p + 1) +
                                          " are needed");

    Curve &curve = result.curve;
    curve.station = station.id;
    curve.title = station.name.empty() ? station.id : station.name;
    curve.nu = nu;
    curve.degree = settings.degree;
    curve.knots = spline_knots(result.interval_knots, settings.degree);
    if (static_cast<int>(curve.knots.size()) - settings.degree - 1 != p)
        return station_error(station, "the knots could not be merged as the solver merged them");
    curve.coefficients = fit.coef;
    curve.stage_range = {h.front(), h.back()};
    curve.n = n;
    curve.n_inactive = static_cast<int>(station.gaugings.size()) - n;
    curve.p = p;
    curve.dof = n - p;
    curve.weighted = weighted;

    std::vector<double> R;
    std::vector<double> d;
    spline_dense_factor(fit, R, d);
    const std::vector<double> unscaled = inverse_normal(R, p);

    const auto fitted = [&](const Curve &c) {
        std::vector<FittedGauging> out;
        out.reserve(active.size());
        for (std::size_t i = 0; i < active.size(); i++) {
            FittedGauging &f = out.emplace_back();
            f.gauging = *active[i];
            f.fitted_nu = curve_value(c, h[i]);
            f.residual_nu = model.y[i] - f.fitted_nu;
            f.interval = interval_number(result.interval_knots, h[i]);
        }
        return out;
    };
    // The sum of squares of the residuals, unweighted.
    const auto sum_of_squares = [](const std::vector<FittedGauging> &fitted_gaugings) {
        double sum = 0.0;
        for (const FittedGauging &f : fitted_gaugings)
            sum += f.residual_nu * f.residual_nu;
        return sum;
    };
    result.active = fitted(curve);
    const double sse = sum_of_squares(result.active);
    result.sse_nu_unconstrained = sse;
    if (weighted) {
        curve.s_m = std::sqrt(model.s_m2);
        curve.s = curve.s_m;
        curve.covariance = unscaled;
        double r2 = 0.0;
        int count = 0;
        for (const Gauging *g : active)
            if (g->discharge > 0.0) {
                r2 += (g->sigma / g->discharge) * (g->sigma / g->discharge);
                count++;
            }
        curve.r = count > 0 ? std::sqrt(r2 / count) : 0.0;
    } else {
        curve.s = std::sqrt(sse / curve.dof);
        curve.s_m = curve.s;
        curve.covariance = unscaled;
        for (double &v : curve.covariance)
            v *= curve.s * curve.s;
    }

    if (!choose) {
        Candidate only = score_model(h, Q, model, nu);
        only.nu = nu;
        only.intervals = J;
        only.p = p;
        only.chosen = true;
        cv_se_pct = only.cv_se_pct;
        se_pct = only.se_pct;
        result.selection.push_back(only);
    }

    if (settings.increasing) {
        const std::vector<StageRange> falling = falling_ranges(curve_pieces(curve), nu > 0.0);
        if (!falling.empty()) {
            const MonotoneFit rising = fit_monotone(R, d, p, nu > 0.0);
            curve.coefficients = rising.coefficients;
            const int a = static_cast<int>(rising.active.size());
            curve.dof = n - (p - a);
            for (const int k : rising.active)
                curve.constraints.push_back(constraint_range(curve.knots, curve.degree, k));
            curve.covariance = rising.covariance;
            result.active = fitted(curve);
            if (!weighted) {
                curve.s = std::sqrt(sum_of_squares(result.active) / curve.dof);
                curve.s_m = curve.s;
                for (double &v : curve.covariance)
                    v *= curve.s * curve.s;
            }
            result.constrained = true;
            result.notices.push_back("The least-squares curve falls with rising stage at " + ranges_in_words(falling) +
                                     ": replaced by the best rising curve");
        }
    }
    result.sse_nu = sum_of_squares(result.active);

    // Weights and the gaugings' own uncertainty in Q^nu.
    double mean_u2 = 0.0;
    double mean_w = 0.0;
    for (std::size_t i = 0; i < result.active.size(); i++) {
        FittedGauging &f = result.active[i];
        if (weighted) {
            f.u = sigma_in_q_nu(nu, f.gauging.discharge, f.gauging.sigma);
            f.weight = 1.0 / (model.s_m2 + f.u * f.u);
            mean_u2 += f.u * f.u;
            mean_w += f.weight;
        }
    }
    if (weighted) {
        mean_u2 /= n;
        mean_w /= n;
        for (FittedGauging &f : result.active)
            f.weight /= mean_w;
        result.explained_share = mean_u2 / (model.s_m2 + mean_u2);
    }

    for (const Gauging &g : station.gaugings) {
        if (g.active)
            continue;
        FittedGauging f;
        f.gauging = g;
        f.interval = interval_number(result.interval_knots, g.stage);
        f.fitted_nu = curve_value(curve, g.stage);
        f.residual_nu = std::pow(g.discharge, nu) - f.fitted_nu;
        f.weight = std::numeric_limits<double>::quiet_NaN();
        if (weighted && has_sigma(g))
            f.u = sigma_in_q_nu(nu, g.discharge, g.sigma);
        result.inactive.push_back(std::move(f));
    }

    const Gauging *first = nullptr;
    const Gauging *last = nullptr;
    for (const Gauging *g : active) {
        if (!has_date(*g))
            continue;
        if (first == nullptr || g->time < first->time)
            first = g;
        if (last == nullptr || g->time > last->time)
            last = g;
    }
    if (first != nullptr) {
        curve.period_first = first->date;
        curve.period_last = last->date;
    }
    curve.selection.made = choose;
    curve.selection.criterion = "cv_se";
    curve.selection.nu = nu;
    curve.selection.intervals = J;
    curve.selection.cv_se_pct = cv_se_pct;
    result.se_unconstrained_pct = se_pct;
    return result;
}

} // namespace rating
