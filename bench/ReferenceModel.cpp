// Verbatim copy of the model routines of rating/Model.cpp as they stood
// before they were made faster. Do not change: it defines the bits.
#include "ReferenceModel.h"

#include "Model.h"

#include <cmath>

double reference_P0(double h, int II)
{
    double P = c[II][0];
    double t1 = 1.0;
    for (int i = 1; i <= M; i++) {
        t1 = t1 * (h - Y[II]);
        P = P + c[II][i] * t1;
    }
    return P;
}

void reference_Transfer(const double *x)
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

void reference_Continuity()
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

        if (M > 2) {
            c[j + 1][2] = 0.0;
            for (int m = 2; m <= M; m++) {
                const double term = (m * 0.5 * (m - 1)) * c[j][m];
                c[j + 1][2] = c[j + 1][2] + std::pow(d, static_cast<double>(m - 2)) * term;
            }
        }
    }
}

double reference_Eqn(double *x)
{
    reference_Transfer(x);
    reference_Continuity();
    double sum = 0.0;
    for (int i = 1; i <= N; i++) {
        const int II = I[i];
        const double error = reference_P0(h[i], II) - Qnu[i];
        sum = sum + error * error;
    }
    return sum;
}
