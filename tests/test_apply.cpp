// `rating apply` as a user runs it: every row of a stage record converted in
// the order read, its time and stage kept as written, the discharge against
// an independent evaluation of the curve file's B-spline, missing and
// unreadable stages, stages far outside the gauged range, NWIS rdb input,
// the refusals, the committed result file and the hydrograph.
#include "CurveFile.h"
#include "RunSupport.h"
#include "Table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using namespace rating;

namespace {

Curve test_curve()
{
    Curve c;
    c.station = "G1";
    c.title = "Test gauge";
    c.nu = 0.5;
    c.degree = 2;
    c.knots = {1.0, 1.0, 1.0, 2.0, 4.0, 4.0, 4.0};
    c.coefficients = {1.0, 2.0, 4.5, 7.0};
    c.stage_range = {1.0, 4.0};
    c.p = 4;
    c.n = 30;
    c.dof = 26;
    c.s = 0.05;
    c.s_m = 0.05;
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++)
            c.covariance.push_back(i == j ? 4e-4 : 1e-4 / (1 + std::abs(i - j)));
    return c;
}

// De Boor's recurrence on the span holding h (the last one closed).
double de_boor(const std::vector<double> &t, const std::vector<double> &c, int k, double h)
{
    int mu = k;
    while (mu + 1 < static_cast<int>(t.size()) - k - 1 && h >= t[static_cast<std::size_t>(mu) + 1])
        mu++;
    std::vector<double> d(c.begin() + (mu - k), c.begin() + (mu + 1));
    for (int r = 1; r <= k; r++)
        for (int j = k; j >= r; j--) {
            const std::size_t i = static_cast<std::size_t>(mu - k + j);
            const double a = (h - t[i]) / (t[i + static_cast<std::size_t>(k - r + 1)] - t[i]);
            d[static_cast<std::size_t>(j)] =
                (1.0 - a) * d[static_cast<std::size_t>(j) - 1] + a * d[static_cast<std::size_t>(j)];
        }
    return d[static_cast<std::size_t>(k)];
}

// The discharge of the curve at h, on its end tangents beyond the range.
double reference_discharge(const Curve &c, double h)
{
    const double end = std::min(std::max(h, c.stage_range.first), c.stage_range.second);
    std::vector<double> dc;
    for (std::size_t i = 1; i < c.coefficients.size(); i++)
        dc.push_back(c.degree * (c.coefficients[i] - c.coefficients[i - 1]) /
                     (c.knots[i + static_cast<std::size_t>(c.degree)] - c.knots[i]));
    const std::vector<double> inner(c.knots.begin() + 1, c.knots.end() - 1);
    const double y =
        de_boor(c.knots, c.coefficients, c.degree, end) + (h - end) * de_boor(inner, dc, c.degree - 1, end);
    return y <= 0.0 ? 0.0 : y * y;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line))
        lines.push_back(line);
    return lines;
}

// The fields of an output row; a quoted first field may hold commas.
std::vector<std::string> fields_of(const std::string &line)
{
    std::vector<std::string> f;
    std::size_t at = 0;
    if (!line.empty() && line[0] == '"') {
        std::string first;
        for (at = 1; at < line.size(); at++) {
            if (line[at] == '"' && at + 1 < line.size() && line[at + 1] == '"')
                first += line[++at];
            else if (line[at] == '"')
                break;
            else
                first += line[at];
        }
        f.push_back(first);
        at += 2;
    }
    std::string rest = line.substr(std::min(at, line.size()));
    std::istringstream s(rest);
    std::string field;
    while (std::getline(s, field, ','))
        f.push_back(field);
    if (!line.empty() && line.back() == ',')
        f.emplace_back();
    return f;
}

class ApplyCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        write_file(path("g.curve.json"), curve_file_text(test_curve(), FitSettings()));
    }
    void TearDown() override { remove_temp_dir(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    RunResult apply(const std::string &options) { return run_rating(dir_, "apply g.curve.json " + options); }
    std::string dir_;
};

// A record as databases export it: a byte-order mark, comments, CRLF,
// quoted fields, times out of order, missing and unreadable stages and
// stages far outside the gauged range 1 to 4.
const char *const kRecord = "\xEF\xBB\xBF# exported 2024-05-01\r\n"
                            "# station G1\r\n"
                            "Date,Level,Note\r\n"
                            "2020-01-01 00:00,1.5,ok\r\n"
                            "2020-01-01 00:15,2.25,\"quoted, with comma\"\r\n"
                            "2020-01-01 00:30,,gap\r\n"
                            "2020-01-01 00:10,3.999,earlier than the row before\r\n"
                            "\"2020-01-01 00:45\",\"2.5\",quoted stage\r\n"
                            "2020-01-01 01:00,abc,unreadable\r\n"
                            "2020-01-01 01:15,NA,R's missing value\r\n"
                            "2020-01-01 01:30,-50,far below\r\n"
                            "2020-01-01 01:45,100,far above\r\n"
                            "2020-01-01 02:00,  0.99 ,just below\r\n"
                            "2020-01-01 02:15,4,the highest gauged stage\r\n"
                            "2020-01-01 02:30\r\n";

} // namespace

