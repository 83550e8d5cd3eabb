// The bundled example and the gnuplot plotting script: the example runs, and the
// script draws the observations and the computed curve into a PNG for the
// linear and the log-log view, from the program's files or from hand-made ones;
// it runs nothing taken from the files, draws the bands and the deviations of
// the gaugings from the report files of the same run, and works installed.

#include "ResultFile.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string kPlotScript = std::string(RATING_SOURCE_DIR) + "/plot/plot.sh";

// A fresh temporary folder, removed at the end of the test unless it failed
// (then it is kept for a look at the files and images).
struct TempDir {
    std::string path = make_temp_dir();
    ~TempDir()
    {
        if (!::testing::Test::HasFailure())
            run_command("rm -rf '" + path + "'");
    }
};

bool have_gnuplot()
{
    return run_command("command -v gnuplot >/dev/null 2>&1") == 0;
}

struct PlotRun {
    int status;
    std::string out;
    std::string err;
};

// Runs a plot script (plot/plot.sh unless told otherwise) with the given
// options in dir.
PlotRun run_plot_with(const std::string &dir, const std::string &options, const std::string &script = kPlotScript)
{
    const std::string out = dir + "/.plot-stdout";
    const std::string err = dir + "/.plot-stderr";
    PlotRun r;
    r.status = run_command("cd '" + dir + "' && sh '" + script + "' " + options + " >'" + out + "' 2>'" + err + "'");
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

PlotRun run_plot(const std::string &dir, bool log)
{
    return run_plot_with(dir, log ? "--log" : "");
}

// A PNG file starts with the eight signature bytes and holds more than them.
void expect_png(const std::string &path)
{
    ASSERT_TRUE(file_exists(path)) << path;
    const std::string bytes = read_file(path);
    const std::string signature("\x89PNG\r\n\x1a\n", 8);
    ASSERT_GT(bytes.size(), 1000u) << path;
    EXPECT_EQ(bytes.substr(0, 8), signature) << path;
    // The image header chunk follows the signature.
    EXPECT_EQ(bytes.substr(12, 4), "IHDR") << path;
}

// The script's summary on standard error: what it drew and where.
std::string summary(int observations, int curve_rows, const std::string &png)
{
    return "rating.gp: " + std::to_string(observations) + " observations, " + std::to_string(curve_rows) +
           " curve points -> " + png;
}

// Result file of the program's format: title, two comment lines, an empty
// line, then stage<TAB>discharge rows with no line end after the last.
std::string result_file(const std::string &title, const std::vector<std::pair<double, double>> &rows)
{
    std::string s = title + "\n# Computed rating curve\n# h nu = 0.500 \n";
    for (const auto &r : rows) {
        std::ostringstream row;
        row << "\n" << r.first << "\t" << r.second;
        s += row.str();
    }
    return s;
}

std::string plot_settings(const std::string &shorttitle, const std::string &label)
{
    return "Title = \"" + shorttitle + "\"\nSpline_label = '" + label +
           "'\nhmin = 0.5\nhmax = 2\nQmin = 0.4\nQmax = 30";
}

std::string source_plt(const std::string &folder, const std::string &name)
{
    return "# Control file for single plots\n\nName=\"" + name + "\"\nFolder=\"" + folder + "\"";
}

// A small rating, Q = 8 (h - 0.3)^2, observed at a few stages and tabulated.
std::vector<std::pair<double, double>> rating_rows(double h0, double h1, int steps)
{
    std::vector<std::pair<double, double>> rows;
    for (int i = 0; i <= steps; ++i) {
        const double h = h0 + (h1 - h0) * i / steps;
        rows.push_back({h, 8.0 * (h - 0.3) * (h - 0.3)});
    }
    return rows;
}

// Steps of the hand-made result table (it has one row more).
const int kHandMadeSteps = 40;

// Writes a hand-made data set (gauges/site1 unless told otherwise) with the
// given title line and spline label. Returns the number of observations written.
int write_hand_made(const std::string &dir, const std::string &title_line, const std::string &label,
                    const std::string &folder = "gauges", const std::string &name = "site1")
{
    const std::string base = dir + "/" + folder + "/" + name;
    ::mkdir((dir + "/" + folder).c_str(), 0755);  // no shell: the folder's name may hold anything
    write_file(dir + "/Source.plt", source_plt(folder, name));
    const auto obs = rating_rows(0.5, 2.0, 11);
    std::string dat = title_line + "\n";
    for (std::size_t i = 0; i < obs.size(); ++i) {
        std::ostringstream line;
        line << obs[i].first << "  " << obs[i].second * (i % 2 ? 1.04 : 0.97) << "  2001-05-0" << i % 9 + 1
             << " wading\n";
        dat += line.str();
        if (i == 4)
            dat += "\n";  // a blank line is not an observation
    }
    write_file(base + ".dat", dat);
    write_file(base + ".res", result_file(title_line, rating_rows(0.5, 2.0, kHandMadeSteps)));
    write_file(base + ".plt", plot_settings(title_line.substr(2), label));
    return static_cast<int>(obs.size());
}

// The example as copied into dir, with any output of an earlier run removed.
void copy_example(const std::string &dir)
{
    ASSERT_EQ(run_command("cp -R '" RATING_SOURCE_DIR "/examples/.' '" + dir + "'"), 0);
    run_command("cd '" + dir + "' && rm -f Source.plt */*.res */*.plt */*.png");
}

// Folder and data-set name from Control.dat.
void read_control(const std::string &dir, std::string &folder, std::string &name)
{
    std::istringstream in(read_file(dir + "/Control.dat"));
    in >> folder >> name;
}

// Nout, the fourth value of Settings.dat (after its header line).
int read_nout(const std::string &dir)
{
    std::istringstream in(read_file(dir + "/Settings.dat"));
    std::string line;
    std::getline(in, line);
    int nout = -1;
    for (int k = 1; k <= 4 && std::getline(in, line); ++k)
        if (k == 4)
            std::istringstream(line) >> nout;
    return nout;
}

// Lines after the title line that begin with two numbers.
int count_observations(const std::string &datafile)
{
    std::istringstream in(read_file(datafile));
    std::string line;
    std::getline(in, line);
    int n = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double h, q;
        if (fields >> h >> q)
            ++n;
    }
    return n;
}

