#include "Optimise.h"

#include "Kvutil.h"

#include <cmath>
#include <limits>
#include <utility>

int ncom = 0;
double *pcom = nullptr;
double *xicom = nullptr;
double (*kvfunc)(double *) = nullptr;

namespace {

constexpr double kGold = 1.618034;     // extension factor of mnbrak
constexpr double kGlimit = 100.0;      // farthest parabolic step, in units of c - b
constexpr float kTiny = 1.0e-20f;      // floor of the parabola's denominator
constexpr double kCgold = 0.381966;    // golden-section fraction of brent
constexpr double kZeps = 1.0e-10;      // absolute part of brent's tolerance
constexpr int kBrentMax = 100;
constexpr double kLinTol = 2.0e-4;     // fractional tolerance of a line search
constexpr int kPowellMax = 1000;
constexpr int kFrprmnMax = 200;
constexpr double kFrprmnEps = 1.0e-10; // absolute part of frprmn's convergence test

// The larger-of in mnbrak is taken in single precision. Converting a double
// beyond the float range is undefined in C++ unless float is IEEE 754, where
// it gives an infinity, as the bracketing relies on for huge differences.
static_assert(std::numeric_limits<float>::is_iec559, "float must be IEEE 754 single precision");

double sign(double a, double b)
{
    return b >= 0.0 ? std::fabs(a) : -std::fabs(a);
}

double square(double a)
{
    return a == 0.0 ? 0.0 : a * a;
}

} // namespace

void mnbrak(double *ax, double *bx, double *cx, double *fa, double *fb, double *fc,
            double (*func)(double))
{
    *fa = func(*ax);
    *fb = func(*bx);
    if (*fb > *fa) {
        std::swap(*ax, *bx);
        std::swap(*fa, *fb);
    }
    *cx = *bx + kGold * (*bx - *ax);
    *fc = func(*cx);
    while (*fb > *fc) {
        const double r = (*bx - *ax) * (*fb - *fc);
        const double q = (*bx - *cx) * (*fb - *fa);
        const float maxarg1 = static_cast<float>(std::fabs(q - r));
        const float maxarg2 = kTiny;
        const double m = maxarg1 > maxarg2 ? maxarg1 : maxarg2;
        // Vertex of the parabola through a, b, c.
        double u = *bx - ((*bx - *cx) * q - (*bx - *ax) * r) / (2.0 * sign(m, q - r));
        const double ulim = *bx + kGlimit * (*cx - *bx);
        double fu;
        if ((*bx - u) * (u - *cx) > 0.0) {
            fu = func(u);
            if (fu < *fc) {
                *ax = *bx;
                *bx = u;
                *fa = *fb;
                *fb = fu;
                return;
            } else if (fu > *fb) {
                *cx = u;
                *fc = fu;
                return;
            }
            u = *cx + kGold * (*cx - *bx);
            fu = func(u);
        } else if ((*cx - u) * (u - ulim) > 0.0) {
            fu = func(u);
            if (fu < *fc) {
                *bx = *cx;
                *cx = u;
                u = *cx + kGold * (*cx - *bx);
                *fb = *fc;
                *fc = fu;
                fu = func(u);
            }
        } else if ((u - ulim) * (ulim - *cx) >= 0.0) {
            u = ulim;
            fu = func(u);
        } else {
            u = *cx + kGold * (*cx - *bx);
            fu = func(u);
        }
        *ax = *bx;
        *bx = *cx;
        *cx = u;
        *fa = *fb;
        *fb = *fc;
        *fc = fu;
    }
}

