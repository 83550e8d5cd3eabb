// The exact least-squares curve of the rating model, without iteration: the
// curve in a B-spline basis of the scaled stage, found by an orthogonal
// reduction of the banded design matrix one interval at a time.
#ifndef LEASTSQUARES_H
#define LEASTSQUARES_H

#include <utility>
#include <vector>

// The least-squares curve of the rating model: a spline of degree M (1..3)
// on the knots Y[0..J] with value and first M-1 derivatives continuous,
// fitted by unweighted least squares. Coincident knots count once, so a
// zero-width interval adds nothing to the curve.
struct SplineFit {
    int unknowns = 0;        // p: coefficients of the curve (distinct intervals + M)
    int rank = 0;            // numerical rank of the design matrix
    bool determined = false; // rank == unknowns: the data fix the curve
    double sse = 0.0;        // sum of squared residuals of the fitted curve at the data
    // Stage ranges [lo, hi], ascending and merged, on which the data do not fix
    // the curve (empty when determined).
    std::vector<std::pair<double, double>> undetermined;

    // Representation, read only by the functions below.
    int degree = 0;
    double origin = 0.0;           // stage of t = 0
    double width = 1.0;            // stage span of t = 0..1
    std::vector<double> knots;     // knot sequence in t (end knots repeated)
    std::vector<double> coef;      // coefficient of each basis function
    // Banded triangular factor R, unknowns x (M+2): row k holds R[k][k..k+M]
    // and then the rotated data value of that row. A row of zeros marks a
    // column that depends on the ones before it.
    std::vector<double> factor;
};

// Fits the n values y[0..n-1] at the ascending stages h[0..n-1] with the
// nondecreasing knots Y[0..J] (0-based here) and degree M, for n >= 1,
// J >= 1 and M in 1..3. Data outside Y[0]..Y[J] are fitted by the end
// polynomials. fit's storage is reused between calls. When the knots span no
// stage range, the single polynomial is scaled by the span of the data.
// An undetermined fit holds the least-squares curve with the coefficients of
// the dependent columns set to zero.
void fit_spline(const double *h, const double *y, int n, const double *Y, int J, int M, SplineFit &fit);

// fit_spline by weighted least squares: the minimum of sum w_i (y_i - curve)^2
// for the weights w[0..n-1] (all > 0), each row of the design matrix and its
// value scaled by sqrt(w_i) as it is folded in; fit.sse is then the weighted
// sum of squares. With w == nullptr exactly fit_spline.
void fit_spline_weighted(const double *h, const double *y, const double *w, int n, const double *Y, int J, int M,
                         SplineFit &fit);

// Fits the data sets ys[k][0..n-1], k < count, at the same stages on the same
// knots, reducing the design matrix once for every four of them: fits[k] is
// bit for bit what fit_spline(h, ys[k], n, Y, J, M, fits[k]) gives. fitted,
// when not null, receives in fitted[k][0..n-1] the fitted values at the
// stages, as spline_values gives them. work is scratch kept between calls.
void fit_spline_many(const double *h, const double *const *ys, int count, int n, const double *Y, int J, int M,
                     SplineFit *fits, double *const *fitted, std::vector<double> &work);

// The fitted curve at stage h; the end polynomials continue beyond the knots.
double spline_value(const SplineFit &fit, double h);

// x(h)' (X'X)^-1 x(h): the variance factor of the fitted value at h, x(h) being
// the basis at h and X the design matrix; for a determined fit only (for
// another, the dependent coefficients are taken as fixed at zero).
double spline_leverage(const SplineFit &fit, double h);

// The fitted curve at the ascending stages h[0..n-1], as spline_value gives it.
void spline_values(const SplineFit &fit, const double *h, int n, double *out);

// The leverages w_i x_i' (X'WX)^-1 x_i of the fit's data, stages h[0..n-1]
// ascending as fitted, weights w as fitted (nullptr: unweighted, w_i = 1), in
// O(n M^2 + p M^2). The dependent coefficients of an undetermined fit are
// taken as fixed at zero, as in spline_leverage.
void spline_leverages(const SplineFit &fit, const double *h, const double *w, int n, double *out);

// The factor as a dense p x p upper triangle R (row by row) and the rotated
// data d: the fit minimises |R c - d|^2 plus a constant over the coefficients
// c of the B-splines, which are also those of the B-splines on the knots in
// stage units. The rows of dependent columns are zero.
void spline_dense_factor(const SplineFit &fit, std::vector<double> &R, std::vector<double> &d);

#endif
