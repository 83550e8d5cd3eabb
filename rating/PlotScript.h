// Running the plot script (rating-plot, plot/plot.sh) from the commands.
#ifndef PLOTSCRIPT_H
#define PLOTSCRIPT_H

#include <string>
#include <vector>

// The plot script: beside an installed program (bin/rating-plot), else in
// plot/ of the source tree the program was built under; "" when neither.
std::string plot_script();

// Runs the script with the arguments, its output on the error stream; 0
// when it succeeded, else a message for the console (beginning with a line
// end) in `why`.
int run_plot_script(const std::vector<std::string> &arguments, std::string &why);

// The units of a --units option, "m,m3/s": the stage's and the discharge's;
// false unless the text is two units with one comma between.
bool split_units(const std::string &units, std::string &stage, std::string &discharge);

#endif
