// Writes a synthetic network for the batch benchmark: `bench_batch FILE
// STATIONS GAUGINGS` writes STATIONS stations of GAUGINGS gaugings each
// (station, date, stage, discharge), each station a power-law rating with
// 5 % scatter and a zero-flow stage of its own. The same file for the same
// arguments.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_batch FILE STATIONS GAUGINGS\n");
        return 2;
    }
    std::FILE *out = std::fopen(argv[1], "w");
    if (out == nullptr)
        return 1;
    const long stations = std::atol(argv[2]);
    const long gaugings = std::atol(argv[3]);
    std::mt19937_64 gen(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::fprintf(out, "station,date,stage,discharge\n");
    for (long s = 0; s < stations; s++) {
        const double zero = 0.2 * unit(gen);
        const double scale = 5.0 + 50.0 * unit(gen);
        const double power = 1.5 + unit(gen);
        for (long i = 0; i < gaugings; i++) {
            const double h = zero + 0.2 + 3.0 * unit(gen);
            const double q = scale * std::pow(h - zero, power) * std::exp(noise(gen));
            std::fprintf(out, "G%06ld,%04ld-%02ld-%02ld,%.4f,%.5g\n", s, 1980 + i % 40, 1 + i % 12, 1 + i % 28, h, q);
        }
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
