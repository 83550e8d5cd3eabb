#include "CurveFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rating {

namespace {

using ordered_json = nlohmann::ordered_json;
using json = nlohmann::json;

constexpr const char *kFormat = "rating-curve";
constexpr int kVersion = 1;
constexpr long long kLargestFile = 64LL << 20;

// ----- writing -----

std::string number_text(double v)
{
    if (!std::isfinite(v))
        return "null";
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 17);
    return std::string(buffer, r.ptr);
}

// The shortest text that reads back as v, as an option would be written.
std::string short_number_text(double v)
{
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, r.ptr);
}

bool is_container(const ordered_json &v)
{
    return v.is_object() || v.is_array();
}

// nlohmann's layout with two-space indent, except that numbers get 17
// significant digits and an array of plain values stays on one line.
void dump(const ordered_json &v, int indent, std::string &out)
{
    const std::string inner(static_cast<std::size_t>(indent) + 2, ' ');
    const std::string outer(static_cast<std::size_t>(indent), ' ');
    if (v.is_object()) {
        if (v.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto &item : v.items()) {
            out += first ? "" : ",\n";
            first = false;
            out += inner;
            out += ordered_json(item.key()).dump(-1, ' ', false, ordered_json::error_handler_t::replace);
            out += ": ";
            dump(item.value(), indent + 2, out);
        }
        out += "\n" + outer + "}";
    } else if (v.is_array()) {
        if (v.empty()) {
            out += "[]";
            return;
        }
        const bool flat = std::none_of(v.begin(), v.end(), is_container);
        out += flat ? "[" : "[\n";
        bool first = true;
        for (const auto &item : v) {
            out += first ? "" : (flat ? ", " : ",\n");
            first = false;
            if (!flat)
                out += inner;
            dump(item, indent + 2, out);
        }
        out += flat ? "]" : "\n" + outer + "]";
    } else if (v.is_number_float()) {
        out += number_text(v.get<double>());
    } else {
        out += v.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    }
}

ordered_json numbers(const std::vector<double> &values)
{
    ordered_json a = ordered_json::array();
    for (const double v : values)
        a.push_back(v);
    return a;
}

ordered_json pair_of(double a, double b)
{
    return ordered_json::array({a, b});
}

ordered_json settings_object(const FitSettings &s)
{
    ordered_json j;
    j["nu"] = s.nu_auto ? ordered_json("auto") : ordered_json(s.nu);
    j["nu_grid"] = short_number_text(s.nu_grid.from) + ":" + short_number_text(s.nu_grid.to) + ":" +
                   short_number_text(s.nu_grid.step);
    j["degree"] = s.degree;
    j["intervals"] = s.intervals_auto ? ordered_json("auto") : ordered_json(s.intervals);
    j["max_intervals"] = s.max_intervals;
    j["knots"] = numbers(s.knots);
    j["weights"] = s.weights == WeightMode::none          ? "none"
                   : s.weights == WeightMode::uncertainty ? "uncertainty"
                                                          : "auto";
    j["increasing"] = s.increasing;
    j["from"] = s.from.empty() ? ordered_json(nullptr) : ordered_json(s.from);
    j["to"] = s.to.empty() ? ordered_json(nullptr) : ordered_json(s.to);
    return j;
}

// ----- reading -----

bool is_finite_number(const json &v)
{
    return v.is_number() && std::isfinite(v.get<double>());
}

bool is_whole_number(const json &v, long long lo, long long hi)
{
    if (v.is_number_integer())
        return v.get<long long>() >= lo && v.get<long long>() <= hi;
    if (v.is_number_unsigned())
        return lo <= 0 && v.get<unsigned long long>() <= static_cast<unsigned long long>(hi);
    if (!v.is_number_float())
        return false;
    const double d = v.get<double>();
    return std::isfinite(d) && d == std::floor(d) && d >= static_cast<double>(lo) && d <= static_cast<double>(hi);
}

// Takes the keys of the curve object one at a time; the first that is wrong
// gives the error.
class Keys {
public:
    Keys(const json &object, std::string file) : object_(object), file_(std::move(file)) {}

    const Error &error() const { return error_; }

