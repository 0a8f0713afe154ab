#include "audio/wave_file_reader.h"

#include <gtest/gtest.h>

#include <ostream>

#include <functional>
#include <string>
#include <vector>

#include "support/memory_files.h"
#include "support/wav_bytes.h"

namespace zelk {
namespace {

using testing::Bytes;
using testing::Chunk;
using testing::ExtensibleFormatBody;
using testing::MemoryFiles;
using testing::Pattern;
using testing::PlainFormat;
using testing::Riff;

const std::u16string kPath = u"C:\\tones\\test.wav";

struct LayoutCase {
    const char* name;
    std::function<Bytes()> file;
    Status status;
    // For accepted files: the normalised format and the data size.
    uint16_t channels = 0;
    uint16_t bits = 0;
    uint32_t mask = 0;
    Guid subFormat = {};
    uint32_t dataSize = 0;
};

Bytes Fmt50() {
    Bytes body = ExtensibleFormatBody(2, 48000, 16, 3);
    Bytes tail = Pattern(10);
    body.insert(body.end(), tail.begin(), tail.end());
    return Chunk("fmt ", body);
}

Bytes ShortExtensible() {
    Bytes body = PlainFormat(kWaveFormatExtensible, 2, 48000, 16);
    testing::Put16(body, 22);
    return Chunk("fmt ", body);  // 18 bytes: no mask, no sub-format
}

Bytes WithRiffId(const char* id, size_t offset) {
    Bytes file = Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("data", Pattern(64))});
    std::copy(id, id + 4, file.begin() + static_cast<std::ptrdiff_t>(offset));
    return file;
}

const LayoutCase kLayouts[] = {
    {"CanonicalStereo16",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("data", Pattern(400))});
     },
     kOk, 2, 16, 0x3, kSubtypePcm, 400},
    {"Mono8",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 1, 8000, 8)), Chunk("data", Pattern(80))});
     },
     kOk, 1, 8, 0x4, kSubtypePcm, 80},
    {"PlainFloatStereo",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(3, 2, 48000, 32)), Chunk("data", Pattern(64))});
     },
     kOk, 2, 32, 0x3, kSubtypeIeeeFloat, 64},
    {"SixChannelExtensible",
     [] {
         return Riff({Chunk("fmt ", ExtensibleFormatBody(6, 48000, 16, 0x3F)),
                      Chunk("data", Pattern(120))});
     },
     kOk, 6, 16, 0x3F, kSubtypePcm, 120},
    {"ListBetweenFmtAndData",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("LIST", Pattern(26)),
                      Chunk("data", Pattern(64))});
     },
     kOk, 2, 16, 0x3, kSubtypePcm, 64},
    {"OddChunkSkippedWithItsPad",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("note", Pattern(5)),
                      Chunk("data", Pattern(64))});
     },
     kOk, 2, 16, 0x3, kSubtypePcm, 64},
    {"Fmt50BytesKeepsTheFirst40",
     [] {
         return Riff({Fmt50(), Chunk("data", Pattern(64))});
     },
     kOk, 2, 16, 0x3, kSubtypePcm, 64},
    {"ThreeChannelPlain",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 3, 44100, 16)), Chunk("data", Pattern(66))});
     },
     kUnsupportedFormat},
    {"FormatTag2",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(2, 2, 44100, 16)), Chunk("data", Pattern(64))});
     },
     kUnsupportedFormat},
    {"ListBeforeFmt",
     [] {
         return Riff({Chunk("LIST", Pattern(26)), Chunk("fmt ", PlainFormat(1, 2, 44100, 16)),
                      Chunk("data", Pattern(64))});
     },
     kUnsupportedFormat},
    {"RiffSize44",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("data", Pattern(8))});
     },
     kUnsupportedFormat},
    {"DataSizeZero",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("data", {})}, 100);
     },
     kUnsupportedFormat},
    {"FmtShorterThan16",
     [] {
         Bytes body = PlainFormat(1, 2, 44100, 16);
         body.resize(14);
         return Riff({Chunk("fmt ", body), Chunk("data", Pattern(64))});
     },
     kUnsupportedFormat},
    {"ExtensibleWithOtherSubFormat",
     [] {
         return Riff({Chunk("fmt ", ExtensibleFormatBody(2, 48000, 16, 3, Guid{2, 0, 0x10, {}})),
                      Chunk("data", Pattern(64))});
     },
     kUnsupportedFormat},
    {"ExtensibleWithoutSubFormat",
     [] {
         return Riff({ShortExtensible(), Chunk("data", Pattern(64))});
     },
     kUnsupportedFormat},
    {"NoDataChunk",
     [] {
         return Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("LIST", Pattern(40))});
     },
     kUnsupportedFormat},
    {"NotRiff", [] { return WithRiffId("RIFX", 0); }, kUnsupportedFormat},
    {"NotWave", [] { return WithRiffId("AVI ", 8); }, kUnsupportedFormat},
    {"TruncatedHeader",
     [] {
         Bytes file =
             Riff({Chunk("fmt ", PlainFormat(1, 2, 44100, 16)), Chunk("data", Pattern(64))});
         file.resize(19);
         return file;
     },
     kUnsupportedFormat},
};

class WaveFileLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(WaveFileLayoutTest, AcceptsOrRefusesTheLayout) {
    const LayoutCase& layout = GetParam();
    MemoryFiles files;
    files.files[kPath] = layout.file();
    WaveFileReader reader(files, kPath);
    ASSERT_EQ(reader.GetStatus(), layout.status);
    if (layout.status != kOk) {
        EXPECT_FALSE(reader.HasMoreData());
        Bytes block(16);
        EXPECT_EQ(reader.Read(block.data(), 16), kUnsupportedFormat);
        return;
    }
    const WaveFormatExtensible& format = *reader.GetFormat();
    EXPECT_EQ(format.wFormatTag, kWaveFormatExtensible);
    EXPECT_EQ(format.cbSize, 22);
    EXPECT_EQ(format.nChannels, layout.channels);
    EXPECT_EQ(format.wBitsPerSample, layout.bits);
    EXPECT_EQ(format.wValidBitsPerSample, layout.bits);
    EXPECT_EQ(format.nBlockAlign, layout.channels * layout.bits / 8);
    EXPECT_EQ(format.dwChannelMask, layout.mask);
    EXPECT_EQ(format.SubFormat, layout.subFormat);

    // The stream stands at the first data byte.
    EXPECT_TRUE(reader.HasMoreData());
    Bytes data(layout.dataSize);
    ASSERT_EQ(reader.Read(data.data(), layout.dataSize), kOk);
    EXPECT_EQ(data, Pattern(layout.dataSize));
    EXPECT_FALSE(reader.HasMoreData());
}

// ctest lists a case by its name.
void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, WaveFileLayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WaveFileReaderTest, MissingFileIsRefused) {
    MemoryFiles files;
    WaveFileReader reader(files, kPath);
    EXPECT_EQ(reader.GetStatus(), kUnsupportedFormat);
    EXPECT_EQ(reader.Reset(), kUnsupportedFormat);
}

