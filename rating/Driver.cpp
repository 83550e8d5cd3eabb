#include "Driver.h"

#include "Kvutil.h"
#include "LeastSquares.h"
#include "Model.h"
#include "Optimise.h"
#include "Report.h"
#include "ResultFile.h"
#include "ResultTable.h"
#include "RunInput.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

double *x = nullptr;
int iter = 0;
double fret = 0.0;
long Tstart = 0;
long Tend = 0;
SplineFit exact_fit;
bool write_least_squares = false;

namespace {

// Serialises the runs on one data set; taken before an interrupted commit of
// an earlier run is recovered, held until the process ends.
ResultLock data_set_lock;
constexpr double kLockPatience = 60.0;  // seconds

double stopped_short_by = 0.0;  // per cent of the least sum of squares

// Prints the error of a reader and ends the run with its exit code; after a
// file that cannot be opened the run pauses first.
[[noreturn]] void stop(const rating::Error &error)
{
    std::fputs(rating::error_text(error).c_str(), stdout);
    if (error.kind == rating::ErrorKind::cannot_open) {
        std::printf("\nPaused: ");
        std::fflush(stdout);
        std::getchar();
    }
    std::exit(error.exit_code);
}

void check(const rating::Status &status)
{
    if (!status)
        stop(status.error());
}

} // namespace

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
    check(read_control());
    check(read_settings());
    lock_data_set();
    // Every result file is opened before its content is made, so that one
    // that cannot be written is known before the work is done; none is put
    // in place before the whole run has succeeded.
    std::FILE *source = open_result(kSourceFile);
    write_source_plt(source);
    // The title and the note of the default knots stand before a refusal of
    // a later line.
    const rating::Status observations = read_observations();
    if (observations_opened())
        std::printf("\n%s", Shorttitle);
    check(observations);
    const rating::Status knots = place_knots();
    if (default_knots())
        std::printf("\n\nNo knots file - proceed with default knots");
    check(knots);
    std::FILE *table = open_result(data_set_path("res"));
    std::FILE *settings = open_result(data_set_path("plt"));
    const ReportFiles report = options.report ? open_report_files() : ReportFiles();
    check(transform_discharges());
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