// Report files of the hand-made set (rating --report), naming its table by
// its digest: bands of 3 % and 9 % about the curve, the gaugings with one
// outlier 35 % off and one row that is not numbers, and the given standard
// error in per cent ("null" when unknown).
void write_report(const std::string &dir, const std::string &se)
{
    const std::string digest = sha256_hex(read_file(dir + "/gauges/site1.res"));
    std::ostringstream band, gaugings;
    band << "# results sha256 " << digest << "\n";
    band << "h,Q,conf_low,conf_high,pred_low,pred_high";
    for (const auto &r : rating_rows(0.5, 2.0, kHandMadeSteps))
        band << "\n" << r.first << "," << r.second << "," << 0.97 * r.second << "," << 1.03 * r.second << ","
             << 0.91 * r.second << "," << 1.09 * r.second;
    gaugings << "# results sha256 " << digest << "\n";
    gaugings << "line,h,Q,Q_fit,deviation_pct,residual_nu,interval,outlier\n";
    const auto obs = rating_rows(0.5, 2.0, 11);
    for (std::size_t i = 0; i < obs.size(); ++i) {
        const double dev = i == 6 ? 35 : i % 2 ? 4 : -3;
        gaugings << i + 2 << "," << obs[i].first << "," << obs[i].second * (1 + dev / 100) << "," << obs[i].second
                 << "," << dev << ",0.01,1," << (i == 6) << "\n";
    }
    gaugings << "40,1.1,9,9,4; system(\"touch MARK\"),0.01,1,0\n";
    write_file(dir + "/gauges/site1.band.csv", band.str());
    write_file(dir + "/gauges/site1.gaugings.csv", gaugings.str());
    write_file(dir + "/gauges/site1.summary.json",
               "{\n  \"results_sha256\": \"" + digest + "\",\n  \"observations\": 12,\n  \"standard_error_pct\": " +
                   se + ",\n  \"intervals\": 3\n}\n");
}

