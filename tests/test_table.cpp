// The rating table: its values and bands against an independent evaluation
// of the curve file's B-spline (de Boor's recurrence, the Cox-de Boor basis,
// Student's t of Boost), stages that are exact multiples of the step, the
// end tangents beyond the gauged range, the zero-flow rule, the wide layout,
// the equations, and the table command as a user runs it.
#include "CurveFile.h"
#include "RunSupport.h"
#include "Table.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <boost/math/distributions/students_t.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace rating;

namespace {

// A cubic curve of Q^0.5 on three intervals of 1 <= h <= 4 with a
// covariance A A' of a fixed A.
Curve known_curve(double nu = 0.5)
{
    Curve c;
    c.station = "G1";
    c.title = "Test gauge";
    c.nu = nu;
    c.degree = 3;
    c.knots = {1.0, 1.0, 1.0, 1.0, 1.8, 2.6, 4.0, 4.0, 4.0, 4.0};
    c.coefficients = {0.9, 1.4, 2.6, 4.1, 6.0, 7.2};
    c.stage_range = {1.0, 4.0};
    c.p = 6;
    c.n = 46;
    c.dof = 40;
    c.s = 0.08;
    c.s_m = 0.08;
    c.r = 0.03;
    Eigen::MatrixXd A(6, 6);
    for (int i = 0; i < 6; i++)
        for (int j = 0; j < 6; j++)
            A(i, j) = 0.01 * std::cos(1.3 * i + 0.7 * j * j) + (i == j ? 0.03 : 0.0);
    const Eigen::MatrixXd C = A * A.transpose();
    for (int i = 0; i < 6; i++)
        for (int j = 0; j < 6; j++)
            c.covariance.push_back(C(i, j));
    return c;
}

// De Boor's recurrence for the spline at h inside the knots' range.
double de_boor(const std::vector<double> &t, const std::vector<double> &coef, int k, double h)
{
    int mu = k;
    while (mu + 1 < static_cast<int>(t.size()) - k - 1 && h >= t[static_cast<std::size_t>(mu) + 1])
        mu++;
    std::vector<double> d(coef.begin() + (mu - k), coef.begin() + (mu + 1));
    for (int r = 1; r <= k; r++)
        for (int j = k; j >= r; j--) {
            const int i = mu - k + j;
            const double a = (h - t[static_cast<std::size_t>(i)]) /
                             (t[static_cast<std::size_t>(i + k - r + 1)] - t[static_cast<std::size_t>(i)]);
            d[static_cast<std::size_t>(j)] =
                (1.0 - a) * d[static_cast<std::size_t>(j) - 1] + a * d[static_cast<std::size_t>(j)];
        }
    return d[static_cast<std::size_t>(k)];
}

// The derivative spline: degree k - 1 on the inner knots, coefficients
// k (c_i - c_{i-1}) / (t_{i+k} - t_i).
double de_boor_slope(const Curve &c, double h)
{
    const int k = c.degree;
    std::vector<double> dc;
    for (std::size_t i = 1; i < c.coefficients.size(); i++)
        dc.push_back(k * (c.coefficients[i] - c.coefficients[i - 1]) /
                     (c.knots[i + static_cast<std::size_t>(k)] - c.knots[i]));
    const std::vector<double> inner(c.knots.begin() + 1, c.knots.end() - 1);
    return de_boor(inner, dc, k - 1, h);
}

// Q^nu of the curve file's B-spline, on the end tangents beyond its range.
double reference_value(const Curve &c, double h)
{
    const double end = std::min(std::max(h, c.stage_range.first), c.stage_range.second);
    return de_boor(c.knots, c.coefficients, c.degree, end) + (h - end) * de_boor_slope(c, end);
}

// Every B-spline of degree k at h by the Cox-de Boor recursion (the last
// interval closed on the right).
std::vector<double> basis(const std::vector<double> &t, int k, double h)
{
    const std::size_t m = t.size() - 1;
    std::vector<double> b(m, 0.0);
    for (std::size_t i = 0; i < m; i++)
        if (t[i] < t[i + 1] && ((h >= t[i] && h < t[i + 1]) || (h == t.back() && t[i + 1] == t.back())))
            b[i] = 1.0;
    for (int r = 1; r <= k; r++)
        for (std::size_t i = 0; i + static_cast<std::size_t>(r) < m; i++) {
            double v = 0.0;
            if (t[i + r] > t[i])
                v += (h - t[i]) / (t[i + r] - t[i]) * b[i];
            if (t[i + r + 1] > t[i + 1])
                v += (t[i + r + 1] - h) / (t[i + r + 1] - t[i + 1]) * b[i + 1];
            b[i] = v;
        }
    b.resize(t.size() - static_cast<std::size_t>(k) - 1);
    return b;
}

// The functional of the coefficients that gives Q^nu at h, by differences
// of the basis beyond the range (it is linear there).
Eigen::VectorXd reference_functional(const Curve &c, double h)
{
    const auto as_vector = [](const std::vector<double> &v) {
        return Eigen::Map<const Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size())).eval();
    };
    const double end = std::min(std::max(h, c.stage_range.first), c.stage_range.second);
    const Eigen::VectorXd at_end = as_vector(basis(c.knots, c.degree, end));
    if (end == h)
        return at_end;
    // The derivative of each B-spline from the degree below.
    const int k = c.degree;
    const std::vector<double> lower = basis(c.knots, k - 1, end);
    Eigen::VectorXd slope = Eigen::VectorXd::Zero(at_end.size());
    for (Eigen::Index i = 0; i < slope.size(); i++) {
        const std::size_t u = static_cast<std::size_t>(i);
        if (c.knots[u + k] > c.knots[u])
            slope(i) += k / (c.knots[u + k] - c.knots[u]) * lower[u];
        if (c.knots[u + k + 1] > c.knots[u + 1])
            slope(i) -= k / (c.knots[u + k + 1] - c.knots[u + 1]) * lower[u + 1];
    }
    return at_end + (h - end) * slope;
}

