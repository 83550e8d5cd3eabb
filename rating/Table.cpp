#include "Table.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace rating {

namespace {

constexpr int kMostDecimals = 15;
constexpr long long kMostUnits = 1000000000000000LL; // 15 digits
// Stages are exact decimals while k * units stays within the doubles'
// integers.
constexpr double kMostStageUnits = 9007199254740992.0; // 2^53
constexpr long long kMostWideRows = 1000000;
constexpr int kWideColumns = 10;

constexpr std::array<long long, kMostDecimals + 1> kPowersOfTen = [] {
    std::array<long long, kMostDecimals + 1> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); i++)
        p[i] = 10 * p[i - 1];
    return p;
}();

// 10^decimals of the step.
long long scale_of(const StageStep &step)
{
    return kPowersOfTen[static_cast<std::size_t>(step.decimals)];
}

Error option_error(std::string message)
{
    Error e = file_error_value("", std::move(message));
    e.exit_code = 2;
    return e;
}

long long floor_div(long long a, long long b)
{
    const long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

char *append_text(char *out, const char *text)
{
    const std::size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
}

std::string stage_string(const StageStep &step, long long k)
{
    char buffer[48];
    return std::string(buffer, stage_text(buffer, step, k));
}

std::string g10_string(double v)
{
    char buffer[32];
    return std::string(buffer, number_g10(buffer, v));
}

std::string right_aligned(const std::string &s, std::size_t width)
{
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// The eight decimal digits of x < 10^8 as characters, the first in the
// lowest byte: the halves, their pairs and their digits side by side in one
// word (x / 100 as x * 5243 >> 19 below 43,699; x / 10 as x * 103 >> 10
// below 179).
std::uint64_t eight_digits(std::uint32_t x)
{
    std::uint64_t v = (x / 10000) | (static_cast<std::uint64_t>(x % 10000) << 32);
    const std::uint64_t hundreds = ((v * 5243) >> 19) & 0x0000007F0000007FULL;
    v = hundreds | ((v - hundreds * 100) << 16);
    const std::uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000FULL;
    v = tens | ((v - tens * 10) << 8);
    return v | 0x3030303030303030ULL;
}

} // namespace

Result<StageStep> parse_step(const std::string &text)
{
    StageStep step;
    step.units = 0;
    bool point = false;
    int digits = 0;
    for (const char ch : text) {
        if (ch == '.' && !point) {
            point = true;
        } else if (ch >= '0' && ch <= '9') {
            if (point)
                step.decimals++;
            if (step.units > 0 || ch != '0')
                digits++;
            if (digits > 15 || step.decimals > kMostDecimals)
                return option_error("the step " + text + " has more than 15 digits or decimals");
            step.units = step.units * 10 + (ch - '0');
        } else {
            return option_error("the step must be a decimal number above 0 such as 0.01, not " + text);
        }
    }
    if (step.units <= 0 || step.units >= kMostUnits)
        return option_error("the step must be a decimal number above 0 such as 0.01, not " + text);
    return step;
}

double step_value(const StageStep &step)
{
    return static_cast<double>(step.units) / static_cast<double>(scale_of(step));
}

double stage_of(const StageStep &step, long long k)
{
    // One correctly rounded division of two exact integers: the double
    // nearest to the decimal k * units / 10^decimals.
    return static_cast<double>(k * step.units) / static_cast<double>(scale_of(step));
}

char *stage_text(char *out, const StageStep &step, long long k)
{
    const long long n = k * step.units;
    unsigned long long magnitude =
        n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    if (n < 0)
        *out++ = '-';
    const unsigned long long scale = static_cast<unsigned long long>(scale_of(step));
    out = std::to_chars(out, out + 24, magnitude / scale).ptr;
    if (step.decimals > 0) {
        *out++ = '.';
        unsigned long long fraction = magnitude % scale;
        for (int i = step.decimals - 1; i >= 0; i--) {
            out[i] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
        out += step.decimals;
    }
    return out;
}

Result<TableSpec> table_spec(const StageStep &step, double from, double to)
{
    if (!std::isfinite(from) || !std::isfinite(to))
        return option_error("the table's stages must be finite numbers");
    if (from > to)
        return option_error("the table's lowest stage " + g10_string(from) + " lies above its highest " +
                            g10_string(to));
    const double scale = static_cast<double>(scale_of(step));
    if (std::fabs(from) * scale >= kMostStageUnits / 2 || std::fabs(to) * scale >= kMostStageUnits / 2)
        return option_error("the stages " + g10_string(from) + " to " + g10_string(to) +
                            " are too many steps from 0 for the step's decimals");
    const double v = step_value(step);
    TableSpec spec;
    spec.step = step;
    // The quotient is within a step of the answer; the stages themselves decide.
    spec.first = static_cast<long long>(std::floor(from / v));
    while (stage_of(step, spec.first) > from)
        spec.first--;
    while (stage_of(step, spec.first + 1) <= from)
        spec.first++;
    spec.last = static_cast<long long>(std::ceil(to / v));
    while (stage_of(step, spec.last) < to)
        spec.last++;
    while (stage_of(step, spec.last - 1) >= to)
        spec.last--;
    const long long rows = spec.last - spec.first + 1;
    if (rows > kMostTableRows)
        return option_error("a table from " + g10_string(from) + " to " + g10_string(to) + " by " +
                            stage_string(step, 1) + " would have " + std::to_string(rows) + " rows; at most " +
                            std::to_string(kMostTableRows) + " (a larger step, or --from and --to)");
    return spec;
}

const char *range_flag_name(RangeFlag flag)
{
    switch (flag) {
    case RangeFlag::gauged:
        return "gauged";
    case RangeFlag::below:
        return "below";
    case RangeFlag::above:
        return "above";
    case RangeFlag::missing:
        break;
    }
    return "missing";
}

RangeFlag range_flag(const Curve &curve, double h)
{
    if (h < curve.stage_range.first)
        return RangeFlag::below;
    if (h > curve.stage_range.second)
        return RangeFlag::above;
    return RangeFlag::gauged;
}

TableRow table_row(const Curve &curve, const TableSpec &spec, long long k, double t)
{
    const double h = stage_of(spec.step, k);
    TableRow row;
    row.k = k;
    row.band = curve_band(curve, h, t);
    row.flag = range_flag(curve, h);
    return row;
}

Reach table_reach(const Curve &curve, const TableSpec &spec)
{
    Reach reach;
    reach.below = std::max(0.0, curve.stage_range.first - stage_of(spec.step, spec.first));
    reach.above = std::max(0.0, stage_of(spec.step, spec.last) - curve.stage_range.second);
    return reach;
}

char *number_g10(char *out, double v)
{
    if (!std::isfinite(v))
        return out;
    if (v == 0.0) {
        if (std::signbit(v))
            *out++ = '-';
        *out++ = '0';
        return out;
    }
    // The common case, 1e-4 <= |v| < 1e10, where %.10g is fixed notation:
    // |v| 10^(9 - e) rounded to the 10 digits m. Its one rounding error lies
    // below 1e-6, so that only a value within 1e-5 of a tie is left to the
    // general routine, as is anything outside the range.
    constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13};
    const double a = std::fabs(v);
    if (a >= 1e-4 && a < 1e10) {
        // floor(log10 |v|) from the binary exponent of the normal double:
        // that or one more.
        std::uint64_t bits;
        std::memcpy(&bits, &a, sizeof bits);
        const int binary_exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
        // floor(binary_exponent log10 2), exact for exponents from -40 to 60.
        int e = std::max(-4, (binary_exponent * 78913) >> 18);
        double scaled = a * kPowers[9 - e];
        if (scaled >= 1e10) {
            e++;
            scaled = a * kPowers[9 - e];
        }
        const long long whole = static_cast<long long>(scaled);  // scaled < 1e10: truncation is floor
        const double fraction = scaled - static_cast<double>(whole);
        const long long m = whole + (fraction > 0.5 ? 1 : 0);
        if (std::fabs(fraction - 0.5) >= 1e-5 && m >= 1000000000LL && m < 10000000000LL) {
            // The digits are made in registers and stored in whole words: a
            // load of bytes just stored one by one would wait for the
            // stores. The words may run past the end, into the caller's 32
            // characters.
            const auto top = static_cast<std::uint32_t>(m / 100000000);
            const auto first_two = static_cast<std::uint16_t>((0x30 + top / 10) | ((0x30 + top % 10) << 8));
            const std::uint64_t next_eight = eight_digits(static_cast<std::uint32_t>(m % 100000000));
            // The last digit other than 0: the highest byte of the eight that
            // differs from '0', else the second or the first digit.
            const std::uint64_t tail = next_eight ^ 0x3030303030303030ULL;
            const int last = tail != 0 ? 2 + (63 - __builtin_clzll(tail)) / 8 : (first_two >> 8) != 0x30 ? 1 : 0;
            *out = '-';
            out += v < 0.0;
            if (e < 0) {
                std::memcpy(out, "0.000000", 8);  // "0." and -e - 1 zeros
                out += 1 - e;
                std::memcpy(out, &first_two, 2);
                std::memcpy(out + 2, &next_eight, 8);
                return out + last + 1;
            }
            std::memcpy(out, &first_two, 2);
            std::memcpy(out + 2, &next_eight, 8);
            if (last <= e)
                return out + e + 1;
            // The decimals move one place to the right for the point.
            if (e == 0) {
                out[2] = static_cast<char>(first_two >> 8);
                std::memcpy(out + 3, &next_eight, 8);
            } else {
                const std::uint64_t decimals = next_eight >> (8 * (e - 1));
                std::memcpy(out + e + 2, &decimals, 8);
            }
            out[e + 1] = '.';
            return out + last + 2;
        }
    }
    return std::to_chars(out, out + 32, v, std::chars_format::general, 10).ptr;
}

ConfidenceRow curve_confidence(const Curve &curve, double h, double t)
{
    const double y = curve_value(curve, h);
    const double conf = t * std::sqrt(curve_variance(curve, h));
    const double sign = curve.nu > 0.0 ? 1.0 : -1.0;
    return {discharge_of_value(curve.nu, y), discharge_of_value(curve.nu, y - sign * conf),
            discharge_of_value(curve.nu, y + sign * conf)};
}

void append_long_row(std::string &out, const TableSpec &spec, const TableRow &row)
{
    char line[256];
    char *p = stage_text(line, spec.step, row.k);
    for (const double v :
         {row.band.discharge, row.band.conf_low, row.band.conf_high, row.band.pred_low, row.band.pred_high}) {
        *p++ = ',';
        p = number_g10(p, v);
    }
    *p++ = ',';
    p = append_text(p, range_flag_name(row.flag));
    *p++ = '\n';
    out.append(line, p);
}

std::string fixed_significant(double v, int digits)
{
    constexpr int kMostFixedDecimals = 10;
    if (!std::isfinite(v))
        return "-";
    if (v == 0.0)
        return "0";
    const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(v))));
    int decimals = std::clamp(digits - 1 - exponent, 0, kMostFixedDecimals);
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    // Rounding up to the next power of ten (9.99996 -> 10.0000) adds a digit.
    if (decimals > 0 && std::fabs(std::strtod(buffer, nullptr)) >= std::pow(10.0, exponent + 1))
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals - 1, v);
    return buffer;
}

