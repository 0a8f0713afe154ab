#include "platform/sim/scenario/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim_pc.h"
#include "platform/wave_format.h"

namespace zelk::sim {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string ShippedPath(const std::string& name) {
    return std::string(ZELK_SCENARIO_DIR) + "/" + name;
}

// A scenario of one 0x0899 codec with `codec` spliced into its codec object and `rest` into the
// top object.
std::string WithCodec(const std::string& codec, const std::string& rest = "") {
    return R"({"codecs": [{"device": "0x0899")" + (codec.empty() ? "" : ", " + codec) + "}]" +
           (rest.empty() ? "" : ", " + rest) + "}";
}

std::string ParseError(const std::string& text) {
    Scenario scenario;
    std::string message;
    EXPECT_FALSE(ParseScenario(text, &scenario, &message)) << text;
    return message;
}

Scenario Parse(const std::string& text) {
    Scenario scenario;
    std::string message;
    EXPECT_TRUE(ParseScenario(text, &scenario, &message)) << message;
    return scenario;
}

WaveFormatExtensible FormatProperty(SimAudioSystem& audio, int32_t endpoint,
                                    const PropertyKey& key) {
    const PropertyValue value = audio.EndpointProperty(DataFlow::kRender, endpoint, key);
    WaveFormatExtensible format;
    std::memcpy(&format, value.blob.data(), std::min(value.blob.size(), sizeof(format)));
    return format;
}

struct BadFile {
    const char* name;
    std::string text;
    std::string message;
};

TEST(ScenarioTest, EachBadFileGetsOneMessageNamingTheField) {
    const std::string controlKeys = "(known: channels, minDb, maxDb, stepDb, levelDb)";
    const BadFile cases[] = {
        {"not JSON", "{\n  \"codecs\": [\n", "(file): not valid JSON at line 3, column 1"},
        {"empty", " \n", "(file): is empty"},
        {"key given twice", R"({"codecs": [{"device": "0x0899", "device": "0x0662"}]})",
         "(file): the key \"device\" appears twice in one object"},
        {"not an object", "[1, 2]", "(file): must be an object"},
        {"text after the object", WithCodec("") + " {}",
         "(file): not valid JSON at line 1, column 36"},
        {"no codec", "{}", "codecs: must list at least one codec"},
        {"empty codec list", R"({"codecs": []})", "codecs: must list at least one codec"},
        {"misspelt top key", WithCodec("", R"("sed": 3)"),
         "sed: unknown key (known: description, seed, clock, codecs, otherEndpoints, room, "
         "microphone, waveDevices)"},
        {"codec not an object", R"({"codecs": [7]})", "codecs[0]: must be an object"},
        {"device missing", R"({"codecs": [{"vendor": "0x10EC"}]})",
         "codecs[0].device: is missing (the codec's device id, e.g. \"0x0899\")"},
        {"device not hexadecimal", R"({"codecs": [{"device": "0899"}]})",
         "codecs[0].device: \"0899\" is not a hexadecimal number like \"0x10EC\""},
        {"device too large", R"({"codecs": [{"device": "0x10000"}]})",
         "codecs[0].device: 0x10000 is above 0xFFFF"},
        {"device of another type", R"({"codecs": [{"device": true}]})",
         "codecs[0].device: must be a number or hexadecimal text like \"0x10EC\""},
        {"same codec twice", R"({"codecs": [{"device": "0x0899"}, {"device": 2201}]})",
         "codecs[1]: codec 0x10EC:0x0899 is already codecs[0]"},
        {"unknown shape", WithCodec(R"("shape": "ten-channel")"),
         "codecs[0].shape: \"ten-channel\" is not one of \"eight-channel\", \"six-channel\""},
        {"too many master inputs", WithCodec(R"("masterInputs": 13)"),
         "codecs[0].masterInputs: 13 is outside 7..12"},
        {"master inputs not whole", WithCodec(R"("masterInputs": 9.5)"),
         "codecs[0].masterInputs: must be a whole number"},
        {"six-channel master inputs", WithCodec(R"("shape": "six-channel", "masterInputs": 12)"),
         "codecs[0].masterInputs: a six-channel codec always has 9 master inputs"},
        {"step of zero", WithCodec(R"("controls": {"front": {"stepDb": 0}})"),
         "codecs[0].controls.front.stepDb: must be above 0 dB"},
        {"step not dividing the range", WithCodec(R"("controls": {"front": {"stepDb": 1.4}})"),
         "codecs[0].controls.front.stepDb: 1.4 dB does not divide the range -46.5..0 dB into "
         "whole steps"},
        {"range upside down", WithCodec(R"("controls": {"master": {"minDb": 0, "maxDb": -10}})"),
         "codecs[0].controls.master.maxDb: -10 dB is not above minDb (0 dB)"},
        {"level outside the range", WithCodec(R"("controls": {"rear": {"levelDb": [-3, -50]}})"),
         "codecs[0].controls.rear.levelDb[1]: -50 dB is outside -46.5..0 dB"},
        {"level list of the wrong length",
         WithCodec(R"("controls": {"front": {"levelDb": [-3, -3, -3]}})"),
         "codecs[0].controls.front.levelDb: has 3 levels for 2 channels"},
        {"level not a number", WithCodec(R"("controls": {"front": {"levelDb": ["-3", -3]}})"),
         "codecs[0].controls.front.levelDb[0]: must be a number"},
        {"too many channels", WithCodec(R"("controls": {"center": {"channels": 9}})"),
         "codecs[0].controls.center.channels: 9 is outside 1..8"},
        {"misspelt control key", WithCodec(R"("controls": {"front": {"stepdB": 1.5}})"),
         "codecs[0].controls.front.stepdB: unknown key " + controlKeys},
        {"mute on a control without one", WithCodec(R"("controls": {"front": {"muted": true}})"),
         "codecs[0].controls.front.muted: unknown key " + controlKeys},
        {"mute not a boolean", WithCodec(R"("controls": {"in3": {"muted": 1}})"),
         "codecs[0].controls.in3.muted: must be true or false"},
        {"side on a six-channel codec",
         WithCodec(R"("shape": "six-channel", "controls": {"side": {}})"),
         "codecs[0].controls.side: unknown key (known: master, front, rear, subwoofer, center, "
         "in1, in2, in3, in4, mic, boost)"},
        {"mixer input beyond the master inputs",
         WithCodec(R"("masterInputs": 7, "controls": {"in2": {}})"),
         "codecs[0].controls.in2: unknown key (known: master, front, rear, subwoofer, center, "
         "side, in0, in1, mic, boost)"},
        {"microphone controls without a microphone",
         WithCodec(R"("microphone": false, "controls": {"boost": {}})"),
         "codecs[0].controls.boost: unknown key (known: master, front, rear, subwoofer, center, "
         "side, in0, in1, in2, in3, in4, in5, in6)"},
        {"no speakers in the mask",
         WithCodec(R"("layout": {"deviceFormat": {"channelMask": "0x0"}})"),
         "codecs[0].layout.deviceFormat.channelMask: 0x0 must name 1 to 8 speakers"},
        {"odd bits per sample", WithCodec(R"("layout": {"deviceFormat": {"bitsPerSample": 12}})"),
         "codecs[0].layout.deviceFormat.bitsPerSample: 12 is not 8, 16, 24 or 32"},
        {"engine format bits", WithCodec(R"("layout": {"engineFormat": {"bitsPerSample": 16}})"),
         "codecs[0].layout.engineFormat.bitsPerSample: unknown key (known: channelMask, "
         "sampleRate)"},
        {"other endpoint without ids", WithCodec("", R"("otherEndpoints": [{"flow": "render"}])"),
         "otherEndpoints[0]: needs its vendor and device (e.g. \"0x1002\" and \"0xAA01\")"},
        {"other endpoint flow", WithCodec("", R"("otherEndpoints": [{"flow": "both"}])"),
         "otherEndpoints[0].flow: \"both\" is not one of \"render\", \"capture\""},
        {"coupling too strong", WithCodec("", R"("room": {"couplingDb": {"front left": 30}})"),
         "room.couplingDb.front left: 30 dB is outside -120..20 dB"},
        {"unknown speaker", WithCodec("", R"("room": {"couplingDb": {"front centre": -30}})"),
         "room.couplingDb.front centre: unknown key (known: \"front left\", \"front right\", "
         "\"rear left\", \"rear right\", \"subwoofer\", \"center\", \"side left\", \"side "
         "right\")"},
        {"coupling in amplitude", WithCodec("", R"("room": {"couplings": [0.5]})"),
         "room.couplings: unknown key (known: couplingDb, mixerSources)"},
        {"source without its input",
         WithCodec("", R"("room": {"mixerSources": [{"kind": "hum"}]})"),
         "room.mixerSources[0].input: is missing (the mixer input e of in<e>, e.g. 1)"},
        {"source on an input the codec lacks",
         WithCodec(R"("masterInputs": 8)", R"("room": {"mixerSources": [{"input": 5}]})"),
         "room.mixerSources[0].input: codecs[0] has no mixer input in5 (it has in0, in1, in2)"},
        {"source on the six-channel connector",
         WithCodec(R"("shape": "six-channel")", R"("room": {"mixerSources": [{"input": 0}]})"),
         "room.mixerSources[0].input: codecs[0] has no mixer input in0 (it has in1, in2, in3, "
         "in4)"},
        {"source above full scale",
         WithCodec("", R"("room": {"mixerSources": [{"input": 1, "levelDbfs": 3}]})"),
         "room.mixerSources[0].levelDbfs: 3 dBFS is outside -120..0 dBFS"},
        {"hum with a seed",
         WithCodec("", R"("room": {"mixerSources": [{"input": 1, "kind": "hum", "seed": 4}]})"),
         "room.mixerSources[0].seed: only program material has a seed"},
        {"program with a frequency",
         WithCodec("",
                   R"("room": {"mixerSources": [{"input": 1, "kind": "program",
                                                 "frequencyHz": 60}]})"),
         "room.mixerSources[0].frequencyHz: only a hum has a frequency"},
        {"source list not a list", WithCodec("", R"("room": {"mixerSources": {"input": 1}})"),
         "room.mixerSources: must be a list"},
        {"jitter below zero", WithCodec("", R"("microphone": {"jitterBlocks": -1})"),
         "microphone.jitterBlocks: -1 is outside 0..100"},
        {"writes denied not a boolean", WithCodec(R"("propertyWritesDenied": "yes")"),
         "codecs[0].propertyWritesDenied: must be true or false"},
        {"latency of zero", WithCodec("", R"("microphone": {"latencyBlocks": 0})"),
         "microphone.latencyBlocks: 0 is outside 1..100"},
        {"negative noise", WithCodec("", R"("microphone": {"noiseAmplitude": -1})"),
         "microphone.noiseAmplitude: -1 is outside 0..32768"},
        {"unknown clock", WithCodec("", R"("clock": {"mode": "fast"})"),
         "clock.mode: \"fast\" is not one of \"virtual\", \"real\""},
        {"speed of a virtual clock", WithCodec("", R"("clock": {"mode": "virtual", "speed": 2})"),
         "clock.speed: only a real-time clock (mode \"real\") has a speed"},
        {"speed of zero", WithCodec("", R"("clock": {"mode": "real", "speed": 0})"),
         "clock.speed: 0 is outside 0.01..100"},
        {"negative seed", WithCodec("", R"("seed": -1)"),
         "seed: -1 is outside 0..9223372036854775807"},
        {"description not text", WithCodec("", R"("description": 5)"), "description: must be text"},
        {"wave devices typo", WithCodec("", R"("waveDevices": {"codecs": true})"),
         "waveDevices.codecs: unknown key (known: codec, otherMakerFirst)"},
    };
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ParseError(c.text), c.message);
    }
}

