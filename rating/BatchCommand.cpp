#include "BatchCommand.h"

#include "CommandOutput.h"
#include "FitCommand.h"
#include "FitOutput.h"
#include "ResultFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using rating::Error;
using rating::Result;

// What became of one station: its summary row, and its files until written.
struct Outcome {
    bool done = false;
    bool ok = false;
    std::string message;
    rating::FitResult fit;
    StationOutput output;
};

std::string one_line(const Error &e)
{
    std::string text = rating::error_text(e);
    const std::string prefix = "\nError in ";
    if (text.compare(0, prefix.size(), prefix) == 0)
        text.erase(0, prefix.size());
    else if (text.compare(0, 8, "\nError: ") == 0)
        text.erase(0, 8);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

void add_number(std::string &row, double v)
{
    if (!std::isfinite(v))
        return;
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v, std::chars_format::general, 10).ptr;
    row.append(text, end);
}

// A CSV text field, quoted when it must be.
void add_text(std::string &row, const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        row += text;
        return;
    }
    row += '"';
    for (const char ch : text) {
        if (ch == '"')
            row += '"';
        row += ch;
    }
    row += '"';
}

std::string summary_row(const rating::Station &station, const Outcome &o)
{
    std::string row;
    add_text(row, station.id);
    row += ',';
    add_text(row, station.name);
    row += ',' + std::to_string(station.gaugings.size()) + ',' + std::to_string(rating::count_active(station.gaugings));
    if (!o.ok) {
        row += ",,,,,,,,,,,,,,,failed,";
        add_text(row, o.message);
        return row + '\n';
    }
    const rating::Curve &c = o.fit.curve;
    const FitFigures &f = o.output.figures;
    row += ',';
    add_text(row, c.period_first);
    row += ',';
    add_text(row, c.period_last);
    for (const double v : {c.stage_range.first, c.stage_range.second, c.nu}) {
        row += ',';
        add_number(row, v);
    }
    row += ',' + std::to_string(rating::intervals_of(c)) + ',' + std::to_string(c.p);
    for (const double v : {f.standard_error_pct, c.selection.cv_se_pct, f.max_abs_deviation_pct}) {
        row += ',';
        add_number(row, v);
    }
    row += ',' + std::to_string(f.outliers);
    for (const double v : {f.sign_test_p, f.runs_test_p}) {
        row += ',';
        add_number(row, v);
    }
    row += o.fit.constrained ? ",true" : ",false";
    return row + ",ok,\n";
}