Result<std::string> wide_table_text(const Curve &curve, const TableSpec &spec, double t, const std::string &units)
{
    if (spec.last - spec.first + 1 > kMostWideRows)
        return option_error("the wide layout holds at most " + std::to_string(kMostWideRows) +
                            " stages; use a larger step or the long layout");
    std::string stage_unit;
    std::string discharge_unit;
    if (!units.empty()) {
        const std::size_t comma = units.find(',');
        stage_unit = units.substr(0, comma);
        discharge_unit = comma == std::string::npos ? std::string() : units.substr(comma + 1);
    }
    const auto with_unit = [](const std::string &unit) { return unit.empty() ? std::string() : " " + unit; };

    // The cells first, for the width of the columns.
    const long long first_row = floor_div(spec.first, kWideColumns) * kWideColumns;
    const long long last_row = floor_div(spec.last, kWideColumns) * kWideColumns;
    std::vector<std::string> cells;
    cells.reserve(static_cast<std::size_t>((last_row - first_row) + kWideColumns));
    std::size_t width = 0;
    std::size_t label_width = std::string("stage").size();
    bool extrapolated = false;
    bool no_discharge = false;
    for (long long base = first_row; base <= last_row; base += kWideColumns) {
        label_width = std::max(label_width, stage_string(spec.step, base).size());
        for (long long k = base; k < base + kWideColumns; k++) {
            std::string cell;
            if (k >= spec.first && k <= spec.last) {
                const TableRow row = table_row(curve, spec, k, t);
                cell = fixed_significant(row.band.discharge, 5);
                no_discharge = no_discharge || !std::isfinite(row.band.discharge);
                if (row.flag != RangeFlag::gauged) {
                    cell += '*';
                    extrapolated = true;
                }
            }
            width = std::max(width, cell.size());
            cells.push_back(std::move(cell));
        }
    }
    for (int j = 0; j < kWideColumns; j++)
        width = std::max(width, stage_string(spec.step, j).size());
    width += 2;

    std::string text = "Rating table";
    const std::string name = curve_name(curve);
    if (!name.empty())
        text += ": " + name;
    text += "\nGauged range: stage " + g10_string(curve.stage_range.first) + " to " +
            g10_string(curve.stage_range.second) + with_unit(stage_unit) + "\n";
    text += "Discharge" + (discharge_unit.empty() ? std::string() : " in " + discharge_unit) + " at stage" +
            (stage_unit.empty() ? std::string() : " in " + stage_unit) + " = row + column\n\n";
    text += right_aligned("stage", label_width);
    for (int j = 0; j < kWideColumns; j++)
        text += right_aligned(stage_string(spec.step, j), width - 1) + " ";
    while (text.back() == ' ')
        text.pop_back();
    text += "\n";
    std::size_t cell = 0;
    for (long long base = first_row; base <= last_row; base += kWideColumns) {
        std::string line = right_aligned(stage_string(spec.step, base), label_width);
        for (int j = 0; j < kWideColumns; j++) {
            const std::string &c = cells[cell++];
            // Values line up on their last digit, a '*' standing beyond it.
            const bool star = !c.empty() && c.back() == '*';
            line += right_aligned(c, width - (star ? 0 : 1)) + (star ? "" : " ");
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + "\n";
    }
    if (extrapolated || no_discharge)
        text += "\n";
    if (extrapolated)
        text += "* extrapolated: beyond the gauged range the curve continues along its end tangent\n";
    if (no_discharge)
        text += "- no discharge: the curve's Q^nu is at or below 0 there\n";
    return text;
}

std::string curve_name(const Curve &curve)
{
    if (curve.station.empty() || curve.title.empty() || curve.title == curve.station)
        return curve.station.empty() ? curve.title : curve.station;
    return curve.station + " " + curve.title;
}

std::string number_17(double v)
{
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 17);
    return std::string(buffer, r.ptr);
}

