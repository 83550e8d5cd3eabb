// The rising curve: the constrained least squares against every face of the
// constraint set solved on its own (random problems and real gauges), and
// the falling ranges of hand-made pieces and of the gauges' curves.
#include "Knots.h"
#include "Monotone.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using rating::fit_monotone;
using rating::MonotoneFit;
using rating::Piece;
using rating::StageRange;
using Eigen::MatrixXd;
using Eigen::VectorXd;

struct Problem {
    MatrixXd R;
    VectorXd d;
};

std::vector<double> row_major(const MatrixXd &m)
{
    std::vector<double> v;
    for (Eigen::Index i = 0; i < m.rows(); i++)
        for (Eigen::Index j = 0; j < m.cols(); j++)
            v.push_back(m(i, j));
    return v;
}

MonotoneFit solve(const Problem &q, bool increasing)
{
    const std::vector<double> d(q.d.data(), q.d.data() + q.d.size());
    return fit_monotone(row_major(q.R), d, static_cast<int>(q.d.size()), increasing);
}

// A basis of the coefficients with c[k+1] == c[k] for each k in `equal`.
MatrixXd equality_basis(int p, const std::vector<int> &equal)
{
    MatrixXd C = MatrixXd::Zero(static_cast<Eigen::Index>(equal.size()), p);
    for (std::size_t r = 0; r < equal.size(); r++)
        C(static_cast<Eigen::Index>(r), equal[r]) = -1.0, C(static_cast<Eigen::Index>(r), equal[r] + 1) = 1.0;
    return equal.empty() ? MatrixXd::Identity(p, p) : MatrixXd(Eigen::FullPivLU<MatrixXd>(C).kernel());
}

// The constrained minimum by brute force: the least squares on every face
// (each subset of the constraints as equalities), the least among the faces
// whose solution obeys the rest.
VectorXd brute_force(const Problem &q, bool increasing)
{
    const int p = static_cast<int>(q.d.size());
    const double sign = increasing ? 1.0 : -1.0;
    double best = HUGE_VAL;
    VectorXd best_c;
    for (unsigned mask = 0; mask < 1u << (p - 1); mask++) {
        std::vector<int> equal;
        for (int k = 0; k + 1 < p; k++)
            if (mask >> k & 1u)
                equal.push_back(k);
        const MatrixXd N = equality_basis(p, equal);
        const VectorXd c = N * (q.R * N).colPivHouseholderQr().solve(q.d);
        const double scale = c.cwiseAbs().maxCoeff();
        bool feasible = true;
        for (int k = 0; k + 1 < p; k++)
            feasible = feasible && sign * (c(k + 1) - c(k)) >= -1e-12 * scale;
        const double sse = (q.R * c - q.d).squaredNorm();
        if (feasible && sse < best)
            best = sse, best_c = c;
    }
    return best_c;
}

// What every solution must be: on the constraints exactly, with the sum of
// squares it claims, and the covariance of its active set (here from the
// normal equations of another basis of that face).
void expect_consistent(const Problem &q, const MonotoneFit &fit, bool increasing)
{
    const int p = static_cast<int>(q.d.size());
    ASSERT_TRUE(fit.converged);
    const VectorXd c = Eigen::Map<const VectorXd>(fit.coefficients.data(), p);
    for (int k = 0; k + 1 < p; k++) {
        const bool active = std::count(fit.active.begin(), fit.active.end(), k) > 0;
        const double step = (increasing ? 1.0 : -1.0) * (c(k + 1) - c(k));
        EXPECT_TRUE(active ? step == 0.0 : step > 0.0) << "constraint " << k;
    }
    // Optimality: the gradient L' R' (R c - d) in z_0 and the steps, signed,
    // is zero on the free ones and not negative on the active ones.
    const VectorXd u = q.R.transpose() * (q.R * c - q.d);
    const double tolerance = 1e-9 * q.R.norm() * q.d.norm();
    double gradient = 0.0;
    for (int k = p - 1; k >= 1; k--) {
        gradient += (increasing ? 1.0 : -1.0) * u(k);
        const bool active = std::count(fit.active.begin(), fit.active.end(), k - 1) > 0;
        EXPECT_GE(gradient, -tolerance) << "step " << k;
        EXPECT_LE(gradient, active ? HUGE_VAL : tolerance) << "step " << k;
    }
    EXPECT_LE(std::fabs(u.sum()), tolerance);
    const double sse = (q.R * c - q.d).squaredNorm();
    EXPECT_NEAR(fit.reduced_sse, sse, 1e-10 * (sse + q.d.squaredNorm() * 1e-6));
    const MatrixXd N = equality_basis(p, fit.active);
    const MatrixXd RN = q.R * N;
    const MatrixXd cov = N * (RN.transpose() * RN).inverse() * N.transpose();
    const MatrixXd got = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
        fit.covariance.data(), p, p);
    EXPECT_LE((got - cov).cwiseAbs().maxCoeff(), 1e-9 * cov.cwiseAbs().maxCoeff());
}

