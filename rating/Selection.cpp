#include "Selection.h"

#include "Knots.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <string>

namespace rating {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kLeverageLimit = 1.0 - 1e-9;
constexpr double kNearBest = 0.02;  // relative CV-Se within which the simplest model wins
constexpr int kMostIntervals = 30;

std::string number_text(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// What a candidate is scored from: the gaugings, their Q^nu, the fitted
// values and the leverages (read only when the fit is determined and n > p).
struct Scored {
    const double *h, *Q, *lnQ, *y;
    int n;
    const double *fitted, *leverage;
};

bool needs_leverages(const SplineFit &fit, int n)
{
    return fit.determined && n > fit.unknowns;
}

void score(const Scored &d, const SplineFit &fit, double nu, Candidate &c)
{
    c.p = fit.unknowns;
    c.cv_se_pct = kNaN;
    c.se_pct = kNaN;
    c.eligible = false;
    c.chosen = false;
    c.why.clear();
    if (!fit.determined) {
        c.why = "the gaugings do not fix the curve";
        if (!fit.undetermined.empty())
            c.why += " at stages " + number_text(fit.undetermined.front().first) + " to " +
                     number_text(fit.undetermined.front().second);
        return;
    }

    const double inverse_nu = 1.0 / nu;
    double fitted_sum = 0.0;
    int fitted_count = 0;
    for (int i = 0; i < d.n; i++)
        if (d.Q[i] > 0.0 && d.fitted[i] > 0.0) {
            const double r = d.lnQ[i] - std::log(d.fitted[i]) * inverse_nu;
            fitted_sum += r * r;
            fitted_count++;
        }
    if (fitted_count > c.p)
        c.se_pct = 100.0 * std::sqrt(fitted_sum / (fitted_count - c.p));

    if (!needs_leverages(fit, d.n)) {
        c.why = std::to_string(c.p) + " coefficients need at least " + std::to_string(c.p + 1) +
                " gaugings, there are " + std::to_string(d.n);
        return;
    }
    double sum = 0.0;
    int count = 0;
    for (int i = 0; i < d.n; i++) {
        const double leverage = d.leverage[i];
        if (!(leverage < kLeverageLimit)) {
            c.why = "the curve passes through the gauging at stage " + number_text(d.h[i]) + " (leverage 1)";
            return;
        }
        if (!(d.Q[i] > 0.0))
            continue;
        const double left_out = d.y[i] - (d.y[i] - d.fitted[i]) / (1.0 - leverage);
        if (!(left_out > 0.0)) {
            c.why = "the curve without the gauging at stage " + number_text(d.h[i]) +
                    " gives no discharge there";
            return;
        }
        const double r = d.lnQ[i] - std::log(left_out) * inverse_nu;
        sum += r * r;
        count++;
    }
    if (count == 0) {
        c.why = "no gauging has a discharge above 0";
        return;
    }
    c.cv_se_pct = 100.0 * std::sqrt(sum / count);
    c.eligible = true;
}

// Scores a fit of its own: fitted values and leverages (weights w, or
// nullptr) into scratch, 2 n long.
void score_alone(const Scored &d, const SplineFit &fit, const double *w, double nu, double *scratch, Candidate &c)
{
    double *fitted = scratch;
    double *leverage = scratch + d.n;
    spline_values(fit, d.h, d.n, fitted);
    if (needs_leverages(fit, d.n))
        spline_leverages(fit, d.h, w, d.n, leverage);
    Scored data = d;
    data.fitted = fitted;
    data.leverage = leverage;
    score(data, fit, nu, c);
}

void log_discharges(const std::vector<double> &Q, std::vector<double> &lnQ)
{
    lnQ.resize(Q.size());
    for (std::size_t i = 0; i < Q.size(); i++)
        lnQ[i] = Q[i] > 0.0 ? std::log(Q[i]) : 0.0;
}

Error settings_error(const std::string &message)
{
    return file_error_value("", message);
}

// The knots of every candidate's intervals: the listed ones when given
// (whatever intervals_auto says), else automatic ones.
Result<std::vector<std::vector<double>>> candidate_knots(const std::vector<double> &h, const FitSettings &settings)
{
    const int n = static_cast<int>(h.size());
    std::vector<std::vector<double>> sets;
    if (!settings.knots.empty()) {
        const std::vector<double> &k = settings.knots;
        for (std::size_t i = 0; i < k.size(); i++)
            if (!(k[i] > h.front() && k[i] < h.back()) || (i > 0 && !(k[i] > k[i - 1])))
                return settings_error("the knots must ascend strictly between the lowest and the highest stage (" +
                                      number_text(h.front()) + " to " + number_text(h.back()) + ")");
        sets.push_back(listed_knots(h, k));
    } else if (settings.intervals_auto) {
        if (settings.max_intervals < 1)
            return settings_error("the largest number of intervals to try must be at least 1");
        const int per_interval = settings.degree + 2;
        const int most = std::min({kMostIntervals, n / per_interval, settings.max_intervals});
        if (most < 1)
            return settings_error("too few gaugings to choose the number of intervals: at least " +
                                  std::to_string(per_interval) + " active gaugings are needed for degree " +
                                  std::to_string(settings.degree) + ", there are " + std::to_string(n));
        for (int J = 1; J <= most; J++)
            sets.push_back(automatic_knots(h, J));
    } else {
        if (settings.intervals < 1 || settings.intervals > n)
            return settings_error("the number of intervals must be 1 to the number of gaugings (" +
                                  std::to_string(n) + ")");
        sets.push_back(automatic_knots(h, settings.intervals));
    }
    return sets;
}

Status check_data(const std::vector<double> &h, const std::vector<double> &Q, const std::vector<double> &sigma,
                  const FitSettings &settings)
{
    if (h.empty())
        return settings_error("there are no gaugings to fit");
    if (Q.size() != h.size() || (!sigma.empty() && sigma.size() != h.size()))
        return settings_error("every gauging needs a stage and a discharge, and an uncertainty when weighted");
    if (settings.degree < 1 || settings.degree > 3)
        return settings_error("the degree must be 1, 2 or 3");
    for (std::size_t i = 0; i < h.size(); i++) {
        if (!std::isfinite(h[i]) || (i > 0 && h[i] < h[i - 1]))
            return settings_error("the stages must be finite and in ascending order");
        if (!(Q[i] >= 0.0) || !std::isfinite(Q[i]))
            return settings_error("the discharges must be finite and not negative");
        if (!sigma.empty() && !(sigma[i] > 0.0 && std::isfinite(sigma[i])))
            return settings_error("the uncertainties must be finite and above 0");
    }
    return Done{};
}

// Q^nu of every gauging and, weighted, u^2; a reason when some is out of range.
std::string transform(const std::vector<double> &h, const std::vector<double> &Q, const std::vector<double> &sigma,
                      double nu, double *y, double *u2)
{
    for (std::size_t i = 0; i < Q.size(); i++) {
        y[i] = std::pow(Q[i], nu);
        if (!std::isfinite(y[i]))
            return "Q^nu of the gauging at stage " + number_text(h[i]) + " is not a finite number";
        if (!sigma.empty()) {
            const double u = sigma_in_q_nu(nu, Q[i], sigma[i]);
            u2[i] = u * u;
            if (!(u2[i] >= std::numeric_limits<double>::min()) || !std::isfinite(u2[i]))
                return "the uncertainty of the gauging at stage " + number_text(h[i]) + " is out of range in Q^nu";
        }
    }
    return std::string();
}

} // namespace

Candidate score_model(const std::vector<double> &h, const std::vector<double> &Q, const ModelFit &model, double nu)
{
    const std::size_t n = h.size();
    std::vector<double> lnQ;
    log_discharges(Q, lnQ);
    std::vector<double> scratch(2 * n);
    const Scored data{h.data(), Q.data(), lnQ.data(), model.y.data(), static_cast<int>(n), nullptr, nullptr};
    Candidate c;
    c.nu = nu;
    c.intervals = static_cast<int>(model.knots.size()) - 1;
    score_alone(data, model.fit, model.w.empty() ? nullptr : model.w.data(), nu, scratch.data(), c);
    return c;
}

int choose_candidate(std::vector<Candidate> &candidates)
{
    int best = -1;
    for (std::size_t k = 0; k < candidates.size(); k++) {
        candidates[k].chosen = false;
        if (candidates[k].eligible && (best < 0 || candidates[k].cv_se_pct < candidates[best].cv_se_pct))
            best = static_cast<int>(k);
    }
    if (best < 0)
        return -1;
    const double limit = candidates[best].cv_se_pct * (1.0 + kNearBest);
    // Exponents on the grid are rounded to its decimals, so distances from
    // 0.5 that differ by rounding alone count as equal.
    const auto simpler = [](const Candidate &a, const Candidate &b) {
        if (a.p != b.p)
            return a.p < b.p;
        const double da = std::fabs(a.nu - 0.5);
        const double db = std::fabs(b.nu - 0.5);
        if (std::fabs(da - db) > 1e-9)
            return da < db;
        if (a.nu != b.nu)
            return a.nu < b.nu;
        if (a.cv_se_pct != b.cv_se_pct)
            return a.cv_se_pct < b.cv_se_pct;
        return a.intervals < b.intervals;
    };
    int chosen = best;
    for (std::size_t k = 0; k < candidates.size(); k++) {
        const Candidate &c = candidates[k];
        if (c.eligible && c.cv_se_pct <= limit && simpler(c, candidates[chosen]))
            chosen = static_cast<int>(k);
    }
    candidates[chosen].chosen = true;
    return chosen;
}

Result<std::vector<Candidate>> select_model(const std::vector<double> &h, const std::vector<double> &Q,
                                            const std::vector<double> &sigma, const FitSettings &settings)
{
    if (const Status checked = check_data(h, Q, sigma, settings); !checked)
        return checked.error();
    std::vector<double> nus{settings.nu};
    if (settings.nu_auto) {
        Result<std::vector<double>> grid = nu_values(settings.nu_grid);
        if (!grid)
            return grid.error();
        nus = std::move(grid).value();
    } else if (!(settings.nu != 0.0 && std::isfinite(settings.nu))) {
        return settings_error("nu must be a finite number other than 0");
    }
    const Result<std::vector<std::vector<double>>> knots = candidate_knots(h, settings);
    if (!knots)
        return knots.error();

    const int n = static_cast<int>(h.size());
    const int M = settings.degree;
    const std::size_t size = static_cast<std::size_t>(n);
    const std::vector<std::vector<double>> &knot_sets = knots.value();
    const int intervals = static_cast<int>(knot_sets.size());
    const int count = static_cast<int>(nus.size());
    std::vector<double> lnQ;
    log_discharges(Q, lnQ);

    // Q^nu (and u^2) of every exponent, taken once.
    std::vector<double> y(count * size), u2(sigma.empty() ? 0 : count * size);
    std::vector<std::string> invalid(count);
    for (int v = 0; v < count; v++)
        invalid[v] = transform(h, Q, sigma, nus[v], y.data() + v * size, sigma.empty() ? nullptr : u2.data() + v * size);
    std::vector<Candidate> candidates(count * static_cast<std::size_t>(intervals));
    for (int v = 0; v < count; v++)
        for (int j = 0; j < intervals; j++) {
            Candidate &c = candidates[v * static_cast<std::size_t>(intervals) + j];
            c.nu = nus[v];
            c.intervals = static_cast<int>(knot_sets[j].size()) - 1;
            c.cv_se_pct = c.se_pct = kNaN;
            c.why = invalid[v];
        }

    std::vector<int> valid;
    for (int v = 0; v < count; v++)
        if (invalid[v].empty())
            valid.push_back(v);
    std::vector<double> fitted(valid.size() * size), leverage(size), work;
    if (sigma.empty()) {
        // Unweighted, the design matrix of a knot set is the same for every
        // exponent: one reduction for all of them, one set of leverages. The
        // most intervals come first, so the fits' storage never grows.
        std::vector<const double *> ys;
        std::vector<double *> fitted_of;
        for (std::size_t k = 0; k < valid.size(); k++) {
            ys.push_back(y.data() + valid[k] * size);
            fitted_of.push_back(fitted.data() + k * size);
        }
        std::vector<SplineFit> fits(valid.size());
        for (int j = intervals - 1; j >= 0 && !valid.empty(); j--) {
            const std::vector<double> &Y = knot_sets[j];
            fit_spline_many(h.data(), ys.data(), static_cast<int>(valid.size()), n, Y.data(),
                            static_cast<int>(Y.size()) - 1, M, fits.data(), fitted_of.data(), work);
            if (needs_leverages(fits[0], n))
                spline_leverages(fits[0], h.data(), nullptr, n, leverage.data());
            for (std::size_t k = 0; k < valid.size(); k++) {
                const Scored data{h.data(), Q.data(), lnQ.data(), ys[k], n, fitted_of[k], leverage.data()};
                score(data, fits[k], nus[valid[k]], candidates[valid[k] * static_cast<std::size_t>(intervals) + j]);
            }
        }
    } else {
        SplineFit fit;
        std::vector<double> w, scratch(2 * size);
        for (const int v : valid)
            for (int j = intervals - 1; j >= 0; j--) {
                const std::vector<double> &Y = knot_sets[j];
                const double *yv = y.data() + v * size;
                fit_reml(h.data(), yv, u2.data() + v * size, n, Y.data(), static_cast<int>(Y.size()) - 1, M, w, fit,
                         work);
                const Scored data{h.data(), Q.data(), lnQ.data(), yv, n, nullptr, nullptr};
                score_alone(data, fit, w.data(), nus[v], scratch.data(), candidates[v * static_cast<std::size_t>(intervals) + j]);
            }
    }
    if (choose_candidate(candidates) < 0) {
        const Candidate &first = candidates.front();
        return settings_error("no candidate model can be fitted to the gaugings (nu " + number_text(first.nu) +
                              ", " + std::to_string(first.intervals) + " intervals: " + first.why + ")");
    }
    return candidates;
}

} // namespace rating
