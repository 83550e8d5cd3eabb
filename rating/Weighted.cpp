#include "Weighted.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>

namespace rating {

namespace {

// The generalised least-squares fit at s = s_m2 and the score of the
// restricted likelihood there. With w_i = 1 / (s + u_i^2), e the residuals
// and h_ii the leverages, the likelihood's slope in s is half of
// sum w_i^2 e_i^2 - sum w_i (1 - h_ii); score() returns the log of the ratio
// of the two sums, which falls nearly linearly in ln s once s outweighs the
// u_i^2, and is positive while the likelihood still rises.
class Reml {
public:
    Reml(const double *h, const double *y, const double *u2, int n, const double *Y, int J, int M,
         std::vector<double> &w, SplineFit &fit, std::vector<double> &work)
        : h_(h), y_(y), u2_(u2), n_(n), Y_(Y), J_(J), M_(M), w_(w), fit_(fit), work_(work)
    {
        w_.resize(static_cast<std::size_t>(n));
        work_.resize(2 * static_cast<std::size_t>(n));
    }

    void fit_at(double s)
    {
        for (int i = 0; i < n_; i++)
            w_[i] = 1.0 / (s + u2_[i]);
        fit_spline_weighted(h_, y_, w_.data(), n_, Y_, J_, M_, fit_);
    }

    // Fits at s; the log ratio of the two sides of the score equation.
    double score(double s)
    {
        fit_at(s);
        double *fitted = work_.data();
        double *leverage = fitted + n_;
        spline_values(fit_, h_, n_, fitted);
        spline_leverages(fit_, h_, w_.data(), n_, leverage);
        double residual_side = 0.0;
        double trace_side = 0.0;
        unweighted_sse_ = 0.0;
        for (int i = 0; i < n_; i++) {
            const double e = y_[i] - fitted[i];
            const double we = w_[i] * e;
            residual_side += we * we;
            trace_side += w_[i] * (1.0 - leverage[i]);
            unweighted_sse_ += e * e;
        }
        residual_zero_ = residual_side == 0.0;
        return std::log(residual_side) - std::log(trace_side);
    }

