// Reading the run's input files value by value.
//
// A file is read whole and then taken apart the way formatted input would:
// numbers skip the white space and line ends in front of them, and the rest
// of a line after a value can be thrown away as a comment. Either line end
// convention (LF or CR LF) is accepted, the last line needs no line end, and
// a byte order mark at the start is passed over.
// Every position knows its line number, so that a message can name it.
#ifndef TEXTINPUT_H
#define TEXTINPUT_H

#include <string>

// Line numbers are counted in 64 bits: a file may hold more lines than an int.
using LineNumber = long long;

struct TextFile {
    std::string name;  // as it is named in messages
    std::string text;
    std::size_t pos = 0;
    LineNumber line = 1;  // line number at pos
};

// Why load_text could not read a file: the system's error number (ENOENT
// when there is no such file), or one of these for a file that exists but
// is no regular file.
constexpr int kIsFolder = -1;
constexpr int kNotRegularFile = -2;  // a device, pipe or socket

// Reads the whole regular file; returns 0, or why it could not. A pipe or a
// device is never opened for reading in earnest, so it cannot stall the run.
int load_text(const char *path, TextFile &tf);

// The reason for a failure of load_text, for a message.
std::string load_failure(int why);

bool at_end(const TextFile &tf);

// Throws away the rest of the current line, its line end included.
void skip_rest_of_line(TextFile &tf);

// Takes the rest of the current line, without its line end.
std::string take_rest_of_line(TextFile &tf);

// Skips white space and line ends; false when the file ends first.
bool skip_space(TextFile &tf);

// The next word (a run of characters other than white space), or "" at the end.
std::string read_word(TextFile &tf);

// Reads a number at s (after any white space), as formatted input reads it;
// the number must end at white space or at the end of the text. On success
// *end is where it ended.
bool scan_number(const char *s, double &v, const char **end);

// The next number after white space and line ends, ending as scan_number's
// does. On failure nothing but the white space is consumed, and at the end of
// the file not even that.
bool read_double(TextFile &tf, double &v);

// The next whole number, ending at white space or at the end of the text;
// one outside the range of int is refused.
bool read_int(TextFile &tf, int &v);

// Ends the run: "\nError in file <name>, line <line>: <what>\n", exit code 1.
[[noreturn]] void input_error(const std::string &name, LineNumber line, const std::string &what);

// Ends the run: "\nError in file <name>: <what>\n", exit code 1.
[[noreturn]] void file_error(const std::string &name, const std::string &what);

#endif
