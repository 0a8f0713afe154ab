#include "endpoint/endpoint_control.h"

#include "endpoint/endpoint_text.h"
#include "endpoint/topology_walks.h"

namespace zelk {

namespace {

size_t FlowIndex(DataFlow flow) {
    return flow == DataFlow::kRender ? 0 : 1;
}

}  // namespace

EndpointControl::EndpointControl(CoreAudio* coreAudio, WindowHandle window)
    : enumerator_(std::make_unique<EndpointEnumerator>(coreAudio, window)) {}

EndpointControl::~EndpointControl() {
    ReleaseControls();
    if (enumerator_)
        enumerator_->ReleaseDevices();
    enumerator_.reset();
}

Status EndpointControl::Open(uint16_t vendorId, uint16_t deviceId, int32_t includeCapture,
                             int32_t* renderTopologyKind, int32_t* captureTopologyKind) {
    if (captureTopologyKind == nullptr)
        return kFail;
    if (opened_ != 0)
        return kOk;
    vendorId_ = vendorId;
    deviceId_ = deviceId;
    ReleaseControls();

    char16_t matchText[kTextLength] = {};
    FormatCodecMatchText(vendorId, deviceId, matchText, kTextLength);
    UpperCaseText(matchText);

    Status status = ScanEndpoints(DataFlow::kRender, matchText, renderTopologyKind);
    if (Failed(status))
        return status;
    if (includeCapture != 0) {
        status = ScanEndpoints(DataFlow::kCapture, matchText, captureTopologyKind);
        if (Failed(status))
            return status;
    }
    opened_ = 1;
    return kOk;
}

Status EndpointControl::ScanEndpoints(DataFlow flow, const char16_t* matchText,
                                      int32_t* topologyKind) {
    if (!enumerator_ || !enumerator_->HasDeviceEnumerator() || matchText == nullptr ||
        topologyKind == nullptr)
        return kFail;
    const size_t f = FlowIndex(flow);
    const auto flowValue = static_cast<int32_t>(flow);
    enumerator_->EnumerateEndpoints(flow);
    const int32_t count = enumerator_->GetEndpointCount(flow);
    recordCount_[f] = 0;

    for (int32_t index = 0; index < count; ++index) {
        // The records hold 16 endpoints per direction; further matches are ignored.
        if (recordCount_[f] >= kMaxEndpointRecords)
            break;
        // A fresh buffer for every endpoint: a failed read must not match on the previous path.
        char16_t hardwarePath[kTextLength] = {};
        enumerator_->ReadEndpointProperty(flowValue, index, kKeyHardwarePath, hardwarePath,
                                          BufferKind::kText, kTextLength, nullptr);
        UpperCaseText(hardwarePath);
        if (!ContainsText(hardwarePath, matchText))
            continue;

        // A record left by a skipped endpoint is filled afresh.
        const int32_t position = recordCount_[f];
        ReleaseRecordControls(flow, position);
        EndpointRecord& record = records_[f][position];
        record = EndpointRecord{};
        enumerator_->ReadEndpointId(flowValue, index, record.endpointId);
        enumerator_->ReadEndpointProperty(flowValue, index, kKeyFriendlyName, record.friendlyName,
                                          BufferKind::kText, kTextLength, nullptr);
        enumerator_->ReadEndpointProperty(flowValue, index, kKeyDeviceDesc, record.description,
                                          BufferKind::kText, kTextLength, nullptr);
        enumerator_->ReadEndpointProperty(flowValue, index, kKeyPhysicalSpeakers, nullptr,
                                          BufferKind::kBytes, 0, &record.physicalSpeakers);
        enumerator_->ReadEndpointProperty(flowValue, index, kKeyFullRangeSpeakers, nullptr,
                                          BufferKind::kBytes, 0, &record.fullRangeSpeakers);
        enumerator_->ReadEndpointProperty(flowValue, index, kKeyDeviceFormat, &record.deviceFormat,
                                          BufferKind::kBytes, sizeof(record.deviceFormat), nullptr);

        Status walk = kFail;
        int32_t kind = 0;
        // The level operations act on the first render record, so the master input count and
        // the topology kind handed out are those of the walk that filled it.
        int32_t inputCount = masterInputCount_;
        if (flow == DataFlow::kCapture) {
            walk = WalkMicrophoneTopology(enumerator_.get(), index, record.levelControl,
                                          record.muteControl);
            kind = kTopologyMicrophone;
        } else if (deviceId_ == kSixOrEightChannelCodecId) {
            walk = WalkSixChannelTopology(enumerator_.get(), index, record.levelControl,
                                          record.muteControl, &inputCount);
            kind = kTopologySixChannel;
            if (Failed(walk)) {
                ReleaseRecordControls(flow, position);
                walk = WalkEightChannelTopology(enumerator_.get(), index, record.levelControl,
                                                record.muteControl, &inputCount);
                kind = kTopologyEightChannel;
            }
        } else if (deviceId_ == kSixChannelCodecId) {
            walk = WalkSixChannelTopology(enumerator_.get(), index, record.levelControl,
                                          record.muteControl, &inputCount);
            kind = kTopologySixChannel;
        } else {
            walk = WalkEightChannelTopology(enumerator_.get(), index, record.levelControl,
                                            record.muteControl, &inputCount);
            kind = kTopologyEightChannel;
        }
        const bool first = position == 0;
        if (flow == DataFlow::kRender && first)
            masterInputCount_ = inputCount;
        if (Failed(walk)) {
            ReleaseRecordControls(flow, position);
            continue;
        }
        if (first)
            *topologyKind = kind;

        ReadPartLevels(&record);
        record.deviceIndex = index;
        ++recordCount_[f];
    }
    return recordCount_[f] >= 1 ? kOk : kFail;
}

void EndpointControl::ReleaseRecordControls(DataFlow flow, int32_t index) {
    if (index < 0 || index >= kMaxEndpointRecords)
        return;
    EndpointRecord& record = records_[FlowIndex(flow)][index];
    for (int32_t slot = 0; slot < kPartSlots; ++slot) {
        record.levelControl[slot].Reset();
        record.muteControl[slot].Reset();
    }
}

void EndpointControl::ReleaseControls() {
    opened_ = 0;
    for (DataFlow flow : {DataFlow::kRender, DataFlow::kCapture}) {
        for (int32_t index = 0; index < kMaxEndpointRecords; ++index) {
            ReleaseRecordControls(flow, index);
            records_[FlowIndex(flow)][index] = EndpointRecord{};
        }
        recordCount_[FlowIndex(flow)] = 0;
    }
}

const EndpointRecord* EndpointControl::FirstRenderRecord() const {
    return recordCount_[0] >= 1 ? &records_[0][0] : nullptr;
}

const EndpointRecord* EndpointControl::FirstCaptureRecord() const {
    return recordCount_[1] >= 1 ? &records_[1][0] : nullptr;
}

const EndpointRecord& EndpointControl::Record(DataFlow flow, int32_t index) const {
    static const EndpointRecord kEmpty;
    if (index < 0 || index >= kMaxEndpointRecords)
        return kEmpty;
    return records_[FlowIndex(flow)][index];
}

int32_t EndpointControl::RecordCount(DataFlow flow) const {
    return recordCount_[FlowIndex(flow)];
}

}  // namespace zelk
