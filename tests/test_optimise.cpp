#include "Optimise.h"

#include "Kvutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

// Abscissae at which the function of one variable was evaluated, in order.
std::vector<double> calls;

// height (x - centre)^2
double centre = 0.0;
double height = 1.0;
double parabola(double x)
{
    calls.push_back(x);
    return height * (x - centre) * (x - centre);
}

double falling(double x)
{
    calls.push_back(x);
    return -x;
}

double flat(double x)
{
    calls.push_back(x);
    return 7.0;
}

double quartic(double x)
{
    calls.push_back(x);
    const double d = x - 0.7;
    return d * d * d * d;
}

double notanumber(double x)
{
    calls.push_back(x);
    return std::numeric_limits<double>::quiet_NaN();
}

// Fixed values at the first three abscissae of mnbrak from 0 and 1, and
// `elsewhere` at any other abscissa up to 3, 2 beyond.
double elsewhere;
double table(double x)
{
    calls.push_back(x);
    if (x == 0.0)
        return 4.0;
    if (x == 1.0)
        return 1.0;
    if (x == 1.0 + 1.618034)
        return 0.5;
    return x < 3.0 ? elsewhere : 2.0;
}

// Escapes a literal text for use as a death-test pattern.
std::string literal(const std::string &s)
{
    std::string r;
    for (const char ch : s) {
        if (std::string(".^$|()[]{}*+?\\").find(ch) != std::string::npos)
            r += '\\';
        r += ch;
    }
    return r;
}

std::string fatal(const std::string &message)
{
    return literal("Kelvarin run-time error...\n" + message + "\n...now exiting to system...\n");
}

struct Bracket {
    double a, b, c, fa, fb, fc;
};

Bracket bracket_from(double a, double b, double (*f)(double), double at = 0.0, double scale = 1.0)
{
    centre = at;
    height = scale;
    calls.clear();
    Bracket r{a, b, 0.0, 0.0, 0.0, 0.0};
    mnbrak(&r.a, &r.b, &r.c, &r.fa, &r.fb, &r.fc, f);
    return r;
}

const double c1 = 1.0 + 1.618034;  // the first extension from 0 and 1

} // namespace

TEST(Mnbrak, VertexIsTakenWithSinglePrecisionDenominator)
{
    const Bracket r = bracket_from(0.0, 1.0, parabola, 3.0);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0], 0.0);
    EXPECT_EQ(calls[1], 1.0);
    EXPECT_EQ(calls[2], c1);
    // In double precision throughout the vertex would be 3 to a few ulps.
    EXPECT_NEAR(calls[3], 2.9999998944, 1e-10);
    EXPECT_GT(std::fabs(calls[3] - 3.0), 1e-8);
    EXPECT_EQ(calls[4], calls[3] + 1.618034 * (calls[3] - c1));
    EXPECT_EQ(r.a, c1);
    EXPECT_EQ(r.b, calls[3]);
    EXPECT_EQ(r.c, calls[4]);
    EXPECT_NEAR(r.c, 3.6180337, 1e-7);
    EXPECT_EQ(r.fb, (r.b - 3.0) * (r.b - 3.0));
}

TEST(Mnbrak, UphillStartIsExchangedAndWalksBackwards)
{
    const Bracket r = bracket_from(0.0, 1.0, parabola, -3.0);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[2], -1.618034);
    EXPECT_NEAR(calls[3], -3.0, 1e-6);
    EXPECT_NEAR(calls[4], -5.236068, 1e-6);
    EXPECT_EQ(r.a, -1.618034);
    EXPECT_EQ(r.b, calls[3]);
    EXPECT_EQ(r.c, calls[4]);
    EXPECT_GT(r.a, r.b);
    EXPECT_GT(r.b, r.c);
}

TEST(Mnbrak, HugeDifferencesOverflowSinglePrecisionAndTakeGoldenStep)
{
    const Bracket r = bracket_from(0.0, 1.0, parabola, 3.0, 1e38);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[3], c1 + 1.618034 * (c1 - 1.0));
    EXPECT_NEAR(calls[3], 5.236068, 1e-7);
    EXPECT_EQ(r.a, 1.0);
    EXPECT_EQ(r.b, c1);
    EXPECT_EQ(r.c, calls[3]);
}

