// Result files: nothing in place changes before the commit and everything
// after it; no way of ending a run early leaves a temporary behind. Runs that
// end the process run in a forked child.
#include "ResultFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int kCannotSetUp = 77;  // a child's exit code: the test cannot be arranged here
constexpr uid_t kNobody = 65534;
using Names = std::vector<std::string>;

void put(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::string get(const std::string &path)
{
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return f ? s.str() : "<missing>";
}

Names names(const std::string &dir)
{
    Names found;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                found.push_back(e->d_name);
        closedir(d);
    }
    std::sort(found.begin(), found.end());
    return found;
}

struct stat status_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// Runs `body` in a child, catching its standard output; returning from `body` is exit code 0.
std::pair<int, std::string> in_child(const std::function<void()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, out};
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status); }

void become_nobody()
{
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
        _exit(kCannotSetUp);
}

std::string refusal(const std::string &path, const char *reason)
{
    return "\nUnable to write file " + path + ": " + reason + "\n";
}

// A working folder and a data folder in it holding "old" in site.res.
class ResultFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/result-file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        data = dir + "/data";
        res = data + "/site.res";
        src = dir + "/Source.plt";
        mkdir(data.c_str(), 0777);
        chmod(dir.c_str(), 0777);
        chmod(data.c_str(), 0777);
        put(res, "old");
    }
    void TearDown() override
    {
        use_named_temporaries(false);
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    // Opens Source.plt and site.res and writes them, checking each write;
    // returns the stream of site.res.
    std::FILE *write_both(const std::string &content = "result") const
    {
        std::FILE *s = open_result(src);
        std::FILE *r = open_result(res);
        if (std::fputs("source", s) < 0)
            result_write_failed(s);
        for (const char ch : content)
            if (std::fprintf(r, "%c", ch) < 0)
                result_write_failed(r);
        return r;
    }
    void expect_unchanged() const
    {
        EXPECT_EQ(get(res), "old");
        EXPECT_EQ(names(dir), Names{"data"});
        EXPECT_EQ(names(data), Names{"site.res"});
    }

    std::string dir, data, res, src;
};

TEST_F(ResultFile, CommitPutsEveryFileInPlaceWithItsPermissionBits)
{
    const mode_t saved = umask(022);
    for (const bool named : {false, true}) {
        use_named_temporaries(named);
        chmod(res.c_str(), 0640);
        write_both();
        std::fflush(nullptr);
        EXPECT_EQ(get(res), "old");
        EXPECT_EQ(get(src), "<missing>");
        EXPECT_EQ(names(data).size(), named ? 2u : 1u);
        commit_results();
        EXPECT_EQ(get(src), "source");
        EXPECT_EQ(get(res), "result");
        EXPECT_EQ(status_of(res).st_mode & 07777, 0640u);
        EXPECT_EQ(status_of(src).st_mode & 07777, 0644u);
        EXPECT_EQ(names(dir), (Names{"Source.plt", "data"}));
        EXPECT_EQ(names(data), Names{"site.res"});
        put(res, "old");
        unlink(src.c_str());
    }
    umask(saved);
}

TEST_F(ResultFile, SymbolicLinksStayAndTheirTargetsAreReplaced)
{
    mkdir((dir + "/work").c_str(), 0755);
    // Into another folder, dangling, and a chain through the first link.
    const std::vector<std::pair<std::string, std::string>> links = {
        {"/work/site.res", "../data/site.res"}, {"/work/new.res", "../data/new.res"}, {"/work/chain", "site.res"}};
    for (const bool named : {false, true}) {
        use_named_temporaries(named);
        for (const auto &[link, to] : links) {
            symlink(to.c_str(), (dir + link).c_str());
            std::fputs(link.c_str(), open_result(dir + link));
        }
        commit_results();
        for (const auto &[link, to] : links) {
            char read_back[32] = {};
            EXPECT_EQ(readlink((dir + link).c_str(), read_back, sizeof read_back - 1), ssize_t(to.size()));
            unlink((dir + link).c_str());
        }
        EXPECT_EQ(get(res), "/work/chain");  // opened last, over "/work/site.res"
        EXPECT_EQ(get(data + "/new.res"), "/work/new.res");
        EXPECT_EQ(names(data), (Names{"new.res", "site.res"}));
        unlink((data + "/new.res").c_str());
    }
}

TEST_F(ResultFile, RunEndedEarlyChangesNothingAndLeavesNoTemporary)
{
    const rlimit no_core{0, 0}, small{1000, RLIM_INFINITY};
    for (const bool named : {false, true}) {
        use_named_temporaries(named);
        EXPECT_EQ(exit_code(in_child([&] {
            write_both();
            std::exit(3);
        }).first), 3);
        expect_unchanged();

        // Beyond the file size limit: at a write, and at the flush in the commit.
        for (const std::size_t size : {100000, 3000}) {
            const auto [status, out] = in_child([&] {
                protect_results();
                setrlimit(RLIMIT_FSIZE, &small);
                write_both(std::string(size, 'x'));
                commit_results();
            });
            EXPECT_EQ(exit_code(status), 1);
            EXPECT_EQ(out, refusal(res, "File too large"));
            expect_unchanged();
        }
        for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGKILL}) {
            if (named && sig == SIGKILL)
                continue;  // only anonymous files survive SIGKILL without a trace
            const auto [status, out] = in_child([&] {
                setrlimit(RLIMIT_CORE, &no_core);
                std::signal(sig, SIG_DFL);
                protect_results();
                write_both();
                std::fflush(nullptr);
                if (names(data).size() != (named ? 2u : 1u))
                    _exit(90);
                raise(sig);
            });
            EXPECT_EQ(exit_code(status), -sig) << sig;
            expect_unchanged();
        }
    }
    // A signal ignored from the start stays ignored.
    const auto [status, out] = in_child([&] {
        std::signal(SIGHUP, SIG_IGN);
        protect_results();
        write_both();
        raise(SIGHUP);
        commit_results();
    });
    EXPECT_EQ(exit_code(status), 0);
    EXPECT_EQ(get(res), "result");
}

