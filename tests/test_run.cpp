// The whole program run in a scratch folder: configuration, observations,
// knots, result files, console texts and exit codes.
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <dirent.h>
#include <sstream>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <vector>

namespace {

const char *const kSettings = "Settings for the run\n0.5 nu\n3 Jdefault\n1 M\n4 Nout\n1 Spacing\n";

// Observations on Q = 4 h^2, so that Q^0.5 is the straight line 2 h.
const char *const kLineData = "# Site A\n1 4\n2 16\n3 36\n";

} // namespace

TEST(Run, CompleteRunWritesEveryFileByteForByte)
{
    const Gauge g = make_gauge(settings_with("0.5", "1", "1", "4", "1"), kLineData);
    const RunResult r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(g.path("Source.plt")),
              "# Control file for single plots\n\nName=\"site1\"\nFolder=\"gauges\"");
    EXPECT_EQ(g.res(), "# Site A\n# Computed rating curve\n# h nu = 0.500 \n"
                       "\n1\t4\n1.5\t9\n2\t16\n2.5\t25\n3\t36");
    EXPECT_EQ(g.plt(), "Title = \"Site A\"\nSpline_label = ' - splines: 1 intervals, knot stages automatic'"
                       "\nhmin = 1\nhmax = 3\nQmin = 4\nQmax = 36");
    const std::string head = "\nSite A\n\nNo knots file - proceed with default knots"
                             "\n\nKnot points automatic: 1 intervals\n\nCPU time ";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.substr(head.size() + 6), " sec\n\nPaused: Hit enter");
    EXPECT_EQ(r.err, "");
    // Nothing else is left in the data folder.
    EXPECT_EQ(folder_entries(g.path("gauges")).size(), 3u);
}

TEST(Run, OutputGridFollowsNoutAndSpacing)
{
    Gauge g = make_gauge(settings_with("0.5", "1", "1", "4", "2"), kLineData);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    // Stages hmin + hrange (i/4)^2: 1, 1.125, 1.5, 2.125, 3.
    EXPECT_EQ(result_rows(g.res()),
              (std::vector<std::string>{"1\t4", "1.125\t5.0625", "1.5\t9", "2.125\t18.062", "3\t36"}));

    write_file(g.path("Settings.dat"), settings_with("0.5", "1", "1", "10", "1"));
    ASSERT_EQ(run_rating(g.dir).status, 0);
    EXPECT_EQ(result_rows(g.res()).size(), 11u);
}

TEST(Run, NegativeModelValueIsWrittenAsItsReplacement)
{
    // The least-squares line through Q^0.5 = 0, 0, 0, 4 is -0.8 + 1.2 h.
    const Gauge g = make_gauge(settings_with("0.5", "1", "1", "3", "1"), "# Dry\n0 0\n1 0\n2 0\n3 16\n");
    ASSERT_EQ(run_rating(g.dir).status, 0);
    EXPECT_EQ(result_rows(g.res()), (std::vector<std::string>{"0\t1e-20", "1\t0.16", "2\t2.56", "3\t7.84"}));
}

TEST(Run, ControlWordsOnTwoLinesAndSettingsCommentsChangeNothing)
{
    const Gauge one = make_gauge(kSettings, kLineData);
    ASSERT_EQ(run_rating(one.dir).status, 0);
    // Also with the byte order mark some editors put in front of a file.
    const Gauge two = make_gauge("Any header text\n  0.5   exponent\n\n3 intervals\n1 degree\n4\n1 spacing\n",
                                 kLineData);
    write_file(two.path("Control.dat"), "\xEF\xBB\xBFgauges\r\nsite1 trailing words\r\n");
    ASSERT_EQ(run_rating(two.dir).status, 0);
    EXPECT_EQ(one.res(), two.res());
    EXPECT_EQ(read_file(one.path("Source.plt")), read_file(two.path("Source.plt")));
}