TEST(ScenarioTest, CommentsAreAllowed) {
    const Scenario scenario = Parse("// a PC\n{\"codecs\": [{\"device\": 1634 /* 0x0662 */}]}");
    EXPECT_EQ(scenario.options.codecDevice, 0x0662);
}

TEST(ScenarioTest, AFileThatCannotBeOpenedIsNamed) {
    Scenario scenario;
    std::string message;
    EXPECT_FALSE(LoadScenarioFile("/nonexistent/zelk.json", &scenario, &message));
    EXPECT_EQ(message, "/nonexistent/zelk.json: cannot be opened");
    EXPECT_FALSE(LoadScenarioFile(ZELK_SCENARIO_DIR, &scenario, &message));
    EXPECT_EQ(message, std::string(ZELK_SCENARIO_DIR) + ": is a folder, not a file");
}

TEST(ScenarioTest, TheBuiltInDefaultIsTheShippedFile) {
    EXPECT_EQ(DefaultScenarioText(), ReadText(ShippedPath("default.json")));
}

TEST(ScenarioTest, TheDefaultRoundTripsThroughItsEffectiveForm) {
    const Scenario first = DefaultScenario();
    ASSERT_FALSE(first.effectiveJson.empty());
    const Scenario second = Parse(first.effectiveJson);
    EXPECT_EQ(second.effectiveJson, first.effectiveJson);
    EXPECT_EQ(second.options.room.couplings, first.options.room.couplings);
    // A minimal file comes out with every default written, and that reads back the same.
    const Scenario minimal = Parse(WithCodec(""));
    EXPECT_EQ(Parse(minimal.effectiveJson).effectiveJson, minimal.effectiveJson);
}

