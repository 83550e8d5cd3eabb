// Model selection: the cross-validated standard error against refits without
// each gauging, the choice on gauges of known shape, the parsimony rule and
// its ties, ineligible candidates, and the candidates a setting produces.
#include "Fit.h"
#include "Knots.h"
#include "Selection.h"
#include "Weighted.h"

#include "DenseBasis.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Vec = std::vector<double>;
using dense::Matrix;
using dense::Real;
using dense::Vector;

std::mt19937_64 rng;

double uniform(double lo, double hi)
{
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

double normal()
{
    return std::normal_distribution<double>(0.0, 1.0)(rng);
}

struct BruteForce {
    bool eligible = true;
    double cv_se_pct = 0.0;
    double se_pct = 0.0;
};

// Refits without each gauging in turn (weights w held fixed, empty: 1) by a
// dense weighted least-squares solve, and predicts the gauging left out.
BruteForce brute_force(const Vec &h, const Vec &Q, const Vec &w, double nu, const Vec &Y, int M)
{
    const int n = static_cast<int>(h.size());
    const Matrix X = dense::design(dense::knot_vector(Y, M), M, h);
    Vector y(n), weight(n);
    for (int i = 0; i < n; i++) {
        y(i) = std::pow(static_cast<Real>(Q[i]), static_cast<Real>(nu));
        weight(i) = w.empty() ? 1.0L : w[i];
    }
    const auto solve = [&](int left_out) {
        Matrix A = Matrix::Zero(X.cols(), X.cols());
        Vector b = Vector::Zero(X.cols());
        for (int i = 0; i < n; i++)
            if (i != left_out) {
                A += weight(i) * X.row(i).transpose() * X.row(i);
                b += weight(i) * y(i) * X.row(i).transpose();
            }
        return Vector(A.ldlt().solve(b));
    };
    BruteForce result;
    Real sum = 0.0L;
    int count = 0;
    for (int i = 0; i < n; i++) {
        if (!(Q[i] > 0.0))
            continue;
        const Real predicted = X.row(i).dot(solve(i));
        if (predicted <= 0.0L) {
            result.eligible = false;
            continue;
        }
        const Real r = std::log(static_cast<Real>(Q[i])) - std::log(predicted) / nu;
        sum += r * r;
        count++;
    }
    result.cv_se_pct = static_cast<double>(100.0L * std::sqrt(sum / count));
    const Vector fitted = X * solve(-1);
    Real fitted_sum = 0.0L;
    int fitted_count = 0;
    for (int i = 0; i < n; i++)
        if (Q[i] > 0.0 && fitted(i) > 0.0L) {
            const Real r = std::log(static_cast<Real>(Q[i])) - std::log(fitted(i)) / nu;
            fitted_sum += r * r;
            fitted_count++;
        }
    result.se_pct = static_cast<double>(100.0L * std::sqrt(fitted_sum / (fitted_count - X.cols())));
    return result;
}

struct Gauge {
    Vec h, Q, sigma;
};

// Gaugings by stage of the test data's stations, sorted by stage (equal
// stages in file order).
std::map<std::string, Gauge> usgs_gauges()
{
    std::ifstream in(RATING_SOURCE_DIR "/tests/data/usgs-field-measurements.csv");
    std::string line;
    std::getline(in, line);
    std::map<std::string, std::vector<std::pair<double, double>>> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, ',');) {
            field.erase(std::remove(field.begin(), field.end(), '"'), field.end());
            fields.push_back(field);
        }
        rows[fields[1]].emplace_back(std::stod(fields[4]), std::stod(fields[5]));
    }
    std::map<std::string, Gauge> gauges;
    for (auto &[station, gaugings] : rows) {
        std::stable_sort(gaugings.begin(), gaugings.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        Gauge &g = gauges[station];
        for (const auto &[h, Q] : gaugings) {
            g.h.push_back(h);
            g.Q.push_back(Q);
            g.sigma.push_back(Q * 0.01 * std::pow(10.0, uniform(0, 1)) + 1e-3);
        }
    }
    return gauges;
}

