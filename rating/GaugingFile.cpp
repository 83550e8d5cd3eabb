#include "GaugingFile.h"

#include <csv.h>
#include <date/date.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace rating {
namespace {

enum Role { stage_role, discharge_role, date_role, uncertainty_role, active_role, station_role, name_role, role_count };

struct RoleColumns {
    const char *option;
    const char *what;
    std::vector<std::string_view> names;  // the usual names, the first found taken
};

const std::array<RoleColumns, role_count> &role_columns()
{
    static const std::array<RoleColumns, role_count> roles = {{
        {"--stage", "stage", {"stage", "h", "W", "gage_height_va", "level"}},
        {"--discharge", "discharge", {"discharge", "Q", "discharge_va"}},
        {"--date", "date", {"date", "datetime", "date_time", "measurement_dt"}},
        {"--uncertainty", "uncertainty", {"q_sigma", "uQ", "uncertainty", "measured_rating_diff"}},
        {"--active", "active", {"active", "q_meas_used_fg"}},
        {"--station", "station", {"station", "station_number", "site_no", "id"}},
        {"--station-name", "station name", {"station_name", "name"}},
    }};
    return roles;
}

// The column of NWIS measurement grades, read as the uncertainty of the
// discharge whatever --uncertainty-unit says.
constexpr std::string_view kGradeColumn = "measured_rating_diff";

const char *const kDateExpected = "expected a date as YYYY-MM-DD or YYYY-MM-DD hh:mm[:ss]";

char lower(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// An empty field, or NA as R writes a missing value.
bool is_missing(std::string_view trimmed)
{
    return trimmed.empty() || trimmed == "NA";
}

// A decimal without an exponent and with at most 15 digits: the quotient of
// two doubles that hold the digits and the power of ten exactly, which one
// correctly rounded division gives as from_chars would. False for any other
// text, without a value.
bool read_short_decimal(std::string_view s, double &value)
{
    constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = !s.empty() && s[0] == '-';
    std::uint64_t digits_value = 0;
    int digits = 0;
    int decimals = 0;
    bool point = false;
    for (std::size_t i = negative ? 1 : 0; i < s.size(); ++i) {
        const char ch = s[i];
        if (ch >= '0' && ch <= '9') {
            digits_value = digits_value * 10 + static_cast<std::uint64_t>(ch - '0');
            ++digits;
            decimals += point ? 1 : 0;
        } else if (ch == '.' && !point) {
            point = true;
        } else {
            return false;
        }
        if (digits > 15)
            return false;
    }
    if (digits == 0)
        return false;
    const double magnitude = static_cast<double>(digits_value) / kPowers[decimals];
    value = negative ? -magnitude : magnitude;
    return true;
}

bool read_double(std::string_view s, double &value)
{
    if (s.size() > 1 && s[0] == '+' && s[1] != '-')
        s.remove_prefix(1);
    if (read_short_decimal(s, value))
        return true;
    const char *const end = s.data() + s.size();
    const auto [ptr, ec] = std::from_chars(s.data(), end, value);
    return ec == std::errc() && ptr == end && std::isfinite(value);
}

enum class NumberRead { ok, bad, decimal_comma_hint };

NumberRead read_number(std::string_view s, bool decimal_comma, double &value)
{
    const bool has_comma = s.find(',') != std::string_view::npos;
    if (!has_comma)
        return (!decimal_comma || s.find('.') == std::string_view::npos) && read_double(s, value) ? NumberRead::ok
                                                                                                  : NumberRead::bad;
    if (s.size() > 64 || (decimal_comma && s.find('.') != std::string_view::npos))
        return NumberRead::bad;
    char buffer[64];
    std::copy(s.begin(), s.end(), buffer);
    std::replace(buffer, buffer + s.size(), ',', '.');
    const bool with_point = read_double(std::string_view(buffer, s.size()), value);
    if (decimal_comma)
        return with_point ? NumberRead::ok : NumberRead::bad;
    return with_point ? NumberRead::decimal_comma_hint : NumberRead::bad;
}

// A fixed-width group of decimal digits.
bool digits(std::string_view text, std::size_t at, std::size_t count, unsigned &value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

enum class Flag { yes, no, bad };

Flag read_flag(std::string_view s)
{
    if (is_missing(s) || s == "1" || same_name(s, "yes") || same_name(s, "true"))
        return Flag::yes;
    if (s == "0" || same_name(s, "no") || same_name(s, "false"))
        return Flag::no;
    return Flag::bad;
}

// An NWIS grade as the uncertainty in per cent at two standard deviations;
// 0 for none, -1 for a word that is no grade.
double grade_percent(std::string_view s)
{
    if (is_missing(s) || same_name(s, "Unspecified"))
        return 0.0;
    if (same_name(s, "Excellent"))
        return 2.0;
    if (same_name(s, "Good"))
        return 5.0;
    if (same_name(s, "Fair"))
        return 8.0;
    if (same_name(s, "Poor"))
        return 12.0;
    return -1.0;
}

// A field of the line of column formats that follows the header of an rdb
// file: a width and a type, as in 5s, 19d or 12n.
bool is_format_field(std::string_view s)
{
    s = trim(s);
    if (s.empty() || (s.back() != 's' && s.back() != 'd' && s.back() != 'n'))
        return false;
    return std::all_of(s.begin(), s.end() - 1, [](char ch) { return ch >= '0' && ch <= '9'; });
}

std::string station_list(const std::vector<Station> &stations)
{
    std::string list;
    const std::size_t shown = std::min<std::size_t>(stations.size(), 10);
    for (std::size_t i = 0; i < shown; ++i)
        list += (i == 0 ? "" : ", ") + stations[i].id;
    if (stations.size() > shown)
        list += " and " + std::to_string(stations.size() - shown) + " more";
    return list;
}

struct Period {
    std::optional<long long> from, to;
    bool given() const { return from.has_value() || to.has_value(); }
    bool holds(long long t) const { return (!from || t >= *from) && (!to || t <= *to); }
};

Result<Period> read_period(const ReadOptions &options)
{
    Period period;
    if (!options.from.empty() && !(period.from = parse_date_time(options.from, false)))
        return file_error_value("", std::string("--from: ") + kDateExpected + ", not \"" + options.from + "\"");
    if (!options.to.empty() && !(period.to = parse_date_time(options.to, true)))
        return file_error_value("", std::string("--to: ") + kDateExpected + ", not \"" + options.to + "\"");
    if (period.from && period.to && *period.from > *period.to)
        return file_error_value("", "--from " + options.from + " is later than --to " + options.to);
    return period;
}

// The delimiter of a header line: the one of , ; tab that occurs most often
// outside quotes, a comma on a tie; nothing when the text ends before the
// line does.
std::optional<char> guess_delimiter(std::string_view text, bool at_end)
{
    std::size_t comma = 0, semicolon = 0, tab = 0;
    bool quoted = false, line_ended = false;
    for (const char ch : text) {
        if (ch == '"')
            quoted = !quoted;
        else if (quoted)
            continue;
        else if (ch == '\n') {
            line_ended = true;
            break;
        } else if (ch == ',')
            ++comma;
        else if (ch == ';')
            ++semicolon;
        else if (ch == '\t')
            ++tab;
    }
    if (!line_ended && !at_end)
        return std::nullopt;
    if (semicolon > comma && semicolon >= tab)
        return ';';
    return tab > comma && tab > semicolon ? '\t' : ',';
}

LineNumber count_line_ends(std::string_view text)
{
    LineNumber count = 0;
    const char *const end = text.data() + text.size();
    for (const char *at = text.data(); at != end; ++count) {
        at = static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        if (at == nullptr)
            break;
        ++at;
    }
    return count;
}

// Room for n gaugings. A large store is asked for in huge pages where the
// system has them: touching fresh memory a small page at a time can cost
// more than the reading itself.
void reserve_gaugings(std::vector<Gauging> &gaugings, std::size_t n)
{
    gaugings.reserve(n);
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t page = 4096;
    const std::size_t bytes = gaugings.capacity() * sizeof(Gauging);
    if (bytes < (std::size_t(8) << 20))
        return;
    const auto begin = reinterpret_cast<std::uintptr_t>(gaugings.data());
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(page - 1);
    madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);  // only a hint
#endif
}

// The rows of the file as libcsv hands them over, field by field. The
// physical line where each row begins is kept, lines counted by their line
// feeds as grep and sed count them: libcsv reports every line feed outside
// quotes (CR LF ends a row at the CR, then an empty row at the LF), and the
// line feeds inside quoted fields are counted in the fields.

class Reader {
public:
    // `size`: the file's size in bytes, as far as it is known.
    Reader(const std::string &path, const ReadOptions &options, const Period &period, std::size_t size)
        : options_(options), period_(period), size_(size)
    {
        file_.path = path;
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    ~Reader()
    {
        if (started_)
            csv_free(&parser_);
    }

    // The file's bytes, in pieces of any size; false once the file is
    // refused, when the rest need not be read.
    bool feed(std::string_view piece);
    Result<GaugingFile> finish();

private:
    static void field_callback(void *s, std::size_t len, void *self)
    {
        static_cast<Reader *>(self)->field(static_cast<const char *>(s), len);
    }
    static void row_callback(int c, void *self) { static_cast<Reader *>(self)->row_end(c); }

    void field(const char *s, std::size_t len);
    void row_end(int c);
    void header();
    void data_row(LineNumber line);
    void refuse_row(LineNumber line, long column, std::string message);
    void refuse(Station &station, LineNumber line, int role, std::string message);
    std::optional<std::size_t> row_station();
    void reset_row();
    void make_room(std::vector<Gauging> &gaugings) const;
    bool fail(Error error);
    std::optional<std::size_t> header_start(std::string_view text, bool at_end);
    void start_parser();
    void parse(std::string_view piece);

    const ReadOptions &options_;
    const Period period_;
    const std::size_t size_;
    GaugingFile file_;
    std::optional<Error> fatal_;

    // Until the header line is whole, the bytes are kept; then libcsv takes
    // them. After a malformed row the rest of its line is skipped.
    std::string pending_;
    bool started_ = false;
    csv_parser parser_{};
    char delimiter_ = ',';
    LineNumber line_ends_before_ = 0;   // in the file before the piece being parsed
    std::size_t bytes_through_ = 0;     // the file's bytes up to the end of that piece
    LineNumber line_ends_through_ = 0;  // and its line ends
    std::size_t gaugings_read_ = 0;
    bool skipping_ = false;
    bool quotes_seen_ = false;          // a quote so far: fields may hold line ends

    bool have_header_ = false;
    std::vector<std::string> header_;
    std::array<long, role_count> column_{};  // the column of each role, -1 when none
    std::vector<unsigned> roles_of_column_;  // bit r for each role r on the column
    std::vector<int> checked_;               // stage, discharge, uncertainty, active, in column order
    bool grades_ = false;
    long long rows_after_header_ = 0;

    LineNumber line_ = 0;  // where the current row begins

    // The current row: its field count, the line ends inside its quoted
    // fields, and the fields of the columns read.
    std::size_t fields_ = 0;
    LineNumber newlines_ = 0;
    unsigned roles_seen_ = 0;
    bool format_line_ = true;  // every field so far a column format
    std::array<std::string, role_count> text_;

    std::unordered_map<std::string, std::size_t> station_index_;
    std::size_t last_station_ = 0;
};

bool Reader::fail(Error error)
{
    if (!fatal_)
        fatal_ = std::move(error);
    return false;
}

void Reader::reset_row()
{
    fields_ = 0;
    newlines_ = 0;
    roles_seen_ = 0;
    format_line_ = true;
}

void Reader::field(const char *s, std::size_t len)
{
    // libcsv hands an empty field over without a buffer.
    const std::string_view text = len == 0 ? std::string_view("", 0) : std::string_view(s, len);
    if (quotes_seen_)
        newlines_ += std::count(text.begin(), text.end(), '\n');
    if (!have_header_) {
        header_.emplace_back(trim(text));
    } else {
        if (rows_after_header_ == 0 && !is_format_field(text))
            format_line_ = false;
        unsigned roles = fields_ < roles_of_column_.size() ? roles_of_column_[fields_] : 0u;
        roles_seen_ |= roles;
        for (std::size_t r = 0; roles != 0; ++r, roles >>= 1)
            if ((roles & 1u) != 0) {
                text_[r].clear();
                text_[r].append(text.data(), text.size());
            }
    }
    ++fields_;
}

void Reader::row_end(int c)
{
    if (fields_ > 0 && !fatal_) {
        if (!have_header_)
            header();
        else if (rows_after_header_++ == 0 && format_line_)
            file_.format = FileFormat::nwis;
        else
            data_row(line_);
    }
    line_ += newlines_;
    if (c == '\n')
        ++line_;
    reset_row();
}

std::string names_text(const std::vector<std::string_view> &names)
{
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + std::string(names[i]);
    return text;
}

void Reader::header()
{
    have_header_ = true;
    file_.header_line = line_;
    const auto column_named = [this](std::string_view name) {
        const auto k =
            std::find_if(header_.begin(), header_.end(), [name](const std::string &h) { return same_name(h, name); });
        return k == header_.end() ? -1L : static_cast<long>(k - header_.begin());
    };
    const std::array<const std::string *, role_count> named = {
        &options_.stage,  &options_.discharge, &options_.date,        &options_.uncertainty,
        &options_.active, &options_.station,   &options_.station_name};
    const auto &roles = role_columns();
    for (std::size_t r = 0; r < role_count; ++r) {
        column_[r] = -1;
        if (!named[r]->empty()) {
            column_[r] = column_named(*named[r]);
            if (column_[r] < 0) {
                fail(line_error_value(file_.path, line_,
                                      "expected a column \"" + *named[r] + "\" in the header, as " + roles[r].option +
                                          " names"));
                return;
            }
            continue;
        }
        for (const std::string_view name : roles[r].names)
            if ((column_[r] = column_named(name)) >= 0)
                break;
    }
    for (const Role r : {stage_role, discharge_role})
        if (column_[r] < 0) {
            fail(line_error_value(file_.path, line_,
                                  std::string("expected a ") + roles[r].what + " column in the header: " +
                                      names_text(roles[r].names) + " (or one named with " + roles[r].option + ")"));
            return;
        }
    if (column_[stage_role] == column_[discharge_role]) {
        fail(line_error_value(file_.path, line_, "expected the stage and the discharge in different columns",
                              column_[stage_role] + 1, header_[static_cast<std::size_t>(column_[stage_role])]));
        return;
    }

    roles_of_column_.assign(header_.size(), 0u);
    for (std::size_t r = 0; r < role_count; ++r)
        if (column_[r] >= 0)
            roles_of_column_[static_cast<std::size_t>(column_[r])] |= 1u << r;
    for (const Role r : {stage_role, discharge_role, uncertainty_role, active_role})
        if (column_[r] >= 0)
            checked_.push_back(r);
    std::sort(checked_.begin(), checked_.end(), [this](int a, int b) { return column_[a] < column_[b]; });
    grades_ = column_[uncertainty_role] >= 0 &&
              same_name(header_[static_cast<std::size_t>(column_[uncertainty_role])], kGradeColumn);

    file_.has_station_column = column_[station_role] >= 0;
    file_.has_date_column = column_[date_role] >= 0;
    file_.has_uncertainty_column = column_[uncertainty_role] >= 0;
    if (!file_.has_station_column) {
        Station only;
        only.source = file_.path;
        file_.stations.push_back(std::move(only));
    }
}

// The station of the current row; nothing when the row ends before its
// station field or the field is empty.
std::optional<std::size_t> Reader::row_station()
{
    if (column_[station_role] < 0)
        return 0;
    const std::string &id = text_[station_role];
    if ((roles_seen_ & (1u << station_role)) == 0 || is_missing(trim(id)))
        return std::nullopt;
    std::vector<Station> &stations = file_.stations;
    if (last_station_ < stations.size() && stations[last_station_].id == id)
        return last_station_;
    auto found = station_index_.find(id);
    if (found == station_index_.end()) {
        found = station_index_.emplace(id, stations.size()).first;
        Station station;
        station.id = id;
        station.source = file_.path;
        stations.push_back(std::move(station));
    }
    return last_station_ = found->second;
}

void Reader::refuse(Station &station, LineNumber line, int role, std::string message)
{
    if (!station.refused) {
        const long column = column_[static_cast<std::size_t>(role)];
        station.refused = line_error_value(file_.path, line, std::move(message), column + 1,
                                           header_[static_cast<std::size_t>(column)]);
    }
}

// A row refused before its fields are read (column 0: the whole row), in its
// station; a row that does not reach its station field refuses the file.
void Reader::refuse_row(LineNumber line, long column, std::string message)
{
    if (fatal_)
        return;
    const std::string name = column > 0 && static_cast<std::size_t>(column) <= header_.size()
                                 ? header_[static_cast<std::size_t>(column - 1)]
                                 : "";
    Error error = line_error_value(file_.path, line, std::move(message), column, name);
    const std::optional<std::size_t> station = have_header_ ? row_station() : std::nullopt;
    if (!station) {
        fail(std::move(error));
        return;
    }
    std::optional<Error> &refused = file_.stations[*station].refused;
    if (!refused)
        refused = std::move(error);
}

void Reader::data_row(LineNumber line)
{
    if (fields_ != header_.size()) {
        refuse_row(line, 0,
                   "expected " + std::to_string(header_.size()) + " fields as the header has, found " +
                       std::to_string(fields_));
        return;
    }
    const std::optional<std::size_t> index = row_station();
    if (!index) {
        const auto column = static_cast<std::size_t>(column_[station_role]);
        fail(line_error_value(file_.path, line, "expected a station id", static_cast<long>(column) + 1,
                              header_[column]));
        return;
    }
    Station &station = file_.stations[*index];
    if (station.refused)
        return;
    std::array<std::string_view, role_count> trimmed{};
    for (std::size_t r = 0; r < role_count; ++r)
        if (column_[r] >= 0 && r != station_role)
            trimmed[r] = trim(text_[r]);
    const auto field = [&trimmed](int role) { return trimmed[static_cast<std::size_t>(role)]; };
    if (station.name.empty() && !is_missing(field(name_role)))
        station.name = text_[name_role];

    const std::string_view date_text = field(date_role);
    const bool dated = !is_missing(date_text);
    long long time = 0;
    if (dated) {
        const std::optional<long long> t = parse_date_time(date_text, false);
        if (!t) {
            refuse(station, line, date_role, kDateExpected);
            return;
        }
        if (!period_.holds(*t))
            return;
        time = *t;
    }
    if (is_missing(field(stage_role)) || is_missing(field(discharge_role))) {
        station.skipped_lines.push_back(line);
        return;
    }
    if (period_.given() && !dated) {
        ++station.undated_left_out;
        return;
    }

    Gauging g;
    g.line = line;
    double uncertainty = std::numeric_limits<double>::quiet_NaN();
    for (const int role : checked_) {
        const std::string_view text = field(role);
        if (role == active_role) {
            const Flag flag = read_flag(text);
            if (flag == Flag::bad) {
                refuse(station, line, role, "expected an active flag: empty, yes, no, true, false, 1 or 0");
                return;
            }
            g.active = flag == Flag::yes;
            continue;
        }
        if (role == uncertainty_role && grades_) {
            const double percent = grade_percent(text);
            if (percent < 0.0) {
                refuse(station, line, role, "expected a measurement grade: Excellent, Good, Fair, Poor or Unspecified");
                return;
            }
            if (percent > 0.0)
                uncertainty = percent;
            continue;
        }
        if (role == uncertainty_role && is_missing(text))
            continue;
        double value = 0.0;
        const NumberRead read = read_number(text, options_.decimal_comma, value);
        if (read != NumberRead::ok) {
            refuse(station, line, role,
                   read == NumberRead::decimal_comma_hint ? "expected a number (decimal comma: use --decimal-comma)"
                   : options_.decimal_comma && text.find('.') != std::string_view::npos
                       ? "expected a number with a decimal comma"
                       : "expected a number");
            return;
        }
        if (value == 0.0)
            value = 0.0;  // -0 is read as 0
        if (role == stage_role) {
            g.stage = value;
        } else if (role == discharge_role) {
            if (value < 0.0) {
                refuse(station, line, role, "expected a discharge of 0 or more");
                return;
            }
            g.discharge = value;
        } else {
            if (value < 0.0) {
                refuse(station, line, role, "expected an uncertainty of 0 or more");
                return;
            }
            uncertainty = value;
        }
    }
    if (grades_ || options_.uncertainty_unit == UncertaintyUnit::percent_95)
        g.sigma = g.discharge * (uncertainty / 200.0);
    else if (options_.uncertainty_unit == UncertaintyUnit::percent_sd)
        g.sigma = g.discharge * (uncertainty / 100.0);
    else
        g.sigma = uncertainty;
    if (std::isinf(g.sigma)) {
        refuse(station, line, uncertainty_role,
               "expected an uncertainty that leaves the discharge's standard deviation finite");
        return;
    }
    if (dated) {
        g.date.assign(date_text.data(), date_text.size());
        g.time = time;
    }
    if (station.gaugings.size() == station.gaugings.capacity())
        make_room(station.gaugings);
    station.gaugings.push_back(std::move(g));
    ++gaugings_read_;
}

// Room for more gaugings of a station, so that a large station is rarely
// moved as it grows: for the share of the file's lines that the station has
// had so far, and at least for as many gaugings as the stations have had on
// average (as a file sorted by station has them), as far as the lines left
// allow. A station given too much is trimmed at the end.
void Reader::make_room(std::vector<Gauging> &gaugings) const
{
    const double lines =
        bytes_through_ == 0
            ? 0.0
            : static_cast<double>(line_ends_through_ + 1) *
                  (static_cast<double>(std::max(size_, bytes_through_)) / static_cast<double>(bytes_through_));
    const double share = static_cast<double>(gaugings.size() + 1) / static_cast<double>(gaugings_read_ + 1);
    const double average = static_cast<double>(gaugings_read_) / static_cast<double>(file_.stations.size());
    const double left = std::max(0.0, lines - static_cast<double>(line_));
    const double wanted = std::max(lines * share * 1.05, std::min(average * 1.05, left));
    reserve_gaugings(gaugings, std::max(2 * gaugings.capacity(), static_cast<std::size_t>(std::min(wanted, 1e9)) + 16));
}

// Where the header line begins after the comment lines and blank lines,
// once the text holds the whole of it.
std::optional<std::size_t> Reader::header_start(std::string_view text, bool at_end)
{
    std::size_t pos = 0;
    LineNumber line = 1;
    for (;;) {
        const std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos && !at_end)
            return std::nullopt;
        const std::string_view here =
            text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (!trim(here).empty() && here[0] != '#')
            break;
        if (end == std::string_view::npos) {
            fail(file_error_value(file_.path, "expected a header line naming the columns"));
            return std::nullopt;
        }
        pos = end + 1;
        ++line;
    }
    std::optional<char> delimiter = options_.delimiter;
    if (options_.delimiter == 0 && !(delimiter = guess_delimiter(text.substr(pos), at_end)))
        return std::nullopt;
    delimiter_ = *delimiter;
    line_ = line;
    return pos;
}

void Reader::start_parser()
{
    csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL);
    csv_set_delim(&parser_, static_cast<unsigned char>(delimiter_));
}

bool Reader::feed(std::string_view piece)
{
    if (fatal_)
        return false;
    if (started_) {
        parse(piece);
        return !fatal_;
    }
    // A byte order mark, as some editors write one, is not part of the text.
    std::string_view text = piece;
    if (!pending_.empty() || piece.size() < 3) {
        pending_.append(piece.data(), piece.size());
        text = pending_;
        if (text.size() < 3)
            return true;
    }
    const std::size_t bom = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    const std::optional<std::size_t> start = header_start(text.substr(bom), false);
    if (!start) {
        if (!fatal_ && pending_.empty())
            pending_.assign(piece.data(), piece.size());
        return !fatal_;
    }
    start_parser();
    started_ = true;
    line_ends_before_ = line_ - 1;
    parse(text.substr(bom + *start));
    pending_ = std::string();
    return !fatal_;
}

void Reader::parse(std::string_view piece)
{
    // Only a quoted field holds a line end: without a quote so far, no
    // field's line ends need counting.
    quotes_seen_ = quotes_seen_ || (!piece.empty() && std::memchr(piece.data(), '"', piece.size()) != nullptr);
    const LineNumber line_ends = count_line_ends(piece);
    bytes_through_ += piece.size();
    line_ends_through_ = line_ends_before_ + line_ends;
    std::size_t pos = 0;
    while (pos < piece.size() && !fatal_) {
        if (skipping_) {
            const std::size_t end = piece.find('\n', pos);
            if (end == std::string_view::npos)
                break;
            pos = end + 1;
            skipping_ = false;
            line_ = line_ends_before_ + count_line_ends(piece.substr(0, pos)) + 1;
            continue;
        }
        const std::size_t size = piece.size() - pos;
        const std::size_t used = csv_parse(&parser_, piece.data() + pos, size, field_callback, row_callback, this);
        if (used == size || fatal_)
            break;
        if (csv_error(&parser_) != CSV_EPARSE) {
            fail(file_error_value(file_.path, std::string("cannot be read: ") + csv_strerror(csv_error(&parser_))));
            break;
        }
        // A quote inside an unquoted field, or text after a closing quote:
        // the row is refused, and reading goes on at the next line.
        refuse_row(line_, static_cast<long>(fields_) + 1,
                   "expected a quote only around a whole field, and doubled inside it");
        csv_free(&parser_);
        start_parser();
        reset_row();
        skipping_ = true;
        pos += used;
    }
    line_ends_before_ += line_ends;
}

Result<GaugingFile> Reader::finish()
{
    if (!started_ && !fatal_) {
        const std::string_view text = pending_;
        const std::size_t bom = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
        if (const std::optional<std::size_t> start = header_start(text.substr(bom), true)) {
            start_parser();
            started_ = true;
            line_ends_before_ = line_ - 1;
            parse(text.substr(bom + *start));
        } else if (!fatal_) {
            fail(file_error_value(file_.path, "expected a header line naming the columns"));
        }
    }
    if (!fatal_ && csv_fini(&parser_, field_callback, row_callback, this) != 0)
        fail(line_error_value(
            file_.path, line_, "expected the closing quote of a field that runs to the end of the file",
            static_cast<long>(fields_) + 1, have_header_ && fields_ < header_.size() ? header_[fields_] : ""));
    if (fatal_)
        return *fatal_;
    if (!have_header_)
        return file_error_value(file_.path, "expected a header line naming the columns");
    for (Station &station : file_.stations)
        if (station.gaugings.capacity() > 2 * station.gaugings.size() + 16)
            station.gaugings.shrink_to_fit();
    return std::move(file_);
}

}  // namespace

