#include "platform/sim/scenario/scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/sim/scenario/default_scenario_text.h"
#include "platform/sim/sim_codec_builder.h"
#include "platform/wave_format.h"

namespace zelk::sim {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kShapeEightChannel = "eight-channel";
constexpr const char* kShapeSixChannel = "six-channel";
constexpr int32_t kSixChannelMasterInputs = 9;
constexpr int32_t kFewestMasterInputs = 7;
constexpr int32_t kMostMasterInputs = 12;
constexpr uint32_t kMostControlChannels = 8;
// Couplings are given in dB within these bounds; null stands for a speaker the microphone does
// not hear at all.
constexpr double kLowestCouplingDb = -120.0;
constexpr double kHighestCouplingDb = 20.0;
constexpr double kHighestNoiseAmplitude = 32768.0;
constexpr int32_t kMostLatencyBlocks = 100;
constexpr double kSlowestSpeed = 0.01;
constexpr double kFastestSpeed = 100.0;

// The room's speakers by name, in the engine's order (RoomOptions::couplings).
constexpr const char* kSpeakerNames[RoomOptions::kSpeakers] = {
    "front left", "front right", "rear left", "rear right",
    "subwoofer",  "center",      "side left", "side right",
};

// A float as JSON in its shortest form (-46.5, not -46.5000000001), which reads back as the same
// float.
Json FloatJson(float value) {
    value += 0.0f;  // -0 reads as 0
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof(text), value);
    if (error != std::errc())
        return static_cast<double>(value);
    *end = '\0';
    return std::strtod(text, nullptr);
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

std::string DbText(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Reading stops at the first problem: once failed, every read gives its default and records
// nothing more.
class Reader {
  public:
    bool failed() const { return failed_; }
    const std::string& message() const { return message_; }
    void Fail(const std::string& path, const std::string& problem) {
        if (failed_)
            return;
        failed_ = true;
        message_ = path + ": " + problem;
    }

  private:
    bool failed_ = false;
    std::string message_;
};

// One JSON object of the file: its keys are taken one by one, each read value (or its default) is
// written to the effective scenario, and Finish refuses the keys nobody took.
class Object {
  public:
    // value may be null (the object is absent: every key gives its default).
    Object(Reader& reader, const Json* value, std::string path, Json* out)
        : reader_(reader), value_(value), path_(std::move(path)), out_(out) {
        if (value_ != nullptr && !value_->is_object()) {
            reader_.Fail(PathOrRoot(), "must be an object");
            value_ = nullptr;
        }
        if (out_->is_null())
            *out_ = Json::object();
    }

    Reader& reader() { return reader_; }
    Json& out() { return *out_; }
    std::string PathOf(const std::string& key) const {
        return path_.empty() ? key : path_ + "." + key;
    }

    // The key's value, or null when absent.
    const Json* Take(const std::string& key) {
        taken_.insert(key);
        if (value_ == nullptr)
            return nullptr;
        auto found = value_->find(key);
        return found == value_->end() ? nullptr : &*found;
    }

    // The keys of the object in file order (for objects whose keys are names).
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        if (value_ != nullptr) {
            for (auto it = value_->begin(); it != value_->end(); ++it)
                keys.push_back(it.key());
        }
        return keys;
    }

    void Finish(const std::string& known = std::string()) {
        if (value_ == nullptr)
            return;
        for (auto it = value_->begin(); it != value_->end(); ++it) {
            if (taken_.count(it.key()) == 0) {
                reader_.Fail(PathOf(it.key()),
                             known.empty() ? "unknown key" : "unknown key (known: " + known + ")");
                return;
            }
        }
    }

    bool Bool(const std::string& key, bool fallback) {
        bool result = fallback;
        if (const Json* v = Take(key)) {
            if (v->is_boolean())
                result = v->get<bool>();
            else
                reader_.Fail(PathOf(key), "must be true or false");
        }
        (*out_)[key] = result;
        return result;
    }

    double Number(const std::string& key, double fallback, double lowest, double highest,
                  const char* unit = "") {
        double result = fallback;
        if (const Json* v = Take(key)) {
            if (!v->is_number()) {
                reader_.Fail(PathOf(key), "must be a number");
            } else {
                result = v->get<double>();
                if (!(result >= lowest && result <= highest)) {
                    reader_.Fail(PathOf(key), DbText(result) + unit + " is outside " +
                                                  DbText(lowest) + ".." + DbText(highest) + unit);
                    result = fallback;
                }
            }
        }
        (*out_)[key] = result;
        return result;
    }

    float Float(const std::string& key, float fallback) {
        float result = fallback;
        if (const Json* v = Take(key))
            result = FloatOf(*v, PathOf(key), fallback);
        (*out_)[key] = FloatJson(result);
        return result;
    }

    // A whole number in lowest..highest.
    int64_t Integer(const std::string& key, int64_t fallback, int64_t lowest, int64_t highest) {
        int64_t result = fallback;
        if (const Json* v = Take(key)) {
            if (!v->is_number_integer()) {
                reader_.Fail(PathOf(key), "must be a whole number");
            } else if (v->is_number_unsigned() && v->get<uint64_t>() > uint64_t(INT64_MAX)) {
                reader_.Fail(PathOf(key), "is too large");
            } else {
                result = v->get<int64_t>();
                if (result < lowest || result > highest) {
                    reader_.Fail(PathOf(key), std::to_string(result) + " is outside " +
                                                  std::to_string(lowest) + ".." +
                                                  std::to_string(highest));
                    result = fallback;
                }
            }
        }
        (*out_)[key] = result;
        return result;
    }

    // A number written as a whole number or as hexadecimal text ("0x10EC"), at most highest;
    // written back as hexadecimal text of `digits` digits.
    uint32_t Hexadecimal(const std::string& key, uint32_t fallback, uint32_t highest, int digits) {
        uint32_t result = fallback;
        if (const Json* v = Take(key))
            result = HexOf(*v, PathOf(key), fallback, highest);
        (*out_)[key] = Hex(result, digits);
        return result;
    }

    std::string Choice(const std::string& key, const std::string& fallback,
                       const std::vector<std::string>& choices) {
        std::string result = fallback;
        if (const Json* v = Take(key)) {
            std::string known;
            for (const std::string& c : choices)
                known += (known.empty() ? "\"" : ", \"") + c + "\"";
            if (!v->is_string()) {
                reader_.Fail(PathOf(key), "must be one of " + known);
            } else {
                result = v->get<std::string>();
                bool valid = false;
                for (const std::string& c : choices)
                    valid = valid || c == result;
                if (!valid) {
                    reader_.Fail(PathOf(key), "\"" + result + "\" is not one of " + known);
                    result = fallback;
                }
            }
        }
        (*out_)[key] = result;
        return result;
    }

    float FloatOf(const Json& v, const std::string& path, float fallback) {
        if (!v.is_number()) {
            reader_.Fail(path, "must be a number");
            return fallback;
        }
        const double value = v.get<double>();
        if (!std::isfinite(value) || std::fabs(value) > 1000.0) {
            reader_.Fail(path, DbText(value) + " is outside -1000..1000");
            return fallback;
        }
        return static_cast<float>(value);
    }

    uint32_t HexOf(const Json& v, const std::string& path, uint32_t fallback, uint32_t highest) {
        uint64_t value = 0;
        if (v.is_number_unsigned()) {
            value = v.get<uint64_t>();
        } else if (v.is_string()) {
            const std::string text = v.get<std::string>();
            const bool prefixed =
                text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const char* first = text.data() + (prefixed ? 2 : 0);
            const char* last = text.data() + text.size();
            const auto [end, error] = std::from_chars(first, last, value, 16);
            if (!prefixed || error != std::errc() || end != last) {
                reader_.Fail(path, "\"" + text + "\" is not a hexadecimal number like \"0x10EC\"");
                return fallback;
            }
        } else {
            reader_.Fail(path, "must be a number or hexadecimal text like \"0x10EC\"");
            return fallback;
        }
        if (value > highest) {
            reader_.Fail(path,
                         Hex(static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX)), 0) +
                             " is above " + Hex(highest, 0));
            return fallback;
        }
        return static_cast<uint32_t>(value);
    }

  private:
    std::string PathOrRoot() const { return path_.empty() ? "(file)" : path_; }

    Reader& reader_;
    const Json* value_;
    std::string path_;
    Json* out_;
    std::set<std::string> taken_;
};