// The table of the hand-made set replaced by another curve's, with the times
// of every file of the set made equal (as tar or a coarse clock leave them).
void replace_curve(const std::string &dir)
{
    std::vector<std::pair<double, double>> rows = rating_rows(0.5, 2.0, kHandMadeSteps);
    for (auto &row : rows)
        row.second *= 1.2;
    write_file(dir + "/gauges/site1.res", result_file("# Site", rows));
    ASSERT_EQ(run_command("cd '" + dir + "/gauges' && touch -d '2001-01-01 00:00:00' *"), 0);
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(Example, FilesAreInTheProgramsFormat)
{
    const std::string dir = RATING_SOURCE_DIR "/examples";
    std::string folder, name;
    read_control(dir, folder, name);
    ASSERT_FALSE(folder.empty());
    ASSERT_FALSE(name.empty());
    const std::string dat = read_file(dir + "/" + folder + "/" + name + ".dat");
    // Title line whose first two characters are dropped for the short title.
    EXPECT_EQ(dat.substr(0, 2), "# ");
    EXPECT_EQ(count_observations(dir + "/" + folder + "/" + name + ".dat"), 126);
    EXPECT_GT(read_nout(dir), 0);
}

TEST(Plot, ExampleRunPlotsBothViews)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    TempDir tmp;
    const std::string &dir = tmp.path;
    copy_example(dir);
    std::string folder, name;
    read_control(dir, folder, name);
    const std::string base = folder + "/" + name;

    const RunResult run = run_rating(dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_TRUE(file_exists(dir + "/Source.plt"));
    ASSERT_TRUE(file_exists(dir + "/" + base + ".res"));
    ASSERT_TRUE(file_exists(dir + "/" + base + ".plt"));

    const int observations = count_observations(dir + "/" + base + ".dat");
    const int curve_rows = read_nout(dir) + 1;

    const PlotRun linear = run_plot(dir, false);
    ASSERT_EQ(linear.status, 0) << linear.err;
    EXPECT_EQ(linear.out, base + ".png\n");
    expect_png(dir + "/" + base + ".png");
    EXPECT_NE(linear.err.find(summary(observations, curve_rows, base + ".png")), std::string::npos) << linear.err;

    const PlotRun log = run_plot(dir, true);
    ASSERT_EQ(log.status, 0) << log.err;
    EXPECT_EQ(log.out, base + "-log.png\n");
    expect_png(dir + "/" + base + "-log.png");
    EXPECT_NE(log.err.find(summary(observations, curve_rows, base + "-log.png")), std::string::npos) << log.err;
}

// The title line and the result header are skipped by count, whatever they
// begin with: a title that is a comment to gnuplot must not cost an observation,
// and one that starts with numbers must not become one. Both spline labels.
TEST(Plot, HandMadeFilesAllRowsDrawn)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"# Site A", " - splines: 3 intervals, knot stages automatic"},
        {"12 34 gauge at the mill", " - sploines: 4 intervals, knot stages from file"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        TempDir tmp;
        const std::string &dir = tmp.path;
        const int n = write_hand_made(dir, c.first, c.second);
        for (bool log : {false, true}) {
            const std::string png = std::string("gauges/site1") + (log ? "-log.png" : ".png");
            const PlotRun r = run_plot(dir, log);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, png + "\n");
            expect_png(dir + "/" + png);
            EXPECT_NE(r.err.find(summary(n, kHandMadeSteps + 1, png)), std::string::npos) << r.err;
            // Stages above zero: the log view has a log stage axis too.
            EXPECT_EQ(r.err.find("stage axis kept linear"), std::string::npos) << r.err;
        }
    }
}

// A log axis cannot show stages of zero or below: the log view keeps the stage
// axis linear and still draws.
TEST(Plot, LogViewWithStagesBelowZero)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    TempDir tmp;
    const std::string &dir = tmp.path;
    run_command("mkdir -p '" + dir + "/gauges'");
    write_file(dir + "/Source.plt", source_plt("gauges", "site1"));
    write_file(dir + "/gauges/site1.dat", "# Site C\n-0.4 0.2\n0.1 1.5\n0.6 4.1\n1.2 9.8\n");
    write_file(dir + "/gauges/site1.res",
               result_file("# Site C", {{-0.4, 1e-20}, {0.0, 0.9}, {0.4, 3.0}, {0.8, 6.2}, {1.2, 9.9}}));
    write_file(dir + "/gauges/site1.plt", plot_settings("Site C", " - splines: 1 intervals, knot stages automatic"));
    const PlotRun r = run_plot(dir, true);
    ASSERT_EQ(r.status, 0) << r.err;
    expect_png(dir + "/gauges/site1-log.png");
    EXPECT_NE(r.err.find(summary(4, 5, "gauges/site1-log.png")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("stage axis kept linear"), std::string::npos) << r.err;
}

TEST(Plot, FailsWithoutSourcePlt)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    TempDir tmp;
    const std::string &dir = tmp.path;
    const PlotRun r = run_plot(dir, false);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("Source.plt"), std::string::npos) << r.err;
}

// Each data-set file the plot needs: without it the script fails and writes no
// image, rather than drawing from values left over from another file.
TEST(Plot, FailsWhenADataSetFileIsMissing)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    for (const std::string ext : {".dat", ".res", ".plt"}) {
        SCOPED_TRACE(ext);
        TempDir tmp;
        const std::string &dir = tmp.path;
        write_hand_made(dir, "# Site D", " - splines: 3 intervals, knot stages automatic");
        std::remove((dir + "/gauges/site1" + ext).c_str());
        const PlotRun r = run_plot(dir, false);
        EXPECT_NE(r.status, 0) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_FALSE(file_exists(dir + "/gauges/site1.png"));
    }
}