    double unweighted_sse() const { return unweighted_sse_; }
    bool residual_zero() const { return residual_zero_; }

private:
    const double *h_, *y_, *u2_;
    int n_;
    const double *Y_;
    int J_, M_;
    std::vector<double> &w_;
    SplineFit &fit_;
    std::vector<double> &work_;
    double unweighted_sse_ = 0.0;
    bool residual_zero_ = false;
};

// The root of f between a and b, where fa = f(a) and fb = f(b) differ in
// sign, by Brent's method: inverse quadratic or secant steps while they
// shrink the bracket fast enough, bisection otherwise. It stops when the
// bracket has shrunk to 2 eps |x| + 2 eps, a few units of rounding in
// s_m2 = exp(x), or f is exactly 0.
template <class F>
double brent_root(F f, double a, double fa, double b, double fb)
{
    constexpr double eps = DBL_EPSILON;
    double c = a;
    double fc = fa;
    double d = b - a;
    double e = d;
    for (int iteration = 0; iteration < 200; iteration++) {
        if ((fb > 0.0) == (fc > 0.0)) {
            c = a;
            fc = fa;
            d = e = b - a;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double tolerance = 2.0 * eps * std::fabs(b) + 2.0 * eps;
        const double half = 0.5 * (c - b);
        if (std::fabs(half) <= tolerance || fb == 0.0)
            return b;
        if (std::fabs(e) >= tolerance && std::fabs(fa) > std::fabs(fb)) {
            const double s = fb / fa;
            double p;
            double q;
            if (a == c) {
                p = 2.0 * half * s;
                q = 1.0 - s;
            } else {
                const double qa = fa / fc;
                const double r = fb / fc;
                p = s * (2.0 * half * qa * (qa - r) - (b - a) * (r - 1.0));
                q = (qa - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (p > 0.0)
                q = -q;
            else
                p = -p;
            if (2.0 * p < std::min(3.0 * half * q - std::fabs(tolerance * q), std::fabs(e * q))) {
                e = d;
                d = p / q;
            } else {
                d = half;
                e = d;
            }
        } else {
            d = half;
            e = d;
        }
        a = b;
        fa = fb;
        b += std::fabs(d) > tolerance ? d : std::copysign(tolerance, half);
        fb = f(b);
    }
    return b;
}

} // namespace

double sigma_in_q_nu(double nu, double Q, double sigma)
{
    if (Q == 0.0)
        return std::pow(sigma, nu);
    return nu * std::pow(Q, nu - 1.0) * sigma;
}

double fit_reml(const double *h, const double *y, const double *u2, int n, const double *Y, int J, int M,
                std::vector<double> &w, SplineFit &fit, std::vector<double> &work)
{
    Reml reml(h, y, u2, n, Y, J, M, w, fit, work);
    const double smallest = std::max(*std::min_element(u2, u2 + n), DBL_MIN);
    const double largest = *std::max_element(u2, u2 + n);

    // At s = 0: the maximum lies there when the likelihood falls from it.
    const double at_zero = reml.score(0.0);
    if (!fit.determined || n <= fit.rank || reml.residual_zero() || !(at_zero > 0.0))
        return 0.0;

    // Above: with S0 the plain sum of squares of any curve (this one) and
    // r = n - rank, sum w^2 e^2 <= S0 / s^2 and sum w (1 - h) >= r / (s + max u^2),
    // so the score is negative from the root of r s^2 = S0 (s + max u^2) on.
    const double r = n - fit.rank;
    const double S0 = reml.unweighted_sse();
    double high = (S0 + std::sqrt(S0 * S0 + 4.0 * r * S0 * largest)) / (2.0 * r);
    double at_high = reml.score(high);
    for (int k = 0; k < 64 && at_high > 0.0; k++)
        at_high = reml.score(high *= 2.0);
    if (at_high == 0.0) {
        reml.fit_at(high);
        return high;
    }

    // Below: an s that adds nothing to any u_i^2 scores exactly as s = 0.
    double low = smallest * 0x1p-54;
    double at_low = at_zero;

    // One fixed-point step s (sum w^2 e^2) / (sum w (1 - h)) from above, exact
    // where s outweighs the u_i^2, narrows the bracket.
    const double guess = high * std::exp(at_high);
    if (guess > low && guess < high) {
        const double at_guess = reml.score(guess);
        if (at_guess == 0.0) {
            reml.fit_at(guess);
            return guess;
        }
        if (at_guess > 0.0) {
            low = guess;
            at_low = at_guess;
        } else {
            high = guess;
            at_high = at_guess;
        }
    }
    const double x = brent_root([&](double t) { return reml.score(std::exp(t)); }, std::log(low), at_low,
                                std::log(high), at_high);
    const double s = std::exp(x);
    reml.fit_at(s);
    return s;
}

void fit_model(const std::vector<double> &h, const std::vector<double> &Q, const std::vector<double> &sigma,
               double nu, const std::vector<double> &knots, int degree, ModelFit &out)
{
    const int n = static_cast<int>(h.size());
    const int J = static_cast<int>(knots.size()) - 1;
    out.knots = knots;
    out.y.resize(Q.size());
    for (std::size_t i = 0; i < Q.size(); i++)
        out.y[i] = std::pow(Q[i], nu);
    if (sigma.empty()) {
        out.u2.clear();
        out.w.clear();
        fit_spline(h.data(), out.y.data(), n, knots.data(), J, degree, out.fit);
        const bool estimable = out.fit.determined && n > out.fit.unknowns;
        out.s_m2 = estimable ? out.fit.sse / (n - out.fit.unknowns) : 0.0;
        return;
    }
    out.u2.resize(sigma.size());
    for (std::size_t i = 0; i < sigma.size(); i++) {
        const double u = sigma_in_q_nu(nu, Q[i], sigma[i]);
        out.u2[i] = u * u;
    }
    std::vector<double> work;
    out.s_m2 = fit_reml(h.data(), out.y.data(), out.u2.data(), n, knots.data(), J, degree, out.w, out.fit, work);
}

} // namespace rating