TEST(Run, ObservationsAreReadWhateverTheirLayout)
{
    // CR LF line ends, blank lines, further columns, descending order and a
    // last line without a line end all read as the plain file does.
    const Gauge plain = make_gauge(kSettings, "# Site A\n1 4\n2 16\n3 36\n4 64\n5 100\n6 144\n");
    ASSERT_EQ(run_rating(plain.dir).status, 0);
    const Gauge messy = make_gauge(kSettings,
                                   "# Site A\r\n6 144 1999-01-02\r\n\r\n5\t100 comment\r\n   \r\n4 64\r\n"
                                   "3 36\r\n2 16 x\r\n1 4");
    ASSERT_EQ(run_rating(messy.dir).status, 0);
    EXPECT_EQ(plain.res(), messy.res());
    EXPECT_EQ(plain.plt(), messy.plt());
    EXPECT_EQ(messy.res().find('\r'), std::string::npos);
}

TEST(Run, TitleAndShortTitle)
{
    const Gauge g = make_gauge(kSettings, "#:Gauge 7 % Upper Reach\n1 4\n2 16\n3 36\n");
    const RunResult r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 22), "\nGauge 7 % Upper Reach");
    EXPECT_EQ(g.res().substr(0, 24), "#:Gauge 7 % Upper Reach\n");
    EXPECT_EQ(g.plt().substr(0, 31), "Title = \"Gauge 7 % Upper Reach\"");

    // A title longer than 199 characters is cut to 199.
    const Gauge l = make_gauge(kSettings, "# " + std::string(300, 'x') + "\n1 4\n2 16\n3 36\n");
    ASSERT_EQ(run_rating(l.dir).status, 0);
    EXPECT_EQ(l.res().find('\n'), 199u);
    EXPECT_EQ(l.plt().find('\n'), 199u + 10u);
}

TEST(Run, AllObservationsAreReadBeyondNineHundredNinetyNine)
{
    std::string data = "# Long record\n";
    for (int i = 1; i <= 1200; i++)
        data += std::to_string(i) + " " + std::to_string(4.0 * i * i) + "\n";
    const Gauge g = make_gauge(settings_with("0.5", "3", "1", "4", "1"), data);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    EXPECT_NE(g.plt().find("\nhmax = 1.2e+03\n"), std::string::npos) << g.plt();
    EXPECT_NE(g.plt().find("\nQmax = 5.76e+06"), std::string::npos) << g.plt();
    EXPECT_EQ(result_rows(g.res()).back(), "1200\t5.76e+06");
}

TEST(Run, StageRangeIsTheObservedRangeWhateverItsSize)
{
    const Gauge high = make_gauge(settings_with("0.5", "1", "1", "2", "1"), "# cm\n1005 4\n1010 16\n1020 36\n");
    ASSERT_EQ(run_rating(high.dir).status, 0);
    const std::vector<std::string> rows = result_rows(high.res());
    EXPECT_EQ(rows.front().substr(0, 5), "1005\t");
    EXPECT_EQ(rows[1].substr(0, 7), "1012.5\t");
    EXPECT_EQ(rows.back().substr(0, 5), "1020\t");

    const Gauge low = make_gauge(settings_with("0.5", "1", "1", "2", "1"), "# below datum\n-3 4\n-2 16\n-1 36\n");
    ASSERT_EQ(run_rating(low.dir).status, 0);
    const std::vector<std::string> low_rows = result_rows(low.res());
    EXPECT_EQ(low_rows.front().substr(0, 3), "-3\t");
    EXPECT_EQ(low_rows.back().substr(0, 3), "-1\t");
}

TEST(Run, DischargeEndsComeFromTheLowestAndHighestStage)
{
    const Gauge g = make_gauge(kSettings, "# Loop\n2 30\n1 5\n3 20\n2.5 40\n1.5 8\n");
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string plt = g.plt();
    EXPECT_NE(plt.find("\nhmin = 1\nhmax = 3\nQmin = 5\nQmax = 20"), std::string::npos) << plt;
}

