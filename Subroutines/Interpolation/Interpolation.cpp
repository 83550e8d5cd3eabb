#include "Interpolation.h"

#include "Kvutil.h"

#include <cstdio>

namespace {

// Lower end of the bracket the last search settled on.
int ilo = 1;

// Narrows xs[lo] <= xv < xs[hi] down to neighbouring entries.
int bisect(const double *xs, int lo, int hi, double xv)
{
    for (;;) {
        const int mid = (lo + hi) / 2;
        if (mid == lo) {
            ilo = lo;
            return lo;
        }
        if (xv >= xs[mid])
            lo = mid;
        else
            hi = mid;
    }
}

// xv < xs[L + 1] is known (or L is n - 1 and xv < xs[n]).
int search_down(const double *xs, int L, double xv)
{
    if (xv >= xs[L]) {
        ilo = L;
        return L;
    }
    int upper = L;
    for (int gap = 1;; gap *= 2) {
        const int p = upper - gap;
        if (p <= 0) {
            ilo = 1;
            if (xv < xs[1])
                return 0;
            return bisect(xs, 1, upper, xv);
        }
        if (xv >= xs[p])
            return bisect(xs, p, upper, xv);
        upper = p;
    }
}

// xs[U] <= xv is known, U < n.
int hunt_up(const double *xs, int n, int U, double xv)
{
    int lower = U;
    for (int gap = 1;; gap *= 2) {
        const int p = lower + gap;
        if (p >= n) {
            if (xv >= xs[n]) {
                ilo = lower;
                return n;
            }
            return bisect(xs, lower, n, xv);
        }
        if (!(xv >= xs[p]))
            return bisect(xs, lower, p, xv);
        lower = p;
    }
}

} // namespace

int interval(const double *xs, int n, double xv)
{
    if (ilo + 1 >= n) {
        if (xv >= xs[n])
            return n;
        if (n <= 1)
            return 0;
        ilo = n - 1;
        return search_down(xs, n - 1, xv);
    }
    if (xv < xs[ilo + 1])
        return search_down(xs, ilo, xv);
    return hunt_up(xs, n, ilo + 1, xv);
}

namespace {

// polynomial() works on private copies of at most this many points.
constexpr int kMaxPoints = 10;

[[noreturn]] void fail(const char *what, const char *who)
{
    char text[80];
    std::snprintf(text, sizeof text, "%s in %s", what, who);
    kverror(text);
}

// Two intervals with both ends not-a-knot: both conditions ask for one cubic
// over the three points, and of those the spline is the parabola (third
// derivative 0). The general elimination meets a zero pivot here.
template <typename V, typename Table>
void parabola(const double *xs, Table coef)
{
    const V h1 = xs[1] - xs[0];
    const V h2 = xs[2] - xs[1];
    const V d1 = (coef[1][0] - coef[0][0]) / h1;
    const V d2 = (coef[2][0] - coef[1][0]) / h2;
    const V c = (d2 - d1) / (h1 + h2);  // half the second derivative
    coef[0][1] = d1 - c * h1;
    coef[1][1] = d1 + c * h1;
    coef[2][1] = d2 + c * h2;
    coef[0][2] = 2.0 * c;
    coef[1][2] = 2.0 * c;
    coef[0][3] = 0.0;
    coef[1][3] = 0.0;
    coef[2][2] = coef[1][2] + h2 * coef[1][3];
    coef[2][3] = coef[1][3];
}

// The interpolating cubic spline, built in place. Table is any row layout
// read as coef[i][j]; V is the value type (widths are used as V as well).
// Until the slopes are known, row i holds the reduced tridiagonal equation
//     coef[i][3] * s[i] + coef[i][2] * s[i+1] = coef[i][1]
// in the knot slopes s.
template <typename V, typename Table>
void build_spline(const double *xs, Table coef, int n, int startcond, int endcond, const char *who)
{
    if (n < 1)
        fail("table too short", who);
    if (n == 1 && (startcond == 0 || endcond == 0))
        fail("not-a-knot end needs two intervals", who);
    if (n == 2 && startcond == 0 && endcond == 0) {
        parabola<V>(xs, coef);
        return;
    }

    // Widths and first divided differences.
    for (int i = 1; i <= n; i++) {
        coef[i][2] = xs[i] - xs[i - 1];
        coef[i][3] = (coef[i][0] - coef[i - 1][0]) / coef[i][2];
    }

    if (startcond == 0) {
        const V h1 = coef[1][2];
        const V h2 = coef[2][2];
        const V g1 = h1 + h2;
        coef[0][3] = h2;
        coef[0][2] = g1;
        coef[0][1] = ((h1 + 2.0 * g1) * coef[1][3] * h2 + h1 * h1 * coef[2][3]) / g1;
    } else if (startcond == 1) {
        coef[0][3] = 1.0;
        coef[0][2] = 0.0;
    }

    // Continuity of the second derivative at knot j, reduced against row j - 1.
    for (int j = 1; j < n; j++) {
        const V hj = coef[j][2];
        const V hj1 = coef[j + 1][2];
        const V g = -hj1 / coef[j - 1][3];
        coef[j][1] = g * coef[j - 1][1] + 3.0 * (hj1 * coef[j][3] + hj * coef[j + 1][3]);
        coef[j][3] = g * coef[j - 1][2] + 2.0 * (hj + hj1);
    }

    if (endcond == 0) {
        const V hm = coef[n - 1][2];
        const V hn = coef[n][2];
        const V G = hm + hn;
        const V dm = (coef[n - 1][0] - coef[n - 2][0]) / hm;
        const V r = ((2.0 * G + hn) * coef[n][3] * hm + hn * hn * dm) / G;
        const V q = -G / coef[n - 1][3];
        const V D = hm + q * hm;
        coef[n][1] = (r + q * coef[n - 1][1]) / D;
    }

    for (int j = n - 1; j >= 0; j--)
        coef[j][1] = (coef[j][1] - coef[j][2] * coef[j + 1][1]) / coef[j][3];

    // Second and third derivative of each piece from its end values and slopes.
    for (int i = 1; i <= n; i++) {
        const V h = coef[i][2];
        const V d = (coef[i][0] - coef[i - 1][0]) / h;
        const V e = coef[i - 1][1] + coef[i][1] - 2.0 * d;
        coef[i - 1][2] = 2.0 * (d - coef[i - 1][1] - e) / h;
        coef[i - 1][3] = (e / h) * (6.0 / h);
    }

    // Row n continues the last piece beyond xs[n]; coef[n][2] still holds h_n.
    coef[n][2] = coef[n - 1][2] + coef[n][2] * coef[n - 1][3];
    coef[n][3] = coef[n - 1][3];
}

// Derivative of order deriv of the Taylor expansion up to order top of the
// row whose piece holds xv, summed from the highest order down.
template <typename V, typename Table>
V evaluate(const double *xs, Table coef, int n, double xv, int deriv, int top, const char *who)
{
    if (deriv < 0)
        fail("negative derivative order", who);
    if (deriv > top)
        return 0.0;
    const int i = interval(xs, n, xv);
    const double t = xv - xs[i];
    V acc = 0.0;
    double f = top + 1 - deriv;
    for (int j = top; j >= deriv; j--) {
        acc = (acc / f) * t + coef[i][j];
        f -= 1.0;
    }
    return acc;
}

} // namespace

