// The cost of the rating fit: the whole fit as the driver makes it, and one
// evaluation of its objective, on synthetic gauges of N observations with J
// automatic intervals and degree M.
//
// Counters: evals = objective evaluations per fit; t_eval_obs = time per
// evaluation per observation (seconds, shown with an SI prefix); iter =
// Powell's iteration count.
//
// Also what the default run adds after the fit (the least-squares check:
// the exact solve and the choice of the curve), and what the report adds
// (its figures and its four files, written to a scratch stream).
#include "Driver.h"
#include "Model.h"
#include "Report.h"
#include "Workload.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

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

void BM_LeastSquaresCheck(benchmark::State &state)
{
    load_synthetic(shape_of(state));
    const FitResult r = fit_from_zero(Eqn);
    fret = r.fret;
    for (auto _ : state) {
        solve_least_squares();
        benchmark::DoNotOptimize(choose_written_curve(Solver::minimiser));
    }
}

void BM_Report(benchmark::State &state)
{
    load_synthetic(shape_of(state));
    Nout = 100;
    Spacing = 1.0;
    const FitResult r = fit_from_zero(Eqn);
    fret = r.fret;
    solve_least_squares();
    choose_written_curve(Solver::minimiser);
    std::FILE *scratch = std::tmpfile();
    for (auto _ : state) {
        std::rewind(scratch);
        const ReportInput in = report_input(false, false);
        const FitFigures f = figure_fit(in);
        write_gaugings_csv(scratch, in, f);
        write_band_csv(scratch, in, f);
        write_summary_json(scratch, in, f);
        write_report_text(scratch, in, f);
        std::fflush(scratch);
    }
    std::fclose(scratch);
}

} // namespace

BENCHMARK(BM_LeastSquaresCheck)->Args({126, 3, 3})->Args({999, 30, 3})->ArgNames({"N", "J", "M"})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Report)->Args({126, 3, 3})->Args({999, 30, 3})->ArgNames({"N", "J", "M"})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Fit)->Apply(shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Eqn)->Apply(shapes)->Unit(benchmark::kNanosecond);

BENCHMARK_MAIN();