struct ReferenceBand {
    double q, conf_low, conf_high, pred_low, pred_high;
};

ReferenceBand reference_band(const Curve &c, double h)
{
    const Eigen::Map<const Eigen::MatrixXd> C(c.covariance.data(), c.p, c.p);
    const Eigen::VectorXd b = reference_functional(c, h);
    const double t = boost::math::quantile(boost::math::students_t(c.dof), 0.975);
    const double y = reference_value(c, h);
    const double conf = t * std::sqrt(b.dot(C * b));
    const double pred = t * std::sqrt(c.s * c.s + std::pow(c.nu * y * c.r, 2) + b.dot(C * b));
    // Below the stage of zero flow (nu > 0) the discharge is 0.
    const auto q = [&](double v) { return c.nu > 0.0 && v <= 0.0 ? 0.0 : std::pow(v, 1.0 / c.nu); };
    return {q(y), q(y - conf), q(y + conf), q(y - pred), q(y + pred)};
}

// Relative agreement; at the stage of zero flow, where Q^nu crosses 0 and
// its rounding is all that is left, to 1e-12 in discharge.
void expect_relative(double actual, double expected, const char *what, double h)
{
    EXPECT_NEAR(actual, expected, 1e-9 * std::fabs(expected) + 1e-12) << what << " at stage " << h;
}

std::vector<std::string> split(const std::string &line, char by = ',')
{
    std::vector<std::string> fields;
    std::stringstream s(line);
    std::string f;
    while (std::getline(s, f, by))
        fields.push_back(f);
    if (!line.empty() && line.back() == by)
        fields.emplace_back();
    return fields;
}

StageStep step_of(const char *text)
{
    const Result<StageStep> s = parse_step(text);
    EXPECT_TRUE(s.ok()) << text;
    return s.value();
}

TableSpec spec_of(const char *step, double from, double to)
{
    const Result<TableSpec> s = table_spec(step_of(step), from, to);
    EXPECT_TRUE(s.ok());
    return s.value();
}

} // namespace

TEST(TableValues, DischargeAndBandsAgreeWithAnIndependentEvaluation)
{
    const Curve c = known_curve();
    const TableSpec spec = spec_of("0.01", -1.0, 7.0);
    const double t = t_quantile_975(c.dof);
    for (long long k = spec.first; k <= spec.last; k++) {
        const TableRow row = table_row(c, spec, k, t);
        const double h = stage_of(spec.step, k);
        const ReferenceBand ref = reference_band(c, h);
        expect_relative(row.band.discharge, ref.q, "discharge", h);
        expect_relative(row.band.conf_low, ref.conf_low, "conf_low", h);
        expect_relative(row.band.conf_high, ref.conf_high, "conf_high", h);
        expect_relative(row.band.pred_low, ref.pred_low, "pred_low", h);
        expect_relative(row.band.pred_high, ref.pred_high, "pred_high", h);
    }
}

