#include "Workload.h"

#include "Driver.h"
#include "Kvutil.h"
#include "Model.h"
#include "Optimise.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// splitmix64: a fixed, portable sequence of 64-bit numbers.
std::uint64_t next(std::uint64_t &state)
{
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Uniform in [0, 1), 53 bits.
double uniform(std::uint64_t &state)
{
    return static_cast<double>(next(state) >> 11) * 0x1.0p-53;
}

void put(const std::string &path, const std::string &text)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

std::string synthetic_data(int n, std::uint64_t seed)
{
    // Q = 12 (h - 0.25)^1.6 on stages 0.4 to 3.4 m, within 3 per cent.
    const double a = 12.0;
    const double h0 = 0.25;
    const double b = 1.6;
    const double noise = 0.03;
    std::uint64_t state = seed;
    std::string text = "# Synthetic gauge\n";
    char line[80];
    for (int i = 0; i < n; i++) {
        const double stage = 0.4 + 3.0 * uniform(state);
        const double q = a * std::pow(stage - h0, b) * (1.0 + noise * (2.0 * uniform(state) - 1.0));
        std::snprintf(line, sizeof line, "%.17g %.17g\n", stage, q);
        text += line;
    }
    return text;
}

void write_synthetic_gauge(const std::string &dir, const GaugeShape &shape, int nout)
{
    mkdir((dir + "/g").c_str(), 0755);
    put(dir + "/Control.dat", "g s\n");
    put(dir + "/Settings.dat", "Synthetic gauge\n0.5 nu\n" + std::to_string(shape.intervals) + " Jdefault\n" +
                                   std::to_string(shape.degree) + " M\n" + std::to_string(nout) +
                                   " Nout\n1 Spacing\n");
    put(dir + "/g/s.dat", synthetic_data(shape.n, shape.seed));
}

void load_synthetic(const GaugeShape &shape)
{
    const char *base = std::getenv("TMPDIR");
    std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/rating-bench-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch folder");
    write_synthetic_gauge(dir, shape, 4);

    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(dir.c_str()) != 0)
        throw std::runtime_error("cannot enter " + dir);
    release_model();
    std::string refused;
    for (const auto &step : {read_control, read_settings, read_observations, place_knots, transform_discharges}) {
        const rating::Status done = step();
        if (!done) {
            refused = rating::error_text(done.error());
            break;
        }
    }
    if (chdir(cwd) != 0)
        throw std::runtime_error("cannot return to " + std::string(cwd));
    if (!refused.empty())
        throw std::runtime_error("the shape's input is refused:" + refused);
    std::remove((dir + "/g/s.dat").c_str());
    std::remove((dir + "/Control.dat").c_str());
    std::remove((dir + "/Settings.dat").c_str());
    rmdir((dir + "/g").c_str());
    rmdir(dir.c_str());
}

FitResult fit_from_zero(double (*func)(double *))
{
    if (NN >= 128)
        throw std::runtime_error("too many parameters for FitResult");
    double *xv = dvector(1, NN);
    double **dirs = dmatrix(1, NN, 1, NN);
    for (int i = 1; i <= NN; i++) {
        xv[i] = 0.0;
        for (int k = 1; k <= NN; k++)
            dirs[i][k] = 0.0;
        dirs[i][i] = 1.0;
    }
    FitResult r{};
    Powell(xv, dirs, NN, 1e-16, &r.iter, &r.fret, func);
    for (int i = 1; i <= NN; i++)
        r.x[i] = xv[i];
    free_dmatrix(dirs, 1, NN, 1, NN);
    free_dvector(xv, 1, NN);
    return r;
}