std::optional<long long> parse_date_time(std::string_view text, bool end_of_day)
{
    unsigned y = 0, mo = 0, d = 0;
    if (text.size() < 10 || text[4] != '-' || text[7] != '-' || !digits(text, 0, 4, y) || !digits(text, 5, 2, mo) ||
        !digits(text, 8, 2, d))
        return std::nullopt;
    const date::year_month_day ymd{date::year{static_cast<int>(y)}, date::month{mo}, date::day{d}};
    if (!ymd.ok())
        return std::nullopt;
    const long long day = date::sys_days(ymd).time_since_epoch().count();
    if (text.size() == 10)
        return day * 86400 + (end_of_day ? 86399 : 0);
    unsigned hh = 0, mm = 0, ss = 0;
    if ((text[10] != 'T' && text[10] != ' ') || text.size() < 16 || text[13] != ':' || !digits(text, 11, 2, hh) ||
        !digits(text, 14, 2, mm))
        return std::nullopt;
    if (text.size() > 16) {
        if (text[16] != ':' || !digits(text, 17, 2, ss))
            return std::nullopt;
        // A fraction of a second is dropped.
        if (text.size() > 19 &&
            (text[19] != '.' || text.size() == 20 ||
             !std::all_of(text.begin() + 20, text.end(), [](char ch) { return ch >= '0' && ch <= '9'; })))
            return std::nullopt;
    }
    if (hh > 23 || mm > 59 || ss > 59)
        return std::nullopt;
    return day * 86400 + hh * 3600LL + mm * 60LL + ss;
}

