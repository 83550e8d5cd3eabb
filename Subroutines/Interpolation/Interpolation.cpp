#include "Interpolation.h"

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
