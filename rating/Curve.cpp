#include "Curve.h"

#include <boost/math/distributions/students_t.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace rating {

namespace {

constexpr int kMaxOrder = 4;  // degree 3 and below

// The knot interval [knots[mu], knots[mu+1]) holding h, the end intervals
// extending beyond the range; an interior knot belongs to the interval above.
int span_of(const Curve &curve, double h)
{
    const int d = curve.degree;
    const int last = static_cast<int>(curve.knots.size()) - d - 2;
    const auto first_interior = curve.knots.begin() + d + 1;
    const auto end_interior = curve.knots.begin() + last + 1;
    const int mu = d + static_cast<int>(std::upper_bound(first_interior, end_interior, h) - first_interior);
    return std::min(mu, last);
}

// ders[k][j]: the k-th derivative of B-spline mu - degree + j at h, for
// k = 0..n, by the triangular recurrence of the basis and its differences.
void basis_derivatives(const Curve &curve, int mu, double h, int n, double ders[kMaxOrder][kMaxOrder])
{
    const int d = curve.degree;
    const double *U = curve.knots.data();
    double ndu[kMaxOrder][kMaxOrder];
    double left[kMaxOrder];
    double right[kMaxOrder];
    ndu[0][0] = 1.0;
    for (int j = 1; j <= d; j++) {
        left[j] = h - U[mu + 1 - j];
        right[j] = U[mu + j] - h;
        double saved = 0.0;
        for (int r = 0; r < j; r++) {
            ndu[j][r] = right[r + 1] + left[j - r];
            const double temp = ndu[r][j - 1] / ndu[j][r];
            ndu[r][j] = saved + right[r + 1] * temp;
            saved = left[j - r] * temp;
        }
        ndu[j][j] = saved;
    }
    for (int j = 0; j <= d; j++)
        ders[0][j] = ndu[j][d];
    if (n == 0)
        return;
    for (int r = 0; r <= d; r++) {
        double a[2][kMaxOrder] = {};
        int s1 = 0;
        int s2 = 1;
        a[0][0] = 1.0;
        for (int k = 1; k <= n; k++) {
            double value = 0.0;
            const int rk = r - k;
            const int pk = d - k;
            if (r >= k) {
                a[s2][0] = a[s1][0] / ndu[pk + 1][rk];
                value = a[s2][0] * ndu[rk][pk];
            }
            const int j1 = rk >= -1 ? 1 : -rk;
            const int j2 = r - 1 <= pk ? k - 1 : d - r;
            for (int j = j1; j <= j2; j++) {
                a[s2][j] = (a[s1][j] - a[s1][j - 1]) / ndu[pk + 1][rk + j];
                value += a[s2][j] * ndu[rk + j][pk];
            }
            if (r <= pk) {
                a[s2][k] = -a[s1][k - 1] / ndu[pk + 1][r];
                value += a[s2][k] * ndu[r][pk];
            }
            ders[k][r] = value;
            std::swap(s1, s2);
        }
    }
    double factor = d;
    for (int k = 1; k <= n; k++) {
        for (int j = 0; j <= d; j++)
            ders[k][j] *= factor;
        factor *= d - k;
    }
}

// Value or slope of the spline at h on the knot interval mu.
double spline_derivative(const Curve &curve, int mu, double h, int k)
{
    double ders[kMaxOrder][kMaxOrder];
    basis_derivatives(curve, mu, h, k, ders);
    const int first = mu - curve.degree;
    double sum = 0.0;
    for (int j = 0; j <= curve.degree; j++)
        sum += ders[k][j] * curve.coefficients[static_cast<std::size_t>(first + j)];
    return sum;
}

// The end stage h lies beyond, or h itself when it lies in the range.
double nearest_in_range(const Curve &curve, double h)
{
    return std::min(std::max(h, curve.stage_range.first), curve.stage_range.second);
}

// The functional of curve_functional on its nonzero coefficients, first ..
// first + degree (returned), without allocating.
int local_functional(const Curve &curve, double h, double b[kMaxOrder])
{
    const double end = nearest_in_range(curve, h);
    const int mu = span_of(curve, end);
    double ders[kMaxOrder][kMaxOrder];
    basis_derivatives(curve, mu, end, end == h ? 0 : 1, ders);
    for (int j = 0; j <= curve.degree; j++) {
        b[j] = ders[0][j];
        if (end != h)
            b[j] += (h - end) * ders[1][j];
    }
    return mu - curve.degree;
}

} // namespace

