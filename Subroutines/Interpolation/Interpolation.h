// Interval lookup, interpolation in tables of points, cubic splines.
//
// interval() searches a 1-based view xs[1..n]; the interpolation routines
// address their tables from 0 and hand interval() the same pointer, so that
// the search covers the knots xs[1..n] and segment i starts at xs[i].
#ifndef INTERPOLATION_H
#define INTERPOLATION_H

#include <complex>

// The number of entries of the nondecreasing table xs[1..n] at or below xv
// (0..n). Remembers where the last search ended, shared by all callers; the
// result never depends on it, only the number of comparisons does.
int interval(const double *xs, int n, double xv);

// Interpolation in a table of points (xs[k], ys[k]) on the segment that
// interval() finds; the end segments are extended beyond the table.
// linear: the segment line through points i, i + 1 (reads up to xs[n + 1]);
// deriv 0 gives the value, 1 (or negative) the slope, 2 and above 0.
// Quadratic: the parabola through the three points around xv (n >= 2).
// polynomial: the polynomial through deg + 1 points centred on the segment
// of xv, within xs[0..n] (0 <= deg <= n, deg <= 9).
double linear(const double *xs, const double *ys, int n, double xv, int deriv);
double Quadratic(const double *xs, const double *ys, int n, double xv, int unused);
double polynomial(const double *xs, const double *ys, int n, double xv, int deg);

// Cubic spline through (xs[i], coef[i][0]), i = 0..n, built in place: row i
// becomes the value and the first three derivatives at xs[i] (row n continues
// the last piece). End codes: 0 not-a-knot (needs n >= 2), 1 slope given in
// coef[0][1] or coef[n][1]; any other start code takes the caller's equation
// coef[0][3]*s0 + coef[0][2]*s1 = coef[0][1], any other end code acts as 1.
// Spline reads rows through pointers, spline contiguous rows; complex_spline
// has complex values over real knots.
void Spline(const double *xs, double **coef, int n, int startcond, int endcond);
void spline(const double *xs, double (*coef)[4], int n, int startcond, int endcond);
void complex_spline(const double *xs, std::complex<double> **coef, int n, int startcond, int endcond);

// Derivative of order deriv >= 0 of a spline table at xv; piece 0 serves
// below xs[1], row n from xs[n] on. Value reads a one-interval table as the
// line of its value and slope. Integral: integ[i] = integral from xs[0] to xs[i].
double value(const double *xs, double (*coef)[4], int n, double xv, int deriv);
double Value(const double *xs, double **coef, int n, double xv, int deriv);
std::complex<double> complex_value(const double *xs, std::complex<double> **coef, int n, double xv, int deriv);
void Integral(const double *xs, double **coef, int n, double *integ);

#endif