TEST(ScenarioTest, TheDefaultIsTheLivingRoomPc) {
    const Scenario scenario = DefaultScenario();
    EXPECT_EQ(scenario.options.clockMode, SimPcOptions::ClockMode::kRealTime);
    EXPECT_EQ(scenario.options.codecVendor, 0x10EC);
    EXPECT_EQ(scenario.options.codecDevice, 0x0899);
    // The couplings in dB, as the file gives them.
    const std::array<double, RoomOptions::kSpeakers> couplingsDb = {-33.4,  -39.74, -35.74, -36.6,
                                                                    -25.41, -35.71, -43.35, -44.02};
    for (size_t k = 0; k < couplingsDb.size(); ++k) {
        const double coupling = std::pow(10.0, couplingsDb[k] / 20.0);
        EXPECT_NEAR(scenario.options.room.couplings[k], coupling, coupling * 1e-9) << k;
    }
    EXPECT_EQ(scenario.options.room.noiseAmplitude, 3.0);

    SimPcOptions options = scenario.options;
    options.clockMode = SimPcOptions::ClockMode::kVirtual;
    SimPc pc(options);
    ASSERT_EQ(pc.renderEndpoint(), 0);
    ASSERT_EQ(pc.captureEndpoint(), 0);
    SimAudioSystem& audio = pc.audio();
    EXPECT_EQ(audio.EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number, 0x63Fu);
    EXPECT_EQ(FormatProperty(audio, 0, kKeyDeviceFormat).nChannels, 8);
    // Eight-channel with twelve master inputs: seven mixer inputs in0..in6.
    EXPECT_NE(audio.FindPart("render0.in6_volume"), nullptr);
    EXPECT_EQ(audio.FindPart("render0.in7_volume"), nullptr);
    ChannelDesign front;
    ASSERT_TRUE(audio.PartChannel("render0.front", 0, &front));
    EXPECT_EQ(front.minDb, -46.5f);
    EXPECT_EQ(front.maxDb, 0.0f);
    EXPECT_EQ(front.stepDb, 0.375f);
    // A hum and music play into two mixer inputs that are unmuted at start.
    ASSERT_EQ(scenario.options.room.mixerSources.size(), 2u);
    for (const MixerSourceDesign& source : scenario.options.room.mixerSources) {
        bool muted = true;
        ASSERT_TRUE(audio.PartMuted("render0.in" + std::to_string(source.input) + "_mute", &muted));
        EXPECT_FALSE(muted) << source.input;
    }
    // The other maker's headset is listed after the codec and is not the codec.
    EXPECT_EQ(audio.EndpointCount(DataFlow::kRender), 2);
    EXPECT_EQ(audio.EndpointCount(DataFlow::kCapture), 2);
}

