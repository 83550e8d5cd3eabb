// Whole runs of the table and apply commands of the built program on a
// curve like the example gauge's: `rating apply` on a 15-minute stage record
// of 28 years (1,000,000 values) and of 285 years (10,000,000 values, for
// memory), `rating table --step 0.001` over 10 m, and, side by side, the same
// conversion with a mainstream data-frame library when python3 has pandas.
// Wall-clock time of each run; max_rss_MB is the program's peak resident
// memory (from wait4).
//
// The program is the `rating` beside this benchmark's folder (or $RATING_EXE).
#include "CurveFile.h"

#include <benchmark/benchmark.h>
#include <date/date.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Run {
    double seconds = 0.0;
    double max_rss_mb = 0.0;
    int status = -1;
};

std::string rating_exe()
{
    if (const char *exe = std::getenv("RATING_EXE"))
        return exe;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    dir = dir.substr(0, dir.find_last_of('/'));
    return dir.substr(0, dir.find_last_of('/')) + "/rating";
}

// Runs argv with standard output to `out` (a file name), timed.
Run run(const std::vector<std::string> &args, const std::string &out = "/dev/null")
{
    Run r;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr)
            _exit(126);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.max_rss_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The example gauge's least-squares curve (3 intervals of cubics in Q^0.5).
rating::Curve example_curve()
{
    rating::Curve c;
    c.station = "11372000";
    c.title = "Clear";
    c.nu = 0.5;
    c.degree = 3;
    c.knots = {0.749808, 0.749808, 0.749808, 0.749808, 0.98298, 1.092708, 3.23088, 3.23088, 3.23088, 3.23088};
    c.coefficients = {1.2844163462993383, 1.5456913104405128, 2.2009739097122236,
                      5.7499791219937126, 11.923564236150817, 16.107851514623853};
    c.stage_range = {0.749808, 3.23088};
    c.n = 126;
    c.p = 6;
    c.dof = 120;
    c.s = c.s_m = 0.084629079668629356;
    c.covariance = {0.0016297238381622046,  -0.0010041959500070325,  0.00015425494185011942,  -0.0003969707994161095,
                    0.0004909586882433564,  -6.0787081663768032e-05, -0.0010041959500070325,  0.002597607827543885,
                    -0.0004852390848610637, 0.001296273364748364,    -0.0016197813631422585,  0.00020155133281183704,
                    0.00015425494185011942, -0.0004852390848610637,  0.00037002726164458218,  -0.0011693291536939536,
                    0.0015220313959641099,  -0.000193025834245403,   -0.0003969707994161095,  0.001296273364748364,
                    -0.0011693291536939536, 0.006477152954391237,    -0.0092236183128107316,  0.0012153369006543578,
                    0.0004909586882433564,  -0.0016197813631422585,  0.0015220313959641099,   -0.0092236183128107316,
                    0.01839319354091715,    -0.0032053831798941465,  -6.0787081663768032e-05, 0.00020155133281183704,
                    -0.000193025834245403,  0.0012153369006543578,   -0.0032053831798941465,  0.0041918469292506486};
    return c;
}

// A 15-minute stage record from 1996 on: seasons, storms now and then
// above the gauged range, a gap every 10,000 values.
void write_record(const std::string &path, long long rows)
{
    std::FILE *f = std::fopen(path.c_str(), "w");
    std::fputs("time,stage\n", f);
    const date::sys_days first = date::year{1996} / 1 / 1;
    char line[64];
    for (long long i = 0; i < rows; i++) {
        const long long minutes = 15 * i;
        const date::sys_days day = first + date::days{minutes / 1440};
        const date::year_month_day ymd{day};
        const double t = static_cast<double>(i) / 96.0; // days
        const double storm = std::pow(std::max(0.0, std::sin(t / 9.3)), 40.0) * 3.2;
        const double h = 1.1 + 0.35 * std::sin(t * 2.0 * M_PI / 365.25) + storm + 0.02 * std::sin(t * 7.1);
        if (i % 10000 == 9999)
            std::snprintf(line, sizeof line, "%04d-%02u-%02u %02lld:%02lld,\n", static_cast<int>(ymd.year()),
                          static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), minutes % 1440 / 60,
                          minutes % 60);
        else
            std::snprintf(line, sizeof line, "%04d-%02u-%02u %02lld:%02lld,%.3f\n", static_cast<int>(ymd.year()),
                          static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), minutes % 1440 / 60,
                          minutes % 60, h);
        std::fputs(line, f);
    }
    std::fclose(f);
}

