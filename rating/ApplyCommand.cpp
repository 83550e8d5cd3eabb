// `rating apply CURVE.json SERIES`: a stage record turned into discharge with
// its 95 % confidence band, row by row in the order read, streamed in blocks
// so that memory does not grow with the record; optionally its hydrograph.
#include "ApplyCommand.h"

#include "CommandOutput.h"
#include "PlotScript.h"

#include "CurveFile.h"
#include "ResultFile.h"
#include "Table.h"

#include <CLI/CLI.hpp>
#include <csv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using namespace rating;

namespace {

constexpr std::size_t kReadBlock = 1 << 16;
constexpr std::size_t kWriteBlock = 1 << 16;
constexpr std::size_t kLongestField = 1 << 20;
constexpr std::size_t kLongestHeader = 1 << 20;
constexpr int kListedLines = 5;

const char *const kTimeNames[] = {"time", "datetime", "date_time", "date", "measurement_dt"};
const char *const kStageNames[] = {"stage", "h", "W", "gage_height_va", "level"};
constexpr const char *kOutputHeader = "time,stage,discharge,conf_low,conf_high,range\n";

struct Options {
    std::string curve;
    std::string series;
    std::string stage;
    std::string time;
    std::string out;
    bool no_extrapolation = false;
    std::string plot;
    std::string units;
};

// Ends the command: its message for the error stream and its exit code.
// Thrown, so that what the command holds is released on the way out.
struct Refusal {
    std::string message;
    int exit_code = 1;
};

[[noreturn]] void fail(const Error &error)
{
    throw Refusal{error_text(error), error.exit_code};
}

std::string lower(std::string s)
{
    for (char &ch : s)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

std::string trimmed(const std::string &s)
{
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return std::string();
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// Runs writing into one folder take turns; an interrupted commit there is
// completed or undone first.
void prepare_result(const std::string &out)
{
    const std::string why = prepare_output(folder_of_path(out), out + ".journal");
    if (!why.empty())
        throw Refusal{why};
}

// Where the converted rows go: the result file or standard output, and a
// copy for the plot script when it draws from standard output's rows.
class Sink {
public:
    Sink(const std::string &out, std::FILE *copy)
        : stream_(out.empty() ? stdout : open_result(out)), file_(!out.empty()), copy_(copy)
    {}

    void write(const char *data, std::size_t size)
    {
        if (size > 0 && std::fwrite(data, 1, size, stream_) != size)
            failed();
        if (copy_ != nullptr && size > 0 && std::fwrite(data, 1, size, copy_) != size)
            throw Refusal{std::string("\nUnable to write the hydrograph's temporary file: ") + std::strerror(errno) +
                          "\n"};
    }

    void finish()
    {
        if (file_)
            commit_results();
        else if (std::fflush(stdout) != 0)
            failed();
    }

private:
    [[noreturn]] void failed()
    {
        if (file_)
            result_write_failed(stream_);
        throw Refusal{std::string("\nUnable to write to standard output: ") + std::strerror(errno) + "\n"};
    }

    std::FILE *stream_;
    bool file_;
    std::FILE *copy_;
};

struct Tally {
    long long count = 0;
    double farthest = 0.0;
};

struct Summary {
    long long rows = 0;
    Tally gauged, below, above, missing;
    std::vector<LineNumber> missing_lines; // the first few
    long long out_of_order = 0;
    LineNumber first_out_of_order = 0;
};

// A stage field as a number: surrounding blanks allowed, NA or empty is
// missing, anything else must be a whole finite number.
bool stage_number(const std::string &text, double &h)
{
    const char *a = text.data();
    const char *b = a + text.size();
    while (a < b && (*a == ' ' || *a == '\t'))
        a++;
    while (b > a && (b[-1] == ' ' || b[-1] == '\t' || b[-1] == '\r'))
        b--;
    if (a < b && *a == '+')
        a++;
    if (a == b)
        return false;
    const auto r = std::from_chars(a, b, h, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == b && std::isfinite(h);
}

// ISO dates and times compare as text when 'T' and ' ' count the same.
bool iso_like(const std::string &t)
{
    return t.size() >= 10 && std::isdigit(static_cast<unsigned char>(t[0])) &&
           std::isdigit(static_cast<unsigned char>(t[3])) && t[4] == '-' && t[7] == '-';
}

bool earlier(const std::string &a, const std::string &b)
{
    const auto unify = [](char c) { return c == 'T' ? ' ' : c; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return unify(x) < unify(y); });
}

bool is_format_field(const char *s, std::size_t n)
{
    if (n < 2)
        return false;
    const char kind = static_cast<char>(std::tolower(static_cast<unsigned char>(s[n - 1])));
    if (kind != 's' && kind != 'd' && kind != 'n')
        return false;
    return std::all_of(s, s + n - 1, [](char c) { return c >= '0' && c <= '9'; });
}

// Appends a field of the output CSV, quoted when it holds a comma, a quote
// or a line end.
void append_field(std::string &out, const std::string &field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char ch : field) {
        if (ch == '"')
            out += '"';
        out += ch;
    }
    out += '"';
}

// The stage record's rows through libcsv, converted as they complete.
class Converter {
public:
    Converter(const Curve &curve, bool extrapolate, int stage_column, int time_column, bool rdb, Sink &sink)
        : curve_(curve), t_(t_quantile_975(curve.dof)), extrapolate_(extrapolate), stage_column_(stage_column),
          time_column_(time_column), format_line_possible_(rdb), sink_(sink)
    {
        out_.reserve(kWriteBlock + 4 * kLongestField);
        out_ = kOutputHeader;
    }

    static void on_field(void *s, std::size_t n, void *self)
    {
        static_cast<Converter *>(self)->field(static_cast<const char *>(s), n);
    }
    static void on_row(int, void *self) { static_cast<Converter *>(self)->row(); }

    LineNumber line = 0; // the physical line being read

    // Writes the rows converted so far once they fill a block (at the end:
    // whatever there is). Called between the parser's calls, never from its
    // callbacks, since a failed write unwinds the stack.
    void flush(bool at_end = false)
    {
        if (!at_end && out_.size() < kWriteBlock)
            return;
        sink_.write(out_.data(), out_.size());
        out_.clear();
    }

    const Summary &summary() const { return summary_; }

private:
    void field(const char *s, std::size_t n)
    {
        if (field_ == 0) {
            row_line_ = line;
            format_fields_ = true;
        }
        if (field_ == stage_column_)
            stage_.assign(n > 0 ? s : "", n);
        if (field_ == time_column_)
            time_.assign(n > 0 ? s : "", n);
        if (format_line_possible_)
            format_fields_ = format_fields_ && is_format_field(s, n);
        field_++;
    }

    void row()
    {
        // NWIS rdb: the line of column formats after the header.
        const bool format_line = format_line_possible_ && format_fields_;
        format_line_possible_ = false;
        if (!format_line)
            convert();
        field_ = 0;
        stage_.clear();
        time_.clear();
    }

    void tally(Tally &t, double h, bool lowest)
    {
        if (t.count == 0 || (lowest ? h < t.farthest : h > t.farthest))
            t.farthest = h;
        t.count++;
    }

    void convert()
    {
        summary_.rows++;
        if (time_column_ >= 0 && iso_like(time_)) {
            if (have_previous_time_ && earlier(time_, previous_time_)) {
                if (summary_.out_of_order++ == 0)
                    summary_.first_out_of_order = row_line_;
            }
            previous_time_ = time_;
            have_previous_time_ = true;
        }
        double h = 0.0;
        RangeFlag flag = RangeFlag::missing;
        const double none = std::numeric_limits<double>::quiet_NaN();
        ConfidenceRow band{none, none, none};
        if (stage_number(stage_, h)) {
            flag = range_flag(curve_, h);
            if (extrapolate_ || flag == RangeFlag::gauged)
                band = curve_confidence(curve_, h, t_);
        }
        switch (flag) {
        case RangeFlag::gauged:
            tally(summary_.gauged, h, false);
            break;
        case RangeFlag::below:
            tally(summary_.below, h, true);
            break;
        case RangeFlag::above:
            tally(summary_.above, h, false);
            break;
        case RangeFlag::missing:
            summary_.missing.count++;
            if (summary_.missing_lines.size() < kListedLines)
                summary_.missing_lines.push_back(row_line_);
            break;
        }
        append_field(out_, time_);
        out_ += ',';
        append_field(out_, stage_);
        char numbers[128];
        char *p = numbers;
        for (const double v : {band.discharge, band.conf_low, band.conf_high}) {
            *p++ = ',';
            p = number_g10(p, v);
        }
        *p++ = ',';
        out_.append(numbers, p);
        out_ += range_flag_name(flag);
        out_ += '\n';
    }

    const Curve &curve_;
    const double t_;
    const bool extrapolate_;
    const int stage_column_;
    const int time_column_;
    bool format_line_possible_;
    bool format_fields_ = false;
    Sink &sink_;
    int field_ = 0;
    LineNumber row_line_ = 0;
    std::string stage_, time_, previous_time_;
    bool have_previous_time_ = false;
    std::string out_;
    Summary summary_;
};

// Spaces and tabs around unquoted fields are dropped (libcsv's default), a
// tab only when it does not separate the fields.
int is_space_only(unsigned char c)
{
    return c == ' ';
}

void set_delimiter(csv_parser &p, unsigned char delimiter)
{
    csv_set_delim(&p, delimiter);
    if (delimiter == '\t')
        csv_set_space_func(&p, is_space_only);
}

// The fields of one line of text.
std::vector<std::string> split_line(const std::string &line, unsigned char delimiter)
{
    struct Fields {
        std::vector<std::string> list;
        static void add(void *s, std::size_t n, void *self)
        {
            static_cast<Fields *>(self)->list.emplace_back(n > 0 ? static_cast<const char *>(s) : "", n);
        }
    } fields;
    csv_parser p;
    csv_init(&p, 0);
    set_delimiter(p, delimiter);
    csv_parse(&p, line.data(), line.size(), Fields::add, nullptr, &fields);
    csv_fini(&p, Fields::add, nullptr, &fields);
    csv_free(&p);
    return fields.list;
}

// A libcsv parser for fields separated by `delimiter`.
struct CsvParser {
    csv_parser p;
    explicit CsvParser(unsigned char delimiter)
    {
        csv_init(&p, 0);
        set_delimiter(p, delimiter);
    }
    ~CsvParser() { csv_free(&p); }
    CsvParser(const CsvParser &) = delete;
    CsvParser &operator=(const CsvParser &) = delete;
};

// The stage record file: read in blocks; the preamble (byte-order mark,
// comment lines) and the header first, then the rows.
class SeriesFile {
public:
    explicit SeriesFile(const std::string &path) : path_(path)
    {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0)
            fail(file_error_value(path, std::string("cannot be read: ") + std::strerror(errno)));
        struct stat st;
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd_);
            fail(file_error_value(path, "is not a regular file (expected a stage record, CSV or NWIS rdb)"));
        }
        buffer_.resize(kReadBlock);
    }
    SeriesFile(const SeriesFile &) = delete;
    SeriesFile &operator=(const SeriesFile &) = delete;
    ~SeriesFile() { close(fd_); }

    // The header line (comments and blank lines before it skipped, a BOM
    // dropped); its line number in header_line. Empty at the end of the file.
    std::string header()
    {
        std::string line;
        bool first = true;
        while (next_line(line)) {
            if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
                line.erase(0, 3);
            first = false;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty() || line[0] == '#' || trimmed(line).empty())
                continue;
            header_line = lines_;
            return line;
        }
        return std::string();
    }

    // Feeds the rest of the file to the parser, a line at a time, telling
    // the converter the physical line.
    void rows(csv_parser &p, Converter &c)
    {
        for (;;) {
            if (at_ == size_ && !fill())
                break;
            const char *start = buffer_.data() + at_;
            const char *end = buffer_.data() + size_;
            const char *nl = static_cast<const char *>(std::memchr(start, '\n', static_cast<std::size_t>(end - start)));
            const char *stop = nl != nullptr ? nl + 1 : end;
            if (line_start_) {
                lines_++;
                line_start_ = false;
            }
            c.line = lines_;
            csv_parse(&p, start, static_cast<std::size_t>(stop - start), Converter::on_field, Converter::on_row, &c);
            if (csv_error(&p) != CSV_SUCCESS)
                fail(file_error_value(path_, std::string("cannot be read: ") + csv_strerror(csv_error(&p))));
            if (csv_get_buffer_size(&p) > kLongestField)
                fail(line_error_value(path_, lines_, "a field longer than 1 MB: expected a stage record"));
            at_ = static_cast<std::size_t>(stop - buffer_.data());
            line_start_ = nl != nullptr;
            c.flush();
        }
        csv_fini(&p, Converter::on_field, Converter::on_row, &c);
    }

    LineNumber header_line = 0;

