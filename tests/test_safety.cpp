// The program under careless and hostile use: failed, refused, interrupted
// and killed runs, runs at the same time, a full disk, linked, protected and
// coinciding result files, stale report files, names that are not UTF-8, and
// inputs that are not regular files.
#include "ResultFile.h"
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const kSettings = "Settings\n0.5\n3\n3\n100\n1\n";
const char *const kData = "# Site\n1 1\n1.5 2.2\n2 4.1\n2.5 6.3\n3 9\n3.5 12.1\n4 16\n4.5 20.2\n";

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// Starts the program in dir with standard input closed and its output in
// dir/.stdout; returns its process.
pid_t start_rating(const std::string &dir)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open((dir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(dir.c_str()) != 0 || out < 0)
            _exit(100);
        dup2(out, 1);
        dup2(out, 2);
        close(0);
        execl(RATING_EXE, RATING_EXE, static_cast<char *>(nullptr));
        _exit(101);
    }
    return pid;
}

// Whether a shell command can run as the unprivileged user 65534.
bool can_drop_privileges()
{
    return geteuid() == 0 && run_command("command -v setpriv >/dev/null 2>&1") == 0;
}

// The program in dir as user 65534 (dir must be open to that user).
RunResult run_rating_unprivileged(const std::string &dir)
{
    const std::string out = dir + "/.stdout";
    RunResult r;
    r.status = run_command("cd '" + dir + "' && setpriv --reuid=65534 --regid=65534 --clear-groups '" RATING_EXE
                           "' 0<&- >'" + out + "' 2>&1");
    r.out = read_file(out);
    std::remove(out.c_str());
    return r;
}

} // namespace

TEST(RunSafety, RefusedRunsChangeNoResult)
{
    Gauge g = make_gauge(kSettings, kData);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string source = read_file(g.path("Source.plt"));
    const std::string res = g.res();
    const std::string plt = g.plt();

    for (const auto &[file, content] : std::vector<std::pair<std::string, std::string>>{
             {"gauges/site1.dat", "# Site\n1 1\n2 -4\n3 9\n"},
             {"gauges/site1.knots", "Knots\n-1\n3\n2\n"},
             {"Settings.dat", "Settings\n0.5\n3\n7\n100\n1\n"}}) {
        SCOPED_TRACE(file);
        const std::string before = file_exists(g.path(file)) ? read_file(g.path(file)) : "";
        write_file(g.path(file), content);
        EXPECT_EQ(run_rating(g.dir).status, 1);
        EXPECT_EQ(read_file(g.path("Source.plt")), source);
        EXPECT_EQ(g.res(), res);
        EXPECT_EQ(g.plt(), plt);
        EXPECT_EQ(sorted(folder_entries(g.path("gauges"))),
                  sorted(file == "gauges/site1.knots"
                             ? std::vector<std::string>{"site1.dat", "site1.knots", "site1.plt", "site1.res"}
                             : std::vector<std::string>{"site1.dat", "site1.plt", "site1.res"}));
        if (file == "gauges/site1.knots")
            std::remove(g.path(file).c_str());
        else
            write_file(g.path(file), before);
    }
}

// A run stopped by a signal in the middle of writing a long table leaves no
// temporary, not even after SIGKILL, and ends by that signal.
TEST(RunSafety, InterruptedRunsLeaveNoTemporary)
{
    Gauge g = make_gauge("Settings\n0.5\n3\n3\n30000000\n1\n", kData);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
        SCOPED_TRACE(sig);
        const pid_t pid = start_rating(g.dir);
        ASSERT_GT(pid, 0);
        usleep(300000);
        kill(pid, sig);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << read_file(g.path(".stdout"));
        EXPECT_EQ(folder_entries(g.path("gauges")), std::vector<std::string>{"site1.dat"});
        EXPECT_FALSE(file_exists(g.path("Source.plt")));
    }
}

