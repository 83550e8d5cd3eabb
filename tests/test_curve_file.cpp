// The curve file: what is written reads back to the same bits, its text is
// laid out as documented, and a file altered in any way the commands cannot
// use is refused naming the file and the key, while unknown keys are ignored.
#include "CurveFile.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace rating;
using nlohmann::ordered_json;

namespace {

Curve full_curve()
{
    Curve c;
    c.station = "11372000";
    c.title = "Clear \"Creek\" \\ near Weott";
    c.nu = 0.45;
    c.degree = 2;
    c.knots = {0.75, 0.75, 0.75, 1.1, 2.3, 3.23, 3.23, 3.23};
    c.coefficients = {1.1, 1.7, 2.9, 4.4, 5.9};
    c.stage_range = {0.75, 3.23};
    c.n = 120;
    c.n_inactive = 4;
    c.p = 5;
    c.dof = 116;
    c.s = 0.071;
    for (int i = 0; i < 5; i++)
        for (int j = 0; j < 5; j++)
            c.covariance.push_back(i == j ? 1e-3 * (i + 1) : 1e-4 / (1 + i + j));
    c.weighted = true;
    c.s_m = 0.05;
    c.r = 0.041;
    c.period_first = "1997-01-01 13:25";
    c.period_last = "2008-09-30";
    c.constraints = {{1.1, 2.3}};
    c.selection = {true, "cv_se", 0.45, 3, 4.12};
    return c;
}

struct CurveFileTest : ::testing::Test {
    void SetUp() override { dir_ = make_temp_dir(); }
    void TearDown() override { remove_temp_dir(dir_); }

    // The refusal of the curve file's JSON changed by `alter`.
    Error refusal(const std::function<void(ordered_json &)> &alter)
    {
        ordered_json j = ordered_json::parse(curve_file_text(full_curve(), FitSettings()));
        alter(j);
        return refusal_of(j.dump(2));
    }

    Error refusal_of(const std::string &text)
    {
        write_file(path(), text);
        const Result<Curve> r = read_curve_file(path());
        EXPECT_FALSE(r.ok()) << text;
        return r.ok() ? Error{} : r.error();
    }

    std::string path() const { return dir_ + "/g.curve.json"; }
    std::string dir_;
};

} // namespace

TEST_F(CurveFileTest, WhatIsWrittenReadsBackToTheSameBits)
{
    const Curve c = full_curve();
    write_file(path(), curve_file_text(c, FitSettings()));
    const Result<Curve> r = read_curve_file(path());
    ASSERT_TRUE(r.ok()) << error_text(r.error());
    const Curve &b = r.value();
    EXPECT_EQ(b.station, c.station);
    EXPECT_EQ(b.title, c.title);
    EXPECT_EQ(b.nu, c.nu);
    EXPECT_EQ(b.degree, c.degree);
    EXPECT_EQ(b.knots, c.knots);
    EXPECT_EQ(b.coefficients, c.coefficients);
    EXPECT_EQ(b.stage_range, c.stage_range);
    EXPECT_EQ(b.n, c.n);
    EXPECT_EQ(b.n_inactive, c.n_inactive);
    EXPECT_EQ(b.p, c.p);
    EXPECT_EQ(b.dof, c.dof);
    EXPECT_EQ(b.s, c.s);
    EXPECT_EQ(b.covariance, c.covariance);
    EXPECT_EQ(b.weighted, c.weighted);
    EXPECT_EQ(b.s_m, c.s_m);
    EXPECT_EQ(b.r, c.r);
    EXPECT_EQ(b.period_first, c.period_first);
    EXPECT_EQ(b.period_last, c.period_last);
    EXPECT_EQ(b.constraints, c.constraints);
    EXPECT_TRUE(b.selection.made);
    EXPECT_EQ(b.selection.criterion, "cv_se");
    EXPECT_EQ(b.selection.nu, 0.45);
    EXPECT_EQ(b.selection.intervals, 3);
    EXPECT_EQ(b.selection.cv_se_pct, 4.12);
    EXPECT_EQ(curve_file_text(b, FitSettings()), curve_file_text(c, FitSettings()));
}