// The room puts the default's channels at different levels at the microphone, so a calibration
// ends on different steps and bands per channel.
TEST(ScenarioTest, TheDefaultRoomHearsEachChannelAtItsOwnLevel) {
    SimPcOptions options = DefaultScenario().options;
    options.clockMode = SimPcOptions::ClockMode::kVirtual;
    SimPc pc(options);
    std::set<long> heardCentiDb;
    for (int32_t k = 0; k < RoomOptions::kSpeakers; ++k) {
        float pathDb = 0.0f;
        ASSERT_TRUE(pc.audio().RenderPathDb(pc.renderEndpoint(), k, &pathDb)) << k;
        const double heard =
            pathDb + 20.0 * std::log10(options.room.couplings[static_cast<size_t>(k)]);
        heardCentiDb.insert(std::lround(heard * 100.0));
    }
    EXPECT_EQ(heardCentiDb.size(), static_cast<size_t>(RoomOptions::kSpeakers));
    // Spread over more than the detector's band width of a few steps.
    EXPECT_GT(*heardCentiDb.rbegin() - *heardCentiDb.begin(), 1500);
}

struct Shipped {
    const char* file;
    uint16_t device;
    int32_t mixerInputs;  // volumes in<e>_volume
    uint32_t speakers;
    bool side;
};