std::string equations_text(const Curve &curve)
{
    constexpr std::size_t kColumn = 26;
    const int d = curve.degree;
    std::string polynomial = "a0";
    for (int k = 1; k <= d; k++)
        polynomial += " + a" + std::to_string(k) + " (h - h_k)" + (k > 1 ? "^" + std::to_string(k) : "");
    std::string text = "Equations of the curve (nu = " + number_17(curve.nu) + ", h the stage)\n";
    text += "On each interval from h_k to h_k+1: Q^nu = " + polynomial + "\n";
    text += right_aligned("h_k", kColumn) + right_aligned("h_k+1", kColumn);
    for (int k = 0; k <= d; k++)
        text += right_aligned("a" + std::to_string(k), kColumn);
    text += "\n";
    for (const Piece &piece : curve_pieces(curve)) {
        text += right_aligned(number_17(piece.from), kColumn) + right_aligned(number_17(piece.to), kColumn);
        for (const double a : piece.coefficients)
            text += right_aligned(number_17(a), kColumn);
        text += "\n";
    }
    const double lo = curve.stage_range.first;
    const double hi = curve.stage_range.second;
    const auto tangent = [](double at, double value, double slope) {
        return number_17(value) + " + " + number_17(slope) + " (h - " + number_17(at) + ")";
    };
    text += "Below " + number_17(lo) +
            ", the end tangent: Q^nu = " + tangent(lo, curve_value(curve, lo), curve_slope(curve, lo)) + "\n";
    text += "Above " + number_17(hi) +
            ", the end tangent: Q^nu = " + tangent(hi, curve_value(curve, hi), curve_slope(curve, hi)) + "\n";
    text += curve.nu > 0.0 ? "Q = (Q^nu)^(1/nu), and Q = 0 where Q^nu <= 0\n"
                           : "Q = (Q^nu)^(1/nu); where Q^nu <= 0 there is no discharge\n";
    return text;
}

} // namespace rating