int intervals_of(const Curve &curve)
{
    return static_cast<int>(curve.knots.size()) - 2 * curve.degree - 1;
}

int curve_basis(const Curve &curve, double h, double *b)
{
    const int mu = span_of(curve, h);
    double ders[kMaxOrder][kMaxOrder];
    basis_derivatives(curve, mu, h, 0, ders);
    std::copy(ders[0], ders[0] + curve.degree + 1, b);
    return mu - curve.degree;
}

void curve_functional(const Curve &curve, double h, std::vector<double> &full)
{
    full.assign(curve.coefficients.size(), 0.0);
    double b[kMaxOrder];
    const int first = local_functional(curve, h, b);
    for (int j = 0; j <= curve.degree; j++)
        full[static_cast<std::size_t>(first + j)] = b[j];
}

double curve_value(const Curve &curve, double h)
{
    const double end = nearest_in_range(curve, h);
    const int mu = span_of(curve, end);
    const double value = spline_derivative(curve, mu, end, 0);
    if (end == h)
        return value;
    return value + (h - end) * spline_derivative(curve, mu, end, 1);
}

double curve_slope(const Curve &curve, double h)
{
    return spline_derivative(curve, span_of(curve, h), h, 1);
}

double curve_variance(const Curve &curve, double h)
{
    // The functional is nonzero on degree + 1 consecutive coefficients only:
    // the quadratic form needs that block of the covariance alone.
    double b[kMaxOrder];
    const int first = local_functional(curve, h, b);
    const std::size_t p = curve.coefficients.size();
    const int d = curve.degree;
    double sum = 0.0;
    for (int i = 0; i <= d; i++) {
        if (b[i] == 0.0)
            continue;
        const double *row_of_c =
            &curve.covariance[static_cast<std::size_t>(first + i) * p + static_cast<std::size_t>(first)];
        double row = 0.0;
        for (int j = 0; j <= d; j++)
            row += row_of_c[j] * b[j];
        sum += b[i] * row;
    }
    return std::max(sum, 0.0);
}

double discharge_of_value(double nu, double y)
{
    if (!(y > 0.0))
        return nu > 0.0 && y <= 0.0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    return std::pow(y, 1.0 / nu);
}

BandRow curve_band(const Curve &curve, double h, double t)
{
    const double y = curve_value(curve, h);
    const double variance = curve_variance(curve, h);
    const double conf = t * std::sqrt(variance);
    const double gauging = curve.nu * y * curve.r;
    const double pred = t * std::sqrt(curve.s * curve.s + gauging * gauging + variance);
    BandRow row;
    row.stage = h;
    row.discharge = discharge_of_value(curve.nu, y);
    // Q = y^(1/nu) falls with y for a negative nu: the ends change places.
    const double sign = curve.nu > 0.0 ? 1.0 : -1.0;
    row.conf_low = discharge_of_value(curve.nu, y - sign * conf);
    row.conf_high = discharge_of_value(curve.nu, y + sign * conf);
    row.pred_low = discharge_of_value(curve.nu, y - sign * pred);
    row.pred_high = discharge_of_value(curve.nu, y + sign * pred);
    return row;
}

std::vector<Piece> curve_pieces(const Curve &curve)
{
    std::vector<Piece> pieces;
    const int d = curve.degree;
    for (int s = 0; s < intervals_of(curve); s++) {
        const int mu = d + s;
        Piece piece;
        piece.from = curve.knots[static_cast<std::size_t>(mu)];
        piece.to = curve.knots[static_cast<std::size_t>(mu) + 1];
        double ders[kMaxOrder][kMaxOrder];
        basis_derivatives(curve, mu, piece.from, d, ders);
        double factorial = 1.0;
        for (int k = 0; k <= d; k++) {
            if (k > 1)
                factorial *= k;
            double sum = 0.0;
            for (int j = 0; j <= d; j++)
                sum += ders[k][j] * curve.coefficients[static_cast<std::size_t>(s + j)];
            piece.coefficients.push_back(sum / factorial);
        }
        pieces.push_back(piece);
    }
    return pieces;
}

double t_quantile_975(int degrees_of_freedom)
{
    const boost::math::students_t_distribution<double> t(degrees_of_freedom);
    return boost::math::quantile(t, 0.975);
}

} // namespace rating
