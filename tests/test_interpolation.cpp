#include "Interpolation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

namespace {

using cplx = std::complex<double>;
using Fn = std::function<double(double)>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const Fn zero = [](double) { return 0.0; };

int count_at_or_below(const double *xs, int n, double v)
{
    return static_cast<int>(std::count_if(xs + 1, xs + n + 1, [v](double x) { return x <= v; }));
}

// p(x) = 2 - x + 0.5x^2 + 0.25x^3 and its three derivatives.
std::array<double, 4> cubic(double x)
{
    return {2 - x + 0.5 * x * x + 0.25 * x * x * x, -1 + x + 0.75 * x * x, 1 + 1.5 * x, 1.5};
}

std::vector<double> uneven_knots(double a, double b, int n)
{
    std::vector<double> xs;
    for (int i = 0; i <= n; i++)
        xs.push_back(a + (b - a) * (i + 0.15 * n * std::sin(3.0 * i / n)) / (n + 0.15 * n * std::sin(3.0)));
    return xs;
}

// One spline built in all three layouts: v in the real tables, v + i*w in the
// complex one. The workspace starts as NaN, so a read of an unset slot shows.
// s0 and sn go where the codes read given slopes; start code 2 gets the row
// 2 s0 + s1 = rhs.
struct Layouts {
    int n;
    std::vector<double> xs;
    std::vector<std::array<double, 4>> rows;
    std::vector<double *> ptr;
    std::unique_ptr<double[][4]> flat;
    std::vector<std::array<cplx, 4>> crows;
    std::vector<cplx *> cptr;

    Layouts(std::vector<double> knots, const Fn &v, const Fn &w, int start, int end, double s0 = 0, double sn = 0,
            double rhs = 0)
        : n(static_cast<int>(knots.size()) - 1), xs(std::move(knots)), rows(n + 1), flat(new double[n + 1][4]),
          crows(n + 1)
    {
        for (int i = 0; i <= n; i++)
            rows[i] = {v(xs[i]), kNaN, kNaN, kNaN};
        if (start == 1)
            rows[0][1] = s0;
        if (start == 2)
            rows[0] = {rows[0][0], rhs, 1, 2};
        if (end != 0)
            rows[n][1] = sn;
        for (int i = 0; i <= n; i++) {
            ptr.push_back(rows[i].data());
            cptr.push_back(crows[i].data());
            std::copy(rows[i].begin(), rows[i].end(), flat[i]);
            std::copy(rows[i].begin(), rows[i].end(), crows[i].begin());
            crows[i][0] += cplx(0, w(xs[i]));
        }
        Spline(xs.data(), ptr.data(), n, start, end);
        spline(xs.data(), flat.get(), n, start, end);
        complex_spline(xs.data(), cptr.data(), n, start, end);
    }
};

} // namespace

TEST(Interval, ExamplesInAnyOrder)
{
    const std::vector<std::pair<std::vector<double>, std::vector<std::pair<double, int>>>> cases = {
        {{kNaN, 1, 2, 3, 4}, {{0.5, 0}, {1, 1}, {1.5, 1}, {2, 2}, {3.999, 3}, {4, 4}, {10, 4}}},
        {{kNaN, 5}, {{4.9, 0}, {5, 1}, {6, 1}}},
        {{kNaN, 1, 2, 2, 3}, {{0, 0}, {1.999, 1}, {2, 3}, {2.5, 3}, {3, 4}}},
    };
    for (const auto &[xs, asks] : cases) {
        const std::size_t m = asks.size();
        std::vector<std::pair<double, int>> order(asks);         // ascending
        order.insert(order.end(), asks.rbegin(), asks.rend());  // descending
        for (std::size_t k = 0; k < m; k++)                     // alternating ends
            order.push_back(asks[k % 2 ? m - 1 - k / 2 : k / 2]);
        for (const auto &[v, want] : order)
            EXPECT_EQ(interval(xs.data(), static_cast<int>(xs.size()) - 1, v), want) << v;
    }
}