// ---- Controls

// A control of the scenario: a volume part and, where there is one, the mute part before it.
struct ControlName {
    std::string name;  // as in the file
    DataFlow flow;
    std::string volumePart;
    std::string mutePart;  // empty when the control has no mute
};

std::vector<ControlName> ControlsOf(const EndpointDesign& render, bool microphone) {
    std::vector<ControlName> names;
    auto add = [&](const std::string& name, DataFlow flow, const std::string& volume,
                   const std::string& mute) {
        names.push_back({name, flow, volume, mute});
    };
    add(kPartMaster, DataFlow::kRender, kPartMaster, kPartMasterMute);
    for (const char* channel : {kPartFront, kPartRear, kPartSubwoofer, kPartCenter, kPartSide}) {
        for (const MixerEntryDesign& entry : render.mixerEntries) {
            if (entry.part.name == channel)
                add(channel, DataFlow::kRender, channel, "");
        }
    }
    for (const MixerEntryDesign& entry : render.mixerEntries) {
        if (entry.next) {
            const std::string& mute = entry.part.name;  // "in<e>_mute"
            const std::string input = mute.substr(0, mute.find('_'));
            add(input, DataFlow::kRender, entry.next->name, mute);
        }
    }
    if (microphone) {
        add("mic", DataFlow::kCapture, kPartMicVolume, kPartMicMute);
        add("boost", DataFlow::kCapture, kPartBoost, "");
    }
    return names;
}