TEST_F(ApplyCommand, EveryRowInOrderWithTimeAndStageAsRead)
{
    write_file(path("record.csv"), kRecord);
    const RunResult r = apply("record.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 13u) << r.out;
    EXPECT_EQ(lines[0], "time,stage,discharge,conf_low,conf_high,range");
    struct Expected {
        const char *time, *stage, *range;
        double h; // NaN: missing
    };
    const double none = std::nan("");
    const Expected rows[] = {
        {"2020-01-01 00:00", "1.5", "gauged", 1.5},  {"2020-01-01 00:15", "2.25", "gauged", 2.25},
        {"2020-01-01 00:30", "", "missing", none},   {"2020-01-01 00:10", "3.999", "gauged", 3.999},
        {"2020-01-01 00:45", "2.5", "gauged", 2.5},  {"2020-01-01 01:00", "abc", "missing", none},
        {"2020-01-01 01:15", "NA", "missing", none}, {"2020-01-01 01:30", "-50", "below", -50.0},
        {"2020-01-01 01:45", "100", "above", 100.0}, {"2020-01-01 02:00", "0.99", "below", 0.99},
        {"2020-01-01 02:15", "4", "gauged", 4.0},    {"2020-01-01 02:30", "", "missing", none}};
    const Curve c = test_curve();
    const double t = t_quantile_975(c.dof);
    for (std::size_t i = 0; i < std::size(rows); i++) {
        const std::vector<std::string> f = fields_of(lines[i + 1]);
        ASSERT_EQ(f.size(), 6u) << lines[i + 1];
        EXPECT_EQ(f[0], rows[i].time);
        EXPECT_EQ(f[1], rows[i].stage);
        EXPECT_EQ(f[5], rows[i].range);
        if (std::isnan(rows[i].h)) {
            EXPECT_EQ(f[2] + f[3] + f[4], "") << lines[i + 1];
            continue;
        }
        const double q = reference_discharge(c, rows[i].h);
        EXPECT_NEAR(std::stod(f[2]), q, 1e-9 * q + 1e-300) << lines[i + 1];
        const BandRow band = curve_band(c, rows[i].h, t);
        EXPECT_NEAR(f[3].empty() ? 0.0 : std::stod(f[3]), band.conf_low, 1e-9 * band.conf_low) << lines[i + 1];
        EXPECT_NEAR(std::stod(f[4]), band.conf_high, 1e-9 * band.conf_high) << lines[i + 1];
    }
    EXPECT_NE(r.err.find("rating apply: 12 rows of record.csv\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  gauged              5   41.7 %\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  below               2   16.7 %  lowest stage -50: extrapolated"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("  above               1    8.3 %  highest stage 100: extrapolated"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("  missing             4   33.3 %  empty or unreadable stage, lines 6, 9, 10, 15\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("times earlier than the row before: 1 rows, the first at line 7"), std::string::npos) << r.err;
}

TEST_F(ApplyCommand, NoExtrapolationLeavesValuesBeyondTheRangeEmpty)
{
    write_file(path("record.csv"), "stage\n0.5\n1\n4\n4.5\n");
    const RunResult r = apply("record.csv --no-extrapolation --out q.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> lines = lines_of(read_file(path("q.csv")));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], ",0.5,,,,below");
    EXPECT_EQ(fields_of(lines[2])[5], "gauged");
    EXPECT_EQ(fields_of(lines[3])[2], "49");
    EXPECT_EQ(lines[4], ",4.5,,,,above");
    EXPECT_NE(r.err.find("values left empty (--no-extrapolation)"), std::string::npos) << r.err;
}

TEST_F(ApplyCommand, NwisRdbWithItsFormatLine)
{
    write_file(path("site.rdb"), "# U.S. Geological Survey\n"
                                 "# retrieved: 2024-05-01\n"
                                 "agency_cd\tsite_no\tdatetime\ttz_cd\tgage_height_va\tgage_height_va_cd\n"
                                 "5s\t15s\t20d\t6s\t14n\t10s\n"
                                 "USGS\t11372000\t2020-03-01 00:00\tPST\t2.10\tP\n"
                                 "USGS\t11372000\t2020-03-01 00:15\tPST\t\tP\n"
                                 "USGS\t11372000\t2020-03-01 00:30\tPST\t 4.50\tP\n");
    const RunResult r = apply("site.rdb");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(fields_of(lines[1])[0], "2020-03-01 00:00");
    EXPECT_EQ(fields_of(lines[1])[1], "2.10");
    EXPECT_NEAR(std::stod(fields_of(lines[1])[2]), reference_discharge(test_curve(), 2.1), 1e-9 * 10.0);
    EXPECT_EQ(lines[2], "2020-03-01 00:15,,,,,missing");
    EXPECT_EQ(fields_of(lines[3])[5], "above");
    EXPECT_NE(r.err.find("rating apply: 3 rows of site.rdb"), std::string::npos) << r.err;
}

TEST_F(ApplyCommand, SemicolonsNamedColumnsAndNoTime)
{
    write_file(path("a.csv"), "id;when;W;depth\n1;2020-01-01;9;2,5\n2;2020-01-02;9;3.5\n");
    RunResult r = apply("a.csv --stage depth --time when");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "2020-01-01,\"2,5\",,,,missing"); // a decimal comma is not a stage
    EXPECT_EQ(fields_of(lines[2])[1], "3.5");

    write_file(path("b.csv"), "level\n2\n3\n");
    r = apply("b.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(0, 3), ",2,");
}

TEST_F(ApplyCommand, WrongOptionsGiveUsageAndExitTwo)
{
    write_file(path("b.csv"), "stage\n2\n");
    for (const char *options :
         {"b.csv --bogus", "", "b.csv --plot h.jpg", "b.csv --stage", "b.csv extra", "b.csv --units m", "b.csv --units ,m3/s"}) {
        const RunResult r = apply(options);
        EXPECT_EQ(r.status, 2) << options << "\n" << r.err;
        EXPECT_NE(r.err.find("rating apply"), std::string::npos) << options;
        EXPECT_NE(r.err.find("--no-extrapolation"), std::string::npos) << "usage shown for " << options;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(ApplyCommand, BadCurveFilesAndRecordsAreRefusedWithExitOne)
{
    write_file(path("b.csv"), "stage\n2\n");
    write_file(path("bad.json"), "{\"format\": \"rating-curve\", \"version\": 1, \"nu\": 0.5, \"degree\": 2}\n");
    RunResult r = run_rating(dir_, "apply bad.json b.csv --out q.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nError in file bad.json: the key \"knots\" is missing\n");
    EXPECT_FALSE(file_exists(path("q.csv")));

    write_file(path("nostage.csv"), "# comment\ntime,Q\n2020-01-01,3\n");
    r = apply("nostage.csv --out q.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error in file nostage.csv, line 2: no stage column: expected one of stage, h, W"),
              std::string::npos)
        << r.err;
    r = apply("b.csv --stage level");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error in file b.csv, line 1: no column level (named by --stage)"), std::string::npos)
        << r.err;
    r = apply("b.csv --time when");
    EXPECT_EQ(r.status, 1);
    r = apply(". --out q.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is not a regular file"), std::string::npos) << r.err;
    write_file(path("empty.csv"), "# only a comment\n\n");
    r = apply("empty.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no header line"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("q.csv")));
}

TEST_F(ApplyCommand, ResultFileReplacedWholeOrNotAtAll)
{
    write_file(path("q.csv"), "earlier result\n");
    write_file(path("nostage.csv"), "time,Q\n2020-01-01,3\n");
    EXPECT_EQ(apply("nostage.csv --out q.csv").status, 1);
    EXPECT_EQ(read_file(path("q.csv")), "earlier result\n");

    // Refused after rows were written: a field of 2 MB on line 4000.
    std::string record = "stage\n";
    for (int i = 0; i < 3998; i++)
        record += "2.5\n";
    write_file(path("long.csv"), record + std::string(2 << 20, '7') + "\n");
    RunResult r = apply("long.csv --out q.csv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error in file long.csv, line 4000: a field longer than 1 MB"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(path("q.csv")), "earlier result\n");
    std::remove(path("long.csv").c_str());

    write_file(path("b.csv"), "stage\n2\n3\n");
    r = apply("b.csv --out q.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(path("q.csv")).substr(0, 46), "time,stage,discharge,conf_low,conf_high,range\n");
    std::vector<std::string> names = folder_entries(dir_);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"b.csv", "g.curve.json", "nostage.csv", "q.csv"}));
}

TEST_F(ApplyCommand, HydrographDrawnThroughThePlotScript)
{
    if (run_command("command -v gnuplot >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gnuplot is not installed";
    write_file(path("record.csv"), kRecord);
    RunResult r = apply("record.csv --plot h.png");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("time,stage,", 0), 0u);
    EXPECT_EQ(r.out.find("h.png"), std::string::npos) << "the plot's messages stay off the rows";
    EXPECT_EQ(read_file(path("h.png")).substr(1, 3), "PNG");

    // Without times: against the row number. A title is text, never code.
    Curve c = test_curve();
    c.title = "`touch made1` $(touch made2) \" ' @x system(\"touch made3\")";
    write_file(path("g.curve.json"), curve_file_text(c, FitSettings()));
    write_file(path("b.csv"), "stage,time\n2,$(touch made4)\n3,\n5,x\n");
    r = apply("b.csv --out q.csv --plot rows.png --units '$(touch made5),m3/s'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(path("rows.png")).substr(1, 3), "PNG");
    std::vector<std::string> names = folder_entries(dir_);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"b.csv", "g.curve.json", "h.png", "q.csv", "record.csv", "rows.png"}))
        << "nothing run from the title or the rows, no temporary file left";
}
