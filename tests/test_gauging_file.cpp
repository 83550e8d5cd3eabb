// Reading gauging files: CSV as exported by databases and spreadsheets, USGS
// NWIS rdb files, the period, the station picked and every refusal with its
// place in the file.
#include "GaugingFile.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <random>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

using namespace rating;

namespace {

Result<GaugingFile> read(const std::string &text, const ReadOptions &options = ReadOptions())
{
    return read_gauging_text(text, "f.csv", options);
}

// The one station of a file that reads.
Station only_station(const std::string &text, const ReadOptions &options = ReadOptions())
{
    const Result<GaugingFile> file = read(text, options);
    EXPECT_TRUE(file.ok()) << (file.ok() ? "" : error_text(file.error()));
    const Result<Station> station = file.ok() ? pick_station(file.value(), "") : Result<Station>(Station());
    EXPECT_TRUE(station.ok()) << (station.ok() ? "" : error_text(station.error()));
    return station.ok() ? station.value() : Station();
}

// The message of a file refused, or of its only station's refused row.
std::string refusal(const std::string &text, const ReadOptions &options = ReadOptions())
{
    const Result<GaugingFile> file = read(text, options);
    if (!file)
        return error_text(file.error());
    const Result<Station> station = pick_station(file.value(), "");
    return station.ok() ? "read" : error_text(station.error());
}

std::vector<LineNumber> lines_of(const Station &s)
{
    std::vector<LineNumber> lines;
    for (const Gauging &g : s.gaugings)
        lines.push_back(g.line);
    return lines;
}

TEST(NwisFile, IsRecognisedByItsFormatLineAndReadWithGradesAndFlags)
{
    const std::string rdb =
        "#\n# U.S. Geological Survey, \"field measurements\"\n#\n#  gage_height_va   Gage height (feet)\n#\n"
        "agency_cd\tsite_no\tmeasurement_nu\tmeasurement_dt\ttz_cd\tq_meas_used_fg\tparty_nm\tgage_height_va\t"
        "discharge_va\tmeasured_rating_diff\n"
        "5s\t15s\t6s\t19d\t14s\t1s\t12s\t12s\t12s\t12s\n"
        "USGS\t01646500\t1\t1990-10-02 10:00:00\tEST\tYes\tAB/CD\t3.10\t1500\tGood\n"
        "USGS\t01646500\t2\t1991-04-17 13:45:00\tEDT\tNo\tAB\t5.02\t4000\tPoor\n"
        "USGS\t01646500\t3\t1991-06-01\tEDT\tYes\tAB\t\t120\tFair\n"
        "USGS\t01646500\t4\t1992-01-09 09:10\tEST\tyes\tCD\t2.50\t800\tUnspecified\n"
        "USGS\t01646500\t5\t1992-02-09 09:10:00\tEST\t\tCD\t2.55\t0\tExcellent\n"
        "USGS\t01646500\t6\t1992-03-09 09:10:00\tEST\tYes\tCD\t2.60\t900\t\n";
    const Result<GaugingFile> file = read_gauging_text(rdb, "site.rdb", ReadOptions());
    ASSERT_TRUE(file.ok()) << error_text(file.error());
    EXPECT_EQ(file.value().format, FileFormat::nwis);
    EXPECT_TRUE(file.value().has_station_column && file.value().has_date_column && file.value().has_uncertainty_column);
    EXPECT_EQ(file.value().header_line, 6);
    const Station s = pick_station(file.value(), "01646500").value();
    EXPECT_EQ(lines_of(s), (std::vector<LineNumber>{8, 9, 11, 12, 13}));
    EXPECT_EQ(s.skipped_lines, std::vector<LineNumber>{10});
    EXPECT_DOUBLE_EQ(s.gaugings[0].stage, 3.10);
    EXPECT_DOUBLE_EQ(s.gaugings[0].discharge, 1500.0);
    EXPECT_DOUBLE_EQ(s.gaugings[0].sigma, 1500.0 * 5 / 200);  // Good: 5 % at two standard deviations
    EXPECT_DOUBLE_EQ(s.gaugings[1].sigma, 4000.0 * 12 / 200);
    EXPECT_TRUE(std::isnan(s.gaugings[2].sigma));
    EXPECT_EQ(s.gaugings[3].sigma, 0.0);  // Excellent, of a discharge of 0
    EXPECT_TRUE(std::isnan(s.gaugings[4].sigma));
    EXPECT_EQ(
        std::vector<bool>({s.gaugings[0].active, s.gaugings[1].active, s.gaugings[2].active, s.gaugings[3].active}),
        std::vector<bool>({true, false, true, true}));
    EXPECT_EQ(s.gaugings[1].date, "1991-04-17 13:45:00");
    EXPECT_EQ(s.gaugings[1].time, 671895900);

    std::string bad = rdb;
    bad.replace(bad.find("Poor"), 4, "Bad");
    EXPECT_EQ(error_text(pick_station(read_gauging_text(bad, "site.rdb", ReadOptions()).value(), "").error()),
              "\nError in file site.rdb, line 9, column 10 (measured_rating_diff): expected a measurement grade: "
              "Excellent, Good, Fair, Poor or Unspecified\n");
}

TEST(CsvFile, ReadsBomCrlfQuotesSemicolonsTabsAndDecimalCommas)
{
    const Station s = only_station("\xEF\xBB\xBF# exported\r\n\"note\",\"h\",\"Q\"\r\n\"a, \"\"b\"\"\",1.5,2\r\n"
                                   "\r\n\"two\r\nlines\",2.5,\"4e1\"\r\nx,3,5");
    EXPECT_EQ(lines_of(s), (std::vector<LineNumber>{3, 5, 7}));
    EXPECT_DOUBLE_EQ(s.gaugings[1].discharge, 40.0);
    EXPECT_EQ(only_station("stage;Q;date\n1.5;2;2001-02-03\n").gaugings.at(0).date, "2001-02-03");
    EXPECT_EQ(only_station("level\tdischarge\n 1.5 \t2\n").gaugings.at(0).stage, 1.5);
    EXPECT_FALSE(std::signbit(only_station("h,Q\n+1,-0\n").gaugings.at(0).discharge));

    ReadOptions comma;
    comma.decimal_comma = true;
    const Station european = only_station("h;Q;uQ\n1,5;2,25;0,1\n-0,5;3;\n", comma);
    EXPECT_EQ(european.gaugings.at(0).discharge, 2.25);
    EXPECT_EQ(european.gaugings.at(1).stage, -0.5);
    EXPECT_EQ(european.gaugings.at(0).sigma, 0.1);
    EXPECT_EQ(refusal("h;Q\n1,5;2\n"),
              "\nError in file f.csv, line 2, column 1 (h): expected a number (decimal comma: use --decimal-comma)\n");
    EXPECT_EQ(refusal("h;Q\n1.5;2\n", comma),
              "\nError in file f.csv, line 2, column 1 (h): expected a number with a decimal comma\n");
    comma.delimiter = ',';
    EXPECT_EQ(only_station("h,Q\n\"1,5\",2\n", comma).gaugings.at(0).stage, 1.5);
}

TEST(CsvFile, RefusesEveryBadFieldWithItsLineAndColumn)
{
    const std::string head = "# two comment lines\n#\nstation,date,h,Q,uQ,active\n";
    // A good row and a blank line first: the refused row is on line 6.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"s,,abc,1,,", "column 3 (h): expected a number"},
        {"s,,1,-2,,", "column 4 (Q): expected a discharge of 0 or more"},
        {"s,,1,2,-0.1,", "column 5 (uQ): expected an uncertainty of 0 or more"},
        {"s,,1,2,,maybe", "column 6 (active): expected an active flag: empty, yes, no, true, false, 1 or 0"},
        {"s,1985-02-30,1,2,,", "column 2 (date): expected a date as YYYY-MM-DD or YYYY-MM-DD hh:mm[:ss]"},
        {"s,1985-02-03 24:00,1,2,,", "column 2 (date): expected a date as YYYY-MM-DD or YYYY-MM-DD hh:mm[:ss]"},
        {"s,,1,inf,,", "column 4 (Q): expected a number"},
        {"s,,1,2\"x,,", "column 4 (Q): expected a quote only around a whole field, and doubled inside it"},
        {"s,,\"1\nx\"y,2,,", "column 3 (h): expected a quote only around a whole field, and doubled inside it"},
    };
    for (const auto &[row, message] : cases)
        EXPECT_EQ(refusal(head + "s,,0.5,1,,\n\n" + row + "\n"), "\nError in file f.csv, line 6, " + message + "\n")
            << row;
    EXPECT_EQ(refusal(head + "s,,1,2,,,\n"),
              "\nError in file f.csv, line 4: expected 6 fields as the header has, found 7\n");
    EXPECT_EQ(
        refusal(head + "s,,1,2,,\n\"s,,3,4,,\n"),
        "\nError in file f.csv, line 5, column 1 (station): expected the closing quote of a field that runs to the "
        "end of the file\n");
    EXPECT_EQ(refusal(head + "s,1\n"), "\nError in file f.csv, line 4: expected 6 fields as the header has, found 2\n");
    EXPECT_EQ(refusal(",1\n"), "\nError in file f.csv, line 1: expected a stage column in the header: stage, h, W, "
                               "gage_height_va or level (or one named with --stage)\n");
    EXPECT_EQ(refusal("h,x\n"), "\nError in file f.csv, line 1: expected a discharge column in the header: discharge, "
                                "Q or discharge_va (or one named with --discharge)\n");
    EXPECT_EQ(refusal("# only a comment\n\n"), "\nError in file f.csv: expected a header line naming the columns\n");
    EXPECT_EQ(refusal(""), "\nError in file f.csv: expected a header line naming the columns\n");
    ReadOptions named;
    named.uncertainty = "sigma";
    EXPECT_EQ(refusal("h,Q\n", named), "\nError in file f.csv, line 1: expected a column \"sigma\" in the header, as "
                                       "--uncertainty names\n");
}

