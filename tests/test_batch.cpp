// `rating batch`: every station of a file fitted on several threads, each
// station's files as `rating fit --site` writes them, the same bytes for any
// number of threads, and one bad station stopping nothing.
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kUsgs = RATING_SOURCE_DIR "/examples/usgs-field-measurements.csv";

class Batch : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir(); }
    void TearDown() override { remove_temp_dir(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Every file of a folder tree with its content, by relative path.
std::map<std::string, std::string> tree(const std::string &root)
{
    std::map<std::string, std::string> files;
    const std::string list = root + "/.list";
    run_command("cd '" + root + "' && find . -type f ! -name .list | sort > .list");
    for (const std::string &name : lines_of(read_file(list)))
        files[name] = read_file(root + "/" + name);
    std::remove(list.c_str());
    return files;
}

TEST_F(Batch, SixtyStationsAsFitWritesThemOnAnyNumberOfThreads)
{
    RunResult r = run_rating(dir_, "batch '" + kUsgs + "' --out one --jobs 1");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run_rating(dir_, "batch '" + kUsgs + "' --out four --jobs 4");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("60 stations, 0 failed"), std::string::npos) << r.out;
    const auto one = tree(path("one"));
    const auto four = tree(path("four"));
    EXPECT_EQ(one, four);

    const std::vector<std::string> summary = lines_of(one.at("./summary.csv"));
    ASSERT_EQ(summary.size(), 61u);
    EXPECT_EQ(summary[0], "station,name,n,n_active,first_date,last_date,stage_min,stage_max,nu,intervals,p,se_pct,"
                          "cv_se_pct,max_abs_deviation_pct,outliers,sign_test_p,runs_test_p,constrained,status,"
                          "message");
    EXPECT_EQ(summary[1].substr(0, summary[1].find(',')), "11192500");  // first appearance

    // A few stations against `rating fit --site`, file by file.
    for (const char *site : {"11192500", "11372000", "11451000"}) {
        r = run_rating(dir_, "fit '" + kUsgs + "' --site " + site + " --out single/" + site);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto single = tree(path(std::string("single/") + site));
        ASSERT_FALSE(single.empty());
        for (const auto &[name, content] : single)
            EXPECT_EQ(one.at("./" + std::string(site) + name.substr(1)), content) << site << name;
    }
}

TEST_F(Batch, BadStationsFailAloneAndTheRestAreFitted)
{
    std::vector<std::string> rows = lines_of(read_file(kUsgs));
    int kept_two = 0;
    bool broke = false;
    std::string text = rows[0] + "\n";
    for (std::size_t i = 1; i < rows.size(); i++) {
        std::string row = rows[i];
        if (row.find("\"11451000\"") != std::string::npos && !broke) {
            // The stage field (fifth) becomes text.
            std::size_t at = 0;
            for (int k = 0; k < 4; k++)
                at = row.find(',', at) + 1;
            row = row.substr(0, at) + "high" + row.substr(row.find(',', at));
            broke = true;
        }
        if (row.find("\"11259000\"") != std::string::npos && kept_two++ >= 2)
            continue;
        text += row + "\n";
    }
    write_file(path("broken.csv"), text);
    const RunResult r = run_rating(dir_, "batch broken.csv --out o");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("2 stations could not be fitted"), std::string::npos) << r.out;
    const std::vector<std::string> summary = lines_of(read_file(path("o/summary.csv")));
    ASSERT_EQ(summary.size(), 61u);
    int failed = 0;
    for (const std::string &row : summary) {
        if (row.find(",failed,") == std::string::npos)
            continue;
        failed++;
        EXPECT_TRUE(row.rfind("11451000,", 0) == 0 || row.rfind("11259000,", 0) == 0) << row;
        if (row.rfind("11451000,", 0) == 0) {
            EXPECT_NE(row.find("column 5 (W): expected a number"), std::string::npos) << row;
        }
    }
    EXPECT_EQ(failed, 2);
    EXPECT_FALSE(file_exists(path("o/11451000")));
    EXPECT_TRUE(file_exists(path("o/11372000/11372000.curve.json")));
}

TEST_F(Batch, RefusedBeforeAnythingIsWritten)
{
    write_file(path("nostation.csv"), "stage,discharge\n1,2\n2,3\n");
    RunResult r = run_rating(dir_, "batch nostation.csv --out o");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("station column"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("o")));

    write_file(path("clash.csv"), "station,stage,discharge\na/b,1,2\na_b,1,2\n");
    r = run_rating(dir_, "batch clash.csv --out o");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("a_b"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(path("o")));

    r = run_rating(dir_, "batch clash.csv --site a_b");
    EXPECT_EQ(r.status, 2);
    // A batch draws no plots: asking for them is refused, not ignored.
    r = run_rating(dir_, "batch clash.csv --plot");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--plot"), std::string::npos) << r.err;
}

// Run under ThreadSanitizer too (label threads): a few hundred synthetic
// stations, summary only and with files.
TEST_F(Batch, ManySyntheticStationsOnSeveralThreads)
{
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> stage(0.5, 3.0);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::string text = "station,stage,discharge\n";
    char row[96];
    for (int s = 0; s < 300; s++)
        for (int i = 0; i < 30; i++) {
            const double h = stage(gen);
            std::snprintf(row, sizeof row, "st%03d,%.5f,%.5f\n", s, h, 8.0 * std::pow(h - 0.2, 1.7) * std::exp(noise(gen)));
            text += row;
        }
    write_file(path("net.csv"), text);
    RunResult r = run_rating(dir_, "batch net.csv --out a --jobs 3 --summary-only");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run_rating(dir_, "batch net.csv --out b --jobs 1 --summary-only");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(path("a/summary.csv")), read_file(path("b/summary.csv")));
    EXPECT_EQ(tree(path("a")).size(), 1u);
    r = run_rating(dir_, "batch net.csv --out c --jobs 4");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(path("a/summary.csv")), read_file(path("c/summary.csv")));
    EXPECT_TRUE(file_exists(path("c/st299/st299.curve.json")));
}

} // namespace
