// The curve file <name>.curve.json: a fitted rating curve with what its bands
// need and the settings it was fitted with, written by `rating fit` and read
// by the table and apply commands.
#ifndef RATING_CURVEFILE_H
#define RATING_CURVEFILE_H

#include "Curve.h"
#include "Error.h"
#include "Fit.h"

#include <string>

namespace rating {

// The text of the curve file: a JSON object with two-space indent, the keys
// in a fixed order (format, version, station, title, nu, degree, knots,
// coefficients, stage_range, n, n_inactive, p, dof, s, covariance as p rows,
// weights, s_m, r, period, constraints, selection, settings), numbers with
// 17 significant digits, a line end at the end. Bytes that are not UTF-8 in a
// name are replaced, so any curve can be written.
std::string curve_file_text(const Curve &curve, const FitSettings &settings);

// The curve of a curve file's text; `file` names it in messages. Refused
// (exit code 1), naming the file and the key: text that is not JSON, a
// missing key of those the commands use (format, version, nu, degree, knots,
// coefficients, stage_range, dof, s, r, covariance), another format or a
// newer version, knots that are not a knot vector of the degree, a
// coefficient count that does not match them, a covariance that is not
// p x p, a number that is not finite or out of its range, a value of the
// wrong type. Unknown keys are ignored.
Result<Curve> parse_curve_file(const std::string &text, const std::string &file);

// Reads and parses the curve file at `path`; a file that cannot be read or
// is not a regular file is refused with the reason.
Result<Curve> read_curve_file(const std::string &path);

} // namespace rating

#endif
