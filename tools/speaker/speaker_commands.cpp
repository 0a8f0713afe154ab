#include "speaker_commands.h"

#include <time.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <optional>

#include "peer/peer_messages.h"
#include "peer_session.h"
#include "platform/posix/runtime_folder.h"
#include "platform/windowing.h"
#include "results_report.h"
#include "speaker_report.h"

namespace speaker {

namespace {

using Verdict = PeerSession::Verdict;
using Outcome = PeerSession::Outcome;
using zelk::posix::ChannelMessage;

// How long a gains query may stay quiet after its last value before the values are taken as all.
constexpr double kGainsSettleSeconds = 0.5;

std::string Hex4(int64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04llX", static_cast<unsigned long long>(value & 0xFFFF));
    return text;
}

// A posted message: what to send, and what it means to a person.
struct Request {
    uint32_t message = zelk::WM_PEER_COMMAND;
    uint32_t wParam = 0;
    int32_t lParam = 0;
    std::string text;
};

// Reads a command's arguments into the message it posts; false on a usage error.
bool BuildRequest(const Options& options, Request* request, std::string* error) {
    const std::string& command = options.command;
    const auto argument = [&](size_t i) { return options.arguments.at(i); };
    const auto int32Argument = [&](size_t i, int32_t* value) {
        const std::optional<int64_t> number = ParseInteger(argument(i));
        if (!number || *number < INT32_MIN || *number > UINT32_MAX) {
            *error = command + ": \"" + argument(i) + "\" is not a 32-bit number";
            return false;
        }
        *value = static_cast<int32_t>(static_cast<uint32_t>(*number));
        return true;
    };

    if (command == "select") {
        request->wParam = zelk::CMD_SELECT_CODEC;
        if (!int32Argument(0, &request->lParam))
            return false;
        bool known = false;
        for (uint16_t device : zelk::kKnownCodecIds)
            known = known || request->lParam == device;
        request->text =
            known ? "selected codec " + Hex4(zelk::kCodecVendorId) + ":" + Hex4(request->lParam)
                  : "posted select " + argument(0) +
                        "; the worker keeps its codec for an unknown device "
                        "(known: 1634, 2194, 2201)";
    } else if (command == "calibrate") {
        request->wParam = zelk::CMD_CALIBRATE;
        request->text = "calibration started";
    } else if (command == "calibrate-channel") {
        const std::optional<int64_t> slot = ParseInteger(argument(0));
        if (!slot || *slot < 0 || *slot >= zelk::kSpeakerChannels) {
            *error = "calibrate-channel needs a channel slot 0..7, not \"" + argument(0) + "\"";
            return false;
        }
        request->wParam = zelk::CMD_CALIBRATE_CHANNEL;
        request->lParam = static_cast<int32_t>(*slot);
        request->text =
            std::string("calibration of ") + zelk::CHANNEL_SLOT_NAMES[*slot] + " started";
    } else if (command == "layout") {
        request->wParam = zelk::CMD_QUERY_SPEAKERS;
        request->text = "asked for the speaker layout";
    } else if (command == "set-layout") {
        request->wParam = zelk::CMD_SET_SPEAKERS;
        if (!int32Argument(0, &request->lParam))
            return false;
        request->text = "asked for speaker layout " + argument(0);
    } else if (command == "apply") {
        static const std::map<std::string, int32_t> bands = {
            {"low", zelk::APPLY_LOW}, {"medium", zelk::APPLY_MEDIUM}, {"high", zelk::APPLY_HIGH}};
        const auto band = bands.find(argument(0));
        if (band == bands.end()) {
            *error = "apply needs low, medium or high, not \"" + argument(0) + "\"";
            return false;
        }
        request->wParam = zelk::CMD_APPLY_RESULTS;
        request->lParam = band->second;
        request->text = "applying the " + argument(0) + " band of the stored results";
    } else if (command == "gains") {
        request->wParam = zelk::CMD_QUERY_GAINS;
        request->text = "asked for the channel gains";
    } else if (command == "stop") {
        request->wParam = zelk::CMD_STOP;
        request->text = "stop posted";
    } else if (command == "click") {
        static const std::map<std::string, int> buttons = {{"start", zelk::IDC_START_BUTTON},
                                                           {"stop", zelk::IDC_STOP_BUTTON},
                                                           {"ok", zelk::IDC_OK},
                                                           {"cancel", zelk::IDC_CANCEL},
                                                           {"button1", zelk::IDC_BUTTON1}};
        const auto button = buttons.find(argument(0));
        if (button == buttons.end()) {
            *error = "click needs start, stop, ok, cancel or button1, not \"" + argument(0) + "\"";
            return false;
        }
        request->message = zelk::kWmCommand;
        request->wParam = static_cast<uint32_t>(button->second);  // high 16 bits 0: a click
        request->text = "clicked " + argument(0);
    } else if (command == "close") {
        request->message = zelk::kWmClose;
        request->text = "close posted";
    } else if (command == "raw") {
        int32_t code;
        if (!int32Argument(0, &code) || !int32Argument(1, &request->lParam))
            return false;
        request->message = options.rawMessage;
        request->wParam = static_cast<uint32_t>(code);
        request->text = "posted message " + std::to_string(request->message) + " (" +
                        std::to_string(request->wParam) + ", " + std::to_string(request->lParam) +
                        ")";
    } else {
        // watch and controls post nothing.
        request->message = 0;
    }
    return true;
}

int ExitOf(Outcome outcome, Reporter& report) {
    switch (outcome) {
        case Outcome::kSucceeded:
            return kExitSuccess;
        case Outcome::kInterrupted:
            report.Failure("interrupted", "interrupted");
            return kExitFailure;
        case Outcome::kBroken:
            report.Failure("error", "the window \"Speaker\" stopped working");
            return kExitFailure;
        case Outcome::kFailed:
            break;
    }
    return kExitFailure;
}

class Session {
  public:
    Session(const Options& options, const std::string& folder)
        : options_(options), report_(options.json), peer_(folder) {}

