#include "results_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "peer/peer_messages.h"
#include "platform/posix/posix_files.h"
#include "speaker_report.h"

namespace speaker {

namespace {

using Reading = StoredLevel::Reading;

// A key that is not in the file reads as this, which no stored line can hold.
constexpr char kAbsent[] = "\n";

// The whole text is one finite number (surrounding blanks allowed), as "%.4f" writes them.
bool IsNumber(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value) ||
        std::fabs(value) > std::numeric_limits<float>::max())
        return false;
    while (*end == ' ' || *end == '\t')
        ++end;
    return *end == '\0';
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string XmlEscape(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                // Control characters are not allowed in XML 1.0 text.
                escaped += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return escaped;
}

const StoredLevel& LevelAt(const StoredResults& results, int32_t row, int32_t band) {
    return results.levels[static_cast<size_t>(zelk::kBands * row + band)];
}

// Why a level reads as the floor, for a person; empty for a stored number.
std::string ReadingNote(const StoredLevel& level) {
    switch (level.reading) {
        case Reading::kStored:
            return "";
        case Reading::kMissing:
            return "missing";
        case Reading::kBad:
            return "not a number";
    }
    return "";
}

char ReadingMark(const StoredLevel& level) {
    return level.reading == Reading::kMissing ? '?' : level.reading == Reading::kBad ? '!' : ' ';
}

// The picture's geometry: dB from 0 at the top of the plot down to the floor at its bottom.
constexpr double kPlotLeft = 70;
constexpr double kPlotTop = 80;
constexpr double kPlotHeight = 360;
constexpr double kGroupWidth = 84;
constexpr double kMastersGap = 36;
constexpr double kBarWidth = 20;
constexpr double kBarGap = 3;
constexpr double kRightMargin = 24;
constexpr double kBottomMargin = 110;
constexpr const char* kBandColours[zelk::kBands] = {"#4e79a7", "#f28e2b", "#59a14f"};

double YOfDb(double db) {
    const double clipped = std::clamp(db, -zelk::kResultsScaleDb, 0.0);
    return kPlotTop + -clipped / zelk::kResultsScaleDb * kPlotHeight;
}

double GroupLeft(int32_t row) {
    return kPlotLeft + 12 + row * kGroupWidth + (row >= zelk::kSpeakerChannels ? kMastersGap : 0);
}

}  // namespace

std::string ResultsRowName(int32_t row) {
    if (row < zelk::kSpeakerChannels)
        return zelk::CHANNEL_SLOT_NAMES[row];
    return row == zelk::kSpeakerChannels ? "master left" : "master right";
}

bool ReadStoredResults(const std::string& path, StoredResults* results, std::string* error) {
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(path, code);
    if (!std::filesystem::exists(status)) {
        *error = "no results file " + path;
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        *error = path + " is not a results file (not a regular file)";
        return false;
    }
    if (!std::ifstream(path, std::ios::binary)) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }

    // Read with the worker's own reader, so names match as the worker matches them.
    zelk::PosixFiles files;
    char value[zelk::kResultsValueCapacity] = {};
    results->path = path;
    files.ReadIniString(zelk::kResultsSection, zelk::kResultsDoneKey, zelk::kResultsNotDone, value,
                        sizeof value, path.c_str());
    results->done = value;
    if (!zelk::ResultsAreStored(value)) {
        *error = path + " holds no results: " + zelk::kResultsDoneKey + " is \"" + results->done +
                 "\" in section [" + zelk::kResultsSection + "], not \"" + zelk::kResultsDone +
                 "\"";
        return false;
    }
    for (int32_t i = 0; i < zelk::kResultsLevelKeyCount; ++i) {
        StoredLevel& level = results->levels[static_cast<size_t>(i)];
        level.key = zelk::kResultsLevelKeys[i];
        files.ReadIniString(zelk::kResultsSection, level.key, kAbsent, value, sizeof value,
                            path.c_str());
        const bool missing = std::strcmp(value, kAbsent) == 0;
        level.text = missing ? "" : value;
        level.reading = missing                ? Reading::kMissing
                        : IsNumber(level.text) ? Reading::kStored
                                               : Reading::kBad;
        level.percent = zelk::ResultsPercentOfText(missing ? zelk::kResultsMissingValue : value);
        level.db = zelk::ResultsLevelOfPercent(level.percent);
        if (level.db == 0)
            level.db = 0;  // 100 percent is 0 dB, not -0
    }
    return true;
}