TEST(Mnbrak, LinearFallTakesTheGrowthLimitUntilOverflow)
{
    const Bracket r = bracket_from(0.0, 1.0, falling);
    ASSERT_GT(calls.size(), 10u);
    EXPECT_EQ(calls[3], 1.0 + 100.0 * (c1 - 1.0));
    EXPECT_NEAR(calls[3], 162.8034, 1e-12);
    EXPECT_EQ(calls[4], c1 + 100.0 * (calls[3] - c1));
    for (std::size_t k = 3; k < calls.size() && calls[k] < 1e100; k++)
        EXPECT_EQ(calls[k], calls[k - 2] + 100.0 * (calls[k - 1] - calls[k - 2])) << "evaluation " << k;
    EXPECT_EQ(r.fb, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(r.fc, -std::numeric_limits<double>::infinity());
}

TEST(Mnbrak, LevelStartsReturnAfterThreeEvaluations)
{
    Bracket r = bracket_from(0.0, 1.0, flat);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(r.a, 0.0);
    EXPECT_EQ(r.b, 1.0);
    EXPECT_EQ(r.c, c1);

    r = bracket_from(2.0, 2.0, parabola, 3.0);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(r.a, 2.0);
    EXPECT_EQ(r.b, 2.0);
    EXPECT_EQ(r.c, 2.0);
}

TEST(Mnbrak, VertexBetweenBAndC)
{
    // A parabola: the vertex is below c, and (b, u, c) is the bracket.
    Bracket r = bracket_from(0.0, 1.0, parabola, 2.0);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(r.a, 1.0);
    EXPECT_NEAR(r.b, 2.0, 1e-6);
    EXPECT_EQ(r.c, c1);

    // The vertex of 4, 1, 0.5 at 0, 1, c1 lies near 1.96.
    elsewhere = 5.0;  // above f(b): (a, b, u)
    r = bracket_from(0.0, 1.0, table);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_GT(calls[3], 1.9);
    EXPECT_LT(calls[3], 2.0);
    EXPECT_EQ(r.a, 0.0);
    EXPECT_EQ(r.b, 1.0);
    EXPECT_EQ(r.c, calls[3]);
    EXPECT_EQ(r.fc, 5.0);

    elsewhere = 0.7;  // between f(c) and f(b): golden extension from c
    r = bracket_from(0.0, 1.0, table);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[4], c1 + 1.618034 * (c1 - 1.0));
    EXPECT_EQ(r.a, 1.0);
    EXPECT_EQ(r.b, c1);
    EXPECT_EQ(r.c, calls[4]);
}

TEST(Brent, FirstStepIsGoldenIntoTheLargerPart)
{
    double xmin;
    centre = 3.0;
    height = 1.0;
    calls.clear();
    brent(0.0, 1.0, c1, parabola, 2.0e-4, &xmin);
    EXPECT_EQ(calls[0], 1.0);
    EXPECT_EQ(calls[1], 1.0 + 0.381966 * (c1 - 1.0));

    calls.clear();
    brent(0.0, 2.0, 2.5, parabola, 2.0e-4, &xmin);
    EXPECT_EQ(calls[0], 2.0);
    EXPECT_EQ(calls[1], 2.0 + 0.381966 * (0.0 - 2.0));
    EXPECT_NEAR(calls[1], 1.236068, 1e-15);
}

TEST(Brent, ConvergesWithinTheTolerance)
{
    for (const double tol : {2.0e-4, 1.0e-8}) {
        double xmin;
        calls.clear();
        const double fmin = brent(0.0, 1.0, 3.0, quartic, tol, &xmin);
        const std::vector<double> forward = calls;
        EXPECT_LE(forward.size(), 101u);
        EXPECT_LE(std::fabs(xmin - 0.7), 2.0 * (tol * std::fabs(xmin) + 1e-10));
        EXPECT_EQ(fmin, quartic(xmin));

        // A reversed bracket is the same interval.
        double xmin2;
        calls.clear();
        EXPECT_EQ(brent(3.0, 1.0, 0.0, quartic, tol, &xmin2), fmin);
        EXPECT_EQ(xmin2, xmin);
        EXPECT_EQ(calls, forward);
    }
}

