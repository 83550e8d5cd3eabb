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
#include <cstddef>

namespace {

constexpr int kMaxDegree = 3;
constexpr int kMaxBand = kMaxDegree + 1; // basis functions nonzero on one interval
constexpr int kWeights = kMaxDegree * (kMaxDegree + 1) / 2;
constexpr int kChunk = 32;               // data rows folded into the band at once

// Column k depends on the columns before it when some combination z of them
// with z_k = 1 leaves |X z| at most this fraction of the length of z, each z_j
// weighed by the norm of column j (dependency_sine; for z = e_k this is the
// sine of the angle between column k and the span of the others). Rounding
// leaves an exact dependency at a few eps (below 1e-13 on every configuration
// tried); an independent combination this near zero would let rounding in the
// data move the curve 1e10 times as much, so the data do not fix it.
constexpr double kRankTolerance = 1e-10;
// Rounding leaves an exact dependency a sine |R[k][k]| / |X e_k| of about eps
// times the length of its combination, so a sine above this would need a
// combination 1e13 times longer than the column, which the earlier columns,
// checked in turn, cannot supply; below it the whole combination is weighed.
constexpr double kScreen = 1e-3;

// The open columns while rows are folded in: an upper triangle over the band
// columns 0..M with the values of D data sets in columns M+1..M+D, and the
// squared norms of the band columns of X.
template <int M, int D>
struct Band {
    double r[M + 1][M + 1 + D];
    double norm2[M + 1];
};

// Data sets reduced at once by fit_spline_many.
constexpr int kDataSets = 4;

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
// level j holds polynomials of degree j. The blend's weights, as
// alpha = a0[j][r] + a1[j][r] v, depend on the knots only (Blend), so that
// several coefficient vectors on the same knots share them (blend_curve).
template <int M>
struct Blend {
    double a0[M + 1][M + 1];
    double a1[M + 1][M + 1];
};

template <int M>
void blend_weights(const SplineFit &fit, int s, Blend<M> &blend)
{
    const int mu = M + s;
    const double *knots = fit.knots.data();
    const double span = knots[mu + 1] - knots[mu];
    for (int j = 1; j <= M; j++)
        for (int r = M; r >= j; r--) {
            const double low = knots[mu - M + r];
            const double w = 1.0 / (knots[mu + 1 + r - j] - low);
            blend.a0[j][r] = (knots[mu] - low) * w;
            blend.a1[j][r] = span * w;
        }
}

// The polynomial in v of the interval's coefficients coef[0..M].
template <int M>
void blend_curve(const double *coef, const Blend<M> &blend, double *poly)
{
    double d[M + 1][M + 1] = {};
    for (int r = 0; r <= M; r++)
        d[r][0] = coef[r];
    for (int j = 1; j <= M; j++)
        for (int r = M; r >= j; r--) {
            const double a0 = blend.a0[j][r];
            const double a1 = blend.a1[j][r];
            double change[M + 2] = {};
            for (int e = 0; e < j; e++)
                change[e + 1] = d[r][e] - d[r - 1][e];
            for (int e = 0; e <= j; e++)
                d[r][e] = d[r - 1][e] + a0 * change[e + 1] + a1 * change[e];
        }
    std::copy(d[M], d[M] + M + 1, poly);
}

template <int M>
void local_curve(const SplineFit &fit, int s, double *poly)
{
    Blend<M> blend;
    blend_weights<M>(fit, s, blend);
    blend_curve<M>(fit.coef.data() + s, blend, poly);
}

void local_curve(const SplineFit &fit, int s, double *poly)
{
    if (fit.degree == 1)
        local_curve<1>(fit, s, poly);
    else if (fit.degree == 2)
        local_curve<2>(fit, s, poly);
    else
        local_curve<3>(fit, s, poly);
}

double polynomial(const double *poly, int m, double v)
{
    double value = poly[m];
    for (int e = m - 1; e >= 0; e--)
        value = value * v + poly[e];
    return value;
}

// The curve at t on interval s, the same way for the residuals and for
// spline_value.
double curve_on(const SplineFit &fit, int s, const double *poly, double t)
{
    const double *u = fit.knots.data() + fit.degree + s;
    return polynomial(poly, fit.degree, (t - u[0]) * (1.0 / (u[1] - u[0])));
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
template <int M, int D>
int even_rows(double (*a)[kChunk], int k)
{
    if (k % 2 == 0)
        return k;
    for (int d = 0; d <= M + D; d++)
        a[d][k] = 0.0;
    return k + 1;
}

// Folds an even number k of new rows, held by column in a[0..M+D][0..k-1],
// into the band's triangle: for each column c one reflection of row c of the
// triangle and the new rows makes the column zero in the new rows.
template <int M, int D>
void fold_rows(Band<M, D> &band, double (*a)[kChunk], int k)
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
        for (int d = c + 1; d <= M + D; d++) {
            const double s = (v0 * top[d] + dot(a[c], a[d], k)) * g;
            top[d] -= s * v0;
            subtract_multiple(s, a[c], a[d], k);
        }
        top[c] = alpha;
    }
}

