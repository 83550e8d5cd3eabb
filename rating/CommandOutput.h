// The commands' result files: runs writing into one folder take turns, and
// a commit there that an earlier run left cut short is completed or undone
// before anything new is written.
#ifndef COMMANDOUTPUT_H
#define COMMANDOUTPUT_H

#include <string>

// Locks `folder` for the rest of the process (waiting up to a minute for
// another run, and saying so), recovers the commit recorded in `journal` and
// makes it the journal of this run's commit. Returns "" or the console
// message (beginning with a line end) of why the run cannot go on.
std::string prepare_output(const std::string &folder, const std::string &journal);

// Recovers the commit recorded in `journal` and makes it the journal of the
// next commit; "" or the console message of why that failed.
std::string take_journal(const std::string &journal);

// The folder of a file path: "." for a bare name.
std::string folder_of_path(const std::string &path);

// Makes the folder and those above it that are missing; 0 or an errno value.
int make_folders(const std::string &dir);

#endif
