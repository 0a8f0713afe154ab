// The speaker tool's report of a results file: the table, the reading of odd values, the refusals
// and the picture.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "calibration/results_file_format.h"
#include "posix/temp_runtime_folder.h"
#include "tools/child_process.h"

namespace zelk::tools {
namespace {

using posix::testing::TempRuntimeFolder;
using testing::Child;
using testing::ReadFile;

struct ToolRun {
    int code;
    std::string out;
    std::string err;
};

// A results file as the worker writes it: the done key, then every level key.
std::map<std::string, std::string> FullResults() {
    std::map<std::string, std::string> values;
    for (int32_t i = 0; i < kResultsLevelKeyCount; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "%.4f", 10.0 + 2.5 * i);
        values[kResultsLevelKeys[i]] = text;
    }
    return values;
}

class ResultsReportTest : public ::testing::Test {
  protected:
    // Writes the file: the section with the done key first (unless doneValue is null), then
    // the values in the order of the key table, then the values of keys it does not know.
    std::string WriteResults(const std::map<std::string, std::string>& values,
                             const char* doneValue = "YES", const std::string& name = "Qalto.ini",
                             const char* section = kResultsSection) {
        const std::string path = folder_ / name;
        std::ofstream file(path);
        file << "[" << section << "]\n";
        if (doneValue != nullptr)
            file << kResultsDoneKey << "=" << doneValue << "\n";
        for (const char* key : kResultsLevelKeys) {
            const auto value = values.find(key);
            if (value != values.end())
                file << key << "=" << value->second << "\n";
        }
        return path;
    }

    ToolRun Report(std::vector<std::string> args) {
        args.insert(args.begin(), ZELK_SPEAKER_PATH);
        Child tool(args, {{"ZELK_RUNTIME_DIR", folder_.path()}},
                   output_ / ("report" + std::to_string(++runs_)));
        const int code = tool.Wait();
        return ToolRun{code, tool.out(), tool.err()};
    }

    // The JSON line of one key in a --json report.
    static std::string LevelLine(const std::string& out, const std::string& key) {
        const size_t at = out.find("\"key\":\"" + key + "\"");
        if (at == std::string::npos)
            return "<no line for " + key + ">";
        const size_t begin = out.rfind('\n', at) + 1;
        return out.substr(begin, out.find('\n', at) - begin);
    }

