// The program under careless and hostile use: failed, refused and
// interrupted runs, a full disk, linked and protected result files, and
// inputs that are not regular files.
#include "RunSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
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
