// `rating fit` and the library fit under it: the curve of the 60 real gauges
// against the exact solver of the run without arguments, inactive gaugings,
// the weights, and the command's files, names, refusals and usage.
#include "Driver.h"
#include "Fit.h"
#include "GaugingFile.h"
#include "LeastSquares.h"
#include "Model.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string kUsgs = RATING_SOURCE_DIR "/tests/data/usgs-field-measurements.csv";

rating::FitSettings fixed_settings(int intervals)
{
    rating::FitSettings s;
    s.nu = 0.5;
    s.degree = 3;
    s.intervals = intervals;
    s.intervals_auto = false;
    s.weights = rating::WeightMode::none;
    s.increasing = false;
    return s;
}

// The data file of the run without arguments for a station's gaugings, the
// numbers as written in the CSV (17 significant digits of the values read).
std::string dat_of(const rating::Station &s)
{
    std::string text = "# " + s.id + "\n";
    char line[96];
    for (const rating::Gauging &g : s.gaugings) {
        std::snprintf(line, sizeof line, "%.17g %.17g\n", g.stage, g.discharge);
        text += line;
    }
    return text;
}

class SixtyGauges : public ScratchFolderTest {};

// The fit of `rating fit --site ID --intervals 3 --weights none
// --allow-decreasing` is the least-squares curve of `rating --solver exact`.
TEST_F(SixtyGauges, FitEqualsTheExactSolverOfTheRun)
{
    rating::ReadOptions read;
    const auto file = rating::read_gauging_file(kUsgs, read);
    ASSERT_TRUE(file.ok()) << rating::error_text(file.error());
    ASSERT_EQ(file.value().stations.size(), 60u);
    write_file("Control.dat", "g s\n");
    write_file("Settings.dat", "Fit\n0.5 nu\n3 Jdefault\n3 M\n100 Nout\n1 Spacing\n");
    double worst = 0.0;
    for (const rating::Station &station : file.value().stations) {
        write_file("g/s.dat", dat_of(station));
        release_model();
        for (const auto &step : {read_control, read_settings, read_observations, place_knots, transform_discharges}) {
            const rating::Status done = step();
            ASSERT_TRUE(done.ok()) << rating::error_text(done.error());
        }
        solve_least_squares();
        const SplineFit &exact = least_squares_fit();
        ASSERT_TRUE(exact.determined) << station.id;

        const auto fit = rating::fit_station(station, fixed_settings(3));
        ASSERT_TRUE(fit.ok()) << station.id << rating::error_text(fit.error());
        const rating::Curve &c = fit.value().curve;
        const double low = *std::min_element(&Qnu[1], &Qnu[N + 1]);
        const double high = *std::max_element(&Qnu[1], &Qnu[N + 1]);
        for (int k = 0; k <= 400; k++) {
            const double stage = hmin + hrange * k / 400.0;
            const double gap = std::fabs(rating::curve_value(c, stage) - spline_value(exact, stage)) / (high - low);
            worst = std::max(worst, gap);
            ASSERT_LE(gap, 1e-12) << station.id << " at stage " << stage;
        }
        EXPECT_EQ(c.n, N);
        EXPECT_EQ(c.p, exact.unknowns);
        EXPECT_EQ(c.dof, N - exact.unknowns);
        EXPECT_NEAR(c.s, std::sqrt(exact.sse / (N - exact.unknowns)), 1e-12 * c.s);
    }
    std::printf("largest difference: %.3g of the range of Q^nu\n", worst);
}

rating::Station synthetic_station(int n, unsigned seed, double noise)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> stage(0.5, 4.0);
    std::normal_distribution<double> error(0.0, noise);
    rating::Station s;
    s.id = "S1";
    s.source = "synthetic.csv";
    for (int i = 0; i < n; i++) {
        rating::Gauging g;
        g.stage = stage(gen);
        g.discharge = 12.0 * std::pow(g.stage - 0.3, 1.8) * std::exp(error(gen));
        g.line = i + 2;
        g.sigma = 0.05 * g.discharge;
        s.gaugings.push_back(g);
    }
    return s;
}

