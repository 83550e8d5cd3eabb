// The fuzzer's seeds and every input it ever crashed on, replayed through
// the harness (the program's real steps on one replaced input file): each
// run must end by the program's own exit (0 complete, 1 refused or a fatal
// numerical error, 255 a file that cannot be opened), never by a signal or
// a sanitizer report, and its error stream may hold only the fatal error
// routine's report. Gauging files (CSV and NWIS rdb) go through the
// reader's own harness instead.
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <dirent.h>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Input {
    std::string kind;  // control, settings, data, knots or gaugings
    std::string path;
    std::string name;  // for the test's name
};

void PrintTo(const Input &in, std::ostream *os)
{
    *os << in.kind << " " << in.path;
}

std::vector<Input> inputs_in(const std::string &root)
{
    std::vector<Input> inputs;
    for (const char *kind : {"control", "settings", "data", "knots", "gaugings"}) {
        const std::string dir = root + "/" + kind;
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (const dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            std::string id = std::string(kind) + "_" + n;
            for (char &ch : id)
                if (!std::isalnum(static_cast<unsigned char>(ch)))
                    ch = '_';
            inputs.push_back({kind, dir + "/" + n, id});
        }
    }
    return inputs;
}

class Replay : public ::testing::TestWithParam<Input> {};

TEST_P(Replay, EndsByTheProgramsOwnExit)
{
    const Input &in = GetParam();
    const std::string dir = make_temp_dir();
    const std::string out = dir + "/out";
    const std::string err = dir + "/err";
    // Distinct exit codes for the sanitizers, so that a report cannot pass
    // for the program's own exit(1).
    const std::string harness =
        in.kind == "gaugings" ? std::string("'" FUZZ_GAUGINGS_HARNESS "'") : "'" FUZZ_HARNESS "' " + in.kind;
    const std::string command = "ASAN_OPTIONS=detect_leaks=0:exitcode=86 "
                                "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87 TMPDIR='" +
                                dir + "' " + harness + " '" + in.path + "' 0<&- >'" + out + "' 2>'" + err + "'";
    const int status = run_command(command);
    const std::string errors = read_file(err);
    EXPECT_TRUE(status == 0 || status == 1 || status == 255)
        << in.path << ": status " << status << "\n" << errors;
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << in.path << "\n" << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << in.path << "\n" << errors;
    if (!errors.empty()) {
        EXPECT_EQ(errors.substr(0, 27), "Kelvarin run-time error...\n") << in.path << "\n" << errors;
    }
    std::remove(out.c_str());
    std::remove(err.c_str());
    // The harness removes its own scratch folder when it replays.
    EXPECT_EQ(run_command("rmdir '" + dir + "'"), 0) << "the harness left files behind in " << dir;
}

std::string name_of(const ::testing::TestParamInfo<Input> &info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Seeds, Replay, ::testing::ValuesIn(inputs_in(FUZZ_SEEDS_DIR)), name_of);
INSTANTIATE_TEST_SUITE_P(Regressions, Replay, ::testing::ValuesIn(inputs_in(FUZZ_REGRESSIONS_DIR)), name_of);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Replay);

} // namespace