// Reads one control over the part's design; writes the effective control.
void ReadControl(Object& controls, const std::string& name, PartDesign* volume, PartDesign* mute) {
    Reader& reader = controls.reader();
    const std::string path = controls.PathOf(name);
    Object control(reader, controls.Take(name), path, &controls.out()[name]);

    const ChannelDesign first = volume->level.empty() ? ChannelDesign{} : volume->level.front();
    const int64_t channels = control.Integer("channels", static_cast<int64_t>(volume->level.size()),
                                             1, kMostControlChannels);
    const float minDb = control.Float("minDb", first.minDb);
    const float maxDb = control.Float("maxDb", first.maxDb);
    const float stepDb = control.Float("stepDb", first.stepDb);
    if (!(maxDb > minDb)) {
        reader.Fail(control.PathOf("maxDb"),
                    DbText(maxDb) + " dB is not above minDb (" + DbText(minDb) + " dB)");
    } else if (!(stepDb > 0.0f)) {
        reader.Fail(control.PathOf("stepDb"), "must be above 0 dB");
    } else {
        const double steps = (static_cast<double>(maxDb) - minDb) / stepDb;
        if (std::fabs(steps - std::round(steps)) > 1e-4)
            reader.Fail(control.PathOf("stepDb"),
                        DbText(stepDb) + " dB does not divide the range " + DbText(minDb) + ".." +
                            DbText(maxDb) + " dB into whole steps");
    }

    // The levels: one number for every channel, or one per channel.
    std::vector<float> levels;
    for (size_t c = 0; c < static_cast<size_t>(channels); ++c) {
        const size_t from = std::min(c, volume->level.size() - 1);
        levels.push_back(volume->level.empty() ? first.levelDb : volume->level[from].levelDb);
    }
    if (const Json* given = control.Take("levelDb")) {
        const std::string levelPath = control.PathOf("levelDb");
        if (given->is_array()) {
            if (given->size() != levels.size()) {
                reader.Fail(levelPath, "has " + std::to_string(given->size()) + " levels for " +
                                           std::to_string(levels.size()) + " channels");
            } else {
                for (size_t c = 0; c < levels.size(); ++c)
                    levels[c] = control.FloatOf(
                        (*given)[c], levelPath + "[" + std::to_string(c) + "]", levels[c]);
            }
        } else {
            const float level = control.FloatOf(*given, levelPath, 0.0f);
            for (float& l : levels)
                l = level;
        }
    }
    for (size_t c = 0; c < levels.size() && !reader.failed(); ++c) {
        if (levels[c] < minDb || levels[c] > maxDb)
            reader.Fail(control.PathOf("levelDb") + "[" + std::to_string(c) + "]",
                        DbText(levels[c]) + " dB is outside " + DbText(minDb) + ".." +
                            DbText(maxDb) + " dB");
    }
    Json levelJson = Json::array();
    for (float l : levels)
        levelJson.push_back(FloatJson(l));
    control.out()["levelDb"] = levelJson;

    volume->level.clear();
    for (float l : levels)
        volume->level.push_back(ChannelDesign{minDb, maxDb, stepDb, l});
    if (mute != nullptr)
        mute->muted = control.Bool("muted", mute->muted);
    control.Finish(mute != nullptr ? "channels, minDb, maxDb, stepDb, levelDb, muted"
                                   : "channels, minDb, maxDb, stepDb, levelDb");
}

