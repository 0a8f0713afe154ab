#pragma once

// A codec and room whose couplings and stepping put each band of each channel on a known step,
// with the model the predictions are computed from.

#include <array>
#include <cstdint>
#include <string>

#include "calibration/room_prediction.h"
#include "platform/sim/sim_pc.h"

namespace zelk::testing {

struct ChannelPart {
    const char* name;
    int32_t speakers[2];  // speaker channel of each channel of the part; -1 for none
};

inline constexpr ChannelPart kChannelParts[] = {
    {sim::kPartFront, {0, 1}},   {sim::kPartRear, {2, 3}}, {sim::kPartSubwoofer, {4, -1}},
    {sim::kPartCenter, {5, -1}}, {sim::kPartSide, {6, 7}},
};

// Steps of 6 dB (9 dB for the subwoofer) so that the bands fall on different steps.
inline constexpr LevelRange kMeasuredRange = {-46.5f, 0.0f, 0.3f};
inline constexpr LevelRange kSubwooferRange = {-46.5f, 0.0f, 0.45f};
// The master stops short of 0 dB, so that the recorded master level shows.
inline constexpr LevelRange kMasterRange = {-46.5f, -1.5f, 1.5f};

// Cycles of Low, Medium and High (none: never met): front left 5, 6, none; front right 3, 4, 4;
// rear left 2, 3, 4; rear right 4, 5, 5; subwoofer 2, 2, 3; center 1, 2, 3; side left 1, 2, 3;
// side right 4, 5, 6. The test works them out afresh from the room's formula.
inline constexpr std::array<double, kSpeakerChannels> kResultsCouplings = {
    0.00475, 0.02375, 0.0315, 0.01175, 0.023, 0.077, 0.06375, 0.0095};

struct ResultsRoom {
    sim::SimPcOptions options;
    RoomModel model;
};

inline int32_t StreamChannelsOfMode(int32_t mode) {
    return mode == 2 ? 2 : (mode == 4 || mode == 6) ? 6 : 8;
}

inline ResultsRoom MakeResultsRoom(uint16_t deviceId, bool sixChannelShape, int32_t mode) {
    ResultsRoom room;
    sim::EndpointDesign render = sixChannelShape
                                     ? sim::SixChannelRender(sim::kSimCodecVendor, deviceId)
                                     : sim::EightChannelRender(sim::kSimCodecVendor, deviceId, 12);
    for (const ChannelPart& part : kChannelParts) {
        const bool subwoofer = std::string(part.name) == sim::kPartSubwoofer;
        const LevelRange range = subwoofer ? kSubwooferRange : kMeasuredRange;
        const bool present = sim::FindPart(&render, part.name) != nullptr;
        for (uint32_t c = 0; c < 2; ++c) {
            const int32_t speaker = part.speakers[c];
            if (speaker < 0)
                continue;
            room.model.channels[static_cast<size_t>(speaker)] = range;
            room.model.present[static_cast<size_t>(speaker)] = present;
            if (present) {
                EXPECT_TRUE(sim::SetChannel(&render, part.name, c,
                                            {range.minDb, range.maxDb, range.stepDb, -20.0f}));
            }
        }
    }
    for (uint32_t side = 0; side < 2; ++side) {
        EXPECT_TRUE(sim::SetChannel(&render, sim::kPartMaster, side,
                                    {kMasterRange.minDb, kMasterRange.maxDb, kMasterRange.stepDb,
                                     -6.0f - 1.5f * static_cast<float>(side)}));
        room.model.master[side] = kMasterRange;
    }
    room.options.audio = sim::SimAudioSystemBuilder().Add(render).Add(
        sim::MicrophoneCapture(sim::kSimCodecVendor, deviceId));
    room.options.codecDevice = deviceId;
    room.options.room.couplings = kResultsCouplings;
    room.options.room.noiseAmplitude = 1.0;
    room.model.couplings = kResultsCouplings;
    room.model.noiseAmplitude = 1.0;
    room.model.heard = HeardSpeakers(StreamChannelsOfMode(mode));
    return room;
}

// The channels each measuring pass takes, by mode (and single channel).
inline std::vector<int32_t> MeasuredChannels(int32_t mode, int32_t singleChannel, int32_t pass) {
    if (mode == 1) {
        bool subwoofer = singleChannel == 4;
        if ((pass == 1) == subwoofer)
            return {singleChannel};
        return {};
    }
    if (pass == 1)
        return (mode == 6 || mode == 8) ? std::vector<int32_t>{4} : std::vector<int32_t>{};
    switch (mode) {
        case 2:
            return {0, 1};
        case 4:
            return {0, 1, 2, 3};
        case 6:
            return {0, 1, 2, 3, 5};
        default:
            return {0, 1, 2, 3, 5, 6, 7};
    }
}

}  // namespace zelk::testing
