// The fit as the run makes it: the model state filled directly, then Powell
// from the zero parameter vector along the unit directions with the
// tolerance 1e-16 and the objective Eqn.
#include "Kvutil.h"
#include "Model.h"
#include "Optimise.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

unsigned long long lcg = 1;

double uniform()
{
    lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(lcg >> 11) * (1.0 / 9007199254740992.0);
}

std::vector<double> stages(int n)
{
    std::vector<double> hs(n);
    for (double &v : hs)
        v = 0.2 + 2.8 * uniform();
    std::sort(hs.begin(), hs.end());
    return hs;
}

void observe(const std::vector<double> &hs, int degree)
{
    N = static_cast<int>(hs.size());
    M = degree;
    h = dvector(1, N);
    Qnu = dvector(1, N);
    I = ivector(1, N);
    for (int i = 1; i <= N; i++)
        h[i] = hs[i - 1];
}

void equal_counts(int intervals)
{
    Jknot = intervals;
    place_automatic();
    complete_knots();
}

void listed(const std::vector<double> &interior)
{
    list_knots(interior.data(), static_cast<int>(interior.size()));
    complete_knots();
}

// Fits x[1..NN] from zero; returns the sum of squares found.
double fit(double *x)
{
    double **xi = dmatrix(1, NN, 1, NN);
    for (int i = 1; i <= NN; i++) {
        x[i] = 0.0;
        for (int j = 1; j <= NN; j++)
            xi[i][j] = i == j ? 1.0 : 0.0;
    }
    int iter;
    double fret;
    Powell(x, xi, NN, 1e-16, &iter, &fret, Eqn);
    free_dmatrix(xi, 1, NN, 1, NN);
    return fret;
}

// Approximately standard normal, from arithmetic alone.
double gauss()
{
    double s = 0.0;
    for (int k = 0; k < 12; k++)
        s += uniform();
    return s - 6.0;
}

// Discharges of a rating curve Q = a (h - h0)^b with relative noise, as Q^0.5.
void gaugings(double noise)
{
    for (int i = 1; i <= N; i++) {
        const double Qi = 12.0 * std::pow(h[i] - 0.05, 1.7) * (1.0 + noise * gauss());
        Qnu[i] = std::pow(Qi, 0.5);
    }
}

} // namespace

// With zero residual the fit stops only once a whole sweep leaves the sum of
// squares unchanged, near the rounding floor. Bounds of 1e-9 of the data on
// the residuals and 1e-8 of the largest coefficient on the coefficients leave
// room for the conditioning of the power basis (the worst case here reaches
// a fifteenth of them) and lie five orders below what one line search
// resolves (2e-4 of its step).
TEST(Fit, ReproducesACurveOfTheModelFamily)
{
    lcg = 1;
    for (int degree = 1; degree <= 3; degree++) {
        for (int setup = 0; setup < 5; setup++) {
            observe(stages(80), degree);
            switch (setup) {
            case 0: equal_counts(1); break;
            case 1: equal_counts(3); break;
            case 2: equal_counts(5); break;
            case 3: listed({0.6, 1.0, 2.4}); break;
            default: listed({h[30], h[55]}); break;  // knots on observations
            }
            SCOPED_TRACE("degree " + std::to_string(M) + ", knot set " + std::to_string(setup));

            double *xtrue = dvector(1, NN);
            for (int k = 1; k <= NN; k++)
                xtrue[k] = 2.0 * uniform() - 1.0;
            Transfer(xtrue);
            Continuity();
            std::vector<std::vector<double>> ctrue(J + 1, std::vector<double>(M + 1));
            double qmax = 0.0, cmax = 0.0;
            for (int i = 1; i <= N; i++) {
                Qnu[i] = P0(h[i], I[i]);
                qmax = std::max(qmax, std::fabs(Qnu[i]));
            }
            for (int j = 1; j <= J; j++)
                for (int m = 0; m <= M; m++) {
                    ctrue[j][m] = c[j][m];
                    cmax = std::max(cmax, std::fabs(c[j][m]));
                }

            double *x = dvector(1, NN);
            fit(x);
            Transfer(x);
            Continuity();
            for (int i = 1; i <= N; i++)
                EXPECT_NEAR(P0(h[i], I[i]), Qnu[i], 1e-9 * qmax) << "observation " << i;
            for (int j = 1; j <= J; j++)
                for (int m = 0; m <= M; m++)
                    EXPECT_NEAR(c[j][m], ctrue[j][m], 1e-8 * cmax) << "c[" << j << "][" << m << "]";
            free_dvector(x, 1, NN);
            free_dvector(xtrue, 1, NN);
            release_model();
        }
    }
}

// The model is linear in x: column k of the design matrix is the model at the
// observations for the unit vector e_k. Its least-squares optimum by QR is
// the reference for the minimiser. On these configurations the minimiser
// reaches it to about 1e-14 relative; a direction set that discards the
// wrong direction, or replaces one on every iteration, falls short by 1e-7
// to 1 or runs into the iteration limit.
TEST(Fit, NoisyRatingReachesTheLeastSquaresOptimum)
{
    struct Config {
        int n, intervals, degree;
    };
    lcg = 7;
    for (const Config cfg : {Config{40, 1, 1}, Config{60, 3, 3}, Config{100, 5, 2}, Config{120, 4, 1},
                             Config{200, 8, 3}, Config{300, 10, 3}}) {
        observe(stages(cfg.n), cfg.degree);
        equal_counts(cfg.intervals);
        gaugings(0.03);
        SCOPED_TRACE("N " + std::to_string(N) + ", J " + std::to_string(J) + ", M " + std::to_string(M));

        double *x = dvector(1, NN);
        Eigen::MatrixXd D(N, NN);
        for (int k = 1; k <= NN; k++) {
            for (int j = 1; j <= NN; j++)
                x[j] = j == k ? 1.0 : 0.0;
            Transfer(x);
            Continuity();
            for (int i = 1; i <= N; i++)
                D(i - 1, k - 1) = P0(h[i], I[i]);
        }
        const Eigen::VectorXd y = Eigen::Map<const Eigen::VectorXd>(&Qnu[1], N);
        const Eigen::VectorXd best = D.colPivHouseholderQr().solve(y);
        for (int k = 1; k <= NN; k++)
            x[k] = best(k - 1);
        const double optimum = Eqn(x);

        const double fret = fit(x);
        EXPECT_EQ(Eqn(x), fret);
        const double excess = (fret - optimum) / optimum;
        EXPECT_LE(excess, 1e-10);
        EXPECT_GE(excess, -1e-12);
        free_dvector(x, 1, NN);
        release_model();
    }
}
