// make_gauge DIR N J M [NOUT]: writes a synthetic gauge of N observations,
// J automatic intervals and degree M into DIR (Control.dat, Settings.dat,
// g/s.dat), ready for the rating program to be run there.
#include "Workload.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char **argv)
{
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: make_gauge DIR N J M [NOUT]\n");
        return 2;
    }
    const GaugeShape shape{std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), 20240611};
    const int nout = argc == 6 ? std::atoi(argv[5]) : 100;
    try {
        write_synthetic_gauge(argv[1], shape, nout);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_gauge: %s\n", e.what());
        return 1;
    }
    return 0;
}