// n gaugings at uniform stages over 0.5 .. 3.5 of the discharge curve, with
// a relative scatter.
template <class Curve>
Gauge simulated(int n, Curve curve, double scatter)
{
    Gauge g;
    for (int i = 0; i < n; i++)
        g.h.push_back(uniform(0.5, 3.5));
    std::sort(g.h.begin(), g.h.end());
    for (double s : g.h) {
        g.Q.push_back(curve(s) * std::exp(scatter * normal()));
        g.sigma.push_back(0.03 * g.Q.back());
    }
    return g;
}

const rating::Candidate &chosen(const std::vector<rating::Candidate> &candidates)
{
    const auto it = std::find_if(candidates.begin(), candidates.end(), [](const auto &c) { return c.chosen; });
    EXPECT_NE(it, candidates.end());
    EXPECT_EQ(std::count_if(candidates.begin(), candidates.end(), [](const auto &c) { return c.chosen; }), 1);
    return *it;
}

// Checks one fitted model's CV-Se and Se against the brute force.
void expect_brute_force(const Gauge &g, bool weighted, double nu, int J, int M)
{
    const Vec Y = rating::automatic_knots(g.h, J);
    rating::ModelFit model;
    rating::fit_model(g.h, g.Q, weighted ? g.sigma : Vec(), nu, Y, M, model);
    const rating::Candidate c = rating::score_model(g.h, g.Q, model, nu);
    const BruteForce expected = brute_force(g.h, g.Q, model.w, nu, Y, M);
    SCOPED_TRACE("n " + std::to_string(g.h.size()) + ", J " + std::to_string(J) + ", M " + std::to_string(M) +
                 ", nu " + std::to_string(nu) + (weighted ? ", weighted" : ""));
    EXPECT_EQ(c.intervals, J);
    EXPECT_EQ(c.p, model.fit.unknowns);
    EXPECT_NEAR(c.se_pct, expected.se_pct, 1e-9 * expected.se_pct);
    ASSERT_EQ(c.eligible, expected.eligible) << c.why;
    if (c.eligible) {
        EXPECT_NEAR(c.cv_se_pct, expected.cv_se_pct, 1e-9 * expected.cv_se_pct);
    }
}

rating::Candidate candidate(double nu, int J, int p, double cv, bool eligible = true)
{
    rating::Candidate c;
    c.nu = nu;
    c.intervals = J;
    c.p = p;
    c.cv_se_pct = cv;
    c.eligible = eligible;
    return c;
}

} // namespace

TEST(CvSe, MatchesRefitsWithoutEachGaugingOnRandomGauges)
{
    rng.seed(21);
    for (int trial = 0; trial < 18; trial++) {
        const int M = 1 + trial % 3;
        const int n = 30 + 17 * trial;
        const Gauge g = simulated(n, [](double h) { return 12 * std::pow(h - 0.3, 1.8); }, 0.08);
        const int J = 1 + trial % 9;
        const double nu = trial % 3 == 0 ? 0.5 : uniform(0.2, 1.0);
        expect_brute_force(g, trial % 2 == 1, nu, J, M);
    }
}

TEST(CvSe, MatchesRefitsWithoutEachGaugingOnRealGauges)
{
    rng.seed(22);
    int index = 0;
    for (const auto &[station, g] : usgs_gauges()) {
        SCOPED_TRACE("station " + station);
        const int M = 1 + index % 3;
        const int J = std::min(2 + index % 5, static_cast<int>(g.h.size()) / (M + 2));
        expect_brute_force(g, index % 2 == 0, index % 4 < 2 ? 0.5 : 0.35, J, M);
        index++;
    }
    EXPECT_EQ(index, 60);
}

