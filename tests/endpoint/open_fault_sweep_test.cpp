// Every call that creating and opening an endpoint control makes is made to fail in turn, once and
// for good: Open either succeeds or fails with E_FAIL, and no path leaks or over-releases a
// reference.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "endpoint/endpoint_control.h"
#include "endpoint/endpoint_test_support.h"
#include "platform/sim/sim_audio_system.h"
#include "platform/sim/sim_codec_builder.h"

namespace zelk {
namespace {

using sim::SimAudioSystemBuilder;
using test::kInjected;

struct SweepCase {
    const char* name;
    uint16_t deviceId;
    std::function<SimAudioSystemBuilder()> machine;
};

void PrintTo(const SweepCase& c, std::ostream* os) {
    *os << c.name;
}

SimAudioSystemBuilder MixedMachine() {
    sim::EndpointDesign notSpeaker = sim::EightChannelRender(0x10EC, 0x0899, 7);
    sim::SetConnectedSubType(&notSpeaker, kNodeTypeMicrophone);
    sim::EndpointDesign wrongFlow = sim::MicrophoneCapture(0x10EC, 0x0899);
    sim::SetConnectorFlow(&wrongFlow, ConnectorFlow::kIn);
    return SimAudioSystemBuilder()
        .Add(sim::EightChannelRender(0x1002, 0xAA01))
        .Add(notSpeaker)
        .Add(sim::EightChannelRender(0x10EC, 0x0899, 7))
        .Add(sim::EightChannelRender(0x10EC, 0x0899, 9))
        .Add(wrongFlow)
        .Add(sim::MicrophoneCapture(0x10EC, 0x0899));
}

const SweepCase kSweepCases[] = {
    {"DefaultPc", 0x0899, [] { return sim::DefaultPcBuilder(); }},
    {"SixChannelCodec", 0x0662, [] { return SimAudioSystemBuilder().AddCodec(0x0662); }},
    {"SixOrEightFallingBack", 0x0892, [] { return SimAudioSystemBuilder().AddCodec(0x0892); }},
    {"SixOrEightAsSix", 0x0892,
     [] {
         return SimAudioSystemBuilder()
             .Add(sim::SixChannelRender(0x10EC, 0x0892))
             .Add(sim::MicrophoneCapture(0x10EC, 0x0892));
     }},
    {"MixedEndpoints", 0x0899, MixedMachine},
};

class OpenFaultSweepTest : public ::testing::TestWithParam<SweepCase> {
  protected:
    // Creates a control on a fresh machine with the fault rule `arm` adds, opens it with capture,
    // and checks the references on every way back. Returns the machine's count of failed calls.
    uint64_t OpenOnce(const std::function<void(sim::SimFaults&)>& arm, Status* openStatus,
                      std::vector<sim::SimCall>* calls = nullptr) {
        const SweepCase& c = GetParam();
        auto system = c.machine().Build();
        arm(system->Faults());
        if (calls != nullptr)
            system->Faults().StartRecording();
        auto control = std::make_unique<EndpointControl>(system.get(), kNoWindow);
        int32_t renderKind = 0;
        int32_t captureKind = 0;
        *openStatus = control->Open(0x10EC, c.deviceId, 1, &renderKind, &captureKind);
        if (calls != nullptr)
            *calls = system->Faults().Recorded();
        EXPECT_TRUE(*openStatus == kOk || *openStatus == kFail) << *openStatus;
        EXPECT_EQ(control->opened(), *openStatus == kOk);
        if (*openStatus == kOk) {
            EXPECT_GE(control->RecordCount(DataFlow::kRender), 1);
            EXPECT_GE(control->RecordCount(DataFlow::kCapture), 1);
        }
        // One reference per kept control and nothing else below the collections.
        EXPECT_EQ(
            system->LiveRefs(sim::SimKind::kVolumeLevel) + system->LiveRefs(sim::SimKind::kMute),
            test::SlotsHeld(*control));
        EXPECT_EQ(test::EndpointSideRefs(*system), test::SlotsHeld(*control))
            << test::HeldText(*system);
        EXPECT_EQ(test::StraySlots(*control), 0);
        control->ReleaseControls();
        EXPECT_EQ(test::EndpointSideRefs(*system), 0) << test::HeldText(*system);
        control.reset();
        EXPECT_EQ(system->TotalLiveRefs(), 0) << test::HeldText(*system);
        EXPECT_EQ(system->OverReleases(), 0);
        return system->Faults().Fired();
    }
};

TEST_P(OpenFaultSweepTest, EveryCallFailingOnce) {
    Status status = kFail;
    std::vector<sim::SimCall> calls;
    ASSERT_EQ(OpenOnce([](sim::SimFaults&) {}, &status, &calls), 0u);
    ASSERT_EQ(status, kOk);
    ASSERT_GT(calls.size(), 20u);

    uint32_t k = 1;
    int failedOpens = 0;
    for (;; ++k) {
        SCOPED_TRACE("failing call " + std::to_string(k));
        const uint64_t fired = OpenOnce(
            [k](sim::SimFaults& faults) {
                faults.FailAt(sim::kAnyName, sim::kAnyName, k, kInjected);
            },
            &status);
        if (fired == 0)
            break;  // Open made fewer than k calls
        failedOpens += status == kFail ? 1 : 0;
        if (::testing::Test::HasFailure() || k > 10000)
            break;
    }
    EXPECT_EQ(status, kOk);
    EXPECT_EQ(k - 1, calls.size());
    EXPECT_GT(failedOpens, 0);
}

TEST_P(OpenFaultSweepTest, EveryOperationFailingForGood) {
    Status status = kFail;
    std::vector<sim::SimCall> calls;
    OpenOnce([](sim::SimFaults&) {}, &status, &calls);
    std::set<std::pair<std::string, std::string>> operations;
    for (const sim::SimCall& call : calls)
        operations.emplace(call.object, call.operation);
    for (const auto& [object, operation] : operations) {
        SCOPED_TRACE(object + " " + operation);
        EXPECT_GT(OpenOnce(
                      [&](sim::SimFaults& faults) {
                          faults.FailFrom(object, operation, 1, kWrongEndpointType);
                      },
                      &status),
                  0u);
        if (::testing::Test::HasFailure())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, OpenFaultSweepTest, ::testing::ValuesIn(kSweepCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelk
