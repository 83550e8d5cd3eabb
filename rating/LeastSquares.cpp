// The least-squares spline of the rating model.
//
// The stage is scaled to t = (h - origin) / width, 0..1 over the knots, and
// the curve is written in the B-splines of a clamped knot sequence in t with
// coincident knots merged: on interval s of the merged knots exactly the
// basis functions s..s+M are nonzero. So the rows of the design matrix X of
// one interval share M+1 columns, and the columns in use move on by one from
// interval to interval. Householder reflections fold the rows into an upper
// triangle over the M+1 open columns (the band); when an interval is done,
// its first column receives no more rows and its row of the factor R is final.
#include "LeastSquares.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMaxDegree = 3;
constexpr int kMaxBand = kMaxDegree + 1;  // basis functions nonzero on one interval
constexpr int kWeights = kMaxDegree * (kMaxDegree + 1) / 2;
constexpr int kChunk = 32;                // data rows folded into the band at once

// A column counts as independent of the ones before it when the sine of its
// angle to their span, |R[k][k]| / |X e_k|, exceeds this. The reduction leaves
// an exactly dependent column a sine of a few hundred rounding units at most
// (about n eps from the reflections, times the size of the combination that
// reproduces it), well below 1e-10; an independent column nearer than that to
// the others would let rounding in the data move its coefficient 1e10 times
// as much, so the data do not fix it in any useful sense.
constexpr double kRankTolerance = 1e-10;
constexpr double kScreen = 1e-3;

// The open columns while rows are folded in: an upper triangle over the band
// columns 0..M with the data value in column M+1, and the squared norms of
// the band columns of X.
template <int M>
struct Band {
    double r[M + 1][M + 2];
    double norm2[M + 1];
};

// t of stage h, given 1 / width; every caller scales in this one way.
double scaled(const SplineFit &fit, double inverse_width, double h)
{
    return (h - fit.origin) * inverse_width;
}

// The first knot after Y[k] that lies strictly between it and Y[J], in the
// stage and in t, or J: knots that coincide count once.
int next_knot(const double *Y, int J, int k, const SplineFit &fit)
{
    const double inverse_width = 1.0 / fit.width;
    const double tk = scaled(fit, inverse_width, Y[k]);
    for (int q = k + 1; q < J; q++) {
        const double tq = scaled(fit, inverse_width, Y[q]);
        if (Y[q] < Y[J] && tq > tk && tq < 1.0)
            return q;
    }
    return J;
}

int intervals(const SplineFit &fit)
{
    return static_cast<int>(fit.knots.size()) - 2 * fit.degree - 1;
}

// The interval of the merged knots holding t; the end intervals extend
// beyond 0 and 1, and an interior knot belongs to the interval above it.
int interval_of(const SplineFit &fit, double t)
{
    const auto first = fit.knots.begin() + fit.degree + 1;
    const auto last = first + (intervals(fit) - 1);
    return static_cast<int>(std::upper_bound(first, last, t) - first);
}

// Reciprocal widths of the knot spans that the basis recurrence divides by on
// the interval starting at knots[mu]; the same for every stage in it.
void span_weights(const double *knots, int mu, int m, double *weight)
{
    int q = 0;
    for (int j = 1; j <= m; j++)
        for (int r = 0; r < j; r++)
            weight[q++] = 1.0 / (knots[mu + r + 1] - knots[mu + 1 - j + r]);
}

// b[0..M]: the B-splines of degree M that are nonzero on the interval
// starting at knots[mu], at t. Each degree's values are convex combinations
// of the previous degree's (weights t - knot over the span of the function),
// built up from the single function 1 of degree 0; outside the interval the
// same recurrence continues its polynomials.
template <int M>
void basis(const double *knots, int mu, const double *weight, double t, double *b)
{
    if constexpr (M == 0) {
        b[0] = 1.0;
    } else {
        basis<M - 1>(knots, mu, weight, t, b);
        const double *w = weight + M * (M - 1) / 2;
        double saved = 0.0;
        for (int r = 0; r < M; r++) {
            const double temp = b[r] * w[r];
            b[r] = saved + (knots[mu + r + 1] - t) * temp;
            saved = (t - knots[mu + 1 - M + r]) * temp;
        }
        b[M] = saved;
    }
}

// The curve on interval s as a polynomial poly[0..M] in the interval's own
// variable v = (t - knots[mu]) / (knots[mu+1] - knots[mu]): the M+1
// coefficients of the interval blended level by level with the weights
// alpha = (t - knot) / (span of the blend), which are linear in v, so that
// level j holds polynomials of degree j.
void local_curve(const SplineFit &fit, int s, double *poly)
{
    const int m = fit.degree;
    const int mu = m + s;
    const double *knots = fit.knots.data();
    const double span = knots[mu + 1] - knots[mu];
    double d[kMaxBand][kMaxBand] = {};
    for (int r = 0; r <= m; r++)
        d[r][0] = fit.coef[s + r];
    for (int j = 1; j <= m; j++)
        for (int r = m; r >= j; r--) {
            const double low = knots[mu - m + r];
            const double w = 1.0 / (knots[mu + 1 + r - j] - low);
            const double a0 = (knots[mu] - low) * w;
            const double a1 = span * w;
            double change[kMaxBand + 1] = {};
            for (int e = 0; e < j; e++)
                change[e + 1] = d[r][e] - d[r - 1][e];
            for (int e = 0; e <= j; e++)
                d[r][e] = d[r - 1][e] + a0 * change[e + 1] + a1 * change[e];
        }
    std::copy(d[m], d[m] + m + 1, poly);
}

double polynomial(const double *poly, int m, double v)
{
    double value = poly[m];
    for (int e = m - 1; e >= 0; e--)
        value = value * v + poly[e];
    return value;
}

// x'y over an even number k of entries, in two interleaved partial sums
// (which the compiler can keep in one vector register).
double dot(const double *x, const double *y, int k)
{
    double even = 0.0;
    double odd = 0.0;
    for (int i = 0; i < k; i += 2) {
        even += x[i] * y[i];
        odd += x[i + 1] * y[i + 1];
    }
    return even + odd;
}

// y -= s x over an even number k of entries.
void subtract_multiple(double s, const double *x, double *y, int k)
{
    for (int i = 0; i < k; i += 2) {
        const double even = y[i] - s * x[i];
        const double odd = y[i + 1] - s * x[i + 1];
        y[i] = even;
        y[i + 1] = odd;
    }
}

// The number of rows a[.][0..k-1] made even by a row of zeros, which changes
// nothing in the reduction (k < kChunk when odd).
template <int M>
int even_rows(double (*a)[kChunk], int k)
{
    if (k % 2 == 0)
        return k;
    for (int d = 0; d <= M + 1; d++)
        a[d][k] = 0.0;
    return k + 1;
}

// Folds an even number k of new rows, held by column in a[0..M+1][0..k-1],
// into the band's triangle: for each column c one reflection of row c of the
// triangle and the new rows makes the column zero in the new rows.
template <int M>
void fold_rows(Band<M> &band, double (*a)[kChunk], int k)
{
    for (int c = 0; c <= M; c++) {
        const double below = dot(a[c], a[c], k);
        if (below == 0.0)
            continue;
        double *top = band.r[c];
        const double norm = std::sqrt(top[c] * top[c] + below);
        const double alpha = top[c] >= 0.0 ? -norm : norm;
        const double v0 = top[c] - alpha;
        // The reflection is I - v v' / (norm |v0|) with v = (v0, a[c][.]).
        const double g = 1.0 / (norm * std::fabs(v0));
        for (int d = c + 1; d <= M + 1; d++) {
            const double s = (v0 * top[d] + dot(a[c], a[d], k)) * g;
            top[d] -= s * v0;
            subtract_multiple(s, a[c], a[d], k);
        }
        top[c] = alpha;
    }
}