TEST(FitMonotone, RandomProblemsMatchBruteForce)
{
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> diagonal(0.5, 2.0);
    int constrained = 0;
    for (int trial = 0; trial < 300; trial++) {
        const int p = 1 + trial % 9;
        const bool increasing = trial % 3 != 0;
        Problem q{MatrixXd::Zero(p, p), VectorXd(p)};
        for (int i = 0; i < p; i++) {
            q.R(i, i) = diagonal(rng) * (trial % 5 == 0 ? std::pow(10.0, i % 4) : 1.0);
            for (int j = i + 1; j < p; j++)
                q.R(i, j) = normal(rng);
        }
        // A trend along the constraint with steps of either sign.
        VectorXd c(p);
        c(0) = normal(rng);
        for (int k = 1; k < p; k++)
            c(k) = c(k - 1) + (increasing ? 1.0 : -1.0) * (0.3 + normal(rng));
        q.d = q.R * c + 0.3 * VectorXd::NullaryExpr(p, [&] { return normal(rng); });
        const MonotoneFit fit = solve(q, increasing);
        SCOPED_TRACE("trial " + std::to_string(trial));
        expect_consistent(q, fit, increasing);
        const VectorXd best = brute_force(q, increasing);
        const double best_sse = (q.R * best - q.d).squaredNorm();
        EXPECT_NEAR(fit.reduced_sse, best_sse, 1e-9 * best_sse + 1e-14 * q.d.squaredNorm());
        if (fit.active.empty()) {
            const VectorXd free = q.R.triangularView<Eigen::Upper>().solve(q.d);
            for (int k = 0; k < p; k++)
                EXPECT_NEAR(fit.coefficients[static_cast<std::size_t>(k)], free(k), 1e-13 * free.cwiseAbs().maxCoeff());
        } else {
            constrained++;
        }
    }
    EXPECT_GT(constrained, 100);
    EXPECT_LT(constrained, 300);
}

// Cox-de Boor: the B-splines of degree m of the clamped knots t at x, the
// last interval closed at its right end.
VectorXd bsplines(const std::vector<double> &t, int m, double x)
{
    const int p = static_cast<int>(t.size()) - m - 1;
    std::vector<double> b(t.size() - 1, 0.0);
    int span = m;
    while (span + 1 < p && x >= t[static_cast<std::size_t>(span) + 1])
        span++;
    b[static_cast<std::size_t>(span)] = 1.0;
    for (int e = 1; e <= m; e++)
        for (int i = 0; i + e < static_cast<int>(t.size()) - 1; i++) {
            const auto u = [&](int k) { return t[static_cast<std::size_t>(k)]; };
            const std::size_t j = static_cast<std::size_t>(i);
            const double left = u(i + e) > u(i) ? (x - u(i)) / (u(i + e) - u(i)) * b[j] : 0.0;
            const double right =
                u(i + e + 1) > u(i + 1) ? (u(i + e + 1) - x) / (u(i + e + 1) - u(i + 1)) * b[j + 1] : 0.0;
            b[j] = left + right;
        }
    return Eigen::Map<const VectorXd>(b.data(), p);
}

struct Gauge {
    std::vector<double> h, q;
};

std::map<std::string, Gauge> usgs_gauges()
{
    std::ifstream in(RATING_SOURCE_DIR "/tests/data/usgs-field-measurements.csv");
    const auto fields = [](const std::string &line) {
        std::vector<std::string> out(1);
        bool quoted = false;
        for (const char ch : line)
            if (ch == '"')
                quoted = !quoted;
            else if (ch == ',' && !quoted)
                out.emplace_back();
            else if (ch != '\r')
                out.back() += ch;
        return out;
    };
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> head = fields(line);
    const auto column = [&](const char *name) { return std::find(head.begin(), head.end(), name) - head.begin(); };
    const auto station = column("station_number"), w = column("W"), q = column("Q");
    std::map<std::string, Gauge> gauges;
    while (std::getline(in, line)) {
        const std::vector<std::string> v = fields(line);
        gauges[v[static_cast<std::size_t>(station)]].h.push_back(std::stod(v[static_cast<std::size_t>(w)]));
        gauges[v[static_cast<std::size_t>(station)]].q.push_back(std::stod(v[static_cast<std::size_t>(q)]));
    }
    return gauges;
}