std::string ResultsTable(const StoredResults& results) {
    std::ostringstream out;
    char line[160];
    std::snprintf(line, sizeof line, "%-13s", "channel");
    std::string header = line;
    for (const char* band : zelk::kResultsBandNames) {
        std::snprintf(line, sizeof line, " %-21s", band);
        header += line;
    }
    out << header.substr(0, header.find_last_not_of(' ') + 1) << "\n";
    bool missing = false;
    bool bad = false;
    for (int32_t row = 0; row < kResultsRows; ++row) {
        if (row == zelk::kSpeakerChannels)
            out << "\n";
        std::snprintf(line, sizeof line, "%-13s", ResultsRowName(row).c_str());
        out << line;
        for (int32_t band = 0; band < zelk::kBands; ++band) {
            const StoredLevel& level = LevelAt(results, row, band);
            std::snprintf(line, sizeof line, " %7.2f dB %8.4f %%%c", static_cast<double>(level.db),
                          static_cast<double>(level.percent), ReadingMark(level));
            out << line;
            missing = missing || level.reading == Reading::kMissing;
            bad = bad || level.reading == Reading::kBad;
        }
        out << "\n";
    }
    if (missing)
        out << "? not stored: read as the floor\n";
    if (bad)
        out << "! not a number: shown as the worker reads it\n";
    return out.str();
}

std::string ResultsSvg(const StoredResults& results) {
    const double width = GroupLeft(kResultsRows) + kRightMargin;
    const double height = kPlotTop + kPlotHeight + kBottomMargin;
    const double plotRight = width - kRightMargin;
    const double floorY = YOfDb(-zelk::kResultsScaleDb);
    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
        << "\" fill=\"#ffffff\"/>\n"
        << "<text x=\"" << kPlotLeft << "\" y=\"28\" font-size=\"18\" font-weight=\"bold\">"
        << "Calibration results</text>\n"
        << "<text x=\"" << kPlotLeft << "\" y=\"48\" fill=\"#555555\">" << XmlEscape(results.path)
        << ": the level of each band in dB, bars rising from the floor ("
        << Format("%.2f", -zelk::kResultsScaleDb) << " dB)</text>\n";

    // The dB axis with a grid line every 10 dB and the floor.
    svg << "<g class=\"axis\" stroke=\"#cccccc\">\n";
    for (int db = 0; db > -zelk::kResultsScaleDb; db -= 10) {
        svg << "<line x1=\"" << kPlotLeft << "\" y1=\"" << YOfDb(db) << "\" x2=\"" << plotRight
            << "\" y2=\"" << YOfDb(db) << "\"/>\n";
    }
    svg << "<line x1=\"" << kPlotLeft << "\" y1=\"" << kPlotTop << "\" x2=\"" << kPlotLeft
        << "\" y2=\"" << floorY << "\" stroke=\"#333333\"/>\n"
        << "<line x1=\"" << kPlotLeft << "\" y1=\"" << floorY << "\" x2=\"" << plotRight
        << "\" y2=\"" << floorY << "\" stroke=\"#333333\"/>\n"
        << "</g>\n<g class=\"axis-labels\" text-anchor=\"end\">\n";
    for (int db = 0; db > -zelk::kResultsScaleDb; db -= 10) {
        svg << "<text x=\"" << kPlotLeft - 6 << "\" y=\"" << YOfDb(db) + 4 << "\">" << db
            << " dB</text>\n";
    }
    svg << "<text x=\"" << kPlotLeft - 6 << "\" y=\"" << floorY + 4 << "\">"
        << Format("%.2f", -zelk::kResultsScaleDb) << " dB</text>\n</g>\n";

    // The bars, three per channel, the masters after a gap.
    svg << "<line x1=\"" << GroupLeft(zelk::kSpeakerChannels) - kMastersGap / 2 - 6 << "\" y1=\""
        << kPlotTop << "\" x2=\"" << GroupLeft(zelk::kSpeakerChannels) - kMastersGap / 2 - 6
        << "\" y2=\"" << floorY << "\" stroke=\"#999999\" stroke-dasharray=\"4 4\"/>\n";
    for (int32_t row = 0; row < kResultsRows; ++row) {
        const double left = GroupLeft(row);
        const std::string name = ResultsRowName(row);
        svg << "<g class=\"" << (row < zelk::kSpeakerChannels ? "channel" : "master")
            << "\" data-channel=\"" << XmlEscape(name) << "\">\n";
        for (int32_t band = 0; band < zelk::kBands; ++band) {
            const StoredLevel& level = LevelAt(results, row, band);
            const double x = left + band * (kBarWidth + kBarGap);
            const double top = YOfDb(level.db);
            const std::string dbText = Format("%.2f", static_cast<double>(level.db));
            const std::string note = ReadingNote(level);
            svg << "<rect class=\"bar\" x=\"" << x << "\" y=\"" << top << "\" width=\"" << kBarWidth
                << "\" height=\"" << floorY - top << "\" fill=\"" << kBandColours[band]
                << "\" data-key=\"" << level.key << "\" data-band=\""
                << zelk::kResultsBandNames[band] << "\" data-db=\"" << dbText
                << "\" data-percent=\"" << Format("%.4f", static_cast<double>(level.percent))
                << "\"><title>" << XmlEscape(name) << " " << zelk::kResultsBandNames[band] << ": "
                << dbText << " dB" << (note.empty() ? "" : " (" + note + ")")
                << "</title></rect>\n";
            // The value, upright along the bar's top.
            const double labelX = x + kBarWidth / 2 + 4;
            svg << "<text x=\"" << labelX << "\" y=\"" << top - 4 << "\" transform=\"rotate(-90 "
                << labelX << " " << top - 4 << ")\" font-size=\"11\""
                << (note.empty() ? "" : " fill=\"#c0392b\"") << ">"
                << (note.empty() ? Format("%.1f", static_cast<double>(level.db)) : note)
                << "</text>\n";
        }
        svg << "<text x=\"" << left + (3 * kBarWidth + 2 * kBarGap) / 2 << "\" y=\"" << floorY + 18
            << "\" text-anchor=\"middle\">" << XmlEscape(name) << "</text>\n"
            << "</g>\n";
    }

    // The legend.
    const double legendY = floorY + 48;
    svg << "<g class=\"legend\">\n";
    for (int32_t band = 0; band < zelk::kBands; ++band) {
        const double x = kPlotLeft + band * 110;
        svg << "<rect x=\"" << x << "\" y=\"" << legendY - 11 << "\" width=\"14\" height=\"14\" "
            << "fill=\"" << kBandColours[band] << "\"/>\n"
            << "<text x=\"" << x + 20 << "\" y=\"" << legendY << "\">"
            << zelk::kResultsBandNames[band] << "</text>\n";
    }
    svg << "<text x=\"" << kPlotLeft + 3 * 110 << "\" y=\"" << legendY << "\" fill=\"#555555\">"
        << zelk::kResultsDoneKey << "=" << XmlEscape(results.done) << "</text>\n"
        << "<text x=\"" << kPlotLeft << "\" y=\"" << legendY + 24 << "\" fill=\"#555555\">"
        << "A missing level reads as the floor; one that is not a number as the worker reads "
           "it.</text>\n"
        << "</g>\n</svg>\n";
    return svg.str();
}