double linear(const double *xs, const double *ys, int n, double xv, int deriv)
{
    if (deriv >= 2)
        return 0.0;
    const int i = interval(xs, n, xv);
    const double slope = (ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i]);
    if (deriv != 0)
        return slope;
    return ys[i] + slope * (xv - xs[i]);
}

double Quadratic(const double *xs, const double *ys, int n, double xv, int)
{
    if (n < 2)
        fail("table too short", "Quadratic");
    const int i = interval(xs, n, xv);
    // The middle one of the three points is the end of segment i nearer to xv.
    int p;
    if (i == 0)
        p = 0;
    else if (i >= n - 1)
        p = n - 2;
    else if (xv - xs[i] < 0.5 * (xs[i + 1] - xs[i]))
        p = i - 1;
    else
        p = i;

    const double *x = xs + p;
    const double *y = ys + p;
    const double s1 = (y[1] - y[0]) / (x[1] - x[0]);
    const double s2 = (y[2] - y[1]) / (x[2] - x[1]);
    const double s12 = (s2 - s1) / (x[2] - x[0]);
    return y[0] + (xv - x[0]) * (s1 + s12 * (xv - x[1]));
}

double polynomial(const double *xs, const double *ys, int n, double xv, int deg)
{
    if (deg < 0 || deg > n || deg >= kMaxPoints)
        kverror("polynomial degree out of range");
    const int i = interval(xs, n, xv);
    int first = i - deg / 2;
    if (first < 0)
        first = 0;
    if (first + deg > n)
        first = n - deg;

    double X[kMaxPoints];
    double Y[kMaxPoints];
    for (int k = 0; k <= deg; k++) {
        X[k] = xs[first + k];
        Y[k] = ys[first + k];
    }
    // Newton's divided differences: afterwards Y[k] is the one of order k over X[0..k].
    for (int j = 1; j <= deg; j++)
        for (int k = deg; k >= j; k--)
            Y[k] = (Y[k] - Y[k - 1]) / (X[k] - X[k - j]);
    double r = Y[deg];
    for (int k = deg - 1; k >= 0; k--)
        r = Y[k] + r * (xv - X[k]);
    return r;
}

void Spline(const double *xs, double **coef, int n, int startcond, int endcond)
{
    build_spline<double>(xs, coef, n, startcond, endcond, "Spline");
}

void spline(const double *xs, double (*coef)[4], int n, int startcond, int endcond)
{
    build_spline<double>(xs, coef, n, startcond, endcond, "spline");
}

void complex_spline(const double *xs, std::complex<double> **coef, int n, int startcond, int endcond)
{
    build_spline<std::complex<double>>(xs, coef, n, startcond, endcond, "complex_spline");
}

double value(const double *xs, double (*coef)[4], int n, double xv, int deriv)
{
    return evaluate<double>(xs, coef, n, xv, deriv, 3, "value");
}

// A one-interval table is read as the straight line of its value and slope.
double Value(const double *xs, double **coef, int n, double xv, int deriv)
{
    return evaluate<double>(xs, coef, n, xv, deriv, n == 1 ? 1 : 3, "Value");
}

std::complex<double> complex_value(const double *xs, std::complex<double> **coef, int n, double xv, int deriv)
{
    return evaluate<std::complex<double>>(xs, coef, n, xv, deriv, 3, "complex_value");
}

void Integral(const double *xs, double **coef, int n, double *integ)
{
    integ[0] = 0.0;
    for (int i = 1; i <= n; i++) {
        const double h = xs[i] - xs[i - 1];
        const double *a = coef[i - 1];
        integ[i] = integ[i - 1] + h * (a[0] + h * (0.5 * a[1] + h * (a[2] / 6.0 + a[3] * h / 24.0)));
    }
}
