// The library's value types: the curve's evaluation inside and beyond the
// gauged range, its polynomial pieces and bands, the knots by equal counts
// (the same as the run without arguments places), and the error text.
#include "Curve.h"
#include "Error.h"
#include "Gauging.h"
#include "Knots.h"
#include "StageRanges.h"
#include "Kvutil.h"
#include "Model.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <random>
#include <vector>

namespace {

using rating::Curve;

// B-spline i of degree d on the knots U at x, by the Cox-de Boor recurrence
// written out directly (the last interval closed on the right).
double bspline(const std::vector<double> &U, int i, int d, double x)
{
    if (d == 0) {
        const bool last = U[static_cast<std::size_t>(i) + 1] == U.back() && x == U.back() && U[i] < U.back();
        return (U[i] <= x && x < U[i + 1]) || last ? 1.0 : 0.0;
    }
    double value = 0.0;
    const double left = U[i + d] - U[i];
    const double right = U[i + d + 1] - U[i + 1];
    if (left > 0.0)
        value += (x - U[i]) / left * bspline(U, i, d - 1, x);
    if (right > 0.0)
        value += (U[i + d + 1] - x) / right * bspline(U, i + 1, d - 1, x);
    return value;
}

double reference_value(const Curve &c, double x)
{
    double sum = 0.0;
    for (int i = 0; i < c.p; i++)
        sum += c.coefficients[static_cast<std::size_t>(i)] * bspline(c.knots, i, c.degree, x);
    return sum;
}

Curve random_curve(int degree, std::vector<double> interior, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> coef(0.5, 3.0);
    Curve c;
    c.degree = degree;
    c.nu = 0.5;
    c.knots.assign(static_cast<std::size_t>(degree) + 1, 1.0);
    c.knots.insert(c.knots.end(), interior.begin(), interior.end());
    c.knots.insert(c.knots.end(), static_cast<std::size_t>(degree) + 1, 4.0);
    c.p = static_cast<int>(c.knots.size()) - degree - 1;
    for (int i = 0; i < c.p; i++)
        c.coefficients.push_back(coef(gen));
    c.stage_range = {1.0, 4.0};
    c.covariance.assign(static_cast<std::size_t>(c.p) * c.p, 0.0);
    for (int i = 0; i < c.p; i++)
        for (int j = 0; j < c.p; j++)
            c.covariance[static_cast<std::size_t>(i) * c.p + j] = 0.01 * std::exp(-std::abs(i - j));
    c.dof = 20;
    c.n = c.dof + c.p;
    c.s = 0.1;
    return c;
}

TEST(CurveEvaluation, ValuesAgreeWithTheRecurrenceInsideTheRange)
{
    for (int degree = 1; degree <= 3; degree++) {
        const Curve c = random_curve(degree, {1.7, 2.2, 3.1}, 7u + degree);
        for (double x = 1.0; x <= 4.0; x += 0.0137)
            EXPECT_NEAR(rating::curve_value(c, x), reference_value(c, x), 1e-13) << "degree " << degree << " at " << x;
        EXPECT_NEAR(rating::curve_value(c, 4.0), reference_value(c, 4.0), 1e-13);
        // The functional gives the same value as a linear function of the coefficients.
        std::vector<double> b;
        rating::curve_functional(c, 2.2, b);
        double dot = 0.0;
        for (std::size_t i = 0; i < b.size(); i++)
            dot += b[i] * c.coefficients[i];
        EXPECT_NEAR(dot, rating::curve_value(c, 2.2), 1e-14);
    }
}

TEST(CurveEvaluation, BeyondTheRangeTheEndTangentContinues)
{
    const Curve c = random_curve(3, {2.0, 3.0}, 3u);
    const double eps = 1e-6;
    const double slope_low = (reference_value(c, 1.0 + eps) - reference_value(c, 1.0)) / eps;
    const double slope_high = (reference_value(c, 4.0) - reference_value(c, 4.0 - eps)) / eps;
    EXPECT_NEAR(rating::curve_slope(c, 1.0), slope_low, 1e-4);
    for (const double dx : {0.5, 2.0, 10.0}) {
        EXPECT_NEAR(rating::curve_value(c, 1.0 - dx), reference_value(c, 1.0) - dx * rating::curve_slope(c, 1.0),
                    1e-12);
        EXPECT_NEAR(rating::curve_value(c, 4.0 + dx), reference_value(c, 4.0) + dx * slope_high, 1e-4 * dx);
    }
    // The band of a straight continuation widens with the distance.
    EXPECT_LT(rating::curve_variance(c, 4.5), rating::curve_variance(c, 6.0));
    EXPECT_LT(rating::curve_variance(c, 0.5), rating::curve_variance(c, -1.0));
}

TEST(CurveEvaluation, PiecesReproduceTheCurveOnEachInterval)
{
    for (int degree = 1; degree <= 3; degree++) {
        const Curve c = random_curve(degree, {1.5, 2.5, 3.0}, 11u + degree);
        const std::vector<rating::Piece> pieces = rating::curve_pieces(c);
        ASSERT_EQ(pieces.size(), 4u);
        EXPECT_EQ(pieces.front().from, 1.0);
        EXPECT_EQ(pieces.back().to, 4.0);
        for (const rating::Piece &piece : pieces)
            for (int k = 0; k <= 10; k++) {
                const double x = piece.from + (piece.to - piece.from) * k / 10.0;
                double value = 0.0;
                for (std::size_t m = 0; m < piece.coefficients.size(); m++)
                    value += piece.coefficients[m] * std::pow(x - piece.from, static_cast<double>(m));
                EXPECT_NEAR(value, reference_value(c, x), 1e-12) << "degree " << degree << " at " << x;
            }
    }
}

TEST(CurveEvaluation, BandsFromTheCovarianceAndDischargeOfValues)
{
    Curve c = random_curve(2, {2.5}, 5u);
    c.r = 0.03;
    const double t = rating::t_quantile_975(c.dof);
    EXPECT_NEAR(t, 2.0859634472658648, 1e-12);
    const double h = 2.2;
    const rating::BandRow row = rating::curve_band(c, h, t);
    std::vector<double> b;
    rating::curve_functional(c, h, b);
    double var = 0.0;
    for (int i = 0; i < c.p; i++)
        for (int j = 0; j < c.p; j++)
            var += b[i] * c.covariance[static_cast<std::size_t>(i) * c.p + j] * b[j];
    const double y = rating::curve_value(c, h);
    EXPECT_NEAR(row.conf_high, std::pow(y + t * std::sqrt(var), 2.0), 1e-12);
    const double pred = t * std::sqrt(c.s * c.s + (c.nu * y * c.r) * (c.nu * y * c.r) + var);
    EXPECT_NEAR(row.pred_low, std::pow(y - pred, 2.0), 1e-12);
    EXPECT_LT(row.pred_low, row.conf_low);
    EXPECT_LT(row.conf_high, row.pred_high);
    // Below the stage of zero flow the discharge is 0 for nu > 0, none for nu < 0.
    EXPECT_EQ(rating::discharge_of_value(0.5, -0.2), 0.0);
    EXPECT_EQ(rating::discharge_of_value(0.5, 0.0), 0.0);
    EXPECT_TRUE(std::isnan(rating::discharge_of_value(-0.5, 0.0)));
    EXPECT_NEAR(rating::discharge_of_value(-0.5, 0.25), 16.0, 1e-12);
}

TEST(Knots, EqualCountsAsTheRunPlacesThem)
{
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> stage(0.3, 5.0);
    for (const int n : {5, 10, 37, 126}) {
        std::vector<double> h;
        for (int i = 0; i < n; i++)
            h.push_back(stage(gen));
        std::sort(h.begin(), h.end());
        for (int J = 1; J <= std::min(n, 12); J++) {
            const std::vector<double> Yv = rating::automatic_knots(h, J);
            release_model();
            N = n;
            ::h = dvector(1, N);
            I = ivector(1, N);
            for (int i = 1; i <= N; i++)
                ::h[i] = h[static_cast<std::size_t>(i) - 1];
            Jknot = J;
            place_automatic();
            ASSERT_EQ(static_cast<int>(Yv.size()), J + 1);
            for (int k = 0; k <= J; k++)
                EXPECT_EQ(Yv[static_cast<std::size_t>(k)], Y[k + 1]) << "n " << n << " J " << J << " knot " << k;
        }
    }
    release_model();
    EXPECT_EQ(rating::listed_knots({1.0, 2.0, 3.0}, {1.5}), (std::vector<double>{1.0, 1.5, 3.0}));
}

TEST(Values, ErrorTextNamesWhatItHas)
{
    EXPECT_EQ(rating::error_text(rating::line_error_value("g.csv", 7, "expected a number", 3, "Q")),
              "\nError in file g.csv, line 7, column 3 (Q): expected a number\n");
    EXPECT_EQ(rating::error_text(rating::line_error_value("g.csv", 7, "expected a number")),
              "\nError in file g.csv, line 7: expected a number\n");
    EXPECT_EQ(rating::error_text(rating::file_error_value("g.csv", "no stage column")),
              "\nError in file g.csv: no stage column\n");
    EXPECT_EQ(rating::safe_name(".hidden/x y\xf4"), "_.hidden_x_y_");
    EXPECT_EQ(rating::safe_name("USGS-01.A_b"), "USGS-01.A_b");
}

TEST(Values, ActiveGaugingsInStageOrderTiesByLine)
{
    std::vector<rating::Gauging> g(4);
    g[0].stage = 2.0, g[0].line = 5;
    g[1].stage = 1.0, g[1].line = 9;
    g[2].stage = 2.0, g[2].line = 3;
    g[3].stage = 0.5, g[3].line = 2, g[3].active = false;
    const std::vector<rating::Gauging> a = rating::active_by_stage(g);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].line, 9);
    EXPECT_EQ(a[1].line, 3);
    EXPECT_EQ(a[2].line, 5);
    EXPECT_EQ(rating::count_active(g), 3);
}