int RunReport(const Options& options) {
    Reporter report(options.json);
    const std::string& path = options.arguments.at(0);
    StoredResults results;
    std::string error;
    if (!ReadStoredResults(path, &results, &error)) {
        report.Failure("no_results", error);
        return kExitFailure;
    }

    int bad = 0;
    if (options.json) {
        std::cout
            << JsonLine().Add("event", "results").Add("file", path).Add("done", results.done).str()
            << "\n";
        for (int32_t row = 0; row < kResultsRows; ++row) {
            for (int32_t band = 0; band < zelk::kBands; ++band) {
                const StoredLevel& level = LevelAt(results, row, band);
                const char* reading = level.reading == Reading::kStored    ? "stored"
                                      : level.reading == Reading::kMissing ? "missing"
                                                                           : "bad";
                std::cout << JsonLine()
                                 .Add("event", "level")
                                 .Add("key", level.key)
                                 .Add("channel", ResultsRowName(row))
                                 .Add("band", zelk::kResultsBandNames[band])
                                 .Add("db", static_cast<double>(level.db))
                                 .Add("percent", static_cast<double>(level.percent), 4)
                                 .Add("reading", reading)
                                 .str()
                          << "\n";
            }
        }
    } else {
        std::cout << "results file " << path << " (" << zelk::kResultsDoneKey << "=" << results.done
                  << ")\n"
                  << ResultsTable(results);
    }
    for (const StoredLevel& level : results.levels) {
        if (level.reading != Reading::kBad)
            continue;
        ++bad;
        report.Failure("bad_value", path + ": " + level.key + "=\"" + level.text +
                                        "\" is not a number; the worker reads it as " +
                                        Format("%.4f", static_cast<double>(level.percent)) +
                                        " percent (" +
                                        Format("%.2f", static_cast<double>(level.db)) + " dB)");
    }

    if (!options.outputPath.empty()) {
        std::ofstream svg(options.outputPath, std::ios::binary | std::ios::trunc);
        svg << ResultsSvg(results);
        svg.close();
        if (!svg) {
            report.Failure("write_failed", "cannot write the picture " + options.outputPath);
            return kExitFailure;
        }
        report.Note("picture", "picture of the results: " + options.outputPath);
    }
    std::cout.flush();
    return bad == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace speaker
