#include "Model.h"

#include "Interpolation.h"

#include <cmath>

FILE *in = nullptr;
FILE *out = nullptr;
int *I = nullptr;
int J = 0;
int Jknot = 0;
int M = 0;
int NN = 0;
int N = 0;
double **c = nullptr;
double *delta = nullptr;
double *h = nullptr;
double hmax = 0.0;
double hmin = 0.0;
double hrange = 0.0;
double nu = 0.0;
double *Q = nullptr;
double *Qnu = nullptr;
double *Y0 = nullptr;
double Y[kKnotTable];
long Tstart = 0;
long Tend = 0;

double P0(double h, int II)
{
    // Ascending powers, as the fit has always summed them.
    double P = c[II][0];
    double t1 = 1.0;
    for (int i = 1; i <= M; i++) {
        t1 = t1 * (h - Y[II]);
        P = P + c[II][i] * t1;
    }
    return P;
}

double P(double h)
{
    int II = interval(Y0, J, h) + 1;
    if (II == J + 1)
        II = J;
    const double PP = P0(h, II);
    return PP;
}

void Transfer(const double *x)
{
    int j = 0;
    for (int i = 0; i <= M; i++) {
        j = j + 1;
        c[1][i] = x[j];
    }
    for (int i = 2; i <= J; i++) {
        j = j + 1;
        c[i][M] = x[j];
    }
}

void Continuity()
{
    for (int j = 1; j <= J - 1; j++) {
        const double d = delta[j];

        c[j + 1][0] = 0.0;
        for (int m = 0; m <= M; m++)
            c[j + 1][0] = c[j + 1][0] + std::pow(d, static_cast<double>(m)) * c[j][m];

        if (M > 1) {
            c[j + 1][1] = 0.0;
            for (int m = 1; m <= M; m++) {
                const double term = m * c[j][m];
                c[j + 1][1] = c[j + 1][1] + std::pow(d, static_cast<double>(m - 1)) * term;
            }
        }

        // Half the curvature: the quadratic coefficient of the next interval.
        if (M > 2) {
            c[j + 1][2] = 0.0;
            for (int m = 2; m <= M; m++) {
                const double term = (m * 0.5 * (m - 1)) * c[j][m];
                c[j + 1][2] = c[j + 1][2] + std::pow(d, static_cast<double>(m - 2)) * term;
            }
        }
    }
}

double Eqn(double *x)
{
    Transfer(x);
    Continuity();
    double sum = 0.0;
    for (int i = 1; i <= N; i++) {
        const int II = I[i];
        const double error = P0(h[i], II) - Qnu[i];
        sum = sum + error * error;
    }
    return sum;
}
