// Choosing the model of a station's rating from its gaugings: each candidate
// (an exponent nu and a number of intervals with knots by equal counts) is
// scored by its cross-validated standard error in discharge, and the
// simplest candidate near the best is chosen.
#ifndef RATING_SELECTION_H
#define RATING_SELECTION_H

#include "Error.h"
#include "Fit.h"
#include "Weighted.h"

#include <vector>

namespace rating {

// The CV-Se of one fitted model. The leave-one-out prediction of gauging i in
// Q^nu is y_-i = y_i - e_i / (1 - h_ii), from the residual and the leverage
// (weighted: at the model's own s_m2, held fixed), carried back to discharge
// Q_-i = y_-i^(1/nu); CV-Se = 100 sqrt(mean of (ln Q_i - ln Q_-i)^2) per cent
// over the gaugings with Q_i > 0. Ineligible, with the reason in `why`, when
// the curve is undetermined, some h_ii >= 1 - 1e-9, or some y_-i <= 0 for
// Q_i > 0. se_pct = 100 sqrt(sum (ln Q - ln Q_fit)^2 / (n' - p)) over the n'
// gaugings with Q > 0 and Q_fit > 0, NaN when n' <= p or the curve is
// undetermined. h ascending and Q as fitted.
Candidate score_model(const std::vector<double> &h, const std::vector<double> &Q, const ModelFit &model, double nu);

// Marks the chosen candidate and returns its index, or -1 when none is
// eligible. The least CV-Se among the eligible sets the mark; among the
// candidates within 2 % (relative) of it the one with the fewest
// coefficients p, then nu nearest 0.5 (the smaller on a tie), then the least
// CV-Se, then the fewest intervals is chosen.
int choose_candidate(std::vector<Candidate> &candidates);

// Every candidate of the settings, nu ascending, then intervals ascending,
// the chosen one marked: nu over nu_values(settings.nu_grid) when
// settings.nu_auto, else settings.nu; the listed interior knots
// settings.knots when given, else intervals 1 .. Jmax with
// Jmax = min(30, floor(n / (degree + 2)), settings.max_intervals) when
// settings.intervals_auto, else settings.intervals (automatic knots).
// h ascending (the active gaugings), Q >= 0 at them, sigma empty for an
// unweighted fit, else one per gauging, each > 0. An error when no
// candidate is eligible, when Jmax < 1 (too few gaugings) or the settings
// or data are out of range.
Result<std::vector<Candidate>> select_model(const std::vector<double> &h, const std::vector<double> &Q,
                                            const std::vector<double> &sigma, const FitSettings &settings);

} // namespace rating

#endif