TEST(Run, KnotReportsAndLabels)
{
    std::string data = "# Knots\n";
    for (int i = 0; i <= 20; i++)
        data += std::to_string(1.0 + 0.1 * i) + " " + std::to_string(1.0 + i * i) + "\n";
    Gauge g = make_gauge(kSettings, data);
    RunResult r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n\nKnot points automatic: 3 intervals\n"), std::string::npos);
    EXPECT_NE(g.plt().find("\nSpline_label = ' - splines: 3 intervals, knot stages automatic'\n"),
              std::string::npos);

    write_file(g.path("gauges/site1.knots"), "Knots\n-1\n1.5\n2.5\n");
    r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("No knots file"), std::string::npos);
    EXPECT_NE(r.out.find("\n\nKnot points from file: 3 intervals\n"), std::string::npos);
    EXPECT_NE(g.plt().find("\nSpline_label = ' - sploines: 3 intervals, knot stages from file'\n"),
              std::string::npos);
    const std::string listed = g.res();

    // The last stage without a line end counts; a second number on line 3 does not.
    write_file(g.path("gauges/site1.knots"), "Knots\n-5 listed\n1.5 2.0\n2.5");
    ASSERT_EQ(run_rating(g.dir).status, 0);
    EXPECT_EQ(g.res(), listed);

    // A positive mode places the knots automatically and reads no further.
    write_file(g.path("gauges/site1.knots"), "Knots\n3\nnot read at all\n");
    r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n\nKnot points automatic: 3 intervals\n"), std::string::npos);
    EXPECT_EQ(r.out.find("No knots file"), std::string::npos);
}

TEST(Run, KnotsFileWithAnEndStageIsRejected)
{
    Gauge g = make_gauge(kSettings, "# Ends\n1.0 1\n1.5 4\n2.0 9\n2.5 16\n3.0 25\n");
    write_file(g.path("gauges/site1.knots"), "Knots\n-1\n1.005\n2\n2.995\n");
    RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\nEnds\n\nKnots file contains lowest stage - please delete first entry 1.005\n");

    write_file(g.path("gauges/site1.knots"), "Knots\n-1\n1.02\n2.995\n");
    r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\nEnds\n\nKnots file contains highest stage - please delete last entry 2.995\n");
    EXPECT_FALSE(file_exists(g.path("gauges/site1.res")));
    EXPECT_FALSE(file_exists(g.path("gauges/site1.plt")));
}