    int Run(const Request& request) {
        if (!peer_.FindWorker()) {
            report_.Failure(
                "no_worker",
                "no worker window \"" + std::string(zelk::WORKER_WINDOW_TITLE) + "\" is running");
            return kExitNoWorker;
        }
        const std::string& command = options_.command;
        if (command == "controls")
            return Controls();
        const bool listens = command == "calibrate" || command == "calibrate-channel" ||
                             command == "layout" || command == "set-layout" || command == "gains" ||
                             command == "watch" || (command == "raw" && options_.listenSeconds > 0);
        if (listens) {
            std::string error;
            if (!peer_.OpenPeerWindow(&error)) {
                report_.Failure("peer_window_taken", error);
                return kExitFailure;
            }
        }
        if (request.message != 0) {
            if (!peer_.PostToWorker(request.message, request.wParam, request.lParam)) {
                report_.Failure("post_failed",
                                "cannot post to the worker (its queue is full or it is gone)");
                return kExitFailure;
            }
            report_.Posted(command, request.message, request.wParam, request.lParam, request.text);
        }
        if (command == "calibrate" || command == "calibrate-channel")
            return FollowRun(command == "calibrate");
        if (command == "layout" || command == "set-layout")
            return AwaitSpeakers();
        if (command == "gains")
            return CollectGains();
        if (command == "watch" || command == "raw")
            return Watch(command == "raw" || options_.listenSeconds > 0 ? options_.listenSeconds
                                                                        : -1);
        if (command == "close")
            return AwaitClose();
        return kExitSuccess;
    }

  private:
    int Controls() {
        const std::pair<const char*, int> controls[] = {
            {"ok", zelk::IDC_OK},
            {"cancel", zelk::IDC_CANCEL},
            {"start", zelk::IDC_START_BUTTON},
            {"stop", zelk::IDC_STOP_BUTTON},
            {"button1", zelk::IDC_BUTTON1},
        };
        std::vector<std::pair<std::string, bool>> states;
        for (const auto& [name, id] : controls)
            states.emplace_back(name, peer_.IsWorkerControlEnabled(id));
        report_.Controls(states);
        return kExitSuccess;
    }

    // A worker that went away ends every wait; asked about once a second.
    bool WorkerGone() {
        if (++ticks_ % 20 != 0 || peer_.WorkerAlive())
            return false;
        report_.Failure("worker_gone", "the worker window is gone");
        return true;
    }

