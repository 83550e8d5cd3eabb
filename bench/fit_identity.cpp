// Bit-identity of the fit.
//
//   fit_identity objective
//       Evaluates Eqn and the reference objective (ReferenceModel.cpp, the
//       model as first written) on many random model states and parameter
//       vectors, and runs whole fits with each; every objective value, every
//       coefficient of c, every fitted parameter and every final value must
//       agree bit for bit (compared as bytes, so that NaNs and signed zeros
//       count too). Exit status 0 when all agree.
//   fit_identity digest
//       Prints, for a fixed set of synthetic gauges, the bits of the fitted
//       parameters and the final value of the driver's fit, one line a fit.
//   fit_identity check FILE
//       Runs the same fits and compares them with a digest written earlier.
//
// The digest of the code as it stood before any work on speed is kept in
// bench/fit-digests.txt; `make bench` checks against it. It holds for this
// platform's compiler and mathematics library.
#include "Kvutil.h"
#include "Model.h"
#include "ReferenceModel.h"
#include "Workload.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// splitmix64, for the random states of the objective check.
struct Random {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    int between(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1)); }
    // A number of random sign and of magnitude 10^-e..10^e.
    double scaled(double e) { return (uniform() < 0.5 ? -1.0 : 1.0) * std::pow(10.0, e * (2.0 * uniform() - 1.0)); }
};

bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string hex(double v)
{
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64, u);
    return text;
}

// A random model state: N observations, J intervals, degree M, knots of
// random widths (some of them 0) and random interval numbers.
void random_state(Random &rng, int n, int j, int m)
{
    N = n;
    J = j;
    M = m;
    const double scale = std::pow(10.0, rng.between(-3, 3));
    const double base = rng.scaled(3.0);
    Y[1] = base;
    for (int k = 2; k <= J + 1; k++)
        Y[k] = Y[k - 1] + (rng.uniform() < 0.1 ? 0.0 : scale * rng.uniform());
    complete_knots();
    h = dvector(1, N);
    Qnu = dvector(1, N);
    I = ivector(1, N);
    for (int i = 1; i <= N; i++) {
        I[i] = rng.between(1, J);
        h[i] = Y[I[i]] + delta[I[i]] * rng.uniform();
        Qnu[i] = rng.scaled(4.0);
    }
}

long mismatches = 0;

void report(const char *what, const std::string &where, double want, double got)
{
    if (++mismatches <= 20)
        std::printf("MISMATCH %s %s: reference %s (%.17g), now %s (%.17g)\n", what, where.c_str(), hex(want).c_str(),
                    want, hex(got).c_str(), got);
}

// Eqn and the reference on one parameter vector: value and all of c.
void compare_once(double *xv, const std::string &where)
{
    const double want = reference_Eqn(xv);
    std::vector<double> cw;
    for (int j = 1; j <= J; j++)
        for (int m = 0; m <= M; m++)
            cw.push_back(c[j][m]);
    // Spoil c, so that a coefficient the faster form forgets to write shows.
    for (int j = 1; j <= J; j++)
        for (int m = 0; m <= M; m++)
            c[j][m] = 12345.678;
    const double got = Eqn(xv);
    if (!same_bits(want, got))
        report("Eqn", where, want, got);
    std::size_t k = 0;
    for (int j = 1; j <= J; j++)
        for (int m = 0; m <= M; m++, k++)
            if (!same_bits(cw[k], c[j][m]))
                report("c", where + " c[" + std::to_string(j) + "][" + std::to_string(m) + "]", cw[k], c[j][m]);
}