// ---- Layout and formats

PropertyValue* FindProperty(EndpointDesign* design, const PropertyKey& key) {
    for (auto& [k, value] : design->properties) {
        if (k == key)
            return &value;
    }
    return nullptr;
}

WaveFormatExtensible FormatOf(const PropertyValue* value) {
    WaveFormatExtensible format;
    if (value != nullptr)
        std::memcpy(&format, value->blob.data(), std::min(value->blob.size(), sizeof(format)));
    return format;
}

void SetFormat(EndpointDesign* design, const PropertyKey& key, const WaveFormatExtensible& f) {
    PropertyValue value;
    value.type = PropertyValue::Type::kBlob;
    value.blob.resize(sizeof(f));
    std::memcpy(value.blob.data(), &f, sizeof(f));
    if (PropertyValue* found = FindProperty(design, key))
        *found = value;
    else
        design->properties.emplace_back(key, value);
}

void SetNumber(EndpointDesign* design, const PropertyKey& key, uint32_t number) {
    PropertyValue value;
    value.type = PropertyValue::Type::kUInt32;
    value.number = number;
    if (PropertyValue* found = FindProperty(design, key))
        *found = value;
    else
        design->properties.emplace_back(key, value);
}

// A format object: its channel mask (the channels are its speakers), sample rate and, for the
// device format, bits per sample.
void ReadFormat(Object& layout, const std::string& key, EndpointDesign* design,
                const PropertyKey& property, bool isFloat) {
    Object format(layout.reader(), layout.Take(key), layout.PathOf(key), &layout.out()[key]);
    WaveFormatExtensible f = FormatOf(FindProperty(design, property));
    const uint32_t mask = format.Hexadecimal("channelMask", f.dwChannelMask, 0x3FFFF, 0);
    const int channels = std::popcount(mask);
    if (channels == 0 || channels > 8)
        layout.reader().Fail(format.PathOf("channelMask"),
                             Hex(mask, 0) + " must name 1 to 8 speakers");
    const uint32_t rate =
        static_cast<uint32_t>(format.Integer("sampleRate", f.nSamplesPerSec, 8000, 192000));
    uint16_t bits = 32;
    if (!isFloat) {
        bits = static_cast<uint16_t>(format.Integer("bitsPerSample", f.wBitsPerSample, 8, 32));
        if (bits % 8 != 0)
            layout.reader().Fail(format.PathOf("bitsPerSample"),
                                 std::to_string(bits) + " is not 8, 16, 24 or 32");
    }
    format.Finish(isFloat ? "channelMask, sampleRate" : "channelMask, sampleRate, bitsPerSample");

    f.wFormatTag = kWaveFormatExtensible;
    f.nChannels = static_cast<uint16_t>(channels);
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    f.cbSize = 22;
    f.wValidBitsPerSample = bits;
    f.dwChannelMask = mask;
    f.SubFormat = isFloat ? kSubtypeIeeeFloat : kSubtypePcm;
    SetFormat(design, property, f);
}