    TempRuntimeFolder folder_;
    TempRuntimeFolder output_;
    int runs_ = 0;
};

TEST_F(ResultsReportTest, TheTableShowsEveryChannelAndTheMastersInDbAndPercent) {
    std::map<std::string, std::string> values = FullResults();
    values["FrontLeftLow"] = "38.6973";      // -40 dB
    values["SubwooferHigh"] = "100.0000";    // 0 dB
    values["MasterRightMedium"] = "0.0000";  // the floor
    const std::string path = WriteResults(values);

    const ToolRun run = Report({"report", path});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("channel       Low                   Medium                High"),
              std::string::npos)
        << run.out;
    // Front left: 38.6973, then 12.5 and 15 from FullResults.
    EXPECT_NE(run.out.find("front left     -40.00 dB  38.6973 %   -57.09 dB  12.5000 %   -55.46 "
                           "dB  15.0000 % \n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("subwoofer"), std::string::npos);
    EXPECT_NE(run.out.find("   0.00 dB 100.0000 % \n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("master right   -14.68 dB  77.5000 %   -65.25 dB   0.0000 %"),
              std::string::npos)
        << run.out;
    // Rows in channel order, the masters last.
    size_t previous = 0;
    for (const char* row : {"front left", "front right", "rear left", "rear right", "subwoofer",
                            "center", "side left", "side right", "master left", "master right"}) {
        const size_t at = run.out.find(std::string("\n") + row + " ");
        EXPECT_GT(at, previous) << row << "\n" << run.out;
        previous = at == std::string::npos ? previous : at;
    }
}

// How a stored text reads: as the worker reads it, and flagged when it is not a number.
struct ValueCase {
    const char* name;
    const char* stored;  // null: the key is missing
    const char* percent;
    const char* db;
    const char* reading;
};

class ResultsReportValueTest : public ResultsReportTest,
                               public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ResultsReportValueTest, ReadsAsTheWorkerReadsIt) {
    const ValueCase& c = GetParam();
    std::map<std::string, std::string> values = FullResults();
    if (c.stored == nullptr)
        values.erase("SideRightHigh");
    else
        values["SideRightHigh"] = c.stored;
    const std::string path = WriteResults(values);

    const ToolRun run = Report({"--json", "report", path});
    EXPECT_EQ(LevelLine(run.out, "SideRightHigh"),
              std::string("{\"event\":\"level\",\"key\":\"SideRightHigh\",\"channel\":\"side "
                          "right\",\"band\":\"High\",\"db\":") +
                  c.db + ",\"percent\":" + c.percent + ",\"reading\":\"" + c.reading + "\"}")
        << run.out;
    const bool bad = std::string(c.reading) == "bad";
    EXPECT_EQ(run.code, bad ? 1 : 0) << "only a value that is not a number fails the report";
    EXPECT_EQ(run.out.find("\"event\":\"bad_value\"") != std::string::npos, bad) << run.out;

    // The text table marks it too.
    const ToolRun text = Report({"report", path});
    const char* mark = std::string(c.reading) == "stored" ? " \n" : bad ? "!\n" : "?\n";
    const size_t row = text.out.find("side right");
    ASSERT_NE(row, std::string::npos) << text.out;
    EXPECT_EQ(text.out.substr(text.out.find('\n', row) - 1, 2), mark) << text.out;
    if (bad) {
        EXPECT_NE(text.err.find("SideRightHigh=\"" + std::string(c.stored) + "\" is not a number"),
                  std::string::npos)
            << text.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ResultsReportValueTest,
    ::testing::Values(ValueCase{"stored", "38.6973", "38.6973", "-40.000", "stored"},
                      ValueCase{"full_scale", "100.0000", "100.0000", "0.000", "stored"},
                      ValueCase{"above_the_scale", "120", "120.0000", "13.050", "stored"},
                      ValueCase{"missing", nullptr, "0.0000", "-65.250", "missing"},
                      ValueCase{"nan", "nan", "0.0000", "-65.250", "bad"},
                      ValueCase{"inf", "inf", "0.0000", "-65.250", "bad"},
                      ValueCase{"minus_inf", "-INF", "0.0000", "-65.250", "bad"},
                      ValueCase{"too_large_for_a_float", "1e300", "0.0000", "-65.250", "bad"},
                      ValueCase{"word", "loud", "0.0000", "-65.250", "bad"},
                      ValueCase{"empty", "", "0.0000", "-65.250", "bad"},
                      // The worker reads the number a text begins with.
                      ValueCase{"number_then_text", "50abc", "50.0000", "-32.625", "bad"}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

TEST_F(ResultsReportTest, AFileWithoutResultsIsRefused) {
    struct Case {
        const char* name;
        std::string path;
        const char* message;
    };
    ASSERT_EQ(::mkdir((folder_ / "folder.ini").c_str(), 0700), 0);
    const std::vector<Case> cases = {
        {"no file", folder_ / "none.ini", "no results file"},
        {"a folder", folder_ / "folder.ini", "not a regular file"},
        {"not done", WriteResults(FullResults(), "NO", "no.ini"), "qaltoOK is \"NO\""},
        {"done cut short", WriteResults(FullResults(), "YE", "ye.ini"), "qaltoOK is \"YE\""},
        {"no done key", WriteResults(FullResults(), nullptr, "nokey.ini"), "qaltoOK is \"NO\""},
        {"another section", WriteResults(FullResults(), "YES", "other.ini", "Other"),
         "holds no results"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string svg = output_ / "refused.svg";
        const ToolRun run = Report({"report", c.path, "-o", svg});
        EXPECT_EQ(run.code, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << "no table for a file without results";
        EXPECT_EQ(ReadFile(svg), "") << "no picture either";
    }
    // The done key is read as the worker reads it: names and "YES" without regard to case.
    const ToolRun lower =
        Report({"report", WriteResults(FullResults(), "yes", "lower.ini", "qorsQALTOR")});
    EXPECT_EQ(lower.code, 0) << lower.err;
}

// Well-formed XML in the small: tags nest, one root, attribute values quoted, every '&' an
// entity and no '<' inside a value. False with the place of the first fault.
bool WellFormed(const std::string& xml, std::string* fault) {
    std::vector<std::string> open;
    int roots = 0;
    const auto fail = [&](size_t at, const std::string& what) {
        *fault = what + " at " + std::to_string(at) + ": " + xml.substr(at, 40);
        return false;
    };
    const auto entityAt = [&](size_t at) {
        for (const char* entity : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
            if (xml.compare(at, std::strlen(entity), entity) == 0)
                return true;
        }
        return false;
    };
    const auto isNameChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ':' ||
               c == '.';
    };
    size_t i = 0;
    while (i < xml.size()) {
        if (xml[i] == '&') {
            if (!entityAt(i))
                return fail(i, "a bare &");
            ++i;
            continue;
        }
        if (xml[i] != '<') {
            ++i;
            continue;
        }
        if (xml.compare(i, 2, "<?") == 0 || xml.compare(i, 4, "<!--") == 0) {
            const char* end = xml[i + 1] == '?' ? "?>" : "-->";
            const size_t close = xml.find(end, i);
            if (close == std::string::npos)
                return fail(i, "an unended declaration");
            i = close + std::strlen(end);
            continue;
        }
        const bool closing = xml.compare(i, 2, "</") == 0;
        size_t at = i + (closing ? 2 : 1);
        const size_t nameStart = at;
        while (at < xml.size() && isNameChar(xml[at]))
            ++at;
        const std::string name = xml.substr(nameStart, at - nameStart);
        if (name.empty())
            return fail(i, "a tag without a name");
        if (closing) {
            if (open.empty() || open.back() != name || at >= xml.size() || xml[at] != '>')
                return fail(i, "an end tag that does not match");
            open.pop_back();
            i = at + 1;
            continue;
        }
        bool selfClosing = false;
        for (;;) {
            while (at < xml.size() && std::isspace(static_cast<unsigned char>(xml[at])))
                ++at;
            if (at >= xml.size())
                return fail(i, "an unended tag");
            if (xml.compare(at, 2, "/>") == 0) {
                selfClosing = true;
                at += 2;
                break;
            }
            if (xml[at] == '>') {
                ++at;
                break;
            }
            const size_t attribute = at;
            while (at < xml.size() && isNameChar(xml[at]))
                ++at;
            if (at == attribute || xml.compare(at, 2, "=\"") != 0)
                return fail(at, "an attribute without a quoted value");
            const size_t close = xml.find('"', at + 2);
            if (close == std::string::npos)
                return fail(at, "an unended value");
            for (size_t v = at + 2; v < close; ++v) {
                if (xml[v] == '<' || (xml[v] == '&' && !entityAt(v)))
                    return fail(v, "a raw < or & in a value");
            }
            at = close + 1;
        }
        if (open.empty() && ++roots > 1)
            return fail(i, "a second root");
        if (!selfClosing)
            open.push_back(name);
        i = at;
    }
    if (!open.empty())
        return fail(xml.size(), "<" + open.back() + "> left open");
    if (roots != 1)
        return fail(0, "no root");
    return true;
}

// The value of an attribute in the tag that begins at `at`.
std::string Attribute(const std::string& xml, size_t at, const std::string& name) {
    const size_t end = xml.find('>', at);
    const size_t found = xml.find(" " + name + "=\"", at);
    if (found == std::string::npos || found > end)
        return "";
    const size_t begin = found + name.size() + 3;
    return xml.substr(begin, xml.find('"', begin) - begin);
}

TEST(WellFormedTest, TheCheckFindsTheFaultsThatMatter) {
    std::string fault;
    EXPECT_TRUE(WellFormed("<?xml version=\"1.0\"?>\n<a x=\"1\"><b/><c>&amp;</c></a>\n", &fault))
        << fault;
    for (const char* bad : {"<a><b></a></b>", "<a>", "<a x=1/>", "<a>&</a>", "<a/><b/>",
                            "<a x=\"<\"/>", "<a></b>", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(WellFormed(bad, &fault));
    }
}

TEST_F(ResultsReportTest, ThePictureHasOneBarPerChannelBandOnTheDbScale) {
    std::map<std::string, std::string> values = FullResults();
    values["FrontLeftLow"] = "100.0000";   // 0 dB: the full height of the plot
    values["FrontLeftMedium"] = "0.0000";  // the floor: no height
    values["CenterHigh"] = "50.0000";      // half way
    values.erase("SideLeftHigh");          // missing: the floor, said so
    // A folder name that needs escaping in the picture's caption.
    ASSERT_EQ(::mkdir((folder_ / "a&b <c>").c_str(), 0700), 0);
    const std::string path = WriteResults(values, "YES", "a&b <c>/Qalto.ini");
    const std::string svgPath = output_ / "results.svg";

    const ToolRun run = Report({"report", path, "-o", svgPath});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("picture of the results: " + svgPath), std::string::npos) << run.out;
    const std::string svg = ReadFile(svgPath);
    std::string fault;
    EXPECT_TRUE(WellFormed(svg, &fault)) << fault;
    EXPECT_EQ(svg.find("<svg "), svg.find('\n') + 1) << "an SVG document";

    std::map<std::string, std::map<std::string, std::string>> bars;
    for (size_t at = svg.find("<rect"); at != std::string::npos; at = svg.find("<rect", at + 1)) {
        const std::string key = Attribute(svg, at, "data-key");
        if (key.empty())
            continue;
        EXPECT_EQ(bars.count(key), 0u) << "one bar for " << key;
        for (const char* name : {"y", "height", "data-db", "data-band"})
            bars[key][name] = Attribute(svg, at, name);
    }
    ASSERT_EQ(bars.size(), static_cast<size_t>(kResultsLevelKeyCount));
    for (int32_t i = 0; i < kResultsLevelKeyCount; ++i)
        EXPECT_EQ(bars.count(kResultsLevelKeys[i]), 1u) << kResultsLevelKeys[i];

    const auto number = [&](const std::string& key, const char* name) {
        return std::stod(bars[key][name]);
    };
    EXPECT_EQ(bars["CenterHigh"]["data-band"], "High");
    EXPECT_EQ(bars["CenterHigh"]["data-db"], "-32.62");
    EXPECT_EQ(bars["SideLeftHigh"]["data-db"], "-65.25");
    const double full = number("FrontLeftLow", "height");
    EXPECT_GT(full, 100);
    EXPECT_EQ(number("FrontLeftMedium", "height"), 0);
    EXPECT_EQ(number("SideLeftHigh", "height"), 0);
    EXPECT_NEAR(number("CenterHigh", "height"), full / 2, 0.01);
    // Every bar stands on the floor.
    for (auto& [key, bar] : bars)
        EXPECT_NEAR(number(key, "y") + number(key, "height"), number("FrontLeftLow", "y") + full,
                    0.01)
            << key;
    EXPECT_NE(svg.find(">missing</text>"), std::string::npos) << "the missing level is named";
    EXPECT_NE(svg.find("master right"), std::string::npos);
}

TEST_F(ResultsReportTest, ABadValueStillGivesTheTableAndThePictureButFails) {
    std::map<std::string, std::string> values = FullResults();
    values["RearLeftMedium"] = "nan";
    const std::string svgPath = output_ / "bad.svg";
    const ToolRun run = Report({"report", WriteResults(values), "-o", svgPath});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("rear left"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("RearLeftMedium=\"nan\" is not a number; the worker reads it as "
                           "0.0000 percent (-65.25 dB)"),
              std::string::npos)
        << run.err;
    std::string fault;
    EXPECT_TRUE(WellFormed(ReadFile(svgPath), &fault)) << fault;
    EXPECT_NE(ReadFile(svgPath).find(">not a number</text>"), std::string::npos);
}

TEST_F(ResultsReportTest, APictureThatCannotBeWrittenIsAFailure) {
    const ToolRun run = Report(
        {"report", WriteResults(FullResults()), "-o", folder_ / "no such folder/results.svg"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("cannot write the picture"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace zelk::tools