private:
    bool fill()
    {
        for (;;) {
            const ssize_t n = read(fd_, buffer_.data(), buffer_.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(file_error_value(path_, std::string("cannot be read: ") + std::strerror(errno)));
            at_ = 0;
            size_ = static_cast<std::size_t>(n);
            return n > 0;
        }
    }

    bool next_line(std::string &line)
    {
        line.clear();
        bool any = false;
        for (;;) {
            if (at_ == size_ && !fill())
                break;
            any = true;
            const char *start = buffer_.data() + at_;
            const char *nl = static_cast<const char *>(std::memchr(start, '\n', size_ - at_));
            const std::size_t n = nl != nullptr ? static_cast<std::size_t>(nl - start) : size_ - at_;
            if (line.size() + n > kLongestHeader)
                fail(line_error_value(path_, lines_ + 1, "a line longer than 1 MB before the rows: expected a header"));
            line.append(start, n);
            at_ += n;
            if (nl != nullptr) {
                at_++;
                break;
            }
        }
        if (any)
            lines_++;
        return any;
    }

    std::string path_;
    int fd_ = -1;
    std::vector<char> buffer_;
    std::size_t at_ = 0;
    std::size_t size_ = 0;
    LineNumber lines_ = 0;
    bool line_start_ = true;
};