// With the file size limit standing for a full disk, the run stops at the
// first failed write (it would otherwise format two billion rows), names the
// file and the reason, and keeps the earlier results.
TEST(RunSafety, FullDiskStopsAtTheFirstFailedWrite)
{
    Gauge g = make_gauge(kSettings, kData);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string res = g.res();
    const std::string plt = g.plt();
    write_file(g.path("Settings.dat"), "Settings\n0.5\n3\n3\n2000000000\n1\n");
    const std::string out = g.path(".stdout");
    const int status = run_command("cd '" + g.dir + "' && ulimit -f 64 && timeout 300 '" RATING_EXE "' 0<&- >'" +
                                   out + "' 2>&1");
    EXPECT_EQ(status, 1);
    EXPECT_NE(read_file(out).find("\nUnable to write file gauges/site1.res: File too large\n"), std::string::npos)
        << read_file(out);
    EXPECT_EQ(g.res(), res);
    EXPECT_EQ(g.plt(), plt);
    EXPECT_EQ(sorted(folder_entries(g.path("gauges"))),
              sorted(std::vector<std::string>{"site1.dat", "site1.plt", "site1.res"}));
}

TEST(RunSafety, LinkedAndProtectedResultsAreReplacedWithCare)
{
    Gauge g = make_gauge(kSettings, kData);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string res = g.res();

    // A result that is a symbolic link is written through to its target.
    mkdir(g.path("kept").c_str(), 0755);
    write_file(g.path("kept/curve.res"), "old");
    std::remove(g.path("gauges/site1.res").c_str());
    ASSERT_EQ(symlink("../kept/curve.res", g.path("gauges/site1.res").c_str()), 0);
    // A result keeps its permission bits.
    ASSERT_EQ(chmod(g.path("gauges/site1.plt").c_str(), 0640), 0);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    struct stat st;
    ASSERT_EQ(lstat(g.path("gauges/site1.res").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(g.path("kept/curve.res")), res);
    ASSERT_EQ(stat(g.path("gauges/site1.plt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A result the user may not write is refused, and nothing changes.
    if (!can_drop_privileges())
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    for (const char *path : {"", "/gauges", "/kept"})
        chmod((g.dir + path).c_str(), 0777);
    for (const char *file : {"/Source.plt", "/gauges/site1.dat", "/gauges/site1.plt", "/Control.dat", "/Settings.dat"})
        chmod((g.dir + file).c_str(), 0666);
    chmod(g.path("kept/curve.res").c_str(), 0444);
    const RunResult r = run_rating_unprivileged(g.dir);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("\nUnable to write file gauges/site1.res: Permission denied\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(g.path("kept/curve.res")), res);
}

TEST(RunSafety, KnotsFileThatCannotBeReadIsRefused)
{
    Gauge g = make_gauge(kSettings, kData);
    mkdir(g.path("gauges/site1.knots").c_str(), 0755);
    RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nError in file gauges/site1.knots: the knots file cannot be read: it is a folder, not a "
                         "file\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("No knots file"), std::string::npos);
    rmdir(g.path("gauges/site1.knots").c_str());

    if (!can_drop_privileges())
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    write_file(g.path("gauges/site1.knots"), "Knots\n3\n");
    chmod(g.path("gauges/site1.knots").c_str(), 0);
    for (const char *path : {"", "/gauges"})
        chmod((g.dir + path).c_str(), 0777);
    r = run_rating_unprivileged(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nError in file gauges/site1.knots: the knots file cannot be read: Permission denied\n"),
              std::string::npos)
        << r.out;
}

// A pipe would stall the run and a device would feed it without end.
TEST(RunSafety, InputsThatAreNotRegularFilesAreRefused)
{
    Gauge g = make_gauge(kSettings, kData);
    std::remove(g.path("gauges/site1.dat").c_str());
    ASSERT_EQ(mkfifo(g.path("gauges/site1.dat").c_str(), 0644), 0);
    const std::string out = g.path(".stdout");
    const std::string run = "cd '" + g.dir + "' && timeout 60 '" RATING_EXE "' 0<&- >'" + out + "' 2>&1";
    EXPECT_EQ(run_command(run), 1);
    EXPECT_NE(read_file(out).find("\nError in file gauges/site1.dat: it is not a regular file"), std::string::npos)
        << read_file(out);

    std::remove(g.path("gauges/site1.dat").c_str());
    ASSERT_EQ(symlink("/dev/zero", g.path("gauges/site1.dat").c_str()), 0);
    EXPECT_EQ(run_command(run), 1);
    EXPECT_NE(read_file(out).find("\nError in file gauges/site1.dat: it is not a regular file"), std::string::npos)
        << read_file(out);

    std::remove(g.path("Settings.dat").c_str());
    ASSERT_EQ(mkfifo(g.path("Settings.dat").c_str(), 0644), 0);
    EXPECT_EQ(run_command(run), 1);
    EXPECT_NE(read_file(out).find("\nError in file Settings.dat: it is not a regular file"), std::string::npos)
        << read_file(out);
    EXPECT_FALSE(file_exists(g.path("Source.plt")));
}

namespace {

// Every file of the data folder and Source.plt, by name, with its content.
std::map<std::string, std::string> result_set(const Gauge &g)
{
    std::map<std::string, std::string> files;
    for (const std::string &name : folder_entries(g.path("gauges")))
        files[name] = read_file(g.path("gauges/" + name));
    files["Source.plt"] = file_exists(g.path("Source.plt")) ? read_file(g.path("Source.plt")) : "<missing>";
    return files;
}

bool have_gnuplot()
{
    return run_command("command -v gnuplot >/dev/null 2>&1") == 0;
}

// Eight gaugings: three intervals of cubics leave two degrees of freedom and
// give bands; five leave none.
const char *const kWithBand = "Settings\n0.5\n3\n3\n40\n1\n";
const char *const kWithoutBand = "Settings\n0.5\n5\n3\n60\n1\n";

} // namespace

// A data set or folder whose name is not UTF-8 (Latin-1 here): the JSON gets
// U+FFFD for the byte out of place and says so, the text report too; the run
// succeeds (it used to abort on an exception).
TEST(RunSafety, NamesThatAreNotUtf8AreWrittenAndSaidSo)
{
    Gauge g = make_gauge(kSettings, kData);
    ASSERT_EQ(mkdir(g.path("Rh\xf4ne").c_str(), 0755), 0);
    write_file(g.path("Rh\xf4ne/site1.dat"), kData);
    write_file(g.path("Control.dat"), "Rh\xf4ne site1\n");
    const RunResult r = run_rating(g.dir, "--report");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const nlohmann::json summary = nlohmann::json::parse(read_file(g.path("Rh\xf4ne/site1.summary.json")));
    EXPECT_EQ(summary["data_file"], "Rh\xef\xbf\xbdne/site1.dat");
    EXPECT_EQ(summary["invalid_utf8_replaced"], true);
    EXPECT_EQ(summary["results_sha256"], sha256_hex(read_file(g.path("Rh\xf4ne/site1.res"))));
    const std::string text = read_file(g.path("Rh\xf4ne/site1.report.txt"));
    EXPECT_NE(text.find("Data set     Rh\xf4ne/site1.dat"), std::string::npos);
    EXPECT_NE(text.find("is not valid UTF-8"), std::string::npos) << text;
}

// A --report run killed (SIGKILL) at each step of its commit, replacing the
// results of a run with bands by those of one without: while its journal
// stands the plot refuses; the next run on the data set (one refused at its
// knots file, so that it writes nothing itself) completes or undoes the
// commit, and the files are then those of one run or the other, nothing else.
TEST(RunSafety, KilledCommitIsCompletedOrUndoneByTheNextRun)
{
    Gauge old_run = make_gauge(kWithBand, kData);
    Gauge new_run = make_gauge(kWithoutBand, kData);
    ASSERT_EQ(run_rating(old_run.dir, "--report").status, 0);
    ASSERT_EQ(run_rating(new_run.dir, "--report").status, 0);
    const std::map<std::string, std::string> old_set = result_set(old_run);
    const std::map<std::string, std::string> new_set = result_set(new_run);
    ASSERT_EQ(old_set.count("site1.band.csv"), 1u);
    ASSERT_EQ(new_set.count("site1.band.csv"), 0u);

    Gauge g = make_gauge(kWithBand, kData);
    bool completed = false;
    bool seen_new = false;
    int kills = 0;
    for (int step = 1; !completed && step < 500; step++) {
        SCOPED_TRACE("killed at step " + std::to_string(step));
        write_file(g.path("Settings.dat"), kWithBand);
        ASSERT_EQ(run_rating(g.dir, "--report").status, 0);
        ASSERT_EQ(result_set(g), old_set);
        write_file(g.path("Settings.dat"), kWithoutBand);
        const int status = run_command("cd '" + g.dir + "' && RATING_COMMIT_FAULT=" + std::to_string(step) + " '" +
                                       RATING_EXE "' --report 0<&- >/dev/null 2>&1");
        completed = status == 0;
        if (!completed) {
            ASSERT_EQ(status, 128 + SIGKILL);  // as the shell tells a SIGKILL
            kills++;
        }
        if (file_exists(g.path("gauges/site1.journal")) && have_gnuplot()) {
            const int plot = run_command("cd '" + g.dir + "' && sh '" RATING_SOURCE_DIR "/plot/plot.sh' >/dev/null 2>'" +
                                         g.path(".plot") + "'");
            EXPECT_EQ(plot, 1);
            EXPECT_NE(read_file(g.path(".plot")).find("site1.journal stands"), std::string::npos);
            std::remove(g.path(".plot").c_str());
        }
        write_file(g.path("gauges/site1.knots"), "Knots\n0\n");
        EXPECT_EQ(run_rating(g.dir).status, 1);
        std::remove(g.path("gauges/site1.knots").c_str());
        const std::map<std::string, std::string> now = result_set(g);
        ASSERT_TRUE(now == old_set || now == new_set);
        EXPECT_FALSE(seen_new && now == old_set);
        seen_new = seen_new || now == new_set;
    }
    EXPECT_TRUE(completed);
    EXPECT_GE(kills, 20);
}

// A --report run removes, in its commit, the band file it did not write; each
// report file names the table it belongs to. A plain run leaves the report
// files of an earlier curve, which name another table.
TEST(RunSafety, ReportFilesNameTheirTableAndStaleOnesGo)
{
    Gauge g = make_gauge(kWithBand, kData);
    ASSERT_EQ(run_rating(g.dir, "--report").status, 0);
    ASSERT_TRUE(file_exists(g.path("gauges/site1.band.csv")));
    write_file(g.path("Settings.dat"), kWithoutBand);
    const RunResult r = run_rating(g.dir, "--report");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(file_exists(g.path("gauges/site1.band.csv")));
    const std::string digest = sha256_hex(g.res());
    EXPECT_EQ(read_file(g.path("gauges/site1.gaugings.csv")).substr(0, 82), "# results sha256 " + digest + "\n");
    EXPECT_NE(read_file(g.path("gauges/site1.summary.json")).find("\"results_sha256\": \"" + digest + "\""),
              std::string::npos);
    EXPECT_NE(read_file(g.path("gauges/site1.report.txt")).find("gauges/site1.res, SHA-256 " + digest),
              std::string::npos);

    write_file(g.path("Settings.dat"), kWithBand);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    EXPECT_NE(sha256_hex(g.res()), digest);
    EXPECT_EQ(read_file(g.path("gauges/site1.gaugings.csv")).substr(0, 82), "# results sha256 " + digest + "\n");
}

// A report file that cannot be written is refused before the fit (whose
// knot report would follow it), and nothing changes.
TEST(RunSafety, ReportFilesAreCheckedBeforeTheFit)
{
    Gauge g = make_gauge(kSettings, kData);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string res = g.res();
    write_file(g.path("Settings.dat"), "Settings\n0.5\n3\n3\n50\n1\n");
    ASSERT_EQ(mkdir(g.path("gauges/site1.summary.json").c_str(), 0755), 0);
    const RunResult r = run_rating(g.dir, "--report");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nUnable to write file gauges/site1.summary.json: Is a directory\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Knot points"), std::string::npos) << r.out;
    EXPECT_EQ(g.res(), res);
    EXPECT_EQ(sorted(folder_entries(g.path("gauges"))),
              sorted(std::vector<std::string>{"site1.dat", "site1.plt", "site1.res", "site1.summary.json"}));
}

// A run waits while another holds the data set, says so, and then runs; two
// working folders naming one data set run their --report runs at once and
// leave the results of one of them, whole.
TEST(RunSafety, RunsOnOneDataSetTakeTurns)
{
    Gauge g = make_gauge(kSettings, kData);
    ASSERT_EQ(run_rating(g.dir).status, 0);
    const std::string res = g.res();
    write_file(g.path("Settings.dat"), "Settings\n0.5\n3\n3\n50\n1\n");
    const int held = open(g.path("gauges/site1.dat").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const pid_t pid = start_rating(g.dir);
    std::string out;
    for (int i = 0; i < 500 && out.find("to end\n") == std::string::npos; i++) {
        usleep(20000);
        out = read_file(g.path(".stdout"));
    }
    EXPECT_EQ(out, "\nWaiting for another run on gauges/site1.dat to end\n");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
    EXPECT_EQ(g.res(), res);
    close(held);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(g.path(".stdout"));
    EXPECT_NE(g.res(), res);

    Gauge other = make_gauge("Settings\n0.5\n3\n3\n70\n1\n", kData);
    write_file(other.path("Control.dat"), g.dir + "/gauges site1\n");
    for (int pair = 0; pair < 10; pair++) {
        const pid_t one = fork();
        if (one == 0) {
            _exit(run_command("cd '" + g.dir + "' && '" RATING_EXE "' --report 0<&- >/dev/null 2>&1"));
        }
        const int two = run_command("cd '" + other.dir + "' && '" RATING_EXE "' --report 0<&- >/dev/null 2>&1");
        int first = 0;
        waitpid(one, &first, 0);
        ASSERT_TRUE(WIFEXITED(first) && WEXITSTATUS(first) == 0);
        ASSERT_EQ(two, 0);
        const std::string table = g.res();
        const std::string band = read_file(g.path("gauges/site1.band.csv"));
        EXPECT_EQ(band.substr(17, 64), sha256_hex(table));
        EXPECT_EQ(read_file(g.path("gauges/site1.gaugings.csv")).substr(17, 64), sha256_hex(table));
        // A band row for each table row: their line ends differ by the
        // table's four header lines less the band file's two and last line end.
        EXPECT_EQ(std::count(band.begin(), band.end(), '\n'), std::count(table.begin(), table.end(), '\n') - 1);
        EXPECT_EQ(folder_entries(g.path("gauges")).size(), 7u);
    }
}

// Results that would be one file: the data set "Source" in the working folder
// writes its plot settings to Source.plt, and a result linked to another is
// the other. A pipe at a result's place is named for what it is.
TEST(RunSafety, ResultFilesThatCoincideOrAreNoFilesAreRefused)
{
    Gauge g = make_gauge(kSettings, kData);
    write_file(g.path("Control.dat"), ". Source\n");
    write_file(g.path("Source.dat"), kData);
    RunResult r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nUnable to write file ./Source.plt: it is the same file as Source.plt, another result of "
                         "this run\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(file_exists(g.path("Source.plt")));
    EXPECT_FALSE(file_exists(g.path("Source.res")));

    write_file(g.path("Control.dat"), "gauges site1\n");
    ASSERT_EQ(symlink("site1.res", g.path("gauges/site1.plt").c_str()), 0);
    r = run_rating(g.dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nUnable to write file gauges/site1.plt: it is the same file as gauges/site1.res, another "
                         "result of this run\n"),
              std::string::npos)
        << r.out;
    std::remove(g.path("gauges/site1.plt").c_str());

    ASSERT_EQ(mkfifo(g.path("gauges/site1.plt").c_str(), 0644), 0);
    const std::string out = g.path(".stdout");
    EXPECT_EQ(run_command("cd '" + g.dir + "' && timeout 60 '" RATING_EXE "' 0<&- >'" + out + "' 2>&1"), 1);
    EXPECT_NE(read_file(out).find("\nUnable to write file gauges/site1.plt: a named pipe (FIFO) stands there, not a "
                                  "regular file\n"),
              std::string::npos)
        << read_file(out);
    EXPECT_EQ(sorted(folder_entries(g.path("gauges"))), sorted(std::vector<std::string>{"site1.dat", "site1.plt"}));
}

// Whatever throws ends the program with a message and exit code 1, never an
// abort: here memory runs out (a limit of 40 MB on a data file of 25 MB).
TEST(RunSafety, NoFailureEndsTheProgramWithoutAMessage)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
    Gauge g = make_gauge(kSettings, "");
    ASSERT_EQ(run_command("cd '" + g.dir + "/gauges' && { echo '# Big'; awk 'BEGIN { for (i = 1; i <= 1500000; i++) "
                          "printf \"%d.5 %d\\n\", i, i }'; } >site1.dat"),
              0);
    const std::string out = g.path(".stdout");
    EXPECT_EQ(run_command("cd '" + g.dir + "' && ulimit -v 40000 && '" RATING_EXE "' 0<&- >'" + out + "' 2>&1"), 1);
    EXPECT_EQ(read_file(out), "\nError: out of memory\n");
    EXPECT_EQ(folder_entries(g.path("gauges")), std::vector<std::string>{"site1.dat"});
    EXPECT_FALSE(file_exists(g.path("Source.plt")));
}