TEST(Brent, ToleranceFloorAndMinimalSteps)
{
    double xmin;
    centre = 0.0;
    height = 1.0;
    calls.clear();
    EXPECT_EQ(brent(-1e-10, 0.0, 1e-10, parabola, 2.0e-4, &xmin), 0.0);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(xmin, 0.0);

    calls.clear();
    brent(-3e-10, 0.0, 3e-10, parabola, 2.0e-4, &xmin);
    EXPECT_GT(calls.size(), 1u);

    // At x = 0 the steps shrink to the absolute term: a parabolic step of
    // (nearly) nothing becomes +1e-10, one ending next to b becomes 1e-10
    // towards the midpoint.
    calls.clear();
    EXPECT_EQ(brent(-1.0, 0.0, 2.0, parabola, 2.0e-4, &xmin), 0.0);
    EXPECT_EQ(calls, (std::vector<double>{0.0, 2.0 * 0.381966, -0.381966, 1e-10, -1e-10}));
    EXPECT_EQ(xmin, 0.0);
}

TEST(Brent, TiesMoveTheBestPointAndNaNNeverWins)
{
    double xmin;
    calls.clear();
    EXPECT_EQ(brent(0.0, 1.0, 3.0, flat, 2.0e-4, &xmin), 7.0);
    EXPECT_GT(calls.size(), 2u);
    EXPECT_EQ(xmin, calls.back());

    calls.clear();
    EXPECT_TRUE(std::isnan(brent(0.0, 1.0, c1, notanumber, 2.0e-4, &xmin)));
    EXPECT_EQ(xmin, 1.0);
}

namespace {

double cusp(double x)
{
    // The parabola helps little at a cusp: the interval has to shrink from
    // 2e100 to 2e-10 mostly by golden sections, far more than 100 steps.
    static int count = 0;
    if (++count > 99)
        std::fprintf(stderr, "evaluation %d\n", count);
    return std::sqrt(std::fabs(x));
}

} // namespace

TEST(BrentDeathTest, IterationLimitAfter101Evaluations)
{
    double xmin;
    EXPECT_EXIT(brent(-1e100, 0.0, 1e100, cusp, 2.0e-4, &xmin), ::testing::ExitedWithCode(1),
                "^" + literal("evaluation 100\nevaluation 101\n") + fatal("Too many iterations in brent") + "$");
}

// ---------------------------------------------------------------------------
// Functions of several variables.