TEST(TableValues, LongRowsCarryTheValuesAsTenDigits)
{
    const Curve c = known_curve();
    const TableSpec spec = spec_of("0.5", 0.0, 5.0);
    std::string text;
    for (long long k = spec.first; k <= spec.last; k++)
        append_long_row(text, spec, table_row(c, spec, k, t_quantile_975(c.dof)));
    std::istringstream lines(text);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        const std::vector<std::string> f = split(line);
        ASSERT_EQ(f.size(), 7u) << line;
        const double h = std::stod(f[0]);
        const ReferenceBand ref = reference_band(c, h);
        const double expected[] = {ref.q, ref.conf_low, ref.conf_high, ref.pred_low, ref.pred_high};
        for (int i = 0; i < 5; i++)
            EXPECT_NEAR(std::stod(f[static_cast<std::size_t>(i) + 1]), expected[i], 6e-10 * expected[i]) << line;
        EXPECT_EQ(f[6], h < 1.0 ? "below" : h > 4.0 ? "above" : "gauged") << line;
        rows++;
    }
    EXPECT_EQ(rows, 11);
    EXPECT_EQ(text.substr(0, 4), "0.0,");
}

TEST(TableStages, ExactDecimalsOfTheStepNeverSums)
{
    // 0.1 + 0.1 + 0.1 is 0.30000000000000004; the table's third step is 0.3.
    const StageStep tenth = step_of("0.1");
    char buffer[48];
    EXPECT_EQ(std::string(buffer, stage_text(buffer, tenth, 3)), "0.3");
    EXPECT_EQ(stage_of(tenth, 3), 0.3);
    EXPECT_EQ(std::string(buffer, stage_text(buffer, step_of("0.010"), 7)), "0.070");
    EXPECT_EQ(std::string(buffer, stage_text(buffer, step_of("0.01"), -7)), "-0.07");
    EXPECT_EQ(std::string(buffer, stage_text(buffer, step_of("5"), 3)), "15");
    EXPECT_EQ(std::string(buffer, stage_text(buffer, step_of(".25"), 3)), "0.75");

    // 100,000 steps: every row once, each stage the double of its own text.
    const TableSpec spec = spec_of("0.001", 0.0, 100.0);
    ASSERT_EQ(spec.last - spec.first + 1, 100001);
    for (long long k = spec.first; k <= spec.last; k++) {
        const std::string text(buffer, stage_text(buffer, spec.step, k));
        const std::string expected = std::to_string(k / 1000) + "." +
                                     std::string(3 - std::to_string(k % 1000).size(), '0') + std::to_string(k % 1000);
        ASSERT_EQ(text, expected);
        ASSERT_EQ(stage_of(spec.step, k), std::strtod(text.c_str(), nullptr)) << text;
    }
}

TEST(TableStages, RangeRoundedOutwardToTheStep)
{
    const StageStep cm = step_of("0.01");
    char buffer[48];
    const auto first_last = [&](double from, double to) {
        const TableSpec s = table_spec(cm, from, to).value();
        return std::string(buffer, stage_text(buffer, cm, s.first)) + " " +
               std::string(buffer, stage_text(buffer, cm, s.last));
    };
    EXPECT_EQ(first_last(0.749808, 3.23088), "0.74 3.24");
    EXPECT_EQ(first_last(1.2, 2.3), "1.20 2.30"); // on the step already, though 1.2 / 0.01 < 120
    EXPECT_EQ(first_last(-0.005, 0.005), "-0.01 0.01");
    EXPECT_EQ(first_last(2.0, 2.0), "2.00 2.00");

    EXPECT_FALSE(table_spec(cm, 3.0, 2.0).ok());
    EXPECT_EQ(table_spec(cm, 3.0, 2.0).error().exit_code, 2);
    EXPECT_FALSE(table_spec(step_of("0.0001"), 0.0, 5000.0).ok()); // 50 million rows
    for (const char *bad : {"0", "0.000", "-0.01", "1e-3", "0.01x", "", ".", "0.1.2", "0.0000000000000001"})
        EXPECT_FALSE(parse_step(bad).ok()) << bad;
}

