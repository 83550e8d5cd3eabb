// The fit report: its bands hold what they promise, its standard error
// measures the noise, every figure of a small case agrees with an independent
// computation, and the run writes it without changing its other files.
#include "LeastSquares.h"
#include "Report.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Knots by equal counts of the ascending stages, as the run places them.
std::vector<double> equal_count_knots(const std::vector<double> &h, int J)
{
    const int n = static_cast<int>(h.size());
    std::vector<double> knots{h.front()};
    for (int q = 1; q < J; q++) {
        const int iz = static_cast<int>(std::round(q * static_cast<double>(n) / J));
        knots.push_back((h[iz - 1] + h[iz]) * 0.5);
    }
    knots.push_back(h.back());
    return knots;
}

std::vector<int> intervals_of(const std::vector<double> &h, const std::vector<double> &knots)
{
    std::vector<int> in;
    for (const double s : h) {
        int j = 1;
        while (j + 1 < static_cast<int>(knots.size()) && s >= knots[static_cast<std::size_t>(j)])
            j++;
        in.push_back(j);
    }
    return in;
}

// A rating Q = 12 (h - 0.25)^1.6.
double rating(double h)
{
    return 12.0 * std::pow(h - 0.25, 1.6);
}

double discharge_half(double y)
{
    return std::pow(y < 0.0 ? 1e-10 : y, 2.0);
}

} // namespace

// 500 data sets of 40 gaugings around a known curve of the model (3 intervals
// of cubics in Q^0.5, normal noise in Q^0.5): at each of five stages the 95 %
// confidence band holds the true curve, and the prediction band a fresh
// gauging, in 93 to 97 % of the sets. (The bounds are two standard errors of
// a proportion of 500 sets; with 20000 sets the rates lie within 0.944 to
// 0.953 for every seed tried.)
TEST(ReportBands, CoverageBySimulation)
{
    std::vector<double> h;
    for (int i = 0; i < 40; i++)
        h.push_back(0.4 + 3.0 * (i + 0.5) / 40.0 + 0.02 * std::sin(7.0 * i));
    std::sort(h.begin(), h.end());
    const std::vector<double> knots = equal_count_knots(h, 3);

    // The true curve: the model's curve closest to the rating, from many
    // noiseless points.
    std::vector<double> dense_h, dense_y;
    for (int i = 0; i <= 400; i++) {
        dense_h.push_back(h.front() + (h.back() - h.front()) * i / 400.0);
        dense_y.push_back(std::sqrt(rating(dense_h.back())));
    }
    SplineFit truth;
    fit_spline(dense_h.data(), dense_y.data(), 401, knots.data(), 3, 3, truth);
    std::vector<double> true_y;
    for (const double s : h)
        true_y.push_back(spline_value(truth, s));

    const double sigma = 0.1;
    const double stages[5] = {h.front(), 0.9, 1.7, 2.6, h.back()};
    std::mt19937_64 gen(2);
    std::normal_distribution<double> noise(0.0, sigma);
    int conf_hits[5] = {}, pred_hits[5] = {};
    const int sets = 500;
    SplineFit fit;
    std::vector<double> y(h.size());
    for (int set = 0; set < sets; set++) {
        for (std::size_t i = 0; i < h.size(); i++)
            y[i] = true_y[i] + noise(gen);
        fit_spline(h.data(), y.data(), 40, knots.data(), 3, 3, fit);
        ASSERT_TRUE(fit.determined);
        const int dof = 40 - fit.unknowns;
        const double s = std::sqrt(fit.sse / dof);
        const double t = t_quantile_975(dof);
        for (int k = 0; k < 5; k++) {
            double conf, pred;
            band_half_widths(fit, s, t, stages[k], conf, pred);
            const double centre = spline_value(fit, stages[k]);
            const double truth_here = spline_value(truth, stages[k]);
            conf_hits[k] += std::fabs(centre - truth_here) <= conf;
            pred_hits[k] += std::fabs(truth_here + noise(gen) - centre) <= pred;
        }
    }
    for (int k = 0; k < 5; k++) {
        SCOPED_TRACE("stage " + std::to_string(stages[k]));
        EXPECT_GE(conf_hits[k], 0.93 * sets);
        EXPECT_LE(conf_hits[k], 0.97 * sets);
        EXPECT_GE(pred_hits[k], 0.93 * sets);
        EXPECT_LE(pred_hits[k], 0.97 * sets);
    }
}

