#include "platform/sim/pc_state.h"

#include <charconv>
#include <cmath>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::sim {

namespace {

struct PersistedProperty {
    const char* name;
    PropertyKey key;
};

// The properties the layout commands read and write: the speaker masks and the two formats.
constexpr PersistedProperty kPersistedProperties[] = {
    {"physical_speakers", kKeyPhysicalSpeakers},
    {"full_range_speakers", kKeyFullRangeSpeakers},
    {"device_format", kKeyDeviceFormat},
    {"engine_format", kKeyOemFormat},
};

constexpr DataFlow kFlows[] = {DataFlow::kRender, DataFlow::kCapture};
constexpr char kHexDigits[] = "0123456789abcdef";

std::string EscapedText(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c == u'\\') {
            out += "\\\\";
        } else if (c > u' ' && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out.push_back(kHexDigits[(c >> shift) & 0xF]);
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool UnescapeText(std::string_view text, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            out->push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out->push_back(u'\\');
            ++i;
            continue;
        }
        if (i + 5 >= text.size() || text[i + 1] != 'u')
            return false;
        unsigned value = 0;
        for (size_t k = i + 2; k < i + 6; ++k) {
            const int digit = HexValue(text[k]);
            if (digit < 0)
                return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        out->push_back(static_cast<char16_t>(value));
        i += 5;
    }
    return true;
}

std::string FloatText(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

bool ParseFloat(std::string_view text, float* value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() &&
           std::isfinite(*value);
}

bool ParseUInt32(std::string_view text, uint32_t* value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool ParseHex(std::string_view text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexValue(text[i]);
        const int low = HexValue(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes->push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t start = 0;
    while (start <= line.size()) {
        const size_t end = line.find(' ', start);
        if (end == std::string_view::npos) {
            words.push_back(line.substr(start));
            break;
        }
        words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

SimEndpoint* FindEndpoint(const SimAudioSystem& audio, std::string_view name) {
    for (DataFlow flow : kFlows) {
        for (int32_t i = 0; i < audio.EndpointCount(flow); ++i) {
            SimEndpoint* endpoint = audio.Endpoint(flow, i);
            if (endpoint->name() == name)
                return endpoint;
        }
    }
    return nullptr;
}

const PropertyKey* PersistedKey(std::string_view name) {
    for (const PersistedProperty& property : kPersistedProperties) {
        if (name == property.name)
            return &property.key;
    }
    return nullptr;
}

// One parsed line that changes the machine.
struct Entry {
    enum class Kind { kLevel, kMute, kProperty } kind;
    std::string endpoint;  // the endpoint whose device the entry belongs to
    std::string part;      // level, mute: the part's full name
    uint32_t channel = 0;
    float levelDb = 0.0f;
    bool muted = false;
    const PropertyKey* key = nullptr;  // property: null for a key this machine does not keep
    PropertyValue value;
};

std::string OwnerOf(std::string_view part) {
    const size_t dot = part.find('.');
    return std::string(part.substr(0, dot == std::string_view::npos ? 0 : dot));
}

// Parses one line after the header; false when it is not a line of a state.
bool ParseLine(std::string_view line, std::map<std::string, std::u16string>* devices,
               std::vector<Entry>* entries) {
    const std::vector<std::string_view> words = Words(line);
    const std::string_view kind = words[0];
    if (kind == "endpoint" && words.size() >= 3 && !words[1].empty()) {
        std::u16string path;
        const size_t pathStart = words[0].size() + 1 + words[1].size() + 1;
        if (!UnescapeText(line.substr(pathStart), &path))
            return false;
        return devices->emplace(std::string(words[1]), std::move(path)).second;
    }
    Entry entry;
    if (kind == "level" && words.size() == 4) {
        entry.kind = Entry::Kind::kLevel;
        entry.part = std::string(words[1]);
        entry.endpoint = OwnerOf(words[1]);
        if (!ParseUInt32(words[2], &entry.channel) || !ParseFloat(words[3], &entry.levelDb))
            return false;
    } else if (kind == "mute" && words.size() == 3 && (words[2] == "0" || words[2] == "1")) {
        entry.kind = Entry::Kind::kMute;
        entry.part = std::string(words[1]);
        entry.endpoint = OwnerOf(words[1]);
        entry.muted = words[2] == "1";
    } else if (kind == "property" && words.size() == 5) {
        entry.kind = Entry::Kind::kProperty;
        entry.endpoint = std::string(words[1]);
        entry.key = PersistedKey(words[2]);
        if (words[3] == "blob") {
            entry.value.type = PropertyValue::Type::kBlob;
            if (!ParseHex(words[4], &entry.value.blob))
                return false;
        } else if (words[3] == "uint32") {
            entry.value.type = PropertyValue::Type::kUInt32;
            if (!ParseUInt32(words[4], &entry.value.number))
                return false;
        } else {
            return false;
        }
    } else {
        return false;
    }
    if (entry.endpoint.empty() ||
        (entry.kind != Entry::Kind::kProperty && entry.part.size() == entry.endpoint.size() + 1))
        return false;
    entries->push_back(std::move(entry));
    return true;
}

// Whether the entry applies to this machine; applies it when it does.
bool Apply(const Entry& entry, const std::map<std::string, std::u16string>& devices,
           SimAudioSystem* audio) {
    SimEndpoint* endpoint = FindEndpoint(*audio, entry.endpoint);
    const auto device = devices.find(entry.endpoint);
    if (endpoint == nullptr || device == devices.end() ||
        endpoint->Property(kKeyHardwarePath).text != device->second)
        return false;
    switch (entry.kind) {
        case Entry::Kind::kLevel: {
            ChannelDesign design;
            if (!audio->PartChannel(entry.part, entry.channel, &design) ||
                !(entry.levelDb >= design.minDb && entry.levelDb <= design.maxDb))
                return false;
            design.levelDb = entry.levelDb;
            return audio->SetPartChannel(entry.part, entry.channel, design);
        }
        case Entry::Kind::kMute: {
            bool muted = false;
            return audio->PartMuted(entry.part, &muted) &&
                   audio->SetPartMuted(entry.part, entry.muted);
        }
        case Entry::Kind::kProperty: {
            if (entry.key == nullptr || endpoint->Property(*entry.key).type != entry.value.type)
                return false;
            endpoint->ChangeProperty(*entry.key, entry.value);
            return true;
        }
    }
    return false;
}

}  // namespace

std::string PcStateText(const SimAudioSystem& audio) {
    std::string text = kPcStateHeader;
    text += '\n';
    for (DataFlow flow : kFlows) {
        for (int32_t i = 0; i < audio.EndpointCount(flow); ++i) {
            const SimEndpoint* endpoint = audio.Endpoint(flow, i);
            text += "endpoint " + endpoint->name() + ' ' +
                    EscapedText(endpoint->Property(kKeyHardwarePath).text) + '\n';
            for (const auto& part : endpoint->topology().parts()) {
                if (const SimVolumeLevel* level = part->level()) {
                    const uint32_t channels = level->ChannelCount();
                    for (uint32_t channel = 0; channel < channels; ++channel) {
                        ChannelDesign design;
                        if (level->ReadChannel(channel, &design)) {
                            text += "level " + part->name() + ' ' + std::to_string(channel) + ' ' +
                                    FloatText(design.levelDb) + '\n';
                        }
                    }
                }
                if (const SimMute* mute = part->mute())
                    text += "mute " + part->name() + (mute->Muted() ? " 1\n" : " 0\n");
            }
            for (const PersistedProperty& property : kPersistedProperties) {
                const PropertyValue value = endpoint->Property(property.key);
                if (value.type == PropertyValue::Type::kUInt32) {
                    text += "property " + endpoint->name() + ' ' + property.name + " uint32 " +
                            std::to_string(value.number) + '\n';
                } else if (value.type == PropertyValue::Type::kBlob) {
                    text += "property " + endpoint->name() + ' ' + property.name + " blob ";
                    for (uint8_t byte : value.blob) {
                        text.push_back(kHexDigits[byte >> 4]);
                        text.push_back(kHexDigits[byte & 0xF]);
                    }
                    text += '\n';
                }
            }
        }
    }
    return text;
}

PcStateLoad ApplyPcStateText(const std::string& text, SimAudioSystem* audio) {
    PcStateLoad load;
    std::map<std::string, std::u16string> devices;
    std::vector<Entry> entries;
    size_t start = 0;
    int32_t lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++lineNumber;
        if (lineNumber == 1) {
            if (line != kPcStateHeader) {
                load.problem = "it does not begin with \"" + std::string(kPcStateHeader) + "\"";
                return load;
            }
            continue;
        }
        if (!ParseLine(line, &devices, &entries)) {
            load.problem = "line " + std::to_string(lineNumber) + " is not a state entry";
            return load;
        }
    }
    if (lineNumber == 0) {
        load.problem = "it is empty";
        return load;
    }
    load.readable = true;
    for (const Entry& entry : entries) {
        if (Apply(entry, devices, audio))
            ++load.applied;
        else
            ++load.ignored;
    }
    return load;
}

PcStateSaver::PcStateSaver(const SimAudioSystem* audio, Writer writer)
    : audio_(audio),
      writer_(std::move(writer)),
      seenChanges_(audio->StateChanges()),
      written_(PcStateText(*audio)) {}

bool PcStateSaver::SaveIfChanged(std::string* error) {
    // The counter is read before the text, so a change made meanwhile is written next time.
    const uint64_t changes = audio_->StateChanges();
    if (changes == seenChanges_)
        return true;
    std::string text = PcStateText(*audio_);
    if (text != written_) {
        if (!writer_(text, error))
            return false;
        written_ = std::move(text);
        ++writes_;
    }
    seenChanges_ = changes;
    return true;
}

}  // namespace zelk::sim