TEST(Plot, RejectsUnknownOption)
{
    TempDir tmp;
    const std::string &dir = tmp.path;
    const int status = run_command("cd '" + dir + "' && sh '" + kPlotScript + "' --bogus >/dev/null 2>&1");
    EXPECT_EQ(status, 2);
}

TEST(Plot, ClearMessageWhenGnuplotIsMissing)
{
    // A PATH without gnuplot (the script needs no other program before it looks).
    TempDir tmp;
    const std::string &dir = tmp.path;
    const std::string err = dir + "/.err";
    run_command("mkdir '" + dir + "/bin'");
    const int status = run_command("cd '" + dir + "' && PATH='" + dir + "/bin' /bin/sh '" + kPlotScript + "' 2>'" +
                                   err + "'");
    EXPECT_EQ(status, 127);
    EXPECT_NE(read_file(err).find("gnuplot"), std::string::npos);
}

// Titles, names and folders are data: whatever they hold, the plot runs nothing
// from them (neither gnuplot nor the shell), draws, and shows the title as
// written. A command here would create MARK in the working folder.
TEST(PlotSafety, HostileTitlesNamesAndFoldersRunNothing)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    struct Case {
        std::string folder, name, title;
    };
    const std::vector<Case> cases = {
        {"gauges", "site1", "# gauge X\"; system(\"touch MARK\"); z=\""},
        {"gauges", "site1", "# `touch MARK` $(touch MARK) @Title \\ \\\" 'q' \xc3\xa9 %s"},
        {"gauges", "site1", "# River \"North\" at 5\" bridge, 'old' ford"},
        {"gauges", "a\"b`touch MARK`'$(touch MARK)", "# t"},
        {"gauges", "<touch MARK", "# t"},
        {"|touch MARK", "site1", "# t"},
        {"-x", "+", "# t"},
        {"gauges", "\"); system(\"touch MARK\"); x=(\"", "# t"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.folder + " / " + c.name + " / " + c.title);
        TempDir tmp;
        const std::string &dir = tmp.path;
        const std::string base = c.folder + "/" + c.name;
        const int n = write_hand_made(dir, c.title, " - splines: 3 intervals", c.folder, c.name);
        const PlotRun svg = run_plot_with(dir, "--svg");
        ASSERT_EQ(svg.status, 0) << svg.err;
        EXPECT_EQ(svg.out, base + ".svg\n");
        EXPECT_TRUE(contains(read_file(dir + "/" + base + ".svg"), "<text>" + c.title.substr(2) + "</text>"));
        const PlotRun log = run_plot(dir, true);
        ASSERT_EQ(log.status, 0) << log.err;
        expect_png(dir + "/" + base + "-log.png");
        EXPECT_TRUE(contains(log.err, summary(n, kHandMadeSteps + 1, base + "-log.png"))) << log.err;
        EXPECT_FALSE(file_exists(dir + "/MARK"));
    }
}

// The bands are drawn in both views when the band file names the table drawn,
// and not at all when it names another, whatever the files' times.
TEST(PlotReport, BandsOnlyFromTheRunOfTheCurve)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    TempDir tmp;
    const std::string &dir = tmp.path;
    write_hand_made(dir, "# Site E", " - splines: 3 intervals, knot stages automatic");
    write_report(dir, "4.5");
    const std::string shading = "<title>95 % confidence band of the curve</title>";
    for (const std::string view : {"", "-log"}) {
        SCOPED_TRACE(view);
        const PlotRun r = run_plot_with(dir, "--svg" + std::string(view.empty() ? "" : " --log"));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string svg = read_file(dir + "/gauges/site1" + view + ".svg");
        // The shading is a translucent filled polygon of the band's plot.
        const std::size_t band = svg.find(shading);
        ASSERT_NE(band, std::string::npos);
        EXPECT_LT(svg.find("fill-opacity", band), svg.find("<title>", band + shading.size()));
        EXPECT_TRUE(contains(svg, "95 % prediction band of a gauging"));
    }
    replace_curve(dir);
    const PlotRun r = run_plot_with(dir, "--svg");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "gauges/site1.band.csv belongs to other results than gauges/site1.res (an earlier "
                                "run) - not used"))
        << r.err;
    const std::string svg = read_file(dir + "/gauges/site1.svg");
    EXPECT_FALSE(contains(svg, "confidence band"));
    EXPECT_FALSE(contains(svg, "fill-opacity"));
}