// The files, made once.
struct Workspace {
    std::string dir;
    std::string curve, record, big_record, table;
    Workspace()
    {
        char pattern[] = "/tmp/rating-bench-XXXXXX";
        dir = mkdtemp(pattern);
        curve = dir + "/g.curve.json";
        std::FILE *f = std::fopen(curve.c_str(), "w");
        const std::string text = rating::curve_file_text(example_curve(), rating::FitSettings());
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        record = dir + "/record.csv";
        write_record(record, 1000000);
        big_record = dir + "/record10m.csv";
        write_record(big_record, 10000000);
        table = dir + "/table.csv";
        run({rating_exe(), "table", curve, "--step", "0.001", "--from", "0", "--to", "5", "--out", table});
    }
    ~Workspace() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

Workspace &workspace()
{
    static Workspace w;
    return w;
}

void report(benchmark::State &state, const Run &r)
{
    if (r.status != 0)
        state.SkipWithError("the run failed");
    state.SetIterationTime(r.seconds);
    state.counters["max_rss_MB"] = r.max_rss_mb;
}

void BM_Apply1M(benchmark::State &state)
{
    Workspace &w = workspace();
    for (auto _ : state)
        report(state, run({rating_exe(), "apply", w.curve, w.record, "--out", w.dir + "/q.csv"}));
}
BENCHMARK(BM_Apply1M)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Apply10MToStandardOutput(benchmark::State &state)
{
    Workspace &w = workspace();
    for (auto _ : state)
        report(state, run({rating_exe(), "apply", w.curve, w.big_record}));
}
BENCHMARK(BM_Apply10MToStandardOutput)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_Table10001Rows(benchmark::State &state)
{
    Workspace &w = workspace();
    for (auto _ : state)
        report(state, run({rating_exe(), "table", w.curve, "--step", "0.001", "--from", "0", "--to", "10", "--out",
                           w.dir + "/t.csv"}));
}
BENCHMARK(BM_Table10001Rows)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// The same conversion as a data-frame user writes it: read the record, interpolate
// the 0.001-step table's discharge and band linearly, flag the range, write the columns.
const char *const kPandasScript = R"(
import sys, numpy as np, pandas as pd
record, table, out, lo, hi = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4]), float(sys.argv[5])
t = pd.read_csv(table)
s = pd.read_csv(record, dtype={'time': str})
h = s['stage'].to_numpy()
for name in ('discharge', 'conf_low', 'conf_high'):
    s[name] = np.interp(h, t['stage'].to_numpy(), t[name].to_numpy())
s['range'] = np.where(np.isnan(h), 'missing', np.where(h < lo, 'below', np.where(h > hi, 'above', 'gauged')))
s.to_csv(out, index=False, float_format='%.10g')
)";

std::string python_with_pandas()
{
    for (const char *python : {"python3", "/usr/bin/python3"})
        if (std::system((std::string(python) + " -c 'import pandas' >/dev/null 2>&1").c_str()) == 0)
            return python;
    return std::string();
}

void BM_PandasSameConversion1M(benchmark::State &state)
{
    Workspace &w = workspace();
    const std::string python = python_with_pandas();
    if (python.empty()) {
        state.SkipWithError("python3 with pandas is not available");
        for (auto _ : state) {
        }
        return;
    }
    const std::string script = w.dir + "/convert.py";
    std::FILE *f = std::fopen(script.c_str(), "w");
    std::fputs(kPandasScript, f);
    std::fclose(f);
    for (auto _ : state)
        report(state, run({python, script, w.record, w.table, w.dir + "/pandas.csv", "0.749808", "3.23088"}));
}
BENCHMARK(BM_PandasSameConversion1M)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