namespace {

int dim = 0;
std::vector<std::vector<double>> points;  // arguments of the objective, in order

void record(const double *x)
{
    points.emplace_back(x + 1, x + 1 + dim);
}

// f = 10 + 0.5 x'Ax - b'x with a coupled, positive definite A.
const double A3[3][3] = {{4.0, 1.0, 0.5}, {1.0, 3.0, -1.0}, {0.5, -1.0, 2.0}};
const double b3[3] = {1.0, -2.0, 3.0};

double coupled(double *x)
{
    record(x);
    double f = 10.0;
    for (int i = 0; i < 3; i++) {
        f -= b3[i] * x[i + 1];
        for (int j = 0; j < 3; j++)
            f += 0.5 * x[i + 1] * A3[i][j] * x[j + 1];
    }
    return f;
}

void dcoupled(double *x, double *g)
{
    for (int i = 0; i < 3; i++) {
        g[i + 1] = -b3[i];
        for (int j = 0; j < 3; j++)
            g[i + 1] += A3[i][j] * x[j + 1];
    }
}

// Solution of A x = b.
const double xstar3[3] = {10.0 / 65.0, -18.0 / 65.0, 86.0 / 65.0};

double lift = 0.0;
double separable(double *x)
{
    record(x);
    return lift + (x[1] - 1.0) * (x[1] - 1.0) + 4.0 * (x[2] + 2.0) * (x[2] + 2.0);
}

// Evaluations of Rosenbrock's function and its gradient, in order; the
// gradient's are marked.
std::vector<std::pair<bool, std::vector<double>>> events;

double rosenbrock(double *x)
{
    events.emplace_back(false, std::vector<double>{x[1], x[2]});
    const double a = x[2] - x[1] * x[1];
    const double b = 1.0 - x[1];
    return 100.0 * a * a + b * b;
}

void drosenbrock(double *x, double *g)
{
    events.emplace_back(true, std::vector<double>{x[1], x[2]});
    const double a = x[2] - x[1] * x[1];
    g[1] = -400.0 * x[1] * a - 2.0 * (1.0 - x[1]);
    g[2] = 200.0 * a;
}

long nan_calls = 0;
double nanfunc(double *)
{
    nan_calls++;
    return std::numeric_limits<double>::quiet_NaN();
}

// Reports the count at exit, after kverror's lines.
void report_nan_calls()
{
    std::fprintf(stderr, "evaluations %ld\n", nan_calls);
}

// Evaluations of one line search of nanfunc, the same for every line.
long nan_line()
{
    double p[3] = {0.0, 1.0, 1.0};
    double xi[3] = {0.0, 1.0, 0.0};
    double fret;
    nan_calls = 0;
    linmin(p, xi, 2, &fret, nanfunc);
    return nan_calls;
}

void dnanfunc(double *, double *g)
{
    g[1] = g[2] = std::numeric_limits<double>::quiet_NaN();
}

// Index of the first recorded point that differs from the one before in more
// than one coordinate: in Powell's first iteration from the unit vectors, the
// extrapolated point after the sweep.
std::size_t extrapolated()
{
    std::size_t k = 1;
    for (; k < points.size(); k++) {
        int changed = 0;
        for (int j = 0; j < dim; j++)
            changed += points[k][j] != points[k - 1][j];
        if (changed > 1)
            break;
    }
    return k;
}

double **identity(int n)
{
    double **xi = dmatrix(1, n, 1, n);
    for (int i = 1; i <= n; i++)
        for (int j = 1; j <= n; j++)
            xi[i][j] = i == j ? 1.0 : 0.0;
    return xi;
}

} // namespace

TEST(Linmin, MinimumAtTheStartOrOneStepAway)
{
    dim = 2;
    double p[3] = {0.0, 1.0, -2.0};
    double xi[3] = {0.0, 0.75, 2.5};
    double fret;
    linmin(p, xi, 2, &fret, separable);
    EXPECT_EQ(p[1], 1.0);
    EXPECT_EQ(p[2], -2.0);
    EXPECT_EQ(xi[1], 0.0);
    EXPECT_EQ(xi[2], 0.0);
    EXPECT_EQ(fret, 0.0);

    double q[3] = {0.0, 0.5, -1.0};
    double step[3] = {0.0, 0.5, -1.0};
    linmin(q, step, 2, &fret, separable);
    EXPECT_EQ(step[1], 0.5);
    EXPECT_EQ(step[2], -1.0);
    EXPECT_EQ(q[1], 1.0);
    EXPECT_EQ(q[2], -2.0);
    EXPECT_EQ(ncom, 2);
    EXPECT_EQ(pcom, nullptr);
    EXPECT_EQ(xicom, nullptr);
}

namespace {

double quartic3(double *x)
{
    record(x);
    double f = 0.0;
    for (int j = 1; j <= 3; j++) {
        const double d = x[j] - 0.3 * j;
        f += d * d * d * d;
    }
    return f;
}

} // namespace

TEST(Linmin, MovesAlongTheLineByTheMinimisingStep)
{
    dim = 3;
    points.clear();
    const double p0[4] = {0.0, 1.0, -0.5, 2.0};
    const double d0[4] = {0.0, -0.4, 0.7, -0.9};
    double p[4], xi[4];
    std::copy(p0, p0 + 4, p);
    std::copy(d0, d0 + 4, xi);
    double fret;
    linmin(p, xi, 3, &fret, quartic3);
    // The bracketing starts at the point itself and one full step along xi.
    ASSERT_GE(points.size(), 2u);
    EXPECT_EQ(points[0], (std::vector<double>{1.0, -0.5, 2.0}));
    EXPECT_EQ(points[1], (std::vector<double>{1.0 + -0.4, -0.5 + 0.7, 2.0 + -0.9}));
    const double step = xi[1] / d0[1];
    for (int j = 1; j <= 3; j++) {
        EXPECT_EQ(xi[j], d0[j] * step);
        EXPECT_EQ(p[j], p0[j] + xi[j]);
    }
    EXPECT_EQ(fret, quartic3(p));
}