TEST(LibraryFit, InactiveGaugingsChangeNothingButAreKept)
{
    rating::Station s = synthetic_station(60, 3u, 0.04);
    for (rating::Gauging &g : s.gaugings)
        g.sigma = std::nan("");
    const auto plain = rating::fit_station(s, fixed_settings(3));
    ASSERT_TRUE(plain.ok());
    rating::Station with = s;
    rating::Gauging wild;
    wild.stage = 9.0;  // beyond the range: would widen it
    wild.discharge = 1.0;
    wild.line = 99;
    wild.active = false;
    with.gaugings.push_back(wild);
    wild.stage = 2.0;
    wild.discharge = 1e4;
    wild.line = 100;
    with.gaugings.push_back(wild);
    const auto fit = rating::fit_station(with, fixed_settings(3));
    ASSERT_TRUE(fit.ok());
    EXPECT_EQ(fit.value().curve.coefficients, plain.value().curve.coefficients);
    EXPECT_EQ(fit.value().curve.stage_range, plain.value().curve.stage_range);
    EXPECT_EQ(fit.value().curve.n, 60);
    EXPECT_EQ(fit.value().curve.n_inactive, 2);
    ASSERT_EQ(fit.value().inactive.size(), 2u);
    EXPECT_EQ(fit.value().inactive[0].interval, 0);  // outside the range
    EXPECT_EQ(fit.value().inactive[1].interval, 2);
}

TEST(LibraryFit, WeightsFollowTheUncertainties)
{
    rating::Station s = synthetic_station(80, 5u, 0.05);
    rating::FitSettings settings = fixed_settings(2);
    settings.weights = rating::WeightMode::automatic;
    const auto weighted = rating::fit_station(s, settings);
    ASSERT_TRUE(weighted.ok());
    EXPECT_TRUE(weighted.value().curve.weighted);
    EXPECT_NEAR(weighted.value().curve.r, 0.05, 1e-12);
    EXPECT_TRUE(weighted.value().notices.empty());
    double mean = 0.0;
    for (const rating::FittedGauging &f : weighted.value().active)
        mean += f.weight;
    EXPECT_NEAR(mean / 80.0, 1.0, 1e-12);

    s.gaugings[4].sigma = std::nan("");
    const auto fallback = rating::fit_station(s, settings);
    ASSERT_TRUE(fallback.ok());
    EXPECT_FALSE(fallback.value().curve.weighted);
    ASSERT_EQ(fallback.value().notices.size(), 1u);
    EXPECT_NE(fallback.value().notices[0].find("line 6"), std::string::npos) << fallback.value().notices[0];

    settings.weights = rating::WeightMode::uncertainty;
    const auto refused = rating::fit_station(s, settings);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().line, 6);
}

TEST(LibraryFit, TooFewGaugingsAndUndeterminedCurvesAreRefused)
{
    rating::Station s = synthetic_station(6, 9u, 0.02);
    const auto few = rating::fit_station(s, fixed_settings(3));
    ASSERT_FALSE(few.ok());
    EXPECT_NE(few.error().message.find("at least 7"), std::string::npos) << few.error().message;

    rating::Station gap = synthetic_station(40, 11u, 0.02);
    // Straight lines with two kinks in a stretch without gaugings: the slopes
    // there cannot be told apart.
    rating::FitSettings listed = fixed_settings(3);
    listed.degree = 1;
    listed.knots = {1.0, 2.0, 3.0};
    for (rating::Gauging &g : gap.gaugings)
        if (g.stage > 1.0 && g.stage < 3.0)
            g.stage = 0.9;
    const auto undetermined = rating::fit_station(gap, listed);
    ASSERT_FALSE(undetermined.ok());
    EXPECT_NE(undetermined.error().message.find("do not determine"), std::string::npos)
        << undetermined.error().message;
}

