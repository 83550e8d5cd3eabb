#include "ResultFile.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <set>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kMaxResults = 64;
constexpr int kMaxLinkHops = 40;
constexpr int kNameAttempts = 100;
constexpr std::size_t kSuffixLength = 7;  // ".XXXXXX"
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
const char kJournalHeader[] = "rating commit journal 1\n";

// Reasons of a refusal beyond the errno values.
constexpr int kSameFile = -1;       // the same file as an earlier result
constexpr int kNamedPipe = -2;      // a FIFO stands at the path
constexpr int kSocket = -3;
constexpr int kDevice = -4;

struct Result {
    std::string name;    // as the program names it in messages
    std::string target;  // the file replaced in the end, symbolic links followed
    mode_t mode;         // permission bits of the new file
    bool replaces;       // a file stands at target now
    bool anonymous;      // the content has no name before the commit
    bool remove;         // the commit removes target instead (remove_result)
    int fd;              // the content; readable, for the digest and the copy
    std::FILE *stream;   // writes the content through a second descriptor
    dev_t folder_dev;    // the folder of target, which with the last part of
    ino_t folder_ino;    // target names the file whatever the path's spelling
};

std::vector<Result> results;
std::string same_as;  // for a kSameFile refusal: the earlier result's name
bool named_only = false;
bool exit_cleanup_registered = false;
std::string journal_setting;  // from use_commit_journal
int journal_fd = -1;          // the journal of the commit under way

// A name the process removes when it ends early. The signal handler reads
// these, so they live in static storage, and they change only while the
// signals are blocked.
struct RemovableName {
    volatile sig_atomic_t armed;
    char path[PATH_MAX];
};

RemovableName temp_names[kMaxResults];    // the content of results[i]
RemovableName backup_names[kMaxResults];  // a second name of the file results[i] replaces
RemovableName journal_name;               // the journal, until the commit decides
// The slots ever given to a result. Each name is a page of its own: going
// over these alone, a commit of a few files touches a few pages, not 128.
volatile sig_atomic_t slots_used = 0;

// Fault injection for the tests of the commit: with RATING_COMMIT_FAULT=n in
// the environment when a journal is started, the process kills itself with
// SIGKILL at the n-th step of that commit (counted from 1: the journal made,
// each record written to it, each name made, renamed or removed), as a crash
// or `kill -9` would end it there.
long fault_countdown = 0;

void arm_fault_injection()
{
    const char *setting = std::getenv("RATING_COMMIT_FAULT");
    fault_countdown = setting != nullptr ? std::strtol(setting, nullptr, 10) : 0L;
}

void step_done()
{
    if (fault_countdown > 0 && --fault_countdown == 0)
        raise(SIGKILL);
}

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
    for (std::size_t i = 0; i < static_cast<std::size_t>(slots_used); i++) {
        for (RemovableName *n : {&temp_names[i], &backup_names[i]}) {
            if (n->armed) {
                unlink(n->path);
                n->armed = 0;
            }
        }
    }
    if (journal_name.armed) {
        unlink(journal_name.path);
        journal_name.armed = 0;
    }
}

void on_signal(int sig)
{
    remove_armed_names();
    signal(sig, SIG_DFL);
    raise(sig);
}

void close_journal()
{
    if (journal_fd >= 0)
        close(journal_fd);
    journal_fd = -1;
}

