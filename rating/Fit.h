// Fitting a rating curve to a station's gaugings, as values: the settings
// of a fit, the model chosen from the data, the exact (weighted) least-squares
// curve, made to rise with the stage where asked, and what a report needs.
// Nothing here prints or keeps state; fits of different stations may run on
// different threads at once.
#ifndef RATING_FIT_H
#define RATING_FIT_H

#include "Curve.h"
#include "Error.h"
#include "Gauging.h"

#include <string>
#include <vector>

namespace rating {

enum class WeightMode {
    automatic,    // by the uncertainties when every active gauging has one above 0
    none,
    uncertainty,
};

// nu = from + k step for k = 0, 1, ... up to `to`, rounded to `decimals`.
struct NuGrid {
    double from = 0.1;
    double to = 1.0;
    double step = 0.05;
    int decimals = 2;
};

struct FitSettings {
    double nu = 0.5;
    bool nu_auto = false;
    NuGrid nu_grid;
    int degree = 3;
    int intervals = 3;            // with automatic knot placement
    bool intervals_auto = true;   // intervals 1 .. min(30, n_active / (degree + 2), max_intervals)
    int max_intervals = 30;
    std::vector<double> knots;    // interior knot stages instead of automatic placement
    WeightMode weights = WeightMode::automatic;
    bool increasing = true;       // replace a falling curve by the best rising one
    std::string from, to;         // the period of the gaugings, as given (recorded only)
};

// The nu values of a grid; an error when it is empty or holds 0.
Result<std::vector<double>> nu_values(const NuGrid &grid);

// One candidate model of the selection.
struct Candidate {
    double nu = 0.0;
    int intervals = 0;
    int p = 0;
    double cv_se_pct = 0.0;       // NaN when ineligible
    double se_pct = 0.0;          // NaN when it does not exist
    bool eligible = false;
    std::string why;              // why not eligible
    bool chosen = false;
};

// A fitted gauging (active or not), in stage order of the active ones first.
struct FittedGauging {
    Gauging gauging;
    double fitted_nu = 0.0;       // the curve's Q^nu at its stage
    double residual_nu = 0.0;     // Q^nu - fitted
    int interval = 0;             // 1..J; 0 for an inactive one outside the range
    double u = 0.0;               // the uncertainty in Q^nu (weighted)
    double weight = 1.0;          // 1 / (s_m^2 + u^2) scaled to mean 1 (active only)
};

struct FitResult {
    Curve curve;
    std::vector<double> interval_knots;  // Y[0..J] in stage units, coincident ones as placed
    bool listed_knots = false;
    std::vector<FittedGauging> active;    // in stage order
    std::vector<FittedGauging> inactive;  // in file order
    double sse_nu = 0.0;                 // sum of squares (weighted: of the unweighted residuals)
    double sse_nu_unconstrained = 0.0;
    bool constrained = false;            // the rise constraint changed the curve
    double se_unconstrained_pct = 0.0;   // Se of the unconstrained curve, for the report
    double explained_share = 0.0;        // weighted: mean(u^2) / (s_m^2 + mean(u^2))
    std::vector<Candidate> selection;    // empty when the model was set
    std::vector<std::string> notices;    // for the console, each a whole message
};

// Fits the station's active gaugings. Refused (an Error naming the station's
// file): fewer than p + 1 active gaugings, an undetermined curve, weights by
// uncertainty with a gauging without one, a knot outside the range.
Result<FitResult> fit_station(const Station &station, const FitSettings &settings);

} // namespace rating

#endif
