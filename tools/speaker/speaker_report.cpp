#include "speaker_report.h"

#include <cstdio>
#include <iostream>

#include "peer/peer_messages.h"

namespace speaker {

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// "pass 1  front left        0.2 s": the columns line up from one progress line to the next.
std::string ProgressText(uint32_t pass, const std::string& channel, double elapsedSeconds) {
    char text[96];
    std::snprintf(text, sizeof text, "pass %u  %-16s %7.1f s", pass, channel.c_str(),
                  elapsedSeconds);
    return text;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts)
        joined += (joined.empty() ? "" : ", ") + part;
    return joined;
}

std::string Escape(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '"':
                escaped += "\\\"";
                break;
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char code[8];
                    std::snprintf(code, sizeof code, "\\u%04x", c);
                    escaped += code;
                } else {
                    escaped += c;
                }
        }
    }
    return escaped;
}

}  // namespace

std::string ChannelOfBit(int32_t channelBit) {
    if (channelBit == 0)
        return "none";
    for (int32_t slot = 0; slot < zelk::kSpeakerChannels; ++slot) {
        if (channelBit == (1 << slot))
            return zelk::CHANNEL_SLOT_NAMES[slot];
    }
    return "bits " + Hex(static_cast<uint32_t>(channelBit));
}

std::vector<std::string> SpeakersOfMask(uint32_t mask) {
    std::vector<std::string> speakers;
    for (int bit = 0; bit < 32; ++bit) {
        const uint32_t value = 1u << bit;
        if ((mask & value) == 0)
            continue;
        std::string name = "bit " + std::to_string(bit);
        for (const zelk::SpeakerBit& known : zelk::SPEAKER_BITS) {
            if (known.bit == value)
                name = known.name;
        }
        speakers.push_back(name);
    }
    return speakers;
}

std::string GainBar(int32_t value) {
    constexpr int32_t kWidth = 50;
    const int32_t filled = value < 0 ? 0 : value > kWidth ? kWidth : value;
    std::string bar = "[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    return bar + "]";
}

void JsonLine::Key(const std::string& key) {
    if (!fields_.empty())
        fields_ += ",";
    fields_ += '"';
    fields_ += Escape(key);
    fields_ += "\":";
}

JsonLine& JsonLine::Add(const std::string& key, const std::string& value) {
    Key(key);
    fields_ += '"';
    fields_ += Escape(value);
    fields_ += '"';
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, int64_t value) {
    Key(key);
    fields_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, double value, int decimals) {
    Key(key);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    fields_ += text;
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, bool value) {
    Key(key);
    fields_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Add(const std::string& key, const std::vector<std::string>& values) {
    Key(key);
    fields_ += "[";
    for (size_t i = 0; i < values.size(); ++i)
        fields_ += (i == 0 ? "\"" : ",\"") + Escape(values[i]) + "\"";
    fields_ += "]";
    return *this;
}

void Reporter::Emit(const JsonLine& line, const std::string& text) {
    std::cout << (json_ ? line.str() : text) << std::endl;
}

void Reporter::Posted(const std::string& command, uint32_t message, uint32_t wParam, int32_t lParam,
                      const std::string& text) {
    Emit(JsonLine()
             .Add("event", "posted")
             .Add("command", command)
             .Add("message", int64_t{message})
             .Add("wparam", int64_t{wParam})
             .Add("lparam", int64_t{lParam}),
         text);
}

void Reporter::Progress(uint32_t pass, int32_t channelBit, double elapsedSeconds) {
    const std::string channel = ChannelOfBit(channelBit);
    Emit(JsonLine()
             .Add("event", "progress")
             .Add("pass", int64_t{pass})
             .Add("channel_bit", int64_t{channelBit})
             .Add("channel", channel)
             .Add("elapsed", elapsedSeconds),
         ProgressText(pass, channelBit == 0 ? "(no channel yet)" : channel, elapsedSeconds));
}

void Reporter::Calibrated(double elapsedSeconds) {
    Emit(JsonLine().Add("event", "calibrated").Add("elapsed", elapsedSeconds),
         "calibrated after " + Seconds(elapsedSeconds));
}

void Reporter::Speakers(uint32_t mask) {
    const int32_t channels = zelk::ChannelCountOfMask(mask);
    const std::vector<std::string> speakers = SpeakersOfMask(mask);
    Emit(JsonLine()
             .Add("event", "speakers")
             .Add("mask", int64_t{mask})
             .Add("channels", int64_t{channels})
             .Add("speakers", speakers),
         "speakers " + Hex(mask) + " (" +
             (channels != 0 ? std::to_string(channels) + " channels" : "not a known layout") +
             "): " + (speakers.empty() ? "none" : Join(speakers)));
}

void Reporter::SpeakersFailed() {
    Failure("speakers_failed", "the worker could not read the speaker layout");
}

void Reporter::Gain(uint32_t slot, int32_t value) {
    const std::string channel = slot < static_cast<uint32_t>(zelk::kSpeakerChannels)
                                    ? zelk::CHANNEL_SLOT_NAMES[slot]
                                    : "slot " + std::to_string(slot);
    char text[64];
    std::snprintf(text, sizeof text, "%-12s %3d ", channel.c_str(), value);
    Emit(JsonLine()
             .Add("event", "gain")
             .Add("slot", int64_t{slot})
             .Add("channel", channel)
             .Add("value", int64_t{value}),
         text + GainBar(value));
}

void Reporter::Controls(const std::vector<std::pair<std::string, bool>>& controls) {
    JsonLine line;
    line.Add("event", "controls");
    std::string text;
    for (const auto& [name, enabled] : controls) {
        line.Add(name, enabled);
        text += (text.empty() ? "" : "\n") + name + (enabled ? " enabled" : " disabled");
    }
    Emit(line, text);
}

void Reporter::Received(uint32_t message, uint32_t wParam, int32_t lParam, double elapsedSeconds) {
    if (message == zelk::WM_PEER_COMMAND && wParam >= zelk::PROGRESS_FIRST_PASS &&
        wParam <= zelk::PROGRESS_LAST_PASS) {
        Progress(wParam, lParam, elapsedSeconds);
    } else if (message == zelk::WM_PEER_COMMAND && wParam == zelk::REPLY_CALIBRATED) {
        Calibrated(elapsedSeconds);
    } else if (message == zelk::WM_PEER_COMMAND && wParam == zelk::REPLY_SPEAKERS) {
        Speakers(static_cast<uint32_t>(lParam));
    } else if (message == zelk::WM_PEER_COMMAND && wParam == zelk::REPLY_SPEAKERS_FAILED) {
        Emit(JsonLine().Add("event", "speakers_failed"), "speaker query failed");
    } else if (message == zelk::WM_PEER_CHANNEL_VALUE) {
        Gain(wParam, lParam);
    } else {
        Emit(JsonLine()
                 .Add("event", "message")
                 .Add("message", int64_t{message})
                 .Add("wparam", int64_t{wParam})
                 .Add("lparam", int64_t{lParam}),
             "message " + std::to_string(message) + " wParam " + std::to_string(wParam) +
                 " lParam " + std::to_string(lParam));
    }
}

void Reporter::Note(const std::string& event, const std::string& text) {
    Emit(JsonLine().Add("event", event).Add("text", text), text);
}

void Reporter::Failure(const std::string& event, const std::string& text) {
    if (json_)
        std::cout << JsonLine().Add("event", event).Add("text", text).str() << std::endl;
    else
        std::cerr << "speaker: " << text << std::endl;
}

}  // namespace speaker
