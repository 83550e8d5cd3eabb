#include "Error.h"

namespace rating {

std::string error_text(const Error &error)
{
    if (error.kind == ErrorKind::cannot_open)
        return "\nUnable to open file " + error.file + "\n";
    if (error.kind == ErrorKind::standalone)
        return "\n\n" + error.message + "\n";
    if (error.file.empty())
        return "\nError: " + error.message + "\n";
    std::string text = "\nError in file " + error.file;
    if (error.line > 0)
        text += ", line " + std::to_string(error.line);
    if (error.column > 0) {
        text += ", column " + std::to_string(error.column);
        if (!error.column_name.empty())
            text += " (" + error.column_name + ")";
    }
    return text + ": " + error.message + "\n";
}

Error file_error_value(std::string file, std::string message, int exit_code)
{
    Error e;
    e.file = std::move(file);
    e.message = std::move(message);
    e.exit_code = exit_code;
    return e;
}

Error line_error_value(std::string file, LineNumber line, std::string message, long column, std::string column_name)
{
    Error e;
    e.file = std::move(file);
    e.line = line;
    e.column = column;
    e.column_name = std::move(column_name);
    e.message = std::move(message);
    return e;
}

} // namespace rating
