// The cost of the rating fit: the whole fit as the driver makes it, and one
// evaluation of its objective, on synthetic gauges of N observations with J
// automatic intervals and degree M.
//
// Counters: evals = objective evaluations per fit; t_eval_obs = time per
// evaluation per observation (seconds, shown with an SI prefix); iter =
// Powell's iteration count.
#include "Model.h"
#include "Workload.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

constexpr std::uint64_t kSeed = 20240611;

long evaluations = 0;

double counting_eqn(double *x)
{
    ++evaluations;
    return Eqn(x);
}

GaugeShape shape_of(const benchmark::State &state)
{
    return GaugeShape{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                      static_cast<int>(state.range(2)), kSeed};
}

void BM_Fit(benchmark::State &state)
{
    const GaugeShape shape = shape_of(state);
    load_synthetic(shape);
    long total = 0;
    int iterations = 0;
    for (auto _ : state) {
        evaluations = 0;
        const FitResult r = fit_from_zero(counting_eqn);
        benchmark::DoNotOptimize(r.fret);
        total += evaluations;
        iterations = r.iter;
    }
    state.counters["evals"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kAvgIterations);
    state.counters["iter"] = iterations;
    state.counters["t_eval_obs"] = benchmark::Counter(static_cast<double>(total) * shape.n,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Eqn(benchmark::State &state)
{
    const GaugeShape shape = shape_of(state);
    load_synthetic(shape);
    // A point near the fitted curve: a sensible mix of coefficient sizes.
    double xv[128] = {};
    xv[1] = 1.0;
    xv[2] = 2.0;
    for (int k = 3; k <= J + M; k++)
        xv[k] = 0.1 * k;
    for (auto _ : state)
        benchmark::DoNotOptimize(Eqn(xv));
    state.counters["t_eval_obs"] = benchmark::Counter(static_cast<double>(state.iterations()) * shape.n,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void shapes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"N", "J", "M"});
    for (int n : {50, 250, 999})
        for (int j : {3, 10, 30})
            for (int m : {1, 2, 3})
                b->Args({n, j, m});
}

} // namespace

BENCHMARK(BM_Fit)->Apply(shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Eqn)->Apply(shapes)->Unit(benchmark::kNanosecond);

BENCHMARK_MAIN();