TEST(TableExtrapolation, EndTangentsBandsWideningAndFlags)
{
    const Curve c = known_curve();
    const double t = t_quantile_975(c.dof);
    const TableSpec spec = spec_of("0.25", -2.0, 9.0);
    double last_width_below = HUGE_VAL;
    double last_width_above = 0.0;
    for (long long k = spec.first; k <= spec.last; k++) {
        const double h = stage_of(spec.step, k);
        const TableRow row = table_row(c, spec, k, t);
        // On the tangent, the transformed discharge is linear in stage.
        if (h < 1.0 || h > 4.0) {
            const double end = h < 1.0 ? 1.0 : 4.0;
            const double line = de_boor(c.knots, c.coefficients, 3, end) + (h - end) * de_boor_slope(c, end);
            if (line > 0.0) {
                EXPECT_NEAR(std::sqrt(row.band.discharge), line, 1e-12 * std::fabs(line)) << h;
            }
        }
        const double width = std::pow(row.band.conf_high, 0.5) - std::pow(row.band.conf_low, 0.5);
        if (h < 1.0 && row.band.conf_low > 0.0) {
            EXPECT_LT(width, last_width_below) << "the band narrows towards the range below " << h;
            last_width_below = width;
        }
        if (h > 4.0) {
            EXPECT_GT(width, last_width_above) << "the band widens away from the range above " << h;
            last_width_above = width;
        }
    }
    EXPECT_EQ(range_flag(c, 1.0), RangeFlag::gauged);
    EXPECT_EQ(range_flag(c, 4.0), RangeFlag::gauged);
    EXPECT_EQ(range_flag(c, 0.999), RangeFlag::below); // less than a step outside
    EXPECT_EQ(range_flag(c, 4.0000001), RangeFlag::above);

    const Reach reach = table_reach(c, spec_of("0.01", 0.995, 6.0));
    EXPECT_NEAR(reach.below, 0.01, 1e-15);
    EXPECT_NEAR(reach.above, 2.0, 1e-15);
}

TEST(TableZeroFlow, ZeroBelowTheStageOfZeroFlowForPositiveExponents)
{
    Curve c = known_curve();
    c.coefficients[0] = -0.6; // Q^nu falls below 0 near the lowest stage
    const TableSpec spec = spec_of("0.05", 0.5, 1.5);
    std::string text;
    for (long long k = spec.first; k <= spec.last; k++)
        append_long_row(text, spec, table_row(c, spec, k, t_quantile_975(c.dof)));
    int zero_rows = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string> f = split(line);
        const double h = std::stod(f[0]);
        if (reference_value(c, h) <= 0.0) {
            EXPECT_EQ(f[1], "0") << line;
            EXPECT_EQ(f[2], "0") << line;
            zero_rows++;
        } else {
            EXPECT_GT(std::stod(f[1]), 0.0) << line;
        }
    }
    EXPECT_GE(zero_rows, 3);
}

TEST(TableZeroFlow, NoDischargeWhereQnuIsNotPositiveForNegativeExponents)
{
    // Q = y^(1/nu) falls with y for nu < 0: a curve of falling y.
    Curve c = known_curve(-0.5);
    c.coefficients = {2.0, 1.6, 1.1, 0.7, 0.4, -0.2};
    const TableSpec spec = spec_of("0.1", 1.0, 4.5);
    std::string text;
    for (long long k = spec.first; k <= spec.last; k++)
        append_long_row(text, spec, table_row(c, spec, k, t_quantile_975(c.dof)));
    std::istringstream lines(text);
    std::string line;
    int empty_rows = 0;
    while (std::getline(lines, line)) {
        const std::vector<std::string> f = split(line);
        const double h = std::stod(f[0]);
        const double y = reference_value(c, h);
        if (y <= 0.0) {
            EXPECT_EQ(f[1], "") << line;
            empty_rows++;
        } else {
            EXPECT_NEAR(std::stod(f[1]), std::pow(y, -2.0), 1e-9 * std::pow(y, -2.0)) << line;
            // The ends swap: the low end of the band comes from the higher y.
            if (!f[2].empty() && !f[3].empty()) {
                EXPECT_LE(std::stod(f[2]), std::stod(f[3])) << line;
            }
        }
    }
    EXPECT_GE(empty_rows, 2);
}