    int FollowRun(bool full) {
        double lastActivity = peer_.Elapsed();
        bool progressed = false;
        const Outcome outcome = peer_.Listen(
            [&](const ChannelMessage& m) {
                if (m.message != zelk::WM_PEER_COMMAND)
                    return Verdict::kContinue;
                if (m.wParam >= zelk::PROGRESS_FIRST_PASS && m.wParam <= zelk::PROGRESS_LAST_PASS) {
                    report_.Progress(m.wParam, m.lParam, peer_.Elapsed());
                    lastActivity = peer_.Elapsed();
                    progressed = true;
                } else if (m.wParam == zelk::REPLY_CALIBRATED && full) {
                    report_.Calibrated(peer_.Elapsed());
                    return Verdict::kSucceeded;
                }
                return Verdict::kContinue;
            },
            [&] {
                if (WorkerGone())
                    return Verdict::kFailed;
                const double quiet = peer_.Elapsed() - lastActivity;
                if (quiet < options_.stallSeconds)
                    return Verdict::kContinue;
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%.1f s", quiet);
                if (!full && progressed) {
                    // A single-channel run reports no completion: quiet after progress is its end.
                    report_.Note("quiet", std::string("no further progress for ") + seconds);
                    return Verdict::kSucceeded;
                }
                report_.Failure("stalled", std::string("the run stalled: no progress or reply "
                                                       "for ") +
                                               seconds);
                return Verdict::kFailed;
            });
        return ExitOf(outcome, report_);
    }

    int AwaitSpeakers() {
        const Outcome outcome = peer_.Listen(
            [&](const ChannelMessage& m) {
                if (m.message != zelk::WM_PEER_COMMAND)
                    return Verdict::kContinue;
                if (m.wParam == zelk::REPLY_SPEAKERS) {
                    report_.Speakers(static_cast<uint32_t>(m.lParam));
                    return Verdict::kSucceeded;
                }
                if (m.wParam == zelk::REPLY_SPEAKERS_FAILED) {
                    report_.SpeakersFailed();
                    return Verdict::kFailed;
                }
                return Verdict::kContinue;
            },
            [&] { return TimedOut("no speaker reply") ? Verdict::kFailed : Verdict::kContinue; });
        return ExitOf(outcome, report_);
    }

    int CollectGains() {
        int values = 0;
        double lastValue = 0;
        const Outcome outcome = peer_.Listen(
            [&](const ChannelMessage& m) {
                if (m.message != zelk::WM_PEER_CHANNEL_VALUE)
                    return Verdict::kContinue;
                report_.Gain(m.wParam, m.lParam);
                lastValue = peer_.Elapsed();
                return ++values == zelk::kSpeakerChannels ? Verdict::kSucceeded
                                                          : Verdict::kContinue;
            },
            [&] {
                if (values > 0)
                    return peer_.Elapsed() - lastValue >= kGainsSettleSeconds ? Verdict::kSucceeded
                                                                              : Verdict::kContinue;
                return TimedOut("no gains") ? Verdict::kFailed : Verdict::kContinue;
            });
        return ExitOf(outcome, report_);
    }

    // Until interrupted, or for the given number of seconds when it is not negative.
    int Watch(double seconds) {
        const Outcome outcome = peer_.Listen(
            [&](const ChannelMessage& m) {
                report_.Received(m.message, m.wParam, m.lParam, peer_.Elapsed());
                return Verdict::kContinue;
            },
            [&] {
                return seconds >= 0 && peer_.Elapsed() >= seconds ? Verdict::kSucceeded
                                                                  : Verdict::kContinue;
            });
        return outcome == Outcome::kInterrupted ? kExitSuccess : ExitOf(outcome, report_);
    }

    int AwaitClose() {
        while (peer_.WorkerAlive()) {
            if (peer_.Elapsed() >= options_.timeoutSeconds) {
                report_.Failure("timeout", "the worker window is still there");
                return kExitFailure;
            }
            const timespec pause{0, 20 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        report_.Note("closed", "the worker closed");
        return kExitSuccess;
    }

    bool TimedOut(const std::string& what) {
        if (WorkerGone())
            return true;
        if (peer_.Elapsed() < options_.timeoutSeconds)
            return false;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f s", options_.timeoutSeconds);
        report_.Failure("timeout", what + " within " + seconds);
        return true;
    }

    const Options& options_;
    Reporter report_;
    PeerSession peer_;
    unsigned ticks_ = 0;
};

}  // namespace

int RunSpeaker(const Options& options) {
    if (options.help) {
        std::cout << UsageText();
        return kExitSuccess;
    }
    if (options.command == "report")
        return RunReport(options);
    Request request;
    std::string error;
    if (!BuildRequest(options, &request, &error)) {
        std::cerr << "speaker: " << error << "\n" << UsageText();
        return kExitUsage;
    }
    const std::string folder = zelk::posix::RuntimeFolderFromEnvironment();
    const zelk::posix::RuntimeFolderCheck check = zelk::posix::PrepareRuntimeFolder(folder);
    if (!check.ok()) {
        Reporter(options.json).Failure("unsafe_runtime_folder", check.message);
        return kExitFailure;
    }
    Session session(options, folder);
    return session.Run(request);
}

}  // namespace speaker