TEST(ScenarioTest, EveryShippedScenarioParses) {
    const Shipped table[] = {
        {"default.json", 0x0899, 7, 0x63F, true},
        {"codec-0662-six-channel.json", 0x0662, 4, 0x3F, false},
        {"codec-0892-six-channel.json", 0x0892, 4, 0x3F, false},
        {"codec-0892-eight-channel.json", 0x0892, 5, 0x63F, true},
    };
    std::set<std::string> checked;
    for (const Shipped& s : table) {
        SCOPED_TRACE(s.file);
        checked.insert(s.file);
        Scenario scenario;
        std::string message;
        ASSERT_TRUE(LoadScenarioFile(ShippedPath(s.file), &scenario, &message)) << message;
        EXPECT_EQ(scenario.options.codecVendor, 0x10EC);
        EXPECT_EQ(scenario.options.codecDevice, s.device);
        scenario.options.clockMode = SimPcOptions::ClockMode::kVirtual;
        SimPc pc(scenario.options);
        ASSERT_GE(pc.renderEndpoint(), 0);
        ASSERT_GE(pc.captureEndpoint(), 0);
        const std::string render = "render" + std::to_string(pc.renderEndpoint());
        SimAudioSystem& audio = pc.audio();
        int32_t inputs = 0;
        for (int32_t e = 0; e < 12; ++e)
            inputs += audio.FindPart(render + ".in" + std::to_string(e) + "_volume") != nullptr;
        EXPECT_EQ(inputs, s.mixerInputs);
        EXPECT_EQ(audio.FindPart(render + ".side") != nullptr, s.side);
        EXPECT_EQ(
            audio.EndpointProperty(DataFlow::kRender, pc.renderEndpoint(), kKeyPhysicalSpeakers)
                .number,
            s.speakers);
        EXPECT_EQ(FormatProperty(audio, pc.renderEndpoint(), kKeyDeviceFormat).dwChannelMask,
                  s.speakers);
    }
    // A scenario added to the folder is parsed here too.
    for (const auto& entry : std::filesystem::directory_iterator(ZELK_SCENARIO_DIR)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json" || checked.count(name) != 0)
            continue;
        SCOPED_TRACE(name);
        Scenario scenario;
        std::string message;
        EXPECT_TRUE(LoadScenarioFile(entry.path().string(), &scenario, &message)) << message;
    }
}

