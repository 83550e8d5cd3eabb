#include "ResultFile.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kMaxResults = 16;
constexpr int kMaxLinkHops = 40;
constexpr int kNameAttempts = 100;
constexpr std::size_t kSuffixLength = 7;  // ".XXXXXX"
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

struct Result {
    std::string name;    // as the program names it in messages
    std::string target;  // the file replaced in the end, symbolic links followed
    mode_t mode;         // permission bits of the new file
    bool replaces;       // a file stands at target now
    bool anonymous;      // the content has no name before the commit
    int fd;              // the content; readable, for the copy when it cannot be linked
    std::FILE *stream;   // writes the content through a second descriptor
};

std::vector<Result> results;
bool named_only = false;
bool exit_cleanup_registered = false;

// A name the process removes when it ends early. The signal handler reads
// these, so they live in static storage, and they change only while the
// signals are blocked.
struct RemovableName {
    volatile sig_atomic_t armed;
    char path[PATH_MAX];
};

RemovableName temp_names[kMaxResults];    // the content of results[i]
RemovableName backup_names[kMaxResults];  // a second name of the file results[i] replaces

sigset_t block_signals()
{
    sigset_t set;
    sigset_t old;
    sigemptyset(&set);
    for (const int sig : kSignals)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old);
    return old;
}

void restore_signals(const sigset_t &old)
{
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// The length was checked in open_result.
void arm(RemovableName &n, const std::string &path)
{
    std::memcpy(n.path, path.c_str(), path.size() + 1);
    n.armed = 1;
}

// Async-signal-safe.
void remove_armed_names()
{
    for (std::size_t i = 0; i < kMaxResults; i++) {
        for (RemovableName *n : {&temp_names[i], &backup_names[i]}) {
            if (n->armed) {
                unlink(n->path);
                n->armed = 0;
            }
        }
    }
}

void on_signal(int sig)
{
    remove_armed_names();
    signal(sig, SIG_DFL);
    raise(sig);
}

// At exit() before the commit: the buffered content is dropped rather than
// flushed, so that the exit cannot fail on a write.
void discard_results()
{
    remove_armed_names();
    for (Result &r : results) {
        if (r.stream != nullptr) {
            __fpurge(r.stream);
            std::fclose(r.stream);
        }
        if (r.fd >= 0)
            close(r.fd);
    }
    results.clear();
}

void register_exit_cleanup()
{
    if (!exit_cleanup_registered) {
        std::atexit(discard_results);
        exit_cleanup_registered = true;
    }
}

[[noreturn]] void refuse(const std::string &name, int err)
{
    std::printf("\nUnable to write file %s: %s\n", name.c_str(), std::strerror(err));
    std::exit(1);
}

std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t current_umask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Six letters or digits for a temporary name; a name in use is retried.
std::string random_suffix()
{
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long long state = 0;
    if (state == 0) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        state = static_cast<unsigned long long>(ts.tv_sec) * 1000000007ULL +
                static_cast<unsigned long long>(ts.tv_nsec);
    }
    state = state * 6364136223846793005ULL + (1442695040888963407ULL ^ static_cast<unsigned long long>(getpid()));
    unsigned long long bits = state >> 11;
    std::string s(6, ' ');
    for (char &ch : s) {
        ch = kChars[bits % 62];
        bits /= 62;
    }
    return s;
}

// Follows `path` through symbolic links to the file that takes the content;
// returns 0 or an errno value.
int follow_links(const std::string &path, std::string &target)
{
    target = path;
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return 0;
        if (hops == kMaxLinkHops)
            return ELOOP;
        char link[PATH_MAX];
        const ssize_t n = readlink(target.c_str(), link, sizeof link);
        if (n < 0)
            return errno;
        if (static_cast<std::size_t>(n) == sizeof link)
            return ENAMETOOLONG;
        const std::string to(link, static_cast<std::size_t>(n));
        target = to[0] == '/' ? to : folder_of(target) + "/" + to;
    }
}