TEST(Run, MissingFilesPauseAndEndWithMinusOne)
{
    Gauge g = make_gauge(kSettings, kLineData);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string source = read_file(g.path("Source.plt"));

    // A run that ends early changes no result: Source.plt keeps naming the
    // data set of the last complete run, not the missing one.
    write_file(g.path("Control.dat"), "gauges site2\n");
    RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\nUnable to open file gauges/site2.dat\n\nPaused: ");
    EXPECT_EQ(read_file(g.path("Source.plt")), source);

    std::remove(g.path("Settings.dat").c_str());
    r = run_rating(g.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\nUnable to open file Settings.dat\n\nPaused: ");

    std::remove(g.path("Control.dat").c_str());
    r = run_rating(g.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\nUnable to open file Control.dat\n\nPaused: ");
    EXPECT_EQ(read_file(g.path("Source.plt")), source);
}

struct BadInput {
    const char *file;      // which file gets the content
    std::string content;
    std::string message;   // expected to appear in the console output
};

void PrintTo(const BadInput &bad, std::ostream *os)
{
    *os << bad.file;
}

class RunBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(RunBadInput, IsRefusedWithItsFileAndLine)
{
    const BadInput &bad = GetParam();
    Gauge g = make_gauge(kSettings, "# Site\n1 1\n1.5 2\n2 4\n2.5 6\n3 9\n3.5 12\n4 16\n");
    write_file(g.path(bad.file), bad.content);
    const RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(bad.message), std::string::npos) << "output was: " << r.out;
    EXPECT_EQ(r.out.find("\nError"), r.out.find('\n' + bad.message.substr(1)));
    EXPECT_FALSE(file_exists(g.path("gauges/site1.res")));
    EXPECT_FALSE(file_exists(g.path("gauges/site1.plt")));
    EXPECT_EQ(folder_entries(g.path("gauges")).size(), bad.file == std::string("gauges/site1.knots") ? 2u : 1u);
}

const std::string kS = "Settings.dat";

INSTANTIATE_TEST_SUITE_P(
    Configuration, RunBadInput,
    ::testing::Values(
        BadInput{"Control.dat", "gauges\n", "\nError in file Control.dat, line 2: expected two words"},
        BadInput{"Control.dat", "", "\nError in file Control.dat, line 1: expected two words"},
        BadInput{"Control.dat", "gauges " + std::string(200, 'n') + "\n",
                 "\nError in file Control.dat, line 1: the name of the data set is longer than 199"},
        BadInput{"Control.dat", std::string(120, 'd') + " " + std::string(80, 'n') + "\n",
                 "\nError in file Control.dat: the path "},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n1\n4\n", "\nError in file Settings.dat, line 6: expected the exponent of the output spacing"},
        BadInput{"Settings.dat", "Settings\nhalf\n3\n1\n4\n1\n", "\nError in file Settings.dat, line 2: expected the exponent nu"},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n2.5\n4\n1\n", "\nError in file Settings.dat, line 4: expected the polynomial degree M"},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n1\n4\n1,5 spacing\n", "\nError in file Settings.dat, line 6: expected the exponent of the output spacing"},
        BadInput{"Settings.dat", "Settings\n0\n3\n1\n4\n1\n", "\nError in file Settings.dat, line 2: the exponent nu must be"},
        BadInput{"Settings.dat", "Settings\nnan\n3\n1\n4\n1\n", "\nError in file Settings.dat, line 2: the exponent nu must be"},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n4\n4\n1\n", "\nError in file Settings.dat, line 4: the polynomial degree M must be 1, 2 or 3"},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n0\n4\n1\n", "\nError in file Settings.dat, line 4: the polynomial degree M must be 1, 2 or 3"},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n1\n0\n1\n", "\nError in file Settings.dat, line 5: the number of output steps Nout must be at least 1"},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n1\n4\n0\n", "\nError in file Settings.dat, line 6: the exponent Spacing must be"},
        BadInput{"Settings.dat", "Settings\n0.5\n3\n1\n4\ninf\n", "\nError in file Settings.dat, line 6: the exponent Spacing must be"},
        BadInput{"Settings.dat", "Settings\n0.5\n0\n1\n4\n1\n", "\nError in file Settings.dat, line 3: the default number of intervals Jdefault must be 1 to 98"},
        BadInput{"Settings.dat", "Settings\n0.5\n99\n1\n4\n1\n", "\nError in file Settings.dat, line 3: the default number of intervals Jdefault must be 1 to 98"},
        BadInput{"Settings.dat", "Settings\n0.5\n8\n1\n4\n1\n", "\nError in file Settings.dat, line 3: 8 intervals need at least as many observations, but there are only 7"},
        // Q^nu beyond the range of a double, or the same for every discharge.
        BadInput{"Settings.dat", "Settings\n1000\n3\n1\n4\n1\n", "\nError in file Settings.dat, line 2: with nu = 1000 the discharge 4 on line 4 of gauges/site1.dat gives Q^nu = inf, which cannot be fitted"},
        BadInput{"Settings.dat", "Settings\n1e-300\n3\n1\n4\n1\n", "\nError in file Settings.dat, line 2: with nu = 1e-300 every discharge gives the same Q^nu = 1, which cannot be fitted"}));

INSTANTIATE_TEST_SUITE_P(
    DataFile, RunBadInput,
    ::testing::Values(
        BadInput{"gauges/site1.dat", "", "\nError in file gauges/site1.dat: no observations"},
        BadInput{"gauges/site1.dat", "# Title only\n\n  \n", "\nError in file gauges/site1.dat: no observations"},
        BadInput{"gauges/site1.dat", "# T\n1 1\n2\n3 3\n", "\nError in file gauges/site1.dat, line 3: expected a stage and a discharge"},
        BadInput{"gauges/site1.dat", "# T\n1 1\n\n# note\n3 3\n", "\nError in file gauges/site1.dat, line 4: expected a stage and a discharge"},
        BadInput{"gauges/site1.dat", "# T\n1 1\n2,5 3\n", "\nError in file gauges/site1.dat, line 3: expected a stage and a discharge"},
        BadInput{"gauges/site1.dat", "# T\n1 1\n2.5 3,25\n", "\nError in file gauges/site1.dat, line 3: expected a stage and a discharge"},
        BadInput{"gauges/site1.dat", "# T\n1 1\nnan 3\n", "\nError in file gauges/site1.dat, line 3: the stage is not a finite number"},
        BadInput{"gauges/site1.dat", "# T\n1 1\n2 1e999\n", "\nError in file gauges/site1.dat, line 3: the discharge is not a finite number"},
        BadInput{"gauges/site1.dat", "# T\n1 1\n2 -0.5\n", "\nError in file gauges/site1.dat, line 3: the discharge is negative"}));