// 200 gauges of 40 gaugings with 5 % lognormal noise: the median standard
// error is 5 % give or take half a per cent.
TEST(ReportFigures, StandardErrorMeasuresTheNoise)
{
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> anywhere(0.4, 3.4);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<double> errors;
    SplineFit fit;
    for (int gauge = 0; gauge < 200; gauge++) {
        ReportInput in;
        for (int i = 0; i < 40; i++)
            in.h.push_back(anywhere(gen));
        std::sort(in.h.begin(), in.h.end());
        for (const double s : in.h) {
            in.Q.push_back(rating(s) * std::exp(noise(gen)));
            in.Qnu.push_back(std::sqrt(in.Q.back()));
            in.lines.push_back(static_cast<LineNumber>(in.lines.size()) + 2);
        }
        in.knots = equal_count_knots(in.h, 3);
        in.interval = intervals_of(in.h, in.knots);
        fit_spline(in.h.data(), in.Qnu.data(), 40, in.knots.data(), 3, 3, fit);
        in.nu = 0.5;
        in.degree = 3;
        in.exact_solver = true;
        in.least_squares = &fit;
        in.curve = [&fit](double s) { return spline_value(fit, s); };
        in.discharge = discharge_half;
        errors.push_back(figure_fit(in).standard_error_pct);
    }
    std::nth_element(errors.begin(), errors.begin() + 100, errors.end());
    EXPECT_GT(errors[100], 4.5);
    EXPECT_LT(errors[100], 5.5);
}

