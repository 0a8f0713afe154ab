#include "platform/posix/posix_files.h"

#include <unistd.h>

#include <sys/types.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace zelk {
namespace {

static_assert(sizeof(off_t) == 8, "file positions are 64-bit");

class StdioStream : public ByteStream {
  public:
    explicit StdioStream(FILE* file) : file_(file) {}
    ~StdioStream() override { std::fclose(file_); }
    StdioStream(const StdioStream&) = delete;
    StdioStream& operator=(const StdioStream&) = delete;

    size_t Read(void* buffer, size_t bytes) override { return std::fread(buffer, 1, bytes, file_); }
    bool Seek(int64_t offset, SeekOrigin origin) override {
        const int whence = origin == SeekOrigin::kBegin     ? SEEK_SET
                           : origin == SeekOrigin::kCurrent ? SEEK_CUR
                                                            : SEEK_END;
        return fseeko(file_, static_cast<off_t>(offset), whence) == 0;
    }
    bool Tell(int64_t* position) override {
        const off_t at = ftello(file_);
        if (at < 0 || position == nullptr)
            return false;
        *position = static_cast<int64_t>(at);
        return true;
    }

  private:
    FILE* file_;
};

std::string NativePath(std::string path) {
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// --- private-profile text ---

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// A "[name]" line gives name.
bool SectionOf(std::string_view line, std::string_view* name) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return false;
    line.remove_prefix(1);
    const size_t close = line.find(']');
    *name = Trim(close == std::string_view::npos ? line : line.substr(0, close));
    return true;
}

// A "key=value" line gives key and value.
bool EntryOf(std::string_view line, std::string_view* key, std::string_view* value) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return false;
    *key = Trim(line.substr(0, equals));
    *value = Trim(line.substr(equals + 1));
    return true;
}

struct IniText {
    std::vector<std::string> lines;  // without their line ends
    const char* lineEnd = "\n";
};

bool LoadIni(const std::string& path, IniText* ini) {
    std::string text;
    std::string error;
    const posix::ReadResult read = posix::ReadWholeFile(path, &text, &error);
    if (read != posix::ReadResult::kRead)
        return read == posix::ReadResult::kMissing;

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (ini->lines.empty())
                ini->lineEnd = "\r\n";
        }
        ini->lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

bool StoreIni(const std::string& path, const IniText& ini, const posix::WriteFunction& write) {
    std::string text;
    for (const std::string& line : ini.lines) {
        text += line;
        text += ini.lineEnd;
    }
    std::string error;
    return posix::ReplaceWholeFile(path, text, &error, write);
}

// Index of the section's header line and the end of its lines, or false.
bool FindSection(const IniText& ini, std::string_view section, size_t* header, size_t* end) {
    std::string_view name;
    for (size_t i = 0; i < ini.lines.size(); ++i) {
        if (!SectionOf(ini.lines[i], &name) || !SameName(name, section))
            continue;
        *header = i;
        size_t j = i + 1;
        while (j < ini.lines.size() && !SectionOf(ini.lines[j], &name))
            ++j;
        *end = j;
        return true;
    }
    return false;
}

bool FindKey(const IniText& ini, size_t from, size_t end, std::string_view key, size_t* line,
             std::string_view* value) {
    std::string_view name;
    std::string_view found;
    for (size_t i = from; i < end; ++i) {
        if (EntryOf(ini.lines[i], &name, &found) && SameName(name, key)) {
            *line = i;
            if (value != nullptr)
                *value = found;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string WideToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToWide(const std::string& text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        char32_t c = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr char32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && c >= kLeast[length] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        if (!valid) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}

std::unique_ptr<ByteStream> PosixFiles::OpenForReading(const std::u16string& path) {
    FILE* file = std::fopen(NativePath(WideToUtf8(path)).c_str(), "rb");
    if (file == nullptr)
        return nullptr;
    return std::make_unique<StdioStream>(file);
}

std::u16string PosixFiles::NarrowToWide(const char* text) {
    return text == nullptr ? std::u16string() : Utf8ToWide(text);
}

uint32_t PosixFiles::CurrentDirectory(char* buffer, uint32_t capacity) {
    if (buffer == nullptr || capacity == 0 || getcwd(buffer, capacity) == nullptr)
        return 0;
    return static_cast<uint32_t>(std::strlen(buffer));
}

bool PosixFiles::WriteIniString(const char* section, const char* key, const char* value,
                                const char* path) {
    if (section == nullptr || path == nullptr)
        return false;
    const std::string file = NativePath(path);
    IniText ini;
    if (!LoadIni(file, &ini))
        return false;

    size_t header = 0;
    size_t end = 0;
    const bool hasSection = FindSection(ini, section, &header, &end);
    if (key == nullptr) {
        if (hasSection)
            ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(header),
                            ini.lines.begin() + static_cast<std::ptrdiff_t>(end));
        return !hasSection || StoreIni(file, ini, write_);
    }
    size_t line = 0;
    const bool hasKey = hasSection && FindKey(ini, header + 1, end, key, &line, nullptr);
    if (value == nullptr) {
        if (hasKey)
            ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(line));
        return !hasKey || StoreIni(file, ini, write_);
    }

    std::string entry = key;
    entry += '=';
    entry += value;
    if (hasKey) {
        ini.lines[line] = std::move(entry);
    } else if (hasSection) {
        // After the section's last line that is not blank.
        size_t at = header + 1;
        for (size_t i = header + 1; i < end; ++i) {
            if (!Trim(ini.lines[i]).empty())
                at = i + 1;
        }
        ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
    } else {
        std::string sectionLine = "[";
        sectionLine += section;
        sectionLine += ']';
        ini.lines.push_back(std::move(sectionLine));
        ini.lines.push_back(std::move(entry));
    }
    return StoreIni(file, ini, write_);
}

uint32_t PosixFiles::ReadIniString(const char* section, const char* key, const char* defaultValue,
                                   char* buffer, uint32_t capacity, const char* path) {
    if (buffer == nullptr || capacity == 0)
        return 0;
    std::string_view result = defaultValue != nullptr ? defaultValue : "";
    IniText ini;
    size_t header = 0;
    size_t end = 0;
    size_t line = 0;
    std::string_view value;
    if (section != nullptr && key != nullptr && path != nullptr &&
        LoadIni(NativePath(path), &ini) && FindSection(ini, section, &header, &end) &&
        FindKey(ini, header + 1, end, key, &line, &value)) {
        result = value;
    }
    const size_t copied = std::min<size_t>(result.size(), capacity - 1);
    std::memcpy(buffer, result.data(), copied);
    buffer[copied] = '\0';
    return static_cast<uint32_t>(copied);
}

}  // namespace zelk