// How far column k of X is from the span of the earlier independent columns,
// measured against the combination that comes nearest: with z_k = 1 and
// R[j][j..] z = 0 for the earlier rows, X z has length |R[k][k]|, and z is
// weighed by the column norms. For z = e_k this is the sine of the angle
// between column k and that span; otherwise it is smaller, and an estimate
// of the smallest singular value of the columns so far, each scaled to unit
// length.
double combination_sine(const SplineFit &fit, int k, double rkk)
{
    const int m = fit.degree;
    const int width = m + 2;
    const double *f = fit.factor.data();
    const double *norms = fit.coef.data();
    double window[kMaxDegree] = {1.0};
    double length2 = norms[k] * norms[k];
    int zeros = 0;
    for (int j = k - 1; j >= 0 && zeros < m; j--) {
        const double *row = f + j * width;
        double z = 0.0;
        if (row[0] != 0.0) {
            double sum = 0.0;
            for (int l = 1; l <= m; l++)
                sum += row[l] * window[l - 1];
            z = -sum / row[0];
        }
        for (int l = m - 1; l > 0; l--)
            window[l] = window[l - 1];
        window[0] = z;
        zeros = z == 0.0 ? zeros + 1 : 0;
        length2 += z * norms[j] * (z * norms[j]);
    }
    return std::fabs(rkk) / std::sqrt(length2);
}

// Column k, the band's first, is complete. Writes its row of the factor
// (zeros when the column depends on the earlier ones) and its norm in X to
// fit.coef[k], and moves the band on by one column. A dependent column is
// dropped: the rest of its row goes back into the band as a new row, since it
// still carries the data.
template <int M>
void close_column(Band<M> &band, SplineFit &fit, int k)
{
    fit.coef[k] = std::sqrt(band.norm2[0]);
    const double rkk = band.r[0][0];
    bool independent = std::fabs(rkk) > kRankTolerance * fit.coef[k];
    if (independent && std::fabs(rkk) < kScreen * fit.coef[k])
        independent = combination_sine(fit, k, rkk) > kRankTolerance;
    double *out = fit.factor.data() + k * (M + 2);
    double first[M + 2][kChunk];
    if (independent) {
        std::copy(band.r[0], band.r[0] + M + 2, out);
    } else {
        std::fill(out, out + M + 2, 0.0);
        for (int c = 0; c < M; c++)
            first[c][0] = band.r[0][c + 1];
        first[M][0] = 0.0;
        first[M + 1][0] = band.r[0][M + 1];
    }
    for (int i = 0; i < M; i++) {
        for (int c = 0; c < M; c++)
            band.r[i][c] = band.r[i + 1][c + 1];
        band.r[i][M] = 0.0;
        band.r[i][M + 1] = band.r[i + 1][M + 1];
        band.norm2[i] = band.norm2[i + 1];
    }
    std::fill(band.r[M], band.r[M] + M + 2, 0.0);
    band.norm2[M] = 0.0;
    if (!independent)
        fold_rows<M>(band, first, even_rows<M>(first, 1));
}

// The reduction of the rows interval by interval into fit.factor, then the
// residuals of the solved curve (solved by the caller in between).
template <int M>
void reduce(const double *h, const double *y, int n, SplineFit &fit)
{
    const int L = intervals(fit);
    const double inverse_width = 1.0 / fit.width;
    const double *knots = fit.knots.data();
    Band<M> band = {};
    double a[M + 2][kChunk];
    double weight[kWeights];
    int column = 0;
    int i = 0;
    for (int s = 0; s < L; s++) {
        span_weights(knots, M + s, M, weight);
        const double upper = s + 1 < L ? knots[M + s + 1] : HUGE_VAL;
        for (;;) {
            int k = 0;
            for (double t; k < kChunk && i < n && (t = scaled(fit, inverse_width, h[i])) < upper; k++, i++) {
                double b[M + 1];
                basis<M>(knots, M + s, weight, t, b);
                for (int c = 0; c <= M; c++)
                    a[c][k] = b[c];
                a[M + 1][k] = y[i];
            }
            const int rows = even_rows<M>(a, k);
            for (int c = 0; c <= M; c++)
                band.norm2[c] += dot(a[c], a[c], rows);
            fold_rows<M>(band, a, rows);
            if (k < kChunk)
                break;
        }
        for (int closing = s + 1 < L ? 1 : M + 1; closing > 0; closing--)
            close_column<M>(band, fit, column++);
    }
}