TEST(Powell, FirstSweepFollowsTheAxesInIndexOrder)
{
    dim = 3;
    points.clear();
    double p[4] = {0.0, 0.0, 0.0, 0.0};
    double **xi = identity(3);
    int iter;
    double fret;
    Powell(p, xi, 3, 1e-16, &iter, &fret, coupled);

    // Up to the extrapolated point each evaluation changes at most one
    // coordinate of the one before, the axes following in index order.
    const std::size_t k = extrapolated();
    ASSERT_LT(k, points.size());
    int axis = 1;
    for (std::size_t e = 1; e < k; e++)
        for (int j = 0; j < 3; j++)
            if (points[e][j] != points[e - 1][j]) {
                EXPECT_GE(j + 1, axis) << "evaluation " << e;
                axis = j + 1;
            }
    EXPECT_EQ(axis, 3);
    // The extrapolated point is 2 p - p0 with p0 = 0: p after one sweep of
    // exact coordinate minimisations in the order 1, 2, 3.
    double gs[3] = {0.0, 0.0, 0.0};
    for (int i = 0; i < 3; i++) {
        double s = b3[i];
        for (int j = 0; j < 3; j++)
            if (j != i)
                s -= A3[i][j] * gs[j];
        gs[i] = s / A3[i][i];
    }
    for (int j = 0; j < 3; j++)
        EXPECT_NEAR(points[k][j] / 2.0, gs[j], 1e-3 * std::fabs(gs[j]));

    for (int j = 0; j < 3; j++)
        EXPECT_NEAR(p[j + 1], xstar3[j], 1e-6);
    double best[4] = {0.0, xstar3[0], xstar3[1], xstar3[2]};
    EXPECT_NEAR(fret, coupled(best), 1e-12);
    EXPECT_GT(iter, 1);
    free_dmatrix(xi, 1, 3, 1, 3);
}

TEST(Powell, DirectionSetUpdate)
{
    int iter;
    double fret;

    // Separable: the sweeps land on the minimum, the extrapolated point is
    // no better, and the set stays the unit vectors.
    dim = 2;
    lift = 1.0;
    double p[3] = {0.0, 0.0, 0.0};
    double **xi = identity(2);
    Powell(p, xi, 2, 1e-6, &iter, &fret, separable);
    lift = 0.0;
    EXPECT_EQ(iter, 2);
    for (int i = 1; i <= 2; i++)
        for (int j = 1; j <= 2; j++)
            EXPECT_EQ(xi[i][j], i == j ? 1.0 : 0.0);

    // The start minimises along the first axis, so the second gives the
    // largest decrease of the first sweep: the third unit vector moves into
    // column 2 and the sweep's net displacement, rescaled by its line search,
    // becomes column 3. The tolerance ends the call after the second sweep.
    dim = 3;
    points.clear();
    double r[4] = {0.0, 1.0, -3.0, 0.0};
    double **xi3 = identity(3);
    Powell(r, xi3, 3, 0.3, &iter, &fret, coupled);
    ASSERT_EQ(iter, 2);
    for (int j = 1; j <= 3; j++) {
        EXPECT_EQ(xi3[j][1], j == 1 ? 1.0 : 0.0);
        EXPECT_EQ(xi3[j][2], j == 3 ? 1.0 : 0.0);
    }
    const std::size_t k = extrapolated();
    ASSERT_LT(k, points.size());
    // The extrapolated point 2 p1 - p0 gives the displacement u = p1 - p0;
    // the line search along u from p1 ends near s = -g(p1).u / u'Au.
    const double p0[3] = {1.0, -3.0, 0.0};
    double u[3], g[3];
    for (int j = 0; j < 3; j++)
        u[j] = (points[k][j] - p0[j]) / 2.0;
    double gu = 0.0, uau = 0.0;
    for (int i = 0; i < 3; i++) {
        g[i] = -b3[i];
        for (int j = 0; j < 3; j++) {
            g[i] += A3[i][j] * (p0[j] + u[j]);
            uau += u[i] * A3[i][j] * u[j];
        }
        gu += g[i] * u[i];
    }
    const double s = -gu / uau;
    const double scale = xi3[2][3] / u[1];
    EXPECT_LE(std::fabs(scale - s), 2.0 * (2.0e-4 * std::fabs(s) + 1e-10));
    for (int j = 1; j <= 3; j++)
        EXPECT_NEAR(xi3[j][3], scale * u[j - 1], 1e-12);
    free_dmatrix(xi, 1, 2, 1, 2);
    free_dmatrix(xi3, 1, 3, 1, 3);
}

