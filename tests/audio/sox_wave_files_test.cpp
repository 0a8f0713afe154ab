// WAV files written by sox, read back through the reader and the Linux files, and compared with
// what soxi reports and with the raw samples sox extracts.

#include <gtest/gtest.h>

#include <ostream>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "audio/wave_file_reader.h"
#include "platform/posix/posix_files.h"

namespace zelk {
namespace {

namespace fs = std::filesystem;

struct SoxCase {
    const char* name;
    const char* options;  // sox output options
    uint16_t formatTagInFile;
    uint32_t mask;
    Guid subFormat;
};

bool HaveSox() {
    return std::system("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1") == 0;
}

class SoxWaveFileTest : public ::testing::TestWithParam<SoxCase> {
  protected:
    void SetUp() override {
        if (!HaveSox())
            GTEST_SKIP() << "sox is not installed (scripts/setup.sh installs it)";
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("zelk-sox-" + std::to_string(random()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Run(const std::string& command) {
        const fs::path out = dir_ / "out.txt";
        EXPECT_EQ(std::system((command + " > '" + out.string() + "' 2>/dev/null").c_str()), 0)
            << command;
        std::ifstream in(out);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        return text;
    }
    long Soxi(const char* option, const fs::path& file) {
        return std::stol(Run(std::string("soxi ") + option + " '" + file.string() + "'"));
    }

    fs::path dir_;
};

TEST_P(SoxWaveFileTest, ReaderAgreesWithSox) {
    const SoxCase& c = GetParam();
    const fs::path wav = dir_ / "tone.wav";
    const fs::path raw = dir_ / "tone.raw";
    Run(std::string("sox -n ") + c.options + " '" + wav.string() + "' synth 0.25 sine 440 vol 0.5");
    Run("sox '" + wav.string() + "' -t raw '" + raw.string() + "'");

    const long channels = Soxi("-c", wav);
    const long rate = Soxi("-r", wav);
    const long bits = Soxi("-b", wav);
    const long samples = Soxi("-s", wav);
    std::ifstream rawIn(raw, std::ios::binary);
    const std::vector<uint8_t> expected((std::istreambuf_iterator<char>(rawIn)),
                                        std::istreambuf_iterator<char>());
    ASSERT_EQ(static_cast<long>(expected.size()), samples * channels * bits / 8);
    {
        std::ifstream wavIn(wav, std::ios::binary);
        uint8_t head[22];
        wavIn.read(reinterpret_cast<char*>(head), sizeof head);
        ASSERT_EQ(head[20] | head[21] << 8, c.formatTagInFile) << "sox wrote another layout";
    }

    PosixFiles files;
    WaveFileReader reader(files, files.NarrowToWide(wav.string().c_str()));
    ASSERT_EQ(reader.GetStatus(), kOk);
    const WaveFormatExtensible& format = *reader.GetFormat();
    EXPECT_EQ(format.wFormatTag, kWaveFormatExtensible);
    EXPECT_EQ(format.nChannels, channels);
    EXPECT_EQ(static_cast<long>(format.nSamplesPerSec), rate);
    EXPECT_EQ(format.wBitsPerSample, bits);
    EXPECT_EQ(format.nBlockAlign, channels * bits / 8);
    EXPECT_EQ(static_cast<long>(format.nAvgBytesPerSec), rate * channels * bits / 8);
    EXPECT_EQ(format.dwChannelMask, c.mask);
    EXPECT_EQ(format.SubFormat, c.subFormat);

    // Read in blocks of 10 ms, as the player does; the last one ends in silence.
    const uint32_t block = format.nAvgBytesPerSec / 100;
    std::vector<uint8_t> data;
    std::vector<uint8_t> buffer(block);
    while (reader.HasMoreData()) {
        ASSERT_EQ(reader.Read(buffer.data(), block), kOk);
        data.insert(data.end(), buffer.begin(), buffer.end());
    }
    ASSERT_GE(data.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.begin()));
    const uint8_t silence = bits == 8 ? 0x80 : 0x00;
    for (size_t i = expected.size(); i < data.size(); ++i)
        ASSERT_EQ(data[i], silence) << "byte " << i;
}

// ctest lists a case by its name.
void PrintTo(const SoxCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SoxWaveFileTest,
    ::testing::Values(
        SoxCase{"Unsigned8Mono", "-r 8000 -b 8 -c 1 -e unsigned-integer", 1, 0x4, kSubtypePcm},
        SoxCase{"Signed16Stereo", "-r 44100 -b 16 -c 2 -e signed-integer", 1, 0x3, kSubtypePcm},
        SoxCase{"Signed24Stereo", "-r 48000 -b 24 -c 2 -e signed-integer", kWaveFormatExtensible,
                0x3, kSubtypePcm},
        SoxCase{"Float32Stereo", "-r 48000 -b 32 -c 2 -e floating-point", 3, 0x3,
                kSubtypeIeeeFloat},
        SoxCase{"SixChannelExtensible", "-r 48000 -b 16 -c 6 -e signed-integer",
                kWaveFormatExtensible, 0x3F, kSubtypePcm}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelk
