#pragma once

// The report of a results file: its levels read as the worker reads them, shown as a table per
// channel and drawn as a picture (SVG text) of bars on the dB scale.

#include <array>
#include <string>

#include "calibration/results_file_format.h"
#include "speaker_command_line.h"

namespace speaker {

struct StoredLevel {
    enum class Reading {
        kStored,   // a number
        kMissing,  // no such key: read as the floor
        kBad,      // not a number, or not a finite one: read as the floor
    };
    const char* key = "";
    std::string text;  // as stored, truncated as the worker truncates it
    Reading reading = Reading::kMissing;
    float percent = 0;
    float db = 0;
};

struct StoredResults {
    std::string path;
    std::string done;  // the value of the done key
    // In the order of the file's key table: channel c band b at 3 * c + b, then the masters.
    std::array<StoredLevel, zelk::kResultsLevelKeyCount> levels;
};

// Reads every level of a results file. False with a message for a person when there is no
// readable file or it holds no results (the done key is not "YES"); levels that are missing or
// not numbers are no reason to refuse: they read as the floor, as the worker reads them.
bool ReadStoredResults(const std::string& path, StoredResults* results, std::string* error);

// The row names of the table and the picture: the eight channels, then "master left" and
// "master right".
std::string ResultsRowName(int32_t row);
constexpr int32_t kResultsRows = zelk::kSpeakerChannels + zelk::kMasterSides;

// The table per channel: Low, Medium and High in dB and percent, then the master levels.
std::string ResultsTable(const StoredResults& results);
// A self-contained SVG document: per channel its three bands as bars on the dB scale from the
// floor to 0 dB, the masters beside them. Every bar is a <rect> carrying data-key.
std::string ResultsSvg(const StoredResults& results);

// "speaker report FILE [-o FILE.svg]": the process's exit code.
int RunReport(const Options& options);

}  // namespace speaker
