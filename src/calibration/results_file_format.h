#pragma once

// The results file's format: its section, its keys and how a stored percentage reads as a level.
// Shared by the worker's results file and the peer tool's report of it; it needs nothing but the
// standard library and two headers of constants.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "audio/bands.h"
#include "endpoint/codec_facts.h"

namespace zelk {

inline constexpr char kResultsSection[] = "QORSqaltor";
// "YES" once a run has written results; read with the default "NO".
inline constexpr char kResultsDoneKey[] = "qaltoOK";
inline constexpr char kResultsDone[] = "YES";
inline constexpr char kResultsNotDone[] = "NO";
// A stored value is read into a buffer of this many characters (the last one ends the text).
inline constexpr uint32_t kResultsValueCapacity = 32;
// A key that is missing reads as this text, so as the floor.
inline constexpr char kResultsMissingValue[] = "0.0";

// The levels of the results file span this many dB below 0 dB: 0 percent is the floor.
inline constexpr double kResultsScaleDb = -static_cast<double>(kLevelFloorDb);

// Bands in the order of the keys: Low, Medium, High.
inline constexpr const char* kResultsBandNames[kBands] = {"Low", "Medium", "High"};
// Eight speaker channels in channel order, then the master pair left and right.
inline constexpr int32_t kResultsLevelKeyCount = kBands * (kSpeakerChannels + kMasterSides);
inline constexpr int32_t kResultsMasterKeyBase = kBands * kSpeakerChannels;

// Key of channel c and band b at 3 * c + b; the master pair follows the eight channels.
inline constexpr const char* kResultsLevelKeys[kResultsLevelKeyCount] = {
    "FrontLeftLow",      "FrontLeftMedium",  "FrontLeftHigh",   "FrontRightLow",
    "FrontRightMedium",  "FrontRightHigh",   "RearLeftLow",     "RearLeftMedium",
    "RearLeftHigh",      "RearRightLow",     "RearRightMedium", "RearRightHigh",
    "SubwooferLow",      "SubwooferMedium",  "SubwooferHigh",   "CenterLow",
    "CenterMedium",      "CenterHigh",       "SideLeftLow",     "SideLeftMedium",
    "SideLeftHigh",      "SideRightLow",     "SideRightMedium", "SideRightHigh",
    "MasterLeftLow",     "MasterLeftMedium", "MasterLeftHigh",  "MasterRightLow",
    "MasterRightMedium", "MasterRightHigh",
};

inline constexpr const char* ResultsChannelKey(int32_t channel, int32_t band) {
    return kResultsLevelKeys[kBands * channel + band];
}

inline constexpr const char* ResultsMasterKey(int32_t side, int32_t band) {
    return kResultsLevelKeys[kResultsMasterKeyBase + kBands * side + band];
}

// True when the done key's value begins with kResultsDone, without regard to case.
inline bool ResultsAreStored(const char* doneValue) {
    for (int i = 0; kResultsDone[i] != '\0'; ++i) {
        const char c = doneValue[i];
        if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != kResultsDone[i])
            return false;
    }
    return true;
}

// The percentage a stored text holds: the number it begins with, as a single-precision float. A
// text that is not a number, or a number that is not finite as a float, reads as 0 (the floor).
inline float ResultsPercentOfText(const char* text) {
    const double percent = std::strtod(text, nullptr);
    if (!std::isfinite(percent) || std::fabs(percent) > std::numeric_limits<float>::max())
        return 0.0f;
    return static_cast<float>(percent);
}

// Percent of the level scale, 0 at the floor and 100 at 0 dB, computed in extended precision.
inline float ResultsPercentOfLevel(float level) {
    const long double scale = kResultsScaleDb;
    return static_cast<float>((static_cast<long double>(level) + scale) / scale * 100.0L);
}

// The level in dB of a stored percentage.
inline float ResultsLevelOfPercent(float percent) {
    return static_cast<float>((100.0 - static_cast<double>(percent)) / 100.0 * -kResultsScaleDb);
}

}  // namespace zelk
