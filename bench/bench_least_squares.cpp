// The cost of one exact least-squares fit of the rating model: synthetic
// gauges of N gaugings (Q = 12 (h - 0.25)^1.6 with a few per cent noise,
// fitted as Q^0.5, stages 0.4..3.4) with J equal-count intervals and degree M.
#include "LeastSquares.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

struct Gauge {
    std::vector<double> h, y, Y;
};

Gauge synthetic(int n, int J)
{
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> stage(0.4, 3.4);
    std::uniform_real_distribution<double> noise(-0.03, 0.03);
    Gauge g;
    for (int i = 0; i < n; i++)
        g.h.push_back(stage(rng));
    std::sort(g.h.begin(), g.h.end());
    for (double s : g.h)
        g.y.push_back(std::sqrt(12 * std::pow(s - 0.25, 1.6) * (1 + noise(rng))));
    // The program's automatic knots: equal numbers of gaugings per interval.
    const double per = static_cast<double>(n) / J;
    g.Y.push_back(g.h.front());
    for (int q = 1; q < J; q++) {
        const int iz = static_cast<int>(std::round(q * per));
        g.Y.push_back((g.h[iz - 1] + g.h[iz]) * 0.5);
    }
    g.Y.push_back(g.h.back());
    return g;
}

void BM_FitSpline(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    const int J = static_cast<int>(state.range(1));
    const int M = static_cast<int>(state.range(2));
    const Gauge g = synthetic(n, J);
    SplineFit fit;
    for (auto _ : state) {
        fit_spline(g.h.data(), g.y.data(), n, g.Y.data(), J, M, fit);
        benchmark::DoNotOptimize(fit.sse);
    }
    if (!fit.determined)
        state.SkipWithError("the synthetic gauge does not determine the curve");
}

void shapes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"N", "J", "M"});
    for (int n : {50, 250, 999})
        for (int J : {3, 10, 30, 98})
            if (n >= 4 * J)
                for (int M = 1; M <= 3; M++)
                    b->Args({n, J, M});
}

} // namespace

BENCHMARK(BM_FitSpline)->Apply(shapes)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