// Seven gaugings fitted with one straight line in Q^0.5: every figure
// computed again here, with a dense solve and the textbook formulas.
TEST(ReportFigures, SmallCaseAgreesWithAnIndependentComputation)
{
    ReportInput in;
    in.h = {1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0};
    in.Q = {4.4, 8.7, 16.8, 24.0, 37.5, 47.9, 66.0};
    for (std::size_t i = 0; i < in.h.size(); i++) {
        in.Qnu.push_back(std::sqrt(in.Q[i]));
        in.lines.push_back(static_cast<LineNumber>(i) + 2);
    }
    in.knots = {1.0, 4.0};
    in.interval.assign(7, 1);
    SplineFit fit;
    fit_spline(in.h.data(), in.Qnu.data(), 7, in.knots.data(), 1, 1, fit);
    in.nu = 0.5;
    in.degree = 1;
    in.exact_solver = true;
    in.least_squares = &fit;
    in.curve = [&fit](double s) { return spline_value(fit, s); };
    in.discharge = discharge_half;
    const FitFigures f = figure_fit(in);

    Eigen::MatrixXd X(7, 2);
    Eigen::VectorXd y(7);
    for (int i = 0; i < 7; i++) {
        X(i, 0) = 1.0;
        X(i, 1) = in.h[static_cast<std::size_t>(i)];
        y(i) = in.Qnu[static_cast<std::size_t>(i)];
    }
    const Eigen::Matrix2d inverse = (X.transpose() * X).inverse();
    const Eigen::Vector2d beta = inverse * X.transpose() * y;
    const Eigen::VectorXd fitted = X * beta;
    const double sse = (y - fitted).squaredNorm();
    EXPECT_EQ(f.n, 7);
    EXPECT_EQ(f.p, 2);
    EXPECT_NEAR(f.sse_nu, sse, 1e-9 * sse);
    double log_sum = 0.0, q_sum = 0.0, dev_sum = 0.0, dev_max = 0.0;
    int plus = 0, minus = 0, runs = 0, last = 0;
    for (int i = 0; i < 7; i++) {
        const double q_fit = fitted(i) * fitted(i);
        const double q = in.Q[static_cast<std::size_t>(i)];
        const GaugingFigures &g = f.gaugings[static_cast<std::size_t>(i)];
        EXPECT_NEAR(g.Q_fit, q_fit, 1e-9 * q_fit);
        EXPECT_NEAR(g.residual_nu, y(i) - fitted(i), 1e-9);
        EXPECT_NEAR(g.deviation_pct, 100.0 * (q - q_fit) / q_fit, 1e-9);
        log_sum += std::pow(std::log(q / q_fit), 2);
        q_sum += (q - q_fit) * (q - q_fit);
        dev_sum += 100.0 * (q - q_fit) / q_fit;
        dev_max = std::max(dev_max, std::fabs(100.0 * (q - q_fit) / q_fit));
        const int sign = q > q_fit ? 1 : -1;
        plus += sign > 0;
        minus += sign < 0;
        runs += sign != last;
        last = sign;
    }
    EXPECT_NEAR(f.standard_error_pct, 100.0 * std::sqrt(log_sum / 5.0), 1e-9);
    EXPECT_NEAR(f.rmse_q, std::sqrt(q_sum / 7.0), 1e-9);
    EXPECT_NEAR(f.mean_deviation_pct, dev_sum / 7.0, 1e-9);
    EXPECT_NEAR(f.max_abs_deviation_pct, dev_max, 1e-9);
    EXPECT_EQ(f.sign_plus, plus);
    EXPECT_EQ(f.sign_minus, minus);
    EXPECT_EQ(f.runs, runs);
    // The sign test: twice the chance of at most min(plus, minus) of 7 fair signs.
    const int k = std::min(plus, minus);
    double tail = 0.0;
    for (int i = 0; i <= k; i++)
        tail += std::tgamma(8.0) / (std::tgamma(i + 1.0) * std::tgamma(8.0 - i)) / 128.0;
    EXPECT_NEAR(f.sign_test_p, std::min(1.0, 2.0 * tail), 1e-9);
    // The runs test in its normal approximation.
    const double n1 = plus, n2 = minus, n = 7.0;
    const double mu = 2.0 * n1 * n2 / n + 1.0;
    const double var = 2.0 * n1 * n2 * (2.0 * n1 * n2 - n) / (n * n * (n - 1.0));
    EXPECT_NEAR(f.runs_test_p, std::erfc(std::fabs(runs - mu) / std::sqrt(var) / std::sqrt(2.0)), 1e-9);
    // The bands, with the t quantile of the tables (0.975, 5 degrees of freedom).
    ASSERT_TRUE(f.band);
    EXPECT_NEAR(f.t_quantile, 2.570581835636314, 1e-9);
    EXPECT_NEAR(f.s_nu, std::sqrt(sse / 5.0), 1e-9);
    for (const double s : {1.0, 2.2, 3.7, 4.5}) {
        const Eigen::Vector2d x0(1.0, s);
        const double leverage = x0.dot(inverse * x0);
        double conf, pred;
        band_half_widths(fit, f.s_nu, f.t_quantile, s, conf, pred);
        EXPECT_NEAR(conf, 2.570581835636314 * std::sqrt(sse / 5.0 * leverage), 1e-9);
        EXPECT_NEAR(pred, 2.570581835636314 * std::sqrt(sse / 5.0 * (1.0 + leverage)), 1e-9);
    }
}

namespace {

const char *const kReportFiles[] = {"site1.gaugings.csv", "site1.band.csv", "site1.summary.json",
                                    "site1.report.txt"};

std::string example()
{
    return read_file(RATING_SOURCE_DIR "/examples/gauge/11372000.dat");
}

} // namespace

