#include "speaker_command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

namespace speaker {

namespace {

// Subcommands and how many arguments each takes.
const std::map<std::string, size_t>& Subcommands() {
    static const std::map<std::string, size_t> table = {
        {"select", 1},   {"calibrate", 0},  {"calibrate-channel", 1},
        {"layout", 0},   {"set-layout", 1}, {"apply", 1},
        {"gains", 0},    {"stop", 0},       {"click", 1},
        {"close", 0},    {"raw", 2},        {"watch", 0},
        {"controls", 0}, {"report", 1},
    };
    return table;
}

bool ParseSeconds(const std::string& text, double* seconds) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0)
        return false;
    *seconds = value;
    return true;
}

}  // namespace

std::optional<int64_t> ParseInteger(const std::string& text) {
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && text[at] == '-') {
        negative = true;
        ++at;
    }
    int base = 10;
    if (text.size() > at + 1 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
    }
    if (at >= text.size())
        return std::nullopt;
    int64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > (int64_t{1} << 33))
            return std::nullopt;
    }
    return negative ? -value : value;
}

bool ParseCommandLine(int argc, const char* const* argv, Options* options, std::string* error) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        // -o is the short form of --output.
        const std::string arg = std::string(argv[i]) == "-o" ? "--output" : argv[i];
        if (arg == "--") {
            for (++i; i < argc; ++i)
                positional.emplace_back(argv[i]);
            break;
        }
        if (arg.compare(0, 2, "--") != 0) {
            positional.push_back(arg);  // also negative numbers such as -1
            continue;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (const size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "json" || name == "help") {
            if (value) {
                *error = "--" + name + " takes no value";
                return false;
            }
            (name == "json" ? options->json : options->help) = true;
            continue;
        }
        if (name == "output") {
            if (!value) {
                if (i + 1 >= argc) {
                    *error = "-o/--output needs a file name";
                    return false;
                }
                value = argv[++i];
            }
            if (value->empty()) {
                *error = "-o/--output needs a file name";
                return false;
            }
            options->outputPath = *value;
            continue;
        }
        if (name != "timeout" && name != "stall" && name != "listen" && name != "message") {
            *error = "unknown option --" + name;
            return false;
        }
        if (!value) {
            if (i + 1 >= argc) {
                *error = "--" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (name == "message") {
            const std::optional<int64_t> number = ParseInteger(*value);
            if (!number || *number < 0 || *number > UINT32_MAX) {
                *error = "--message needs a message number, not \"" + *value + "\"";
                return false;
            }
            options->rawMessage = static_cast<uint32_t>(*number);
            continue;
        }
        double* target = name == "timeout" ? &options->timeoutSeconds
                         : name == "stall" ? &options->stallSeconds
                                           : &options->listenSeconds;
        if (!ParseSeconds(*value, target)) {
            *error = "--" + name + " needs a number of seconds, not \"" + *value + "\"";
            return false;
        }
    }
    if (options->help)
        return true;
    if (positional.empty()) {
        *error = "no command given";
        return false;
    }
    options->command = positional.front();
    options->arguments.assign(positional.begin() + 1, positional.end());
    const auto known = Subcommands().find(options->command);
    if (known == Subcommands().end()) {
        *error = "unknown command \"" + options->command + "\"";
        return false;
    }
    if (options->arguments.size() != known->second) {
        *error = options->command + " takes " + std::to_string(known->second) + " argument" +
                 (known->second == 1 ? "" : "s");
        return false;
    }
    if (!options->outputPath.empty() && options->command != "report") {
        *error = "-o is for report only";
        return false;
    }
    return true;
}

const char* UsageText() {
    return R"(usage: speaker [options] COMMAND [ARGUMENTS]

Drives the worker window "zelk" as its peer, the window "Speaker".

commands:
  select DEVICE            select the codec by device id (1634, 2194, 2201 or 0x0662, 0x0892, 0x0899)
  calibrate                run a full calibration and show its progress until it ends
  calibrate-channel SLOT   calibrate one speaker channel, slot 0..7, and show its progress
  layout                   show the speaker layout
  set-layout LAYOUT        set 2, 4, 6 or 8 channels, or a speaker mask (0x3F), then show it
  apply low|medium|high    apply a band of the stored results
  gains                    show each channel's gain
  stop                     stop a calibration
  click start|stop|ok|cancel|button1
                           click one of the worker dialog's buttons
  close                    ask the worker to close and wait until its window is gone
  raw CODE ARG             post a command code with its argument
  watch                    show every message that reaches the window "Speaker"
  controls                 show which of the dialog's buttons are enabled
  report RESULTS_FILE      show a results file's levels per channel (no worker needed);
                           with -o FILE.svg also draw them

options:
  --json            one JSON object per line instead of text
  --timeout SECONDS how long to wait for a reply (default 5)
  --stall SECONDS   how long a calibration may go without progress (default 30)
  --listen SECONDS  raw: show what comes back for this long (default 0)
  --message NUMBER  raw: post this message number instead of 9912
  -o, --output FILE report: write the picture (SVG) there
  --help            this text

exit codes: 0 success, 1 failure or timeout, 2 usage, 3 no worker window
  report: 1 when the file is missing or unreadable, holds no results (qaltoOK not YES), has a
  level that is not a number (the table still shows it as the worker reads it) or the picture
  cannot be written
The runtime folder is $ZELK_RUNTIME_DIR, else $XDG_RUNTIME_DIR/zelk, else /tmp/zelk-<uid>.
)";
}

}  // namespace speaker
