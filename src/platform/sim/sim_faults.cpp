#include "platform/sim/sim_faults.h"

#include <utility>

namespace zelk::sim {

namespace {

bool Matches(const std::string& pattern, const std::string& name) {
    return pattern == kAnyName || pattern == name;
}

bool Matches(const std::string& pattern, const char* name) {
    return pattern == kAnyName || pattern == name;
}

}  // namespace

void SimFaults::FailAt(std::string object, std::string operation, uint32_t k, Status status) {
    std::lock_guard lock(mutex_);
    rules_.push_back(Rule{std::move(object), std::move(operation), k, true, status, 0});
}

void SimFaults::FailFrom(std::string object, std::string operation, uint32_t k, Status status) {
    std::lock_guard lock(mutex_);
    rules_.push_back(Rule{std::move(object), std::move(operation), k, false, status, 0});
}

void SimFaults::Clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

uint64_t SimFaults::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

uint64_t SimFaults::Fired() const {
    std::lock_guard lock(mutex_);
    return fired_;
}

void SimFaults::StartRecording() {
    std::lock_guard lock(mutex_);
    recording_ = true;
}

void SimFaults::StopRecording() {
    std::lock_guard lock(mutex_);
    recording_ = false;
}

std::vector<SimCall> SimFaults::Recorded() const {
    std::lock_guard lock(mutex_);
    return recorded_;
}

Status SimFaults::Check(const std::string& object, const char* operation) {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (recording_)
        recorded_.push_back(SimCall{object, operation});
    Status result = kOk;
    // Every matching rule counts the call, also when an earlier one already fired.
    for (Rule& rule : rules_) {
        if (!Matches(rule.object, object) || !Matches(rule.operation, operation))
            continue;
        ++rule.seen;
        bool fires = rule.once ? rule.seen == rule.k : rule.seen >= rule.k;
        if (fires && Succeeded(result))
            result = rule.status;
    }
    if (Failed(result))
        ++fired_;
    return result;
}

}  // namespace zelk::sim
