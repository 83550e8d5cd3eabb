// The rating model: evaluation, parameter transfer with continuity, objective.
#include "Kvutil.h"
#include "Model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Sets up knots Y[1..J+1], their widths and a coefficient matrix of degree
// m, in place of whatever the model held.
void set_knots(const std::vector<double> &knots, int m)
{
    release_model();
    J = static_cast<int>(knots.size()) - 1;
    M = m;
    for (int k = 1; k <= J + 1; k++)
        Y[k] = knots[k - 1];
    complete_knots();
}

void set_observations(const std::vector<double> &stages, const std::vector<double> &values,
                      const std::vector<int> &intervals)
{
    N = static_cast<int>(stages.size());
    h = dvector(1, N);
    Qnu = dvector(1, N);
    I = ivector(1, N);
    for (int i = 1; i <= N; i++) {
        h[i] = stages[i - 1];
        Qnu[i] = values[i - 1];
        I[i] = intervals[i - 1];
    }
}

std::vector<double> one_based(std::vector<double> v)
{
    v.insert(v.begin(), 0.0);
    return v;
}

class ModelEvaluation : public ::testing::Test {
protected:
    void TearDown() override { release_model(); }
};
using ParameterTransfer = ModelEvaluation;
using LeastSquaresObjective = ModelEvaluation;

} // namespace

TEST_F(ModelEvaluation, IntervalChoiceAtAndBetweenKnots)
{
    set_knots({0, 1, 2}, 1);
    c[1][0] = 1;
    c[1][1] = 2;
    c[2][0] = 3;
    c[2][1] = 4;
    EXPECT_EQ(P(0.5), 2.0);
    EXPECT_EQ(P(1.0), 3.0);   // an interior knot belongs to the interval above it
    EXPECT_EQ(P(1.5), 5.0);
    EXPECT_EQ(P(2.0), 7.0);   // the top knot stays with the last interval
    EXPECT_EQ(P(2.5), 9.0);   // extrapolated with the last polynomial
    EXPECT_EQ(P(-1.0), -1.0); // and below with the first
    EXPECT_EQ(P(0.0), 1.0);
    // The same stages in another order give the same values.
    EXPECT_EQ(P(2.5), 9.0);
    EXPECT_EQ(P(0.5), 2.0);
    EXPECT_EQ(P0(1.0, 1), 3.0);
}

TEST_F(ModelEvaluation, AscendingPowersAndSingleInterval)
{
    set_knots({1.0, 4.0}, 3);
    c[1][0] = 0.1;
    c[1][1] = 0.7;
    c[1][2] = -0.3;
    c[1][3] = 0.011;
    const double hv = 2.9;
    const double t = hv - 1.0;
    double t1 = 1.0;
    double expected = 0.1;
    t1 = t1 * t;
    expected = expected + 0.7 * t1;
    t1 = t1 * t;
    expected = expected + -0.3 * t1;
    t1 = t1 * t;
    expected = expected + 0.011 * t1;
    EXPECT_EQ(P0(hv, 1), expected);
    EXPECT_EQ(P(hv), expected);
    EXPECT_EQ(P(100.0), P0(100.0, 1));
    EXPECT_EQ(P0(1.0, 1), 0.1);
}

TEST_F(ParameterTransfer, LinearTwoIntervals)
{
    set_knots({0, 1, 3}, 1);
    const std::vector<double> x = one_based({1, 2, 4});
    Transfer(x.data());
    EXPECT_EQ(c[1][0], 1.0);
    EXPECT_EQ(c[1][1], 2.0);
    EXPECT_EQ(c[2][1], 4.0);
    Continuity();
    EXPECT_EQ(c[2][0], 3.0);
}

TEST_F(ParameterTransfer, CubicCarriesValueSlopeAndHalfCurvature)
{
    set_knots({0, 2, 5}, 3);
    const std::vector<double> x = one_based({1, 1, 1, 1, 5});
    Transfer(x.data());
    Continuity();
    EXPECT_EQ(c[1][0], 1.0);
    EXPECT_EQ(c[1][3], 1.0);
    EXPECT_EQ(c[2][0], 15.0);
    EXPECT_EQ(c[2][1], 17.0);
    EXPECT_EQ(c[2][2], 7.0);
    EXPECT_EQ(c[2][3], 5.0);

    // Repeating the transfer changes nothing.
    Transfer(x.data());
    Continuity();
    EXPECT_EQ(c[2][0], 15.0);
    EXPECT_EQ(c[2][2], 7.0);
}

TEST_F(ParameterTransfer, QuadraticIsContinuousInValueAndSlopeAtEveryKnot)
{
    set_knots({0.3, 0.9, 1.7, 2.0}, 2);
    const std::vector<double> x = one_based({0.5, -1.25, 0.75, 3.0, -2.0});
    Transfer(x.data());
    Continuity();
    EXPECT_EQ(c[2][2], 3.0);
    EXPECT_EQ(c[3][2], -2.0);
    for (int j = 1; j < J; j++) {
        const double d = delta[j];
        const double value = c[j][0] + c[j][1] * d + c[j][2] * d * d;
        const double slope = c[j][1] + 2 * c[j][2] * d;
        EXPECT_NEAR(c[j + 1][0], value, 1e-14);
        EXPECT_NEAR(c[j + 1][1], slope, 1e-14);
        // The model is continuous where the intervals meet.
        EXPECT_NEAR(P0(Y[j + 1], j), P0(Y[j + 1], j + 1), 1e-14);
    }
}

TEST_F(ParameterTransfer, ZeroWidthSpanPassesTheCoefficientsOn)
{
    set_knots({0, 1, 1, 2}, 3);
    const std::vector<double> x = one_based({1, 2, 3, 4, 5, 6});
    Transfer(x.data());
    Continuity();
    EXPECT_EQ(c[3][0], c[2][0]);
    EXPECT_EQ(c[3][1], c[2][1]);
    EXPECT_EQ(c[3][2], c[2][2]);
    EXPECT_EQ(c[3][3], 6.0);
}

TEST_F(LeastSquaresObjective, SumsSquaredMisfitsInObservationOrder)
{
    set_knots({0, 2}, 1);
    set_observations({0, 1, 2}, {1, 3, 5}, {1, 1, 1});
    std::vector<double> x = one_based({1, 2});
    EXPECT_EQ(Eqn(x.data()), 0.0);
    x = one_based({0, 0});
    EXPECT_EQ(Eqn(x.data()), 35.0);

    // Each observation keeps the interval it was given, not the one a lookup
    // would find: an observation at the knot counted with interval 1.
    set_knots({0, 1, 2}, 1);
    set_observations({0, 1, 2}, {0, 0, 0}, {1, 1, 2});
    x = one_based({0, 1, 10});
    // c[1] = (0, 1), c[2] = (1, 10): values 0, 1, 11.
    EXPECT_EQ(Eqn(x.data()), 0.0 + 1.0 + 121.0);
    EXPECT_EQ(c[2][0], 1.0);
}