TEST(Selection, APowerLawGivesFewIntervals)
{
    rng.seed(23);
    rating::FitSettings settings;
    // Leaving one gauging out is a noisy judge: now and then a flexible
    // curve happens to predict the lowest gaugings better. Most gauges of a
    // power law get one or two intervals.
    int few = 0;
    const int gauges = 40;
    for (int trial = 0; trial < gauges; trial++) {
        // Q = a (h - e)^b: a straight line in Q^(1/b), which any spline
        // follows when nu is chosen too, and a cubic one nearly at nu = 0.5.
        const double b = 1.6 + 0.1 * (trial % 10);
        const Gauge g = simulated(120, [b](double h) { return 20 * std::pow(h - 0.2, b); }, 0.04);
        settings.nu_auto = trial % 2 == 1;
        settings.degree = settings.nu_auto ? 1 + trial % 3 : 3;
        const auto candidates = rating::select_model(g.h, g.Q, trial % 4 >= 2 ? g.sigma : Vec(), settings);
        ASSERT_TRUE(candidates.ok()) << candidates.error().message;
        few += chosen(candidates.value()).intervals <= 2;
    }
    EXPECT_GE(few, gauges * 85 / 100);
}

TEST(Selection, ASharpBreakGivesMoreIntervals)
{
    rng.seed(24);
    rating::FitSettings settings;
    for (int trial = 0; trial < 6; trial++) {
        // A riffle controls the low flows up to the stage 1.5, the channel the
        // higher ones: the rating bends sharply where the control changes.
        const auto break_curve = [](double h) {
            return h < 1.5 ? 8 * std::pow(h - 0.3, 2.5) : 8 * std::pow(1.2, 2.5) + 60 * std::pow(h - 1.5, 1.4) +
                                                              8 * 2.5 * std::pow(1.2, 1.5) * (h - 1.5);
        };
        const Gauge g = simulated(150, break_curve, 0.03);
        settings.degree = 1 + trial % 3;
        settings.nu_auto = trial >= 3;
        const auto candidates = rating::select_model(g.h, g.Q, Vec(), settings);
        ASSERT_TRUE(candidates.ok()) << candidates.error().message;
        EXPECT_GE(chosen(candidates.value()).intervals, 3) << "degree " << settings.degree;
    }
}

TEST(Selection, PureNoiseNeverGivesTheLargestNumberOfIntervals)
{
    rng.seed(25);
    rating::FitSettings settings;
    for (int trial = 0; trial < 30; trial++) {
        Gauge g = simulated(40 + 5 * trial, [](double) { return 50.0; }, 0.3);
        settings.degree = 1 + trial % 3;
        settings.nu_auto = trial % 2 == 0;
        const auto candidates = rating::select_model(g.h, g.Q, trial % 3 == 0 ? g.sigma : Vec(), settings);
        ASSERT_TRUE(candidates.ok()) << candidates.error().message;
        int largest = 0;
        for (const auto &c : candidates.value())
            largest = std::max(largest, c.intervals);
        EXPECT_LT(chosen(candidates.value()).intervals, largest) << "trial " << trial;
    }
}

