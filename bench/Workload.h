// Synthetic gauges for the benchmarks and the bit-identity check.
//
// A synthetic gauge follows the power law Q = a (h - h0)^b with a few per
// cent of noise from a fixed-seed generator, so that every build on every
// machine sees the same observations. The model state is filled by the
// driver's own input steps from files written into a scratch folder, with
// automatic knots placed by equal counts, so that a benchmarked fit is the
// fit the program makes.
#ifndef WORKLOAD_H
#define WORKLOAD_H

#include <cstdint>
#include <string>

struct GaugeShape {
    int n;         // observations
    int intervals; // J, automatic knots
    int degree;    // M
    std::uint64_t seed;
};

// The data file of a synthetic gauge: a title line, then one "h Q" line per
// observation, each number written so that it reads back to the same double.
std::string synthetic_data(int n, std::uint64_t seed);

// Writes Control.dat, Settings.dat (nu 0.5, Jdefault = intervals, the degree,
// nout output steps, spacing 1) and g/s.dat into the folder dir.
void write_synthetic_gauge(const std::string &dir, const GaugeShape &shape, int nout);

// Fills the model state for the shape through read_control, read_settings,
// read_observations, place_knots and transform_discharges in a scratch
// folder, as the driver does before its fit; throws when they refuse it.
void load_synthetic(const GaugeShape &shape);

struct FitResult {
    int iter;
    double fret;
    double x[128]; // x[1..NN]
};

// The driver's fit: Powell from the zero vector with the unit directions and
// the tolerance 1e-16, on the objective func (Eqn or a wrapper of it).
FitResult fit_from_zero(double (*func)(double *));

#endif
