// The rating table as values: the curve's discharge and 95 % bands at whole
// multiples of a stage step, where each stage lies against the gauged range,
// the table's long (CSV) and wide (stage by ten steps) layouts, and the
// curve's equations, piece by piece.
#ifndef RATING_TABLE_H
#define RATING_TABLE_H

#include "Curve.h"
#include "Error.h"

#include <string>

namespace rating {

// A stage step as written, "0.010" say: `units` of 10^-decimals (10 and 3),
// so that every stage of the table is an exact decimal of `decimals` places.
struct StageStep {
    long long units = 1;
    int decimals = 0;
};

// A decimal number above 0 without an exponent ("0.01", "0.010", "5", ".5"),
// with at most 15 decimals and 15 digits; an error saying so otherwise.
Result<StageStep> parse_step(const std::string &text);

double step_value(const StageStep &step);

// Stage k * step: the double nearest to that decimal, computed from the
// integer k * units, never by adding steps.
double stage_of(const StageStep &step, long long k);

// Writes stage k * step with exactly the step's decimals into `out` (room
// for 40 characters); returns the end.
char *stage_text(char *out, const StageStep &step, long long k);

// The rows of a table: stages first * step to last * step.
struct TableSpec {
    StageStep step;
    long long first = 0;
    long long last = 0;
};

// The most rows a table may have.
constexpr long long kMostTableRows = 10000000;

// The table from `from` rounded down to the step to `to` rounded up (a
// stage already on the step stays). Refused when from > to, when the range
// has more than kMostTableRows rows, or a stage is more than 1e15 steps.
Result<TableSpec> table_spec(const StageStep &step, double from, double to);

enum class RangeFlag { gauged, below, above, missing };

// "gauged", "below", "above", "missing".
const char *range_flag_name(RangeFlag flag);

// Where stage h lies: below or above the gauged range (by however little),
// else gauged.
RangeFlag range_flag(const Curve &curve, double h);

struct TableRow {
    long long k = 0;
    BandRow band{}; // NaN where a value has no discharge (nu < 0, Q^nu <= 0)
    RangeFlag flag = RangeFlag::gauged;
};

// Row k of the table; t is Student's 0.975 quantile at the curve's dof.
TableRow table_row(const Curve &curve, const TableSpec &spec, long long k, double t);

// The discharge and its 95 % confidence band at stage h, the same values as
// curve_band gives, without the prediction band: what a stage record needs.
struct ConfidenceRow {
    double discharge, conf_low, conf_high;
};
ConfidenceRow curve_confidence(const Curve &curve, double h, double t);

// How far the table reaches beyond the gauged range, in stage (0 where it
// does not).
struct Reach {
    double below = 0.0;
    double above = 0.0;
};
Reach table_reach(const Curve &curve, const TableSpec &spec);

// The long layout: this header, then one line per row.
constexpr const char *kLongHeader = "stage,discharge,conf_low,conf_high,pred_low,pred_high,range\n";

// Appends the row as a line of the long layout: the stage with the step's
// decimals, the values as %.10g (empty when NaN), the range flag.
void append_long_row(std::string &out, const TableSpec &spec, const TableRow &row);

// Writes v as %.10g into `out` (room for 32 characters), nothing for NaN;
// returns the end.
char *number_g10(char *out, double v);

// The wide layout: the station, the gauged range, the units when given
// ("m,m3/s": stage, discharge), then one line per ten steps with the
// discharge at each of the ten, in fixed notation with 5 significant digits;
// an extrapolated value is followed by '*' and explained in a footnote.
// Refused when the table has more than 1,000,000 rows.
Result<std::string> wide_table_text(const Curve &curve, const TableSpec &spec, double t, const std::string &units);

// v in fixed notation with `digits` significant digits (at most 10 decimals),
// never with an exponent; "0" for 0.
std::string fixed_significant(double v, int digits);

// The curve's equations as text: each interval's polynomial of Q^nu in
// (h - h_k), h_k its lower knot, coefficients of the powers 0 .. degree in
// ascending order, with its stage range; the end tangents beyond the gauged
// range; numbers with 17 significant digits.
std::string equations_text(const Curve &curve);

// The station and its name for titles: "11372000 Clear", or either alone.
std::string curve_name(const Curve &curve);

// v with 17 significant digits.
std::string number_17(double v);

} // namespace rating

#endif