// Whether `r.target` can be replaced by this user; sets r.replaces and
// r.mode. Returns 0 or the errno value that describes why not. A folder the
// user may not write is refused when the temporary cannot be made in it.
int check_replaceable(Result &r)
{
    struct stat st;
    r.replaces = lstat(r.target.c_str(), &st) == 0;
    if (!r.replaces && errno != ENOENT)
        return errno;
    if (r.replaces && S_ISDIR(st.st_mode))
        return EISDIR;
    if (r.replaces && !S_ISREG(st.st_mode))
        return EEXIST;

    const std::string folder = folder_of(r.target);
    struct stat fst;
    if (stat(folder.c_str(), &fst) != 0)
        return errno;
    if (!S_ISDIR(fst.st_mode))
        return ENOTDIR;
    if (!r.replaces) {
        r.mode = 0666 & ~current_umask();
        return 0;
    }
    if (faccessat(AT_FDCWD, r.target.c_str(), W_OK, AT_EACCESS) != 0)
        return errno;
    // In a folder with the sticky bit only the owner of a file or of the
    // folder may rename over it (root aside).
    const uid_t me = geteuid();
    if ((fst.st_mode & S_ISVTX) != 0 && me != 0 && st.st_uid != me && fst.st_uid != me)
        return EPERM;
    r.mode = st.st_mode & 07777;
    return 0;
}

// A new empty file "<target>.XXXXXX", registered for removal; -1 and errno
// when it cannot be made.
int create_named(const std::string &target, RemovableName &slot)
{
    std::string name = target + ".XXXXXX";
    const sigset_t old = block_signals();
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    const int err = errno;
    if (fd >= 0)
        arm(slot, name);
    restore_signals(old);
    errno = err;
    return fd;
}

// Links (dirfd, from) under a new name "<target>.XXXXXX", registered for
// removal. Returns 0 or an errno value.
int link_new_name(int dirfd, const char *from, int flags, const std::string &target, RemovableName &slot)
{
    for (int attempt = 0; attempt < kNameAttempts; attempt++) {
        const std::string name = target + "." + random_suffix();
        const sigset_t old = block_signals();
        const bool linked = linkat(dirfd, from, AT_FDCWD, name.c_str(), flags) == 0;
        const int err = errno;
        if (linked)
            arm(slot, name);
        restore_signals(old);
        if (linked)
            return 0;
        if (err != EEXIST)
            return err;
    }
    return EEXIST;
}

int write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0)
            return errno;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int copy_content(const Result &r, RemovableName &slot)
{
    const int out = create_named(r.target, slot);
    if (out < 0)
        return errno;
    int err = fchmod(out, r.mode) == 0 ? 0 : errno;
    char buffer[16384];
    for (off_t at = 0; err == 0;) {
        const ssize_t n = pread(r.fd, buffer, sizeof buffer, at);
        if (n <= 0) {
            err = n < 0 ? errno : 0;
            break;
        }
        err = write_all(out, buffer, static_cast<std::size_t>(n));
        at += n;
    }
    if (close(out) != 0 && err == 0)
        err = errno;
    return err;
}

// Gives an anonymous content its temporary name. Linking by descriptor needs
// a privilege; linking through /proc needs /proc; failing both, the content
// is copied.
int name_content(const Result &r, RemovableName &slot)
{
    if (link_new_name(r.fd, "", AT_EMPTY_PATH, r.target, slot) == 0)
        return 0;
    const std::string by_proc = "/proc/self/fd/" + std::to_string(r.fd);
    if (link_new_name(AT_FDCWD, by_proc.c_str(), AT_SYMLINK_FOLLOW, r.target, slot) == 0)
        return 0;
    return copy_content(r, slot);
}

// Flushes and closes the stream; 0 or an errno value. A write that failed
// earlier without errno is reported as an I/O error. The content is not
// synced to the disk: that costs about half a millisecond a file here, more
// than the rest of a run, and the rename alone keeps a crash of the program
// from ever showing a half-written result.
int finish_content(Result &r)
{
    errno = 0;
    const bool flushed = std::fflush(r.stream) == 0 && !std::ferror(r.stream);
    int err = flushed ? 0 : (errno != 0 ? errno : EIO);
    const bool closed = std::fclose(r.stream) == 0;
    if (err == 0 && !closed)
        err = errno;
    r.stream = nullptr;
    return err;
}

