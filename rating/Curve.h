// A fitted rating curve as a value: a spline of Q^nu in stage written in
// B-splines of a knot vector in stage units, with what its 95 % bands need,
// and its evaluation inside and beyond the gauged range.
#ifndef RATING_CURVE_H
#define RATING_CURVE_H

#include "StageRanges.h"

#include <string>
#include <vector>

namespace rating {

// How the model was chosen from the data.
struct SelectionRecord {
    bool made = false;          // false: the model was set by the user
    std::string criterion;      // "cv_se"
    double nu = 0.0;
    int intervals = 0;
    double cv_se_pct = 0.0;
};

struct Curve {
    std::string station;        // the station id, may be empty
    std::string title;          // the station name, else the id
    double nu = 0.5;
    int degree = 3;
    // Knots of the B-splines: end knots repeated degree + 1 times, coincident
    // interior knots merged into one.
    std::vector<double> knots;
    std::vector<double> coefficients;  // of Q^nu; p = knots.size() - degree - 1
    StageRange stage_range{0.0, 0.0};  // the gauged range: lowest and highest active stage
    int n = 0;                  // active gaugings fitted
    int n_inactive = 0;
    int p = 0;                  // coefficients
    int dof = 0;                // n - (p - active constraints)
    double s = 0.0;             // standard deviation of a new gauging about the curve, in Q^nu
    std::vector<double> covariance;  // p x p, row by row, of the coefficients
    bool weighted = false;
    double s_m = 0.0;           // the curve's own scatter (weighted); s (unweighted)
    double r = 0.0;             // typical relative uncertainty of a gauging (weighted), else 0
    std::string period_first;   // earliest and latest date of the fitted gaugings, as written;
    std::string period_last;    // empty when none is dated
    std::vector<StageRange> constraints;  // active rise constraints, as stage ranges
    SelectionRecord selection;
};

int intervals_of(const Curve &curve);

// The B-spline values at stage h: b[0..degree] of the functions first ..
// first + degree, which are the nonzero ones on the knot interval holding h
// (the end intervals extend beyond the range). Returns first.
int curve_basis(const Curve &curve, double h, double *b);

// The linear functional of the coefficients that gives the curve at stage h:
// inside the gauged range the B-spline values, beyond it the end tangent
// (value and slope of the end polynomial at the end stage carried on in a
// straight line). full.size() becomes p.
void curve_functional(const Curve &curve, double h, std::vector<double> &full);

// Q^nu at stage h: the spline inside the gauged range, the end tangents beyond.
double curve_value(const Curve &curve, double h);

// The slope d(Q^nu)/dh of the spline at h (inside the range; the end
// polynomials beyond).
double curve_slope(const Curve &curve, double h);

// b' C b for the functional b of stage h: the variance of the fitted Q^nu.
double curve_variance(const Curve &curve, double h);

// The discharge of a value of Q^nu: y^(1/nu); for nu > 0 a value at or below
// 0 gives 0, for nu < 0 it has none (NaN).
double discharge_of_value(double nu, double y);

// The 95 % bands at stage h in discharge, ends in ascending order.
struct BandRow {
    double stage;
    double discharge;
    double conf_low, conf_high;
    double pred_low, pred_high;
};
// t: Student's 0.975 quantile at curve.dof.
BandRow curve_band(const Curve &curve, double h, double t);

// Each knot interval's polynomial of Q^nu in (h - from), coefficients of the
// powers 0 .. degree in ascending order.
struct Piece {
    double from, to;
    std::vector<double> coefficients;
};
std::vector<Piece> curve_pieces(const Curve &curve);

// Student's t quantile at 0.975 for the degrees of freedom (> 0).
double t_quantile_975(int degrees_of_freedom);

} // namespace rating

#endif
