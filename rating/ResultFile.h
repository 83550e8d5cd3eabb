// The result files of a run, written all or none. The new content of each
// file goes to a temporary in the folder of the file it replaces and takes
// that file's place only when commit_results() puts every result of the run
// in place together; a run that fails, is refused or is interrupted leaves
// the earlier results as they were and no temporary behind.
//
// The commit keeps a journal: before it gives a temporary a name or changes
// anything in place it writes there what it is about to do, so that a commit
// cut short where no handler runs (SIGKILL, a crash, a power cut of a machine
// whose disk keeps what was written) can be completed or undone afterwards by
// recover_commit(). Until then the journal stands beside the results and
// tells that they may be half in place.
//
// Messages go to standard output, begin with a line end and end the process
// with exit code 1.
#ifndef RESULTFILE_H
#define RESULTFILE_H

#include <cstdio>
#include <functional>
#include <string>

// Call once at the start of a run. SIGXFSZ is ignored, so that a write beyond
// the file size limit fails with an error that is reported. SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE first remove any named temporary and an
// undecided journal and then end the process by the same signal, with its
// usual status; a signal that was ignored when the program started (as under
// nohup) stays ignored. Once a commit has decided, these signals wait until
// it is done.
void protect_results();

// The journal of the commit of the results opened from now on: give every set
// of results a path of its own, in a folder the run may write, where the next
// run on the same results looks (recover_commit). Without it the journal is
// "<the file the first result replaces>.journal".
void use_commit_journal(const std::string &path);

// A file that could not be changed and the errno value of why; error 0 when
// nothing failed.
struct FileFailure {
    std::string name;
    int error = 0;
};

// Completes the commit recorded in the journal at `path` when that commit had
// decided (every new content stood ready under its temporary name), and
// otherwise undoes it; then removes its temporaries, the second names it gave
// the files it replaced, and the journal. Nothing happens when there is no
// journal. A file that was replaced since the interrupted commit decided is
// left as it is. When a file cannot be changed, the journal stays and the
// failure is returned.
FileFailure recover_commit(const std::string &journal);

// Starts the result file `path` (named so in messages) and returns the stream
// that writes its new content; the stream belongs to this unit and is closed
// by commit_results(). Nothing at `path` changes before commit_results().
// When `path` is a symbolic link the content replaces the file it finally
// points to, and the link stays. The new file gets the permission bits of the
// file it replaces, a new one 0666 less the umask.
//
// Refuses, with "\nUnable to write file <path>: <reason>\n" and exit code 1,
// when the file could not be replaced: its folder is missing or not writable,
// a folder or another non-regular file stands at `path`, the user running the
// program may not write the existing file, or it is the same file as a result
// opened before it (the same path, or links to one file).
std::FILE *open_result(const std::string &path);

// The commit removes the file at the path of `f` (a stream from open_result)
// instead of writing it, or leaves no file there when there was none; what was
// written to `f` is dropped and `f` must not be used again. A symbolic link
// stays, and the file it points to goes.
void remove_result(std::FILE *f);

// Formatted output to a stream from open_result; a failed write ends the run
// as result_write_failed does.
[[gnu::format(printf, 2, 3)]] void write_result(std::FILE *f, const char *format, ...);

// Ends the run after a failed write on a stream from open_result, with
// "\nUnable to write file <path>: <reason of errno>\n" and exit code 1.
// Call it at once, before anything else can change errno. Nothing in place
// changes and no temporary is left.
[[noreturn]] void result_write_failed(std::FILE *f);

// The SHA-256 digest, in 64 lowercase hexadecimal digits, of everything
// written so far to a stream from open_result (flushed first; a failed
// write ends the run as result_write_failed does).
std::string result_sha256(std::FILE *f);

// The SHA-256 digest of the bytes, in 64 lowercase hexadecimal digits.
std::string sha256_hex(const std::string &bytes);

// Puts every result file opened since the last commit in place, all of them
// or none. The streams are flushed and checked; then, each step recorded in
// the journal before it is taken, every content gets a temporary name beside
// its final one and every file about to be replaced or removed a second name;
// then the journal records the decision, every content is renamed into place
// (and every removed file unlinked), the second names and the journal go. A
// failure before the decision leaves everything as it was; a failed rename
// after it puts back the files already replaced. Failures are reported as
// above. The contents are not forced to the disk.
void commit_results();

// Contents are written to anonymous files where the file system has them, so
// that even SIGKILL leaves nothing behind before the commit, and otherwise to
// named temporaries "<file>.XXXXXX", which the journal lists from the start.
// With `named` true the unit always uses named temporaries, as on file
// systems without anonymous files. Applies to files opened after.
void use_named_temporaries(bool named);

// An advisory lock (flock) that serialises the runs writing one set of
// results: every such run takes it on the same existing file or folder before
// it recovers, opens or commits anything.
struct ResultLock {
    int fd = -1;    // holds the lock while open; -1 when not held
    int error = 0;  // why not held: ETIMEDOUT when another process kept it
                    // all the time allowed, else the reason the file could not
                    // be opened or locked (EINVAL: neither a file nor a folder)
};

// Takes the lock on `path`, at once when it is free. Otherwise `waiting` is
// called once and the lock is tried again until it is free or
// `timeout_seconds` have passed. A file replaced under its name meanwhile (as
// editors save) is locked under its new identity.
ResultLock lock_results(const std::string &path, double timeout_seconds, const std::function<void()> &waiting);

// Releases a lock from lock_results (nothing when it is not held).
void unlock_results(ResultLock &lock);

#endif