TEST(TableLayout, WideTableOfTenStepsByTenColumnsWithFootnote)
{
    const Curve c = known_curve();
    const Result<std::string> wide = wide_table_text(c, spec_of("0.01", 0.95, 4.12), t_quantile_975(c.dof), "m,m3/s");
    ASSERT_TRUE(wide.ok());
    const std::string &text = wide.value();
    EXPECT_NE(text.find("Rating table: G1 Test gauge\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Gauged range: stage 1 to 4 m\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Discharge in m3/s at stage in m"), std::string::npos) << text;
    EXPECT_NE(text.find("* extrapolated"), std::string::npos);

    std::istringstream lines(text);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string label;
        words >> label;
        if (label == "stage") {
            std::string head;
            std::vector<std::string> heads;
            while (words >> head)
                heads.push_back(head);
            EXPECT_EQ(heads, (std::vector<std::string>{"0.00", "0.01", "0.02", "0.03", "0.04", "0.05", "0.06", "0.07",
                                                       "0.08", "0.09"}));
            continue;
        }
        if (label.empty() || !std::isdigit(static_cast<unsigned char>(label[0])))
            continue;
        rows++;
        const double base = std::stod(label);
        std::vector<std::string> cells;
        std::string cell;
        while (words >> cell)
            cells.push_back(cell);
        if (base == 0.9) {
            // 0.90 .. 0.94 lie before the table's first stage 0.95.
            ASSERT_EQ(cells.size(), 5u) << line;
        } else if (base < 4.1) {
            ASSERT_EQ(cells.size(), 10u) << line;
        }
        const std::size_t offset = base == 0.9 ? 5 : 0;
        for (std::size_t j = 0; j < cells.size(); j++) {
            const double h = base + 0.01 * static_cast<double>(j + offset);
            const bool outside = h < 1.0 - 1e-9 || h > 4.0 + 1e-9;
            EXPECT_EQ(cells[j].back() == '*', outside) << line;
            EXPECT_EQ(cells[j].find_first_of("eE"), std::string::npos) << line;
            const double q = reference_band(c, h).q;
            EXPECT_NEAR(std::stod(cells[j]), q, 1e-4 * q) << line; // 5 significant digits
        }
    }
    EXPECT_EQ(rows, 33); // 0.9 .. 4.1
}

TEST(TableLayout, NumbersExactlyAsPercentTenG)
{
    const auto expect_g10 = [](double v) {
        char mine[40];
        char reference[40];
        const std::string got(mine, number_g10(mine, v));
        std::snprintf(reference, sizeof reference, "%.10g", v);
        ASSERT_EQ(got, reference) << "for " << v;
    };
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> exponent(-7.0, 13.0);
    for (int i = 0; i < 300000; i++) {
        const double v = std::pow(10.0, exponent(random));
        expect_g10(v);
        expect_g10(-v);
    }
    // Ties and near-ties, powers of ten and the ends of the fixed notation.
    for (const double v : {0.0,
                           1.0,
                           0.5,
                           12345678.125,
                           1234567812.5,
                           0.00012345678905,
                           9.9999999995,
                           9.99999999949999,
                           99999.999995,
                           1e-4,
                           9.99999999999e-5,
                           1e10,
                           9999999999.4,
                           9999999999.6,
                           1e9,
                           0.1,
                           0.3,
                           1.0 / 3.0,
                           2.0 / 3.0,
                           253.43577699840001,
                           1e-300,
                           1e300,
                           -2.5,
                           -0.0,
                           -1e-4,
                           -9.99999999999e-5,
                           -1e10,
                           -9999999999.4,
                           -0.00012345678905,
                           -12345678.125})
        expect_g10(v);
    char out[40];
    EXPECT_EQ(number_g10(out, std::nan("")), out);
    EXPECT_EQ(number_g10(out, HUGE_VAL), out);
}

TEST(TableValues, ConfidenceAsTheBandGivesIt)
{
    for (const double nu : {0.5, -0.5}) {
        const Curve c = known_curve(nu);
        const double t = t_quantile_975(c.dof);
        for (double h = -2.0; h < 8.0; h += 0.0137) {
            const BandRow band = curve_band(c, h, t);
            const ConfidenceRow conf = curve_confidence(c, h, t);
            const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
            EXPECT_TRUE(same(conf.discharge, band.discharge) && same(conf.conf_low, band.conf_low) &&
                        same(conf.conf_high, band.conf_high))
                << "nu " << nu << " stage " << h;
        }
    }
}

