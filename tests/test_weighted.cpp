// The weighted fit of a model: the weighted spline, its leverages and dense
// factor against dense computations in an independently evaluated basis, and
// the restricted-likelihood scatter against a dense REML solved by bisection,
// its limits, and the coverage of the prediction band it gives.
#include "Curve.h"
#include "Knots.h"
#include "LeastSquares.h"
#include "Weighted.h"

#include "DenseBasis.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using Vec = std::vector<double>;
using dense::design;
using dense::knot_vector;
using dense::Matrix;
using dense::Real;
using dense::Vector;

std::mt19937_64 rng;

double uniform(double lo, double hi)
{
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

double normal()
{
    return std::normal_distribution<double>(0.0, 1.0)(rng);
}

Vector vec(const Vec &v)
{
    return Eigen::Map<const Eigen::VectorXd>(v.data(), v.size()).cast<Real>();
}

// Weighted least squares by the normal equations in long double.
Vector wls(const Matrix &X, const Vector &y, const Vector &w)
{
    const Matrix XtW = X.transpose() * w.asDiagonal();
    return (XtW * X).ldlt().solve(XtW * y);
}

// Twice the slope of the restricted log-likelihood in s: y'P P y - tr P with
// P = W - W X (X'WX)^-1 X' W, W = diag(1 / (s + u2)), formed as a matrix.
Real reml_slope(const Matrix &X, const Vector &y, const Vector &u2, Real s)
{
    const Vector w = (u2.array() + s).inverse();
    const Matrix WX = w.asDiagonal() * X;
    const Matrix P = Matrix(w.asDiagonal()) - WX * (X.transpose() * WX).ldlt().solve(WX.transpose());
    return (P * y).squaredNorm() - P.trace();
}

// The REML scatter by bisection on s: 0 when the likelihood falls from 0.
Real dense_reml(const Matrix &X, const Vector &y, const Vector &u2)
{
    if (reml_slope(X, y, u2, 0.0L) <= 0)
        return 0.0L;
    Real lo = 0.0L;
    Real hi = (y.array() - y.mean()).square().mean() + u2.maxCoeff();
    while (reml_slope(X, y, u2, hi) > 0)
        hi *= 2;
    while (hi - lo > 1e-16L * hi) {
        const Real mid = (lo + hi) / 2;
        (reml_slope(X, y, u2, mid) > 0 ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

// A gauge of n gaugings following Q = a (h - h0)^b, with a relative
// uncertainty r_i between 1 % and 10 % (log-uniform) and a scatter of the
// curve's own of `scatter` relative on top: sigma_i = r_i Q_i.
struct Gauge {
    Vec h, Q, sigma;
};

Gauge simulated(int n, double scatter)
{
    Gauge g;
    g.h = Vec(n);
    for (double &s : g.h)
        s = uniform(0.6, 3.5);
    std::sort(g.h.begin(), g.h.end());
    const double a = uniform(5, 40);
    const double b = uniform(1.5, 2.5);
    for (double s : g.h) {
        const double r = 0.01 * std::pow(10.0, uniform(0, 1));
        const double q = a * std::pow(s - 0.4, b) * std::exp(scatter * normal() + r * normal());
        g.Q.push_back(q);
        g.sigma.push_back(r * q);
    }
    return g;
}

double range_of(const Vec &v)
{
    return *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
}

} // namespace

TEST(WeightedSpline, AgreesWithDenseWeightedLeastSquares)
{
    rng.seed(11);
    for (int trial = 0; trial < 18; trial++) {
        const int M = 1 + trial % 3;
        const int n = 20 + 40 * (trial % 5);
        const int J = 1 + trial % 7;
        Vec h(n), y(n), w(n);
        for (double &s : h)
            s = uniform(0.4, 3.4);
        std::sort(h.begin(), h.end());
        for (int i = 0; i < n; i++) {
            y[i] = std::sqrt(10 * std::pow(h[i] - 0.3, 1.7)) + uniform(-0.2, 0.2);
            w[i] = std::pow(10.0, uniform(-2, 2)); // weights over four decades
        }
        const Vec Y = rating::automatic_knots(h, J);
        SCOPED_TRACE("M " + std::to_string(M) + ", n " + std::to_string(n) + ", J " + std::to_string(J));
        SplineFit fit;
        fit_spline_weighted(h.data(), y.data(), w.data(), n, Y.data(), J, M, fit);
        ASSERT_TRUE(fit.determined);

        const std::vector<Real> tau = knot_vector(Y, M);
        const Matrix X = design(tau, M, h);
        const Vector c = wls(X, vec(y), vec(w));
        const Vector fitted = X * c;
        const Vector residual = vec(y) - fitted;
        const double sse = static_cast<double>((vec(w).array() * residual.array().square()).sum());
        EXPECT_NEAR(fit.sse, sse, 1e-10 * sse);

        Vec values(n), leverages(n);
        spline_values(fit, h.data(), n, values.data());
        spline_leverages(fit, h.data(), w.data(), n, leverages.data());
        const Matrix A = X.transpose() * vec(w).asDiagonal() * X;
        const Eigen::LDLT<Matrix> normal_equations(A);
        double trace = 0.0;
        for (int i = 0; i < n; i++) {
            ASSERT_EQ(values[i], spline_value(fit, h[i]));
            ASSERT_NEAR(values[i], static_cast<double>(fitted(i)), 1e-11 * range_of(y));
            const Vector x = X.row(i).transpose();
            const double dense = static_cast<double>(w[i] * x.dot(normal_equations.solve(x)));
            ASSERT_NEAR(leverages[i], dense, 1e-10 * dense);
            ASSERT_NEAR(leverages[i], w[i] * spline_leverage(fit, h[i]), 1e-11 * leverages[i]);
            trace += leverages[i];
        }
        EXPECT_NEAR(trace, fit.unknowns, 1e-10 * fit.unknowns);

        // The dense factor: R'R = X'WX, and R c = d gives the coefficients.
        Vec R, d;
        spline_dense_factor(fit, R, d);
        const int p = fit.unknowns;
        ASSERT_EQ(R.size(), static_cast<std::size_t>(p) * p);
        Matrix Rm(p, p);
        for (int r = 0; r < p; r++)
            for (int k = 0; k < p; k++) {
                Rm(r, k) = R[static_cast<std::size_t>(r) * p + k];
                if (k < r) {
                    ASSERT_EQ(Rm(r, k), 0.0L);
                }
            }
        EXPECT_LE(static_cast<double>((Rm.transpose() * Rm - A).norm()), 1e-12 * static_cast<double>(A.norm()));
        const Vector from_factor = Rm.triangularView<Eigen::Upper>().solve(vec(d));
        EXPECT_LE(static_cast<double>((from_factor - c).norm()), 1e-10 * static_cast<double>(c.norm()));
        // The constant: |R c - d|^2 + const = weighted sum of squares at any c.
        const Vector other = c + Vector::Constant(p, 0.1L);
        const Vector r_other = vec(y) - X * other;
        const Real direct = (vec(w).array() * r_other.array().square()).sum();
        const Real via_factor = (Rm * other - vec(d)).squaredNorm() + fit.sse;
        EXPECT_NEAR(static_cast<double>(via_factor), static_cast<double>(direct), 1e-10 * static_cast<double>(direct));
    }
}

TEST(WeightedSpline, UnweightedFitsKeepTheirBitsAlsoSeveralAtOnce)
{
    rng.seed(12);
    for (int M = 1; M <= 3; M++)
        for (int J : {1, 4, 13}) {
            const Gauge g = simulated(126, 0.05);
            const double nu = 0.35 + 0.1 * M;
            const Vec Y = rating::automatic_knots(g.h, J);
            const int n = static_cast<int>(g.h.size());
            Vec y;
            for (double q : g.Q)
                y.push_back(std::pow(q, nu));
            SplineFit plain, none, ones;
            fit_spline(g.h.data(), y.data(), n, Y.data(), J, M, plain);
            fit_spline_weighted(g.h.data(), y.data(), nullptr, n, Y.data(), J, M, none);
            const Vec unit(n, 1.0);
            fit_spline_weighted(g.h.data(), y.data(), unit.data(), n, Y.data(), J, M, ones);
            rating::ModelFit model;
            rating::fit_model(g.h, g.Q, {}, nu, Y, M, model);
            SCOPED_TRACE("M " + std::to_string(M) + ", J " + std::to_string(J));
            for (const SplineFit *other : {&none, &ones, &model.fit}) {
                EXPECT_EQ(other->coef, plain.coef);
                EXPECT_EQ(other->factor, plain.factor);
                EXPECT_EQ(other->sse, plain.sse);
            }
            // Several data sets at once, in blocks of four and a rest.
            std::vector<Vec> ys;
            for (int k = 0; k < 6; k++) {
                ys.push_back(y);
                for (double &v : ys.back())
                    v = std::pow(v, 1 + 0.1 * k) + (k == 3 ? 1e6 : 0.0);
            }
            std::vector<const double *> data;
            std::vector<Vec> fitted(ys.size(), Vec(n));
            std::vector<double *> fitted_of;
            for (std::size_t k = 0; k < ys.size(); k++) {
                data.push_back(ys[k].data());
                fitted_of.push_back(fitted[k].data());
            }
            std::vector<SplineFit> many(ys.size());
            Vec work;
            fit_spline_many(g.h.data(), data.data(), static_cast<int>(ys.size()), n, Y.data(), J, M, many.data(),
                            fitted_of.data(), work);
            for (std::size_t k = 0; k < ys.size(); k++) {
                SplineFit alone;
                fit_spline(g.h.data(), ys[k].data(), n, Y.data(), J, M, alone);
                EXPECT_EQ(many[k].coef, alone.coef);
                EXPECT_EQ(many[k].factor, alone.factor);
                EXPECT_EQ(many[k].sse, alone.sse);
                Vec values(n);
                spline_values(alone, g.h.data(), n, values.data());
                EXPECT_EQ(fitted[k], values);
            }
            EXPECT_EQ(model.y, y);
            EXPECT_TRUE(model.u2.empty() && model.w.empty());
            EXPECT_EQ(model.s_m2, plain.sse / (n - plain.unknowns));
        }
}

TEST(Reml, AgreesWithADenseRemlSolvedByBisection)
{
    rng.seed(13);
    for (int trial = 0; trial < 12; trial++) {
        const int M = 1 + trial % 3;
        const int J = 1 + trial % 4;
        const double nu = trial % 2 ? 0.5 : 0.3 + 0.05 * trial;
        const Gauge g = simulated(40 + 10 * trial, 0.03 + 0.01 * (trial % 4));
        const Vec Y = rating::automatic_knots(g.h, J);
        rating::ModelFit model;
        rating::fit_model(g.h, g.Q, g.sigma, nu, Y, M, model);
        SCOPED_TRACE("M " + std::to_string(M) + ", J " + std::to_string(J) + ", nu " + std::to_string(nu));

        const std::vector<Real> tau = knot_vector(Y, M);
        const Matrix X = design(tau, M, g.h);
        Vector y(g.h.size()), u2(g.h.size());
        for (std::size_t i = 0; i < g.h.size(); i++) {
            y(i) = std::pow(static_cast<Real>(g.Q[i]), static_cast<Real>(nu));
            u2(i) = std::pow(nu * std::pow(static_cast<Real>(g.Q[i]), static_cast<Real>(nu) - 1) * g.sigma[i], 2);
            ASSERT_NEAR(model.u2[i], static_cast<double>(u2(i)), 1e-14 * model.u2[i]);
        }
        const Real s = dense_reml(X, y, u2);
        ASSERT_GT(s, 0.0L);
        EXPECT_NEAR(model.s_m2, static_cast<double>(s), 1e-9 * static_cast<double>(s));
        const Vector w = (u2.array() + s).inverse();
        const Vector fitted = X * wls(X, y, w);
        for (std::size_t i = 0; i < g.h.size(); i++) {
            ASSERT_NEAR(model.w[i], static_cast<double>(w(i)), 1e-9 * static_cast<double>(w(i)));
            ASSERT_NEAR(spline_value(model.fit, g.h[i]), static_cast<double>(fitted(i)), 1e-9 * range_of(model.y));
        }
    }
}

TEST(Reml, ZeroWhenTheGaugingsExplainTheScatter)
{
    rng.seed(14);
    for (int M = 1; M <= 3; M++) {
        // The scatter is a quarter of what the uncertainties claim.
        Gauge g = simulated(80, 0.0);
        for (double &s : g.sigma)
            s *= 4;
        const Vec Y = rating::automatic_knots(g.h, 3);
        rating::ModelFit model;
        rating::fit_model(g.h, g.Q, g.sigma, 0.5, Y, M, model);
        EXPECT_EQ(model.s_m2, 0.0);

        const Matrix X = design(knot_vector(Y, M), M, g.h);
        const Vector u2 = vec(model.u2);
        EXPECT_LT(reml_slope(X, vec(model.y), u2, 0.0L), 0.0L);
        const Vector w = u2.array().inverse();
        const Vector fitted = X * wls(X, vec(model.y), w);
        for (std::size_t i = 0; i < g.h.size(); i++) {
            ASSERT_EQ(model.w[i], 1.0 / model.u2[i]);
            ASSERT_NEAR(spline_value(model.fit, g.h[i]), static_cast<double>(fitted(i)), 1e-11 * range_of(model.y));
        }
    }
}

TEST(Reml, TendsToTheUnweightedFitAsTheUncertaintiesVanish)
{
    rng.seed(15);
    for (int M = 1; M <= 3; M++) {
        const Gauge g = simulated(100, 0.05);
        const Vec Y = rating::automatic_knots(g.h, 4);
        rating::ModelFit plain;
        rating::fit_model(g.h, g.Q, {}, 0.5, Y, M, plain);
        for (double scale : {1e-4, 1e-7}) {
            Vec sigma = g.sigma;
            for (double &s : sigma)
                s *= scale;
            rating::ModelFit model;
            rating::fit_model(g.h, g.Q, sigma, 0.5, Y, M, model);
            // The u_i^2 are 1e-8 and 1e-14 of the scatter: s_m2 follows.
            const double tolerance = 1e3 * scale * scale + 1e-12;
            EXPECT_NEAR(model.s_m2, plain.s_m2, tolerance * plain.s_m2) << "M " << M << ", scale " << scale;
            for (double s : g.h)
                ASSERT_NEAR(spline_value(model.fit, s), spline_value(plain.fit, s), tolerance * range_of(plain.y));
        }
    }
}

TEST(Reml, UncertaintyInQnu)
{
    // The first-order change of Q^nu for a change sigma of Q.
    for (double nu : {0.3, 0.5, 1.0, -0.5})
        for (double Q : {0.01, 2.0, 300.0}) {
            const double sigma = 1e-6 * Q;
            const double change = (std::pow(Q + sigma, nu) - std::pow(Q - sigma, nu)) / 2;
            EXPECT_NEAR(rating::sigma_in_q_nu(nu, Q, sigma), change, 1e-6 * std::fabs(change));
        }
    EXPECT_DOUBLE_EQ(rating::sigma_in_q_nu(0.5, 0.0, 0.04), 0.2);
}

TEST(Reml, PredictionBandCoversNewGaugings)
{
    // Gauges in Q^nu: y = P(h) + a scatter of the curve's own (sd s) + the
    // gauging's error (sd u_i = nu P r_i, r_i from 1 % to 10 %). A new
    // gauging of the typical relative uncertainty r (the root mean square of
    // the r_i) at a random stage lies in the 95 % prediction band
    // P +- t sqrt(s_m^2 + (nu P r)^2 + b'Cb) about 95 % of the time.
    rng.seed(16);
    const double nu = 0.5;
    int inside = 0;
    int total = 0;
    for (int gauge = 0; gauge < 400; gauge++) {
        const int n = 40 + gauge % 41;
        const int M = 1 + gauge % 3;
        const auto P = [](double h) { return 4.0 * (h - 0.3); };
        const double s_true = 0.06;
        Vec h(n), Q(n), sigma(n);
        for (double &s : h)
            s = uniform(0.5, 3.0);
        std::sort(h.begin(), h.end());
        double r2 = 0.0;
        for (int i = 0; i < n; i++) {
            const double r = 0.01 * std::pow(10.0, uniform(0, 1));
            const double u = nu * P(h[i]) * r;
            const double y = P(h[i]) + s_true * normal() + u * normal();
            Q[i] = std::pow(y, 1 / nu);
            sigma[i] = r * Q[i];
            r2 += r * r;
        }
        const double r = std::sqrt(r2 / n);
        const Vec Y = rating::automatic_knots(h, 2);
        rating::ModelFit model;
        rating::fit_model(h, Q, sigma, nu, Y, M, model);
        const int dof = n - model.fit.unknowns;
        const double t = rating::t_quantile_975(dof);
        for (int k = 0; k < 10; k++) {
            const double stage = uniform(h.front(), h.back());
            const double truth = P(stage);
            const double observed = truth + s_true * normal() + nu * truth * r * normal();
            const double fitted = spline_value(model.fit, stage);
            const double gauging = nu * fitted * r;
            const double half = t * std::sqrt(model.s_m2 + gauging * gauging + spline_leverage(model.fit, stage));
            inside += std::fabs(observed - fitted) <= half;
            total++;
        }
    }
    const double coverage = 100.0 * inside / total;
    EXPECT_GE(coverage, 93.0);
    EXPECT_LE(coverage, 97.0);
}
