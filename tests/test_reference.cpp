// Reference results of the 60 gauges of the test data, kept in
// tests/data/reference/ and compared with a tolerance:
//
//   exact-report.json  the summary that `rating --solver exact --report`
//                      writes for each gauge (3 automatic intervals of cubics
//                      in Q^0.5, 100 output steps), less the result file's
//                      digest;
//   fit-station.json   the curve and figures of fit_station with its default
//                      settings (model selection, rising curve), and weighted
//                      ("ID weighted"), given an uncertainty for every gauging.
//
// The bit-exact digests guard the run without options; these numbers may
// move by rounding (another compiler or library, another order of a sum) but
// not by more: a number passes within 1e-9 of its size, or within 1e-12 of
// it near 0. A failure names the station, the key and both values of every
// number that moved, and every key that came or went.
//
// After a deliberate change of results write the references anew,
//
//     make references    (RATING_UPDATE_REFERENCES=1 build/release/test_reference)
//
// and let the commit's diff of tests/data/reference/ show which numbers the
// change moved.
#include "Curve.h"
#include "Fit.h"
#include "GaugingFile.h"
#include "RunSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using json = nlohmann::ordered_json;

const std::string kSource = RATING_SOURCE_DIR;
const std::string kCsv = kSource + "/tests/data/usgs-field-measurements.csv";
const std::string kReferences = kSource + "/tests/data/reference/";
constexpr double kRelative = 1e-9;
constexpr double kAbsolute = 1e-12;

bool updating()
{
    const char *v = std::getenv("RATING_UPDATE_REFERENCES");
    return v != nullptr && *v != '\0' && std::string(v) != "0";
}

std::vector<rating::Station> read_stations()
{
    const rating::Result<rating::GaugingFile> file = rating::read_gauging_file(kCsv, rating::ReadOptions{});
    if (!file)
        throw std::runtime_error(rating::error_text(file.error()));
    return file.value().stations;
}

// An uncertainty for every gauging: 2 % or 8 % of the discharge by turns, and
// 0.01 besides.
std::vector<rating::Station> with_uncertainties(std::vector<rating::Station> stations)
{
    for (rating::Station &station : stations)
        for (rating::Gauging &g : station.gaugings)
            g.sigma = 0.01 + (g.line % 2 == 0 ? 0.02 : 0.08) * g.discharge;
    return stations;
}

bool close(double expected, double actual)
{
    const double diff = std::fabs(actual - expected);
    return diff <= std::max(kRelative * std::max(std::fabs(expected), std::fabs(actual)), kAbsolute);
}

// Every difference between the expected and the actual value beyond the
// tolerance, one line each, named by `where` and the path of keys.
void compare(const json &expected, const json &actual, const std::string &where, std::vector<std::string> &moved)
{
    if (expected.is_number() && actual.is_number()) {
        const double e = expected.get<double>(), a = actual.get<double>();
        if (!close(e, a)) {
            char text[160];
            if (e != 0.0)
                std::snprintf(text, sizeof text, ": %.17g, now %.17g (relative change %.2g)", e, a, (a - e) / std::fabs(e));
            else
                std::snprintf(text, sizeof text, ": 0, now %.17g", a);
            moved.push_back(where + text);
        }
    } else if (expected.is_object() && actual.is_object()) {
        const auto at = [&where](const std::string &key) { return where.empty() ? key : where + "." + key; };
        for (const auto &[key, value] : expected.items()) {
            if (actual.contains(key))
                compare(value, actual[key], at(key), moved);
            else
                moved.push_back(at(key) + ": gone (was " + value.dump() + ")");
        }
        for (const auto &[key, value] : actual.items())
            if (!expected.contains(key))
                moved.push_back(at(key) + ": new (" + value.dump() + ")");
    } else if (expected.is_array() && actual.is_array()) {
        if (expected.size() != actual.size()) {
            moved.push_back(where + ": " + expected.dump() + ", now " + actual.dump());
            return;
        }
        for (std::size_t i = 0; i < expected.size(); i++)
            compare(expected[i], actual[i], where + "[" + std::to_string(i) + "]", moved);
    } else if (expected != actual) {
        moved.push_back(where + ": " + expected.dump() + ", now " + actual.dump());
    }
}

// The stations of both, each station's numbers named "station ID: key".
std::vector<std::string> compare_stations(const json &expected, const json &actual)
{
    std::vector<std::string> moved;
    for (const auto &[id, value] : expected.items()) {
        if (!actual.contains(id)) {
            moved.push_back("station " + id + ": gone");
            continue;
        }
        std::vector<std::string> here;
        compare(value, actual[id], "", here);
        for (const std::string &line : here)
            moved.push_back("station " + id + ": " + line);
    }
    for (const auto &[id, value] : actual.items())
        if (!expected.contains(id))
            moved.push_back("station " + id + ": new");
    return moved;
}

