// The cost of the rising curve against the unconstrained one, N 999, J 30,
// cubic (p = 33): a synthetic gauge whose discharge stays level over part of
// the range, so that the noise makes the least-squares curve fall there.
// fit_spline (the whole unconstrained fit, from the gaugings) and the dense
// triangular solve are the yardsticks of the constrained solve.
#include "LeastSquares.h"
#include "Monotone.h"

#include <benchmark/benchmark.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int kN = 999;
constexpr int kJ = 30;
constexpr int kDegree = 3;

struct Gauge {
    std::vector<double> h, y, Y;
};

// Q = 12 (h - 0.25)^1.6 with the discharge held level from 1.5 to 2.0 (a
// control that drowns), 3 % noise, fitted as Q^0.5 on equal-count knots.
Gauge synthetic()
{
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> stage(0.4, 3.4);
    std::uniform_real_distribution<double> noise(-0.03, 0.03);
    const auto discharge = [](double h) { return 12 * std::pow(h - 0.25, 1.6); };
    Gauge g;
    for (int i = 0; i < kN; i++)
        g.h.push_back(stage(rng));
    std::sort(g.h.begin(), g.h.end());
    for (const double s : g.h) {
        const double q = s < 1.5 ? discharge(s) : s < 2.0 ? discharge(1.5) : discharge(s - 0.5);
        g.y.push_back(std::sqrt(q * (1 + noise(rng))));
    }
    const double per = static_cast<double>(kN) / kJ;
    g.Y.push_back(g.h.front());
    for (int q = 1; q < kJ; q++) {
        const auto iz = static_cast<std::size_t>(std::round(q * per));
        g.Y.push_back((g.h[iz - 1] + g.h[iz]) * 0.5);
    }
    g.Y.push_back(g.h.back());
    return g;
}

struct Triangle {
    int p = 0;
    std::vector<double> R;  // p x p, row by row
    std::vector<double> d;
};

Triangle gauge_triangle()
{
    const Gauge g = synthetic();
    SplineFit fit;
    fit_spline(g.h.data(), g.y.data(), kN, g.Y.data(), kJ, kDegree, fit);
    Triangle t;
    t.p = fit.unknowns;
    spline_dense_factor(fit, t.R, t.d);
    return t;
}

void BM_FitSpline(benchmark::State &state)
{
    const Gauge g = synthetic();
    SplineFit fit;
    for (auto _ : state) {
        fit_spline(g.h.data(), g.y.data(), kN, g.Y.data(), kJ, kDegree, fit);
        benchmark::DoNotOptimize(fit.sse);
    }
    if (!fit.determined)
        state.SkipWithError("the synthetic gauge does not determine the curve");
}

void BM_UnconstrainedSolve(benchmark::State &state)
{
    const Triangle t = gauge_triangle();
    using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    const Eigen::Map<const RowMatrix> R(t.R.data(), t.p, t.p);
    const Eigen::Map<const Eigen::VectorXd> d(t.d.data(), t.p);
    Eigen::VectorXd c(t.p);
    for (auto _ : state) {
        c = d;
        R.triangularView<Eigen::Upper>().solveInPlace(c);
        benchmark::DoNotOptimize(c.data());
    }
}

// The constrained solve with its covariance; the counter is the number of
// active constraints.
void BM_MonotoneSolve(benchmark::State &state)
{
    const Triangle t = gauge_triangle();
    rating::MonotoneFit fit;
    for (auto _ : state) {
        fit = rating::fit_monotone(t.R, t.d, t.p, true);
        benchmark::DoNotOptimize(fit.coefficients.data());
    }
    state.counters["p"] = t.p;
    state.counters["active"] = static_cast<double>(fit.active.size());
    if (fit.active.empty() || !fit.converged)
        state.SkipWithError("the synthetic gauge's curve does not need the constraint");
}

} // namespace

BENCHMARK(BM_FitSpline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnconstrainedSolve)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MonotoneSolve)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