TEST(Interval, SwitchedTablesFarJumpsAndRandomQueries)
{
    const int n = 1000;
    std::vector<double> xs(n + 1);
    for (int i = 1; i <= n; i++)
        xs[i] = std::floor(std::pow(i, 1.3) / 3.0);  // uneven, with runs of equal entries
    const double shorter[] = {kNaN, 1, 2, 3};
    for (const double v : {0.5, 1.0, 2.5, 3.0, 7.0}) {
        ASSERT_EQ(interval(xs.data(), n, xs[n] - 0.5), n - 1);
        EXPECT_EQ(interval(shorter, 3, v), count_at_or_below(shorter, 3, v)) << v;
    }
    interval(xs.data(), n, xs[n] - 1);
    EXPECT_EQ(interval(xs.data(), n, -1e9), 0);
    interval(xs.data(), n, 0.5);
    EXPECT_EQ(interval(xs.data(), n, 1e9), n);

    std::mt19937 gen(7);
    std::uniform_real_distribution<double> anywhere(-10, xs[n] + 10);
    std::uniform_int_distribution<int> entry(1, n);
    for (int k = 0; k < 4000; k++) {
        const double v = k % 2 ? anywhere(gen) : xs[entry(gen)];
        ASSERT_EQ(interval(xs.data(), n, v), count_at_or_below(xs.data(), n, v)) << v;
    }
}

TEST(Interval, ReadsOnlyTheTableAndKeepsNaNInRange)
{
    const int pad = 4;
    for (const int n : {1, 2, 3, 10}) {
        // Poison around xs[1..n]: NaN, or infinities placed so as to mislead.
        for (const auto &[below, above] : {std::pair{kNaN, kNaN}, std::pair{kInf, -kInf}}) {
            std::vector<double> buffer(n + 2 * pad, above);
            std::fill(buffer.begin(), buffer.begin() + pad, below);
            double *xs = buffer.data() + pad - 1;
            for (int i = 1; i <= n; i++)
                xs[i] = 2 * i;
            for (const double before : {-5.0, 3.0, 2.0 * n, 100.0})
                for (const double v : {-1.0, 2.0, 3.0, 2.0 * n - 1, 2.0 * n, 1e6, kNaN}) {
                    interval(xs, n, before);
                    const int r = interval(xs, n, v);
                    if (std::isnan(v))
                        EXPECT_TRUE(r >= 0 && r <= n) << r;
                    else
                        EXPECT_EQ(r, count_at_or_below(xs, n, v)) << "n " << n << " at " << v;
                }
        }
        // A table that ends exactly at its heap block, for the address sanitizer.
        std::vector<double> exact(n + 1, kNaN);
        for (int i = 1; i <= n; i++)
            exact[i] = i;
        EXPECT_EQ(interval(exact.data(), n, n + 5.0), n);
        EXPECT_EQ(interval(exact.data(), n, 1.5), 1);
    }
}

TEST(PointInterpolation, LinearQuadraticPolynomial)
{
    const double lx[] = {0, 1, 2, 3}, ly[] = {0, 10, 20, 0};
    for (const auto &[x, d, want] : {std::tuple{0.5, 0, 5.0}, {-1.0, 0, -10.0}, {1.5, 0, 15.0}, {2.5, 0, 10.0},
                                     {4.0, 0, -20.0}, {2.5, 1, -20.0}, {0.5, -1, 10.0}, {2.5, 2, 0.0}})
        EXPECT_DOUBLE_EQ(linear(lx, ly, 2, x, d), want) << x << " order " << d;

    const double xs[] = {0, 1, 2, 3, 4}, ys[] = {0, 1, 0, 1, 0};
    for (const auto &[x, want] : {std::pair{1.2, 0.96}, {1.5, 0.25}, {1.7, 0.09}, {0.5, 0.75}, {-1.0, -3.0},
                                  {3.5, 0.75}, {5.0, -3.0}})
        EXPECT_NEAR(Quadratic(xs, ys, 4, x, 0), want, 1e-14) << x;
    for (const auto &[x, deg, want] : {std::tuple{1.2, 2, 0.96}, {1.5, 2, 0.75}, {1.7, 2, 0.51}, {1.2, 0, 1.0},
                                       {4.5, 0, 0.0}, {1.2, 1, 0.8}, {4.5, 1, -0.5}, {-1.0, 1, -1.0}})
        EXPECT_NEAR(polynomial(xs, ys, 4, x, deg), want, 1e-14) << x << " degree " << deg;

    // The full degree over uneven points reproduces a polynomial of that degree.
    const double px[] = {-1, -0.25, 0.5, 2, 2.5, 4};
    const auto q = [](double x) { return 1 + x * (-2 + x * (0.5 + x * (3 + x * (-1 + 0.125 * x)))); };
    double py[6];
    std::transform(px, px + 6, py, q);
    for (const double x : {-2.0, -0.5, 1.0, 2.25, 3.0, 5.0})
        EXPECT_NEAR(polynomial(px, py, 5, x, 5), q(x), 1e-11 * (1 + std::fabs(q(x)))) << x;
}