// Each gauge fitted in Q^0.5 with cubic splines on 10 intervals of equal
// gauging counts: where the coefficients fall, the constrained fit is the
// brute-force one, and its curve rises at 10,000 stages.
TEST(FitMonotone, UsgsGaugesMatchBruteForceAndRise)
{
    constexpr int kDegree = 3;
    int falling_curves = 0;
    int constrained = 0;
    for (const auto &[number, g] : usgs_gauges()) {
        SCOPED_TRACE("station " + number);
        std::vector<std::size_t> order(g.h.size());
        for (std::size_t i = 0; i < order.size(); i++)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return g.h[a] < g.h[b]; });
        std::vector<double> h;
        VectorXd y(static_cast<Eigen::Index>(order.size()));
        for (std::size_t i = 0; i < order.size(); i++)
            h.push_back(g.h[order[i]]), y(static_cast<Eigen::Index>(i)) = std::sqrt(g.q[order[i]]);
        const std::vector<double> Y = rating::automatic_knots(h, 10);
        std::vector<double> t(kDegree + 1, Y.front());
        for (std::size_t k = 1; k + 1 < Y.size(); k++)
            if (Y[k] > t.back() && Y[k] < Y.back())
                t.push_back(Y[k]);
        t.insert(t.end(), kDegree + 1, Y.back());
        const int p = static_cast<int>(t.size()) - kDegree - 1;
        MatrixXd X(y.size(), p);
        for (Eigen::Index i = 0; i < y.size(); i++)
            X.row(i) = bsplines(t, kDegree, h[static_cast<std::size_t>(i)]);
        const Eigen::HouseholderQR<MatrixXd> qr(X);
        if (X.colPivHouseholderQr().rank() < p)
            continue;
        const Problem q{qr.matrixQR().topRows(p).triangularView<Eigen::Upper>(),
                        (qr.householderQ().transpose() * y).head(p)};
        const VectorXd free = q.R.triangularView<Eigen::Upper>().solve(q.d);

        const auto value = [&](double x, const VectorXd &c) { return bsplines(t, kDegree, x).dot(c); };
        // The stages of 10,000 steps over the range at which the curve has
        // fallen since the step before.
        const auto falls_at = [&](const VectorXd &c) {
            std::vector<double> stages;
            double last = value(h.front(), c);
            for (int i = 1; i <= 10000; i++) {
                const double x = h.front() + (h.back() - h.front()) * i / 10000;
                const double v = value(x, c);
                if (v < last - 1e-12 * c.cwiseAbs().maxCoeff())
                    stages.push_back(x);
                last = v;
            }
            return stages;
        };
        const std::vector<double> fall_stages = falls_at(free);
        // The same from the pieces, each interval's cubic from four values.
        std::vector<Piece> pieces;
        for (std::size_t s = kDegree; s + kDegree + 1 < t.size(); s++) {
            const double width = t[s + 1] - t[s];
            Eigen::Matrix4d V;
            Eigen::Vector4d v;
            for (int j = 0; j < 4; j++) {
                const double x = width * j / 3;
                V.row(j) << 1.0, x, x * x, x * x * x;
                v(j) = bsplines(t, kDegree, j == 3 ? t[s + 1] : t[s] + x).dot(free);
            }
            const Eigen::Vector4d a = V.fullPivLu().solve(v);
            pieces.push_back({t[s], t[s + 1], {a(0), a(1), a(2), a(3)}});
        }
        // Every fall seen at the stages lies in a range; in the middle of
        // each range the curve falls (some too short for the stages).
        const std::vector<StageRange> ranges = rating::falling_ranges(pieces, true);
        const double step = (h.back() - h.front()) / 10000;
        for (const double x : fall_stages) {
            const auto meets = [&](const StageRange &r) { return r.first <= x && x - step <= r.second; };
            EXPECT_TRUE(std::any_of(ranges.begin(), ranges.end(), meets)) << x;
        }
        for (const StageRange &r : ranges) {
            const double mid = 0.5 * (r.first + r.second), dh = 1e-3 * (r.second - r.first);
            EXPECT_LT(value(mid + dh, free), value(mid - dh, free)) << r.first << ".." << r.second;
        }
        falling_curves += !ranges.empty();
        const MonotoneFit fit = solve(q, true);
        expect_consistent(q, fit, true);
        if (fit.active.empty()) {
            EXPECT_TRUE(fall_stages.empty());
            for (int k = 0; k < p; k++)
                EXPECT_NEAR(fit.coefficients[static_cast<std::size_t>(k)], free(k), 1e-12 * free.cwiseAbs().maxCoeff());
            continue;
        }
        constrained++;
        const VectorXd c = Eigen::Map<const VectorXd>(fit.coefficients.data(), p);
        const VectorXd best = brute_force(q, true);
        const double sse_free = (X * free - y).squaredNorm();
        const double sse = (X * c - y).squaredNorm();
        EXPECT_NEAR(sse, (X * best - y).squaredNorm(), 1e-9 * sse);
        EXPECT_NEAR(sse, sse_free + fit.reduced_sse, 1e-9 * sse);
        EXPECT_TRUE(falls_at(c).empty());
    }
    EXPECT_GE(falling_curves, 8);
    EXPECT_GE(constrained, falling_curves);
}