template <int M>
double squared_residuals(const double *h, const double *y, int n, const SplineFit &fit)
{
    const int L = intervals(fit);
    const double inverse_width = 1.0 / fit.width;
    const double *knots = fit.knots.data();
    double sse = 0.0;
    int i = 0;
    for (int s = 0; s < L && i < n; s++) {
        double poly[M + 1];
        local_curve(fit, s, poly);
        const double inverse_span = 1.0 / (knots[M + s + 1] - knots[M + s]);
        const double upper = s + 1 < L ? knots[M + s + 1] : HUGE_VAL;
        for (double t; i < n && (t = scaled(fit, inverse_width, h[i])) < upper; i++) {
            const double r = polynomial(poly, M, (t - knots[M + s]) * inverse_span) - y[i];
            sse += r * r;
        }
    }
    return sse;
}

// The fitted values' changes that leave the design matrix's image alone: for
// each dependent column k the null vector z with z_k = 1, zero beyond k and at
// the other dependent columns, and the independent ones before k from the
// leading triangle. w[j] becomes the largest |z_j| / max |z| over all of them.
// Each z_j needs only z_{j+1..j+M}, so a window of M values carries the
// substitution, once for max |z| and once for w.
void null_weights(const SplineFit &fit, double *w)
{
    const int m = fit.degree;
    const int width = m + 2;
    const double *f = fit.factor.data();
    std::fill(w, w + fit.unknowns, 0.0);
    for (int k = 0; k < fit.unknowns; k++) {
        if (f[k * width] != 0.0)
            continue;
        double zmax = 1.0;
        for (int pass = 0; pass < 2; pass++) {
            double window[kMaxDegree] = {1.0};
            int zeros = 0;
            if (pass == 1)
                w[k] = std::max(w[k], 1.0 / zmax);
            for (int j = k - 1; j >= 0 && zeros < m; j--) {
                const double *row = f + j * width;
                double z = 0.0;
                if (row[0] != 0.0) {
                    double sum = 0.0;
                    for (int l = 1; l <= m; l++)
                        sum += row[l] * window[l - 1];
                    z = -sum / row[0];
                }
                for (int l = m - 1; l > 0; l--)
                    window[l] = window[l - 1];
                window[0] = z;
                zeros = z == 0.0 ? zeros + 1 : 0;
                if (pass == 0)
                    zmax = std::max(zmax, std::fabs(z));
                else
                    w[j] = std::max(w[j], std::fabs(z) / zmax);
            }
        }
    }
}

// The intervals where a null vector has a coefficient of some weight, as
// merged stage ranges between the knots that bound them.
void find_undetermined(const double *Y, int J, const double *w, SplineFit &fit)
{
    const int m = fit.degree;
    fit.undetermined.clear();
    bool open = false;
    int k = 0;
    for (int s = 0; s < intervals(fit); s++) {
        const int next = next_knot(Y, J, k, fit);
        const bool loose = *std::max_element(w + s, w + s + m + 1) > kRankTolerance;
        if (loose && open)
            fit.undetermined.back().second = Y[next];
        else if (loose)
            fit.undetermined.emplace_back(Y[k], Y[next]);
        open = loose;
        k = next;
    }
}

// Back substitution in R c = d over the independent columns; the dependent
// coefficients are zero.
void solve(SplineFit &fit)
{
    const int m = fit.degree;
    const int width = m + 2;
    const int p = fit.unknowns;
    for (int j = p - 1; j >= 0; j--) {
        const double *row = fit.factor.data() + j * width;
        if (row[0] == 0.0) {
            fit.coef[j] = 0.0;
            continue;
        }
        double sum = row[m + 1];
        for (int l = 1; l <= m && j + l < p; l++)
            sum -= row[l] * fit.coef[j + l];
        fit.coef[j] = sum / row[0];
    }
}