TEST_F(CurveFileTest, TextLayoutKeysInOrderSeventeenDigits)
{
    FitSettings settings;
    settings.nu_auto = true;
    settings.intervals_auto = false;
    settings.intervals = 4;
    settings.knots = {1.5};
    settings.weights = WeightMode::none;
    settings.from = "1997-01-01";
    Curve unselected = full_curve();
    unselected.selection = SelectionRecord{};
    unselected.period_first.clear();
    unselected.period_last.clear();
    const std::string text = curve_file_text(unselected, settings);
    EXPECT_EQ(text.rfind("{\n  \"format\": \"rating-curve\",\n  \"version\": 1,\n  \"station\": ", 0), 0u) << text;
    EXPECT_NE(text.find("\n  \"nu\": 0.45000000000000001,\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("\n  \"knots\": [0.75, 0.75, 0.75, 1.1000000000000001, 2.2999999999999998, 3.23, 3.23, 3.23],\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("\n  \"covariance\": [\n    [0.001, "), std::string::npos) << text;
    EXPECT_NE(
        text.find("\n  \"period\": null,\n  \"constraints\": [\n    [1.1000000000000001, 2.2999999999999998]\n  ],\n"
                  "  \"selection\": null,\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find(
            "\"settings\": {\n    \"nu\": \"auto\",\n    \"nu_grid\": \"0.1:1:0.05\",\n    \"degree\": 3,\n"
            "    \"intervals\": 4,\n    \"max_intervals\": 30,\n    \"knots\": [1.5],\n    \"weights\": \"none\",\n"
            "    \"increasing\": true,\n    \"from\": \"1997-01-01\",\n    \"to\": null\n  }\n}\n"),
        std::string::npos)
        << text;
    const std::vector<std::string> keys = {
        "format",      "version", "station",    "title",       "nu",        "degree",  "knots",      "coefficients",
        "stage_range", "n",       "n_inactive", "p",           "dof",       "s",       "covariance", "weights",
        "s_m",         "r",       "period",     "constraints", "selection", "settings"};
    std::vector<std::string> found;
    const ordered_json parsed = ordered_json::parse(text);
    for (const auto &item : parsed.items())
        found.push_back(item.key());
    EXPECT_EQ(found, keys);
}

TEST_F(CurveFileTest, NamesThatAreNotUtf8AreReplacedNotThrown)
{
    Curve c = full_curve();
    c.title = std::string("Gau\xff\xfe ge");
    c.station = std::string("\xc3");
    std::string text;
    ASSERT_NO_THROW(text = curve_file_text(c, FitSettings()));
    write_file(path(), text);
    const Result<Curve> r = read_curve_file(path());
    ASSERT_TRUE(r.ok()) << error_text(r.error());
    EXPECT_EQ(r.value().title, "Gau\xef\xbf\xbd\xef\xbf\xbd ge");
}

TEST_F(CurveFileTest, UnknownKeysAreIgnored)
{
    ordered_json j = ordered_json::parse(curve_file_text(full_curve(), FitSettings()));
    j["comment"] = "written by hand";
    j["settings"]["future_option"] = {1, 2, 3};
    j.erase("n");
    j.erase("period");
    write_file(path(), j.dump(4));
    const Result<Curve> r = read_curve_file(path());
    ASSERT_TRUE(r.ok()) << error_text(r.error());
    EXPECT_EQ(r.value().coefficients, full_curve().coefficients);
}

TEST_F(CurveFileTest, EveryKeyTheCommandsUseMustBeThere)
{
    for (const char *key :
         {"format", "version", "nu", "degree", "knots", "coefficients", "stage_range", "dof", "s", "r", "covariance"}) {
        const Error e = refusal([&](ordered_json &j) { j.erase(key); });
        EXPECT_EQ(e.file, path());
        EXPECT_EQ(e.exit_code, 1);
        EXPECT_EQ(e.message, std::string("the key \"") + key + "\" is missing");
    }
}