TEST(CsvFile, AMalformedRowRefusesOnlyItsStationAndReadingGoesOn)
{
    const Result<GaugingFile> file =
        read("station,note,h,Q\na,,1,2\nb,,\"1\"x,2\nc,,1,2\nb,,1,2\na,\"two\nlines\",3,4\nc,,5,6\n");
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(error_text(pick_station(file.value(), "b").error()),
              "\nError in file f.csv, line 3, column 3 (h): expected a quote only around a whole field, and doubled "
              "inside it\n");
    EXPECT_EQ(lines_of(pick_station(file.value(), "a").value()), (std::vector<LineNumber>{2, 6}));
    EXPECT_EQ(lines_of(pick_station(file.value(), "c").value()), (std::vector<LineNumber>{4, 8}));
}

TEST(CsvFile, TakesTheFirstUsualNameOfEachListOrTheNamedColumn)
{
    const std::string text = "LEVEL,Stage,q,ID,Name,uQ,q_sigma,Active\n1,2,3,x,The Gauge,0.5,0.25,no\n";
    const Result<GaugingFile> file = read(text);
    ASSERT_TRUE(file.ok());
    const Station s = pick_station(file.value(), "x").value();
    EXPECT_EQ(s.name, "The Gauge");
    EXPECT_EQ(s.gaugings.at(0).stage, 2.0);  // stage comes before level in the list
    EXPECT_EQ(s.gaugings.at(0).sigma, 0.25);
    EXPECT_FALSE(s.gaugings.at(0).active);
    EXPECT_FALSE(file.value().has_date_column);

    ReadOptions named;
    named.stage = "level";
    named.uncertainty = "UQ";
    named.uncertainty_unit = UncertaintyUnit::percent_sd;
    const Gauging g = pick_station(read(text, named).value(), "x").value().gaugings.at(0);
    EXPECT_EQ(g.stage, 1.0);
    EXPECT_DOUBLE_EQ(g.sigma, 3.0 * 0.5 / 100);
    named.uncertainty_unit = UncertaintyUnit::percent_95;
    EXPECT_DOUBLE_EQ(pick_station(read(text, named).value(), "x").value().gaugings.at(0).sigma, 3.0 * 0.5 / 200);
    named.active = "q";  // instead of Active
    EXPECT_EQ(
        error_text(pick_station(read(text, named).value(), "x").error()),
        "\nError in file f.csv, line 2, column 3 (q): expected an active flag: empty, yes, no, true, false, 1 or 0\n");
    EXPECT_EQ(
        refusal("h,q\n1,2\n",
                [] {
                    ReadOptions o;
                    o.discharge = "h";
                    return o;
                }()),
        "\nError in file f.csv, line 1, column 1 (h): expected the stage and the discharge in different columns\n");
}

