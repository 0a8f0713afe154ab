// Device format, engine format and speaker masks of the first render endpoint.

#include "endpoint/endpoint_control.h"
#include "platform/wave_format.h"

namespace zelk {

Status EndpointControl::GetRenderFormat(uint16_t* channels, uint32_t* sampleRate,
                                        uint16_t* bitsPerSample, uint32_t* channelMask) {
    EndpointRecord* record = RenderRecord();
    if (channels == nullptr || sampleRate == nullptr || bitsPerSample == nullptr ||
        channelMask == nullptr || record == nullptr)
        return kFail;
    // A shorter stored format leaves the rest of the record zero.
    WaveFormatExtensible format;
    Status status = enumerator_->ReadEndpointProperty(
        static_cast<int32_t>(DataFlow::kRender), record->deviceIndex, kKeyDeviceFormat, &format,
        BufferKind::kBytes, sizeof(format), nullptr);
    if (Failed(status))
        return status;
    record->deviceFormat = format;
    *channels = format.nChannels;
    *sampleRate = format.nSamplesPerSec;
    *bitsPerSample = format.wBitsPerSample;
    *channelMask = format.dwChannelMask;
    return kOk;
}

Status EndpointControl::SetRenderFormat(uint32_t sampleRate, uint16_t bitsPerSample,
                                        uint16_t channels, uint32_t channelMask) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr)
        return kFail;
    // The fields not set here (format tag, extra size) stay the endpoint's own.
    WaveFormatExtensible format = record->deviceFormat;
    format.nChannels = channels;
    format.nSamplesPerSec = sampleRate;
    format.nBlockAlign = static_cast<uint16_t>(channels * (bitsPerSample / 8));
    format.nAvgBytesPerSec = format.nBlockAlign * sampleRate;
    format.wBitsPerSample = bitsPerSample;
    format.wValidBitsPerSample = bitsPerSample == 32 ? uint16_t{24} : bitsPerSample;
    format.dwChannelMask = channelMask;
    format.SubFormat = kSubtypePcm;
    Status status =
        enumerator_->WriteEndpointProperty(record->deviceIndex, kKeyDeviceFormat,
                                           PropertyValue::Type::kBlob, &format, sizeof(format), 0);
    if (Failed(status))
        return status;

    // The engine mixes in 32-bit float with the same channels, rate and mask.
    format.nBlockAlign = static_cast<uint16_t>(channels * 4);
    format.nAvgBytesPerSec = format.nBlockAlign * sampleRate;
    format.wBitsPerSample = 32;
    format.wValidBitsPerSample = 32;
    format.SubFormat = kSubtypeIeeeFloat;
    status = enumerator_->WriteEndpointProperty(
        record->deviceIndex, kKeyOemFormat, PropertyValue::Type::kBlob, &format, sizeof(format), 0);
    if (Failed(status))
        return status;
    record->deviceFormat = format;
    return kOk;
}

Status EndpointControl::SetSpeakerConfig(uint32_t physicalSpeakers, uint32_t fullRangeSpeakers) {
    EndpointRecord* record = RenderRecord();
    if (record == nullptr)
        return kFail;
    if (Succeeded(enumerator_->WriteEndpointProperty(record->deviceIndex, kKeyFullRangeSpeakers,
                                                     PropertyValue::Type::kUInt32, nullptr, 0,
                                                     fullRangeSpeakers)))
        record->fullRangeSpeakers = fullRangeSpeakers;
    Status status = enumerator_->WriteEndpointProperty(record->deviceIndex, kKeyPhysicalSpeakers,
                                                       PropertyValue::Type::kUInt32, nullptr, 0,
                                                       physicalSpeakers);
    if (Succeeded(status))
        record->physicalSpeakers = physicalSpeakers;
    return status;
}

}  // namespace zelk
