// The fit report: its bands hold what they promise, its standard error
// measures the noise, every figure of a small case agrees with an independent
// computation, and the run writes it without changing its other files.
#include "LeastSquares.h"
#include "Report.h"
#include "ResultFile.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
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
double true_rating(double h)
{
    return 12.0 * std::pow(h - 0.25, 1.6);
}

double discharge_half(double y)
{
    return std::pow(y < 0.0 ? 1e-10 : y, 2.0);
}

// The values the report is made of, for the curve given as a function of the
// stage and the least-squares fit: the curve at each gauging and at the row
// stages, and, when a minimiser's curve is given, both curves' discharges.
void set_curve(ReportInput &in, const SplineFit &fit, const std::function<double(double)> &curve,
               const std::function<double(double)> &discharge, const std::vector<double> &row_stages = {},
               const std::function<double(double)> &minimiser = {})
{
    in.fitted.clear();
    in.fitted_discharge.clear();
    for (const double s : in.h) {
        in.fitted.push_back(curve(s));
        in.fitted_discharge.push_back(discharge(in.fitted.back()));
    }
    in.p = fit.unknowns;
    in.sse_optimum = fit.sse;
    in.determined = fit.determined;
    in.undetermined = fit.undetermined;
    in.rows.clear();
    for (const double s : row_stages) {
        ReportRow row;
        row.stage = s;
        row.value = curve(s);
        row.leverage = spline_leverage(fit, s);
        if (minimiser) {
            row.best_discharge = discharge(spline_value(fit, s));
            row.minimiser_discharge = discharge(minimiser(s));
        }
        in.rows.push_back(row);
    }
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
        dense_y.push_back(std::sqrt(true_rating(dense_h.back())));
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
            band_half_widths(spline_leverage(fit, stages[k]), s, t, conf, pred);
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
            in.Q.push_back(true_rating(s) * std::exp(noise(gen)));
            in.Qnu.push_back(std::sqrt(in.Q.back()));
            in.lines.push_back(static_cast<LineNumber>(in.lines.size()) + 2);
        }
        in.knots = equal_count_knots(in.h, 3);
        in.interval = intervals_of(in.h, in.knots);
        fit_spline(in.h.data(), in.Qnu.data(), 40, in.knots.data(), 3, 3, fit);
        in.nu = 0.5;
        in.degree = 3;
        in.exact_solver = true;
        set_curve(in, fit, [&fit](double s) { return spline_value(fit, s); }, discharge_half);
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
    set_curve(in, fit, [&fit](double s) { return spline_value(fit, s); }, discharge_half);
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
    // The runs test for too few runs in its normal approximation: the lower tail.
    const double n1 = plus, n2 = minus, n = 7.0;
    const double mu = 2.0 * n1 * n2 / n + 1.0;
    const double var = 2.0 * n1 * n2 * (2.0 * n1 * n2 - n) / (n * n * (n - 1.0));
    EXPECT_NEAR(f.runs_expected, mu, 1e-12);
    EXPECT_NEAR(f.runs_test_p, 0.5 * std::erfc(-(runs - mu) / std::sqrt(var) / std::sqrt(2.0)), 1e-9);
    EXPECT_FALSE(f.passes_through);
    // The bands, with the t quantile of the tables (0.975, 5 degrees of freedom).
    ASSERT_TRUE(f.band);
    EXPECT_NEAR(f.t_quantile, 2.570581835636314, 1e-9);
    EXPECT_NEAR(f.s_nu, std::sqrt(sse / 5.0), 1e-9);
    for (const double s : {1.0, 2.2, 3.7, 4.5}) {
        const Eigen::Vector2d x0(1.0, s);
        const double leverage = x0.dot(inverse * x0);
        double conf, pred;
        band_half_widths(spline_leverage(fit, s), f.s_nu, f.t_quantile, conf, pred);
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
        // One band row for each row of the table, at its stages, after the
        // line that names the table by its digest.
        const std::string digest = "# results sha256 " + sha256_hex(reported.res()) + "\n";
        const std::string band = read_file(reported.path("gauges/site1.band.csv"));
        EXPECT_EQ(std::count(band.begin(), band.end(), '\n'), 103);
        EXPECT_EQ(band.substr(0, band.find('\n', digest.size())),
                  digest + "h,Q,conf_low,conf_high,pred_low,pred_high");
        const std::string gaugings = read_file(reported.path("gauges/site1.gaugings.csv"));
        EXPECT_EQ(std::count(gaugings.begin(), gaugings.end(), '\n'), 128);
        EXPECT_EQ(gaugings.substr(0, digest.size()), digest);
        EXPECT_NE(read_file(reported.path("gauges/site1.summary.json"))
                      .find("\"results_sha256\": \"" + sha256_hex(reported.res()) + "\""),
                  std::string::npos);
        EXPECT_NE(read_file(reported.path("gauges/site1.report.txt")).find("SHA-256 " + sha256_hex(reported.res())),
                  std::string::npos);
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

namespace {

// The figures and the texts of a report on gaugings fitted exactly by J
// intervals of degree M, discharges by the table's rule for nu (1 or 0.5).
struct Case {
    SplineFit fit;
    ReportInput in;

    Case(std::vector<double> h, std::vector<double> Q, double nu, int J, int M, std::vector<LineNumber> lines = {})
    {
        in.h = std::move(h);
        in.Q = std::move(Q);
        in.lines = std::move(lines);
        for (std::size_t i = 0; i < in.h.size(); i++) {
            in.Qnu.push_back(std::pow(in.Q[i], nu));
            if (in.lines.size() < in.h.size())
                in.lines.push_back(static_cast<LineNumber>(i) + 2);
        }
        std::vector<double> sorted_h = in.h;
        std::sort(sorted_h.begin(), sorted_h.end());
        in.knots = equal_count_knots(sorted_h, J);
        in.interval = intervals_of(in.h, in.knots);
        fit_spline(in.h.data(), in.Qnu.data(), static_cast<int>(in.h.size()), in.knots.data(), J, M, fit);
        in.nu = nu;
        in.degree = M;
        in.exact_solver = true;
        discharge = nu == 1.0 ? [](double y) { return y < 0.0 ? 1e-10 : y; } : discharge_half;
        use_curve([this](double s) { return spline_value(fit, s); });
    }
    std::function<double(double)> discharge;

    // The written curve, at the gaugings and at the rows at `row_stages`.
    void use_curve(const std::function<double(double)> &curve, const std::vector<double> &row_stages = {},
                   const std::function<double(double)> &minimiser = {})
    {
        set_curve(in, fit, curve, discharge, row_stages, minimiser);
    }
    Case(const Case &) = delete;

    // The file a writer makes of the figures.
    static std::string written(void (*writer)(std::FILE *, const ReportInput &, const FitFigures &),
                               const ReportInput &in, const FitFigures &f)
    {
        std::FILE *out = std::tmpfile();
        writer(out, in, f);
        std::rewind(out);
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            text.append(buffer, n);
        std::fclose(out);
        return text;
    }
};

const std::vector<double> kStages = {1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 4.5};

} // namespace

// Equal discharges, or gaugings exactly on a curve of the model: the
// deviations are rounding noise, so the report runs no tests on them, marks no
// outliers and compares no sums of squares, and says why; noise of a
// thousandth is no rounding.
TEST(ReportFigures, RoundingNoiseIsNotTested)
{
    Case equal(kStages, std::vector<double>(8, 5.0), 0.5, 3, 3);
    equal.in.exact_solver = false;
    equal.in.minimiser_sse = 3.2e-18;  // the minimiser's, as on such data
    std::vector<double> rows;
    for (int i = 0; i <= 10; i++)
        rows.push_back(1.0 + 0.35 * i);
    const auto equal_curve = [&equal](double s) { return spline_value(equal.fit, s); };
    equal.use_curve(equal_curve, rows, equal_curve);
    std::vector<double> on_line;
    for (const double s : kStages)
        on_line.push_back((1.0 + 2.0 * s) * (1.0 + 2.0 * s));
    Case exact(kStages, on_line, 0.5, 1, 1);
    std::vector<double> noisy = on_line;
    for (std::size_t i = 0; i < noisy.size(); i++)
        noisy[i] *= i % 3 == 0 ? 1.001 : 0.9995;
    Case rough(kStages, noisy, 0.5, 1, 1);

    for (Case *c : {&equal, &exact}) {
        const FitFigures f = figure_fit(c->in);
        EXPECT_TRUE(f.passes_through);
        EXPECT_TRUE(std::isnan(f.sign_test_p));
        EXPECT_TRUE(std::isnan(f.runs_test_p));
        EXPECT_TRUE(std::isnan(f.minimiser_excess));
        EXPECT_EQ(f.outliers, 0);
        const std::string text = Case::written(write_report_text, c->in, f);
        EXPECT_NE(text.find("the curve passes through the gaugings"), std::string::npos) << text;
        EXPECT_EQ(text.find("e+"), std::string::npos) << text;
        const std::string json = Case::written(write_summary_json, c->in, f);
        for (const char *key : {"\"passes_through\": true", "\"sign_test_p\": null", "\"runs\": null",
                                "\"runs_test_p\": null", "\"minimiser_excess\": null"})
            EXPECT_NE(json.find(key), std::string::npos) << key << "\n" << json;
    }
    const FitFigures f = figure_fit(rough.in);
    EXPECT_FALSE(f.passes_through);
    EXPECT_TRUE(std::isfinite(f.sign_test_p));
    EXPECT_TRUE(std::isfinite(f.runs_test_p));
}

// A figure that is not a number is written "nan" in the CSV files, never
// "-nan"; discharges of 1e300 with nu 1 overflow the sum of squares, and the
// report gives no band and says why.
TEST(ReportFigures, FiguresThatAreNotNumbers)
{
    Case dry(kStages, std::vector<double>(8, 0.0), 0.5, 1, 1);
    const std::string csv = Case::written(write_gaugings_csv, dry.in, figure_fit(dry.in));
    EXPECT_NE(csv.find(",nan,"), std::string::npos) << csv;
    EXPECT_EQ(csv.find("-nan"), std::string::npos) << csv;

    Case huge(kStages, {1e300, 5e300, 2e300, 9e300, 1e300, 7e300, 3e300, 8e300}, 1.0, 1, 1);
    huge.use_curve([&huge](double s) { return spline_value(huge.fit, s); }, {1.0, 1.875, 2.75, 3.625, 4.5});
    const FitFigures f = figure_fit(huge.in);
    EXPECT_FALSE(f.band);
    EXPECT_NE(f.no_band_reason.find("is not a finite number"), std::string::npos) << f.no_band_reason;
    const std::string text = Case::written(write_report_text, huge.in, f);
    EXPECT_NE(text.find("95 % bands   none: " + f.no_band_reason), std::string::npos) << text;
}

// The runs test looks for too few runs: signs that alternate are no sign of
// a missed bend (the two-sided test read them as one), blocks of them are.
// Gaugings at one stage count in the order of their lines, whatever the
// order they come in.
TEST(ReportFigures, RunsTestCountsTooFewRunsAndTakesEqualStagesByLine)
{
    std::vector<double> h;
    std::vector<double> alternating;
    std::vector<double> blocks;
    for (int i = 0; i < 20; i++) {
        h.push_back(1.0 + i);
        alternating.push_back(1.0 + i + (i % 2 == 0 ? 0.1 : -0.1));
        blocks.push_back(1.0 + i + (i / 5 % 2 == 0 ? 0.1 : -0.1));
    }
    Case many(h, alternating, 1.0, 1, 1);
    Case few(h, blocks, 1.0, 1, 1);
    for (Case *c : {&many, &few})
        c->use_curve([](double s) { return s; });
    const FitFigures a = figure_fit(many.in);
    const FitFigures b = figure_fit(few.in);
    EXPECT_EQ(a.runs, 20);
    EXPECT_GT(a.runs_test_p, 0.99);
    EXPECT_EQ(b.runs, 4);
    EXPECT_LT(b.runs_test_p, 0.01);
    EXPECT_NEAR(a.runs_expected, 11.0, 1e-12);
    EXPECT_NE(Case::written(write_report_text, many.in, a).find("20 runs of equal signs in stage order, more than the 11 expected"),
              std::string::npos);
    EXPECT_NE(Case::written(write_report_text, few.in, b).find("4 runs of equal signs in stage order, fewer than the 11 expected"),
              std::string::npos);

    // Stages 1, 2, 2, 3: at stage 2 the gauging of line 3 lies above the
    // curve and that of line 5 below it, so by line the signs read + + - -
    // (2 runs; + - + - would be 4), whichever comes first here.
    for (const bool swapped : {false, true}) {
        const std::vector<double> Q = swapped ? std::vector<double>{1.1, 1.9, 2.1, 2.9}
                                              : std::vector<double>{1.1, 2.1, 1.9, 2.9};
        const std::vector<LineNumber> lines = swapped ? std::vector<LineNumber>{2, 5, 3, 4}
                                                      : std::vector<LineNumber>{2, 3, 5, 4};
        Case ties({1.0, 2.0, 2.0, 3.0}, Q, 1.0, 1, 1, lines);
        ties.use_curve([](double s) { return s; });
        const FitFigures f = figure_fit(ties.in);
        EXPECT_EQ(f.runs, 2) << swapped;
        EXPECT_EQ(f.gaugings[1].line, 3);
        EXPECT_EQ(f.gaugings[2].line, 5);
    }
}

TEST(ReportText, StagesNamesAndFieldsKeepWhatTheyHold)
{
    // Five digits where they reach 1e-3 of the range, more where not.
    EXPECT_EQ(stage_digits(1.2345, 5, 0.002), 5);
    EXPECT_EQ(stage_digits(1000.7498, 5, 0.0025), 6);
    EXPECT_EQ(stage_digits(10000.7748, 5, 0.0025), 8);
    EXPECT_EQ(stage_digits(10000.25, 3, 0.0), 7);
    EXPECT_EQ(stage_digits(0.1, 3, 0.0), 3);
    EXPECT_EQ(stage_digits(0.1 + 0.2, 5, 0.0), 17);

    bool replaced = true;
    EXPECT_EQ(valid_utf8("Rh\xc3\xb4ne", replaced), "Rh\xc3\xb4ne");
    EXPECT_FALSE(replaced);
    EXPECT_EQ(valid_utf8("Rh\xf4ne", replaced), "Rh\xef\xbf\xbdne");
    EXPECT_TRUE(replaced);
    // Overlong forms, surrogates, beyond U+10FFFF and a cut sequence.
    for (const std::string bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
        const std::string out = valid_utf8(bad, replaced);
        EXPECT_TRUE(replaced);
        EXPECT_EQ(out.find_first_not_of("\xef\xbf\xbd"), std::string::npos);
    }
    EXPECT_EQ(valid_utf8("\xf0\x9f\x8c\x8a \xe2\x82\xac", replaced), "\xf0\x9f\x8c\x8a \xe2\x82\xac");
    EXPECT_FALSE(replaced);

    EXPECT_EQ(csv_field("Clear Creek"), "Clear Creek");
    EXPECT_EQ(csv_field("Rh\xf4ne"), "Rh\xf4ne");
    EXPECT_EQ(csv_field("Creek, \"upper\""), "\"Creek, \"\"upper\"\"\"");
    EXPECT_EQ(csv_field("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(csv_field(" padded"), "\" padded\"");
}
