#pragma once

// The speaker tool's command line: options anywhere, then a subcommand and its arguments.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace speaker {

enum ExitCode {
    kExitSuccess = 0,
    kExitFailure = 1,  // the worker said no, or nothing came in time
    kExitUsage = 2,
    kExitNoWorker = 3,
};

struct Options {
    bool json = false;
    bool help = false;
    double timeoutSeconds = 5;  // waiting for a reply
    double stallSeconds = 30;   // a calibration without progress or reply
    double listenSeconds = 0;   // raw: how long to show what comes back
    uint32_t rawMessage = 9912;
    std::string outputPath;  // report: where the picture goes
    std::string command;
    std::vector<std::string> arguments;
};

// Decimal, or hexadecimal with 0x; an optional leading '-'. Nothing unless the whole text is a
// number that fits.
std::optional<int64_t> ParseInteger(const std::string& text);

// False with the reason in error when the command line is not one the tool understands.
bool ParseCommandLine(int argc, const char* const* argv, Options* options, std::string* error);

const char* UsageText();

}  // namespace speaker
