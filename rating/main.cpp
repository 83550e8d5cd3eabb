// Fits a stage-discharge rating curve to a gauge's field measurements.
// Run from a folder holding Control.dat and Settings.dat; no arguments.
#include "Driver.h"
#include "Model.h"

#include <ctime>

int main()
{
    Tstart = static_cast<long>(std::clock());
    read_control();
    read_settings();
    write_source_plt();
    read_observations();
    place_knots();
    fit_and_write_results();
    finish_run();
    return 0;
}