void ReadLayout(Object& codec, EndpointDesign* render) {
    Object layout(codec.reader(), codec.Take("layout"), codec.PathOf("layout"),
                  &codec.out()["layout"]);
    const PropertyValue* physical = FindProperty(render, kKeyPhysicalSpeakers);
    const PropertyValue* fullRange = FindProperty(render, kKeyFullRangeSpeakers);
    SetNumber(
        render, kKeyPhysicalSpeakers,
        layout.Hexadecimal("physicalSpeakers", physical ? physical->number : 0, UINT32_MAX, 0));
    SetNumber(
        render, kKeyFullRangeSpeakers,
        layout.Hexadecimal("fullRangeSpeakers", fullRange ? fullRange->number : 0, UINT32_MAX, 0));
    ReadFormat(layout, "deviceFormat", render, kKeyDeviceFormat, false);
    ReadFormat(layout, "engineFormat", render, kKeyOemFormat, true);
    layout.Finish("physicalSpeakers, fullRangeSpeakers, deviceFormat, engineFormat");
}

// ---- Codecs

struct CodecRead {
    uint16_t vendor = 0;
    uint16_t device = 0;
    std::vector<EndpointDesign> designs;
};

CodecRead ReadCodec(Reader& reader, const Json& value, const std::string& path, Json* out) {
    Object codec(reader, &value, path, out);
    CodecRead result;
    result.vendor = static_cast<uint16_t>(codec.Hexadecimal("vendor", kSimCodecVendor, 0xFFFF, 4));
    if (codec.Take("device") == nullptr)
        reader.Fail(codec.PathOf("device"), "is missing (the codec's device id, e.g. \"0x0899\")");
    result.device = static_cast<uint16_t>(codec.Hexadecimal("device", 0, 0xFFFF, 4));

    const bool usuallySix = result.vendor == kSimCodecVendor && result.device == 0x0662;
    const std::string shape =
        codec.Choice("shape", usuallySix ? kShapeSixChannel : kShapeEightChannel,
                     {kShapeEightChannel, kShapeSixChannel});
    EndpointDesign render;
    if (shape == kShapeSixChannel) {
        if (const Json* inputs = codec.Take("masterInputs");
            inputs != nullptr &&
            !(inputs->is_number_integer() && inputs->get<int64_t>() == kSixChannelMasterInputs))
            reader.Fail(codec.PathOf("masterInputs"),
                        "a six-channel codec always has 9 master inputs");
        codec.out()["masterInputs"] = kSixChannelMasterInputs;
        render = SixChannelRender(result.vendor, result.device);
    } else {
        const int64_t inputs = codec.Integer("masterInputs", kMostMasterInputs, kFewestMasterInputs,
                                             kMostMasterInputs);
        render = EightChannelRender(result.vendor, result.device, static_cast<int32_t>(inputs));
    }
    const bool microphone = codec.Bool("microphone", true);
    const bool writesDenied = codec.Bool("propertyWritesDenied", false);
    ReadLayout(codec, &render);

    EndpointDesign capture = MicrophoneCapture(result.vendor, result.device);
    {
        const std::vector<ControlName> names = ControlsOf(render, microphone);
        std::string known;
        for (const ControlName& n : names)
            known += (known.empty() ? "" : ", ") + n.name;
        Object controls(reader, codec.Take("controls"), codec.PathOf("controls"),
                        &codec.out()["controls"]);
        for (const ControlName& n : names) {
            EndpointDesign* design = n.flow == DataFlow::kRender ? &render : &capture;
            PartDesign* mute = n.mutePart.empty() ? nullptr : FindPart(design, n.mutePart);
            ReadControl(controls, n.name, FindPart(design, n.volumePart), mute);
        }
        controls.Finish(known);
    }
    codec.Finish(
        "vendor, device, shape, masterInputs, microphone, propertyWritesDenied, layout, controls");

    render.propertyWritesDenied = writesDenied;
    capture.propertyWritesDenied = writesDenied;
    result.designs.push_back(std::move(render));
    if (microphone)
        result.designs.push_back(std::move(capture));
    return result;
}