// One commit, with its journal beside the files (an interrupted one of an
// earlier run recovered first).
void write_files(const std::string &dir, const std::string &journal, const std::vector<OutputFile> &files)
{
    const std::string refused = take_journal(dir + "/" + journal);
    if (!refused.empty()) {
        std::fputs(refused.c_str(), stderr);
        std::exit(1);
    }
    for (const OutputFile &f : files) {
        std::FILE *stream = open_result(dir + "/" + f.name);
        if (std::fwrite(f.content.data(), 1, f.content.size(), stream) != f.content.size())
            result_write_failed(stream);
    }
    commit_results();
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int batch_command(int argc, char **argv)
{
    CLI::App app("Fits a rating curve to every station of a CSV or NWIS field-measurement file, on all cores.",
                 "rating batch");
    FitOptions options;
    std::string file;
    std::string out = ".";
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    bool summary_only = false;
    app.add_option("FILE", file, "the gauging file")->required();
    app.add_option("--out", out, "the folder the results go to (default: the current folder)");
    app.add_option("--jobs", jobs, "threads fitting at once (default: all cores)")->check(CLI::Range(1u, 1024u));
    app.add_flag("--summary-only", summary_only, "write summary.csv only, no files per station");
    add_fit_options(app, options);
    rating::FitSettings settings;
    const int parsed = parse_fit_command(app, options, argc, argv, "rating batch", settings);
    if (parsed >= 0)
        return parsed;
    const auto start = std::chrono::steady_clock::now();
    const Result<rating::GaugingFile> read = rating::read_gauging_file(file, options.read);
    if (!read) {
        std::fputs(rating::error_text(read.error()).c_str(), stderr);
        return read.error().exit_code;
    }
    const rating::GaugingFile &gaugings = read.value();
    if (!gaugings.has_station_column) {
        std::fputs(rating::error_text(rating::file_error_value(
                                          file, "expected a station column (station, station_number, site_no or id, "
                                                "or one named with --station)"))
                       .c_str(),
                   stderr);
        return 1;
    }
    const std::vector<rating::Station> &stations = gaugings.stations;
    std::vector<std::string> names;
    std::map<std::string, std::size_t> first_of_name;
    for (std::size_t i = 0; i < stations.size(); i++) {
        names.push_back(station_file_name(stations[i], file));
        const auto [at, added] = first_of_name.emplace(names.back(), i);
        if (!added) {
            std::fputs(rating::error_text(rating::file_error_value(
                                              file, "the stations '" + stations[at->second].id + "' and '" +
                                                        stations[i].id + "' would both write their files to " + out +
                                                        "/" + names.back() + "/"))
                           .c_str(),
                       stderr);
            return 1;
        }
    }
    const int why = make_folders(out);
    if (why != 0) {
        std::fprintf(stderr, "\nUnable to write file %s: %s\n", out.c_str(), std::strerror(why));
        return 1;
    }
    protect_results();
    const std::string refused = prepare_output(out, out + "/summary.csv.journal");
    if (!refused.empty()) {
        std::fputs(refused.c_str(), stderr);
        return 1;
    }

    // Workers fit the stations in turn; this thread writes each station's
    // files as they come, so that only the stations in flight hold theirs.
    std::vector<Outcome> outcomes(stations.size());
    std::mutex mutex;
    std::condition_variable finished;
    std::condition_variable room;
    std::atomic<std::size_t> next{0};
    std::size_t consumed = 0;  // stations this thread has taken over; under mutex
    const std::size_t window = 4 * static_cast<std::size_t>(jobs) + 16;
    const auto work = [&]() {
        for (std::size_t i; (i = next++) < stations.size();) {
            {
                // Only so many stations ahead of the writer hold their files.
                std::unique_lock<std::mutex> lock(mutex);
                room.wait(lock, [&] { return i < consumed + window; });
            }
            Outcome o;
            const rating::Station &s = stations[i];
            if (s.refused) {
                o.message = one_line(*s.refused);
            } else {
                Result<rating::FitResult> fit = rating::fit_station(s, settings);
                if (!fit) {
                    o.message = one_line(fit.error());
                } else {
                    o.ok = true;
                    o.fit = std::move(fit).value();
                    o.output = station_output(names[i], file, o.fit, settings, !summary_only);
                }
            }
            o.done = true;
            std::lock_guard<std::mutex> lock(mutex);
            outcomes[i] = std::move(o);
            finished.notify_one();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < std::min<std::size_t>(jobs, std::max<std::size_t>(stations.size(), 1)); t++)
        threads.emplace_back(work);

    const bool progress = isatty(fileno(stderr)) != 0;
    std::size_t written = 0;
    std::size_t failed = 0;
    bool shown = false;
    std::string summary =
        "station,name,n,n_active,first_date,last_date,stage_min,stage_max,nu,intervals,p,se_pct,cv_se_pct,"
        "max_abs_deviation_pct,outliers,sign_test_p,runs_test_p,constrained,status,message\n";
    std::vector<std::string> failures;
    for (std::size_t i = 0; i < stations.size(); i++) {
        Outcome o;
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return outcomes[i].done; });
            o = std::move(outcomes[i]);
            outcomes[i] = Outcome();
            outcomes[i].done = true;
            consumed = i + 1;
        }
        room.notify_all();
        if (o.ok && !summary_only) {
            const std::string dir = out + "/" + names[i];
            const int folder = make_folders(dir);
            if (folder != 0) {
                std::fprintf(stderr, "\nUnable to write file %s: %s\n", dir.c_str(), std::strerror(folder));
                std::exit(1);
            }
            write_files(dir, names[i] + ".journal", o.output.files);
        }
        summary += summary_row(stations[i], o);
        if (!o.ok) {
            failed++;
            failures.push_back(stations[i].id);
        }
        written++;
        const double elapsed = seconds_since(start);
        if (progress && elapsed > 1.0 && (written % 64 == 0 || written == stations.size())) {
            const double rate = written / elapsed;
            std::fprintf(stderr, "\r%zu of %zu stations, %zu failed, %.0f a second, %.0f s left   ", written,
                         stations.size(), failed, rate, (stations.size() - written) / rate);
            shown = true;
        }
    }
    for (std::thread &t : threads)
        t.join();
    if (shown)
        std::fputc('\n', stderr);

    write_files(out, "summary.csv.journal", {{"summary.csv", summary}});

    if (failed > 0) {
        std::string list;
        for (std::size_t k = 0; k < failures.size() && k < 10; k++)
            list += (k == 0 ? "" : ", ") + failures[k];
        std::printf("\n%zu station%s could not be fitted: %s%s (see %s/summary.csv)\n", failed,
                    failed == 1 ? "" : "s", list.c_str(), failed > 10 ? ", ..." : "", out.c_str());
    }
    std::printf("\n%zu stations, %zu failed, in %.2f s\n", stations.size(), failed, seconds_since(start));
    return failed > 0 ? 1 : 0;
}
