#pragma once

// Failure injection for the simulated audio objects. Every operation of a simulated object
// (everything but AddRef and Release) is a call with a key of two parts: the object's name, such
// as "render0.topology" or "render0.front", and the operation's name, such as "GetConnector" or
// "SetLevel". A rule makes matching calls fail with a chosen status; "*" matches any object or
// any operation. docs/simulator.md lists the names.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/status.h"

namespace zelk::sim {

inline constexpr const char* kAnyName = "*";

struct SimCall {
    std::string object;
    std::string operation;

    friend bool operator==(const SimCall&, const SimCall&) = default;
};

class SimFaults {
  public:
    // The k-th matching call (counted from 1, from the moment the rule is added) fails with
    // status, once.
    void FailAt(std::string object, std::string operation, uint32_t k, Status status);
    // Every matching call from the k-th on fails with status.
    void FailFrom(std::string object, std::string operation, uint32_t k, Status status);
    // Removes every rule; the counters and the recording stay.
    void Clear();

    // Number of calls made so far, and of calls that failed by a rule.
    uint64_t Calls() const;
    uint64_t Fired() const;

    // While recording, every call is appended to the record (in call order).
    void StartRecording();
    void StopRecording();
    std::vector<SimCall> Recorded() const;

    // Counts the call and answers with the status of the first rule that fires, else S_OK.
    Status Check(const std::string& object, const char* operation);

  private:
    struct Rule {
        std::string object;
        std::string operation;
        uint32_t k = 0;
        bool once = true;
        Status status = kOk;
        uint32_t seen = 0;
    };

    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    uint64_t calls_ = 0;
    uint64_t fired_ = 0;
    bool recording_ = false;
    std::vector<SimCall> recorded_;
};

}  // namespace zelk::sim