INSTANTIATE_TEST_SUITE_P(
    KnotsFile, RunBadInput,
    ::testing::Values(
        BadInput{"gauges/site1.knots", "Knots\nminus one\n", "\nError in file gauges/site1.knots, line 2: expected the knot mode"},
        BadInput{"gauges/site1.knots", "", "\nError in file gauges/site1.knots, line 1: expected the knot mode"},
        BadInput{"gauges/site1.knots", "Knots\n0\n", "\nError in file gauges/site1.knots, line 2: a knot mode of 0 asks for no intervals"},
        BadInput{"gauges/site1.knots", "Knots\n-1\n\n", "\nError in file gauges/site1.knots, line 3: expected the first knot stage"},
        BadInput{"gauges/site1.knots", "Knots\n-1\n2\n3 x\n", "\nError in file gauges/site1.knots, line 4: expected a knot stage"},
        BadInput{"gauges/site1.knots", "Knots\n-1\n2\n3,5\n", "\nError in file gauges/site1.knots, line 4: expected a knot stage"},
        BadInput{"gauges/site1.knots", "Knots\n-1\n3\n2\n", "\nError in file gauges/site1.knots, line 4: the knot stages must be strictly ascending"},
        BadInput{"gauges/site1.knots", "Knots\n-1\n2\n2\n", "\nError in file gauges/site1.knots, line 4: the knot stages must be strictly ascending"},
        BadInput{"gauges/site1.knots", "Knots\n-1\n0.5\n2\n", "\nError in file gauges/site1.knots, line 3: the knot stage 0.5 lies outside the observed stages 1 to 4"},
        BadInput{"gauges/site1.knots", "Knots\n-1\n2 5\n3 7\n", "\nError in file gauges/site1.knots, line 4: the knot stage 7 lies outside the observed stages 1 to 4"},
        BadInput{"gauges/site1.knots", "Knots\n99\n", "\nError in file gauges/site1.knots, line 2: more than 98 intervals"},
        BadInput{"gauges/site1.knots", "Knots\n8\n", "\nError in file gauges/site1.knots, line 2: 8 intervals need at least as many observations, but there are only 7"}));

TEST(Run, ZeroDischargeIsRefusedOnlyForANegativeExponent)
{
    Gauge g = make_gauge(kSettings, "# Zero\n1 0\n2 1\n3 4\n4 9\n");
    EXPECT_EQ(run_rating(g.dir).status, 0);
    write_file(g.path("Settings.dat"), settings_with("-0.5", "3", "1", "4", "1"));
    const RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nError in file gauges/site1.dat, line 2: a discharge of 0 cannot be raised"),
              std::string::npos)
        << r.out;
}

TEST(Run, TransformedDischargeBeyondTheRangeOfNumbersIsRefused)
{
    const Gauge g = make_gauge(settings_with("2", "1", "1", "4", "1"), "# Flood\n1 5\n2 1e200\n3 40\n");
    const RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nError in file Settings.dat, line 2: with nu = 2 the discharge 1e+200 on line 3 of "
                         "gauges/site1.dat gives Q^nu = inf"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(file_exists(g.path("gauges/site1.res")));
}

// With a negative exponent a curve value at or below 0 has no discharge: such
// rows are written as nan, and the console names their stages. (Before, the
// replacement of negative values by 1e-10 made them 1e+10.)
TEST(Run, NegativeExponentWritesNanWhereTheCurveHasNoDischarge)
{
    // 1/Q on a straight line that falls below 0 at the highest stage.
    const Gauge g = make_gauge(settings_with("-1", "1", "1", "4", "1"), "# Falling\n1 1\n2 2\n3 4\n4 100\n");
    const RunResult r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> rows = result_rows(g.res());
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[4], "4\tnan");
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(rows[i].find("nan"), std::string::npos) << rows[i];
    EXPECT_NE(r.out.find("\n\nKnot points automatic: 1 intervals\n\nNo discharge where the curve's Q^nu is not "
                         "above 0 (nu is negative): rows at stage 4 written as nan\n"),
              std::string::npos)
        << r.out;
}