// The combination z of the columns up to k with z_k = 1 and R[j][j..] z = 0
// for every earlier independent row j (z_j = 0 for the dependent columns):
// calls visit(j, z_j) from j = k-1 down. Each z_j needs only z_{j+1..j+M};
// after M zeros in a row all earlier z_j are zero.
template <class Visit>
void dependency(const SplineFit &fit, int k, Visit visit)
{
    const int m = fit.degree;
    double window[kMaxDegree] = {1.0};
    int zeros = 0;
    for (int j = k - 1; j >= 0 && zeros < m; j--) {
        const double *row = fit.factor.data() + j * (m + 2);
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
        visit(j, z);
    }
}

// |X z| / |z| for the combination z of column k with the earlier independent
// columns that comes nearest to zero, z weighed by the column norms held in
// fit.coef: an estimate of the smallest singular value of the columns so far,
// each scaled to length 1. For z = e_k it is the sine of the angle between
// column k and the span of the earlier columns.
double dependency_sine(const SplineFit &fit, int k, double rkk)
{
    const double *norms = fit.coef.data();
    double length2 = norms[k] * norms[k];
    dependency(fit, k, [&](int j, double z) { length2 += z * norms[j] * (z * norms[j]); });
    return std::fabs(rkk) / std::sqrt(length2);
}

// Column k, the band's first, is complete. Writes its row of the factor
// (zeros when the column depends on the earlier ones) and its norm in X to
// fit.coef[k], and moves the band on by one column. A dependent column is
// dropped: the rest of its row goes back into the band as a new row, since it
// still carries the data. The rotated values of the data sets after the
// first go to data[0..D-2].
template <int M, int D>
void close_column(Band<M, D> &band, SplineFit &fit, int k, double *data)
{
    fit.coef[k] = std::sqrt(band.norm2[0]);
    const double rkk = band.r[0][0];
    bool independent = std::fabs(rkk) > kRankTolerance * fit.coef[k];
    if (independent && std::fabs(rkk) < kScreen * fit.coef[k])
        independent = dependency_sine(fit, k, rkk) > kRankTolerance;
    double *out = fit.factor.data() + k * (M + 2);
    double first[M + 1 + D][kChunk];
    if (independent) {
        std::copy(band.r[0], band.r[0] + M + 2, out);
        std::copy(band.r[0] + M + 2, band.r[0] + M + 1 + D, data);
    } else {
        std::fill(out, out + M + 2, 0.0);
        std::fill(data, data + D - 1, 0.0);
        for (int c = 0; c < M; c++)
            first[c][0] = band.r[0][c + 1];
        first[M][0] = 0.0;
        for (int d = M + 1; d <= M + D; d++)
            first[d][0] = band.r[0][d];
    }
    for (int i = 0; i < M; i++) {
        for (int c = 0; c < M; c++)
            band.r[i][c] = band.r[i + 1][c + 1];
        band.r[i][M] = 0.0;
        for (int d = M + 1; d <= M + D; d++)
            band.r[i][d] = band.r[i + 1][d];
        band.norm2[i] = band.norm2[i + 1];
    }
    std::fill(band.r[M], band.r[M] + M + 1 + D, 0.0);
    band.norm2[M] = 0.0;
    if (!independent)
        fold_rows<M, D>(band, first, even_rows<M, D>(first, 1));
}