// Compares with the stored file, or writes it when updating.
void check_against(const std::string &name, const json &actual)
{
    const std::string path = kReferences + name;
    if (updating()) {
        std::ofstream out(path, std::ios::binary);
        out << actual.dump(1) << "\n";
        ASSERT_TRUE(out.good()) << "cannot write " << path;
        GTEST_SKIP() << "wrote " << path;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "no reference file " << path << "; make references writes it";
    const json expected = json::parse(in);
    const std::vector<std::string> moved = compare_stations(expected, actual);
    std::string text;
    for (const std::string &line : moved)
        text += "  " + line + "\n";
    EXPECT_TRUE(moved.empty()) << moved.size() << " differences from " << path
                               << " (after a deliberate change: make references):\n"
                               << text;
}

json number(double v)
{
    return std::isfinite(v) ? json(v) : json(nullptr);
}

json numbers(const std::vector<double> &v)
{
    json a = json::array();
    for (const double x : v)
        a.push_back(number(x));
    return a;
}

std::string data_file(const rating::Station &station)
{
    std::string text = "# " + station.id + " " + station.name + "\n";
    char line[80];
    for (const rating::Gauging &g : station.gaugings) {
        std::snprintf(line, sizeof line, "%.17g %.17g\n", g.stage, g.discharge);
        text += line;
    }
    return text;
}

json exact_report(const rating::Station &station)
{
    const Gauge gauge = make_gauge(settings_with("0.5", "3", "3", "100", "1"), data_file(station));
    const RunResult run = run_rating(gauge.dir, "--solver exact --report");
    if (run.status != 0)
        return json{{"exit_code", run.status}, {"output", run.out + run.err}};
    json summary = json::parse(read_file(gauge.path("gauges/site1.summary.json")));
    // The digest of the result file changes with any last digit; the
    // bit-exact tests keep those.
    summary.erase("results_sha256");
    return summary;
}

json fit_figures(const rating::Station &station)
{
    const rating::Result<rating::FitResult> result = rating::fit_station(station, rating::FitSettings{});
    if (!result)
        return json{{"error", rating::error_text(result.error())}};
    const rating::FitResult &fit = result.value();
    const rating::Curve &c = fit.curve;
    json j;
    j["nu"] = number(c.nu);
    j["degree"] = c.degree;
    j["intervals"] = rating::intervals_of(c);
    j["knots"] = numbers(c.knots);
    j["coefficients"] = numbers(c.coefficients);
    j["stage_range"] = numbers({c.stage_range.first, c.stage_range.second});
    j["n"] = c.n;
    j["n_inactive"] = c.n_inactive;
    j["p"] = c.p;
    j["dof"] = c.dof;
    j["s"] = number(c.s);
    j["weighted"] = c.weighted;
    j["s_m"] = number(c.s_m);
    j["r"] = number(c.r);
    json constraints = json::array();
    for (const rating::StageRange &range : c.constraints)
        constraints.push_back(numbers({range.first, range.second}));
    j["constraints"] = constraints;
    j["selection"] = {{"made", c.selection.made},
                      {"nu", number(c.selection.nu)},
                      {"intervals", c.selection.intervals},
                      {"cv_se_pct", number(c.selection.cv_se_pct)}};
    j["sse_nu"] = number(fit.sse_nu);
    j["sse_nu_unconstrained"] = number(fit.sse_nu_unconstrained);
    j["constrained"] = fit.constrained;
    j["se_unconstrained_pct"] = number(fit.se_unconstrained_pct);
    j["explained_share"] = number(fit.explained_share);
    // The covariance through what it gives: the curve's standard error at 11
    // stages across the gauged range.
    json at = json::array();
    for (int k = 0; k <= 10; k++) {
        const double h = c.stage_range.first + (c.stage_range.second - c.stage_range.first) * k / 10.0;
        at.push_back(numbers({h, rating::curve_value(c, h), std::sqrt(rating::curve_variance(c, h))}));
    }
    j["stage_value_se"] = at;
    return j;
}

TEST(Reference, ExactSolverReportOfSixtyGauges)
{
    const std::vector<rating::Station> stations = read_stations();
    ASSERT_EQ(stations.size(), 60u);
    json actual = json::object();
    for (const rating::Station &station : stations)
        actual[station.id] = exact_report(station);
    check_against("exact-report.json", actual);
}

TEST(Reference, FitStationOfSixtyGauges)
{
    const std::vector<rating::Station> stations = read_stations();
    ASSERT_EQ(stations.size(), 60u);
    json actual = json::object();
    for (const rating::Station &station : stations)
        actual[station.id] = fit_figures(station);
    for (const rating::Station &station : with_uncertainties(stations))
        actual[station.id + " weighted"] = fit_figures(station);
    check_against("fit-station.json", actual);
}

TEST(Reference, ComparisonNamesEveryNumberThatMoved)
{
    const json expected = {{"7", {{"s", 2.0}, {"knots", {1.0, 2.0}}, {"near0", 0.0}, {"solver", "exact"}}}};
    EXPECT_TRUE(compare_stations(expected, expected).empty());

    json actual = expected;
    actual["7"]["s"] = 2.0 * (1 + 0.5e-9);  // within the tolerance
    actual["7"]["near0"] = 0.5e-12;          // within the floor
    EXPECT_TRUE(compare_stations(expected, actual).empty());

    actual["7"]["knots"][1] = 2.5;
    actual["7"]["near0"] = 2e-12;
    actual["7"]["solver"] = "minimiser";
    actual["7"].erase("s");
    actual["7"]["added"] = 1;
    actual["8"] = json::object();
    const std::vector<std::string> moved = compare_stations(expected, actual);
    ASSERT_EQ(moved.size(), 6u);
    EXPECT_EQ(moved[0], "station 7: s: gone (was 2.0)");
    EXPECT_EQ(moved[1], "station 7: knots[1]: 2, now 2.5 (relative change 0.25)");
    EXPECT_EQ(moved[2].rfind("station 7: near0: 0, now 2", 0), 0u) << moved[2];
    EXPECT_EQ(moved[3], "station 7: solver: \"exact\", now \"minimiser\"");
    EXPECT_EQ(moved[4], "station 7: added: new (1)");
    EXPECT_EQ(moved[5], "station 8: new");

    json moved_s = expected;
    moved_s["7"]["s"] = 2.0 * (1 + 2e-9);
    ASSERT_EQ(compare_stations(expected, moved_s).size(), 1u);
    EXPECT_EQ(compare_stations(expected, moved_s)[0].rfind("station 7: s: 2, now 2.0000000", 0), 0u);
}

} // namespace