TEST(Powell, ExactZerosConverge)
{
    dim = 2;
    double p[3] = {0.0, 1.0, -2.0};
    double **xi = identity(2);
    int iter;
    double fret = -1.0;
    Powell(p, xi, 2, 0.0, &iter, &fret, separable);
    EXPECT_EQ(iter, 1);
    EXPECT_EQ(fret, 0.0);
    free_dmatrix(xi, 1, 2, 1, 2);
}

TEST(PowellDeathTest, IterationLimit)
{
    // NaN fails the convergence test every time. The process ends in the
    // 1000th iteration after its sweep: one evaluation at the start, two
    // line searches per iteration, one extrapolated point in each of the
    // first 999.
    const long line = nan_line();
    const std::string count = "evaluations " + std::to_string(1 + 1000 * 2 * line + 999) + "\n";
    double p[3] = {0.0, 1.0, 1.0};
    double **xi = identity(2);
    int iter;
    double fret;
    EXPECT_EXIT(
        {
            nan_calls = 0;
            std::atexit(report_nan_calls);
            Powell(p, xi, 2, 1e-16, &iter, &fret, nanfunc);
        },
        ::testing::ExitedWithCode(1), "^" + fatal("powell exceeding maximum iterations.") + count + "$");
    free_dmatrix(xi, 1, 2, 1, 2);
}

TEST(Frprmn, QuadraticAndRosenbrock)
{
    dim = 3;
    double p[4] = {0.0, 0.0, 0.0, 0.0};
    int iter;
    double fret;
    Frprmn(p, 3, 1e-12, &iter, &fret, coupled, dcoupled);
    for (int j = 0; j < 3; j++)
        EXPECT_NEAR(p[j + 1], xstar3[j], 1e-5);
    EXPECT_LE(iter, 10);

    events.clear();
    double r[3] = {0.0, -1.2, 1.0};
    Frprmn(r, 2, 1e-12, &iter, &fret, rosenbrock, drosenbrock);
    EXPECT_NEAR(r[1], 1.0, 1e-4);
    EXPECT_NEAR(r[2], 1.0, 2e-4);
    EXPECT_LT(fret, 1e-8);
    EXPECT_GT(iter, 3);

    // The second line search starts with f1dim(0) and f1dim(1) at p1 and
    // p1 + h, and p1 was evaluated afresh just before its gradient.
    std::size_t k = 2;
    while (k < events.size() && !events[k].first)
        k++;
    ASSERT_LT(k + 2, events.size());
    const std::vector<double> &p1 = events[k].second;
    EXPECT_FALSE(events[k - 1].first);
    EXPECT_EQ(events[k - 1].second, p1);
    EXPECT_EQ(events[k + 1].second, p1);
    double g0[3], g1[3], x0[3] = {0.0, -1.2, 1.0}, x1[3] = {0.0, p1[0], p1[1]};
    drosenbrock(x0, g0);
    drosenbrock(x1, g1);
    const double gam = ((g1[1] - g0[1]) * g1[1] + (g1[2] - g0[2]) * g1[2]) / (g0[1] * g0[1] + g0[2] * g0[2]);
    for (int j = 1; j <= 2; j++) {
        const double hj = -g1[j] + gam * -g0[j];
        EXPECT_NEAR(events[k + 2].second[j - 1] - p1[j - 1], hj, 1e-12 * std::fabs(hj));
    }
}