// The rows of X and of the D data sets y[0..D-1], interval by interval,
// reduced into fit.factor (the first data set) and data (the others, D - 1
// values a row); with weights w, each row scaled by sqrt(w_i) as it is folded in.
template <int M, bool Weighted, int D>
void reduce(const double *h, const double *const *y, const double *w, int n, SplineFit &fit, double *data)
{
    const int L = intervals(fit);
    const double inverse_width = 1.0 / fit.width;
    const double *knots = fit.knots.data();
    Band<M, D> band = {};
    double a[M + 1 + D][kChunk];
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
                if constexpr (Weighted) {
                    const double root = std::sqrt(w[i]);
                    for (int c = 0; c <= M; c++)
                        a[c][k] = b[c] * root;
                    for (int d = 0; d < D; d++)
                        a[M + 1 + d][k] = y[d][i] * root;
                } else {
                    for (int c = 0; c <= M; c++)
                        a[c][k] = b[c];
                    for (int d = 0; d < D; d++)
                        a[M + 1 + d][k] = y[d][i];
                }
            }
            const int rows = even_rows<M, D>(a, k);
            for (int c = 0; c <= M; c++)
                band.norm2[c] += dot(a[c], a[c], rows);
            fold_rows<M, D>(band, a, rows);
            if (k < kChunk)
                break;
        }
        for (int closing = s + 1 < L ? 1 : M + 1; closing > 0; closing--, column++)
            close_column<M, D>(band, fit, column, data + static_cast<std::size_t>(column) * (D - 1));
    }
}

// w[j]: the largest |z_j| / max |z| over the combinations z of the dependent
// columns, the changes of the coefficients that leave X c alone.
void null_weights(const SplineFit &fit, double *w)
{
    std::fill(w, w + fit.unknowns, 0.0);
    for (int k = 0; k < fit.unknowns; k++) {
        if (fit.factor[k * (fit.degree + 2)] != 0.0)
            continue;
        double zmax = 1.0;
        dependency(fit, k, [&](int, double z) { zmax = std::max(zmax, std::fabs(z)); });
        w[k] = std::max(w[k], 1.0 / zmax);
        dependency(fit, k, [&](int j, double z) { w[j] = std::max(w[j], std::fabs(z) / zmax); });
    }
}

