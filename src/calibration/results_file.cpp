#include "calibration/results_file.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/files.h"

namespace zelk {

namespace {

constexpr const char* kResultsFileName = "\\Qalto.ini";
constexpr const char* kSection = "QORSqaltor";
constexpr const char* kDoneKey = "qaltoOK";
constexpr uint32_t kPathCapacity = 260;
constexpr uint32_t kValueCapacity = 32;
constexpr int32_t kSubwooferChannel = 4;
constexpr int32_t kMasterKeyBase = 3 * kSpeakerChannels;

// Key of channel c and band b at 3 * c + b; the master pair follows the eight channels.
constexpr const char* kLevelKeys[3 * (kSpeakerChannels + kMasterSides)] = {
    "FrontLeftLow",      "FrontLeftMedium",  "FrontLeftHigh",   "FrontRightLow",
    "FrontRightMedium",  "FrontRightHigh",   "RearLeftLow",     "RearLeftMedium",
    "RearLeftHigh",      "RearRightLow",     "RearRightMedium", "RearRightHigh",
    "SubwooferLow",      "SubwooferMedium",  "SubwooferHigh",   "CenterLow",
    "CenterMedium",      "CenterHigh",       "SideLeftLow",     "SideLeftMedium",
    "SideLeftHigh",      "SideRightLow",     "SideRightMedium", "SideRightHigh",
    "MasterLeftLow",     "MasterLeftMedium", "MasterLeftHigh",  "MasterRightLow",
    "MasterRightMedium", "MasterRightHigh",
};

const char* ChannelKey(int32_t channel, int32_t band) {
    return kLevelKeys[3 * channel + band];
}

const char* MasterKey(int32_t side, int32_t band) {
    return kLevelKeys[kMasterKeyBase + 3 * side + band];
}

// Room for the longest current directory a platform reports (32767 characters and the end).
constexpr uint32_t kLongestDirectory = 32768;

// True when there is a current directory that the path's buffer cannot hold.
bool DirectoryTooLong(Files* files) {
    std::unique_ptr<char[]> directory(new (std::nothrow) char[kLongestDirectory]);
    if (!directory)
        return true;  // its length cannot be told
    return files->CurrentDirectory(directory.get(), kLongestDirectory) != 0;
}

// "<current directory>\Qalto.ini", or the bare name when there is no current directory. False
// when the directory and the name do not fit into the path together: the file's place is then
// not settled.
bool BuildResultsPath(Files* files, char (&path)[kPathCapacity]) {
    const size_t nameLength = std::strlen(kResultsFileName);
    char directory[kPathCapacity] = {};
    const uint32_t length = files->CurrentDirectory(directory, kPathCapacity);
    // An empty answer is either no current directory at all or one longer than the buffer.
    if (length == 0 && DirectoryTooLong(files))
        return false;
    if (length + nameLength >= kPathCapacity)
        return false;
    std::memcpy(path, directory, length);
    std::memcpy(path + length, kResultsFileName, nameLength + 1);
    return true;
}

// Percent of the level scale, 0 at the floor and 100 at 0 dB.
float LevelToPercent(float level) {
    long double percent = (static_cast<long double>(level) + 65.25L) / 65.25L * 100.0L;
    return static_cast<float>(percent);
}

float PercentToLevel(const char* text) {
    float percent = static_cast<float>(std::strtod(text, nullptr));
    double level = (100.0 - static_cast<double>(percent)) / 100.0 * -65.25;
    return static_cast<float>(level);
}

bool WriteLevel(Files* files, const char* path, const char* key, float level) {
    char value[kValueCapacity];
    std::snprintf(value, sizeof(value), "%.4f", static_cast<double>(LevelToPercent(level)));
    return files->WriteIniString(kSection, key, value, path);
}

float ReadLevel(Files* files, const char* path, const char* key) {
    char value[kValueCapacity] = {};
    files->ReadIniString(kSection, key, "0.0", value, kValueCapacity, path);
    return PercentToLevel(value);
}

bool StartsWithYes(const char* text) {
    const char* yes = "YES";
    for (int i = 0; i < 3; ++i) {
        if (text[i] == '\0' ||
            std::toupper(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(yes[i]))
            return false;
    }
    return true;
}

bool IsSixChannelCodec(uint16_t deviceId) {
    return deviceId == 0x0892 || deviceId == 0x0662;
}

}  // namespace

int32_t WriteResultsFile(CalibrationContext* context) {
    if (context == nullptr || context->platform.files == nullptr)
        return kFail;
    Files* files = context->platform.files;
    char path[kPathCapacity] = {};
    if (!BuildResultsPath(files, path))
        return kFail;

    const bool singleRun = context->mode == 1;
    const int32_t measured = context->singleChannel;
    if (singleRun && (measured < 0 || measured >= kSpeakerChannels))
        return kFail;

    // A failed write is noted in the result and the remaining keys are still written.
    bool written = files->WriteIniString(kSection, kDoneKey, "YES", path);
    auto write = [&](const char* key, float level) {
        written = WriteLevel(files, path, key, level) && written;
    };

    if (singleRun) {
        const int32_t side = MasterSideOf(measured);
        const int32_t pass = measured == kSubwooferChannel ? 1 : 0;
        for (int32_t band = 0; band < kBands; ++band)
            write(MasterKey(side, band), context->masterLevels[0][side][band]);
        for (int32_t band = 0; band < kBands; ++band)
            write(ChannelKey(measured, band), context->channelLevels[pass][measured][band]);
        return written ? kOk : kFail;
    }

    for (int32_t side = 0; side < kMasterSides; ++side) {
        for (int32_t band = 0; band < kBands; ++band)
            write(MasterKey(side, band), context->masterLevels[0][side][band]);
    }
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        const int32_t pass = channel == kSubwooferChannel ? 1 : 0;
        for (int32_t band = 0; band < kBands; ++band)
            write(ChannelKey(channel, band), context->channelLevels[pass][channel][band]);
    }
    return written ? kOk : kFail;
}

Status ApplyStoredResults(CalibrationContext* context, WindowHandle window, uint16_t vendorId,
                          uint16_t deviceId, int32_t band) {
    if (context == nullptr || context->platform.files == nullptr || band < 0 || band >= kBands)
        return kFail;
    Files* files = context->platform.files;
    char path[kPathCapacity] = {};
    if (!BuildResultsPath(files, path))
        return kFail;

    char done[kValueCapacity] = {};
    files->ReadIniString(kSection, kDoneKey, "NO", done, kValueCapacity, path);
    if (!StartsWithYes(done))
        return kFail;

    if (Failed(context->ReopenEndpointControl(window, vendorId, deviceId)))
        return kFail;
    EndpointControl* control = context->endpointControl.get();

    const float left = ReadLevel(files, path, MasterKey(kMasterLeft, band));
    const float right = ReadLevel(files, path, MasterKey(kMasterRight, band));
    context->masterLevels[0][kMasterLeft][band] = left;
    context->masterLevels[0][kMasterRight][band] = right;
    control->SetMasterLevels(left, right);

    const int32_t lastChannel =
        IsSixChannelCodec(deviceId) && context->renderTopologyKind == kTopologySixChannel
            ? 5
            : kSpeakerChannels - 1;
    for (int32_t channel = 0; channel <= lastChannel; ++channel) {
        const float level = ReadLevel(files, path, ChannelKey(channel, band));
        const int32_t pass = channel == kSubwooferChannel ? 1 : 0;
        context->channelLevels[pass][channel][band] = level;
        control->SetChannelLevel(channel, level);
    }

    context->DropEndpointControl();
    return kOk;
}

}  // namespace zelk
