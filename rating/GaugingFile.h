// Reading gaugings as hydrologists keep them: a CSV export of a database or a
// USGS NWIS field-measurement file (rdb), one station or a whole network.
//
// A CSV file has a header row, optionally after '#' comment lines, fields
// quoted as RFC 4180 quotes them, UTF-8 with or without a byte order mark and
// either line end. An NWIS file is the same with tabs, recognised by the line
// of column formats ("5s 15s 19d ...") after its header. Columns are found by
// name; a row is refused with its line and column, and a refused row stops
// only its own station.
#ifndef RATING_GAUGINGFILE_H
#define RATING_GAUGINGFILE_H

#include "Error.h"
#include "Gauging.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rating {

// How an uncertainty column gives the discharge's uncertainty: one standard
// deviation in discharge units, or per cent of the discharge at one or at
// two standard deviations.
enum class UncertaintyUnit { sd, percent_sd, percent_95 };

enum class FileFormat { csv, nwis };

struct ReadOptions {
    char delimiter = 0;  // 0: the one of , ; tab occurring most often in the header line (comma on a tie)
    bool decimal_comma = false;
    // Column names, matched without regard to case; empty: the first of the
    // usual names that the header has.
    std::string stage, discharge, date, uncertainty, active, station, station_name;
    UncertaintyUnit uncertainty_unit = UncertaintyUnit::sd;
    std::string from, to;  // the period kept: ISO date or date-time; empty = open
};

struct GaugingFile {
    std::string path;  // as named in messages
    FileFormat format = FileFormat::csv;
    bool has_station_column = false;
    bool has_date_column = false;
    bool has_uncertainty_column = false;
    LineNumber header_line = 0;
    // In order of first appearance; one Station with an empty id when the
    // file has no station column.
    std::vector<Station> stations;
};

// Errors of the file itself (unreadable, not a regular file, no header, no
// stage or discharge column, a named column the header lacks, a row without
// a station id or one that ends before it, a quoted field never closed, a
// bad period) are returned as an Error. A refused row is kept in its
// station's `refused` (the first one), and that station's later rows are not
// read.
Result<GaugingFile> read_gauging_file(const std::string &path, const ReadOptions &options);

// The same for the bytes of a file already in memory; `path` names it in
// messages.
Result<GaugingFile> read_gauging_text(std::string_view text, const std::string &path, const ReadOptions &options);

// The station `site`, or the only one when site is empty. Refused: several
// stations and no site (the message names the first ten and the count), a
// site for a file without a station column, an unknown site, and the
// station's refused row.
Result<Station> pick_station(const GaugingFile &file, const std::string &site);
// The same, taking the station out of the file rather than copying it.
Result<Station> pick_station(GaugingFile &&file, const std::string &site);

// A date (YYYY-MM-DD) or date-time (YYYY-MM-DD hh:mm or hh:mm:ss, with 'T' or
// a space before the time, any fraction of a second dropped) as seconds since
// 1970-01-01 00:00 of its own clock; `end_of_day` makes a date alone mean its
// last second. Nothing when the text is no such date.
std::optional<long long> parse_date_time(std::string_view text, bool end_of_day);

}  // namespace rating

#endif