TEST(Period, KeepsTheDatedRowsWithinItChecksNothingElseAndCountsTheUndated)
{
    const std::string text = "date,h,Q\n1999-12-31 23:59:59,x,1\n2000-01-01,1,1\n,2,2\nNA,3,3\n2000-06-30T23:59,4,4\n"
                             "2000-07-01,y,1\n2000-06-15,,5\n2000-07-01 00:00:01,5,5\n";
    ReadOptions period;
    period.from = "2000-01-01";
    period.to = "2000-06-30";
    Station s = only_station(text, period);
    EXPECT_EQ(lines_of(s), (std::vector<LineNumber>{3, 6}));
    EXPECT_EQ(s.undated_left_out, 2);
    EXPECT_EQ(s.skipped_lines, std::vector<LineNumber>{8});
    period.to = "2000-07-01 00:00";
    EXPECT_EQ(refusal(text, period), "\nError in file f.csv, line 7, column 2 (h): expected a number\n");
    period.to.clear();
    period.from = "2000-07-01 00:00:01";
    EXPECT_EQ(lines_of(only_station(text, period)), std::vector<LineNumber>{9});
    period.from = "2000-13-01";
    EXPECT_EQ(refusal(text, period),
              "\nError: --from: expected a date as YYYY-MM-DD or YYYY-MM-DD hh:mm[:ss], not \"2000-13-01\"\n");
    period.from = "2001-01-01";
    period.to = "2000-01-01";
    EXPECT_EQ(refusal(text, period), "\nError: --from 2001-01-01 is later than --to 2000-01-01\n");
    EXPECT_EQ(
        refusal("date,h,Q\n2000-01-01 1:00,1,1\n"),
        "\nError in file f.csv, line 2, column 1 (date): expected a date as YYYY-MM-DD or YYYY-MM-DD hh:mm[:ss]\n");
}

