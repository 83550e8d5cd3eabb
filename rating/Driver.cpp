#include "Driver.h"

#include "Kvutil.h"
#include "LeastSquares.h"
#include "Model.h"
#include "Optimise.h"
#include "Report.h"
#include "ResultFile.h"
#include "Sort2.h"
#include "TextInput.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <utility>
#include <vector>

char Directory[kBufferSize];
char Inputfile[kBufferSize];
char Title[kBufferSize];
char Shorttitle[kBufferSize];
int Jdefault = 0;
int Nout = 0;
double Spacing = 0.0;
double *x = nullptr;
int iter = 0;
double fret = 0.0;
long Tstart = 0;
long Tend = 0;

namespace {

const char *const kControlFile = "Control.dat";
const char *const kSettingsFile = "Settings.dat";
const char *const kSourceFile = "Source.plt";
constexpr int kMaxListedStages = kMaxIntervals - 1;

LineNumber jdefault_line = 0;  // where Jdefault and nu stand in Settings.dat, for messages
LineNumber nu_line = 0;

// The observations as read, in file order, with their lines.
std::vector<double> stages_as_read;
std::vector<LineNumber> lines_as_read;

[[noreturn]] void cannot_open(const char *path)
{
    std::printf("\nUnable to open file %s\n", path);
    std::printf("\nPaused: ");
    std::fflush(stdout);
    std::getchar();
    std::exit(-1);
}

// A stage of the result table as text.
struct StageText {
    char text[32];
    bool equals(const StageText &other) const { return std::strcmp(text, other.text) == 0; }
};

StageText stage_text(double stage, int digits)
{
    StageText t;
    std::snprintf(t.text, sizeof t.text, "%.*g", digits, stage);
    return t;
}

// The stage with the fewest significant digits, from `least` up to 17, at
// which it differs from each neighbour given, the neighbours written with as
// many digits.
StageText distinct_stage_text(double stage, const double *below, const double *above, int least)
{
    constexpr int kMostDigits = 17;
    for (int digits = least; digits < kMostDigits; digits++) {
        const StageText t = stage_text(stage, digits);
        if ((below == nullptr || !t.equals(stage_text(*below, digits))) &&
            (above == nullptr || !t.equals(stage_text(*above, digits))))
            return t;
    }
    return stage_text(stage, kMostDigits);
}

// What the result table showed beyond its rows.
struct TableNotes {
    long long clamped_rows = 0;   // rows whose model value had no discharge as it stood
    StageRanges below_zero;       // stages where Q^nu is below 0, written with the floor's discharge (nu above 0)
    StageRanges no_discharge;     // stages written as nan (negative nu)
    StageRanges decreasing;       // stages where the written discharge falls as the stage rises
};

TableNotes table_notes;

// Serialises the runs on one data set; taken before an interrupted commit of
// an earlier run is recovered, held until the process ends.
ResultLock data_set_lock;
constexpr double kLockPatience = 60.0;  // seconds

// The least-squares curve, and whether the result table is written from it
// rather than from the minimiser's c.
SplineFit exact_fit;
bool write_least_squares = false;
double stopped_short_by = 0.0;  // per cent of the least sum of squares

// Copies at most kBufferSize - 1 characters.
void copy_cut(char *dest, const std::string &text)
{
    const std::size_t n = text.size() < kBufferSize - 1 ? text.size() : kBufferSize - 1;
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

bool is_blank(const std::string &text)
{
    for (const char ch : text)
        if (!std::isspace(static_cast<unsigned char>(ch)))
            return false;
    return true;
}

std::string format_g(const char *format, double a, double b, double c)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// "<Directory>/<Inputfile>.<extension>"; read_control has made sure it fits
// the 199 characters of a path.
std::string data_set_path(const char *extension)
{
    return std::string(Directory) + "/" + Inputfile + "." + extension;
}

// Loads Control.dat, Settings.dat or the data file: one that cannot be
// opened is reported and ends the run after a pause with exit code -1; a
// folder, device or pipe in its place is refused.
void load_input(const char *path, TextFile &tf)
{
    const int why = load_text(path, tf);
    if (why == kIsFolder || why == kNotRegularFile)
        file_error(path, load_failure(why));
    if (why != 0)
        cannot_open(path);
}

// Reads one setting and throws away the rest of its line; returns its line.
LineNumber read_setting(TextFile &tf, double &value, const char *what)
{
    if (!read_double(tf, value))
        input_error(tf.name, tf.line, std::string("expected ") + what);
    const LineNumber line = tf.line;
    skip_rest_of_line(tf);
    return line;
}

LineNumber read_setting(TextFile &tf, int &value, const char *what)
{
    if (!read_int(tf, value))
        input_error(tf.name, tf.line, std::string("expected ") + what + " (a whole number)");
    const LineNumber line = tf.line;
    skip_rest_of_line(tf);
    return line;
}

void read_listed_knots(TextFile &tf)
{
    std::vector<double> stages;
    std::vector<LineNumber> lines;
    double v;
    if (!read_double(tf, v))
        input_error(tf.name, tf.line, "expected the first knot stage");
    stages.push_back(v);
    lines.push_back(tf.line);
    skip_rest_of_line(tf);
    while (skip_space(tf)) {
        const LineNumber line = tf.line;
        if (!read_double(tf, v))
            input_error(tf.name, line, "expected a knot stage");
        stages.push_back(v);
        lines.push_back(line);
    }

    if (std::fabs(stages.front() - h[1]) < 0.01) {
        std::printf("\n\nKnots file contains lowest stage - please delete first entry %g\n", stages.front());
        std::exit(1);
    }
    if (std::fabs(stages.back() - h[N]) < 0.01) {
        std::printf("\n\nKnots file contains highest stage - please delete last entry %g\n", stages.back());
        std::exit(1);
    }
    if (stages.size() > static_cast<std::size_t>(kMaxListedStages))
        input_error(tf.name, lines[kMaxListedStages], "more than 97 knot stages");
    for (std::size_t k = 0; k < stages.size(); k++) {
        if (!std::isfinite(stages[k]))
            input_error(tf.name, lines[k], "the knot stage is not a finite number");
        if (k > 0 && !(stages[k] > stages[k - 1]))
            input_error(tf.name, lines[k], "the knot stages must be strictly ascending");
        if (!(stages[k] > h[1] && stages[k] < h[N]))
            input_error(tf.name, lines[k],
                        format_g("the knot stage %g lies outside the observed stages %g to %g",
                                 stages[k], h[1], h[N]));
    }

    list_knots(stages.data(), static_cast<int>(stages.size()));
}

} // namespace

void read_control()
{
    TextFile tf;
    load_input(kControlFile, tf);
    const std::string folder = read_word(tf);
    const LineNumber folder_line = tf.line;
    const std::string name = read_word(tf);
    if (name.empty())
        input_error(tf.name, tf.line, "expected two words: the folder and the name of the data set");
    if (folder.size() > kBufferSize - 1)
        input_error(tf.name, folder_line, "the folder is longer than 199 characters");
    if (name.size() > kBufferSize - 1)
        input_error(tf.name, tf.line, "the name of the data set is longer than 199 characters");
    // ".knots" makes the longest of the data set's paths.
    if (folder.size() + name.size() + 7 > kBufferSize - 1)
        file_error(tf.name, "the path " + folder + "/" + name + ".knots is longer than 199 characters");
    copy_cut(Directory, folder);
    copy_cut(Inputfile, name);
}

void read_settings()
{
    TextFile tf;
    load_input(kSettingsFile, tf);
    skip_rest_of_line(tf);
    nu_line = read_setting(tf, nu, "the exponent nu");
    jdefault_line = read_setting(tf, Jdefault, "the default number of intervals Jdefault");
    const LineNumber m_line = read_setting(tf, M, "the polynomial degree M");
    const LineNumber nout_line = read_setting(tf, Nout, "the number of output steps Nout");
    const LineNumber spacing_line = read_setting(tf, Spacing, "the exponent of the output spacing Spacing");

    if (!std::isfinite(nu) || nu == 0.0)
        input_error(tf.name, nu_line, "the exponent nu must be a finite number other than 0");
    if (M < 1 || M > 3)
        input_error(tf.name, m_line, "the polynomial degree M must be 1, 2 or 3");
    if (Nout < 1)
        input_error(tf.name, nout_line, "the number of output steps Nout must be at least 1");
    if (!std::isfinite(Spacing) || !(Spacing > 0.0))
        input_error(tf.name, spacing_line, "the exponent Spacing must be a finite number above 0");
}

void read_observations()
{
    const std::string path = data_set_path("dat");
    TextFile tf;
    load_input(path.c_str(), tf);

    const std::string first = take_rest_of_line(tf);
    copy_cut(Title, first);
    copy_cut(Shorttitle, first.size() > 2 ? first.substr(2) : std::string());
    std::printf("\n%s", Shorttitle);

    std::vector<double> &stages = stages_as_read;
    std::vector<double> discharges;
    stages.clear();
    lines_as_read.clear();
    while (!at_end(tf)) {
        const LineNumber line = tf.line;
        const std::string text = take_rest_of_line(tf);
        if (is_blank(text))
            continue;
        double hv = 0.0;
        double qv = 0.0;
        const char *end = nullptr;
        if (!scan_number(text.c_str(), hv, &end) || !scan_number(end, qv, &end))
            input_error(tf.name, line, "expected a stage and a discharge");
        if (!std::isfinite(hv))
            input_error(tf.name, line, "the stage is not a finite number");
        if (!std::isfinite(qv))
            input_error(tf.name, line, "the discharge is not a finite number");
        if (qv < 0.0)
            input_error(tf.name, line, "the discharge is negative");
        if (qv == 0.0 && nu < 0.0)
            input_error(tf.name, line, "a discharge of 0 cannot be raised to the negative power nu");
        if (stages.size() >= static_cast<std::size_t>(INT_MAX / 2))
            input_error(tf.name, line, "too many observations");
        stages.push_back(hv);
        discharges.push_back(qv);
        lines_as_read.push_back(line);
    }
    if (stages.empty())
        file_error(tf.name, "no observations: expected lines of a stage and a discharge after the title line");

    N = static_cast<int>(stages.size());
    h = dvector(1, N);
    Q = dvector(1, N);
    Qnu = dvector(1, N);
    I = ivector(1, N);
    for (int i = 1; i <= N; i++) {
        h[i] = stages[i - 1];
        Q[i] = discharges[i - 1];
    }
    sort2(N, h, Q);
    hmin = h[1];
    hmax = h[N];
    hrange = hmax - hmin;
}

void place_knots()
{
    const std::string path = data_set_path("knots");
    TextFile tf;
    const int why = load_text(path.c_str(), tf);
    if (why != 0 && why != ENOENT)
        file_error(path, "the knots file cannot be read: " + load_failure(why));
    const bool have_file = why == 0;
    LineNumber mode_line = jdefault_line;
    if (have_file) {
        skip_rest_of_line(tf);
        if (!read_int(tf, Jknot))
            input_error(tf.name, tf.line,
                        "expected the knot mode: a negative whole number when knot stages follow, "
                        "or the number of intervals");
        mode_line = tf.line;
        skip_rest_of_line(tf);
        if (Jknot == 0)
            input_error(tf.name, mode_line, "a knot mode of 0 asks for no intervals");
    } else {
        Jknot = Jdefault;
        std::printf("\n\nNo knots file - proceed with default knots");
        if (Jdefault < 1 || Jdefault > kMaxIntervals)
            input_error(kSettingsFile, jdefault_line, "the default number of intervals Jdefault must be 1 to 98");
    }

    if (Jknot < 0) {
        read_listed_knots(tf);
    } else {
        const std::string source = have_file ? tf.name : std::string(kSettingsFile);
        if (Jknot > kMaxIntervals)
            input_error(source, mode_line, "more than 98 intervals");
        if (Jknot > N)
            input_error(source, mode_line,
                        std::to_string(Jknot) + " intervals need at least as many observations, but there are only " +
                            std::to_string(N));
        place_automatic();
    }
    complete_knots();
}

std::vector<LineNumber> gauging_lines()
{
    // The paired sort moves pairs by their keys alone, so the same stages
    // with the positions as companions take the same way as h and Q did.
    double *keys = dvector(1, N);
    double *where = dvector(1, N);
    for (int i = 1; i <= N; i++) {
        keys[i] = stages_as_read[static_cast<std::size_t>(i - 1)];
        where[i] = i - 1;
    }
    sort2(N, keys, where);
    std::vector<LineNumber> lines(static_cast<std::size_t>(N) + 1, 0);
    for (int i = 1; i <= N; i++)
        lines[static_cast<std::size_t>(i)] = lines_as_read[static_cast<std::size_t>(where[i])];
    free_dvector(where, 1, N);
    free_dvector(keys, 1, N);
    return lines;
}

void transform_discharges()
{
    for (int i = 1; i <= N; i++)
        Qnu[i] = std::pow(Q[i], nu);

    char text[400];
    for (int i = 1; i <= N; i++) {
        if (std::isfinite(Qnu[i]))
            continue;
        const LineNumber line = gauging_lines()[static_cast<std::size_t>(i)];
        std::snprintf(text, sizeof text,
                      "with nu = %g the discharge %g on line %lld of %s gives Q^nu = %g, which cannot be fitted; "
                      "expected an exponent nu that keeps Q^nu finite",
                      nu, Q[i], line, data_set_path("dat").c_str(), Qnu[i]);
        input_error(kSettingsFile, nu_line, text);
    }
    bool same_discharges = true;
    bool same_transformed = true;
    for (int i = 2; i <= N; i++) {
        same_discharges = same_discharges && Q[i] == Q[1];
        same_transformed = same_transformed && Qnu[i] == Qnu[1];
    }
    if (same_transformed && !same_discharges) {
        std::snprintf(text, sizeof text,
                      "with nu = %g every discharge gives the same Q^nu = %g, which cannot be fitted; "
                      "expected an exponent nu that keeps the discharges apart",
                      nu, Qnu[1]);
        input_error(kSettingsFile, nu_line, text);
    }
}

void fit_curve()
{
    if (x != nullptr)
        free_dvector(x, 1, NN);
    x = dvector(1, NN);
    double **A = dmatrix(1, NN, 1, NN);
    for (int i = 1; i <= NN; i++) {
        x[i] = 0.0;
        for (int k = 1; k <= NN; k++)
            A[i][k] = 0.0;
        A[i][i] = 1.0;
    }
    Powell(x, A, NN, 1e-16, &iter, &fret, Eqn);
    free_dmatrix(A, 1, NN, 1, NN);
    Transfer(x);
    Continuity();
}

void write_source_plt(std::FILE *out)
{
    write_result(out, "# Control file for single plots\n");
    write_result(out, "\nName=\"%s\"", Inputfile);
    write_result(out, "\nFolder=\"%s\"", Directory);
}

double table_stage(long i)
{
    return std::pow(static_cast<double>(i) / Nout, Spacing) * hrange + hmin;
}

double curve_value(double stage)
{
    return write_least_squares ? spline_value(exact_fit, stage) : P(stage);
}

double discharge_of(double value)
{
    return table_discharge(nu, value);
}

void write_result_table(std::FILE *out)
{
    write_result(out, "%s", Title);
    write_result(out, "\n# Computed rating curve");
    write_result(out, "\n# h ");
    write_result(out, "nu =%6.3f ", nu);
    write_result(out, "\n");

    table_notes = TableNotes();
    // Each stage is written within 1e-3 of the stage range of its value, with
    // five significant digits where they reach that, and apart from its
    // neighbours.
    const double tolerance = 1e-3 * hrange;
    double below = 0.0;
    double stage = table_stage(0);
    double above = 0.0;
    StageText text_below{};
    StageText text = stage_text(stage, 5);
    StageText text_above{};
    double Q_below = 0.0;  // as written
    bool clamped_below = false;
    for (long i = 0; i <= Nout; i++) {
        const bool last = i == Nout;
        if (!last) {
            above = table_stage(i + 1);
            text_above = stage_text(above, 5);
        }
        const bool five = std::fabs(std::strtod(text.text, nullptr) - stage) <= tolerance;
        const int digits = five ? 5 : stage_digits(stage, 6, tolerance);
        const StageText own = five ? text : stage_text(stage, digits);
        const bool clash_below = i > 0 && own.equals(five ? text_below : stage_text(below, digits));
        const bool clash_above = !last && own.equals(five ? text_above : stage_text(above, digits));
        const StageText written = clash_below || clash_above
                                      ? distinct_stage_text(stage, i > 0 ? &below : nullptr,
                                                            last ? nullptr : &above, digits + 1)
                                      : own;

        const double t1 = curve_value(stage);
        const double Qout = discharge_of(t1);
        const bool clamped = nu > 0.0 ? t1 < 0.0 : !(t1 > 0.0);
        if (clamped) {
            table_notes.clamped_rows++;
            // One range for the rows that follow one another.
            rating::add_range(nu > 0.0 ? table_notes.below_zero : table_notes.no_discharge,
                          i > 0 && clamped_below ? below : stage, stage);
        }
        char discharge[32];
        std::snprintf(discharge, sizeof discharge, "%.5g", Qout);
        const double Q_written = std::strtod(discharge, nullptr);
        if (i > 0 && Q_written < Q_below)
            rating::add_range(table_notes.decreasing, below, stage);
        write_result(out, "\n%s\t%s", written.text, discharge);

        below = stage;
        text_below = text;
        Q_below = Q_written;
        clamped_below = clamped;
        stage = above;
        text = text_above;
    }
}

void write_plot_settings(std::FILE *out)
{
    write_result(out, "Title = \"%s\"", Shorttitle);
    if (Jknot < 0) {
        std::printf("\n\nKnot points from file: %d intervals\n", J);
        write_result(out, "\nSpline_label = ' - sploines: %d intervals, knot stages from file'", J);
    } else {
        std::printf("\n\nKnot points automatic: %d intervals\n", J);
        write_result(out, "\nSpline_label = ' - splines: %d intervals, knot stages automatic'", J);
    }
    // Three significant digits, or as many more as bring the stage within
    // 1e-3 of the stage range, as the table's stages.
    write_result(out, "\nhmin = %.*g", stage_digits(h[1], 3, 1e-3 * hrange), h[1]);
    write_result(out, "\nhmax = %.*g", stage_digits(h[N], 3, 1e-3 * hrange), h[N]);
    write_result(out, "\nQmin = %.5g", Q[1]);
    write_result(out, "\nQmax = %.5g", Q[N]);
}

void finish_run()
{
    Tend = static_cast<long>(std::clock());
    std::printf("\nCPU time %6.2f sec\n", static_cast<double>(Tend - Tstart) / CLOCKS_PER_SEC);
    std::printf("\nPaused: Hit enter");
    std::fflush(stdout);
    std::getchar();
}

void solve_least_squares()
{
    fit_spline(&h[1], &Qnu[1], N, &Y[1], J, M, exact_fit);
}

const SplineFit &least_squares_fit()
{
    return exact_fit;
}

bool choose_written_curve(Solver solver)
{
    stopped_short_by = 0.0;
    write_least_squares = solver == Solver::exact;
    if (write_least_squares)
        return false;
    if (!exact_fit.determined)
        return false;
    // The minimiser stops when a whole sweep leaves its sum of squares
    // unchanged, which can happen short of the optimum of this linear
    // problem; a shortfall above 1e-12 of the spread of Q^nu is not rounding.
    // A minimiser's sum at the level of rounding (at most 1e-24 of the sum of
    // the squared Q^nu, scaled by the largest, or every Q^nu the same) means
    // its curve passes through the gaugings: nothing to compare.
    double mean = 0.0;
    double scale = 0.0;
    bool same = true;
    for (int i = 1; i <= N; i++) {
        mean += Qnu[i];
        scale = std::max(scale, std::fabs(Qnu[i]));
        same = same && Qnu[i] == Qnu[1];
    }
    mean /= N;
    if (same)
        return false;
    double spread = 0.0;
    double squares = 0.0;
    for (int i = 1; i <= N; i++) {
        spread += (Qnu[i] - mean) * (Qnu[i] - mean);
        squares += (Qnu[i] / scale) * (Qnu[i] / scale);
    }
    if (fret / scale / scale <= 1e-24 * squares)
        return false;
    if (!(fret - exact_fit.sse > 1e-12 * spread))
        return false;
    write_least_squares = true;
    stopped_short_by = 100.0 * (fret - exact_fit.sse) / exact_fit.sse;
    return true;
}

ReportInput report_input(bool exact_solver, bool replaced)
{
    ReportInput in;
    in.data_file = data_set_path("dat");
    in.results_file = data_set_path("res");
    in.title = Shorttitle;
    in.nu = nu;
    in.degree = M;
    in.listed_knots = Jknot < 0;
    in.knots.assign(&Y[1], &Y[J + 2]);
    in.exact_solver = exact_solver;
    in.replaced = replaced;
    const std::vector<LineNumber> lines = gauging_lines();
    in.lines.assign(lines.begin() + 1, lines.end());
    in.h.assign(&h[1], &h[N + 1]);
    in.Q.assign(&Q[1], &Q[N + 1]);
    in.Qnu.assign(&Qnu[1], &Qnu[N + 1]);
    in.interval.assign(&I[1], &I[N + 1]);
    for (const double stage : in.h) {
        in.fitted.push_back(curve_value(stage));
        in.fitted_discharge.push_back(discharge_of(in.fitted.back()));
    }
    in.p = exact_fit.unknowns;
    in.sse_optimum = exact_fit.sse;
    in.determined = exact_fit.determined;
    in.undetermined = exact_fit.undetermined;
    if (!exact_solver)
        in.minimiser_sse = fret;
    for (long i = 0; i <= Nout; i++) {
        ReportRow row;
        row.stage = table_stage(i);
        row.value = curve_value(row.stage);
        row.leverage = spline_leverage(exact_fit, row.stage);
        if (!exact_solver && exact_fit.determined) {
            row.best_discharge = discharge_of(spline_value(exact_fit, row.stage));
            row.minimiser_discharge = discharge_of(P(row.stage));
        }
        in.rows.push_back(row);
    }
    in.clamped_rows = table_notes.clamped_rows;
    in.decreasing = table_notes.decreasing;
    return in;
}

ReportFiles open_report_files()
{
    ReportFiles files;
    files.gaugings = open_result(data_set_path("gaugings.csv"));
    files.band = open_result(data_set_path("band.csv"));
    files.summary = open_result(data_set_path("summary.json"));
    files.text = open_result(data_set_path("report.txt"));
    return files;
}

void write_report(const ReportFiles &files, bool exact_solver, bool replaced, const std::string &results_sha256)
{
    ReportInput in = report_input(exact_solver, replaced);
    in.results_sha256 = results_sha256;
    const FitFigures figures = figure_fit(in);
    write_gaugings_csv(files.gaugings, in, figures);
    // A band file left from an earlier run would stand beside this curve.
    if (figures.band)
        write_band_csv(files.band, in, figures);
    else
        remove_result(files.band);
    write_summary_json(files.summary, in, figures);
    write_report_text(files.text, in, figures);
}

void lock_data_set()
{
    const std::string data = data_set_path("dat");
    data_set_lock = lock_results(data, kLockPatience, [&data] {
        std::printf("\nWaiting for another run on %s to end\n", data.c_str());
        std::fflush(stdout);
    });
    if (data_set_lock.error == ETIMEDOUT)
        file_error(data, "another run on this data set has kept it locked for more than a minute; try again when "
                         "that run has ended");
    // Any other reason not to lock the data file stops the run when it is read.
    const std::string journal = data_set_path("journal");
    const FileFailure failure = recover_commit(journal);
    if (failure.error != 0) {
        std::printf("\nUnable to complete the interrupted commit recorded in %s: %s: %s\n", journal.c_str(),
                    failure.name.c_str(), std::strerror(failure.error));
        std::exit(1);
    }
    use_commit_journal(journal);
}

int run(const RunOptions &options)
{
    protect_results();
    Tstart = static_cast<long>(std::clock());
    read_control();
    read_settings();
    lock_data_set();
    // Every result file is opened before its content is made, so that one
    // that cannot be written is known before the work is done; none is put
    // in place before the whole run has succeeded.
    std::FILE *source = open_result(kSourceFile);
    write_source_plt(source);
    read_observations();
    place_knots();
    std::FILE *table = open_result(data_set_path("res"));
    std::FILE *settings = open_result(data_set_path("plt"));
    const ReportFiles report = options.report ? open_report_files() : ReportFiles();
    transform_discharges();
    if (options.solver == Solver::minimiser)
        fit_curve();
    solve_least_squares();
    if (options.solver == Solver::exact && !exact_fit.determined)
        file_error(data_set_path("dat"), "the gaugings do not determine the curve " +
                                             ranges_text("between stages %g and %g", "at stage %g", exact_fit.undetermined) +
                                             ": use fewer intervals or other knots");
    const bool replaced = choose_written_curve(options.solver);
    write_result_table(table);
    write_plot_settings(settings);
    if (replaced)
        std::printf("\nMinimiser stopped short of the least-squares fit (sum of squares %.3g%% above it): "
                    "least-squares curve written\n",
                    stopped_short_by);
    if (!exact_fit.determined)
        for (const auto &range : exact_fit.undetermined) {
            if (range.first == range.second)
                std::printf("\nWarning: the gaugings do not determine the curve at stage %g\n", range.first);
            else
                std::printf("\nWarning: the gaugings do not determine the curve between stages %g and %g\n",
                            range.first, range.second);
        }
    const char *const stages = "stages %g to %g";
    if (!table_notes.no_discharge.empty())
        std::printf("\nNo discharge where the curve's Q^nu is not above 0 (nu is negative): rows at %s written as "
                    "nan\n",
                    ranges_text(stages, "stage %g", table_notes.no_discharge).c_str());
    if (!table_notes.below_zero.empty())
        std::printf("\nWarning: the curve's Q^nu is below 0 at %s: those rows are written as %.3g\n",
                    ranges_text(stages, "stage %g", table_notes.below_zero).c_str(), discharge_of(-1.0));
    if (!table_notes.decreasing.empty())
        std::printf("\nWarning: the discharge falls with rising stage at %s\n",
                    ranges_text(stages, "stage %g", table_notes.decreasing).c_str());
    if (options.report)
        write_report(report, options.solver == Solver::exact, replaced, result_sha256(table));
    commit_results();
    finish_run();
    return 0;
}
