#pragma once

// What the speaker tool prints: text for people by default, one JSON object per line with
// --json. Channel bits and slots are shown by channel name, speaker masks as their speakers and
// gains as numbers with bars.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace speaker {

// The channel of a progress pair's channel bit: "front left" for 1, "none" for 0.
std::string ChannelOfBit(int32_t channelBit);
// The speakers of a speaker mask, in bit order; bits without a name show as "bit N".
std::vector<std::string> SpeakersOfMask(uint32_t mask);
// A bar of width 50 for a gain value 0..50 (-65.25 dB to 0 dB); values outside are clipped.
std::string GainBar(int32_t value);

class JsonLine {
  public:
    JsonLine& Add(const std::string& key, const std::string& value);
    JsonLine& Add(const std::string& key, const char* value) {
        return Add(key, std::string(value));
    }
    JsonLine& Add(const std::string& key, int64_t value);
    JsonLine& Add(const std::string& key, double value, int decimals = 3);
    JsonLine& Add(const std::string& key, bool value);
    JsonLine& Add(const std::string& key, const std::vector<std::string>& values);
    std::string str() const { return "{" + fields_ + "}"; }

  private:
    void Key(const std::string& key);
    std::string fields_;
};

class Reporter {
  public:
    explicit Reporter(bool json) : json_(json) {}

    void Posted(const std::string& command, uint32_t message, uint32_t wParam, int32_t lParam,
                const std::string& text);
    void Progress(uint32_t pass, int32_t channelBit, double elapsedSeconds);
    void Calibrated(double elapsedSeconds);
    void Speakers(uint32_t mask);
    void SpeakersFailed();
    void Gain(uint32_t slot, int32_t value);
    void Controls(const std::vector<std::pair<std::string, bool>>& controls);
    // Any message that reached the window "Speaker", described when it is a known reply.
    void Received(uint32_t message, uint32_t wParam, int32_t lParam, double elapsedSeconds);
    // An outcome worth a line of its own: event names it for scripts.
    void Note(const std::string& event, const std::string& text);
    // A failure: on stderr as text, on stdout as a JSON line.
    void Failure(const std::string& event, const std::string& text);

  private:
    void Emit(const JsonLine& line, const std::string& text);

    bool json_;
};

}  // namespace speaker
