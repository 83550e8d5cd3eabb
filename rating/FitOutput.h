// The files of one fitted station, made as text: the curve file, the
// gaugings with their deviations, the candidate models, the bands, the
// figures for programs and the report for a person. Writing them to disk is
// the caller's (all of them committed together).
#ifndef FITOUTPUT_H
#define FITOUTPUT_H

#include "Fit.h"
#include "Report.h"

#include <string>
#include <vector>

struct OutputFile {
    std::string name;     // file name, "<station name>.<kind>"
    std::string content;
};

struct StationOutput {
    std::vector<OutputFile> files;
    FitFigures figures;   // the report's figures of the written curve
};

// `name` is the station's file name (station_file_name); `source` the
// gauging file as named in the report. Without `with_files` only the
// figures are made.
StationOutput station_output(const std::string &name, const std::string &source,
                             const rating::FitResult &result, const rating::FitSettings &settings,
                             bool with_files = true);

#endif
