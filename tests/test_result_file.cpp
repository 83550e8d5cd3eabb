// Result files: nothing in place changes before the commit and everything
// after it; no way of ending a run early leaves a temporary behind. Runs that
// end the process run in a forked child.
#include "ResultFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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
        use_commit_journal("");
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
        for (const auto &[link, to] : links)
            symlink(to.c_str(), (dir + link).c_str());
        // The first link and the chain through it name one file: one result.
        for (const char *link : {"/work/new.res", "/work/chain"})
            std::fputs(link, open_result(dir + link));
        commit_results();
        for (const auto &[link, to] : links) {
            char read_back[32] = {};
            EXPECT_EQ(readlink((dir + link).c_str(), read_back, sizeof read_back - 1), ssize_t(to.size()));
            unlink((dir + link).c_str());
        }
        EXPECT_EQ(get(res), "/work/chain");
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
                 {"/fifo", "a named pipe (FIFO) stands there, not a regular file", false},
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

// A commit killed (SIGKILL) at any of its steps, anonymous or named: the
// recovery leaves either the earlier set or the new one, whole, with no other
// name left; the earlier set until the commit decided, the new one after.
TEST_F(ResultFile, CommitKilledAtAnyStepIsCompletedOrUndoneByTheRecovery)
{
    const std::string journal = data + "/site.journal";
    const std::string added = data + "/added.res";  // no file before the commit
    const std::string gone = data + "/gone.res";    // removed by the commit
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporaries" : "anonymous contents");
        bool completed = false;
        bool seen_new = false;
        int olds = 0;
        int news = 0;
        for (int step = 1; !completed && step < 500; step++) {
            SCOPED_TRACE("killed at step " + std::to_string(step));
            put(src, "old source");
            put(res, "old");
            put(gone, "gone");
            const auto [status, out] = in_child([&] {
                setenv("RATING_COMMIT_FAULT", std::to_string(step).c_str(), 1);
                use_named_temporaries(named);
                use_commit_journal(journal);
                protect_results();
                std::fputs("new source", open_result(src));
                std::fputs("new", open_result(res));
                std::fputs("added", open_result(added));
                std::FILE *removed = open_result(gone);
                std::fputs("never", removed);
                remove_result(removed);
                commit_results();
            });
            completed = exit_code(status) == 0;
            if (!completed) {
                ASSERT_EQ(exit_code(status), -SIGKILL) << out;
            }
            const auto whole = [&](const char *source, const char *result, const char *add, const char *keep) {
                return get(src) == source && get(res) == result && get(added) == add && get(gone) == keep;
            };
            // Without a journal the set is whole already.
            if (get(journal) == "<missing>") {
                EXPECT_TRUE(whole("old source", "old", "<missing>", "gone") ||
                            whole("new source", "new", "added", "<missing>"));
            }
            const FileFailure failure = recover_commit(journal);
            ASSERT_EQ(failure.error, 0) << failure.name;
            const bool old_set = whole("old source", "old", "<missing>", "gone");
            const bool new_set = whole("new source", "new", "added", "<missing>");
            ASSERT_TRUE(old_set || new_set) << get(src) << " " << get(res) << " " << get(added) << " " << get(gone);
            EXPECT_FALSE(seen_new && old_set);
            seen_new = seen_new || new_set;
            olds += old_set;
            news += new_set;
            EXPECT_EQ(names(dir), (Names{"Source.plt", "data"}));
            EXPECT_EQ(names(data), new_set ? (Names{"added.res", "site.res"}) : (Names{"gone.res", "site.res"}));
            unlink(added.c_str());
        }
        EXPECT_TRUE(completed);
        // Every content and second name made, the decision, the renames and
        // the clean-up each came to be killed at.
        EXPECT_GE(olds, 10);
        EXPECT_GE(news, 5);
    }
}

namespace {

// A journal record's path field, as the commit writes it.
std::string field(const std::string &path)
{
    return " " + std::to_string(path.size()) + ":" + path;
}

} // namespace