TEST(WaveFileReaderTest, ReadsTheDataThenSilenceAndResets) {
    struct Case {
        uint16_t bits;
        uint8_t silence;
    };
    for (const Case& c : {Case{16, 0x00}, Case{8, 0x80}}) {
        MemoryFiles files;
        files.files[kPath] =
            Riff({Chunk("fmt ", PlainFormat(1, 1, 8000, c.bits)), Chunk("data", Pattern(100))});
        WaveFileReader reader(files, kPath);
        ASSERT_EQ(reader.GetStatus(), kOk);

        Bytes first(60);
        ASSERT_EQ(reader.Read(first.data(), 60), kOk);
        EXPECT_TRUE(reader.HasMoreData());
        // 40 bytes of data are left: the rest of this block is silence.
        Bytes second(64, 0x11);
        ASSERT_EQ(reader.Read(second.data(), 64), kOk);
        EXPECT_FALSE(reader.HasMoreData());
        Bytes expected = Pattern(100);
        EXPECT_TRUE(std::equal(first.begin(), first.end(), expected.begin()));
        EXPECT_TRUE(std::equal(second.begin(), second.begin() + 40, expected.begin() + 60));
        EXPECT_EQ(Bytes(second.begin() + 40, second.end()), Bytes(24, c.silence));
        // Used up: every read succeeds with silence.
        Bytes third(32);
        ASSERT_EQ(reader.Read(third.data(), 32), kOk);
        EXPECT_EQ(third, Bytes(32, c.silence));

        ASSERT_EQ(reader.Reset(), kOk);
        EXPECT_TRUE(reader.HasMoreData());
        Bytes again(100);
        ASSERT_EQ(reader.Read(again.data(), 100), kOk);
        EXPECT_EQ(again, expected);
    }
}

TEST(WaveFileReaderTest, ChecksArguments) {
    MemoryFiles files;
    files.files[kPath] =
        Riff({Chunk("fmt ", PlainFormat(1, 2, 8000, 16)), Chunk("data", Pattern(64))});
    WaveFileReader reader(files, kPath);
    Bytes block(4);
    EXPECT_EQ(reader.Read(nullptr, 4), kPointer);
    EXPECT_EQ(reader.Read(block.data(), 0), kInvalidArg);
    EXPECT_EQ(reader.GetStatus(), kOk);
}

TEST(WaveFileReaderTest, DataEndingEarlyFailsForGoodKeepingWhatWasCopied) {
    // The data chunk declares 1000 bytes; the file holds 300 of them.
    MemoryFiles files;
    Bytes file =
        Riff({Chunk("fmt ", PlainFormat(1, 2, 8000, 16)), Chunk("data", Pattern(300), 1000)});
    files.files[kPath] = file;
    WaveFileReader reader(files, kPath);
    ASSERT_EQ(reader.GetStatus(), kOk);

    Bytes block(256, 0xEE);
    ASSERT_EQ(reader.Read(block.data(), 256), kOk);
    Bytes rest(256, 0xEE);
    EXPECT_EQ(reader.Read(rest.data(), 256), kUnsupportedFormat);
    EXPECT_EQ(reader.GetStatus(), kUnsupportedFormat);
    EXPECT_FALSE(reader.HasMoreData());
    Bytes pattern = Pattern(300);
    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + 44, pattern.begin() + 256));
    // Sticky: neither reads nor resets touch anything any more.
    Bytes untouched(16, 0xEE);
    EXPECT_EQ(reader.Read(untouched.data(), 16), kUnsupportedFormat);
    EXPECT_EQ(untouched, Bytes(16, 0xEE));
    EXPECT_EQ(reader.Reset(), kUnsupportedFormat);
}

TEST(WaveFileReaderTest, KeepsItsFileOpenForItsLife) {
    MemoryFiles files;
    files.files[kPath] =
        Riff({Chunk("fmt ", PlainFormat(1, 2, 8000, 16)), Chunk("data", Pattern(64))});
    files.files[u"bad.wav"] =
        Riff({Chunk("fmt ", PlainFormat(2, 2, 8000, 16)), Chunk("data", Pattern(64))});
    {
        WaveFileReader good(files, kPath);
        WaveFileReader bad(files, u"bad.wav");
        EXPECT_EQ(bad.GetStatus(), kUnsupportedFormat);
        EXPECT_EQ(files.OpenStreams(), 2);
    }
    EXPECT_EQ(files.OpenStreams(), 0);
}

}  // namespace
}  // namespace zelk
