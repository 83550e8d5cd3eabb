// The least-squares curve in the run: the check of the minimiser's result,
// the exact solver, curves the gaugings do not determine, and a curve that
// does not depend on the stage unit.
#include "Driver.h"
#include "Kvutil.h"
#include "Model.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numeric>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kExample = RATING_SOURCE_DIR "/examples/gauge/11372000.dat";

// The example gauge with every stage mapped through f, written as the
// program reads it back (17 significant digits).
std::string example_with_stages(const std::function<double(double)> &f)
{
    std::istringstream in(read_file(kExample));
    std::string line;
    std::getline(in, line);
    std::string text = line + "\n";
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double stage;
        std::string discharge;
        if (!(fields >> stage >> discharge))
            continue;
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.17g", f(stage));
        text += std::string(buffer) + " " + discharge + "\n";
    }
    return text;
}

// The driver's steps run in a scratch folder, up to the fitted curves.
class Steps : public ScratchFolderTest {
protected:
    void load(const std::string &data, const std::string &settings)
    {
        write_file("Control.dat", "g s\n");
        write_file("Settings.dat", settings);
        write_file("g/s.dat", data);
        release_model();
        for (const auto &step : {read_control, read_settings, read_observations, place_knots, transform_discharges}) {
            const rating::Status done = step();
            ASSERT_TRUE(done.ok()) << rating::error_text(done.error());
        }
    }

    // The table's discharges before formatting, from the curve chosen.
    static std::vector<double> table_discharges()
    {
        std::vector<double> q;
        for (long i = 0; i <= Nout; i++)
            q.push_back(discharge_of(curve_value(table_stage(i))));
        return q;
    }

    // The table as the run writes it.
    static std::string table_text()
    {
        std::FILE *f = std::fopen("table.res", "w");
        write_result_table(f);
        std::fclose(f);
        return read_file("table.res");
    }
};

const char *const kCubics = "Settings\n0.5\n3\n3\n100\n1\n";

double largest_relative_difference(const std::vector<double> &a, const std::vector<double> &b)
{
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); i++)
        worst = std::max(worst, std::fabs(a[i] - b[i]) / std::fabs(b[i]));
    return worst;
}

} // namespace

// The same gaugings with the stages in centimetres, millimetres, hundreds of
// metres or above another datum give the same discharges. The exact solver's
// agree to 1e-9. The default run's agree as far as a sum of squares can tell
// curves apart: where the minimiser's sum lies within rounding of the least
// one (1e-15 relative here), its curve may still lie 1e-8 away (the sum
// grows with the square of the distance), so it is kept, and 1e-7 bounds the
// difference; where it stops short (centimetres, millimetres), the
// least-squares curve replaces it.
TEST_F(Steps, DischargesDoNotDependOnTheStageUnit)
{
    load(example_with_stages([](double s) { return s; }), kCubics);
    solve_least_squares();
    choose_written_curve(Solver::exact);
    const std::vector<double> metres = table_discharges();

    const std::vector<std::pair<const char *, std::function<double(double)>>> units = {
        {"x 0.01", [](double s) { return s * 0.01; }},
        {"x 100", [](double s) { return s * 100.0; }},
        {"x 1000", [](double s) { return s * 1000.0; }},
        {"+ 1000", [](double s) { return s + 1000.0; }}};
    for (const auto &[name, f] : units) {
        SCOPED_TRACE(name);
        load(example_with_stages(f), kCubics);
        solve_least_squares();
        choose_written_curve(Solver::exact);
        EXPECT_LT(largest_relative_difference(table_discharges(), metres), 1e-9);
        fit_curve();
        choose_written_curve(Solver::minimiser);
        EXPECT_LT(largest_relative_difference(table_discharges(), metres), 1e-7);
    }
    free_dvector(x, 1, NN);
    x = nullptr;
}

// The rule in both directions: a minimiser's sum of squares just within
// 1e-12 of the spread of Q^nu above the least one keeps the minimiser's
// curve, just beyond it the least-squares curve is written.
TEST_F(Steps, ShortfallThresholdBothWays)
{
    load(example_with_stages([](double s) { return s; }), kCubics);
    fit_curve();
    solve_least_squares();
    ASSERT_FALSE(choose_written_curve(Solver::minimiser));
    const std::vector<double> minimiser = table_discharges();
    const std::string minimiser_table = table_text();
    choose_written_curve(Solver::exact);
    const std::vector<double> least_squares = table_discharges();
    ASSERT_NE(minimiser, least_squares);

    const std::vector<double> y(&Qnu[1], &Qnu[N + 1]);
    const double mean = std::accumulate(y.begin(), y.end(), 0.0) / N;
    const double spread = std::inner_product(y.begin(), y.end(), y.begin(), 0.0) - N * mean * mean;
    const double least = least_squares_fit().sse;

    fret = least + 0.99e-12 * spread;
    EXPECT_FALSE(choose_written_curve(Solver::minimiser));
    EXPECT_EQ(table_discharges(), minimiser);
    EXPECT_EQ(table_text(), minimiser_table);
    fret = least + 1.01e-12 * spread;
    EXPECT_TRUE(choose_written_curve(Solver::minimiser));
    EXPECT_EQ(table_discharges(), least_squares);
    free_dvector(x, 1, NN);
    x = nullptr;
}