// Stages of 1000.75 to 1003.23 m (a datum above sea level) need more than
// five digits: a row gets as many as bring it within 1e-3 of the stage range
// of its value, and one that would share its text with a neighbour as many as
// set it apart; the others keep five.
TEST(Run, StagesAboveADatumStayApartInTheTable)
{
    std::string data = "# Datum\n";
    for (int i = 0; i <= 12; i++)
        data += std::to_string(1000.75 + 0.2066666 * i) + " " + std::to_string(10.0 + 5.0 * i * i) + "\n";
    const Gauge g = make_gauge(settings_with("0.5", "3", "3", "100", "1"), data);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::vector<std::string> rows = result_rows(g.res());
    ASSERT_EQ(rows.size(), 101u);
    std::vector<std::string> stages;
    for (const std::string &row : rows)
        stages.push_back(row.substr(0, row.find('\t')));
    for (std::size_t i = 1; i < stages.size(); i++)
        EXPECT_NE(stages[i], stages[i - 1]) << "row " << i;
    // Five digits gave 1000.8 for 1000.7748, 2.5 cm off on a range of
    // 2.48 m, and for 1000.7996 beside it; six set them apart, seven bring
    // the first within 2.48 mm.
    EXPECT_EQ(stages[0], "1000.75");
    EXPECT_EQ(stages[1], "1000.775");
    EXPECT_EQ(stages[2], "1000.8");
    EXPECT_EQ(stages.back(), "1003.23");
    const double low = std::stod(stages.front());
    const double range = std::stod(stages.back()) - low;
    for (std::size_t i = 0; i < stages.size(); i++)
        EXPECT_NEAR(std::stod(stages[i]), low + range * static_cast<double>(i) / 100.0, 1e-3 * range) << i;
}

// The example gauge 10000 m up: "%.5g" would write 10000.7 for 10000.7498,
// and the plot settings 1e+04 for both ends; the report's knots get the
// digits they need too. Where five digits are close enough they stay.
TEST(Run, StagesFarAboveADatumAreWrittenWithinATenthOfAPerMilleOfTheRange)
{
    std::istringstream example(read_file(RATING_SOURCE_DIR "/examples/gauge/11372000.dat"));
    std::string line;
    std::getline(example, line);
    std::string data = line + "\n";
    while (std::getline(example, line)) {
        std::istringstream fields(line);
        double h, q;
        if (fields >> h >> q) {
            char row[64];
            std::snprintf(row, sizeof row, "%.6f %.13g\n", h + 10000.0, q);
            data += row;
        }
    }
    const Gauge g = make_gauge(settings_with("0.5", "3", "3", "100", "1"), data);
    ASSERT_EQ(run_rating(g.dir, "--report").status, 0);
    const std::vector<std::string> rows = result_rows(g.res());
    ASSERT_EQ(rows.size(), 101u);
    EXPECT_EQ(rows[0].substr(0, rows[0].find('\t')), "10000.75");
    EXPECT_EQ(rows[1].substr(0, rows[1].find('\t')), "10000.775");
    EXPECT_EQ(rows[2].substr(0, rows[2].find('\t')), "10000.8");
    EXPECT_NE(g.plt().find("\nhmin = 10000.75\nhmax = 10003.23\n"), std::string::npos) << g.plt();
    const std::string report = read_file(g.path("gauges/site1.report.txt"));
    EXPECT_NE(report.find("         1  10000.75      10000.983           42"), std::string::npos) << report;
}

TEST(Run, TooManyListedStagesAreRefused)
{
    std::string data = "# Many\n";
    for (int i = 0; i <= 200; i++)
        data += std::to_string(i) + " " + std::to_string(i * i) + "\n";
    Gauge g = make_gauge(kSettings, data);
    std::string knots = "Knots\n-1\n2\n";
    for (int k = 2; k <= 98; k++)
        knots += std::to_string(k * 2) + (k % 10 == 0 ? "\n" : " ");
    knots += "\n";
    write_file(g.path("gauges/site1.knots"), knots);
    const RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("more than 97 knot stages"), std::string::npos) << r.out;
}