TEST(ScenarioTest, CouplingsAreDecibelsOfAmplitude) {
    const Scenario scenario = Parse(WithCodec(
        "", R"("room": {"couplingDb": {"front left": -6.0206, "rear left": 0, "center": null,
                                       "side right": -40}})"));
    const RoomOptions& room = scenario.options.room;
    EXPECT_NEAR(room.couplings[0], 0.5, 1e-5);
    EXPECT_DOUBLE_EQ(room.couplings[2], 1.0);
    EXPECT_EQ(room.couplings[5], 0.0);  // null: the microphone does not hear it
    EXPECT_NEAR(room.couplings[7], 0.01, 1e-12);
    // Speakers not named keep the room's default.
    EXPECT_EQ(room.couplings[1], RoomOptions().couplings[1]);
}

TEST(ScenarioTest, ControlsLayoutAndEndpointsReachTheMachine) {
    const Scenario scenario = Parse(WithCodec(
        R"("masterInputs": 8,
           "layout": {"physicalSpeakers": "0x3F", "fullRangeSpeakers": 51,
                      "deviceFormat": {"channelMask": "0x3F", "bitsPerSample": 24,
                                       "sampleRate": 44100}},
           "controls": {"master": {"muted": true, "levelDb": -12},
                        "center": {"channels": 2, "minDb": -30, "maxDb": 6, "stepDb": 0.5,
                                   "levelDb": [-1.5, -2]},
                        "in2": {"muted": false}, "mic": {"muted": true},
                        "boost": {"levelDb": [20, 30]}})",
        R"("seed": 99, "clock": {"mode": "real", "speed": 4},
           "microphone": {"noiseAmplitude": 12.5, "latencyBlocks": 3},
           "waveDevices": {"codec": false, "otherMakerFirst": false},
           "otherEndpoints": [{"flow": "capture", "vendor": "0x1002", "device": "0xAA01"},
                              {"flow": "render", "vendor": 4332, "device": "0x0899",
                               "connected": false}])"));
    const SimPcOptions& options = scenario.options;
    EXPECT_EQ(options.clockMode, SimPcOptions::ClockMode::kRealTime);
    EXPECT_EQ(scenario.options.realTimeSpeed, 4.0);
    EXPECT_EQ(options.room.noiseSeed, 99u);
    EXPECT_EQ(options.room.noiseAmplitude, 12.5);
    EXPECT_EQ(options.room.latencyBlocks, 3);
    EXPECT_FALSE(options.codecWaveDevices);
    EXPECT_FALSE(options.otherMakerFirst);

    SimPcOptions virtualOptions = options;
    virtualOptions.clockMode = SimPcOptions::ClockMode::kVirtual;
    SimPc pc(virtualOptions);
    SimAudioSystem& audio = pc.audio();
    ASSERT_EQ(audio.EndpointCount(DataFlow::kRender), 2);
    ASSERT_EQ(audio.EndpointCount(DataFlow::kCapture), 2);
    EXPECT_EQ(audio.FindCaptureEndpoint(0x1002, 0xAA01), 1);
    // The codec's own endpoints come first; the unconnected copy after them.
    EXPECT_EQ(pc.renderEndpoint(), 0);

    bool muted = false;
    ASSERT_TRUE(audio.PartMuted("render0.master_mute", &muted));
    EXPECT_TRUE(muted);
    float level = 0.0f;
    ASSERT_TRUE(audio.PartLevel("render0.master", 1, &level));
    EXPECT_EQ(level, -12.0f);
    ChannelDesign center;
    ASSERT_TRUE(audio.PartChannel("render0.center", 1, &center));
    EXPECT_EQ(center.minDb, -30.0f);
    EXPECT_EQ(center.maxDb, 6.0f);
    EXPECT_EQ(center.stepDb, 0.5f);
    EXPECT_EQ(center.levelDb, -2.0f);
    EXPECT_FALSE(audio.PartChannel("render0.center", 2, &center));
    ASSERT_TRUE(audio.PartMuted("render0.in2_mute", &muted));
    EXPECT_FALSE(muted);
    EXPECT_EQ(audio.FindPart("render0.in3_volume"), nullptr);  // eight inputs: in0..in2
    ASSERT_TRUE(audio.PartMuted("capture0.mic_mute", &muted));
    EXPECT_TRUE(muted);
    ASSERT_TRUE(audio.PartLevel("capture0.boost", 1, &level));
    EXPECT_EQ(level, 30.0f);

    EXPECT_EQ(audio.EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number, 0x3Fu);
    EXPECT_EQ(audio.EndpointProperty(DataFlow::kRender, 0, kKeyFullRangeSpeakers).number, 51u);
    const WaveFormatExtensible device = FormatProperty(audio, 0, kKeyDeviceFormat);
    EXPECT_EQ(device.nChannels, 6);
    EXPECT_EQ(device.wBitsPerSample, 24);
    EXPECT_EQ(device.nSamplesPerSec, 44100u);
    EXPECT_EQ(device.nBlockAlign, 18);
    EXPECT_EQ(device.nAvgBytesPerSec, 18u * 44100u);
    EXPECT_EQ(device.dwChannelMask, 0x3Fu);
    const WaveFormatExtensible engine = FormatProperty(audio, 0, kKeyOemFormat);
    EXPECT_EQ(engine.SubFormat, kSubtypeIeeeFloat);
    EXPECT_EQ(engine.wBitsPerSample, 32);
}