TEST(DateTime, ReadsTheIsoLayoutsOnly)
{
    EXPECT_EQ(parse_date_time("1970-01-01", false), 0);
    EXPECT_EQ(parse_date_time("1970-01-01", true), 86399);
    EXPECT_EQ(parse_date_time("1985-11-05 14:30", true), 500049000);
    EXPECT_EQ(parse_date_time("1985-11-05T14:30:00.250", false), 500049000);
    EXPECT_EQ(parse_date_time("2000-02-29", false), 951782400);
    EXPECT_EQ(parse_date_time("1900-01-01", false), -2208988800LL);
    for (const char *bad :
         {"1900-02-29", "2000-1-01", "2000-01-01 12", "2000-01-01 12:60", "2000-01-01 12:00:60", "2000-01-01X12:00",
          "2000-01-01 12:00:00.", "2000-01-01 12:00:00Z", "+200-01-01", "20000101"})
        EXPECT_FALSE(parse_date_time(bad, false).has_value()) << bad;
}

TEST(PickStation, NamesTheStationsOrRefusesTheSiteOrThePickedRow)
{
    std::string text = "site_no,h,Q\n";
    for (int i = 0; i < 12; ++i)
        text += "s" + std::to_string(i) + ",1,2\n";
    text += "s3,x,2\n\xff\xfe,1,2\n";
    const GaugingFile file = read(text).value();
    EXPECT_EQ(
        error_text(pick_station(file, "").error()),
        "\nError in file f.csv: expected --site to pick one of its 13 stations: s0, s1, s2, s3, s4, s5, s6, s7, s8, "
        "s9 and 3 more\n");
    EXPECT_EQ(error_text(pick_station(file, "s99").error()),
              "\nError in file f.csv: expected --site to name one of its 13 stations, not s99: s0, s1, s2, s3, s4, s5, "
              "s6, s7, s8, s9 and 3 more\n");
    EXPECT_EQ(error_text(pick_station(file, "s3").error()),
              "\nError in file f.csv, line 14, column 2 (h): expected a number\n");
    EXPECT_EQ(pick_station(file, "s4").value().gaugings.size(), 1u);
    EXPECT_EQ(pick_station(file, "\xff\xfe").value().id, "\xff\xfe");
    EXPECT_EQ(error_text(pick_station(read("h,Q\n1,2\n").value(), "s1").error()),
              "\nError in file f.csv: --site s1 given, but expected a station column for it: station, station_number, "
              "site_no or id (or one named with --station)\n");
}