// The intervals where a combination of the dependent columns has a
// coefficient of some weight, as merged stage ranges between the knots that
// bound them.
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
    const int p = fit.unknowns;
    for (int j = p - 1; j >= 0; j--) {
        const double *row = fit.factor.data() + j * (m + 2);
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

// The squared residuals of the solved curves fits[0..D-1] (the same knots)
// at the observations of their data sets y[0..D-1], each times its weight
// when there are weights, summed in order into fits[d].sse; the curves' values
// to fitted[d] when fitted is given. The values are those of curve_on.
template <int M, bool Weighted, int D>
void residuals(const double *h, const double *const *y, const double *w, int n, SplineFit *fits,
               double *const *fitted)
{
    const SplineFit &fit = fits[0];
    const int L = intervals(fit);
    const double inverse_width = 1.0 / fit.width;
    double sse[D] = {};
    int i = 0;
    for (int s = 0; s < L && i < n; s++) {
        Blend<M> blend;
        blend_weights<M>(fit, s, blend);
        double poly[D][M + 1];
        for (int d = 0; d < D; d++)
            blend_curve<M>(fits[d].coef.data() + s, blend, poly[d]);
        const double *u = fit.knots.data() + M + s;
        const double inverse_span = 1.0 / (u[1] - u[0]);
        const double upper = s + 1 < L ? fit.knots[M + s + 1] : HUGE_VAL;
        for (double t; i < n && (t = scaled(fit, inverse_width, h[i])) < upper; i++) {
            const double v = (t - u[0]) * inverse_span;
            for (int d = 0; d < D; d++) {
                const double value = polynomial(poly[d], M, v);
                if (fitted != nullptr)
                    fitted[d][i] = value;
                const double r = value - y[d][i];
                if constexpr (Weighted)
                    sse[d] += w[i] * (r * r);
                else
                    sse[d] += r * r;
            }
        }
    }
    for (int d = 0; d < D; d++)
        fits[d].sse = sse[d];
}

// Fits the D data sets y[0..D-1] at once: fits[0] gets the factor's first
// data column, each other data set's fit a copy of it with its own column;
// fitted[d] (when not null) receives the fitted values of data set d.
template <bool Weighted, int D>
void least_squares(const double *h, const double *const *y, const double *w, int n, const double *Y, int J, int M,
                   SplineFit *fits, double *const *fitted, std::vector<double> &data)
{
    SplineFit &fit = fits[0];
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
    double none[1];
    double *others = none;
    if (D > 1) {
        data.resize(static_cast<std::size_t>(p) * (D - 1));
        others = data.data();
    }

    switch (M) {
    case 1:
        reduce<1, Weighted, D>(h, y, w, n, fit, others);
        break;
    case 2:
        reduce<2, Weighted, D>(h, y, w, n, fit, others);
        break;
    default:
        reduce<3, Weighted, D>(h, y, w, n, fit, others);
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
    for (int d = 1; d < D; d++) {
        fits[d] = fit;
        for (int j = 0; j < p; j++)
            fits[d].factor[static_cast<std::size_t>(j) * (M + 2) + M + 1] = others[j * (D - 1) + d - 1];
    }
    for (int d = 0; d < D; d++)
        solve(fits[d]);
    switch (M) {
    case 1:
        residuals<1, Weighted, D>(h, y, w, n, fits, fitted);
        break;
    case 2:
        residuals<2, Weighted, D>(h, y, w, n, fits, fitted);
        break;
    default:
        residuals<3, Weighted, D>(h, y, w, n, fits, fitted);
    }
}

} // namespace

void fit_spline(const double *h, const double *y, int n, const double *Y, int J, int M, SplineFit &fit)
{
    fit_spline_weighted(h, y, nullptr, n, Y, J, M, fit);
}

void fit_spline_weighted(const double *h, const double *y, const double *w, int n, const double *Y, int J, int M,
                         SplineFit &fit)
{
    std::vector<double> unused;
    if (w == nullptr)
        least_squares<false, 1>(h, &y, nullptr, n, Y, J, M, &fit, nullptr, unused);
    else
        least_squares<true, 1>(h, &y, w, n, Y, J, M, &fit, nullptr, unused);
}

void fit_spline_many(const double *h, const double *const *ys, int count, int n, const double *Y, int J, int M,
                     SplineFit *fits, double *const *fitted, std::vector<double> &work)
{
    for (int first = 0; first < count; first += kDataSets) {
        const double *const *y = ys + first;
        double *const *out = fitted != nullptr ? fitted + first : nullptr;
        switch (std::min(kDataSets, count - first)) {
        case 1:
            least_squares<false, 1>(h, y, nullptr, n, Y, J, M, fits + first, out, work);
            break;
        case 2:
            least_squares<false, 2>(h, y, nullptr, n, Y, J, M, fits + first, out, work);
            break;
        case 3:
            least_squares<false, 3>(h, y, nullptr, n, Y, J, M, fits + first, out, work);
            break;
        default:
            least_squares<false, kDataSets>(h, y, nullptr, n, Y, J, M, fits + first, out, work);
        }
    }
}

double spline_value(const SplineFit &fit, double h)
{
    if (fit.unknowns == 0)
        return 0.0;
    const double t = scaled(fit, 1.0 / fit.width, h);
    const int s = interval_of(fit, t);
    double poly[kMaxBand];
    local_curve(fit, s, poly);
    return curve_on(fit, s, poly, t);
}

double spline_leverage(const SplineFit &fit, double h)
{
    if (fit.unknowns == 0)
        return 0.0;
    const int m = fit.degree;
    const int width = m + 2;
    const double t = scaled(fit, 1.0 / fit.width, h);
    const int s = interval_of(fit, t);
    double weight[kWeights];
    double x[kMaxBand];
    span_weights(fit.knots.data(), m + s, m, weight);
    if (m == 1)
        basis<1>(fit.knots.data(), 1 + s, weight, t, x);
    else if (m == 2)
        basis<2>(fit.knots.data(), 2 + s, weight, t, x);
    else
        basis<3>(fit.knots.data(), 3 + s, weight, t, x);

    // Forward substitution in R' z = x from the first nonzero of x on; z_j
    // needs the M values before it, R[j-l][j] being entry l of row j-l.
    const double *f = fit.factor.data();
    double window[kMaxDegree] = {};
    double zz = 0.0;
    for (int j = s; j < fit.unknowns; j++) {
        double z = 0.0;
        if (f[j * width] != 0.0) {
            double sum = j - s <= m ? x[j - s] : 0.0;
            for (int l = 1; l <= m && j - l >= s; l++)
                sum -= f[(j - l) * width + l] * window[l - 1];
            z = sum / f[j * width];
        }
        for (int l = m - 1; l > 0; l--)
            window[l] = window[l - 1];
        window[0] = z;
        zz += z * z;
    }
    return zz;
}

void spline_values(const SplineFit &fit, const double *h, int n, double *out)
{
    if (fit.unknowns == 0) {
        std::fill(out, out + n, 0.0);
        return;
    }
    const int L = intervals(fit);
    const double inverse_width = 1.0 / fit.width;
    int i = 0;
    for (int s = 0; s < L && i < n; s++) {
        double poly[kMaxBand];
        local_curve(fit, s, poly);
        const double upper = s + 1 < L ? fit.knots[fit.degree + s + 1] : HUGE_VAL;
        for (double t; i < n && (t = scaled(fit, inverse_width, h[i])) < upper; i++)
            out[i] = curve_on(fit, s, poly, t);
    }
}

namespace {

// The entries of S = (R'R)^-1 within the band, |j - k| <= M, from the last
// row up: R S = R^-T is lower triangular with diagonal 1 / R[i][i], so row i
// of S above the diagonal is -(1 / R[i][i]) sum_k R[i][k] S[k][j] over the M
// rows below it, and S[i][i] = 1 / R[i][i]^2 - (1 / R[i][i]) sum_k R[i][k] S[k][i].
// Only the last M + 1 rows are kept, row i in rows[i % (M + 1)] as S[i][i + d].
template <int M>
struct CovarianceBand {
    double rows[M + 1][M + 1] = {};

    double at(int j, int k) const
    {
        return j <= k ? rows[j % (M + 1)][k - j] : rows[k % (M + 1)][j - k];
    }

    // Row i of S, the rows i + 1 .. i + M being in place.
    void add_row(const SplineFit &fit, int i)
    {
        const int p = fit.unknowns;
        const double *r = fit.factor.data() + static_cast<std::size_t>(i) * (M + 2);
        double *row = rows[i % (M + 1)];
        if (r[0] == 0.0) {
            std::fill(row, row + M + 1, 0.0);
            return;
        }
        const double inverse = 1.0 / r[0];
        for (int d = M; d >= 1; d--) {
            double sum = 0.0;
            if (i + d < p)
                for (int l = 1; l <= M && i + l < p; l++)
                    sum += r[l] * at(i + l, i + d);
            row[d] = -inverse * sum;
        }
        double sum = 0.0;
        for (int l = 1; l <= M && i + l < p; l++)
            sum += r[l] * row[l];
        row[0] = inverse * (inverse - sum);
    }
};

template <int M>
void leverages(const SplineFit &fit, const double *h, const double *w, int n, double *out)
{
    const int p = fit.unknowns;
    const int L = intervals(fit);
    const double inverse_width = 1.0 / fit.width;
    const double *knots = fit.knots.data();
    CovarianceBand<M> band;
    for (int j = p - 1; j >= L - 1; j--)
        band.add_row(fit, j);
    int i = n - 1;
    for (int s = L - 1; s >= 0; s--) {
        if (s < L - 1)
            band.add_row(fit, s);
        double block[M + 1][M + 1];
        for (int a = 0; a <= M; a++)
            for (int c = a; c <= M; c++)
                block[a][c] = band.at(s + a, s + c);
        double weight[kWeights];
        span_weights(knots, M + s, M, weight);
        const double lower = s > 0 ? knots[M + s] : -HUGE_VAL;
        for (double t; i >= 0 && (t = scaled(fit, inverse_width, h[i])) >= lower; i--) {
            double b[M + 1];
            basis<M>(knots, M + s, weight, t, b);
            double q = 0.0;
            for (int a = 0; a <= M; a++) {
                double cross = 0.0;
                for (int c = a + 1; c <= M; c++)
                    cross += block[a][c] * b[c];
                q += b[a] * (block[a][a] * b[a] + 2.0 * cross);
            }
            out[i] = w != nullptr ? w[i] * q : q;
        }
    }
}

} // namespace

void spline_leverages(const SplineFit &fit, const double *h, const double *w, int n, double *out)
{
    if (fit.unknowns == 0) {
        std::fill(out, out + n, 0.0);
        return;
    }
    if (fit.degree == 1)
        leverages<1>(fit, h, w, n, out);
    else if (fit.degree == 2)
        leverages<2>(fit, h, w, n, out);
    else
        leverages<3>(fit, h, w, n, out);
}

void spline_dense_factor(const SplineFit &fit, std::vector<double> &R, std::vector<double> &d)
{
    const int p = fit.unknowns;
    const int m = fit.degree;
    R.assign(static_cast<std::size_t>(p) * p, 0.0);
    d.assign(p, 0.0);
    for (int k = 0; k < p; k++) {
        const double *row = fit.factor.data() + static_cast<std::size_t>(k) * (m + 2);
        for (int l = 0; l <= m && k + l < p; l++)
            R[static_cast<std::size_t>(k) * p + k + l] = row[l];
        d[k] = row[m + 1];
    }
}