TEST(ScenarioTest, SourcesJitterAndDeniedWritesReachTheMachine) {
    const Scenario scenario = Parse(WithCodec(R"("propertyWritesDenied": true)",
                                              R"("seed": 17, "microphone": {"jitterBlocks": 2},
           "room": {"mixerSources": [{"input": 1, "kind": "hum", "levelDbfs": -30,
                                      "frequencyHz": 60},
                                     {"input": 3, "kind": "program"},
                                     {"input": 5, "kind": "program", "seed": 5}]})"));
    const RoomOptions& room = scenario.options.room;
    EXPECT_EQ(room.latencyJitterBlocks, 2);
    EXPECT_EQ(room.jitterSeed, 17u);
    ASSERT_EQ(room.mixerSources.size(), 3u);
    EXPECT_EQ(room.mixerSources[0].input, 1);
    EXPECT_EQ(room.mixerSources[0].kind, MixerSourceDesign::Kind::kHum);
    EXPECT_EQ(room.mixerSources[0].levelDbfs, -30.0);
    EXPECT_EQ(room.mixerSources[0].frequencyHz, 60.0);
    EXPECT_EQ(room.mixerSources[1].kind, MixerSourceDesign::Kind::kProgram);
    EXPECT_EQ(room.mixerSources[1].levelDbfs, MixerSourceDesign().levelDbfs);
    EXPECT_EQ(room.mixerSources[1].seed, 17u);  // the scenario's seed unless given
    EXPECT_EQ(room.mixerSources[2].seed, 5u);
    SimAudioSystemBuilder builder = scenario.options.audio;
    ASSERT_EQ(builder.designs().size(), 2u);
    EXPECT_TRUE(builder.designs()[0].propertyWritesDenied);
    EXPECT_TRUE(builder.designs()[1].propertyWritesDenied);
    EXPECT_FALSE(Parse(WithCodec("")).options.audio.designs()[0].propertyWritesDenied);
    EXPECT_EQ(Parse(scenario.effectiveJson).effectiveJson, scenario.effectiveJson);
}

TEST(ScenarioTest, ASixChannelCodecHasItsShape) {
    const Scenario scenario = Parse(R"({"codecs": [{"device": "0x0662"}]})");
    EXPECT_NE(scenario.effectiveJson.find("\"shape\": \"six-channel\""), std::string::npos);
    SimPc pc(scenario.options);
    EXPECT_EQ(pc.audio().FindPart("render0.side"), nullptr);
    EXPECT_NE(pc.audio().FindPart("render0.in4_volume"), nullptr);
    EXPECT_EQ(pc.audio().EndpointProperty(DataFlow::kRender, 0, kKeyPhysicalSpeakers).number,
              0x3Fu);
}

}  // namespace
}  // namespace zelk::sim