// After the rename of results[failed] failed: the files renamed before it
// get their earlier content back, or disappear where there was none.
void put_back(std::size_t failed)
{
    for (std::size_t j = failed; j-- > 0;) {
        if (backup_names[j].armed) {
            // When even this fails the earlier content stays under the backup name.
            rename(backup_names[j].path, results[j].target.c_str());
            backup_names[j].armed = 0;
        } else if (!results[j].replaces) {
            unlink(results[j].target.c_str());
        }
    }
}

} // namespace

void protect_results()
{
    register_exit_cleanup();
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int sig : kSignals)
        sigaddset(&action.sa_mask, sig);
    for (const int sig : kSignals) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &action, nullptr);
    }
}

void use_named_temporaries(bool named)
{
    named_only = named;
}

std::FILE *open_result(const std::string &path)
{
    register_exit_cleanup();
    Result r{path, "", 0, false, false, -1, nullptr};
    int err = path.empty() ? ENOENT : follow_links(path, r.target);
    if (err == 0 && r.target.size() + kSuffixLength >= PATH_MAX)
        err = ENAMETOOLONG;
    if (err == 0)
        err = check_replaceable(r);
    if (err == 0 && results.size() == kMaxResults)
        err = EMFILE;
    if (err != 0)
        refuse(path, err);

    RemovableName &slot = temp_names[results.size()];
    if (!named_only)
        r.fd = open(folder_of(r.target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    r.anonymous = r.fd >= 0;
    if (!r.anonymous)
        r.fd = create_named(r.target, slot);
    if (r.fd < 0)
        refuse(path, errno);
    results.push_back(r);

    Result &added = results.back();
    if (fchmod(added.fd, added.mode) != 0)
        refuse(path, errno);
    const int stream_fd = fcntl(added.fd, F_DUPFD_CLOEXEC, 0);
    if (stream_fd < 0)
        refuse(path, errno);
    added.stream = fdopen(stream_fd, "w");
    if (added.stream == nullptr) {
        err = errno;
        close(stream_fd);
        refuse(path, err);
    }
    return added.stream;
}

void write_result(std::FILE *f, const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    const int written = std::vfprintf(f, format, args);
    va_end(args);
    if (written < 0)
        result_write_failed(f);
}

void result_write_failed(std::FILE *f)
{
    const int err = errno != 0 ? errno : EIO;
    for (const Result &r : results)
        if (r.stream == f)
            refuse(r.name, err);
    refuse("(unknown)", err);
}

void commit_results()
{
    for (Result &r : results) {
        const int err = finish_content(r);
        if (err != 0)
            refuse(r.name, err);
    }
    for (std::size_t i = 0; i < results.size(); i++) {
        Result &r = results[i];
        const int err = r.anonymous ? name_content(r, temp_names[i]) : 0;
        if (err != 0)
            refuse(r.name, err);
        close(r.fd);
        r.fd = -1;
    }
    // A second name for each file about to be replaced, so that a failed
    // rename can put it back; where hard links fail, that file cannot be.
    for (std::size_t i = 0; i < results.size(); i++)
        if (results[i].replaces)
            link_new_name(AT_FDCWD, results[i].target.c_str(), 0, results[i].target, backup_names[i]);

    // An interrupting signal waits until every file is in place or put back.
    const sigset_t old = block_signals();
    for (std::size_t i = 0; i < results.size(); i++) {
        if (rename(temp_names[i].path, results[i].target.c_str()) != 0) {
            const int err = errno;
            put_back(i);
            remove_armed_names();
            restore_signals(old);
            refuse(results[i].name, err);
        }
        temp_names[i].armed = 0;
    }
    remove_armed_names();
    restore_signals(old);
    results.clear();
}