// The delimiter of a header line: the most frequent of , ; tab, comma on a tie.
unsigned char delimiter_of(const std::string &header)
{
    const auto count = [&](char c) { return std::count(header.begin(), header.end(), c); };
    const long comma = count(',');
    const long semicolon = count(';');
    const long tab = count('\t');
    if (tab > comma && tab >= semicolon)
        return '\t';
    if (semicolon > comma && semicolon > tab)
        return ';';
    return ',';
}

// The column named `wanted`, else the first of `defaults` the header has;
// -1 when none. A column named by an option must be there.
int column_of(const std::vector<std::string> &names, const std::string &wanted, const char *const *defaults,
              std::size_t n_defaults, const std::string &file, LineNumber line, const char *option)
{
    const auto find = [&](const std::string &name) {
        for (std::size_t i = 0; i < names.size(); i++)
            if (lower(trimmed(names[i])) == lower(name))
                return static_cast<int>(i);
        return -1;
    };
    if (!wanted.empty()) {
        const int at = find(wanted);
        if (at < 0)
            fail(line_error_value(file, line,
                                  std::string("no column ") + wanted + " (named by " + option + ") in the header"));
        return at;
    }
    for (std::size_t i = 0; i < n_defaults; i++) {
        const int at = find(defaults[i]);
        if (at >= 0)
            return at;
    }
    return -1;
}