TEST(Selection, TheSimplestModelNearTheBestWins)
{
    const std::vector<double> grid = rating::nu_values(rating::NuGrid{}).value();
    const auto nu = [&](double v) { return *std::min_element(grid.begin(), grid.end(), [v](double a, double b) {
        return std::fabs(a - v) < std::fabs(b - v);
    }); };
    const auto pick = [](std::vector<rating::Candidate> candidates) {
        const int k = rating::choose_candidate(candidates);
        for (int j = 0; j < static_cast<int>(candidates.size()); j++)
            EXPECT_EQ(candidates[j].chosen, j == k);
        return k;
    };
    // Within 2 % of the best: fewer coefficients win; 2.5 % off does not count.
    EXPECT_EQ(pick({candidate(0.5, 5, 8, 10.0), candidate(0.5, 2, 5, 10.15), candidate(0.5, 1, 4, 10.25)}), 1);
    // Equal p: nu nearest 0.5, whatever the CV-Se within the margin.
    EXPECT_EQ(pick({candidate(nu(0.3), 2, 5, 10.0), candidate(nu(0.5), 2, 5, 10.1), candidate(nu(0.6), 2, 5, 10.0)}),
              1);
    // 0.45 and 0.55 are equally near 0.5 up to rounding: the smaller.
    EXPECT_EQ(pick({candidate(nu(0.55), 2, 5, 10.0), candidate(nu(0.45), 2, 5, 10.1)}), 1);
    EXPECT_EQ(pick({candidate(nu(0.45), 2, 5, 10.1), candidate(nu(0.55), 2, 5, 10.0)}), 0);
    // Then the least CV-Se, then the fewest intervals.
    EXPECT_EQ(pick({candidate(0.5, 3, 6, 10.1), candidate(0.5, 4, 6, 10.0)}), 1);
    EXPECT_EQ(pick({candidate(0.5, 4, 6, 10.0), candidate(0.5, 3, 6, 10.0)}), 1);
    // Ineligible candidates take no part, not even in setting the best.
    EXPECT_EQ(pick({candidate(0.5, 1, 4, 5.0, false), candidate(0.5, 2, 5, 10.0), candidate(0.5, 1, 4, 10.5)}), 1);
    EXPECT_EQ(pick({candidate(0.5, 1, 4, 5.0, false)}), -1);
}

TEST(Selection, IneligibleCandidatesSayWhy)
{
    rating::FitSettings settings;
    settings.intervals_auto = false;
    settings.degree = 1;
    // The candidate of settings.intervals automatic intervals, on its own.
    const auto only = [&](const Vec &h, const Vec &Q) {
        rating::ModelFit model;
        rating::fit_model(h, Q, {}, 0.5, rating::automatic_knots(h, settings.intervals), settings.degree, model);
        return rating::score_model(h, Q, model, 0.5);
    };
    const auto error_of = [&](const Vec &h, const Vec &Q) {
        const auto result = rating::select_model(h, Q, Vec(), settings);
        EXPECT_FALSE(result.ok());
        return result.ok() ? std::string() : result.error().message;
    };
    // A basis function with one gauging under it fits that gauging exactly.
    settings.knots = {1, 3};
    const Vec h = {0, 0.1, 0.2, 0.3, 2, 4};
    const Vec Q = {1, 1.2, 1.4, 1.6, 5, 9};
    rating::ModelFit model;
    rating::fit_model(h, Q, {}, 0.5, rating::listed_knots(h, settings.knots), 1, model);
    const rating::Candidate leverage = rating::score_model(h, Q, model, 0.5);
    EXPECT_FALSE(leverage.eligible);
    EXPECT_TRUE(std::isnan(leverage.cv_se_pct));
    EXPECT_EQ(leverage.why, "the curve passes through the gauging at stage 2 (leverage 1)");
    EXPECT_NE(error_of(h, Q).find("the curve passes through the gauging at stage 2"), std::string::npos);

    // The straight line through the others meets 0 below the lowest gauging.
    settings.knots.clear();
    settings.intervals = 1;
    const rating::Candidate negative = only({0, 1, 2, 3}, {0.25, 1, 6.25, 16});
    EXPECT_EQ(negative.why, "the curve without the gauging at stage 0 gives no discharge there");
    EXPECT_TRUE(std::isfinite(negative.se_pct));

    // Three knots in a gap of the gaugings: the middle one is free.
    const Vec gap = {0, 0.2, 0.4, 0.6, 0.8, 1, 2, 2.2, 2.4, 2.6, 2.8, 3};
    settings.knots = {1.3, 1.5, 1.7};
    rating::fit_model(gap, gap, {}, 0.5, rating::listed_knots(gap, settings.knots), 1, model);
    const rating::Candidate loose = rating::score_model(gap, gap, model, 0.5);
    EXPECT_EQ(loose.why, "the gaugings do not fix the curve at stages 1.3 to 1.7");
    EXPECT_TRUE(std::isnan(loose.se_pct));

    // Too few gaugings for the coefficients, and for choosing the intervals.
    settings.knots.clear();
    settings.intervals = 2;
    EXPECT_EQ(only({1, 2, 3}, {1, 2, 3}).why, "3 coefficients need at least 4 gaugings, there are 3");
    settings.intervals_auto = true;
    settings.degree = 3;
    EXPECT_EQ(error_of({1, 2, 3, 4}, {1, 2, 3, 4}),
              "too few gaugings to choose the number of intervals: at least 5 active gaugings are needed for "
              "degree 3, there are 4");
    // Knots outside the gaugings and a grid holding 0 are refused.
    settings.intervals_auto = false;
    settings.knots = {5};
    EXPECT_NE(error_of({1, 2, 3, 4}, {1, 2, 3, 4}).find("the knots must ascend strictly between"), std::string::npos);
    settings.knots.clear();
    settings.nu_auto = true;
    settings.nu_grid = {-0.5, 0.5, 0.1, 1};
    EXPECT_NE(error_of({1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}).find("holds 0"), std::string::npos);
}