TEST(GaugingFile, ReadsTheUsgsFieldMeasurementsIntoSixtyStationsInOrder)
{
    const std::string path = RATING_SOURCE_DIR "/tests/data/usgs-field-measurements.csv";
    const Result<GaugingFile> file = read_gauging_file(path, ReadOptions());
    ASSERT_TRUE(file.ok()) << error_text(file.error());
    // The order of first appearance, from the file's lines themselves.
    std::vector<std::string> order;
    std::size_t rows = 0;
    std::istringstream lines(read_file(path));
    std::string line;
    std::getline(lines, line);
    for (; std::getline(lines, line); ++rows) {
        const std::size_t from = line.find(",\"") + 2;
        const std::string id = line.substr(from, line.find('"', from) - from);
        if (std::find(order.begin(), order.end(), id) == order.end())
            order.push_back(id);
    }
    ASSERT_EQ(file.value().stations.size(), 60u);
    std::size_t read_rows = 0;
    for (std::size_t i = 0; i < 60; ++i) {
        const Station &s = file.value().stations[i];
        EXPECT_EQ(s.id, order[i]);
        EXPECT_FALSE(s.refused.has_value());
        EXPECT_FALSE(s.name.empty());
        read_rows += s.gaugings.size();
    }
    EXPECT_EQ(read_rows, rows);
    EXPECT_EQ(read_rows, 3951u);
    const Gauging &first = file.value().stations[0].gaugings[0];
    EXPECT_EQ(first.line, 2);
    EXPECT_EQ(first.date, "1985-11-05");
    EXPECT_DOUBLE_EQ(first.stage, 1.030224);
    EXPECT_DOUBLE_EQ(first.discharge, 0.1118515440384);
}

TEST(GaugingFile, ReadsInPiecesAsFromMemoryAndRefusesWhatIsNoFile)
{
    // Rows long enough that the reading's pieces end inside quoted fields.
    std::string text = "# a file of several pieces\nstation,name,h,Q\n";
    for (int i = 0; text.size() < 3500000; ++i)
        text += "s" + std::to_string(i % 7) + ",\"" +
                std::string(static_cast<std::size_t>(i % 5000), i % 3 ? 'n' : '\n') + "\"," + std::to_string(i % 100) +
                "," + std::to_string(i) + (i % 2 ? "\r\n" : "\n");
    text += "s5,x\"y,1,2\n";
    const std::string dir = make_temp_dir();
    write_file(dir + "/big.csv", text);
    const Result<GaugingFile> from_file = read_gauging_file(dir + "/big.csv", ReadOptions());
    const Result<GaugingFile> from_memory = read_gauging_text(text, dir + "/big.csv", ReadOptions());
    ASSERT_TRUE(from_file.ok() && from_memory.ok());
    ASSERT_EQ(from_file.value().stations.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        const std::vector<Gauging> &g = from_file.value().stations[i].gaugings;
        EXPECT_EQ(lines_of(from_file.value().stations[i]), lines_of(from_memory.value().stations[i]));
        EXPECT_LE(g.capacity(), 2 * g.size() + 16);  // no room kept that the station did not need
    }
    EXPECT_EQ(from_file.value().stations[5].refused->line, from_memory.value().stations[5].refused->line);
    EXPECT_EQ(from_file.value().stations[5].refused->line, std::count(text.begin(), text.end(), '\n'));

    // The first quote, around a line end, only after the first piece: the
    // lines after it are still counted right.
    std::string late = "station,name,h,Q\n";
    while (late.size() < 1500000)
        late += "s1,plain,1.5,20\n";
    late += "s1,\"two\nlines\",1.5,20\ns1,x,1.5,bad\n";
    write_file(dir + "/late-quote.csv", late);
    const Result<GaugingFile> late_file = read_gauging_file(dir + "/late-quote.csv", ReadOptions());
    ASSERT_TRUE(late_file.ok());
    ASSERT_TRUE(late_file.value().stations.at(0).refused.has_value());
    EXPECT_EQ(late_file.value().stations[0].refused->line, std::count(late.begin(), late.end(), '\n'));

    // A header after more comment than one piece holds.
    write_file(dir + "/long-comment.csv", "\xEF\xBB\xBF# " + std::string(1500000, 'x') + "\nh,Q\n1,2\n");
    const Result<GaugingFile> commented = read_gauging_file(dir + "/long-comment.csv", ReadOptions());
    ASSERT_TRUE(commented.ok());
    EXPECT_EQ(commented.value().header_line, 2);
    EXPECT_EQ(lines_of(commented.value().stations.at(0)), std::vector<LineNumber>{3});

    // A large file of one station, without a station column.
    std::string one = "h,Q\n";
    for (int i = 0; one.size() < 1500000; ++i)
        one += std::to_string(i % 100) + "," + std::to_string(i) + "\n";
    write_file(dir + "/one.csv", one + "1,2");
    const Result<GaugingFile> single = read_gauging_file(dir + "/one.csv", ReadOptions());
    ASSERT_TRUE(single.ok());
    ASSERT_EQ(single.value().stations.size(), 1u);
    EXPECT_EQ(static_cast<LineNumber>(single.value().stations[0].gaugings.size()),
              std::count(one.begin(), one.end(), '\n'));

    EXPECT_EQ(error_text(read_gauging_file(dir, ReadOptions()).error()),
              "\nError in file " + dir + ": cannot be read: it is a folder, not a file\n");
    EXPECT_EQ(error_text(read_gauging_file(dir + "/none.csv", ReadOptions()).error()),
              "\nError in file " + dir + "/none.csv: cannot be read: No such file or directory\n");
    remove_temp_dir(dir);
}

}  // namespace