TEST(TableLayout, FixedNotationWithFiveSignificantDigits)
{
    EXPECT_EQ(fixed_significant(253.4357, 5), "253.44");
    EXPECT_EQ(fixed_significant(1234567.8, 5), "1234568");
    EXPECT_EQ(fixed_significant(0.000123456, 5), "0.00012346");
    EXPECT_EQ(fixed_significant(9.99996, 5), "10.000");
    EXPECT_EQ(fixed_significant(0.0, 5), "0");
    EXPECT_EQ(fixed_significant(1e-30, 5), "0.0000000000");
    EXPECT_EQ(fixed_significant(std::nan(""), 5), "-");
}

TEST(TableEquations, PiecesAsWrittenReproduceTheCurve)
{
    const Curve c = known_curve();
    const std::string text = equations_text(c);
    // Rows of h_k, h_k+1 and a0..a3, read back from the text.
    std::istringstream lines(text);
    std::string line;
    std::vector<std::vector<double>> pieces;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<double> v;
        double x;
        while (words >> x)
            v.push_back(x);
        if (v.size() == 6 && words.eof())
            pieces.push_back(v);
    }
    ASSERT_EQ(pieces.size(), 3u) << text;
    EXPECT_EQ(pieces[0][0], 1.0);
    EXPECT_EQ(pieces[2][1], 4.0);
    for (const std::vector<double> &p : pieces) {
        for (int i = 0; i <= 20; i++) {
            const double h = p[0] + (p[1] - p[0]) * i / 20.0;
            const double x = h - p[0];
            const double value = p[2] + x * (p[3] + x * (p[4] + x * p[5]));
            EXPECT_NEAR(value, reference_value(c, h), 1e-13 * 7.2) << h;
        }
    }
    // The end tangents as written.
    EXPECT_NE(text.find("Above 4, the end tangent: Q^nu = 7.2000000000000002 + "), std::string::npos) << text;
    EXPECT_NE(text.find("Below 1, the end tangent: Q^nu = 0.90000000000000002 + "), std::string::npos) << text;
}

// The command as a user runs it.
class TableCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        write_file(dir_ + "/g.curve.json", curve_file_text(known_curve(), FitSettings()));
    }
    void TearDown() override { remove_temp_dir(dir_); }
    std::string dir_;
};

TEST_F(TableCommand, LongTableOnStandardOutputNoticesOnTheErrorStream)
{
    const RunResult r = run_rating(dir_, "table g.curve.json --step 0.010 --to 5");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), kLongHeader);
    EXPECT_NE(r.out.find("\n1.000,"), std::string::npos);
    EXPECT_NE(r.out.find("\n5.000,"), std::string::npos);
    EXPECT_EQ(r.out.find("\n5.010,"), std::string::npos);
    EXPECT_NE(r.err.find("1 above it (33.3 % of the range)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bands hold only as far as the tangent does"), std::string::npos) << r.err;
}

TEST_F(TableCommand, OutFileEquationsAndWideLayout)
{
    RunResult r = run_rating(dir_, "table g.curve.json --layout wide --units m,m3/s --out wide.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Table of 301 stages written to wide.txt"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir_ + "/wide.txt"),
              wide_table_text(known_curve(), spec_of("0.01", 1.0, 4.0), t_quantile_975(40), "m,m3/s").value());
    r = run_rating(dir_, "table g.curve.json --equations");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, equations_text(known_curve()));
}

TEST_F(TableCommand, WrongOptionsGiveUsageBadCurveFilesExitOne)
{
    for (const char *options :
         {"table g.curve.json --step 0", "table g.curve.json --step abc", "table g.curve.json --layout tall",
          "table g.curve.json --bogus", "table", "table g.curve.json --from 3 --to 2", "table g.curve.json --units m",
          "table g.curve.json --step 0.0001 --to 5000"}) {
        const RunResult r = run_rating(dir_, options);
        EXPECT_EQ(r.status, 2) << options << "\n" << r.err;
        EXPECT_NE(r.err.find("rating table"), std::string::npos) << options;
        EXPECT_EQ(r.out, "") << options;
    }
    write_file(dir_ + "/bad.json", "{\"format\": \"rating-curve\", \"version\": 1}\n");
    const RunResult r = run_rating(dir_, "table bad.json --out t.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error in file bad.json: the key \"nu\" is missing"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir_ + "/t.csv"));
}
