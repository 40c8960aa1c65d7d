#include "sim/camera/descriptors.h"

#include <algorithm>

#include "sim/camera/uvc.h"
#include "usbspec.h"

namespace qk::sim {

namespace {

void Put16(std::vector<uint8_t>& v, uint32_t value) {
    v.push_back(static_cast<uint8_t>(value & 0xFF));
    v.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void Put32(std::vector<uint8_t>& v, uint32_t value) {
    Put16(v, value & 0xFFFF);
    Put16(v, value >> 16);
}

void Patch16(std::vector<uint8_t>& v, size_t at, size_t value) {
    v[at] = static_cast<uint8_t>(value & 0xFF);
    v[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

void PutBits(std::vector<uint8_t>& v, uint32_t bits, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(i < 4 ? (bits >> (8 * i)) & 0xFF : 0));
}

void Interface(std::vector<uint8_t>& c, uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t subclass,
               uint8_t iInterface) {
    c.insert(c.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, uvc::kClassVideo, subclass, 0,
                       iInterface});
}

// VideoControl interface with its class-specific descriptors.
void VideoControl(std::vector<uint8_t>& c, const CameraConfig& config) {
    Interface(c, ids::kVideoControlInterface, 0, 0, uvc::kSubclassControl, 0);
    size_t header = c.size();
    c.insert(c.end(), {13, uvc::kCsInterface, uvc::kVcHeader});
    Put16(c, 0x0110);  // bcdUVC
    Put16(c, 0);       // wTotalLength, patched below
    Put32(c, uvc::kClockHz);
    c.push_back(1);  // bInCollection
    c.push_back(ids::kVideoStreamingInterface);

    // Camera terminal: bmControls at offset 15.
    c.insert(c.end(), {static_cast<uint8_t>(15 + config.cameraControlSize), uvc::kCsInterface, uvc::kVcInputTerminal,
                       config.cameraTerminalId});
    Put16(c, uvc::kIttCamera);
    c.push_back(0);  // bAssocTerminal
    c.push_back(0);  // iTerminal
    Put16(c, 0);     // wObjectiveFocalLengthMin
    Put16(c, 0);     // wObjectiveFocalLengthMax
    Put16(c, 0);     // wOcularFocalLength
    c.push_back(config.cameraControlSize);
    PutBits(c, config.cameraControls, config.cameraControlSize);

    // Processing unit: bmControls (2 bytes) at offset 8.
    c.insert(c.end(), {12, uvc::kCsInterface, uvc::kVcProcessingUnit, config.processingUnitId, config.cameraTerminalId});
    Put16(c, 0);  // wMaxMultiplier
    c.push_back(2);
    PutBits(c, config.processingControls, 2);
    c.push_back(0);  // iProcessing
    c.push_back(0);  // bmVideoStandards

    uint8_t outputSource = config.processingUnitId;
    if (config.extensionUnit) {
        // Extension unit with one input pin: bmControls at offset bNrInPins + 23.
        c.insert(c.end(), {26, uvc::kCsInterface, uvc::kVcExtensionUnit, config.extensionUnitId});
        c.insert(c.end(), std::begin(kExtensionUnitGuid), std::end(kExtensionUnitGuid));
        c.push_back(4);  // bNumControls
        c.push_back(1);  // bNrInPins
        c.push_back(config.processingUnitId);
        c.push_back(1);  // bControlSize
        c.push_back(config.extensionControls);
        c.push_back(0);  // iExtension
        outputSource = config.extensionUnitId;
    }

    c.insert(c.end(), {9, uvc::kCsInterface, uvc::kVcOutputTerminal, config.outputTerminalId});
    Put16(c, uvc::kTtStreaming);
    c.push_back(0);
    c.push_back(outputSource);
    c.push_back(0);
    Patch16(c, header + 5, c.size() - header);
}

void Frame(std::vector<uint8_t>& c, VideoFormat format, const StreamingFrame& f) {
    size_t n = f.intervals.size();
    c.insert(c.end(), {static_cast<uint8_t>(26 + 4 * n), uvc::kCsInterface,
                       format == VideoFormat::Yuy2 ? uvc::kVsFrameUncompressed : uvc::kVsFrameMjpeg, f.index, 0});
    Put16(c, f.width);
    Put16(c, f.height);
    uint64_t bitsPerFrame = uint64_t{f.width} * f.height * 16;
    uint32_t longest = f.intervals.empty() ? 1 : f.intervals.back();
    uint32_t shortest = f.intervals.empty() ? 1 : f.intervals.front();
    Put32(c, static_cast<uint32_t>(std::min<uint64_t>(bitsPerFrame * 10'000'000 / longest, UINT32_MAX)));
    Put32(c, static_cast<uint32_t>(std::min<uint64_t>(bitsPerFrame * 10'000'000 / shortest, UINT32_MAX)));
    Put32(c, f.MaxFrameBytes(format));
    Put32(c, shortest);  // dwDefaultFrameInterval
    c.push_back(static_cast<uint8_t>(n));
    for (uint32_t interval : f.intervals) Put32(c, interval);
}

void VideoStreaming(std::vector<uint8_t>& c, const std::vector<StreamingFormat>& formats, uint8_t terminal) {
    Interface(c, ids::kVideoStreamingInterface, 0, 0, uvc::kSubclassStreaming, 0);
    size_t header = c.size();
    c.insert(c.end(), {static_cast<uint8_t>(13 + formats.size()), uvc::kCsInterface, uvc::kVsInputHeader,
                       static_cast<uint8_t>(formats.size())});
    Put16(c, 0);  // wTotalLength, patched below
    c.push_back(kVideoEndpoint);
    c.push_back(0);  // bmInfo
    c.push_back(terminal);  // bTerminalLink: the output terminal
    c.push_back(0);  // bStillCaptureMethod
    c.push_back(0);  // bTriggerSupport
    c.push_back(0);  // bTriggerUsage
    c.push_back(1);  // bControlSize
    for (size_t i = 0; i < formats.size(); ++i) c.push_back(0);
    for (const auto& format : formats) {
        if (format.format == VideoFormat::Yuy2) {
            c.insert(c.end(), {27, uvc::kCsInterface, uvc::kVsFormatUncompressed, format.index,
                               static_cast<uint8_t>(format.frames.size())});
            c.insert(c.end(), std::begin(uvc::kGuidYuy2), std::end(uvc::kGuidYuy2));
            c.insert(c.end(), {16, 1, 0, 0, 0, 0});  // bBitsPerPixel, bDefaultFrameIndex, aspect, interlace, copy
        } else {
            c.insert(c.end(), {11, uvc::kCsInterface, uvc::kVsFormatMjpeg, format.index,
                               static_cast<uint8_t>(format.frames.size()), 1, 1, 0, 0, 0, 0});
        }
        for (const auto& f : format.frames) Frame(c, format.format, f);
        // Colour matching: BT.709 primaries and transfer, BT.601 (SMPTE 170M) matrix.
        c.insert(c.end(), {6, uvc::kCsInterface, uvc::kVsColorFormat, 1, 1, 4});
    }
    Patch16(c, header + 4, c.size() - header);
    for (const auto& alternate : kStreamingAlternates) {
        Interface(c, ids::kVideoStreamingInterface, alternate.number, 1, uvc::kSubclassStreaming, 0);
        c.insert(c.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, kVideoEndpoint,
                           USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS});
        Put16(c, alternate.wMaxPacketSize);
        c.push_back(1);  // every microframe
    }
}

}  // namespace

uint32_t StreamingFrame::MaxFrameBytes(VideoFormat) const { return uint32_t{width} * height * 2; }

const StreamingFrame* StreamingFormat::Frame(uint8_t frameIndex) const {
    for (const auto& f : frames) {
        if (f.index == frameIndex) return &f;
    }
    return nullptr;
}

std::vector<StreamingFormat> StreamingFormats(const CameraConfig& config) {
    std::vector<StreamingFormat> formats;
    uint8_t index = 1;
    for (const auto& spec : config.Formats()) {
        StreamingFormat format;
        format.index = index++;
        format.format = spec.format;
        uint8_t frameIndex = 1;
        for (const auto& size : spec.frames) {
            format.frames.push_back({frameIndex++, size.width, size.height, size.intervals});
        }
        formats.push_back(std::move(format));
    }
    return formats;
}

VideoDescriptors BuildDescriptors(const CameraConfig& config, const std::vector<uint8_t>& audio, uint8_t audioInterfaces) {
    VideoDescriptors out;
    out.formats = StreamingFormats(config);

    auto& d = out.set.device;
    d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(d, 0x0200);
    d.insert(d.end(), {USB_DEVICE_CLASS_MISCELLANEOUS, 0x02, 0x01, 64});  // interface association
    Put16(d, config.vendorId);
    Put16(d, config.productId);
    Put16(d, config.revision);
    d.insert(d.end(), {kStringManufacturer, kStringProduct, static_cast<uint8_t>(config.serial.empty() ? 0 : kStringSerial), 1});

    auto& c = out.set.configuration;
    c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(2 + audioInterfaces), 1, 0,
         USB_CONFIG_BUS_POWERED, 250};
    c.insert(c.end(), {8, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, ids::kVideoControlInterface, 2, uvc::kClassVideo,
                       uvc::kSubclassCollection, 0, kStringVideo});
    VideoControl(c, config);
    // Vendor-specific descriptors (a type no class defines) that hosts skip.
    size_t room = config.minimumConfigurationLength;
    size_t rest = c.size();
    {
        std::vector<uint8_t> tail;
        VideoStreaming(tail, out.formats, config.outputTerminalId);
        rest += tail.size() + audio.size();
        while (rest < room) {
            size_t n = std::min<size_t>(255, std::max<size_t>(2, room - rest));
            std::vector<uint8_t> pad(n, 0);
            pad[0] = static_cast<uint8_t>(n);
            pad[1] = 0x41;
            c.insert(c.end(), pad.begin(), pad.end());
            rest += n;
        }
        c.insert(c.end(), tail.begin(), tail.end());
    }
    c.insert(c.end(), audio.begin(), audio.end());
    Patch16(c, 2, c.size());

    out.set.strings[kStringManufacturer] = config.manufacturer;
    out.set.strings[kStringProduct] = config.product;
    if (!config.serial.empty()) out.set.strings[kStringSerial] = config.serial;
    out.set.strings[kStringVideo] = u"QK0340 Video";
    out.set.strings[kStringAudio] = u"QK0340 Microphone";
    return out;
}

}  // namespace qk::sim