    // The value of a key; nullptr (and, when required, an error) when missing.
    const json *find(const char *key, bool required)
    {
        const auto it = object_.find(key);
        if (it != object_.end())
            return &*it;
        if (required)
            error_ = file_error_value(file_, std::string("the key \"") + key + "\" is missing");
        return nullptr;
    }

    bool refuse(const char *key, const std::string &expected)
    {
        error_ = file_error_value(file_, std::string("\"") + key + "\": expected " + expected);
        return false;
    }

    bool number(const char *key, double &out, bool required, double lowest = -HUGE_VAL)
    {
        const json *v = find(key, required);
        if (v == nullptr)
            return !required;
        if (!is_finite_number(*v) || v->get<double>() < lowest)
            return refuse(key, lowest == 0.0 ? "a finite number not below 0" : "a finite number");
        out = v->get<double>();
        return true;
    }

    bool whole(const char *key, int &out, bool required, int lo, int hi)
    {
        const json *v = find(key, required);
        if (v == nullptr)
            return !required;
        if (!is_whole_number(*v, lo, hi))
            return refuse(key, "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
        out = static_cast<int>(v->get<double>());
        return true;
    }

    bool numbers(const char *key, std::vector<double> &out, bool required)
    {
        const json *v = find(key, required);
        if (v == nullptr)
            return !required;
        if (!v->is_array() || !std::all_of(v->begin(), v->end(), is_finite_number))
            return refuse(key, "an array of finite numbers");
        out.clear();
        for (const json &x : *v)
            out.push_back(x.get<double>());
        return true;
    }

    bool text(const char *key, std::string &out)
    {
        const json *v = find(key, false);
        if (v == nullptr || v->is_null())
            return true;
        if (!v->is_string())
            return refuse(key, "a text");
        out = v->get<std::string>();
        return true;
    }

private:
    const json &object_;
    std::string file_;
    Error error_;
};

bool is_pair_of_numbers(const json &v)
{
    return v.is_array() && v.size() == 2 && is_finite_number(v[0]) && is_finite_number(v[1]) &&
           v[0].get<double>() <= v[1].get<double>();
}

// A knot vector of the degree: each end repeated degree + 1 times and the
// interior stages strictly ascending between them.
bool is_knot_vector(const std::vector<double> &U, int degree)
{
    const std::size_t order = static_cast<std::size_t>(degree) + 1;
    if (U.size() < 2 * order)
        return false;
    const double lo = U.front();
    const double hi = U.back();
    if (!(lo < hi))
        return false;
    for (std::size_t i = 0; i < order; i++)
        if (U[i] != lo || U[U.size() - 1 - i] != hi)
            return false;
    for (std::size_t i = order; i + order <= U.size(); i++)
        if (!(U[i - 1] < U[i]))
            return false;
    return true;
}

Result<Curve> curve_of(const json &root, const std::string &file)
{
    if (!root.is_object())
        return file_error_value(file, "expected a JSON object (a curve file written by rating fit)");
    Keys k(root, file);
    Curve c;

    const json *format = k.find("format", true);
    if (format == nullptr)
        return k.error();
    if (!format->is_string() || format->get<std::string>() != kFormat) {
        k.refuse("format", std::string("\"") + kFormat + "\"");
        return k.error();
    }
    const json *version = k.find("version", true);
    if (version == nullptr)
        return k.error();
    if (is_whole_number(*version, kVersion + 1, 1LL << 53))
        return file_error_value(file, "\"version\": " + version->dump() + " is newer than this program reads (" +
                                          std::to_string(kVersion) + "); a newer rating program wrote it");
    if (!is_whole_number(*version, kVersion, kVersion)) {
        k.refuse("version", std::to_string(kVersion));
        return k.error();
    }

    if (!k.text("station", c.station) || !k.text("title", c.title))
        return k.error();
    if (!k.number("nu", c.nu, true))
        return k.error();
    if (c.nu == 0.0) {
        k.refuse("nu", "a number other than 0");
        return k.error();
    }
    if (!k.whole("degree", c.degree, true, 1, 3))
        return k.error();
    if (!k.numbers("knots", c.knots, true))
        return k.error();
    if (!is_knot_vector(c.knots, c.degree)) {
        const std::string times = std::to_string(c.degree + 1);
        k.refuse("knots", "a knot vector of degree " + std::to_string(c.degree) +
                              ": the lowest and the highest stage " + times +
                              " times each, interior stages strictly ascending between them");
        return k.error();
    }
    const int p = static_cast<int>(c.knots.size()) - c.degree - 1;
    if (!k.numbers("coefficients", c.coefficients, true))
        return k.error();
    if (static_cast<int>(c.coefficients.size()) != p) {
        k.refuse("coefficients", std::to_string(p) + " numbers (the knots and the degree give " + std::to_string(p) +
                                     "), not " + std::to_string(c.coefficients.size()));
        return k.error();
    }
    c.p = p;

    const json *range = k.find("stage_range", true);
    if (range == nullptr)
        return k.error();
    const double span = c.knots.back() - c.knots.front();
    const double slack = 1e-9 * span;
    if (!is_pair_of_numbers(*range) || std::fabs((*range)[0].get<double>() - c.knots.front()) > slack ||
        std::fabs((*range)[1].get<double>() - c.knots.back()) > slack || !((*range)[0] < (*range)[1])) {
        k.refuse("stage_range", "[lowest, highest] stage: the end knots " + number_text(c.knots.front()) + " and " +
                                    number_text(c.knots.back()));
        return k.error();
    }
    c.stage_range = {(*range)[0].get<double>(), (*range)[1].get<double>()};

    if (!k.whole("dof", c.dof, true, 1, 1 << 30) || !k.number("s", c.s, true, 0.0) || !k.number("r", c.r, true, 0.0))
        return k.error();
    int p_given = p;
    if (!k.whole("n", c.n, false, 0, 1 << 30) || !k.whole("n_inactive", c.n_inactive, false, 0, 1 << 30) ||
        !k.whole("p", p_given, false, 0, 1 << 30))
        return k.error();
    if (p_given != p) {
        k.refuse("p", std::to_string(p) + ", the number of coefficients");
        return k.error();
    }

    const json *cov = k.find("covariance", true);
    if (cov == nullptr)
        return k.error();
    const auto row_ok = [p](const json &row) {
        return row.is_array() && static_cast<int>(row.size()) == p &&
               std::all_of(row.begin(), row.end(), is_finite_number);
    };
    if (!cov->is_array() || static_cast<int>(cov->size()) != p || !std::all_of(cov->begin(), cov->end(), row_ok)) {
        k.refuse("covariance", std::to_string(p) + " rows of " + std::to_string(p) +
                                   " finite numbers (p = " + std::to_string(p) + ")");
        return k.error();
    }
    c.covariance.reserve(static_cast<std::size_t>(p) * static_cast<std::size_t>(p));
    for (const json &row : *cov)
        for (const json &x : row)
            c.covariance.push_back(x.get<double>());

    if (const json *w = k.find("weights", false)) {
        if (!w->is_string() || (*w != "none" && *w != "uncertainty")) {
            k.refuse("weights", "\"none\" or \"uncertainty\"");
            return k.error();
        }
        c.weighted = *w == "uncertainty";
    }
    c.s_m = c.s;
    if (!k.number("s_m", c.s_m, false, 0.0))
        return k.error();

    if (const json *period = k.find("period", false); period != nullptr && !period->is_null()) {
        if (!period->is_array() || period->size() != 2 || !(*period)[0].is_string() || !(*period)[1].is_string()) {
            k.refuse("period", "null or [first date, last date]");
            return k.error();
        }
        c.period_first = (*period)[0].get<std::string>();
        c.period_last = (*period)[1].get<std::string>();
    }
    if (const json *constraints = k.find("constraints", false); constraints != nullptr) {
        if (!constraints->is_array() || !std::all_of(constraints->begin(), constraints->end(), is_pair_of_numbers)) {
            k.refuse("constraints", "a list of [from, to] stage ranges");
            return k.error();
        }
        for (const json &r : *constraints)
            c.constraints.emplace_back(r[0].get<double>(), r[1].get<double>());
    }
    if (const json *sel = k.find("selection", false); sel != nullptr && !sel->is_null()) {
        const auto has = [sel](const char *key, bool (*check)(const json &)) {
            return sel->contains(key) && check((*sel)[key]);
        };
        const auto whole_positive = [](const json &v) { return is_whole_number(v, 1, 1 << 30); };
        const auto is_text = [](const json &v) { return v.is_string(); };
        if (!sel->is_object() || !has("criterion", is_text) || !has("nu", is_finite_number) ||
            !has("intervals", whole_positive) || !has("cv_se_pct", is_finite_number)) {
            k.refuse("selection", "null or {\"criterion\", \"nu\", \"intervals\", \"cv_se_pct\"}");
            return k.error();
        }
        c.selection.made = true;
        c.selection.criterion = (*sel)["criterion"].get<std::string>();
        c.selection.nu = (*sel)["nu"].get<double>();
        c.selection.intervals = static_cast<int>((*sel)["intervals"].get<double>());
        c.selection.cv_se_pct = (*sel)["cv_se_pct"].get<double>();
    }
    return c;
}

LineNumber line_of_byte(const std::string &text, std::size_t byte)
{
    const std::size_t end = std::min(byte > 0 ? byte - 1 : 0, text.size());
    return 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n');
}

} // namespace

