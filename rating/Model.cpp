#include "Model.h"

#include "Interpolation.h"
#include "Kvutil.h"

#include <cmath>
#include <cstdint>
#include <cstring>

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
double Y[kKnotTable];
double *Y0 = &Y[1];

void place_automatic()
{
    J = Jknot;
    const double NJ = static_cast<double>(N) / J;
    int ia = 1;
    Y[1] = h[1];
    for (int q = 1; q <= J; q++) {
        const int iz = static_cast<int>(std::round(q * NJ));
        for (int i = ia; i <= iz; i++)
            I[i] = q;
        ia = iz + 1;
        if (q < J)
            Y[q + 1] = (h[iz] + h[iz + 1]) * 0.5;
    }
    Y[J + 1] = h[N];
}

void list_knots(const double *stages, int count)
{
    J = count + 1;
    Y[1] = h[1];
    for (int k = 2; k <= J; k++)
        Y[k] = stages[k - 2];
    Y[J + 1] = h[N];
    assign_by_knots();
}

void assign_by_knots()
{
    for (int i = 1; i <= N; i++)
        for (int j = 1; j <= J; j++)
            if (h[i] >= Y[j])
                I[i] = j;
}

void complete_knots()
{
    delta = dvector(1, J);
    for (int j = 1; j <= J; j++)
        delta[j] = Y[j + 1] - Y[j];
    c = dmatrix(1, J + 1, 0, M);
    NN = J + M;
}

void release_model()
{
    // The release routines need only the lower bounds, which never change.
    if (c != nullptr)
        free_dmatrix(c, 1, J + 1, 0, M);
    if (delta != nullptr)
        free_dvector(delta, 1, J);
    if (I != nullptr)
        free_ivector(I, 1, N);
    if (Qnu != nullptr)
        free_dvector(Qnu, 1, N);
    if (Q != nullptr)
        free_dvector(Q, 1, N);
    if (h != nullptr)
        free_dvector(h, 1, N);
    c = nullptr;
    delta = nullptr;
    I = nullptr;
    Qnu = nullptr;
    Q = nullptr;
    h = nullptr;
}

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

namespace {

// Continuity needs the powers 0 to M of every interval width at each
// evaluation of the objective, while the widths stay the same through a fit.
// The powers are kept here, one row per interval, each made by the same
// std::pow call that Continuity would make, and made again whenever the bits
// of the width change; so the coefficients are those of calling std::pow
// every time, bit for bit.
constexpr int kKeptPowers = 4;  // d^0 to d^3, enough for M up to 3

struct WidthPowers {
    std::uint64_t bits;  // the width they were made for
    bool made;
    double p[kKeptPowers];
};

WidthPowers width_powers[kKnotTable];

std::uint64_t bits_of(double d)
{
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

void make_powers(WidthPowers &w, double d)
{
    for (int m = 0; m < kKeptPowers; m++) {
        // Read through a volatile, the exponent stays unknown to the compiler,
        // which would otherwise unroll this loop and put d * d in place of
        // std::pow(d, 2.0): the library's pow rounds differently for some d
        // (d = 0x1.c336e45c11ap+1 gives 0x1.8da53a30c452ap+3, d * d ...52bp+3).
        volatile double exponent = m;
        w.p[m] = std::pow(d, exponent);
    }
    w.bits = bits_of(d);
    w.made = true;
}

inline const double *powers_of_width(int j, double d)
{
    WidthPowers &w = width_powers[j];
    if (w.bits != bits_of(d) || !w.made)
        make_powers(w, d);
    return w.p;
}

// At each interior knot the value, slope and half curvature of interval j at
// its upper end (local coordinate d = delta[j]) become the constant, linear
// and quadratic coefficients of interval j + 1:
//     sum d^m c[j][m],  sum d^(m-1) (m c[j][m]),  sum d^(m-2) ((m 0.5 (m-1)) c[j][m]),
// each sum starting at 0.0 and adding its terms in ascending m, the powers
// taken from the table above and the degree fixed at compile time.
template <int MM>
void continuity_kept_powers()
{
    for (int j = 1; j <= J - 1; j++) {
        const double *pw = powers_of_width(j, delta[j]);
        const double *lo = c[j];
        double *up = c[j + 1];

        double value = 0.0;
        for (int m = 0; m <= MM; m++)
            value = value + pw[m] * lo[m];
        up[0] = value;

        if (MM > 1) {
            double slope = 0.0;
            for (int m = 1; m <= MM; m++) {
                const double term = m * lo[m];
                slope = slope + pw[m - 1] * term;
            }
            up[1] = slope;
        }

        if (MM > 2) {
            double half_curvature = 0.0;
            for (int m = 2; m <= MM; m++) {
                const double term = (m * 0.5 * (m - 1)) * lo[m];
                half_curvature = half_curvature + pw[m - 2] * term;
            }
            up[2] = half_curvature;
        }
    }
}

// The sum of squared misfits in observation order, with P0 written out for
// a degree fixed at compile time: the same operations in the same order.
template <int MM>
double sum_of_squares()
{
    const int n = N;
    const int *interval_of = I;
    const double *stage = h;
    const double *target = Qnu;
    double sum = 0.0;
    for (int i = 1; i <= n; i++) {
        const int II = interval_of[i];
        const double *ci = c[II];
        const double local = stage[i] - Y[II];
        double P = ci[0];
        double t1 = 1.0;
        for (int k = 1; k <= MM; k++) {
            t1 = t1 * local;
            P = P + ci[k] * t1;
        }
        const double error = P - target[i];
        sum = sum + error * error;
    }
    return sum;
}

} // namespace

void Continuity()
{
    switch (M) {
    case 1:
        continuity_kept_powers<1>();
        return;
    case 2:
        continuity_kept_powers<2>();
        return;
    case 3:
        continuity_kept_powers<3>();
        return;
    default:
        kverror("Continuity: the degree M must be 1, 2 or 3");
    }
}

double Eqn(double *x)
{
    Transfer(x);
    Continuity();
    switch (M) {
    case 1:
        return sum_of_squares<1>();
    case 2:
        return sum_of_squares<2>();
    default:
        return sum_of_squares<3>();
    }
}