// The basis at t on interval s, with M given at run time.
void basis_at(const SplineFit &fit, int s, double t, double *b)
{
    double weight[kWeights];
    span_weights(fit.knots.data(), fit.degree + s, fit.degree, weight);
    switch (fit.degree) {
    case 1:
        basis<1>(fit.knots.data(), 1 + s, weight, t, b);
        break;
    case 2:
        basis<2>(fit.knots.data(), 2 + s, weight, t, b);
        break;
    default:
        basis<3>(fit.knots.data(), 3 + s, weight, t, b);
    }
}

} // namespace

void fit_spline(const double *h, const double *y, int n, const double *Y, int J, int M, SplineFit &fit)
{
    fit.degree = M;
    fit.origin = Y[0];
    fit.width = Y[J] - Y[0];
    if (!(fit.width > 0.0)) {
        // No knot span: one polynomial, in a stage scaled by the data instead.
        const double spread = h[n - 1] - h[0];
        fit.width = spread > 0.0 ? spread : std::fabs(Y[0]) > 0.0 ? std::fabs(Y[0]) : 1.0;
    }
    const double inverse_width = 1.0 / fit.width;

    fit.knots.assign(M + 1, 0.0);
    for (int k = next_knot(Y, J, 0, fit); k < J; k = next_knot(Y, J, k, fit))
        fit.knots.push_back(scaled(fit, inverse_width, Y[k]));
    fit.knots.insert(fit.knots.end(), M + 1, 1.0);
    const int p = intervals(fit) + M;
    fit.unknowns = p;
    fit.coef.assign(p, 0.0);
    fit.factor.assign(static_cast<std::size_t>(p) * (M + 2), 0.0);

    switch (M) {
    case 1:
        reduce<1>(h, y, n, fit);
        break;
    case 2:
        reduce<2>(h, y, n, fit);
        break;
    default:
        reduce<3>(h, y, n, fit);
    }

    fit.rank = 0;
    for (int j = 0; j < p; j++)
        if (fit.factor[j * (M + 2)] != 0.0)
            fit.rank++;
    fit.determined = fit.rank == p;
    fit.undetermined.clear();
    if (!fit.determined) {
        null_weights(fit, fit.coef.data());
        find_undetermined(Y, J, fit.coef.data(), fit);
    }
    solve(fit);

    switch (M) {
    case 1:
        fit.sse = squared_residuals<1>(h, y, n, fit);
        break;
    case 2:
        fit.sse = squared_residuals<2>(h, y, n, fit);
        break;
    default:
        fit.sse = squared_residuals<3>(h, y, n, fit);
    }
}

double spline_value(const SplineFit &fit, double h)
{
    if (fit.unknowns == 0)
        return 0.0;
    const int m = fit.degree;
    const double t = scaled(fit, 1.0 / fit.width, h);
    const int s = interval_of(fit, t);
    double poly[kMaxBand];
    local_curve(fit, s, poly);
    const double inverse_span = 1.0 / (fit.knots[m + s + 1] - fit.knots[m + s]);
    return polynomial(poly, m, (t - fit.knots[m + s]) * inverse_span);
}

double spline_leverage(const SplineFit &fit, double h)
{
    if (fit.unknowns == 0)
        return 0.0;
    const int m = fit.degree;
    const int width = m + 2;
    const double t = scaled(fit, 1.0 / fit.width, h);
    const int s = interval_of(fit, t);
    double x[kMaxBand];
    basis_at(fit, s, t, x);

    // Forward substitution in R' z = x from the first nonzero of x on; z_j
    // needs the M values before it, R[j-l][j] being entry l of row j-l.
    const double *f = fit.factor.data();
    double window[kMaxDegree] = {};
    double zz = 0.0;
    for (int j = s; j < fit.unknowns; j++) {
        const double *row = f + j * width;
        double z = 0.0;
        if (row[0] != 0.0) {
            double sum = j - s <= m ? x[j - s] : 0.0;
            for (int l = 1; l <= m && j - l >= s; l++)
                sum -= f[(j - l) * width + l] * window[l - 1];
            z = sum / row[0];
        }
        for (int l = m - 1; l > 0; l--)
            window[l] = window[l - 1];
        window[0] = z;
        zz += z * z;
    }
    return zz;
}
