// The result files of a run, written all or none. The new content of each
// file goes to a temporary in the folder of the file it replaces and takes
// that file's place only when commit_results() puts every result of the run
// in place together; a run that fails, is refused or is interrupted leaves
// the earlier results as they were and no temporary behind.
//
// Messages go to standard output, begin with a line end and end the process
// with exit code 1.
#ifndef RESULTFILE_H
#define RESULTFILE_H

#include <cstdio>
#include <string>

// Call once at the start of a run. SIGXFSZ is ignored, so that a write beyond
// the file size limit fails with an error that is reported. SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE first remove any named temporary and then end
// the process by the same signal, with its usual status; a signal that was
// ignored when the program started (as under nohup) stays ignored.
void protect_results();

// Starts the result file `path` (named so in messages) and returns the stream
// that writes its new content; the stream belongs to this unit and is closed
// by commit_results(). Nothing at `path` changes before commit_results().
// When `path` is a symbolic link the content replaces the file it finally
// points to, and the link stays. The new file gets the permission bits of the
// file it replaces, a new one 0666 less the umask.
//
// Refuses, with "\nUnable to write file <path>: <reason>\n" and exit code 1,
// when the file could not be replaced: its folder is missing or not writable,
// a folder or another non-regular file stands at `path`, or the user running
// the program may not write the existing file.
std::FILE *open_result(const std::string &path);

// Formatted output to a stream from open_result; a failed write ends the run
// as result_write_failed does.
[[gnu::format(printf, 2, 3)]] void write_result(std::FILE *f, const char *format, ...);

// Ends the run after a failed write on a stream from open_result, with
// "\nUnable to write file <path>: <reason of errno>\n" and exit code 1.
// Call it at once, before anything else can change errno. Nothing in place
// changes and no temporary is left.
[[noreturn]] void result_write_failed(std::FILE *f);

// Puts every result file opened since the last commit in place, all of them
// or (as far as the system allows) none: the streams are flushed and checked,
// then every content gets a temporary name beside its final one, then all are
// renamed into place. A failure is reported as above; a file already renamed
// is then put back. The contents are not forced to the disk.
void commit_results();

// Contents are written to anonymous files where the file system has them, so
// that even SIGKILL leaves nothing behind, and otherwise to named temporaries
// "<file>.XXXXXX". With `named` true the unit always uses named temporaries,
// as on file systems without anonymous files. Applies to files opened after.
void use_named_temporaries(bool named);

#endif