TEST(SplineBuild, CubicReproducedWithEveryEndCondition)
{
    const std::vector<std::vector<double>> knot_sets = {{0, 1, 2, 4, 5}, {-1, 0.5, 3, 3.25}, {0, 1.5, 2}, {-2, 1}};
    const Fn p = [](double x) { return cubic(x)[0]; };
    for (const auto &xs : knot_sets)
        for (const auto &[start, end] : {std::pair{0, 0}, {1, 1}, {0, 1}, {1, 0}, {2, 0}, {2, 7}}) {
            const int n = static_cast<int>(xs.size()) - 1;
            if ((n == 2 && start == 0 && end == 0) || (n == 1 && (start == 0 || end == 0)))
                continue;
            Layouts s(xs, p, zero, start, end, cubic(xs[0])[1], cubic(xs[n])[1], 2 * cubic(xs[0])[1] + cubic(xs[1])[1]);
            for (int i = 0; i <= n; i++)
                for (int j = 0; j < 4; j++) {
                    const double want = cubic(xs[i])[j], tol = 1e-12 * (1 + std::fabs(want));
                    SCOPED_TRACE(testing::Message() << "n " << n << " codes " << start << end << " at " << i << j);
                    EXPECT_NEAR(s.ptr[i][j], want, tol);
                    EXPECT_NEAR(s.flat[i][j], want, tol);
                    EXPECT_NEAR(s.cptr[i][j].real(), want, tol);
                }
        }
}

TEST(SplineBuild, PiecesJoinSmoothlyMeetTheEndsAndRebuildUnchanged)
{
    const Fn f = [](double x) { return std::exp(x) * std::cos(3 * x); };
    for (const auto &[start, end] : {std::pair{0, 0}, {1, 1}, {0, 1}, {1, 0}}) {
        Layouts s(uneven_knots(-1, 2, 9), f, zero, start, end, 0.3, -2);
        const int n = s.n;
        SCOPED_TRACE(testing::Message() << "codes " << start << end);
        // Piece i - 1 carried to xs[i] meets row i in value, slope and curvature.
        for (int i = 1; i <= n; i++) {
            const double h = s.xs[i] - s.xs[i - 1];
            const double *r = s.ptr[i - 1];
            EXPECT_NEAR(r[0] + h * (r[1] + h * (r[2] / 2 + h * r[3] / 6)), s.ptr[i][0], 1e-12) << i;
            EXPECT_NEAR(r[1] + h * (r[2] + h * r[3] / 2), s.ptr[i][1], 1e-11) << i;
            EXPECT_NEAR(r[2] + h * r[3], s.ptr[i][2], 1e-10) << i;
            EXPECT_EQ(s.ptr[i][0], f(s.xs[i]));
        }
        EXPECT_EQ(s.ptr[n][3], s.ptr[n - 1][3]);
        EXPECT_TRUE(start == 0 ? std::fabs(s.ptr[0][3] - s.ptr[1][3]) < 1e-9 : s.ptr[0][1] == 0.3);
        EXPECT_TRUE(end == 0 ? std::fabs(s.ptr[n - 2][3] - s.ptr[n - 1][3]) < 1e-9 : s.ptr[n][1] == -2);

        const auto first = s.rows;
        Spline(s.xs.data(), s.ptr.data(), n, start, end);
        EXPECT_EQ(s.rows, first);
    }
}