TEST_F(ResultFile, FailedRenamePutsBackTheFilesAlreadyReplaced)
{
    for (const bool source_existed : {true, false}) {
        if (source_existed)
            put(src, "old source");
        const auto [status, out] = in_child([&] {
            write_both();
            unlink(res.c_str());
            mkdir(res.c_str(), 0755);
            put(res + "/inside", "");
            commit_results();
        });
        EXPECT_EQ(exit_code(status), 1);
        EXPECT_EQ(out, refusal(res, "Is a directory"));
        EXPECT_EQ(get(src), source_existed ? "old source" : "<missing>");
        EXPECT_EQ(names(data), Names{"site.res"});
        std::system(("rm -rf '" + res + "' '" + src + "'").c_str());
    }
}

TEST_F(ResultFile, FilesThatCannotBeReplacedAreRefusedAtOpen)
{
    mkdir((dir + "/folder").c_str(), 0755);
    mkdir((dir + "/closed").c_str(), 0555);
    mkfifo((dir + "/fifo").c_str(), 0644);
    symlink("folder", (dir + "/link").c_str());
    chmod(res.c_str(), 0444);
    put(dir + "/sticky.res", "old");
    chmod((dir + "/sticky.res").c_str(), 0666);
    chmod(dir.c_str(), 01777);
    const struct {
        const char *name, *reason;
        bool as_nobody;
    } cases[] = {{"/folder", "Is a directory", false},
                 {"/link", "Is a directory", false},
                 {"/fifo", "File exists", false},
                 {"/none/a.res", "No such file or directory", false},
                 {"/data/site.res", "Permission denied", true},
                 {"/closed/a.res", "Permission denied", true},
                 {"/sticky.res", "Operation not permitted", true}};
    for (const auto &c : cases) {
        if (c.name == std::string("/sticky.res") && geteuid() != 0)
            continue;  // needs a file of another user
        const auto [status, out] = in_child([&] {
            if (c.as_nobody)
                become_nobody();
            open_result(dir + c.name);
        });
        if (exit_code(status) == kCannotSetUp)
            GTEST_SKIP() << "cannot become an unprivileged user";
        EXPECT_EQ(exit_code(status), 1) << c.name;
        EXPECT_EQ(out, refusal(dir + c.name, c.reason));
    }
    EXPECT_EQ(get(res), "old");
    EXPECT_EQ(names(dir), (Names{"closed", "data", "fifo", "folder", "link", "sticky.res"}));
    EXPECT_EQ(names(data), Names{"site.res"});
}

TEST_F(ResultFile, AnonymousContentIsLinkedOrElseCopied)
{
    // Opened as root; linked by descriptor (a privilege), else through
    // /proc/self/fd, else copied into a file of the committing user's.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hide /proc/self/fd and to drop privileges";
    constexpr int kLinked = 10, kCopied = 11;
    chmod(res.c_str(), 0666);
    const rlimit small{1000, RLIM_INFINITY};
    const struct {
        bool hide_fds, drop, limit;
        int code;
    } variants[] = {{true, false, false, kLinked}, {false, true, false, kLinked}, {true, true, false, kCopied},
                    {true, true, true, 1}};
    for (const auto &v : variants) {
        const auto [status, out] = in_child([&] {
            const std::string fds = "/proc/" + std::to_string(getpid()) + "/fd";
            if (v.hide_fds && (unshare(CLONE_NEWNS) != 0 ||
                               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                               mount("none", fds.c_str(), "tmpfs", 0, nullptr) != 0))
                _exit(kCannotSetUp);
            protect_results();
            struct stat content {};
            fstat(fileno(write_both(std::string(v.limit ? 3000 : 5, 'x'))), &content);
            std::fflush(nullptr);
            if (v.limit)
                setrlimit(RLIMIT_FSIZE, &small);
            if (v.drop)
                become_nobody();
            commit_results();
            _exit(status_of(res).st_ino == content.st_ino ? kLinked : kCopied);
        });
        if (exit_code(status) == kCannotSetUp)
            GTEST_SKIP() << "cannot hide /proc/self/fd or drop privileges";
        EXPECT_EQ(exit_code(status), v.code) << out;
        if (v.limit) {
            EXPECT_EQ(out, refusal(res, "File too large"));
            expect_unchanged();
            continue;
        }
        EXPECT_EQ(get(res), "xxxxx");
        EXPECT_EQ(status_of(res).st_mode & 07777, 0666u);
        EXPECT_EQ(status_of(res).st_uid, v.code == kCopied ? kNobody : 0u);
        EXPECT_EQ(names(data), Names{"site.res"});
        put(res, "old");
        unlink(src.c_str());
    }
}

} // namespace