// Endpoints that must not match the codec: another maker's, or the codec's own with its connector
// not connected.
void ReadOtherEndpoint(Reader& reader, const Json& value, const std::string& path, Json* out,
                       SimAudioSystemBuilder* builder) {
    Object endpoint(reader, &value, path, out);
    const std::string flow = endpoint.Choice("flow", "render", {"render", "capture"});
    if (endpoint.Take("vendor") == nullptr || endpoint.Take("device") == nullptr)
        reader.Fail(path, "needs its vendor and device (e.g. \"0x1002\" and \"0xAA01\")");
    const uint16_t vendor = static_cast<uint16_t>(endpoint.Hexadecimal("vendor", 0, 0xFFFF, 4));
    const uint16_t device = static_cast<uint16_t>(endpoint.Hexadecimal("device", 0, 0xFFFF, 4));
    const bool connected = endpoint.Bool("connected", true);
    endpoint.Finish("flow, vendor, device, connected");
    EndpointDesign design =
        flow == "render" ? EightChannelRender(vendor, device) : MicrophoneCapture(vendor, device);
    design.connected = connected;
    builder->Add(std::move(design));
}

// ---- Mixer sources

// The mixer inputs e (parts in<e>_mute and in<e>_volume) of a render design.
std::vector<int32_t> MixerInputsOf(const EndpointDesign& render) {
    std::vector<int32_t> inputs;
    for (const MixerEntryDesign& entry : render.mixerEntries) {
        if (entry.next && entry.part.name.rfind("in", 0) == 0)
            inputs.push_back(std::atoi(entry.part.name.c_str() + 2));
    }
    return inputs;
}

// Signals playing into the mixer inputs of codecs[0], the codec in the room.
void ReadMixerSources(Object& room, const std::vector<int32_t>& inputs, uint64_t seed,
                      RoomOptions* options) {
    Reader& reader = room.reader();
    const Json* sources = room.Take("mixerSources");
    Json& sourcesOut = room.out()["mixerSources"] = Json::array();
    if (sources == nullptr)
        return;
    if (!sources->is_array()) {
        reader.Fail("room.mixerSources", "must be a list");
        return;
    }
    if (sources->size() > RoomOptions::kMaxMixerSources) {
        reader.Fail("room.mixerSources", "has " + std::to_string(sources->size()) +
                                             " sources; at most " +
                                             std::to_string(RoomOptions::kMaxMixerSources));
        return;
    }
    std::string known;
    for (int32_t e : inputs)
        known += (known.empty() ? "in" : ", in") + std::to_string(e);
    for (size_t i = 0; i < sources->size(); ++i) {
        const std::string path = "room.mixerSources[" + std::to_string(i) + "]";
        sourcesOut.push_back(Json::object());
        Object source(reader, &(*sources)[i], path, &sourcesOut.back());
        MixerSourceDesign design;
        if (source.Take("input") == nullptr)
            reader.Fail(source.PathOf("input"), "is missing (the mixer input e of in<e>, e.g. 1)");
        design.input = static_cast<int32_t>(source.Integer("input", design.input, 0, 99));
        if (std::find(inputs.begin(), inputs.end(), design.input) == inputs.end())
            reader.Fail(source.PathOf("input"),
                        "codecs[0] has no mixer input in" + std::to_string(design.input) +
                            (known.empty() ? " (it has none)" : " (it has " + known + ")"));
        const bool hum = source.Choice("kind", "hum", {"hum", "program"}) == "hum";
        design.kind = hum ? MixerSourceDesign::Kind::kHum : MixerSourceDesign::Kind::kProgram;
        design.levelDbfs = source.Number("levelDbfs", design.levelDbfs, -120.0, 0.0, " dBFS");
        if (hum) {
            design.frequencyHz =
                source.Number("frequencyHz", design.frequencyHz, 1.0, 20000.0, " Hz");
            if (source.Take("seed") != nullptr)
                reader.Fail(source.PathOf("seed"), "only program material has a seed");
        } else {
            design.seed = static_cast<uint64_t>(
                source.Integer("seed", static_cast<int64_t>(seed), 0, INT64_MAX));
            if (source.Take("frequencyHz") != nullptr)
                reader.Fail(source.PathOf("frequencyHz"), "only a hum has a frequency");
        }
        source.Finish("input, kind, levelDbfs, frequencyHz, seed");
        options->mixerSources.push_back(design);
    }
}

// ---- The whole file