TEST_F(CurveFileTest, AlteredFilesAreRefusedNamingTheKey)
{
    struct Case {
        const char *key;
        std::function<void(ordered_json &)> alter;
    };
    const std::vector<Case> cases = {
        {"format", [](ordered_json &j) { j["format"] = "rating-table"; }},
        {"version", [](ordered_json &j) { j["version"] = 0; }},
        {"version", [](ordered_json &j) { j["version"] = "1"; }},
        {"nu", [](ordered_json &j) { j["nu"] = "0.5"; }},
        {"nu", [](ordered_json &j) { j["nu"] = 0; }},
        {"degree", [](ordered_json &j) { j["degree"] = 4; }},
        {"degree", [](ordered_json &j) { j["degree"] = 2.5; }},
        {"knots", [](ordered_json &j) { j["knots"][3] = "1.1"; }},
        {"knots", [](ordered_json &j) { j["knots"][3] = 2.4; }}, // interior knots out of order
        {"knots", [](ordered_json &j) { j["knots"][0] = 0.7; }}, // end knot not repeated
        {"coefficients", [](ordered_json &j) { j["coefficients"].erase(0); }},
        {"coefficients", [](ordered_json &j) { j["coefficients"].push_back(1.0); }},
        {"coefficients", [](ordered_json &j) { j["coefficients"] = 1.0; }},
        {"stage_range",
         [](ordered_json &j) {
             j["stage_range"] = {0.75, 3.5};
         }},
        {"stage_range", [](ordered_json &j) { j["stage_range"] = {0.75}; }},
        {"dof", [](ordered_json &j) { j["dof"] = 0; }},
        {"s", [](ordered_json &j) { j["s"] = -0.1; }},
        {"r", [](ordered_json &j) { j["r"] = nullptr; }},
        {"covariance", [](ordered_json &j) { j["covariance"].erase(4); }},
        {"covariance", [](ordered_json &j) { j["covariance"][2].push_back(0.0); }},
        {"covariance", [](ordered_json &j) { j["covariance"][1][1] = "x"; }},
        {"p", [](ordered_json &j) { j["p"] = 6; }},
        {"weights", [](ordered_json &j) { j["weights"] = "some"; }},
        {"period", [](ordered_json &j) { j["period"] = {"1997"}; }},
        {"constraints", [](ordered_json &j) { j["constraints"] = {{2.0}}; }},
        {"selection",
         [](ordered_json &j) {
             j["selection"] = {{"criterion", "cv_se"}};
         }},
        {"title", [](ordered_json &j) { j["title"] = 5; }},
    };
    for (const Case &c : cases) {
        const Error e = refusal(c.alter);
        EXPECT_EQ(e.file, path());
        EXPECT_EQ(e.exit_code, 1);
        EXPECT_EQ(e.message.rfind(std::string("\"") + c.key + "\": expected", 0), 0u) << e.message;
    }
    const Error newer = refusal([](ordered_json &j) { j["version"] = 2; });
    EXPECT_EQ(newer.message, "\"version\": 2 is newer than this program reads (1); a newer rating program wrote it");
}

TEST_F(CurveFileTest, NonFiniteNumbersAndTextThatIsNotJson)
{
    const std::string text = curve_file_text(full_curve(), FitSettings());
    const std::string s = "\"s\": 0.070999999999999994";
    const std::size_t at = text.find(s);
    ASSERT_NE(at, std::string::npos) << text;
    Error e = refusal_of(std::string(text).replace(at, s.size(), "\"s\": 1e999"));
    EXPECT_EQ(e.file, path());
    EXPECT_NE(e.message.find("numbers a double can hold"), std::string::npos) << e.message;

    e = refusal_of(std::string(text).replace(at, s.size(), "\"s\": NaN"));
    const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    EXPECT_EQ(e.line, line);
    EXPECT_NE(error_text(e).find("Error in file " + path() + ", line " + std::to_string(line) + ": expected JSON text"),
              std::string::npos);

    e = refusal_of("[1, 2]");
    EXPECT_NE(e.message.find("expected a JSON object"), std::string::npos);
    e = refusal_of("");
    EXPECT_EQ(e.file, path());

    const Result<Curve> folder = read_curve_file(dir_);
    ASSERT_FALSE(folder.ok());
    EXPECT_NE(folder.error().message.find("not a regular file"), std::string::npos);
    const Result<Curve> missing = read_curve_file(dir_ + "/none.json");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message, "cannot be read: No such file or directory");
}