namespace {

// Numbers are read exactly as std::from_chars reads them, whatever their
// form: short decimals (read by a division of their own), long ones,
// exponents, signs, points at either end, and text that is no number.
TEST(CsvNumbers, ReadAsFromCharsReadsThem)
{
    std::mt19937 random(5);
    const auto digits = [&random](int count) {
        std::string d;
        for (int i = 0; i < count; i++)
            d += static_cast<char>('0' + random() % 10);
        return d;
    };
    std::vector<std::string> texts = {"0", "-0", "-0.0", ".5", "5.", "-.5", "+.5", "+5", "+-5", "-", ".", "-.",
                                      "1.2.3", "1e3", "1E-2", "0.1", "0.3", "123456789012345", "1234567890123456",
                                      "0.000000000000001", "9007199254740993", "999999999999999.9", "00000000000000012.5",
                                      "1 2", "x", "0x10", "inf", "nan", "1e400"};
    for (int i = 0; i < 3000; i++) {
        std::string t = random() % 4 == 0 ? "-" : "";
        const int whole = static_cast<int>(random() % 12);
        const int fraction = static_cast<int>(random() % 12);
        t += digits(whole);
        if (random() % 5 != 0)
            t += "." + digits(fraction);
        if (random() % 10 == 0)
            t += "e" + std::to_string(static_cast<int>(random() % 40) - 20);
        texts.push_back(t);
    }
    for (const std::string &t : texts) {
        // The number as stage, then as discharge, in a file of its own.
        double expected = 0.0;
        std::string_view s = t;
        if (s.size() > 1 && s[0] == '+' && s[1] != '-')
            s.remove_prefix(1);
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), expected);
        const bool number = ec == std::errc() && end == s.data() + s.size() && std::isfinite(expected);
        const Result<GaugingFile> file = read("stage,discharge\n" + t + ",1\n");
        ASSERT_TRUE(file.ok()) << t;
        const Station &station = file.value().stations.at(0);
        if (!number) {
            EXPECT_TRUE(station.refused.has_value() || station.skipped_lines.size() == 1) << t;
            continue;
        }
        ASSERT_FALSE(station.refused.has_value()) << t << ": " << error_text(*station.refused);
        ASSERT_EQ(station.gaugings.size(), 1u) << t;
        const double read_value = station.gaugings[0].stage;
        EXPECT_EQ(read_value, expected == 0.0 ? 0.0 : expected) << t;
    }
}

} // namespace
