// The error value of the library: what went wrong, where, and the exit code a
// program should end with. Functions that can fail return a Result, which
// holds either their value or an Error; nothing in the library prints or
// ends the process.
#ifndef RATING_ERROR_H
#define RATING_ERROR_H

#include <string>
#include <utility>
#include <variant>

namespace rating {

// Line numbers are counted in 64 bits: a file may hold more lines than an int.
using LineNumber = long long;

// How an error is shown. The run without arguments keeps two forms of its
// own beside the located message: a file that cannot be opened, after which
// it pauses, and a message that stands alone.
enum class ErrorKind {
    located,      // "\nError in file F, line L: message\n"
    cannot_open,  // "\nUnable to open file F\n"
    standalone,   // "\n\nmessage\n"
};

struct Error {
    std::string file;         // as named in messages; empty when no file is concerned
    LineNumber line = 0;      // physical line, from 1; 0 when none
    long column = 0;          // field or character column, from 1; 0 when none
    std::string column_name;  // the column's header name, when known
    std::string message;      // what was expected, or what is wrong
    int exit_code = 1;
    ErrorKind kind = ErrorKind::located;
};

// "\nError in file F, line L, column K (name): message\n", leaving out the
// parts the error does not have ("\nError: message\n" without a file); the
// other kinds as their comments show.
std::string error_text(const Error &error);

// An error of a file without a line.
Error file_error_value(std::string file, std::string message, int exit_code = 1);

// An error at a line of a file (column 0: the whole line).
Error line_error_value(std::string file, LineNumber line, std::string message, long column = 0,
                       std::string column_name = std::string());

template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<0>(v_); }
    T &value() & { return std::get<0>(v_); }
    T &&value() && { return std::get<0>(std::move(v_)); }
    const Error &error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

// A function that returns no value: ok, or an Error.
struct Done {};
using Status = Result<Done>;

} // namespace rating

#endif