TEST(Run, FailedFitLeavesTheEarlierResultIntact)
{
    Gauge g = make_gauge(settings_with("0.5", "3", "3", "4", "1"), "# Site\n1 1\n1.5 2\n2 4\n2.5 6\n3 9\n3.5 12\n4 16\n");
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string res = g.res();
    const std::string plt = g.plt();

    // Stages this large make the squares of the cubic overflow, so the
    // objective is not a number anywhere and the minimiser runs into an
    // iteration limit, which ends the run.
    write_file(g.path("gauges/site1.dat"), "# Site\n1e200 1\n2e200 2\n3e200 4\n4e200 6\n5e200 9\n");
    const RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, 27), "Kelvarin run-time error...\n") << r.err;
    EXPECT_EQ(g.res(), res);
    EXPECT_EQ(g.plt(), plt);
    EXPECT_EQ(folder_entries(g.path("gauges")).size(), 3u);
}

TEST(Run, ResultThatCannotBeWrittenIsReported)
{
    Gauge g = make_gauge(kSettings, kLineData);
    // A folder in the result file's place cannot be replaced by a file.
    mkdir(g.path("gauges/site1.res").c_str(), 0755);
    write_file(g.path("gauges/site1.res/keep"), "x");
    const RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nUnable to write file gauges/site1.res: Is a directory\n"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(g.path("gauges/site1.plt")));
    EXPECT_EQ(folder_entries(g.path("gauges")).size(), 2u);
}

// Six gaugings of the example with the default settings: the curve goes below
// 0 in Q^nu over 48 rows and falls before that; both are said after the knot
// report, and the run still succeeds.
TEST(Run, FallingAndVanishingCurveIsWarnedOf)
{
    const Gauge g = make_gauge(settings_with("0.5", "3", "3", "100", "1"),
                               "# Six\n3.23088 253.4357769984\n1.02108 6.258023096832\n0.966216 4.587329147904\n"
                               "1.002792 5.606735625216\n0.789432 2.0982783324672\n1.292352 14.384958068736\n");
    const RunResult r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\n\nKnot points automatic: 3 intervals\n"
                         "\nWarning: the curve's Q^nu is below 0 at stages 1.7416 to 2.88908: those rows are "
                         "written as 1e-20\n"
                         "\nWarning: the discharge falls with rising stage at stages 1.25331 to 1.7416\n"
                         "\nCPU time"),
              std::string::npos)
        << r.out;
    const std::vector<std::string> rows = result_rows(g.res());
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const std::string &row) { return row.substr(row.find('\t')) == "\t1e-20"; }),
              48);
    // Every discharge the same: the curve is level, whatever rounding does.
    write_file(g.path("gauges/site1.dat"), "# Level\n1 5\n1.5 5\n2 5\n2.5 5\n3 5\n3.5 5\n4 5\n4.5 5\n");
    const RunResult level = run_rating(g.dir);
    ASSERT_EQ(level.status, 0);
    EXPECT_EQ(level.out.find("Warning"), std::string::npos) << level.out;
    // The minimiser's sum of squares cannot be measured against a least one
    // of 0: it is not said to stop short.
    EXPECT_EQ(level.out.find("Minimiser stopped short"), std::string::npos) << level.out;
}

// A flag takes no value: "--report=0" is not a way to ask for no report.
TEST(Run, FlagsGivenAValueAreRefused)
{
    const Gauge g = make_gauge(settings_with("0.5", "1", "1", "4", "1"), kLineData);
    for (const char *arg : {"--report=0", "--report=yes", "--report=true", "--version=1", "--help=x"}) {
        const RunResult r = run_rating(g.dir, arg);
        EXPECT_EQ(r.status, 2) << arg;
        EXPECT_EQ(r.out, "") << arg;
        const std::string flag = std::string(arg).substr(0, std::string(arg).find('='));
        EXPECT_EQ(r.err.find("rating: " + flag + " is a flag and takes no value: " + arg + "\n\n"), 0u) << r.err;
        EXPECT_NE(r.err.find("--report"), std::string::npos);
        EXPECT_EQ(folder_entries(g.path("gauges")).size(), 1u);
    }
    EXPECT_EQ(run_rating(g.dir, "--solver=exact --report").status, 0);
}

// Every stage the same: the range not determined is one stage.
TEST(Run, UndeterminedCurveAtOneStageSaysSo)
{
    const Gauge g = make_gauge(settings_with("0.5", "1", "1", "4", "1"), "# One stage\n1.5 1\n1.5 2\n1.5 3\n");
    const RunResult r = run_rating(g.dir);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\nWarning: the gaugings do not determine the curve at stage 1.5\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("between"), std::string::npos) << r.out;
}
