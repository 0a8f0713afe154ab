// speaker: the command-line peer of the worker.

#include <iostream>
#include <string>

#include "speaker_command_line.h"
#include "speaker_commands.h"

int main(int argc, char** argv) {
    speaker::Options options;
    std::string error;
    if (!speaker::ParseCommandLine(argc, argv, &options, &error)) {
        std::cerr << "speaker: " << error << "\n" << speaker::UsageText();
        return speaker::kExitUsage;
    }
    return speaker::RunSpeaker(options);
}