namespace {

// Zero, with zero gradient, wherever both coordinates lie in [-1, 1].
double boxed(double *x)
{
    double f = 0.0;
    for (int j = 1; j <= 2; j++) {
        const double e = std::fabs(x[j]) > 1.0 ? std::fabs(x[j]) - 1.0 : 0.0;
        f += e * e;
    }
    return f;
}

void dboxed(double *x, double *g)
{
    dim = 2;
    record(x);
    for (int j = 1; j <= 2; j++)
        g[j] = std::fabs(x[j]) > 1.0 ? 2.0 * (std::fabs(x[j]) - 1.0) * (x[j] > 0.0 ? 1.0 : -1.0) : 0.0;
}

} // namespace

TEST(Frprmn, ZeroGradients)
{
    points.clear();
    double p[3] = {0.0, 0.5, -0.25};
    int iter = 0;
    double fret = -1.0;
    Frprmn(p, 2, 1e-10, &iter, &fret, boxed, dboxed);
    EXPECT_EQ(iter, 1);
    EXPECT_EQ(p[1], 0.5);
    EXPECT_EQ(p[2], -0.25);
    EXPECT_EQ(fret, 0.0);

    // The first line search lands inside the box; there the new direction is
    // zero and the second iteration returns where the first one ended.
    points.clear();
    double q[3] = {0.0, 3.0, 3.0};
    Frprmn(q, 2, 1e-10, &iter, &fret, boxed, dboxed);
    EXPECT_EQ(iter, 2);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[1], (std::vector<double>{q[1], q[2]}));
    EXPECT_LE(std::fabs(q[1]), 1.0);
    EXPECT_EQ(fret, 0.0);
}

TEST(Frprmn, AbsoluteTermEndsSearchesNearZero)
{
    // A first change of a few 1e-15 is far above 1e-3 relative, but below
    // 1e-3 of the absolute term 1e-10.
    dim = 3;
    const double tiny = 1e-15;
    static double scale;
    scale = tiny;
    auto f = [](double *x) { return scale * (coupled(x) - 10.0); };
    auto df = [](double *x, double *g) {
        dcoupled(x, g);
        for (int j = 1; j <= 3; j++)
            g[j] *= scale;
    };
    double p[4] = {0.0, 0.0, 0.0, 0.0};
    int iter;
    double fret;
    Frprmn(p, 3, 1e-3, &iter, &fret, f, df);
    EXPECT_EQ(iter, 1);

    scale = 1.0;
    double q[4] = {0.0, 0.0, 0.0, 0.0};
    Frprmn(q, 3, 1e-3, &iter, &fret, f, df);
    EXPECT_GT(iter, 1);
}

TEST(FrprmnDeathTest, IterationLimit)
{
    // A NaN gradient makes gg NaN, never 0, and NaN values fail the
    // convergence test: 200 iterations of one line search and one fresh
    // evaluation each, after the evaluation at the start.
    const long line = nan_line();
    const std::string count = "evaluations " + std::to_string(1 + 200 * (line + 1)) + "\n";
    double p[3] = {0.0, 1.0, 1.0};
    int iter;
    double fret;
    EXPECT_EXIT(
        {
            nan_calls = 0;
            std::atexit(report_nan_calls);
            Frprmn(p, 2, 1e-10, &iter, &fret, nanfunc, dnanfunc);
        },
        ::testing::ExitedWithCode(1), "^" + fatal("Too many iterations in frprmn") + count + "$");
}

// ---------------------------------------------------------------------------
// Each minimiser's results on fixed problems, to the bit, as this platform's
// compiler and library give them (x86-64, GCC 12, glibc 2.36, -O2
// -ffp-contract=off). Every constant of the routines shows in at least one of
// them: the single-precision floor of the parabola's denominator in the first
// (|q - r| = 4.2e-20 lies between 1e-20 and 1e-19), the line search's
// tolerance in Powell's and the conjugate-gradient fits of Rosenbrock's
// function, and the absolute term of the conjugate-gradient test in the last
// (a first change of 4.4e-14 passes the test with 1e-10 and fails with 1e-11).