double brent(double ax, double bx, double cx, double (*f)(double), double tol, double *xmin)
{
    double a = ax < cx ? ax : cx;
    double b = ax > cx ? ax : cx;
    double x = bx;
    double w = bx;
    double v = bx;
    double fx = f(x);
    double fw = fx;
    double fv = fx;
    double d = 0.0;
    double e = 0.0;

    for (int iter = 1; iter <= kBrentMax; iter++) {
        const double xm = 0.5 * (a + b);
        const double tol1 = tol * std::fabs(x) + kZeps;
        const double tol2 = 2.0 * tol1;
        // Both ends lie within tol2 of x.
        if (std::fabs(x - xm) <= tol2 - 0.5 * (b - a)) {
            *xmin = x;
            return fx;
        }
        bool golden = true;
        if (std::fabs(e) > tol1) {
            // Parabola through x, w and v: its vertex lies at x + p / q.
            const double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0)
                p = -p;
            q = std::fabs(q);
            const double etemp = e;
            e = d;
            if (!(std::fabs(p) >= std::fabs(0.5 * q * etemp) || p <= q * (a - x) || p >= q * (b - x))) {
                golden = false;
                d = p / q;
                const double u = x + d;
                if (u - a < tol2 || b - u < tol2)
                    d = sign(tol1, xm - x);
            }
        }
        if (golden) {
            e = x >= xm ? a - x : b - x;
            d = kCgold * e;
        }
        const double u = std::fabs(d) >= tol1 ? x + d : x + sign(tol1, d);
        const double fu = f(u);
        if (fu <= fx) {
            if (u >= x)
                a = x;
            else
                b = x;
            v = w;
            w = x;
            x = u;
            fv = fw;
            fw = fx;
            fx = fu;
        } else {
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                w = u;
                fv = fw;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    kverror("Too many iterations in brent");
}

double f1dim(double x)
{
    double *xt = dvector(1, ncom);
    for (int j = 1; j <= ncom; j++)
        xt[j] = pcom[j] + x * xicom[j];
    const double f = kvfunc(xt);
    free_dvector(xt, 1, ncom);
    return f;
}

void linmin(double *p, double *xi, int n, double *fret, double (*func)(double *))
{
    ncom = n;
    pcom = dvector(1, n);
    xicom = dvector(1, n);
    kvfunc = func;
    for (int j = 1; j <= n; j++) {
        pcom[j] = p[j];
        xicom[j] = xi[j];
    }
    double ax = 0.0;
    double xx = 1.0;
    double bx;
    double fa;
    double fx;
    double fb;
    mnbrak(&ax, &xx, &bx, &fa, &fx, &fb, f1dim);
    double xmin;
    *fret = brent(ax, xx, bx, f1dim, kLinTol, &xmin);
    for (int j = 1; j <= n; j++) {
        xi[j] = xi[j] * xmin;
        p[j] = p[j] + xi[j];
    }
    free_dvector(xicom, 1, n);
    free_dvector(pcom, 1, n);
    xicom = nullptr;
    pcom = nullptr;
}

void Powell(double *p, double **xi, int n, double ftol, int *iter, double *fret,
            double (*func)(double *))
{
    double *pt = dvector(1, n);
    double *ptt = dvector(1, n);
    double *xit = dvector(1, n);
    *fret = func(p);
    for (int j = 1; j <= n; j++)
        pt[j] = p[j];
    for (*iter = 1;; ++(*iter)) {
        const double fp = *fret;
        int ibig = 0;
        double del = 0.0;
        for (int i = 1; i <= n; i++) {
            for (int j = 1; j <= n; j++)
                xit[j] = xi[j][i];
            const double fptt = *fret;
            linmin(p, xit, n, fret, func);
            if (std::fabs(fptt - *fret) > del) {
                del = std::fabs(fptt - *fret);
                ibig = i;
            }
        }
        if (2.0 * std::fabs(fp - *fret) <= ftol * (std::fabs(fp) + std::fabs(*fret))) {
            free_dvector(xit, 1, n);
            free_dvector(ptt, 1, n);
            free_dvector(pt, 1, n);
            return;
        }
        if (*iter == kPowellMax)
            kverror("powell exceeding maximum iterations.");
        for (int j = 1; j <= n; j++) {
            ptt[j] = 2.0 * p[j] - pt[j];
            xit[j] = p[j] - pt[j];
            pt[j] = p[j];
        }
        const double fptt = func(ptt);
        if (fptt < fp) {
            // Powell's test: adopt the net displacement as a direction only
            // if the function keeps falling along it and the direction of
            // the largest decrease did not carry most of the sweep's gain.
            const double t = 2.0 * (fp - 2.0 * *fret + fptt) * square(fp - *fret - del)
                             - del * square(fp - fptt);
            if (t < 0.0) {
                linmin(p, xit, n, fret, func);
                for (int j = 1; j <= n; j++) {
                    xi[j][ibig] = xi[j][n];
                    xi[j][n] = xit[j];
                }
            }
        }
    }
}

void Frprmn(double *p, int n, double ftol, int *iter, double *fret, double (*func)(double *),
            void (*dfunc)(double *, double *))
{
    double *g = dvector(1, n);
    double *h = dvector(1, n);
    double *xi = dvector(1, n);
    double fp = func(p);
    dfunc(p, xi);
    for (int j = 1; j <= n; j++) {
        g[j] = -xi[j];
        xi[j] = h[j] = g[j];
    }
    for (int its = 1; its <= kFrprmnMax; its++) {
        *iter = its;
        linmin(p, xi, n, fret, func);
        if (2.0 * std::fabs(*fret - fp) <= ftol * (std::fabs(*fret) + std::fabs(fp) + kFrprmnEps)) {
            free_dvector(xi, 1, n);
            free_dvector(h, 1, n);
            free_dvector(g, 1, n);
            return;
        }
        fp = func(p);
        dfunc(p, xi);
        double gg = 0.0;
        double dgg = 0.0;
        for (int j = 1; j <= n; j++) {
            gg += g[j] * g[j];
            // Polak-Ribiere: (new gradient - old gradient) . new gradient,
            // g holding the negative old gradient.
            dgg += (xi[j] + g[j]) * xi[j];
        }
        if (gg == 0.0) {
            free_dvector(xi, 1, n);
            free_dvector(h, 1, n);
            free_dvector(g, 1, n);
            return;
        }
        const double gam = dgg / gg;
        for (int j = 1; j <= n; j++) {
            g[j] = -xi[j];
            xi[j] = h[j] = g[j] + gam * h[j];
        }
    }
    kverror("Too many iterations in frprmn");
}