long objective_cases(Random &rng)
{
    long count = 0;
    double xv[160];
    for (int state = 0; state < 1500; state++) {
        const int n = rng.between(1, 300);
        const int j = rng.between(1, 98);
        const int m = rng.between(1, 3);
        random_state(rng, n, j, m);
        const std::string where = "state " + std::to_string(state) + " (N " + std::to_string(n) + ", J " +
                                  std::to_string(j) + ", M " + std::to_string(m) + ")";
        for (int trial = 0; trial < 40; trial++) {
            // Mostly moderate parameters, now and then huge ones that make
            // the sum overflow to infinity or NaN, and exact zeros.
            const double e = trial % 10 == 9 ? 200.0 : 3.0;
            for (int k = 1; k <= NN; k++)
                xv[k] = rng.uniform() < 0.05 ? 0.0 : rng.scaled(e);
            compare_once(xv, where + " trial " + std::to_string(trial));
            count++;
            // The knots may change between evaluations: widths changed in
            // place, fewer intervals over the same widths, another degree.
            if (trial == 20) {
                delta[rng.between(1, J)] *= 1.0 + rng.uniform();
            } else if (trial == 25 && J > 1) {
                J = J - 1;
                NN = J + M;
                for (int i = 1; i <= N; i++)
                    if (I[i] > J)
                        I[i] = J;
            } else if (trial == 30 && M > 1) {
                M = M - 1;
                NN = J + M;
            }
        }
        release_model();
    }
    return count;
}

long fit_cases()
{
    long count = 0;
    for (int n : {12, 40, 120})
        for (int j : {1, 3, 8})
            for (int m : {1, 2, 3}) {
                load_synthetic(GaugeShape{n, j, m, 7u + static_cast<unsigned>(n)});
                const FitResult want = fit_from_zero(reference_Eqn);
                const FitResult got = fit_from_zero(Eqn);
                const std::string where = "fit N " + std::to_string(n) + " J " + std::to_string(j) + " M " +
                                          std::to_string(m);
                if (!same_bits(want.fret, got.fret))
                    report("fret", where, want.fret, got.fret);
                if (want.iter != got.iter)
                    report("iter", where, want.iter, got.iter);
                for (int k = 1; k <= J + M; k++)
                    if (!same_bits(want.x[k], got.x[k]))
                        report("x", where + " x[" + std::to_string(k) + "]", want.x[k], got.x[k]);
                count++;
            }
    return count;
}

std::vector<GaugeShape> digest_shapes()
{
    std::vector<GaugeShape> shapes;
    for (int n : {50, 250, 999})
        for (int j : {3, 10, 30})
            for (int m : {1, 2, 3})
                shapes.push_back(GaugeShape{n, j, m, 20240611});
    Random rng{99};
    for (int k = 0; k < 40; k++) {
        const int n = rng.between(5, 300);
        const int j = rng.between(1, n < 40 ? n : 40);
        shapes.push_back(GaugeShape{n, j, rng.between(1, 3), rng.next()});
    }
    return shapes;
}

std::vector<std::string> digests()
{
    std::vector<std::string> lines;
    for (const GaugeShape &s : digest_shapes()) {
        load_synthetic(s);
        const FitResult r = fit_from_zero(Eqn);
        char head[96];
        std::snprintf(head, sizeof head, "N %d J %d M %d seed %" PRIu64 " iter %d fret ", s.n, s.intervals, s.degree,
                      s.seed, r.iter);
        std::string line = head + hex(r.fret) + " x";
        for (int k = 1; k <= J + M; k++)
            line += " " + hex(r.x[k]);
        lines.push_back(line);
    }
    return lines;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "objective") {
        Random rng{20240611};
        const long evaluations = objective_cases(rng);
        const long fits = fit_cases();
        std::printf("%ld evaluations and %ld fits compared, %ld mismatches\n", evaluations, fits, mismatches);
        return mismatches == 0 ? 0 : 1;
    }
    if (mode == "digest") {
        for (const std::string &line : digests())
            std::printf("%s\n", line.c_str());
        return 0;
    }
    if (mode == "check" && argc == 3) {
        std::ifstream f(argv[2]);
        std::vector<std::string> want;
        for (std::string line; std::getline(f, line);)
            if (!line.empty() && line[0] != '#')
                want.push_back(line);
        const std::vector<std::string> got = digests();
        long differ = 0;
        for (std::size_t k = 0; k < got.size(); k++)
            if (k >= want.size() || want[k] != got[k]) {
                differ++;
                std::printf("DIFFERS: %s\n   want: %s\n", got[k].c_str(), k < want.size() ? want[k].c_str() : "-");
            }
        if (want.size() != got.size())
            differ++;
        std::printf("%zu fits compared with %s: %ld differ\n", got.size(), argv[2], differ);
        return differ == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: fit_identity objective | digest | check FILE\n");
    return 2;
}