std::string curve_file_text(const Curve &curve, const FitSettings &settings)
{
    ordered_json j;
    j["format"] = kFormat;
    j["version"] = kVersion;
    j["station"] = curve.station;
    j["title"] = curve.title;
    j["nu"] = curve.nu;
    j["degree"] = curve.degree;
    j["knots"] = numbers(curve.knots);
    j["coefficients"] = numbers(curve.coefficients);
    j["stage_range"] = pair_of(curve.stage_range.first, curve.stage_range.second);
    j["n"] = curve.n;
    j["n_inactive"] = curve.n_inactive;
    j["p"] = curve.p;
    j["dof"] = curve.dof;
    j["s"] = curve.s;
    const std::size_t p = curve.coefficients.size();
    ordered_json cov = ordered_json::array();
    for (std::size_t i = 0; i < p; i++) {
        ordered_json row = ordered_json::array();
        for (std::size_t k = 0; k < p && i * p + k < curve.covariance.size(); k++)
            row.push_back(curve.covariance[i * p + k]);
        cov.push_back(row);
    }
    j["covariance"] = cov;
    j["weights"] = curve.weighted ? "uncertainty" : "none";
    j["s_m"] = curve.s_m;
    j["r"] = curve.r;
    j["period"] = curve.period_first.empty() && curve.period_last.empty()
                      ? ordered_json(nullptr)
                      : ordered_json::array({curve.period_first, curve.period_last});
    ordered_json constraints = ordered_json::array();
    for (const StageRange &r : curve.constraints)
        constraints.push_back(pair_of(r.first, r.second));
    j["constraints"] = constraints;
    if (curve.selection.made) {
        ordered_json sel;
        sel["criterion"] = curve.selection.criterion;
        sel["nu"] = curve.selection.nu;
        sel["intervals"] = curve.selection.intervals;
        sel["cv_se_pct"] = curve.selection.cv_se_pct;
        j["selection"] = sel;
    } else {
        j["selection"] = nullptr;
    }
    j["settings"] = settings_object(settings);

    std::string text;
    dump(j, 0, text);
    return text + "\n";
}

Result<Curve> parse_curve_file(const std::string &text, const std::string &file)
{
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error &e) {
        return line_error_value(file, line_of_byte(text, e.byte),
                                "expected JSON text (a curve file written by rating fit)");
    } catch (const json::exception &) {
        return file_error_value(
            file, "expected JSON text with numbers a double can hold (a curve file written by rating fit)");
    }
    return curve_of(root, file);
}

Result<Curve> read_curve_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return file_error_value(path, std::string("cannot be read: ") + std::strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return file_error_value(path, "is not a regular file (expected a curve file written by rating fit)");
    }
    if (st.st_size > kLargestFile) {
        close(fd);
        return file_error_value(path, "is larger than 64 MB: not a curve file");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            return file_error_value(path, std::string("cannot be read: ") + std::strerror(err));
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<long long>(text.size()) > kLargestFile) {
            close(fd);
            return file_error_value(path, "is larger than 64 MB: not a curve file");
        }
    }
    close(fd);
    return parse_curve_file(text, path);
}

} // namespace rating