// The order is that of a stable sort by stage and line, on many ties of
// both (lines repeat when a program makes its gaugings), and a stage that is
// no number comes last without upsetting the sort.
TEST(Values, ActiveOrderIsTheStableOrderOfStageAndLine)
{
    std::mt19937 random(11);
    for (int round = 0; round < 20; round++) {
        std::vector<rating::Gauging> g(500 + 97 * round);
        rating::LineNumber line = 1;
        for (rating::Gauging &x : g) {
            x.stage = 0.25 * static_cast<double>(random() % 40) - 2.0;
            // Lines as a file has them (ascending, now and then repeated) or
            // in any order, as a program may make them.
            line += random() % 3 == 0 ? 0 : 1;
            x.line = round % 4 < 2 ? line : static_cast<rating::LineNumber>(random() % 300);
            x.active = random() % 7 != 0;
        }
        g[random() % g.size()].stage = -0.0;
        g[random() % g.size()].stage = std::ldexp(1.0, -1070);  // subnormal
        g[random() % g.size()].stage = -1e300;
        if (round % 3 == 1)
            for (int k = 0; k < 5; k++)
                g[random() % g.size()].stage = std::nan("");
        std::vector<std::size_t> expected;
        for (std::size_t i = 0; i < g.size(); i++)
            if (g[i].active)
                expected.push_back(i);
        std::stable_sort(expected.begin(), expected.end(), [&g](std::size_t a, std::size_t b) {
            const bool a_nan = std::isnan(g[a].stage);
            const bool b_nan = std::isnan(g[b].stage);
            if (a_nan != b_nan)
                return b_nan;
            const bool same_stage = (a_nan && b_nan) || g[a].stage == g[b].stage;
            return same_stage ? g[a].line < g[b].line : g[a].stage < g[b].stage;
        });
        ASSERT_EQ(rating::active_order(g), expected) << "round " << round;
    }
}

} // namespace

namespace {

TEST(Values, StageRangesJoinAndRead)
{
    rating::StageRanges r;
    rating::add_range(r, 1.0, 1.5);
    rating::add_range(r, 1.5, 2.0);  // touches: joined
    rating::add_range(r, 3.0, 3.0);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], rating::StageRange(1.0, 2.0));
    EXPECT_EQ(rating::ranges_in_words(r), "stages 1 to 2, stage 3");
    EXPECT_EQ(rating::ranges_text("between stages %g and %g", nullptr, r),
              "between stages 1 and 2, between stages 3 and 3");
}

} // namespace