TEST(Selection, CandidatesInOrderAndAsFittedAlone)
{
    rng.seed(26);
    const Gauge g = simulated(90, [](double h) { return 15 * std::pow(h - 0.2, 1.7); }, 0.05);
    rating::FitSettings settings;
    settings.nu_auto = true;
    settings.nu_grid = {0.3, 0.7, 0.1, 1};
    for (int M = 1; M <= 3; M++)
        for (bool weighted : {false, true}) {
            settings.degree = M;
            const Vec sigma = weighted ? g.sigma : Vec();
            const auto result = rating::select_model(g.h, g.Q, sigma, settings);
            ASSERT_TRUE(result.ok());
            const auto &candidates = result.value();
            const int most = std::min(30, 90 / (M + 2));
            ASSERT_EQ(candidates.size(), 5u * most);
            chosen(candidates);
            for (int k = 0; k < static_cast<int>(candidates.size()); k++) {
                const rating::Candidate &c = candidates[k];
                const double nu = std::array<double, 5>{0.3, 0.4, 0.5, 0.6, 0.7}[k / most];
                ASSERT_EQ(c.nu, nu);
                ASSERT_EQ(c.intervals, 1 + k % most);
                // The same bits as the model fitted and scored on its own.
                rating::ModelFit model;
                rating::fit_model(g.h, g.Q, sigma, nu, rating::automatic_knots(g.h, c.intervals), M, model);
                const rating::Candidate alone = rating::score_model(g.h, g.Q, model, nu);
                ASSERT_EQ(c.p, alone.p);
                ASSERT_EQ(c.eligible, alone.eligible);
                ASSERT_EQ(c.why, alone.why);
                if (c.eligible) {
                    ASSERT_EQ(c.cv_se_pct, alone.cv_se_pct);
                }
            }
        }
    // Listed knots are the only knots, intervals auto or not.
    settings.knots = {1.0, 2.0};
    const auto listed = rating::select_model(g.h, g.Q, Vec(), settings);
    ASSERT_TRUE(listed.ok());
    ASSERT_EQ(listed.value().size(), 5u);
    for (const rating::Candidate &c : listed.value())
        EXPECT_EQ(c.intervals, 3);
    // max_intervals caps the intervals tried.
    settings.knots.clear();
    settings.max_intervals = 4;
    settings.nu_auto = false;
    const auto capped = rating::select_model(g.h, g.Q, Vec(), settings);
    ASSERT_TRUE(capped.ok());
    EXPECT_EQ(capped.value().size(), 4u);
}