// The linear view adds the deviations of the gaugings: ±2 Se lines when the
// summary gives Se, none when it does not; the outlier marked with its line;
// rows and values that are not numbers left out.
TEST(PlotReport, ResidualPlotWithAndWithoutSe)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    TempDir tmp;
    const std::string &dir = tmp.path;
    write_hand_made(dir, "# Site F", " - splines: 3 intervals, knot stages automatic");
    const std::string residuals = dir + "/gauges/site1-residuals.svg";
    for (const std::string se : {"4.5", "null", "4.5; system(\"touch MARK\")"}) {
        SCOPED_TRACE(se);
        write_report(dir, se);
        const PlotRun r = run_plot_with(dir, "--svg");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "gauges/site1.svg\ngauges/site1-residuals.svg\n");
        const std::string svg = read_file(residuals);
        EXPECT_TRUE(contains(svg, "Gaugings (11)"));
        EXPECT_TRUE(contains(svg, "Outliers (1)"));
        EXPECT_TRUE(contains(svg, "line 8"));
        EXPECT_EQ(contains(svg, "±2 Se = ±9 %"), se == "4.5");
        EXPECT_EQ(contains(r.err, "no standard error"), se != "4.5") << r.err;
        EXPECT_TRUE(contains(r.err, "rows left out as not numbers: 1")) << r.err;
    }
    EXPECT_FALSE(file_exists(dir + "/MARK"));
    // The log view draws no deviations; stale gaugings give none either, and
    // the picture from the earlier curve goes.
    const PlotRun log = run_plot_with(dir, "--svg --log");
    ASSERT_EQ(log.status, 0) << log.err;
    EXPECT_EQ(log.out, "gauges/site1-log.svg\n");
    replace_curve(dir);
    const PlotRun stale = run_plot_with(dir, "--svg");
    ASSERT_EQ(stale.status, 0) << stale.err;
    EXPECT_EQ(stale.out, "gauges/site1.svg\n");
    EXPECT_FALSE(file_exists(residuals));
}

// Installed, the script is <prefix>/bin/rating-plot and finds rating.gp in
// <prefix>/share/rating; without it there it fails and says what is missing.
TEST(PlotInstall, FindsTheGnuplotFileInTheSharedFolder)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    TempDir tmp;
    const std::string prefix = tmp.path + "/prefix";
    const std::string work = tmp.path + "/work";
    ASSERT_EQ(run_command("mkdir -p '" + prefix + "/bin' '" + prefix + "/share/rating' '" + work + "' && cp '" +
                          kPlotScript + "' '" + prefix + "/bin/rating-plot' && cp '" RATING_SOURCE_DIR
                          "/plot/rating.gp' '" + prefix + "/share/rating/'"),
              0);
    write_hand_made(work, "# Site G", " - splines: 3 intervals, knot stages automatic");
    const PlotRun r = run_plot_with(work, "", prefix + "/bin/rating-plot");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "gauges/site1.png\n");
    expect_png(work + "/gauges/site1.png");

    std::remove((prefix + "/share/rating/rating.gp").c_str());
    const PlotRun missing = run_plot_with(work, "", prefix + "/bin/rating-plot");
    EXPECT_NE(missing.status, 0);
    EXPECT_TRUE(missing.out.empty()) << missing.out;
    EXPECT_TRUE(contains(missing.err, "rating.gp")) << missing.err;
}

// While the journal of a commit cut short stands, the results may be half
// old, half new: nothing is drawn. A data file changed after the table was
// written is noted, and the plot drawn.
TEST(PlotReport, HalfCommittedResultsAreNotDrawnAndNewerGaugingsAreNoted)
{
    if (!have_gnuplot())
        GTEST_SKIP() << "gnuplot is not installed";
    TempDir tmp;
    const std::string &dir = tmp.path;
    write_hand_made(dir, "# Site H", " - splines: 3 intervals, knot stages automatic");
    write_file(dir + "/gauges/site1.journal", "rating commit journal 1\n");
    PlotRun r = run_plot(dir, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "gauges/site1.journal stands")) << r.err;
    EXPECT_FALSE(file_exists(dir + "/gauges/site1.png"));
    std::remove((dir + "/gauges/site1.journal").c_str());

    ASSERT_EQ(run_command("touch -d '2001-01-01' '" + dir + "/gauges/site1.res'"), 0);
    r = run_plot(dir, false);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "gauges/site1.dat has changed since gauges/site1.res was written")) << r.err;
    expect_png(dir + "/gauges/site1.png");
}