namespace {

std::uint64_t bits(double v)
{
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

double scaled_coupled_scale = 1.0;

double scaled_coupled(double *x)
{
    return scaled_coupled_scale * (coupled(x) - 10.0);
}

void dscaled_coupled(double *x, double *g)
{
    dcoupled(x, g);
    for (int j = 1; j <= 3; j++)
        g[j] *= scaled_coupled_scale;
}

} // namespace

TEST(Pinned, BracketOfATinyParabola)
{
    const Bracket r = bracket_from(0.0, 1.0, parabola, 3.0, 1e-20);
    EXPECT_EQ(calls.size(), 5u);
    EXPECT_EQ(bits(r.a), 0x4004f1bbcf4e874cu);
    EXPECT_EQ(bits(r.b), 0x4007fffff6a82598u);
    EXPECT_EQ(bits(r.c), 0x400cf1bbb37838dau);
    EXPECT_EQ(bits(r.fb), 0x38d01a631fd30469u);
}

TEST(Pinned, BrentOnAnAsymmetricMinimum)
{
    calls.clear();
    double xmin;
    const double f = brent(0.0, 1.0, 3.0,
                           [](double x) {
                               calls.push_back(x);
                               const double d = x - 0.7;
                               return d * d * d * d + 0.1 * d * d * std::cos(x);
                           },
                           2.0e-4, &xmin);
    EXPECT_EQ(calls.size(), 10u);
    EXPECT_EQ(bits(xmin), 0x3fe6665ac03778d7u);
    EXPECT_EQ(bits(f), 0x3d84c22283cb6305u);
}

TEST(Pinned, LineSearch)
{
    dim = 3;
    double p[4] = {0.0, 1.0, -0.5, 2.0};
    double xi[4] = {0.0, -0.4, 0.7, -0.9};
    double fret;
    linmin(p, xi, 3, &fret, quartic3);
    EXPECT_EQ(bits(p[1]), 0x3fdc8d0606516d64u);
    EXPECT_EQ(bits(p[2]), 0x3fde093574f1808eu);
    EXPECT_EQ(bits(p[3]), 0x3fe81ea6c71b9b12u);
    EXPECT_EQ(bits(xi[1]), 0xbfe1b97cfcd7494eu);
    EXPECT_EQ(bits(fret), 0x3f53be2e566bb288u);
}

TEST(Pinned, PowellOnRosenbrock)
{
    events.clear();
    double r[3] = {0.0, -1.2, 1.0};
    double **xi = identity(2);
    int iter;
    double fret;
    Powell(r, xi, 2, 1e-10, &iter, &fret, rosenbrock);
    EXPECT_EQ(events.size(), 1192u);
    EXPECT_EQ(iter, 32);
    EXPECT_EQ(bits(r[1]), 0x3ff0000000000035u);
    EXPECT_EQ(bits(r[2]), 0x3ff000000000006bu);
    EXPECT_EQ(bits(fret), 0x3a26ba0000000000u);
    free_dmatrix(xi, 1, 2, 1, 2);
}

TEST(Pinned, ConjugateGradientsOnRosenbrockAndNearZero)
{
    events.clear();
    double q[3] = {0.0, -1.2, 1.0};
    int iter;
    double fret;
    Frprmn(q, 2, 1e-12, &iter, &fret, rosenbrock, drosenbrock);
    EXPECT_EQ(iter, 19);
    EXPECT_EQ(bits(q[1]), 0x3ff0000000000086u);
    EXPECT_EQ(bits(q[2]), 0x3ff000000000010eu);
    EXPECT_EQ(bits(fret), 0x3a51ed0000000000u);

    dim = 3;
    scaled_coupled_scale = 2e-14;
    double z[4] = {0.0, 0.0, 0.0, 0.0};
    Frprmn(z, 3, 1e-3, &iter, &fret, scaled_coupled, dscaled_coupled);
    EXPECT_EQ(iter, 1);
    EXPECT_EQ(bits(z[1]), 0x3fd3e93e93baabc1u);
    EXPECT_EQ(bits(z[3]), 0x3feddddddd9801a1u);
}
