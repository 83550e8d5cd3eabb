// The model selection with --intervals auto --nu auto: every candidate of the
// default grid (19 exponents) times every number of intervals up to Jmax,
// each an exact fit with its leverages and CV-Se. On the 126 gaugings of the
// example gauge (Jmax 25) and on a synthetic gauge of 999 (Jmax 30),
// unweighted and weighted (each weighted candidate solves for its REML scatter).
#include "Fit.h"
#include "Selection.h"
#include "Weighted.h"
#include "Workload.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Gauge {
    std::vector<double> h, Q, sigma;
};

// A data file of the run: a title line, then stage and discharge first on
// each line; sorted by stage, with 5 % of the discharge as its uncertainty.
Gauge parse(const std::string &text)
{
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    std::vector<std::pair<double, double>> rows;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double h = 0.0;
        double Q = 0.0;
        if (fields >> h >> Q)
            rows.emplace_back(h, Q);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    Gauge g;
    for (const auto &[h, Q] : rows) {
        g.h.push_back(h);
        g.Q.push_back(Q);
        g.sigma.push_back(0.05 * Q);
    }
    return g;
}

const Gauge &example()
{
    static const Gauge gauge = [] {
        std::string path = __FILE__;
        path = path.substr(0, path.find_last_of('/')) + "/../examples/gauge/11372000.dat";
        std::ifstream in(path);
        if (!in)
            throw std::runtime_error("cannot read " + path);
        std::ostringstream text;
        text << in.rdbuf();
        return parse(text.str());
    }();
    return gauge;
}

const Gauge &synthetic()
{
    static const Gauge gauge = parse(synthetic_data(999, 17));
    return gauge;
}

void select(benchmark::State &state, const Gauge &g, bool weighted)
{
    rating::FitSettings settings;
    settings.nu_auto = true;
    settings.intervals_auto = true;
    const std::vector<double> none;
    std::size_t candidates = 0;
    for (auto _ : state) {
        auto result = rating::select_model(g.h, g.Q, weighted ? g.sigma : none, settings);
        if (!result)
            state.SkipWithError(result.error().message.c_str());
        else
            candidates = result.value().size();
        benchmark::DoNotOptimize(result);
    }
    state.counters["gaugings"] = static_cast<double>(g.h.size());
    state.counters["candidates"] = static_cast<double>(candidates);
}

void BM_Select126(benchmark::State &state)
{
    select(state, example(), false);
}
BENCHMARK(BM_Select126)->Unit(benchmark::kMillisecond);

void BM_Select999(benchmark::State &state)
{
    select(state, synthetic(), false);
}
BENCHMARK(BM_Select999)->Unit(benchmark::kMillisecond);

void BM_Select126Weighted(benchmark::State &state)
{
    select(state, example(), true);
}
BENCHMARK(BM_Select126Weighted)->Unit(benchmark::kMillisecond);

void BM_Select999Weighted(benchmark::State &state)
{
    select(state, synthetic(), true);
}
BENCHMARK(BM_Select999Weighted)->Unit(benchmark::kMillisecond);

// One weighted model (J 10, cubic) and its REML scatter, for the cost per
// candidate.
void BM_RemlFit999(benchmark::State &state)
{
    const Gauge &g = synthetic();
    rating::ModelFit model;
    const std::vector<double> knots = [&] {
        std::vector<double> Y;
        for (int q = 0; q <= 10; q++)
            Y.push_back(g.h[static_cast<std::size_t>(q * (g.h.size() - 1) / 10)]);
        return Y;
    }();
    for (auto _ : state) {
        rating::fit_model(g.h, g.Q, g.sigma, 0.5, knots, 3, model);
        benchmark::DoNotOptimize(model.s_m2);
    }
}
BENCHMARK(BM_RemlFit999)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
