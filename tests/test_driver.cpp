// The driver's input steps called directly: observations, knot placement and
// the error value of each way the inputs are refused.
#include "Driver.h"
#include "Model.h"
#include "RunSupport.h"
#include "TextInput.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class DriverSteps : public ScratchFolderTest {
protected:
    // Runs the input steps up to the knots on the given files.
    void load(const std::string &data, int jdefault, const char *knots = nullptr)
    {
        write_file("Control.dat", "g s\n");
        write_file("Settings.dat", "Settings\n0.5\n" + std::to_string(jdefault) + "\n3\n4\n1\n");
        write_file("g/s.dat", data);
        if (knots != nullptr)
            write_file("g/s.knots", knots);
        release_model();
        for (const auto &step : {read_control, read_settings, read_observations, place_knots}) {
            const rating::Status done = step();
            ASSERT_TRUE(done.ok()) << rating::error_text(done.error());
        }
    }

    static std::string stages(const std::vector<double> &values)
    {
        std::string text = "# Test\n";
        for (std::size_t i = 0; i < values.size(); i++)
            text += std::to_string(values[i]) + " " + std::to_string(10.0 * (i + 1)) + "\n";
        return text;
    }

    std::vector<int> intervals() const { return std::vector<int>(I + 1, I + N + 1); }
};

} // namespace

TEST_F(DriverSteps, ObservationsAreOrderedWithTheirDischarges)
{
    load("# Falling\n3.0 30\n2.5 25\n2.0 20\n1.5 15\n1.0 10\n", 1);
    ASSERT_EQ(N, 5);
    for (int i = 1; i <= N; i++) {
        EXPECT_EQ(h[i], 0.5 + 0.5 * i);
        EXPECT_EQ(Q[i], 10.0 * h[i]);
    }
    EXPECT_EQ(hmin, 1.0);
    EXPECT_EQ(hmax, 3.0);
    EXPECT_EQ(hrange, 2.0);
    EXPECT_STREQ(Title, "# Falling");
    EXPECT_STREQ(Shorttitle, "Falling");
}

TEST_F(DriverSteps, ShortTitleOfAVeryShortFirstLineIsEmpty)
{
    load("#\n1 1\n2 2\n", 1);
    EXPECT_STREQ(Title, "#");
    EXPECT_STREQ(Shorttitle, "");
    EXPECT_EQ(N, 2);
}

TEST_F(DriverSteps, AutomaticPlacementWithEqualCounts)
{
    const std::vector<double> s = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    load(stages(s), 3);
    EXPECT_EQ(J, 3);
    EXPECT_EQ(Jknot, 3);
    EXPECT_EQ(intervals(), (std::vector<int>{1, 1, 1, 2, 2, 2, 2, 3, 3, 3}));
    EXPECT_EQ(Y[1], 1.0);
    EXPECT_EQ(Y[2], 3.5);
    EXPECT_EQ(Y[3], 7.5);
    EXPECT_EQ(Y[4], 10.0);
    EXPECT_EQ(delta[2], 4.0);
    EXPECT_EQ(Y0, &Y[1]);
}