TEST(FallingRanges, FindsWhereTheSlopeIsBelowZero)
{
    const auto ranges = [](std::vector<Piece> pieces, bool increasing = true) {
        return rating::falling_ranges(pieces, increasing);
    };
    // Slope 3x^2 - 6x + 2, below zero between 1 -+ 1/sqrt(3).
    const std::vector<StageRange> dip = ranges({{10.0, 12.0, {1.0, 2.0, -3.0, 1.0}}});
    ASSERT_EQ(dip.size(), 1u);
    EXPECT_NEAR(dip[0].first, 11.0 - 1.0 / std::sqrt(3.0), 1e-10);
    EXPECT_NEAR(dip[0].second, 11.0 + 1.0 / std::sqrt(3.0), 1e-10);
    // Slopes 3 (x - 1)^2 and (x - 0.3)^2 (rounded) touch zero; a line rises.
    EXPECT_TRUE(ranges({{0.0, 2.0, {-1.0, 3.0, -3.0, 1.0}}, {2.0, 3.0, {0.0, 2.0}}}).empty());
    EXPECT_TRUE(ranges({{5.0, 6.0, {-0.009, 0.09, -0.3, 1.0 / 3.0}}}).empty());
    // A falling line, then a quadratic falling to its vertex: one range.
    const std::vector<StageRange> joined =
        ranges({{0.0, 1.0, {5.0, -1.0}}, {1.0, 3.0, {4.0, -2.0, 1.0}}, {3.0, 4.0, {4.0, 1.0}}});
    ASSERT_EQ(joined.size(), 1u);
    EXPECT_EQ(joined[0].first, 0.0);
    EXPECT_NEAR(joined[0].second, 2.0, 1e-10);
    // A slope below zero by rounding only counts not; by 1e-9 it does.
    EXPECT_TRUE(ranges({{0.0, 1.0, {100.0, -1e-14}}}).empty());
    EXPECT_EQ(ranges({{0.0, 1.0, {100.0, -1e-9}}}), std::vector<StageRange>{StageRange(0.0, 1.0)});
    // For nu < 0, Q^nu must fall: the rising parts count.
    const std::vector<StageRange> negative = ranges({{0.0, 2.0, {1.0, 2.0, -3.0, 1.0}}}, false);
    ASSERT_EQ(negative.size(), 2u);
    EXPECT_EQ(negative[0].first, 0.0);
    EXPECT_NEAR(negative[0].second, 1.0 - 1.0 / std::sqrt(3.0), 1e-10);
    EXPECT_EQ(negative[1].second, 2.0);
}

TEST(ConstraintRange, IsWhereBothBSplinesAreNonZero)
{
    const std::vector<double> t = {0, 0, 0, 0, 1, 2.5, 3, 4, 4, 4, 4};
    const int p = 7;
    for (int k = 0; k + 1 < p; k++) {
        double lo = HUGE_VAL, hi = -HUGE_VAL;
        for (int i = 0; i <= 4000; i++) {
            const double x = i / 1000.0;
            const VectorXd b = bsplines(t, 3, x);
            if (b(k) > 0.0 && b(k + 1) > 0.0)
                lo = std::min(lo, x), hi = std::max(hi, x);
        }
        const StageRange range = rating::constraint_range(t, 3, k);
        EXPECT_NEAR(range.first, lo, 1.5e-3) << k;
        EXPECT_NEAR(range.second, hi, 1.5e-3) << k;
    }
}

} // namespace