// Runs the plot script on the converted rows; its messages go to the error
// stream. Returns the exit code of the command.
int draw_hydrograph(const Curve &curve, const std::string &rows, const std::string &png, const std::string &units)
{
    std::vector<std::string> arguments = {"--hydrograph", rows, png, number_17(curve.stage_range.first),
                                          number_17(curve.stage_range.second), curve_name(curve)};
    std::string stage_unit;
    std::string discharge_unit;
    if (split_units(units, stage_unit, discharge_unit))
        arguments.insert(arguments.end(), {stage_unit, discharge_unit});
    std::string why;
    if (run_plot_script(arguments, why) != 0) {
        std::fprintf(stderr, "%s", why.c_str());
        return 1;
    }
    return 0;
}

std::string share_text(long long count, long long rows)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%5.1f %%",
                  rows > 0 ? 100.0 * static_cast<double>(count) / static_cast<double>(rows) : 0.0);
    return buffer;
}

void print_summary(const Summary &s, const std::string &series, bool extrapolate)
{
    std::string text = "rating apply: " + std::to_string(s.rows) + " rows of " + series + "\n";
    char line[256];
    const auto row = [&](const char *name, const Tally &t, const std::string &tail) {
        std::snprintf(line, sizeof line, "  %-8s %12lld", name, t.count);
        text += line;
        if (t.count > 0)
            text += "  " + share_text(t.count, s.rows) + tail;
        text += "\n";
    };
    const char *beyond =
        extrapolate ? ": extrapolated along the curve's end tangent" : ": values left empty (--no-extrapolation)";
    const auto stage = [&](const char *which, const Tally &t) {
        char number[40];
        std::snprintf(number, sizeof number, "%.10g", t.farthest);
        return std::string("  ") + which + " stage " + number + beyond;
    };
    row("gauged", s.gauged, "");
    row("below", s.below, stage("lowest", s.below));
    row("above", s.above, stage("highest", s.above));
    std::string lines;
    for (std::size_t i = 0; i < s.missing_lines.size(); i++)
        lines += (i == 0 ? "" : ", ") + std::to_string(s.missing_lines[i]);
    if (s.missing.count > static_cast<long long>(s.missing_lines.size()))
        lines += ", ...";
    row("missing", s.missing,
        "  empty or unreadable stage, line" + std::string(s.missing.count > 1 ? "s " : " ") + lines);
    if (s.out_of_order > 0)
        text += "  times earlier than the row before: " + std::to_string(s.out_of_order) + " rows, the first at line " +
                std::to_string(s.first_out_of_order) + " (rows kept in the order read)\n";
    std::fputs(text.c_str(), stderr);
}