namespace {

// A file is read in pieces of this size.
constexpr std::size_t kPiece = std::size_t(1) << 20;

// Reads with `feed_all`, which hands the whole text or file to a reader, or
// returns an error when the file cannot be read.
template <class FeedAll>
Result<GaugingFile> read_gaugings(const std::string &path, const ReadOptions &options, std::size_t size,
                                  FeedAll feed_all)
{
    if (options.delimiter == '"' || options.delimiter == '\n' || options.delimiter == '\r')
        return file_error_value("", "--delimiter: expected a character other than a quote or a line end");
    const Result<Period> period = read_period(options);
    if (!period)
        return period.error();
    Reader reader(path, options, period.value(), size);
    if (const Status fed = feed_all(reader); !fed)
        return fed.error();
    return reader.finish();
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

Result<GaugingFile> read_gauging_text(std::string_view text, const std::string &path, const ReadOptions &options)
{
    return read_gaugings(path, options, text.size(), [text](Reader &reader) {
        reader.feed(text);
        return Status(Done());
    });
}

Result<GaugingFile> read_gauging_file(const std::string &path, const ReadOptions &options)
{
    // Without O_NONBLOCK the opening of a pipe would wait for a writer.
    const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return file_error_value(path, std::string("cannot be read: ") + std::strerror(errno));
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return file_error_value(path, std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return file_error_value(path, S_ISDIR(st.st_mode)
                                          ? "cannot be read: it is a folder, not a file"
                                          : "cannot be read: it is not a regular file (a device, pipe or socket)");
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    const std::size_t room = std::clamp<std::size_t>(size + 1, 4096, kPiece);
    const std::unique_ptr<char[]> buffer(new char[room]);
    return read_gaugings(path, options, size, [&](Reader &reader) -> Status {
        if (lseek(fd.get(), 0, SEEK_SET) != 0)
            return file_error_value(path, std::string("cannot be read: ") + std::strerror(errno));
        for (;;) {
            const ssize_t got = read(fd.get(), buffer.get(), room);
            if (got == 0)
                return Done();
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return file_error_value(path, std::string("cannot be read: ") + std::strerror(errno));
            if (!reader.feed(std::string_view(buffer.get(), static_cast<std::size_t>(got))))
                return Done();
        }
    });
}

namespace {

// The index of the station `site` (or of the only one), or why there is none.
Result<std::size_t> station_picked(const GaugingFile &file, const std::string &site)
{
    const std::vector<Station> &stations = file.stations;
    const std::string count = std::to_string(stations.size());
    const Station *picked = nullptr;
    if (site.empty()) {
        if (stations.empty())
            return file_error_value(file.path, "expected gaugings after the header line");
        if (stations.size() > 1)
            return file_error_value(file.path, "expected --site to pick one of its " + count +
                                                   " stations: " + station_list(stations));
        picked = &stations[0];
    } else {
        if (!file.has_station_column)
            return file_error_value(file.path, "--site " + site + " given, but expected a station column for it: " +
                                                   names_text(role_columns()[station_role].names) +
                                                   " (or one named with --station)");
        const auto found =
            std::find_if(stations.begin(), stations.end(), [&site](const Station &s) { return s.id == site; });
        if (found == stations.end())
            return file_error_value(file.path, "expected --site to name one of its " + count + " stations, not " +
                                                   site +
                                                   (stations.empty() ? std::string() : ": " + station_list(stations)));
        picked = &*found;
    }
    if (picked->refused)
        return *picked->refused;
    return static_cast<std::size_t>(picked - stations.data());
}

}  // namespace

Result<Station> pick_station(const GaugingFile &file, const std::string &site)
{
    const Result<std::size_t> picked = station_picked(file, site);
    if (!picked)
        return picked.error();
    return file.stations[picked.value()];
}

Result<Station> pick_station(GaugingFile &&file, const std::string &site)
{
    const Result<std::size_t> picked = station_picked(file, site);
    if (!picked)
        return picked.error();
    return std::move(file.stations[picked.value()]);
}

}  // namespace rating
