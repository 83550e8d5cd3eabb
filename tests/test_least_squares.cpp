// The exact least-squares spline: against the interlacing condition for the
// rank and a dense solve in an independently evaluated basis, on curves of the
// model, on rank-deficient data, and under changes of the stage unit.
#include "LeastSquares.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Vec = std::vector<double>;
using Ranges = std::vector<std::pair<double, double>>;

// Reseeded by each test, so that each draws the same data whatever runs before it.
std::mt19937_64 rng;

double uniform(double lo, double hi)
{
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

Vec sorted_uniform(int n, double lo, double hi)
{
    Vec v(n);
    for (double &x : v)
        x = uniform(lo, hi);
    std::sort(v.begin(), v.end());
    return v;
}

// The program's automatic knots: interval q holds the observations up to
// round(q n / J), the knot midway to the next one.
Vec equal_count_knots(const Vec &h, int J)
{
    const double per = static_cast<double>(h.size()) / J;
    Vec Y{h.front()};
    for (int q = 1; q < J; q++) {
        const int iz = static_cast<int>(std::round(q * per));
        Y.push_back((h[iz - 1] + h[iz]) * 0.5);
    }
    Y.push_back(h.back());
    return Y;
}

SplineFit fitted(const Vec &h, const Vec &y, const Vec &Y, int M)
{
    SplineFit fit;
    fit_spline(h.data(), y.data(), static_cast<int>(h.size()), Y.data(), static_cast<int>(Y.size()) - 1, M, fit);
    return fit;
}

long double unit_stage(const Vec &Y, double h)
{
    return (h - static_cast<long double>(Y.front())) / (Y.back() - static_cast<long double>(Y.front()));
}

// The clamped knot sequence of the distinct knots in the stage scaled to 0..1.
std::vector<long double> knot_sequence(const Vec &Y, int M)
{
    std::vector<long double> tau(M + 1, 0.0L);
    for (std::size_t k = 1; k + 1 < Y.size(); k++)
        if (unit_stage(Y, Y[k]) > tau.back() && unit_stage(Y, Y[k]) < 1)
            tau.push_back(unit_stage(Y, Y[k]));
    tau.insert(tau.end(), M + 1, 1.0L);
    return tau;
}

// B-spline k of degree d by the textbook recursion, the degree-0 function of
// span mu being 1 (the end spans continue beyond the knots).
long double bspline(const std::vector<long double> &tau, int k, int d, int mu, long double t)
{
    if (d == 0)
        return k == mu ? 1.0L : 0.0L;
    long double b = 0.0L;
    if (tau[k + d] > tau[k])
        b += (t - tau[k]) / (tau[k + d] - tau[k]) * bspline(tau, k, d - 1, mu, t);
    if (tau[k + d + 1] > tau[k + 1])
        b += (tau[k + d + 1] - t) / (tau[k + d + 1] - tau[k + 1]) * bspline(tau, k + 1, d - 1, mu, t);
    return b;
}

Vec basis_row(const std::vector<long double> &tau, int M, const Vec &Y, double h)
{
    const int p = static_cast<int>(tau.size()) - M - 1;
    const long double t = unit_stage(Y, h);
    const int mu = static_cast<int>(std::upper_bound(tau.begin() + M + 1, tau.begin() + p, t) - tau.begin()) - 1;
    Vec row(p);
    for (int k = 0; k < p; k++)
        row[k] = static_cast<double>(bspline(tau, k, M, mu, t));
    return row;
}

// The size of the largest set of increasing sites t_1 < t_2 < ... matched to
// increasing basis functions nonzero there (greedy on the ordered supports):
// the rank of the design matrix.
int interlacing_rank(const std::vector<long double> &tau, int M, const Vec &h, const Vec &Y)
{
    const int p = static_cast<int>(tau.size()) - M - 1;
    int rank = 0;
    std::size_t i = 0;
    for (int k = 0; k < p; k++) {
        const auto inside = [&](double hi) {
            const long double t = unit_stage(Y, hi);
            return (tau[k] < t || (k == 0 && t == 0)) && (t < tau[k + M + 1] || (k == p - 1 && t == 1));
        };
        std::size_t j = i;
        while (j < h.size() && !inside(h[j]))
            j++;
        if (j < h.size()) {
            rank++;
            for (i = j + 1; i < h.size() && h[i] == h[j]; i++) {
            }
        }
    }
    return rank;
}

double largest_coefficient(const SplineFit &fit)
{
    double largest = 0.0;
    for (double c : fit.coef)
        largest = std::max(largest, std::fabs(c));
    return largest;
}

Eigen::MatrixXd design(const std::vector<long double> &tau, int M, const Vec &Y, const Vec &h)
{
    Eigen::MatrixXd X(h.size(), tau.size() - M - 1);
    for (std::size_t i = 0; i < h.size(); i++)
        X.row(i) = Eigen::Map<const Eigen::RowVectorXd>(basis_row(tau, M, Y, h[i]).data(), X.cols());
    return X;
}

// The least-squares coefficients by a complete orthogonal decomposition:
// pivoted QR alone falls short of the minimum on strongly deficient matrices.
Eigen::VectorXd dense_solve(const Eigen::MatrixXd &X, const Vec &y)
{
    return X.completeOrthogonalDecomposition().solve(Eigen::Map<const Eigen::VectorXd>(y.data(), y.size()));
}

} // namespace