bool ReadScenario(const Json& root, Scenario* scenario, std::string* message) {
    Reader reader;
    Json out = Json::object();
    Scenario result;
    Object top(reader, &root, "", &out);

    if (const Json* description = top.Take("description")) {
        if (description->is_string())
            out["description"] = *description;
        else
            reader.Fail("description", "must be text");
    }

    result.options.room.noiseSeed = static_cast<uint64_t>(
        top.Integer("seed", static_cast<int64_t>(result.options.room.noiseSeed), 0, INT64_MAX));

    {
        Object clock(reader, top.Take("clock"), "clock", &out["clock"]);
        const std::string mode = clock.Choice("mode", "virtual", {"virtual", "real"});
        result.options.clockMode =
            mode == "real" ? SimPcOptions::ClockMode::kRealTime : SimPcOptions::ClockMode::kVirtual;
        if (mode == "real") {
            result.options.realTimeSpeed = clock.Number("speed", 1.0, kSlowestSpeed, kFastestSpeed);
        } else if (clock.Take("speed") != nullptr) {
            reader.Fail("clock.speed", "only a real-time clock (mode \"real\") has a speed");
        }
        clock.Finish("mode, speed");
    }

    SimAudioSystemBuilder builder;
    std::vector<int32_t> roomInputs;  // the mixer inputs e of codecs[0]
    {
        const Json* codecs = top.Take("codecs");
        Json& codecsOut = out["codecs"] = Json::array();
        if (codecs == nullptr || !codecs->is_array() || codecs->empty()) {
            reader.Fail("codecs", "must list at least one codec");
        } else {
            std::vector<std::pair<uint16_t, uint16_t>> seen;
            for (size_t i = 0; i < codecs->size(); ++i) {
                const std::string path = "codecs[" + std::to_string(i) + "]";
                codecsOut.push_back(Json::object());
                CodecRead codec = ReadCodec(reader, (*codecs)[i], path, &codecsOut.back());
                for (size_t j = 0; j < seen.size(); ++j) {
                    if (seen[j] == std::pair(codec.vendor, codec.device))
                        reader.Fail(path, "codec " + Hex(codec.vendor, 4) + ":" +
                                              Hex(codec.device, 4) + " is already codecs[" +
                                              std::to_string(j) + "]");
                }
                seen.emplace_back(codec.vendor, codec.device);
                if (i == 0) {
                    result.options.codecVendor = codec.vendor;
                    result.options.codecDevice = codec.device;
                    roomInputs = MixerInputsOf(codec.designs.front());
                }
                for (EndpointDesign& design : codec.designs)
                    builder.Add(std::move(design));
            }
        }
    }
    {
        const Json* others = top.Take("otherEndpoints");
        Json& othersOut = out["otherEndpoints"] = Json::array();
        if (others != nullptr && !others->is_array()) {
            reader.Fail("otherEndpoints", "must be a list");
        } else if (others != nullptr) {
            for (size_t i = 0; i < others->size(); ++i) {
                othersOut.push_back(Json::object());
                ReadOtherEndpoint(reader, (*others)[i], "otherEndpoints[" + std::to_string(i) + "]",
                                  &othersOut.back(), &builder);
            }
        }
    }
    result.options.audio = builder;

    {
        Object room(reader, top.Take("room"), "room", &out["room"]);
        Object couplings(reader, room.Take("couplingDb"), "room.couplingDb",
                         &room.out()["couplingDb"]);
        std::string known;
        for (int32_t k = 0; k < RoomOptions::kSpeakers; ++k) {
            const std::string name = kSpeakerNames[k];
            known += (known.empty() ? "\"" : ", \"") + name + "\"";
            double& amplitude = result.options.room.couplings[static_cast<size_t>(k)];
            const Json* given = couplings.Take(name);
            if (given != nullptr && given->is_null()) {
                amplitude = 0.0;
                couplings.out()[name] = nullptr;
            } else if (given != nullptr) {
                const double db =
                    couplings.Number(name, 0.0, kLowestCouplingDb, kHighestCouplingDb, " dB");
                amplitude = std::pow(10.0, db / 20.0);
            } else if (amplitude > 0.0) {
                couplings.out()[name] = 20.0 * std::log10(amplitude);
            } else {
                couplings.out()[name] = nullptr;
            }
        }
        couplings.Finish(known);
        ReadMixerSources(room, roomInputs, result.options.room.noiseSeed, &result.options.room);
        room.Finish("couplingDb, mixerSources");
    }
    {
        Object mic(reader, top.Take("microphone"), "microphone", &out["microphone"]);
        RoomOptions& room = result.options.room;
        room.noiseAmplitude =
            mic.Number("noiseAmplitude", room.noiseAmplitude, 0.0, kHighestNoiseAmplitude);
        room.latencyBlocks = static_cast<int32_t>(
            mic.Integer("latencyBlocks", room.latencyBlocks, 1, kMostLatencyBlocks));
        room.latencyJitterBlocks = static_cast<int32_t>(
            mic.Integer("jitterBlocks", room.latencyJitterBlocks, 0, kMostLatencyBlocks));
        room.jitterSeed = room.noiseSeed;
        mic.Finish("noiseAmplitude, latencyBlocks, jitterBlocks");
    }
    {
        Object wave(reader, top.Take("waveDevices"), "waveDevices", &out["waveDevices"]);
        result.options.codecWaveDevices = wave.Bool("codec", result.options.codecWaveDevices);
        result.options.otherMakerFirst =
            wave.Bool("otherMakerFirst", result.options.otherMakerFirst);
        wave.Finish("codec, otherMakerFirst");
    }
    top.Finish("description, seed, clock, codecs, otherEndpoints, room, microphone, waveDevices");

    if (reader.failed()) {
        *message = reader.message();
        return false;
    }
    result.effectiveJson = out.dump(2) + "\n";
    *scenario = std::move(result);
    return true;
}