// A temporary file for the hydrograph's rows when they go to standard output.
struct TempRows {
    std::string path;
    std::FILE *stream = nullptr;
    TempRows()
    {
        const char *dir = std::getenv("TMPDIR");
        path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/rating-apply-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0)
            throw Refusal{std::string("\nUnable to make a temporary file for the hydrograph: ") + std::strerror(errno) +
                          "\n"};
        stream = fdopen(fd, "w");
    }
    ~TempRows()
    {
        if (stream != nullptr)
            std::fclose(stream);
        unlink(path.c_str());
    }
    TempRows(const TempRows &) = delete;
    TempRows &operator=(const TempRows &) = delete;
};

// The command after its options: converts the record, then draws it.
int convert(const Options &o)
{
    const Result<Curve> read = read_curve_file(o.curve);
    if (!read)
        fail(read.error());
    const Curve &curve = read.value();

    SeriesFile series(o.series);
    const std::string header = series.header();
    if (header.empty())
        fail(file_error_value(o.series, "no header line: expected a stage record with a header row"));
    const unsigned char delimiter = delimiter_of(header);
    const std::vector<std::string> names = split_line(header, delimiter);
    const int stage_column =
        column_of(names, o.stage, kStageNames, std::size(kStageNames), o.series, series.header_line, "--stage");
    if (stage_column < 0)
        fail(line_error_value(o.series, series.header_line,
                              "no stage column: expected one of stage, h, W, gage_height_va, level in the header "
                              "(or --stage COL)"));
    const int time_column =
        column_of(names, o.time, kTimeNames, std::size(kTimeNames), o.series, series.header_line, "--time");

    if (!o.out.empty()) {
        protect_results();
        prepare_result(o.out);
    }
    std::optional<TempRows> temp;
    if (!o.plot.empty() && o.out.empty())
        temp.emplace();
    Sink sink(o.out, temp ? temp->stream : nullptr);
    Converter converter(curve, !o.no_extrapolation, stage_column, time_column, delimiter == '\t', sink);
    CsvParser parser(delimiter);
    series.rows(parser.p, converter);
    converter.flush(true);
    sink.finish();
    if (temp && std::fflush(temp->stream) != 0)
        throw Refusal{std::string("\nUnable to write the hydrograph's temporary file: ") + std::strerror(errno) + "\n"};
    print_summary(converter.summary(), o.series, !o.no_extrapolation);
    if (!o.plot.empty())
        return draw_hydrograph(curve, temp ? temp->path : o.out, o.plot, o.units);
    return 0;
}

} // namespace

int apply_command(int argc, char **argv)
{
    CLI::App app("Turns a stage record into discharge with the 95 % confidence band of a curve file (written by "
                 "rating fit): time,stage,discharge,conf_low,conf_high,range, one row per row read, in the order read.",
                 "rating apply");
    Options o;
    app.add_option("CURVE", o.curve, "the curve file <name>.curve.json")->required();
    app.add_option("SERIES", o.series, "the stage record: CSV with a header row, or NWIS rdb")->required();
    app.add_option("--stage", o.stage, "the stage column (default: the first of stage, h, W, gage_height_va, level)")
        ->option_text("COL");
    app.add_option("--time", o.time,
                   "the time column (default: the first of time, datetime, date_time, date, "
                   "measurement_dt; none is needed)")
        ->option_text("COL");
    app.add_option("--out", o.out, "write to FILE (put in place when complete) instead of standard output")
        ->option_text("FILE");
    app.add_flag("--no-extrapolation", o.no_extrapolation, "leave the values of stages beyond the gauged range empty");
    app.add_option("--plot", o.plot, "also draw the hydrograph into FILE.png (with gnuplot)")->option_text("FILE.png");
    app.add_option("--units", o.units, "units of stage and discharge for the hydrograph's axes, e.g. \"m,m3/s\"");
    try {
        app.parse(argc, argv);
        if (!o.plot.empty() && (o.plot.size() < 5 || lower(o.plot.substr(o.plot.size() - 4)) != ".png"))
            throw CLI::ValidationError("--plot", "expected a file name ending in .png");
        std::string stage_unit;
        std::string discharge_unit;
        if (!o.units.empty() && !split_units(o.units, stage_unit, discharge_unit))
            throw CLI::ValidationError("--units", "expected the stage's and the discharge's unit, as \"m,m3/s\"");
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "rating apply: %s\n\n%s", e.what(), app.help().c_str());
        return 2;
    }

    try {
        return convert(o);
    } catch (const Refusal &r) {
        std::fputs(r.message.c_str(), stderr);
        return r.exit_code;
    }
}