TEST(LeastSquaresRank, MatchesTheInterlacingCondition)
{
    rng.seed(1);
    // Sites and knots on a coarse grid: repeated stages, data on knots,
    // coincident knots, empty intervals and dependencies spread over many
    // columns all occur.
    const auto grid = [] { return std::round(uniform(0, 20)) / 20; };
    for (int trial = 0; trial < 3000; trial++) {
        const int M = 1 + trial % 3;
        Vec h(1 + trial % 61);
        Vec Y(2 + trial % 40);
        Vec y(h.size());
        for (double &v : h)
            v = grid();
        std::sort(h.begin(), h.end());
        for (double &v : Y)
            v = std::clamp(grid(), h.front(), h.back());
        std::sort(Y.begin(), Y.end());
        Y.front() = h.front();
        Y.back() = h.back();
        for (double &v : y)
            v = uniform(0, 1);
        if (Y.front() == Y.back())
            continue;
        const SplineFit fit = fitted(h, y, Y, M);
        const std::vector<long double> tau = knot_sequence(Y, M);
        ASSERT_EQ(fit.rank, interlacing_rank(tau, M, h, Y)) << "trial " << trial;
        EXPECT_EQ(fit.determined, fit.rank == fit.unknowns);
        EXPECT_EQ(fit.undetermined.empty(), fit.determined);
        // Determined or not, the least-squares minimum, to rounding relative
        // to the coefficients.
        const Eigen::MatrixXd X = design(tau, M, Y, h);
        const double optimum = (X * dense_solve(X, y) - Eigen::Map<const Eigen::VectorXd>(y.data(), y.size())).squaredNorm();
        const double scale = 1.0 + largest_coefficient(fit);
        ASSERT_NEAR(fit.sse, optimum, 1e-9 * optimum + 1e-24 * h.size() * scale * scale) << "trial " << trial;
    }
}

TEST(LeastSquaresRank, UndeterminedRanges)
{
    rng.seed(2);
    struct Case {
        int M;
        Vec h, Y;
        Ranges expected;
    };
    const Vec low = {0, 0.3, 0.5, 0.8, 1.1, 1.3, 1.6, 1.9};
    const Vec high = {5.1, 5.4, 5.8, 6.2, 6.6, 7};
    const auto join = [](Vec a, const Vec &b) { a.insert(a.end(), b.begin(), b.end()); return a; };
    const Case cases[] = {
        // A linear piece whose whole support holds no data.
        {1, {0, 0.5, 3.5, 4}, {0, 1, 2, 3, 4}, {{1, 3}}},
        // M empty intervals between well-filled ones are bridged, M + 1 are not.
        {3, join(low, high), {0, 1, 2, 3, 4, 5, 6, 7}, {}},
        {2, join(low, high), {0, 1, 2, 3, 4, 5, 6, 7}, {{2, 5}}},
        {3, join(low, {6.1, 6.4, 6.8, 7.2, 7.6, 8}), {0, 1, 2, 3, 4, 5, 6, 7, 8}, {{2, 6}}},
        // One gauging cannot serve two basis functions across an empty interval.
        {3, {0.5, 2.1, 2.4, 2.7, 3, 3.3, 3.6, 3.9, 4}, {0, 1, 2, 3, 4}, {{0, 2}}},
        // Nine distinct stages for ten unknowns: the dependency runs thinly
        // through every interval.
        {3, {0.05, 0.2, 0.3, 0.3, 0.45, 0.75, 0.85, 0.9, 0.95, 0.95, 1}, {0.05, 0.2, 0.25, 0.35, 0.35, 0.5, 0.8, 0.9, 1},
         {{0.05, 1}}},
        // Three distinct stages for a cubic, and one stage for all.
        {3, {0, 0, 0.5, 1, 1}, {0, 1}, {{0, 1}}},
        {2, {2, 2, 2}, {2, 2, 2}, {{2, 2}}},
    };
    for (const Case &c : cases) {
        const SplineFit fit = fitted(c.h, Vec(c.h.size(), 1.0), c.Y, c.M);
        EXPECT_EQ(fit.undetermined, c.expected) << "M " << c.M << ", first stage " << c.h[0];
        EXPECT_EQ(fit.determined, c.expected.empty());
    }

    // Ordinary gauges: 126 gaugings, equal-count intervals.
    for (int J = 3; J <= 10; J++)
        for (int M = 1; M <= 3; M++) {
            const Vec h = sorted_uniform(126, 0.75, 3.23);
            EXPECT_TRUE(fitted(h, h, equal_count_knots(h, J), M).determined) << "J " << J << ", M " << M;
        }
}