// Line and column (from 1) of a byte offset of the text.
std::string Position(std::string_view text, size_t offset) {
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

bool ParseScenario(std::string_view text, Scenario* scenario, std::string* message) {
    try {
        if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
            *message = "(file): is empty";
            return false;
        }
        // A key given twice in one object would silently keep only one of its values.
        std::vector<std::set<std::string>> keys;
        std::string twice;
        auto noteKeys = [&](int, nlohmann::detail::parse_event_t event, Json& parsed) {
            using Event = nlohmann::detail::parse_event_t;
            if (event == Event::object_start) {
                keys.emplace_back();
            } else if (event == Event::object_end && !keys.empty()) {
                keys.pop_back();
            } else if (event == Event::key && !keys.empty() && twice.empty() &&
                       !keys.back().insert(parsed.get<std::string>()).second) {
                twice = parsed.get<std::string>();
            }
            return true;
        };
        Json root;
        try {
            root = Json::parse(text.begin(), text.end(), noteKeys, true, true);
        } catch (const Json::parse_error& error) {
            // The library counts the offending byte from 1.
            const size_t at = error.byte > 0 ? error.byte - 1 : 0;
            *message = "(file): not valid JSON at " + Position(text, at);
            return false;
        }
        if (!twice.empty()) {
            *message = "(file): the key \"" + twice + "\" appears twice in one object";
            return false;
        }
        if (!root.is_object()) {
            *message = "(file): must be an object";
            return false;
        }
        return ReadScenario(root, scenario, message);
    } catch (const std::exception& error) {
        *message = std::string("(file): cannot be read: ") + error.what();
        return false;
    }
}

bool LoadScenarioFile(const std::string& path, Scenario* scenario, std::string* message) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        *message = path + ": is a folder, not a file";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *message = path + ": cannot be opened";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        *message = path + ": cannot be read";
        return false;
    }
    std::string problem;
    if (!ParseScenario(text.str(), scenario, &problem)) {
        *message = path + ": " + problem;
        return false;
    }
    return true;
}

std::string_view DefaultScenarioText() {
    return kDefaultScenarioText;
}

Scenario DefaultScenario() {
    Scenario scenario;
    std::string message;
    // The text is scenarios/default.json, which the tests read: it always parses.
    ParseScenario(DefaultScenarioText(), &scenario, &message);
    return scenario;
}

}  // namespace zelk::sim