// A journal as the commit leaves it when killed after its decision, written
// here by hand: the recovery puts the new content in place, except where the
// file was replaced since (that file stays), and a record cut off at the end
// counts for nothing.
TEST_F(ResultFile, RecoveryCompletesADecidedCommitAndSparesLaterFiles)
{
    const std::string journal = data + "/site.journal";
    const std::string other = data + "/other.res";
    put(other, "old other");
    for (const bool replaced_since : {false, true}) {
        SCOPED_TRACE(replaced_since ? "replaced since" : "untouched since");
        put(res + ".AAAAAA", "new");
        put(other + ".BBBBBB", "new other");
        ASSERT_EQ(link(res.c_str(), (res + ".CCCCCC").c_str()), 0);
        put(journal, "rating commit journal 1\nN" + field(res) + field(res + ".AAAAAA") + " 1\nN" + field(other) +
                         field(other + ".BBBBBB") + " 1\nB" + field(res) + field(res + ".CCCCCC") + "\nC\nN 12:/tmp/cut");
        if (replaced_since) {
            unlink(res.c_str());
            put(res, "later");
        }
        const FileFailure failure = recover_commit(journal);
        EXPECT_EQ(failure.error, 0) << failure.name;
        EXPECT_EQ(get(res), replaced_since ? "later" : "new");
        EXPECT_EQ(get(other), "new other");
        EXPECT_EQ(names(data), (Names{"other.res", "site.res"}));
        put(res, "old");
        put(other, "old other");
    }
    // Undecided: everything stays, the temporaries go.
    put(res + ".AAAAAA", "new");
    put(journal, "rating commit journal 1\nN" + field(res) + field(res + ".AAAAAA") + " 1\nC");
    EXPECT_EQ(recover_commit(journal).error, 0);
    EXPECT_EQ(get(res), "old");
    EXPECT_EQ(names(data), (Names{"other.res", "site.res"}));
    EXPECT_EQ(recover_commit(journal).error, 0);  // no journal: nothing to do
}

TEST_F(ResultFile, RemovedResultGoesAtTheCommitAndOnlyThen)
{
    const std::string gone = data + "/gone.res";
    use_commit_journal(dir + "/set.journal");
    for (const bool named : {false, true}) {
        use_named_temporaries(named);
        put(gone, "earlier");
        std::FILE *f = open_result(gone);
        std::fputs("dropped", f);
        remove_result(f);
        std::FILE *never = open_result(data + "/never.res");
        remove_result(never);
        EXPECT_EQ(get(gone), "earlier");
        EXPECT_EQ(names(data), (Names{"gone.res", "site.res"}));
        commit_results();
        EXPECT_EQ(names(data), Names{"site.res"});
    }
    // Through a link: the file goes, the link stays.
    symlink("data/site.res", (dir + "/link.res").c_str());
    remove_result(open_result(dir + "/link.res"));
    commit_results();
    EXPECT_EQ(names(data), Names{});
    EXPECT_TRUE(S_ISLNK(status_of(dir + "/link.res").st_mode));
}

// One file under two spellings, or through a link, is refused the second time.
TEST_F(ResultFile, TheSameFileTwiceIsRefused)
{
    symlink("data/site.res", (dir + "/link.res").c_str());
    for (const std::string &again : {res, dir + "/data/../data/site.res", dir + "/link.res"}) {
        const auto [status, out] = in_child([&] {
            open_result(res);
            open_result(again);
        });
        EXPECT_EQ(exit_code(status), 1) << again;
        EXPECT_EQ(out, "\nUnable to write file " + again + ": it is the same file as " + res +
                           ", another result of this run\n");
    }
    EXPECT_EQ(get(res), "old");
    EXPECT_EQ(names(data), Names{"site.res"});
}

TEST_F(ResultFile, DigestsAreSha256)
{
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Of a result, as written so far, in pieces across the block size.
    std::FILE *f = open_result(res);
    std::string content;
    for (int i = 0; i < 1000; i++) {
        const std::string piece = std::to_string(i) + (i % 7 == 0 ? "\n" : "\t");
        std::fputs(piece.c_str(), f);
        content += piece;
        if (i == 2) {
            EXPECT_EQ(result_sha256(f), sha256_hex(content));
        }
    }
    EXPECT_EQ(result_sha256(f), sha256_hex(content));
    commit_results();
    EXPECT_EQ(get(res), content);
}

// A child holds the lock on a file for a moment: a taker gives up after its
// patience or, with more of it, waits and takes the lock, saying once that
// it waits; a free lock is taken at once.
TEST_F(ResultFile, LockWaitsForItsHolderAndGivesUpInTime)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(res.c_str(), O_RDONLY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1)
            _exit(1);
        usleep(700000);
        _exit(0);
    }
    char ch;
    ASSERT_EQ(read(ready[0], &ch, 1), 1);
    int waits = 0;
    const auto waiting = [&waits] { waits++; };
    ResultLock impatient = lock_results(res, 0.2, waiting);
    EXPECT_EQ(impatient.fd, -1);
    EXPECT_EQ(impatient.error, ETIMEDOUT);
    EXPECT_EQ(waits, 1);
    ResultLock patient = lock_results(res, 30.0, waiting);
    EXPECT_GE(patient.fd, 0);
    EXPECT_EQ(waits, 2);
    int status = 0;
    waitpid(holder, &status, 0);
    const int other = open(res.c_str(), O_RDONLY);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    unlock_results(patient);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    ResultLock at_once = lock_results(data, 0.0, waiting);
    EXPECT_GE(at_once.fd, 0);
    EXPECT_EQ(waits, 2);
    unlock_results(at_once);
    EXPECT_EQ(lock_results(dir + "/none", 1.0, waiting).error, ENOENT);
    close(ready[0]);
    close(ready[1]);
}

} // namespace