TEST(SplineBuild, LayoutsAgreeToTheBitAndComplexSplits)
{
    const Fn a = [](double x) { return std::sin(2 * x) + 0.1 * x * x; };
    const Fn b = [](double x) { return std::exp(-x) * 3; };
    for (const auto &[start, end] : {std::pair{0, 0}, {1, 1}, {0, 1}, {1, 0}})
        for (const int n : {2, 3, 17}) {
            const std::vector<double> xs = uneven_knots(-0.5, 3, n);
            Layouts re(xs, a, b, start, end, 2.0, -0.5);
            Layouts im(xs, b, zero, start, end);
            SCOPED_TRACE(testing::Message() << "codes " << start << end << " n " << n);
            for (int i = 0; i <= n; i++)
                for (int j = 0; j < 4; j++) {
                    ASSERT_TRUE(std::isfinite(re.ptr[i][j]));
                    EXPECT_EQ(re.flat[i][j], re.ptr[i][j]) << i << j;
                    EXPECT_EQ(re.cptr[i][j], cplx(re.ptr[i][j], im.ptr[i][j])) << i << j;
                }
            for (double x = -1; x < 4; x += 0.0625)
                for (int d = 0; d <= 4; d++) {
                    const double r = Value(xs.data(), re.ptr.data(), n, x, d);
                    EXPECT_EQ(value(xs.data(), re.flat.get(), n, x, d), r) << x << " order " << d;
                    EXPECT_EQ(complex_value(xs.data(), re.cptr.data(), n, x, d),
                              cplx(r, Value(xs.data(), im.ptr.data(), n, x, d)));
                }
        }
}

TEST(SplineBuild, TwoIntervalsNotAKnotGiveTheParabola)
{
    const Fn q = [](double x) { return 1 + 2 * x - 3 * x * x; };
    Layouts s({0, 0.5, 2}, q, zero, 0, 0);
    for (int i = 0; i <= 2; i++) {
        const std::array<double, 4> want = {q(s.xs[i]), 2 - 6 * s.xs[i], -6, 0};
        for (int j = 0; j < 4; j++) {
            EXPECT_NEAR(s.ptr[i][j], want[j], 1e-13) << i << j;
            EXPECT_EQ(s.flat[i][j], s.ptr[i][j]);
            EXPECT_EQ(s.cptr[i][j], cplx(s.ptr[i][j]));
        }
    }
    // Other data: the parabola through the three points, also beyond them.
    const double px[] = {1, 1.25, 3}, py[] = {std::exp(1.0), std::exp(1.25), std::exp(3.0)};
    Layouts t({1, 1.25, 3}, [](double x) { return std::exp(x); }, zero, 0, 0);
    for (const double x : {0.0, 1.1, 2.0, 3.0, 4.0})
        EXPECT_NEAR(Value(px, t.ptr.data(), 2, x, 0), polynomial(px, py, 2, x, 2), 1e-12) << x;
    EXPECT_EQ(t.ptr[0][3], 0);
    EXPECT_EQ(t.ptr[2][3], 0);
}

// Largest error of the spline of f on n equal intervals of [a, b], or of its
// slope against df, sampled 16 times per interval.
double max_error(const Fn &f, const Fn &df, double a, double b, int n, int code, int deriv)
{
    std::vector<double> xs;
    for (int i = 0; i <= n; i++)
        xs.push_back(a + (b - a) * i / n);
    Layouts s(xs, f, zero, code, code, df(a), df(b));
    double worst = 0;
    for (int k = 0; k <= 16 * n; k++) {
        const double x = a + (b - a) * k / (16 * n);
        worst = std::max(worst, std::fabs(value(xs.data(), s.flat.get(), n, x, deriv) - (deriv ? df(x) : f(x))));
    }
    return worst;
}

TEST(SplineAccuracy, ConvergesAtFourthOrder)
{
    const Fn sine = [](double x) { return std::sin(x); }, cosine = [](double x) { return std::cos(x); };
    const Fn ex = [](double x) { return std::exp(x); };
    for (const auto &[f, df, a, b] : {std::tuple{sine, cosine, 0.0, 3.0}, {ex, ex, -1.0, 1.0}})
        for (const int code : {0, 1})
            for (const int n : {128, 256}) {
                // Halving the spacing divides the error by 2^4, that of the slope by 2^3.
                EXPECT_NEAR(max_error(f, df, a, b, n, code, 0) / max_error(f, df, a, b, 2 * n, code, 0), 16, 2)
                    << "code " << code << " n " << n;
                EXPECT_NEAR(max_error(f, df, a, b, n, code, 1) / max_error(f, df, a, b, 2 * n, code, 1), 8, 1)
                    << "code " << code << " n " << n;
            }
}

