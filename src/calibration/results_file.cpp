#include "calibration/results_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "calibration/results_file_format.h"
#include "platform/files.h"

namespace zelk {

namespace {

constexpr const char* kResultsFileName = "\\Qalto.ini";
constexpr uint32_t kPathCapacity = 260;

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

bool WriteLevel(Files* files, const char* path, const char* key, float level) {
    char value[kResultsValueCapacity];
    std::snprintf(value, sizeof(value), "%.4f", static_cast<double>(ResultsPercentOfLevel(level)));
    return files->WriteIniString(kResultsSection, key, value, path);
}

float ReadLevel(Files* files, const char* path, const char* key) {
    char value[kResultsValueCapacity] = {};
    files->ReadIniString(kResultsSection, key, kResultsMissingValue, value, kResultsValueCapacity,
                         path);
    return ResultsLevelOfPercent(ResultsPercentOfText(value));
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
    bool written = files->WriteIniString(kResultsSection, kResultsDoneKey, kResultsDone, path);
    auto write = [&](const char* key, float level) {
        written = WriteLevel(files, path, key, level) && written;
    };

    if (singleRun) {
        const int32_t side = MasterSideOf(measured);
        const int32_t pass = measured == kSubwooferChannel ? 1 : 0;
        for (int32_t band = 0; band < kBands; ++band)
            write(ResultsMasterKey(side, band), context->masterLevels[0][side][band]);
        for (int32_t band = 0; band < kBands; ++band)
            write(ResultsChannelKey(measured, band), context->channelLevels[pass][measured][band]);
        return written ? kOk : kFail;
    }

    for (int32_t side = 0; side < kMasterSides; ++side) {
        for (int32_t band = 0; band < kBands; ++band)
            write(ResultsMasterKey(side, band), context->masterLevels[0][side][band]);
    }
    for (int32_t channel = 0; channel < kSpeakerChannels; ++channel) {
        const int32_t pass = channel == kSubwooferChannel ? 1 : 0;
        for (int32_t band = 0; band < kBands; ++band)
            write(ResultsChannelKey(channel, band), context->channelLevels[pass][channel][band]);
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

    char done[kResultsValueCapacity] = {};
    files->ReadIniString(kResultsSection, kResultsDoneKey, kResultsNotDone, done,
                         kResultsValueCapacity, path);
    if (!ResultsAreStored(done))
        return kFail;

    if (Failed(context->ReopenEndpointControl(window, vendorId, deviceId)))
        return kFail;
    EndpointControl* control = context->endpointControl.get();

    const float left = ReadLevel(files, path, ResultsMasterKey(kMasterLeft, band));
    const float right = ReadLevel(files, path, ResultsMasterKey(kMasterRight, band));
    context->masterLevels[0][kMasterLeft][band] = left;
    context->masterLevels[0][kMasterRight][band] = right;
    control->SetMasterLevels(left, right);

    const int32_t lastChannel =
        LastServedChannel(deviceId, context->renderTopologyKind == kTopologySixChannel);
    for (int32_t channel = 0; channel <= lastChannel; ++channel) {
        const float level = ReadLevel(files, path, ResultsChannelKey(channel, band));
        const int32_t pass = channel == kSubwooferChannel ? 1 : 0;
        context->channelLevels[pass][channel][band] = level;
        control->SetChannelLevel(channel, level);
    }

    context->DropEndpointControl();
    return kOk;
}

}  // namespace zelk