// The report adds its files and changes no byte of the others.
TEST(ReportRun, OtherFilesAreTheSameWithAndWithoutIt)
{
    for (const char *solver : {"", "--solver exact"}) {
        SCOPED_TRACE(solver);
        const Gauge plain = make_gauge("Settings\n0.5\n3\n3\n100\n1\n", example());
        const Gauge reported = make_gauge("Settings\n0.5\n3\n3\n100\n1\n", example());
        const RunResult a = run_rating(plain.dir, solver);
        const RunResult b = run_rating(reported.dir, std::string(solver) + " --report");
        ASSERT_EQ(a.status, 0);
        ASSERT_EQ(b.status, 0) << b.out;
        EXPECT_EQ(plain.res(), reported.res());
        EXPECT_EQ(plain.plt(), reported.plt());
        EXPECT_EQ(read_file(plain.path("Source.plt")), read_file(reported.path("Source.plt")));
        EXPECT_EQ(a.out.substr(0, a.out.find("CPU")), b.out.substr(0, b.out.find("CPU")));
        for (const char *name : kReportFiles) {
            EXPECT_FALSE(file_exists(plain.path(std::string("gauges/") + name))) << name;
            EXPECT_TRUE(file_exists(reported.path(std::string("gauges/") + name))) << name;
        }
        // One band row for each row of the table, at its stages.
        const std::string band = read_file(reported.path("gauges/site1.band.csv"));
        EXPECT_EQ(std::count(band.begin(), band.end(), '\n'), 102);
        EXPECT_EQ(band.substr(0, band.find('\n')), "h,Q,conf_low,conf_high,pred_low,pred_high");
        const std::string gaugings = read_file(reported.path("gauges/site1.gaugings.csv"));
        EXPECT_EQ(std::count(gaugings.begin(), gaugings.end(), '\n'), 127);
    }
}

// Awkward gaugings still give a complete report that says what is wrong.
TEST(ReportRun, AwkwardGaugingsAreReportedPlainly)
{
    struct Case {
        const char *what;
        std::string settings, data, knots;
        bool band;
        std::vector<std::string> says;  // in the report text
    };
    const std::vector<Case> cases = {
        {"a gauging of no discharge", "Settings\n0.5\n1\n1\n20\n1\n", "# Dry\n1 0\n2 4.1\n3 8.8\n4 16.5\n5 24\n",
         "", true, {"left out of Se            1", "1 gauging(s) with no positive discharge"}},
        {"as many coefficients as gaugings", "Settings\n0.5\n2\n3\n20\n1\n", "# Five\n1 1\n2 4\n3 9\n4 16\n5 25\n",
         "", false, {"95 % bands   none: 5 gaugings for 5 coefficients", "Too few gaugings: 5 for 5"}},
        {"intervals without gaugings", "Settings\n0.5\n3\n1\n20\n1\n",
         "# Gap\n1.0 1\n1.1 1.3\n1.2 1.6\n1.3 2.0\n1.4 2.3\n4.6 30\n4.7 31\n4.8 33\n4.9 34\n5.0 36\n",
         "Knots\n-1\n2\n2.5 3 3.5 4\n", false,
         {"95 % bands   none: the gaugings do not determine the curve at stages 2 to 4"}},
        {"a falling curve", "Settings\n0.5\n1\n3\n40\n1\n", "# Dip\n1 10\n1.5 30\n2 12\n2.5 11\n3 40\n3.5 60\n",
         "", true, {"The discharge falls as the stage rises at stages"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Gauge g = make_gauge(c.settings, c.data);
        if (!c.knots.empty())
            write_file(g.path("gauges/site1.knots"), c.knots);
        const RunResult r = run_rating(g.dir, "--report");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(file_exists(g.path("gauges/site1.band.csv")), c.band);
        const std::string text = read_file(g.path("gauges/site1.report.txt"));
        for (const std::string &s : c.says)
            EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
        const std::string json = read_file(g.path("gauges/site1.summary.json"));
        EXPECT_NE(json.find(c.band ? "\"band\": true" : "\"band\": false"), std::string::npos) << json;
    }
}

// With a negative nu the discharge falls as Q^nu rises: the ends of each band
// change places, so that every row reads low <= Q <= high all the same.
TEST(ReportRun, BandsOfANegativeExponentStayInOrder)
{
    const Gauge g = make_gauge("Settings\n-0.5\n3\n3\n40\n1\n", example());
    ASSERT_EQ(run_rating(g.dir, "--report").status, 0);
    std::istringstream rows(read_file(g.path("gauges/site1.band.csv")));
    std::string row;
    std::getline(rows, row);
    int checked = 0;
    while (std::getline(rows, row)) {
        double v[6];
        ASSERT_EQ(std::sscanf(row.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 6)
            << row;
        EXPECT_LE(v[4], v[2]) << row;
        EXPECT_LE(v[2], v[1]) << row;
        EXPECT_LE(v[1], v[3]) << row;
        EXPECT_LE(v[3], v[5]) << row;
        checked++;
    }
    EXPECT_EQ(checked, 41);
}