TEST(SplineEvaluation, ExamplesAndIntegral)
{
    Layouts s({0, 1, 2, 4, 5}, [](double x) { return cubic(x)[0]; }, zero, 0, 0);
    const double *xs = s.xs.data();
    for (int d = 0; d < 4; d++) {
        EXPECT_NEAR(Value(xs, s.ptr.data(), 4, 3, d), cubic(3)[d], 1e-12) << d;
        EXPECT_NEAR(value(xs, s.flat.get(), 4, -1, d), cubic(-1)[d], 1e-12) << d;
        EXPECT_NEAR(complex_value(xs, s.cptr.data(), 4, 6, d).real(), cubic(6)[d], 1e-11) << d;
    }
    EXPECT_EQ(Value(xs, s.ptr.data(), 4, 3, 4), 0);
    EXPECT_EQ(complex_value(xs, s.cptr.data(), 4, 3, 9), cplx(0));

    const auto antiderivative = [](double x) { return x * (2 + x * (-0.5 + x * (1.0 / 6 + x / 16))); };
    double integ[5];
    Integral(xs, s.ptr.data(), 4, integ);
    EXPECT_EQ(integ[0], 0);
    for (int i = 1; i <= 4; i++)
        EXPECT_NEAR(integ[i], antiderivative(xs[i]), 1e-12) << i;

    // One interval: value reads the cubic, Value the line of value and slope.
    Layouts one({0, 2}, [](double x) { return 1 + x; }, zero, 1, 1, 0.5, -1);
    const std::array<double, 4> want[] = {{1, 0.5, 3, -3.75}, {3, -1, -4.5, -3.75}};
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 4; j++)
            EXPECT_DOUBLE_EQ(one.ptr[i][j], want[i][j]) << i << j;
    EXPECT_DOUBLE_EQ(value(one.xs.data(), one.flat.get(), 1, 1, 0), 2.375);
    EXPECT_DOUBLE_EQ(value(one.xs.data(), one.flat.get(), 1, 3, 0), -0.875);
    EXPECT_DOUBLE_EQ(Value(one.xs.data(), one.ptr.data(), 1, 1, 0), 1.5);
    EXPECT_DOUBLE_EQ(Value(one.xs.data(), one.ptr.data(), 1, 1, 1), 0.5);
    EXPECT_EQ(Value(one.xs.data(), one.ptr.data(), 1, 1, 2), 0);
}

TEST(InterpolationFaults, EndTheRunThroughKverror)
{
    const double xs[13] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    double rows[13][4] = {};
    cplx crows[13][4] = {};
    double *ptr[13];
    cplx *cptr[13];
    for (int i = 0; i < 13; i++)
        ptr[i] = rows[i], cptr[i] = crows[i];
    const auto exits = testing::ExitedWithCode(1);
    EXPECT_EXIT(Quadratic(xs, xs, 1, 0.5, 0), exits, "run-time error(.|\n)*table too short in Quadratic\n.*exiting");
    EXPECT_EXIT(polynomial(xs, xs, 4, 0.5, -1), exits, "polynomial degree out of range");
    EXPECT_EXIT(polynomial(xs, xs, 4, 0.5, 5), exits, "polynomial degree out of range");
    EXPECT_EXIT(polynomial(xs, xs, 12, 0.5, 10), exits, "polynomial degree out of range");
    EXPECT_EXIT(Spline(xs, ptr, 0, 1, 1), exits, "table too short in Spline");
    EXPECT_EXIT(spline(xs, rows, -1, 1, 1), exits, "table too short in spline");
    EXPECT_EXIT(complex_spline(xs, cptr, 0, 1, 1), exits, "table too short in complex_spline");
    EXPECT_EXIT(Spline(xs, ptr, 1, 0, 1), exits, "not-a-knot end needs two intervals in Spline");
    EXPECT_EXIT(spline(xs, rows, 1, 1, 0), exits, "not-a-knot end needs two intervals in spline");
    EXPECT_EXIT(complex_spline(xs, cptr, 1, 0, 0), exits, "not-a-knot end needs two intervals in complex_spline");
    EXPECT_EXIT(value(xs, rows, 4, 0.5, -1), exits, "negative derivative order in value");
    EXPECT_EXIT(Value(xs, ptr, 4, 0.5, -2), exits, "negative derivative order in Value");
    EXPECT_EXIT(complex_value(xs, cptr, 4, 0.5, -1), exits, "negative derivative order in complex_value");
}