TEST_F(DriverSteps, HalvesRoundAwayFromZero)
{
    load(stages({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 4);
    EXPECT_EQ(intervals(), (std::vector<int>{1, 1, 1, 2, 2, 3, 3, 3, 4, 4}));
    EXPECT_EQ(Y[2], 3.5);
    EXPECT_EQ(Y[3], 5.5);
    EXPECT_EQ(Y[4], 8.5);
    EXPECT_EQ(Y[5], 10.0);
}

TEST_F(DriverSteps, KnotsFileWithAutomaticCountMatchesTheDefault)
{
    const std::string data = stages({1, 1.4, 2, 2.2, 3, 3.5, 4, 4.1, 5, 6, 6.5});
    load(data, 4);
    const std::vector<int> by_default = intervals();
    const std::vector<double> knots(Y + 1, Y + J + 2);
    load(data, 2, "Knots\n4\n");
    EXPECT_EQ(intervals(), by_default);
    EXPECT_EQ(std::vector<double>(Y + 1, Y + J + 2), knots);
}

TEST_F(DriverSteps, ListedKnotsAndTheIntervalAboveAKnot)
{
    load(stages({1.0, 1.25, 1.5, 2.0, 2.5, 3.0}), 3, "Knots\n-1\n1.5\n2.5\n");
    EXPECT_EQ(J, 3);
    EXPECT_EQ(Jknot, -1);
    EXPECT_EQ(std::vector<double>(Y + 1, Y + 5), (std::vector<double>{1.0, 1.5, 2.5, 3.0}));
    EXPECT_EQ(intervals(), (std::vector<int>{1, 1, 2, 2, 3, 3}));

    // Several stages on the lines after the first are all read.
    load(stages({1.0, 1.25, 1.5, 2.0, 2.5, 3.0}), 3, "Knots\n-1\n1.2\n1.5 2.0\n  2.5\n");
    EXPECT_EQ(J, 5);
    EXPECT_EQ(intervals(), (std::vector<int>{1, 2, 3, 4, 5, 5}));
}

TEST_F(DriverSteps, OneIntervalAndTheFullTable)
{
    std::vector<double> s;
    for (int i = 1; i <= 200; i++)
        s.push_back(0.01 * i);
    load(stages(s), 1);
    EXPECT_EQ(J, 1);
    EXPECT_EQ(delta[1], h[N] - h[1]);
    for (int i = 1; i <= N; i++)
        ASSERT_EQ(I[i], 1);

    load(stages(s), 98);
    EXPECT_EQ(J, 98);
    EXPECT_EQ(Y[99], h[N]);
    EXPECT_EQ(I[N], 98);
    for (int j = 1; j <= J; j++)
        ASSERT_GT(delta[j], 0.0);
}

TEST_F(DriverSteps, EqualStagesAtAGroupBoundaryFollowTheSortOrder)
{
    // After the paired sort the discharges of the equal stages 1 come out as
    // 60, 40, 80, 20; automatic placement cuts by position in that order.
    load("# Ties\n2 10\n1 20\n2 30\n1 40\n2 50\n1 60\n2 70\n1 80\n", 2);
    EXPECT_EQ(std::vector<double>(Q + 1, Q + N + 1), (std::vector<double>{60, 40, 80, 20, 50, 30, 70, 10}));
    EXPECT_EQ(Y[2], 1.5);
    EXPECT_EQ(intervals(), (std::vector<int>{1, 1, 1, 1, 2, 2, 2, 2}));
}

// The knot between two groups is the half sum (a + b) * 0.5; for 0.737 and
// 2.278 that is 1.5075, while a + (b - a) * 0.5 would give 1.5074999999999998.
TEST_F(DriverSteps, KnotBetweenGroupsIsTheHalfSum)
{
    load(stages({0.5, 0.737, 2.278, 3.0}), 2);
    EXPECT_EQ(Y[2], 1.5075);
}

// A listed stage is refused only when it lies closer than 0.01 to an end:
// exactly 0.01 away it is a knot.
TEST_F(DriverSteps, ListedStagesExactlyOneHundredthFromTheEndsAreKept)
{
    load(stages({0.0, 0.2, 0.4, 0.6}), 3, "Knots\n-1\n0.01\n0.3\n");
    EXPECT_EQ(J, 3);
    EXPECT_EQ(Y[2], 0.01);

    load(stages({-0.5, -0.2, 0.0, 0.02}), 3, "Knots\n-1\n-0.1\n0.01\n");
    EXPECT_EQ(J, 3);
    EXPECT_EQ(Y[3], 0.01);
}

namespace {

using rating::ErrorKind;

// The input files of a refused run; a file left out (nullopt) is absent, and
// kFolder puts a folder in its place.
const std::string kFolder = "<folder>";
struct InputFiles {
    std::optional<std::string> control = "g s\n";
    std::optional<std::string> settings = "Settings\n0.5\n2\n3\n4\n1\n";
    std::optional<std::string> data = "# Test\n1 10\n2 20\n3 30\n4 40\n5 50\n";
    std::optional<std::string> knots;
};

enum Step { control, settings, observations, knots, transform };

// Where and why a step refuses the input: the step and its error value.
struct Refusal {
    const char *what;
    InputFiles files;
    Step step;
    std::string file;
    LineNumber line;
    std::string message;
    int exit_code = 1;
    ErrorKind kind = ErrorKind::located;
};

class InputRefusals : public ScratchFolderTest {
protected:
    static void place(const char *path, const std::optional<std::string> &content)
    {
        std::remove(path);
        rmdir(path);
        if (content == kFolder)
            mkdir(path, 0755);
        else if (content)
            write_file(path, *content);
    }

    // Runs the input steps until one returns an error; the process goes on.
    static void check(const Refusal &r)
    {
        SCOPED_TRACE(r.what);
        place("Control.dat", r.files.control);
        place("Settings.dat", r.files.settings);
        place("g/s.dat", r.files.data);
        place("g/s.knots", r.files.knots);
        release_model();
        rating::Status (*const steps[])() = {read_control, read_settings, read_observations, place_knots,
                                                   transform_discharges};
        for (int step = 0; step <= transform; step++) {
            const rating::Status done = steps[step]();
            if (done.ok()) {
                EXPECT_LT(step, r.step) << "step " << step << " accepted the input";
                continue;
            }
            EXPECT_EQ(step, r.step) << rating::error_text(done.error());
            const rating::Error &e = done.error();
            EXPECT_EQ(e.file, r.file);
            EXPECT_EQ(e.line, r.line);
            EXPECT_EQ(e.message, r.message);
            EXPECT_EQ(e.exit_code, r.exit_code);
            EXPECT_EQ(e.kind, r.kind);
            return;
        }
        ADD_FAILURE() << "no step refused the input";
    }

    static InputFiles with_control(std::string control)
    {
        InputFiles f;
        f.control = std::move(control);
        return f;
    }
    static InputFiles with_settings(std::string settings)
    {
        InputFiles f;
        f.settings = std::move(settings);
        return f;
    }
    static InputFiles with_data(std::string data, std::string settings = "Settings\n0.5\n2\n3\n4\n1\n")
    {
        InputFiles f;
        f.data = std::move(data);
        f.settings = std::move(settings);
        return f;
    }
    static InputFiles with_knots(std::optional<std::string> knots, std::string settings = "Settings\n0.5\n2\n3\n4\n1\n")
    {
        InputFiles f;
        f.knots = std::move(knots);
        f.settings = std::move(settings);
        return f;
    }
};

const int kCannotOpen = -1;

} // namespace

TEST_F(InputRefusals, ControlFile)
{
    InputFiles missing;
    missing.control.reset();
    const std::string longest(199, 'a');
    const Refusal refusals[] = {
        {"missing", missing, control, "Control.dat", 0, load_failure(ENOENT), kCannotOpen, ErrorKind::cannot_open},
        {"a folder", with_control(kFolder), control, "Control.dat", 0, load_failure(kIsFolder)},
        {"one word", with_control("g\n"), control, "Control.dat", 2,
         "expected two words: the folder and the name of the data set"},
        {"long folder", with_control(longest + "a s\n"), control, "Control.dat", 1,
         "the folder is longer than 199 characters"},
        {"long name", with_control("g\n" + longest + "a\n"), control, "Control.dat", 2,
         "the name of the data set is longer than 199 characters"},
        {"long path", with_control(std::string(97, 'f') + " " + std::string(96, 'n') + "\n"), control, "Control.dat",
         0, "the path " + std::string(97, 'f') + "/" + std::string(96, 'n') + ".knots is longer than 199 characters"},
    };
    for (const Refusal &r : refusals)
        check(r);
    // A path of 199 characters is taken.
    place("Control.dat", std::string(96, 'f') + " " + std::string(96, 'n') + "\n");
    EXPECT_TRUE(read_control().ok());
}

TEST_F(InputRefusals, SettingsFile)
{
    InputFiles missing;
    missing.settings.reset();
    const Refusal refusals[] = {
        {"missing", missing, settings, "Settings.dat", 0, load_failure(ENOENT), kCannotOpen, ErrorKind::cannot_open},
        {"a folder", with_settings(kFolder), settings, "Settings.dat", 0, load_failure(kIsFolder)},
        {"nu", with_settings("Settings\nx\n"), settings, "Settings.dat", 2, "expected the exponent nu"},
        {"Jdefault", with_settings("Settings\n0.5\n2.5\n"), settings, "Settings.dat", 3,
         "expected the default number of intervals Jdefault (a whole number)"},
        {"M", with_settings("Settings\n0.5\n2\n\n\nM\n"), settings, "Settings.dat", 6,
         "expected the polynomial degree M (a whole number)"},
        {"Nout", with_settings("Settings\n0.5\n2\n3\n1e3\n"), settings, "Settings.dat", 5,
         "expected the number of output steps Nout (a whole number)"},
        {"Spacing at the end", with_settings("Settings\n0.5\n2\n3\n4\n"), settings, "Settings.dat", 6,
         "expected the exponent of the output spacing Spacing"},
        {"nu of 0", with_settings("Settings\n0\n2\n3\n4\n1\n"), settings, "Settings.dat", 2,
         "the exponent nu must be a finite number other than 0"},
        {"nu not finite", with_settings("Settings\ninf\n2\n3\n4\n1\n"), settings, "Settings.dat", 2,
         "the exponent nu must be a finite number other than 0"},
        {"M of 4", with_settings("Settings\n0.5\n2\n4\n4\n1\n"), settings, "Settings.dat", 4,
         "the polynomial degree M must be 1, 2 or 3"},
        {"Nout of 0", with_settings("Settings\n0.5\n2\n3\n0\n1\n"), settings, "Settings.dat", 5,
         "the number of output steps Nout must be at least 1"},
        {"Spacing of 0", with_settings("Settings\n0.5\n2\n3\n4\n0\n"), settings, "Settings.dat", 6,
         "the exponent Spacing must be a finite number above 0"},
    };
    for (const Refusal &r : refusals)
        check(r);
}

TEST_F(InputRefusals, DataFile)
{
    InputFiles missing;
    missing.data.reset();
    const std::string negative_nu = "Settings\n-0.5\n2\n3\n4\n1\n";
    const Refusal refusals[] = {
        {"missing", missing, observations, "g/s.dat", 0, load_failure(ENOENT), kCannotOpen, ErrorKind::cannot_open},
        {"a folder", with_data(kFolder), observations, "g/s.dat", 0, load_failure(kIsFolder)},
        {"one number", with_data("# T\n1 10\n\n2\n"), observations, "g/s.dat", 4, "expected a stage and a discharge"},
        {"stage", with_data("# T\n1 10\nnan 20\n"), observations, "g/s.dat", 3, "the stage is not a finite number"},
        {"discharge", with_data("# T\n1 inf\n"), observations, "g/s.dat", 2, "the discharge is not a finite number"},
        {"negative discharge", with_data("# T\n1 10\n2 -1\n"), observations, "g/s.dat", 3, "the discharge is negative"},
        {"zero discharge, negative nu", with_data("# T\n1 10\n2 0\n", negative_nu), observations, "g/s.dat", 3,
         "a discharge of 0 cannot be raised to the negative power nu"},
        {"no observations", with_data("# T\n\n  \n"), observations, "g/s.dat", 0,
         "no observations: expected lines of a stage and a discharge after the title line"},
    };
    for (const Refusal &r : refusals)
        check(r);
}

// The title is read before the lines are refused (the run prints it ahead of
// the message); a data file that cannot be opened has none.
TEST_F(InputRefusals, TitleOfARefusedDataFile)
{
    check({"no observations", with_data("# Refused\n"), observations, "g/s.dat", 0,
           "no observations: expected lines of a stage and a discharge after the title line"});
    EXPECT_TRUE(observations_opened());
    EXPECT_STREQ(Shorttitle, "Refused");
    InputFiles missing;
    missing.data.reset();
    check({"missing", missing, observations, "g/s.dat", 0, load_failure(ENOENT), kCannotOpen, ErrorKind::cannot_open});
    EXPECT_FALSE(observations_opened());
}

TEST_F(InputRefusals, KnotsFile)
{
    std::string many = "Knots\n-1\n";
    for (int k = 0; k < 98; k++)
        many += std::to_string(1.5 + 0.03 * k) + "\n";
    const std::string settings_99 = "Settings\n0.5\n99\n3\n4\n1\n";
    const std::string settings_6 = "Settings\n0.5\n6\n3\n4\n1\n";
    const Refusal refusals[] = {
        {"a folder", with_knots(kFolder), knots, "g/s.knots", 0,
         "the knots file cannot be read: " + load_failure(kIsFolder)},
        {"mode", with_knots("Knots\nx\n"), knots, "g/s.knots", 2,
         "expected the knot mode: a negative whole number when knot stages follow, or the number of intervals"},
        {"mode 0", with_knots("Knots\n0\n"), knots, "g/s.knots", 2, "a knot mode of 0 asks for no intervals"},
        {"99 intervals", with_knots("Knots\n99\n"), knots, "g/s.knots", 2, "more than 98 intervals"},
        {"more intervals than observations", with_knots("Knots\n6\n"), knots, "g/s.knots", 2,
         "6 intervals need at least as many observations, but there are only 5"},
        {"Jdefault 99", with_knots(std::nullopt, settings_99), knots, "Settings.dat", 3,
         "the default number of intervals Jdefault must be 1 to 98"},
        {"Jdefault above N", with_knots(std::nullopt, settings_6), knots, "Settings.dat", 3,
         "6 intervals need at least as many observations, but there are only 5"},
        {"first stage", with_knots("Knots\n-1\nx\n"), knots, "g/s.knots", 3, "expected the first knot stage"},
        {"later stage", with_knots("Knots\n-1\n2\n3 x\n"), knots, "g/s.knots", 4, "expected a knot stage"},
        {"98 stages", with_knots(many), knots, "g/s.knots", 100, "more than 97 knot stages"},
        {"not finite", with_knots("Knots\n-1\n2\nnan\n"), knots, "g/s.knots", 4,
         "the knot stage is not a finite number"},
        {"descending", with_knots("Knots\n-1\n3\n2.5\n"), knots, "g/s.knots", 4,
         "the knot stages must be strictly ascending"},
        {"equal", with_knots("Knots\n-1\n3\n3\n"), knots, "g/s.knots", 4, "the knot stages must be strictly ascending"},
        {"outside", with_knots("Knots\n-1\n2\n6\n"), knots, "g/s.knots", 4,
         "the knot stage 6 lies outside the observed stages 1 to 5"},
        {"lowest stage", with_knots("Knots\n-1\n1.005\n3\n"), knots, "g/s.knots", 3,
         "Knots file contains lowest stage - please delete first entry 1.005", 1, ErrorKind::standalone},
        {"highest stage", with_knots("Knots\n-1\n2\n4.999\n"), knots, "g/s.knots", 4,
         "Knots file contains highest stage - please delete last entry 4.999", 1, ErrorKind::standalone},
    };
    for (const Refusal &r : refusals)
        check(r);
}

// Without a knots file the default knots are taken (and the run says so)
// before Jdefault is checked; a refused knots file is no default.
TEST_F(InputRefusals, DefaultKnotsBeforeTheirRefusal)
{
    check({"Jdefault 0", with_knots(std::nullopt, "Settings\n0.5\n0\n3\n4\n1\n"), knots, "Settings.dat", 3,
           "the default number of intervals Jdefault must be 1 to 98"});
    EXPECT_TRUE(default_knots());
    check({"mode 0", with_knots("Knots\n0\n"), knots, "g/s.knots", 2, "a knot mode of 0 asks for no intervals"});
    EXPECT_FALSE(default_knots());
    check({"a folder", with_knots(kFolder), knots, "g/s.knots", 0,
           "the knots file cannot be read: " + load_failure(kIsFolder)});
    EXPECT_FALSE(default_knots());
}

TEST_F(InputRefusals, Exponent)
{
    const Refusal refusals[] = {
        {"Q^nu not finite", with_data("# T\n1 10\n2 1000\n", "Settings\n200\n1\n1\n4\n1\n"), transform, "Settings.dat",
         2,
         "with nu = 200 the discharge 1000 on line 3 of g/s.dat gives Q^nu = inf, which cannot be fitted; expected "
         "an exponent nu that keeps Q^nu finite"},
        {"every Q^nu the same", with_data("# T\n1 10\n2 20\n", "Settings\n1e-300\n1\n1\n4\n1\n"), transform,
         "Settings.dat", 2,
         "with nu = 1e-300 every discharge gives the same Q^nu = 1, which cannot be fitted; expected an exponent nu "
         "that keeps the discharges apart"},
    };
    for (const Refusal &r : refusals)
        check(r);
    // Equal discharges give equal Q^nu without a refusal.
    place("Settings.dat", "Settings\n1e-300\n1\n1\n4\n1\n");
    place("g/s.dat", "# T\n1 10\n2 10\n");
    release_model();
    for (const auto &step : {read_control, read_settings, read_observations, place_knots, transform_discharges})
        EXPECT_TRUE(step().ok());
}

// The console text of the run's own kinds of error.
TEST(ErrorText, KindsOfTheRunWithoutArguments)
{
    rating::Error e = rating::file_error_value("g/s.dat", load_failure(ENOENT), -1);
    e.kind = ErrorKind::cannot_open;
    EXPECT_EQ(rating::error_text(e), "\nUnable to open file g/s.dat\n");
    e = rating::line_error_value("g/s.knots", 3, "Knots file contains lowest stage - please delete first entry 1");
    e.kind = ErrorKind::standalone;
    EXPECT_EQ(rating::error_text(e), "\n\nKnots file contains lowest stage - please delete first entry 1\n");
    e.kind = ErrorKind::located;
    EXPECT_EQ(rating::error_text(e),
              "\nError in file g/s.knots, line 3: Knots file contains lowest stage - please delete first entry 1\n");
}

// Line numbers go on past the range of an int: a message after more than
// 2^31 lines still names the right line.
TEST(TextInputDeathTest, LineNumbersCountBeyondTheRangeOfAnInt)
{
    TextFile tf;
    tf.name = "big.dat";
    tf.text = "\n\n\n\n\nx\n";
    tf.line = 2147483645;
    double v = 0.0;
    EXPECT_TRUE(skip_space(tf));
    EXPECT_EQ(tf.line, 2147483650LL);
    EXPECT_FALSE(read_double(tf, v));
    // The message goes to standard output; here it is sent where the death
    // test can read it.
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            input_error(tf.name, tf.line, "expected a number");
        },
        ::testing::ExitedWithCode(1), "\nError in file big\\.dat, line 2147483650: expected a number\n");
}