TEST(LeastSquares, ReproducesCurvesOfTheModel)
{
    rng.seed(3);
    // Power form: a polynomial from Y0 plus a jump of the M-th derivative at
    // each interior knot.
    for (int trial = 0; trial < 12; trial++) {
        const int M = 1 + trial % 3;
        const int J = 1 + trial * 8;
        const Vec h = sorted_uniform(10 * J + 10, 0.4, 3.4);
        const Vec Y = equal_count_knots(h, J);
        Vec a(M + J);
        for (double &v : a)
            v = uniform(-1, 1);
        const auto curve = [&](double s) {
            double v = 0.0;
            for (int m = 0; m <= M; m++)
                v += a[m] * std::pow(s - Y[0], m);
            for (int k = 1; k < J; k++)
                v += a[M + k] * std::pow(std::max(s - Y[k], 0.0), M);
            return v;
        };
        Vec y;
        for (double s : h)
            y.push_back(curve(s));
        const SplineFit fit = fitted(h, y, Y, M);
        const double range = *std::max_element(y.begin(), y.end()) - *std::min_element(y.begin(), y.end());
        for (double s = 0.3; s < 3.5; s += 0.01) {
            const bool inside = s >= h.front() && s <= h.back();
            ASSERT_NEAR(spline_value(fit, s), curve(s), (inside ? 1e-13 : 1e-10) * range) << "M " << M << ", J " << J;
        }
        EXPECT_LE(fit.sse, 1e-26 * range * range * h.size());
    }
}

TEST(LeastSquares, CoincidentKnotsCountOnce)
{
    rng.seed(4);
    for (int trial = 0; trial < 30; trial++) {
        const int M = 1 + trial % 3;
        const Vec h = sorted_uniform(60, 1, 4);
        const Vec y = sorted_uniform(60, 0, 5);
        const SplineFit once = fitted(h, y, {h.front(), 2, 3, h.back()}, M);
        const SplineFit repeated = fitted(h, y, {h.front(), h.front(), 2, 2, 2, 3, h.back(), h.back()}, M);
        ASSERT_EQ(repeated.unknowns, 3 + M) << "lowest " << h.front() << ", highest " << h.back();
        EXPECT_EQ(repeated.sse, once.sse);
        for (double s = 0.8; s < 4.2; s += 0.05)
            EXPECT_EQ(spline_value(repeated, s), spline_value(once, s));
    }
    // Stages one unit of rounding apart that the scaling to 0..1 makes equal.
    const Vec h = sorted_uniform(40, -1, 3);
    const SplineFit fit = fitted(h, h, {h.front(), 1, std::nextafter(1.0, 2.0), h.back()}, 3);
    EXPECT_EQ(fit.unknowns, 5);
    EXPECT_TRUE(std::isfinite(spline_value(fit, 1.0)));
}

TEST(LeastSquares, IndependentOfTheStageUnit)
{
    rng.seed(5);
    const Vec h = sorted_uniform(150, 0.75, 3.23);
    Vec y;
    for (double s : h)
        y.push_back(std::sqrt(12 * std::pow(s - 0.25, 1.6)) + uniform(-0.1, 0.1));
    // Five empty intervals leave the curve undetermined in the middle.
    const Vec gap = {h[0], h[1], h[2], h[3], h[4], h[147], h[148], h[149]};
    const Vec gap_knots = {h[0], 1.0, 1.4, 1.8, 2.2, 2.6, h[149]};
    for (int M = 1; M <= 3; M++) {
        const Vec Y = equal_count_knots(h, 7);
        const SplineFit base = fitted(h, y, Y, M);
        const SplineFit base_gap = fitted(gap, Vec(gap.size(), 1.0), gap_knots, M);
        ASSERT_FALSE(base_gap.undetermined.empty());
        for (const auto &[scale, shift] : {std::pair(0.01, 0.0), {100.0, 0.0}, {1000.0, 0.0}, {1.0, 1000.0},
                                           {1e200, 0.0}, {1e-200, 0.0}, {1e-200, 1e-198}}) {
            const auto unit = [&, scale = scale, shift = shift](Vec v) {
                for (double &s : v)
                    s = s * scale + shift;
                return v;
            };
            SCOPED_TRACE("M " + std::to_string(M) + ", scale " + std::to_string(scale) + ", shift " +
                         std::to_string(shift));
            const SplineFit fit = fitted(unit(h), y, unit(Y), M);
            EXPECT_NEAR(fit.sse, base.sse, 1e-12 * base.sse);
            for (double s = 0.5; s < 3.5; s += 0.01) {
                ASSERT_NEAR(spline_value(fit, s * scale + shift), spline_value(base, s), 1e-12 * 4);
                ASSERT_NEAR(spline_leverage(fit, s * scale + shift), spline_leverage(base, s),
                            1e-11 * spline_leverage(base, s));
            }
            Ranges expected = base_gap.undetermined;
            for (auto &[lo, hi] : expected) {
                lo = lo * scale + shift;
                hi = hi * scale + shift;
            }
            EXPECT_EQ(fitted(unit(gap), Vec(gap.size(), 1.0), unit(gap_knots), M).undetermined, expected);
        }
    }
}