// The case that showed the fault: the example gauge in centimetres, where
// the minimiser stopped 7 % short at the lowest stage (1.5272).
TEST(ExactRun, CentimetreStagesGiveTheCurveOfMetres)
{
    for (const char *options : {"", "--solver exact"}) {
        SCOPED_TRACE(options);
        const Gauge g =
            make_gauge("Settings\n0.5\n3\n3\n10\n1\n", example_with_stages([](double s) { return s * 100.0; }));
        const RunResult r = run_rating(g.dir, options);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(result_rows(g.res()).front(), "74.981\t1.6497");
        const bool stopped = r.out.find("\nMinimiser stopped short of the least-squares fit (sum of squares ") !=
                             std::string::npos;
        EXPECT_EQ(stopped, std::string(options).empty()) << r.out;
    }
}

// The exact solver makes the run of the default settings, with the same
// console text and files of the same form.
TEST(ExactRun, SameFilesAndConsoleText)
{
    const Gauge a = make_gauge(kCubics, read_file(kExample));
    const Gauge b = make_gauge(kCubics, read_file(kExample));
    const RunResult ra = run_rating(a.dir);
    const RunResult rb = run_rating(b.dir, "--solver exact");
    ASSERT_EQ(ra.status, 0);
    ASSERT_EQ(rb.status, 0);
    const auto without_time = [](const std::string &s) { return s.substr(0, s.find("CPU time")); };
    EXPECT_EQ(without_time(ra.out), without_time(rb.out));
    EXPECT_EQ(read_file(a.path("Source.plt")), read_file(b.path("Source.plt")));
    EXPECT_EQ(a.plt(), b.plt());
    EXPECT_EQ(result_rows(a.res()).size(), result_rows(b.res()).size());
    EXPECT_EQ(a.res().substr(0, a.res().find("\n\n")), b.res().substr(0, b.res().find("\n\n")));
}

namespace {

struct Undetermined {
    const char *what;
    std::string settings;
    std::string data;
    std::string knots;     // empty: no knots file
    std::string warnings;  // the default run's warnings, in order
};

std::vector<Undetermined> undetermined_cases()
{
    return {
        {"intervals without gaugings", "Settings\n0.5\n3\n1\n20\n1\n",
         "# Gap\n1.0 1\n1.1 1.3\n1.2 1.6\n1.3 2.0\n1.4 2.3\n4.6 30\n4.7 31\n4.8 33\n4.9 34\n5.0 36\n",
         "Knots\n-1\n2\n2.5 3 3.5 4\n",
         "\nWarning: the gaugings do not determine the curve between stages 2 and 4\n"},
        {"fewer stages than coefficients", "Settings\n0.5\n2\n3\n20\n1\n",
         "# Few\n1 1\n1 1.1\n2 4\n2 4.2\n3 9\n3 8.8\n4 16\n4 16.3\n", "",
         "\nWarning: the gaugings do not determine the curve between stages 1 and 4\n"},
        {"all stages equal", "Settings\n0.5\n1\n1\n4\n1\n", "# Level\n2 10\n2 11\n2 12\n", "",
         "\nWarning: the gaugings do not determine the curve at stage 2\n"},
    };
}

} // namespace

// Where the gaugings do not fix the curve, the default run keeps the
// minimiser's curve and warns for each stage range; the exact solver refuses
// the run and changes no result.
TEST(ExactRun, UndeterminedCurvesInBothModes)
{
    for (const Undetermined &u : undetermined_cases()) {
        SCOPED_TRACE(u.what);
        const Gauge g = make_gauge(u.settings, u.data);
        if (!u.knots.empty())
            write_file(g.path("gauges/site1.knots"), u.knots);
        RunResult r = run_rating(g.dir);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::size_t report = r.out.find("intervals\n");
        ASSERT_NE(report, std::string::npos) << r.out;
        EXPECT_EQ(r.out.substr(report + 10, u.warnings.size()), u.warnings) << r.out;
        EXPECT_EQ(r.out.find("Minimiser stopped short"), std::string::npos) << r.out;
        const std::string res = g.res();

        r = run_rating(g.dir, "--solver exact");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("\nError in file gauges/site1.dat: the gaugings do not determine the curve "),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(": use fewer intervals or other knots\n"), std::string::npos) << r.out;
        EXPECT_EQ(g.res(), res);
    }
}