// A discharge whose Q^nu is no finite number is refused, whether it lies
// far out (a huge discharge, a tiny one with nu below 0) or at 0 with nu
// below 0; extreme but finite ones are fitted.
TEST(LibraryFit, DischargesWithoutAFiniteQnuAreRefused)
{
    const rating::Station base = synthetic_station(40, 13u, 0.02);
    const auto with = [&base](double q, double nu) {
        rating::Station s = base;
        s.gaugings[5].discharge = q;
        rating::FitSettings settings = fixed_settings(2);
        settings.nu = nu;
        return rating::fit_station(s, settings);
    };
    for (const auto &[q, nu] : std::vector<std::pair<double, double>>{{1e300, 2.0}, {0.0, -0.5}, {1e-310, -1.0}}) {
        const auto refused = with(q, nu);
        ASSERT_FALSE(refused.ok()) << q << " " << nu;
        EXPECT_NE(refused.error().message.find("gives no finite Q^nu"), std::string::npos) << refused.error().message;
    }
    for (const auto &[q, nu] : std::vector<std::pair<double, double>>{{1e300, 1.0}, {1e-300, -1.0}, {0.0, 0.5}})
        EXPECT_TRUE(with(q, nu).ok()) << q << " " << nu;
}

// The command on files.
class FitCommandRun : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir(); }
    void TearDown() override { remove_temp_dir(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

std::string station_csv(const rating::Station &s, bool with_station)
{
    std::string text = with_station ? "station,date,stage,discharge\n" : "date,stage,discharge\n";
    char line[128];
    int day = 1;
    for (const rating::Gauging &g : s.gaugings) {
        std::snprintf(line, sizeof line, "%s2001-03-%02d,%.6f,%.6f\n", with_station ? (s.id + ",").c_str() : "",
                      day, g.stage, g.discharge);
        day = day % 28 + 1;
        text += line;
    }
    return text;
}

TEST_F(FitCommandRun, WritesTheStationsFilesNamedByTheFile)
{
    write_file(path("river gauge.csv"), station_csv(synthetic_station(50, 21u, 0.04), false));
    const RunResult r = run_rating(dir_, "fit 'river gauge.csv' --out out/a");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *kind : {"curve.json", "gaugings.csv", "selection.csv", "band.csv", "summary.json", "report.txt"})
        EXPECT_TRUE(file_exists(path(std::string("out/a/river_gauge.") + kind))) << kind;
    const auto curve = nlohmann::json::parse(read_file(path("out/a/river_gauge.curve.json")));
    EXPECT_EQ(curve["format"], "rating-curve");
    EXPECT_EQ(curve["period"][0], "2001-03-01");
    EXPECT_TRUE(curve["selection"].is_object());
    const std::string selection = read_file(path("out/a/river_gauge.selection.csv"));
    EXPECT_EQ(selection.substr(0, selection.find('\n')), "nu,intervals,p,cv_se_pct,se_pct,eligible,chosen");
    EXPECT_EQ(std::count(selection.begin(), selection.end(), '\n') - 1, 50 / 5);
}

TEST_F(FitCommandRun, RefusalsNameTheLineAndColumn)
{
    write_file(path("g.csv"), "stage,discharge\n1.0,2.0\n1.5,x\n");
    RunResult r = run_rating(dir_, "fit g.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error in file g.csv, line 3, column 2 (discharge): expected"), std::string::npos) << r.err;
    EXPECT_TRUE(folder_entries(dir_).size() == 1u);

    write_file(path("two.csv"), "site_no,h,Q\nA,1,2\nB,1,2\n");
    r = run_rating(dir_, "fit two.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("A, B"), std::string::npos) << r.err;

    r = run_rating(dir_, "fit g.csv --degree 4");
    EXPECT_EQ(r.status, 2);
    r = run_rating(dir_, "fit g.csv --nu-grid -1:1:0.5 --nu auto");
    EXPECT_EQ(r.status, 2);
    r = run_rating(dir_, "fit");
    EXPECT_EQ(r.status, 2);
}

// The dates of the gaugings file read back as written, whatever their
// length or blanks: short ones, date-times with a blank, long fractions of a
// second; and every row has the header's twelve fields.
TEST_F(FitCommandRun, GaugingsFileKeepsEveryDateAsWritten)
{
    const rating::Station s = synthetic_station(40, 23u, 0.03);
    const std::string long_fraction = "." + std::string(90, '7');
    std::string text = "date,stage,discharge,active\n";
    std::vector<std::string> dates;
    for (std::size_t i = 0; i < s.gaugings.size(); i++) {
        const std::string date = i % 3 == 0   ? "2001-03-04"
                                 : i % 3 == 1 ? "2001-03-04 10:1" + std::to_string(i % 10)
                                              : "2001-03-04T10:20:3" + std::to_string(i % 10) + long_fraction;
        dates.push_back(date);
        char numbers[96];
        std::snprintf(numbers, sizeof numbers, ",%.6f,%.6f,%s\n", s.gaugings[i].stage, s.gaugings[i].discharge,
                      i == 7 ? "no" : "yes");
        text += (i % 3 == 1 ? "\"" + date + "\"" : date) + numbers;
    }
    write_file(path("g.csv"), text);
    const RunResult r = run_rating(dir_, "fit g.csv --intervals 2 --out o");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream rows(read_file(path("o/g.gaugings.csv")));
    std::string row;
    std::getline(rows, row);
    std::size_t read_back = 0;
    while (std::getline(rows, row)) {
        std::vector<std::string> fields(1);
        for (const char ch : row) {
            if (ch == ',')
                fields.emplace_back();
            else
                fields.back() += ch;
        }
        ASSERT_EQ(fields.size(), 12u) << row;
        const long line = std::stol(fields[0]);
        EXPECT_EQ(fields[8], dates.at(static_cast<std::size_t>(line - 2))) << row;
        EXPECT_EQ(fields[9], line == 9 ? "false" : "true") << row;
        read_back++;
    }
    EXPECT_EQ(read_back, s.gaugings.size());
}

// The curve and the deviations drawn, with the units on the axes when given
// (text, never code); units that are not two are refused with the usage.
TEST_F(FitCommandRun, PlotsWithAndWithoutUnits)
{
    write_file(path("g.csv"), station_csv(synthetic_station(40, 29u, 0.03), false));
    RunResult r = run_rating(dir_, "fit g.csv --intervals 2 --out o --units m");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("--units"), std::string::npos) << r.err;
    if (run_command("command -v gnuplot >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gnuplot is not installed";
    r = run_rating(dir_, "fit g.csv --intervals 2 --out o --plot");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(path("o/g.png")).substr(1, 3), "PNG");
    EXPECT_EQ(read_file(path("o/g-residuals.png")).substr(1, 3), "PNG");
    r = run_rating(dir_, "fit g.csv --intervals 2 --out u --plot --units '$(touch made),m3/s'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(path("u/g.png")).substr(1, 3), "PNG");
    EXPECT_FALSE(file_exists(path("made")));
}

TEST_F(FitCommandRun, SiteOfTheUsgsGaugingsWithTheRunsOwnSettings)
{
    const RunResult r = run_rating(dir_, "fit '" + kUsgs + "' --site 11372000 --intervals 3 --out o");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto summary = nlohmann::json::parse(read_file(path("o/11372000.summary.json")));
    EXPECT_EQ(summary["n"], 126);
    const std::string gaugings = read_file(path("o/11372000.gaugings.csv"));
    EXPECT_EQ(gaugings.substr(0, gaugings.find('\n')),
              "line,h,Q,Q_fit,deviation_pct,residual_nu,interval,outlier,date,active,uncertainty,weight");
}

} // namespace