TEST(LeastSquares, AgreesWithADenseSolve)
{
    rng.seed(6);
    for (int trial = 0; trial < 24; trial++) {
        const int M = 1 + trial % 3;
        const int count = std::uniform_int_distribution<int>(20, 999)(rng);
        const int J = std::uniform_int_distribution<int>(1, std::min(98, count / 4))(rng);
        Vec h = sorted_uniform(count, 0.4, 3.4);
        if (trial % 4 == 1) // gaugings at a few stages
            for (double &s : h)
                s = std::round(s * 10) / 10;
        if (trial % 4 == 3) // a stretch without gaugings
            h.erase(std::remove_if(h.begin(), h.end(), [](double s) { return s > 1.6 && s < 2.4; }), h.end());
        Vec y;
        for (double s : h)
            y.push_back(std::sqrt(12 * std::pow(s - 0.25, 1.6)) * uniform(0.95, 1.05));
        Vec Y = equal_count_knots(h, J);
        if (trial % 2) { // listed knots
            Y = sorted_uniform(J - 1, h.front(), h.back());
            Y.insert(Y.begin(), h.front());
            Y.push_back(h.back());
        }
        const SplineFit fit = fitted(h, y, Y, M);
        const std::vector<long double> tau = knot_sequence(Y, M);
        const Eigen::MatrixXd X = design(tau, M, Y, h);
        const Eigen::VectorXd c = dense_solve(X, y);
        const double range = *std::max_element(y.begin(), y.end()) - *std::min_element(y.begin(), y.end());
        SCOPED_TRACE("n " + std::to_string(h.size()) + ", J " + std::to_string(J) + ", M " + std::to_string(M));

        ASSERT_EQ(fit.unknowns, X.cols());
        // The fitted values at the data are unique even when the curve is
        // not; an undetermined fit's large coefficients bring their rounding.
        const Eigen::VectorXd at_data = X * c;
        for (std::size_t i = 0; i < h.size(); i++)
            ASSERT_NEAR(spline_value(fit, h[i]), at_data(i), 1e-9 * range + 1e-14 * largest_coefficient(fit));
        if (!fit.determined)
            continue;
        for (double s = 0.3; s < 3.5; s += 0.002) {
            const Vec x = basis_row(tau, M, Y, s);
            ASSERT_NEAR(spline_value(fit, s), Eigen::Map<const Eigen::RowVectorXd>(x.data(), x.size()) * c,
                        1e-9 * range);
        }
    }
}

TEST(LeastSquares, LeverageOfTheNormalEquations)
{
    rng.seed(7);
    using Matrix = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
    for (int M = 1; M <= 3; M++)
        for (int J : {1, 5, 40}) {
            const Vec h = sorted_uniform(400, 0.4, 3.4);
            const Vec Y = equal_count_knots(h, J);
            const SplineFit fit = fitted(h, h, Y, M);
            ASSERT_TRUE(fit.determined);
            const std::vector<long double> tau = knot_sequence(Y, M);
            const Matrix X = design(tau, M, Y, h).cast<long double>();
            const Eigen::LDLT<Matrix> normal(X.transpose() * X);
            for (double s = 0.2; s < 3.6; s += 0.05) {
                const Vec x = basis_row(tau, M, Y, s);
                const auto xl = Eigen::Map<const Eigen::VectorXd>(x.data(), x.size()).cast<long double>().eval();
                const double dense = static_cast<double>(xl.dot(normal.solve(xl)));
                ASSERT_NEAR(spline_leverage(fit, s), dense, 1e-9 * dense) << "M " << M << ", J " << J;
            }
            double trace = 0.0;
            for (double s : h)
                trace += spline_leverage(fit, s);
            EXPECT_NEAR(trace, fit.unknowns, 1e-10 * fit.unknowns);
        }
}
