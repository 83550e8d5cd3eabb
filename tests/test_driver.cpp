// The driver's input steps called directly: observations and knot placement.
#include "Driver.h"
#include "Model.h"
#include "RunSupport.h"
#include "TextInput.h"

#include <gtest/gtest.h>

#include <cstdio>
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
        read_control();
        read_settings();
        read_observations();
        place_knots();
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
