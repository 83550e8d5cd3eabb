// fuzz_harness_gaugings [INPUT]: reads the bytes of INPUT, or of the standard
// input, as a gauging file (CSV or NWIS rdb), picks every station as --site
// would, and checks what the reader promises of what it returns. A broken
// promise aborts, which the fuzzer counts as a crash; so does a sanitizer
// report. Ends with 0 when every station reads, 1 when the file or a
// station is refused.
//
// The reading options come from the input's length, so that one campaign
// covers them all: the delimiter (guessed, comma, semicolon or tab), the
// decimal comma, the uncertainty unit and a period.
//
// Built with afl-clang-fast++ it is the target of AFL++ in fork-server mode;
// built with the ordinary compiler it replays one input.
#include "GaugingFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

using namespace rating;

namespace {

bool slurp(std::FILE *f, std::string &text)
{
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, got);
    return std::ferror(f) == 0;
}

void require(bool promise, const char *what)
{
    if (!promise) {
        std::fprintf(stderr, "fuzz_harness_gaugings: broken promise: %s\n", what);
        std::abort();
    }
}

void check_error(const Error &e, const GaugingFile *file)
{
    require(!e.message.empty() && e.exit_code == 1, "an error has a message and exit code 1");
    require(e.line >= 0 && e.column >= 0, "an error's line and column are 0 or more");
    if (file != nullptr)
        require(e.file == file->path && e.line >= file->header_line, "a refused row lies from the header on");
}

void check_station(const GaugingFile &file, const Station &s)
{
    require(s.source == file.path, "a station names its file");
    require(file.has_station_column || s.id.empty(), "a file without a station column has no station ids");
    LineNumber previous = file.header_line;
    for (const Gauging &g : s.gaugings) {
        // Lines are counted by their line feeds; a lone CR ends a row within a line.
        require(g.line >= previous, "gaugings in the order of their lines, from the header on");
        previous = g.line;
        require(std::isfinite(g.stage) && std::isfinite(g.discharge) && g.discharge >= 0.0,
                "a finite stage and a discharge of 0 or more");
        require(std::isnan(g.sigma) || (std::isfinite(g.sigma) && g.sigma >= 0.0),
                "no uncertainty, or one of 0 or more");
        if (has_date(g))
            require(parse_date_time(g.date, false) == g.time, "a date read as written");
    }
    for (const LineNumber line : s.skipped_lines)
        require(line >= file.header_line, "skipped rows from the header on");
    if (s.refused)
        check_error(*s.refused, &file);
}

int read_and_check(const std::string &input)
{
    const std::size_t n = input.size();
    ReadOptions options;
    options.delimiter = "\0,;\t"[n % 4];
    options.decimal_comma = n / 4 % 2 == 1;
    options.uncertainty_unit = static_cast<UncertaintyUnit>(n / 8 % 3);
    if (n / 24 % 2 == 1) {
        options.from = "1990-01-01";
        options.to = "2010-12-31 12:00";
    }
    const Result<GaugingFile> read = read_gauging_text(input, "input.csv", options);
    if (!read) {
        check_error(read.error(), nullptr);
        return 1;
    }
    const GaugingFile &file = read.value();
    require(file.has_station_column || file.stations.size() == 1, "one station without a station column");
    const auto rows = static_cast<std::size_t>(
        std::count_if(input.begin(), input.end(), [](char ch) { return ch == '\n' || ch == '\r'; }));

    require(file.stations.size() <= rows + 1, "no more stations than rows");
    const std::optional<long long> from = parse_date_time(options.from, false);
    const std::optional<long long> to = parse_date_time(options.to, true);
    bool all_read = true;
    for (const Station &s : file.stations) {
        check_station(file, s);
        for (const Gauging &g : s.gaugings)
            require(!from || (has_date(g) && g.time >= *from && g.time <= *to),
                    "only dated gaugings within the period");
        require(!file.has_station_column || !s.id.empty(), "every station of a station column has an id");
        const Result<Station> picked = pick_station(file, s.id);
        require(picked.ok() != s.refused.has_value(), "a station picked unless refused");
        all_read = all_read && picked.ok();
    }
    const Result<Station> only = pick_station(file, "");
    require(only.ok() == (file.stations.size() == 1 && !file.stations[0].refused),
            "the only station picked without --site");
    if (!only)
        check_error(only.error(), nullptr);
    return all_read ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 2) {
        std::fprintf(stderr, "usage: fuzz_harness_gaugings [INPUT]\n");
        return 2;
    }

#ifdef __AFL_HAVE_MANUAL_CONTROL
    __AFL_INIT();
#endif

    std::string input;
    std::FILE *f = argc == 2 ? std::fopen(argv[1], "rb") : stdin;
    if (f == nullptr || !slurp(f, input)) {
        std::fprintf(stderr, "fuzz_harness_gaugings: cannot read the input\n");
        return 2;
    }
    if (f != stdin)
        std::fclose(f);
    return read_and_check(input);
}