// At exit() before the commit: the buffered content is dropped rather than
// flushed, so that the exit cannot fail on a write.
void discard_results()
{
    remove_armed_names();
    close_journal();
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

std::string reason_of(int err)
{
    switch (err) {
    case kSameFile:
        return "it is the same file as " + same_as + ", another result of this run";
    case kNamedPipe:
        return "a named pipe (FIFO) stands there, not a regular file";
    case kSocket:
        return "a socket stands there, not a regular file";
    case kDevice:
        return "a device stands there, not a regular file";
    default:
        return std::strerror(err);
    }
}

[[noreturn]] void refuse(const std::string &name, int err)
{
    std::printf("\nUnable to write file %s: %s\n", name.c_str(), reason_of(err).c_str());
    std::exit(1);
}

std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string absolute(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t current_umask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Six letters or digits for a temporary name.
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

std::string last_part(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether `r.target` can be replaced by this user; sets r.replaces, r.mode
// and the folder's identity. Returns 0 or the errno value (or reason above)
// that describes why not. A folder the user may not write is refused when
// the temporary cannot be made in it.
int check_replaceable(Result &r)
{
    struct stat st;
    r.replaces = lstat(r.target.c_str(), &st) == 0;
    if (!r.replaces && errno != ENOENT)
        return errno;
    if (r.replaces && S_ISDIR(st.st_mode))
        return EISDIR;
    if (r.replaces && S_ISFIFO(st.st_mode))
        return kNamedPipe;
    if (r.replaces && S_ISSOCK(st.st_mode))
        return kSocket;
    if (r.replaces && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)))
        return kDevice;
    if (r.replaces && !S_ISREG(st.st_mode))
        return EEXIST;

    const std::string folder = folder_of(r.target);
    struct stat fst;
    if (stat(folder.c_str(), &fst) != 0)
        return errno;
    if (!S_ISDIR(fst.st_mode))
        return ENOTDIR;
    r.folder_dev = fst.st_dev;
    r.folder_ino = fst.st_ino;
    for (const Result &earlier : results) {
        if (earlier.folder_dev == r.folder_dev && earlier.folder_ino == r.folder_ino &&
            last_part(earlier.target) == last_part(r.target)) {
            same_as = earlier.name;
            return kSameFile;
        }
    }
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

int write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// ---- The journal ----
//
// A header line, then records, each a letter, its fields and a line end; a
// path field is " <length>:<bytes>", so that a path may hold any byte. A
// record is written whole before the step it announces, so a record cut off
// by the end of the process announced nothing that happened; reading stops
// there.
//   N target temp existed   the new content of target goes to temp
//   R target existed        the commit removes target
//   B target backup         backup is a second name of the file at target
//   X name                  name was found taken: it is not the commit's
//   C                       decided: every content and second name stands
//   U                       undo: the commit failed after it decided

void add_field(std::string &record, const std::string &text)
{
    record += ' ';
    record += std::to_string(text.size());
    record += ':';
    record += text;
}

std::string record_of(char kind, const std::string &a = std::string(), const std::string &b = std::string(),
                      int flag = -1)
{
    std::string record(1, kind);
    if (!a.empty())
        add_field(record, a);
    if (!b.empty())
        add_field(record, b);
    if (flag >= 0)
        record += flag != 0 ? " 1" : " 0";
    return record + "\n";
}

// One result's part in a commit, with absolute paths.
struct Entry {
    std::string target;
    std::string temp;     // the new content; empty for a removal
    std::string backup;   // a second name of the earlier file; empty when none
    bool existed = false; // a file stood at target before the commit
    bool remove = false;
};

struct Journal {
    std::vector<Entry> entries;
    std::vector<std::string> names;  // every temporary and second name, in order
    bool decided = false;
    bool undo = false;
};

Entry &entry_for(Journal &j, const std::string &target)
{
    for (Entry &e : j.entries)
        if (e.target == target)
            return e;
    j.entries.push_back(Entry{target, "", "", false, false});
    return j.entries.back();
}

// Reads " <length>:<bytes>" at pos.
bool read_field(const std::string &text, std::size_t &pos, std::string &field)
{
    if (pos >= text.size() || text[pos] != ' ')
        return false;
    std::size_t at = pos + 1;
    std::size_t length = 0;
    const std::size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - digits < 8)
        length = length * 10 + static_cast<std::size_t>(text[at++] - '0');
    if (at == digits || at >= text.size() || text[at] != ':' || text.size() - at - 1 < length)
        return false;
    field = text.substr(at + 1, length);
    pos = at + 1 + length;
    return true;
}

bool read_flag(const std::string &text, std::size_t &pos, bool &flag)
{
    if (pos + 1 >= text.size() || text[pos] != ' ' || (text[pos + 1] != '0' && text[pos + 1] != '1'))
        return false;
    flag = text[pos + 1] == '1';
    pos += 2;
    return true;
}

Journal parse_journal(const std::string &text)
{
    Journal j;
    std::set<std::string> not_ours;
    std::size_t pos = sizeof kJournalHeader - 1;
    if (text.compare(0, pos, kJournalHeader) != 0)
        return j;
    while (pos < text.size()) {
        const char kind = text[pos];
        std::size_t at = pos + 1;
        std::string a, b;
        bool flag = false;
        bool ok = true;
        switch (kind) {
        case 'N': ok = read_field(text, at, a) && read_field(text, at, b) && read_flag(text, at, flag); break;
        case 'R': ok = read_field(text, at, a) && read_flag(text, at, flag); break;
        case 'B': ok = read_field(text, at, a) && read_field(text, at, b); break;
        case 'X': ok = read_field(text, at, a); break;
        case 'C': case 'U': break;
        default: ok = false;
        }
        if (!ok || at >= text.size() || text[at] != '\n')
            break;
        pos = at + 1;
        if (kind == 'N') {
            Entry &e = entry_for(j, a);
            e.temp = b;
            e.existed = flag;
            e.remove = false;
            j.names.push_back(b);
        } else if (kind == 'R') {
            Entry &e = entry_for(j, a);
            e.temp.clear();
            e.existed = flag;
            e.remove = true;
        } else if (kind == 'B') {
            entry_for(j, a).backup = b;
            j.names.push_back(b);
        } else if (kind == 'X') {
            not_ours.insert(a);
        } else if (kind == 'C') {
            j.decided = true;
        } else {
            j.undo = true;
        }
    }
    std::vector<std::string> names;
    for (const std::string &name : j.names)
        if (not_ours.count(name) == 0)
            names.push_back(name);
    j.names = names;
    for (Entry &e : j.entries) {
        if (not_ours.count(e.temp) != 0)
            e.temp.clear();
        if (not_ours.count(e.backup) != 0)
            e.backup.clear();
    }
    return j;
}

bool same_file(const std::string &a, const std::string &b)
{
    struct stat sa;
    struct stat sb;
    return lstat(a.c_str(), &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Puts every content in place and removes the files to be removed. With
// `careful`, as in a recovery, a file that was replaced after the commit
// decided keeps its place (its earlier file's second name tells).
FileFailure go_forward(const std::vector<Entry> &entries, bool careful)
{
    for (const Entry &e : entries) {
        bool untouched = true;
        if (careful && exists(e.target)) {
            if (!e.existed)
                untouched = false;  // a file made by another since
            else if (!e.backup.empty() && exists(e.backup))
                untouched = same_file(e.backup, e.target);
        }
        if (e.remove) {
            if (!e.existed || !untouched)
                continue;
            if (unlink(e.target.c_str()) != 0 && errno != ENOENT)
                return {e.target, errno};
        } else if (!e.temp.empty() && exists(e.temp) && untouched) {
            if (rename(e.temp.c_str(), e.target.c_str()) != 0)
                return {e.target, errno};
        } else {
            continue;
        }
        step_done();
    }
    return {};
}

// Gives every file its earlier content back, and removes a new file where
// there was none (where the earlier file has no second name, as on file
// systems without hard links, it cannot come back).
FileFailure go_back(const std::vector<Entry> &entries)
{
    FileFailure failure;
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
        if (!e->backup.empty() && exists(e->backup)) {
            if (rename(e->backup.c_str(), e->target.c_str()) != 0 && failure.error == 0)
                failure = {e->target, errno};
        } else if (!e->existed && !e->remove && !e->temp.empty() && !exists(e->temp)) {
            if (unlink(e->target.c_str()) != 0 && errno != ENOENT && failure.error == 0)
                failure = {e->target, errno};
        } else {
            continue;
        }
        step_done();
    }
    return failure;
}

void remove_names(const std::vector<std::string> &names)
{
    for (const std::string &name : names) {
        if (unlink(name.c_str()) == 0)
            step_done();
    }
}

std::string journal_path()
{
    if (!journal_setting.empty())
        return journal_setting;
    return results.empty() ? std::string("results.journal") : results.front().target + ".journal";
}

// Writes a record to the journal of the commit under way; 0 or an errno value.
int append(const std::string &record)
{
    const int err = write_all(journal_fd, record.data(), record.size());
    if (err == 0)
        step_done();
    return err;
}

// Starts the journal of the commit under way (once); an interrupted commit
// found there is recovered first. 0 or an errno value; *failed names the file.
int start_journal(std::string &failed)
{
    if (journal_fd >= 0)
        return 0;
    const std::string path = journal_path();
    failed = path;
    if (path.size() >= PATH_MAX)
        return ENAMETOOLONG;
    const FileFailure earlier = recover_commit(path);
    if (earlier.error != 0) {
        failed = earlier.name;
        return earlier.error;
    }
    arm_fault_injection();
    const sigset_t old = block_signals();
    journal_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    const int err = errno;
    if (journal_fd >= 0)
        arm(journal_name, path);
    restore_signals(old);
    if (journal_fd < 0)
        return err;
    step_done();
    return append(kJournalHeader);
}

// A new name "<target>.XXXXXX" made by `make` (which returns 0 or an errno
// value), recorded in the journal with `record` before it is made; the name is
// registered for removal. Returns 0 or an errno value.
int make_recorded_name(const std::string &target, RemovableName &slot,
                       const std::function<std::string(const std::string &)> &record,
                       const std::function<int(const std::string &)> &make)
{
    for (int attempt = 0; attempt < kNameAttempts; attempt++) {
        const std::string name = target + "." + random_suffix();
        if (exists(name))
            continue;
        int err = append(record(absolute(name)));
        if (err != 0)
            return err;
        const sigset_t old = block_signals();
        err = make(name);
        if (err == 0)
            arm(slot, name);
        restore_signals(old);
        if (err == 0) {
            step_done();
            return 0;
        }
        if (err != EEXIST)
            return err;
        err = append(record_of('X', absolute(name)));
        if (err != 0)
            return err;
    }
    return EEXIST;
}

std::function<std::string(const std::string &)> new_content_record(const Result &r)
{
    const std::string target = absolute(r.target);
    const bool existed = r.replaces;
    return [target, existed](const std::string &name) { return record_of('N', target, name, existed); };
}

int create_file(const std::string &name, int &fd)
{
    fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return fd >= 0 ? 0 : errno;
}

int copy_content(const Result &r, int out)
{
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
    const std::string by_proc = "/proc/self/fd/" + std::to_string(r.fd);
    int copy_error = 0;
    const int err = make_recorded_name(r.target, slot, new_content_record(r), [&](const std::string &name) {
        if (linkat(r.fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        if (errno == EEXIST)
            return EEXIST;
        if (linkat(AT_FDCWD, by_proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return 0;
        int out = -1;
        const int created = create_file(name, out);
        if (created != 0)
            return created;
        copy_error = copy_content(r, out);
        return 0;
    });
    return err != 0 ? err : copy_error;
}

// Flushes and closes the stream; 0 or an errno value. A write that failed
// earlier without errno is reported as an I/O error. The content is not
// synced to the disk: that costs about half a millisecond a file here, more
// than the rest of a run, and the rename alone keeps a crash of the program
// from ever showing a half-written result.
int finish_content(Result &r)
{
    if (r.stream == nullptr)
        return 0;
    errno = 0;
    const bool flushed = std::fflush(r.stream) == 0 && !std::ferror(r.stream);
    int err = flushed ? 0 : (errno != 0 ? errno : EIO);
    const bool closed = std::fclose(r.stream) == 0;
    if (err == 0 && !closed)
        err = errno;
    r.stream = nullptr;
    return err;
}

Result &result_of(std::FILE *f)
{
    for (Result &r : results)
        if (r.stream == f)
            return r;
    refuse("(unknown)", EBADF);
}

// ---- SHA-256 (FIPS 180-4) ----

class Sha256 {
public:
    void add(const unsigned char *data, std::size_t size)
    {
        length_ += size;
        while (size > 0) {
            const std::size_t take = std::min(size, sizeof block_ - used_);
            std::memcpy(block_ + used_, data, take);
            used_ += take;
            data += take;
            size -= take;
            if (used_ == sizeof block_) {
                compress();
                used_ = 0;
            }
        }
    }

    std::string hex()
    {
        const std::uint64_t bits = length_ * 8;
        const unsigned char one = 0x80;
        const unsigned char zero = 0;
        add(&one, 1);
        while (used_ != 56)
            add(&zero, 1);
        unsigned char tail[8];
        for (int i = 0; i < 8; i++)
            tail[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        add(tail, 8);
        static const char kDigits[] = "0123456789abcdef";
        std::string text;
        for (const std::uint32_t word : state_)
            for (int shift = 28; shift >= 0; shift -= 4)
                text += kDigits[(word >> shift) & 15];
        return text;
    }

private:
    static std::uint32_t rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void compress()
    {
        static const std::uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        std::uint32_t w[64];
        for (int i = 0; i < 16; i++)
            w[i] = static_cast<std::uint32_t>(block_[4 * i]) << 24 | static_cast<std::uint32_t>(block_[4 * i + 1]) << 16 |
                   static_cast<std::uint32_t>(block_[4 * i + 2]) << 8 | block_[4 * i + 3];
        for (int i = 16; i < 64; i++) {
            const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t v[8];
        std::memcpy(v, state_, sizeof v);
        for (int i = 0; i < 64; i++) {
            const std::uint32_t s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
            const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 = v[7] + s1 + choice + k[i] + w[i];
            const std::uint32_t s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
            const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            const std::uint32_t t2 = s0 + majority;
            std::memmove(v + 1, v, 7 * sizeof v[0]);
            v[4] += t1;
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; i++)
            state_[i] += v[i];
    }

    std::uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[64] = {};
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
};

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

void use_commit_journal(const std::string &path)
{
    journal_setting = path;
}

FileFailure recover_commit(const std::string &journal)
{
    const int fd = open(journal.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? FileFailure{} : FileFailure{journal, errno};
    std::string text;
    char buffer[16384];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            const int err = errno;
            close(fd);
            return {journal, err};
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);

    Journal j = parse_journal(text);
    if (j.decided && !j.undo && go_forward(j.entries, true).error != 0) {
        // What cannot be completed is undone, and the journal says so first.
        const int out = open(journal.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const std::string undo = record_of('U');
        const int err = out < 0 ? errno : write_all(out, undo.data(), undo.size());
        if (out >= 0)
            close(out);
        if (err != 0)
            return {journal, err};
        j.undo = true;
    }
    if (j.undo) {
        const FileFailure failure = go_back(j.entries);
        if (failure.error != 0)
            return failure;
    }
    remove_names(j.names);
    if (unlink(journal.c_str()) != 0 && errno != ENOENT)
        return {journal, errno};
    return {};
}

std::FILE *open_result(const std::string &path)
{
    register_exit_cleanup();
    Result r{path, "", 0, false, false, false, -1, nullptr, 0, 0};
    int err = path.empty() ? ENOENT : follow_links(path, r.target);
    if (err == 0 && r.target.size() + kSuffixLength >= PATH_MAX)
        err = ENAMETOOLONG;
    if (err == 0)
        err = check_replaceable(r);
    if (err == 0 && results.size() == kMaxResults)
        err = EMFILE;
    if (err != 0)
        refuse(path, err);

    if (!named_only) {
        r.fd = open(folder_of(r.target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        // Where a named temporary could not be made either, say why at once.
        if (r.fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOSPC || errno == EDQUOT))
            refuse(path, errno);
    }
    r.anonymous = r.fd >= 0;
    results.push_back(r);
    if (results.size() > static_cast<std::size_t>(slots_used))
        slots_used = static_cast<sig_atomic_t>(results.size());
    Result &added = results.back();
    if (!added.anonymous) {
        // A named temporary from the start: the journal lists it before it exists.
        std::string failed;
        err = start_journal(failed);
        if (err != 0)
            refuse(failed, err);
        err = make_recorded_name(added.target, temp_names[results.size() - 1], new_content_record(added),
                                 [&added](const std::string &name) { return create_file(name, added.fd); });
        if (err != 0)
            refuse(path, err);
    }

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

void remove_result(std::FILE *f)
{
    Result &r = result_of(f);
    __fpurge(r.stream);
    std::fclose(r.stream);
    r.stream = nullptr;
    close(r.fd);
    r.fd = -1;
    RemovableName &slot = temp_names[static_cast<std::size_t>(&r - results.data())];
    const sigset_t old = block_signals();
    if (slot.armed) {
        unlink(slot.path);
        slot.armed = 0;
    }
    restore_signals(old);
    r.remove = true;
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
    refuse(result_of(f).name, err);
}

std::string result_sha256(std::FILE *f)
{
    const Result &r = result_of(f);
    errno = 0;
    if (std::fflush(f) != 0 || std::ferror(f))
        result_write_failed(f);
    Sha256 digest;
    unsigned char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(r.fd, buffer, sizeof buffer, at);
        if (n < 0)
            refuse(r.name, errno);
        if (n == 0)
            break;
        digest.add(buffer, static_cast<std::size_t>(n));
        at += n;
    }
    return digest.hex();
}

std::string sha256_hex(const std::string &bytes)
{
    Sha256 digest;
    digest.add(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    return digest.hex();
}

void commit_results()
{
    if (results.empty())
        return;
    for (Result &r : results) {
        const int err = finish_content(r);
        if (err != 0)
            refuse(r.name, err);
    }
    std::string failed;
    const int started = start_journal(failed);
    if (started != 0)
        refuse(failed, started);

    std::vector<Entry> entries;
    for (std::size_t i = 0; i < results.size(); i++) {
        Result &r = results[i];
        if (r.remove) {
            if (r.replaces) {
                const int err = append(record_of('R', absolute(r.target), "", 1));
                if (err != 0)
                    refuse(r.name, err);
            }
        } else if (r.anonymous) {
            const int err = name_content(r, temp_names[i]);
            if (err != 0)
                refuse(r.name, err);
        }
        if (r.fd >= 0)
            close(r.fd);
        r.fd = -1;
        entries.push_back(Entry{absolute(r.target), r.remove ? "" : absolute(temp_names[i].path), "", r.replaces,
                                r.remove});
    }
    // A second name for each file about to be replaced or removed, so that a
    // failed rename can put it back; where hard links fail, that file cannot be.
    for (std::size_t i = 0; i < results.size(); i++) {
        const Result &r = results[i];
        if (!r.replaces)
            continue;
        const std::string target = absolute(r.target);
        bool unlinkable = false;
        const int err = make_recorded_name(
            r.target, backup_names[i], [&target](const std::string &name) { return record_of('B', target, name); },
            [&r, &unlinkable](const std::string &name) {
                if (linkat(AT_FDCWD, r.target.c_str(), AT_FDCWD, name.c_str(), 0) == 0)
                    return 0;
                unlinkable = errno != EEXIST;
                return errno;
            });
        if (err == 0)
            entries[i].backup = absolute(backup_names[i].path);
        else if (!unlinkable)
            refuse(journal_path(), err);
    }

    // From the decision on, an interrupting signal waits until every file is
    // in place or put back.
    const sigset_t old = block_signals();
    int err = append(record_of('C'));
    if (err != 0) {
        restore_signals(old);
        refuse(journal_path(), err);
    }
    journal_name.armed = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(slots_used); i++)
        temp_names[i].armed = 0;
    const FileFailure forward = go_forward(entries, false);
    if (forward.error != 0) {
        append(record_of('U'));
        go_back(entries);
        for (const Entry &e : entries)
            if (!e.temp.empty() && unlink(e.temp.c_str()) == 0)
                step_done();
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(slots_used); i++) {
        RemovableName &n = backup_names[i];
        if (n.armed) {
            n.armed = 0;
            if (unlink(n.path) == 0)
                step_done();
        }
    }
    close_journal();
    unlink(journal_path().c_str());
    restore_signals(old);
    if (forward.error != 0) {
        for (const Result &r : results)
            if (absolute(r.target) == forward.name)
                refuse(r.name, forward.error);
        refuse(forward.name, forward.error);
    }
    results.clear();
}

ResultLock lock_results(const std::string &path, double timeout_seconds, const std::function<void()> &waiting)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool said = false;
    for (;;) {
        ResultLock lock;
        lock.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (lock.fd < 0)
            return {-1, errno};
        struct stat held;
        if (fstat(lock.fd, &held) != 0 || !(S_ISREG(held.st_mode) || S_ISDIR(held.st_mode))) {
            unlock_results(lock);
            return {-1, EINVAL};
        }
        if (flock(lock.fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat now;
            if (stat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino)
                return lock;
            unlock_results(lock);  // replaced under its name: lock the new file
            continue;
        }
        const int err = errno;
        unlock_results(lock);
        if (err != EWOULDBLOCK && err != EINTR)
            return {-1, err};
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (static_cast<double>(now.tv_sec - start.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec - start.tv_nsec) >
            timeout_seconds)
            return {-1, ETIMEDOUT};
        if (!said && waiting)
            waiting();
        said = true;
        const timespec pause{0, 20000000};
        nanosleep(&pause, nullptr);
    }
}

void unlock_results(ResultLock &lock)
{
    if (lock.fd >= 0)
        close(lock.fd);
    lock.fd = -1;
}
