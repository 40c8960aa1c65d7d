#include "sim/camera/describe.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

namespace qk::sim {

namespace {

struct Field {
    const char* name;
    uint8_t offset;
    uint8_t size;  // 1, 2, 3 or 4 bytes; 16 for a GUID
    enum Kind { Dec, Hex, Bcd, Guid, Str } kind = Dec;
};

// Fixed leading fields of each descriptor kind (after bLength, bDescriptorType).
constexpr Field kDevice[] = {{"bcdUSB", 2, 2, Field::Bcd},      {"bDeviceClass", 4, 1},       {"bDeviceSubClass", 5, 1},
                             {"bDeviceProtocol", 6, 1},         {"bMaxPacketSize0", 7, 1},    {"idVendor", 8, 2, Field::Hex},
                             {"idProduct", 10, 2, Field::Hex},  {"bcdDevice", 12, 2, Field::Bcd},
                             {"iManufacturer", 14, 1, Field::Str}, {"iProduct", 15, 1, Field::Str},
                             {"iSerial", 16, 1, Field::Str},    {"bNumConfigurations", 17, 1}};
constexpr Field kConfiguration[] = {{"wTotalLength", 2, 2, Field::Hex}, {"bNumInterfaces", 4, 1},
                                    {"bConfigurationValue", 5, 1},      {"iConfiguration", 6, 1, Field::Str},
                                    {"bmAttributes", 7, 1, Field::Hex}, {"MaxPower (2 mA)", 8, 1}};
constexpr Field kAssociation[] = {{"bFirstInterface", 2, 1},   {"bInterfaceCount", 3, 1},   {"bFunctionClass", 4, 1},
                                  {"bFunctionSubClass", 5, 1}, {"bFunctionProtocol", 6, 1}, {"iFunction", 7, 1, Field::Str}};
constexpr Field kInterface[] = {{"bInterfaceNumber", 2, 1}, {"bAlternateSetting", 3, 1}, {"bNumEndpoints", 4, 1},
                                {"bInterfaceClass", 5, 1},  {"bInterfaceSubClass", 6, 1}, {"bInterfaceProtocol", 7, 1},
                                {"iInterface", 8, 1, Field::Str}};
constexpr Field kEndpoint[] = {{"bEndpointAddress", 2, 1, Field::Hex}, {"bmAttributes", 3, 1, Field::Hex},
                               {"wMaxPacketSize", 4, 2, Field::Hex},   {"bInterval", 6, 1},
                               {"bRefresh", 7, 1},                     {"bSynchAddress", 8, 1}};

// Class-specific descriptors: video control (VC), video streaming (VS),
// audio control (AC) and audio streaming (AS) interfaces.
constexpr Field kVcHeader[] = {{"bcdUVC", 3, 2, Field::Bcd}, {"wTotalLength", 5, 2, Field::Hex},
                               {"dwClockFrequency", 7, 4}, {"bInCollection", 11, 1}};
constexpr Field kVcInput[] = {{"bTerminalID", 3, 1},         {"wTerminalType", 4, 2, Field::Hex},
                              {"bAssocTerminal", 6, 1},      {"iTerminal", 7, 1, Field::Str},
                              {"wObjectiveFocalLengthMin", 8, 2}, {"wObjectiveFocalLengthMax", 10, 2},
                              {"wOcularFocalLength", 12, 2}, {"bControlSize", 14, 1}};
constexpr Field kVcOutput[] = {{"bTerminalID", 3, 1}, {"wTerminalType", 4, 2, Field::Hex}, {"bAssocTerminal", 6, 1},
                               {"bSourceID", 7, 1},   {"iTerminal", 8, 1, Field::Str}};
constexpr Field kVcProcessing[] = {{"bUnitID", 3, 1}, {"bSourceID", 4, 1}, {"wMaxMultiplier", 5, 2}, {"bControlSize", 7, 1}};
constexpr Field kVcExtension[] = {{"bUnitID", 3, 1}, {"guidExtensionCode", 4, 16, Field::Guid}, {"bNumControls", 20, 1},
                                  {"bNrInPins", 21, 1}};
constexpr Field kVsInputHeader[] = {{"bNumFormats", 3, 1},        {"wTotalLength", 4, 2, Field::Hex},
                                    {"bEndpointAddress", 6, 1, Field::Hex}, {"bmInfo", 7, 1, Field::Hex},
                                    {"bTerminalLink", 8, 1},      {"bStillCaptureMethod", 9, 1},
                                    {"bTriggerSupport", 10, 1},   {"bTriggerUsage", 11, 1},
                                    {"bControlSize", 12, 1}};
constexpr Field kVsUncompressed[] = {{"bFormatIndex", 3, 1},        {"bNumFrameDescriptors", 4, 1},
                                     {"guidFormat", 5, 16, Field::Guid}, {"bBitsPerPixel", 21, 1},
                                     {"bDefaultFrameIndex", 22, 1},  {"bAspectRatioX", 23, 1},
                                     {"bAspectRatioY", 24, 1},       {"bmInterlaceFlags", 25, 1, Field::Hex},
                                     {"bCopyProtect", 26, 1}};
constexpr Field kVsMjpeg[] = {{"bFormatIndex", 3, 1},       {"bNumFrameDescriptors", 4, 1}, {"bmFlags", 5, 1, Field::Hex},
                              {"bDefaultFrameIndex", 6, 1}, {"bAspectRatioX", 7, 1},        {"bAspectRatioY", 8, 1},
                              {"bmInterlaceFlags", 9, 1, Field::Hex}, {"bCopyProtect", 10, 1}};
constexpr Field kVsFrame[] = {{"bFrameIndex", 3, 1},
                              {"bmCapabilities", 4, 1, Field::Hex},
                              {"wWidth", 5, 2},
                              {"wHeight", 7, 2},
                              {"dwMinBitRate", 9, 4},
                              {"dwMaxBitRate", 13, 4},
                              {"dwMaxVideoFrameBufferSize", 17, 4},
                              {"dwDefaultFrameInterval", 21, 4},
                              {"bFrameIntervalType", 25, 1}};
constexpr Field kVsColour[] = {{"bColorPrimaries", 3, 1}, {"bTransferCharacteristics", 4, 1}, {"bMatrixCoefficients", 5, 1}};
constexpr Field kAcHeader[] = {{"bcdADC", 3, 2, Field::Bcd}, {"wTotalLength", 5, 2, Field::Hex}, {"bInCollection", 7, 1}};
constexpr Field kAcInput[] = {{"bTerminalID", 3, 1},    {"wTerminalType", 4, 2, Field::Hex}, {"bAssocTerminal", 6, 1},
                              {"bNrChannels", 7, 1},    {"wChannelConfig", 8, 2, Field::Hex}, {"iChannelNames", 10, 1},
                              {"iTerminal", 11, 1, Field::Str}};
constexpr Field kAcOutput[] = {{"bTerminalID", 3, 1}, {"wTerminalType", 4, 2, Field::Hex}, {"bAssocTerminal", 6, 1},
                               {"bSourceID", 7, 1},   {"iTerminal", 8, 1, Field::Str}};
constexpr Field kAcFeature[] = {{"bUnitID", 3, 1}, {"bSourceID", 4, 1}, {"bControlSize", 5, 1}};
constexpr Field kAsGeneral[] = {{"bTerminalLink", 3, 1}, {"bDelay", 4, 1}, {"wFormatTag", 5, 2, Field::Hex}};
constexpr Field kAsFormat[] = {{"bFormatType", 3, 1},    {"bNrChannels", 4, 1}, {"bSubframeSize", 5, 1},
                               {"bBitResolution", 6, 1}, {"bSamFreqType", 7, 1}};
constexpr Field kAsEndpoint[] = {{"bmAttributes", 3, 1, Field::Hex}, {"bLockDelayUnits", 4, 1}, {"wLockDelay", 5, 2}};

class Writer {
public:
    Writer(const std::map<uint8_t, std::u16string>& strings) : strings_(strings) {}

    void Title(int indent, const std::string& title) { out_ += std::string(indent, ' ') + title + ":\n"; }

    void Line(int indent, const std::string& name, const std::string& value) {
        std::string pad = name.size() < 26 ? std::string(26 - name.size(), ' ') : " ";
        out_ += std::string(indent, ' ') + name + pad + value + "\n";
    }

    // A little-endian value of `size` bytes at `offset`, if the descriptor holds it.
    bool Value(std::span<const uint8_t> d, size_t offset, size_t size, uint32_t* value) const {
        if (offset + size > d.size()) return false;
        *value = 0;
        for (size_t i = 0; i < size && i < 4; ++i) *value |= uint32_t{d[offset + i]} << (8 * i);
        return true;
    }

    void Fields(int indent, std::span<const uint8_t> d, std::span<const Field> fields) {
        char text[96];
        for (const Field& f : fields) {
            if (f.kind == Field::Guid) {
                if (f.offset + 16u > d.size()) {
                    Line(indent, f.name, "(missing)");
                    continue;
                }
                const uint8_t* g = &d[f.offset];
                std::snprintf(text, sizeof text, "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                              g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                              g[14], g[15]);
                Line(indent, f.name, text);
                continue;
            }
            uint32_t v;
            if (!Value(d, f.offset, f.size, &v)) {
                // Trailing optional fields (an audio endpoint's two extra bytes) are simply absent.
                if (fields.data() != kEndpoint || f.offset < 7) Line(indent, f.name, "(missing)");
                continue;
            }
            switch (f.kind) {
                case Field::Hex: std::snprintf(text, sizeof text, "0x%0*x", f.size * 2, v); break;
                case Field::Bcd: std::snprintf(text, sizeof text, "%x.%02x", v >> 8, v & 0xFF); break;
                case Field::Str: {
                    std::snprintf(text, sizeof text, "%u", v);
                    auto it = strings_.find(static_cast<uint8_t>(v));
                    std::string s = text;
                    if (v != 0 && it != strings_.end()) {
                        s += " ";
                        for (char16_t c : it->second) s += c < 0x80 ? static_cast<char>(c) : '?';
                    }
                    Line(indent, f.name, s);
                    continue;
                }
                default: std::snprintf(text, sizeof text, "%u", v); break;
            }
            Line(indent, f.name, text);
        }
    }

    void List(int indent, std::span<const uint8_t> d, const char* name, size_t offset, size_t count, size_t size,
              bool hex = false) {
        for (size_t i = 0; i < count; ++i) {
            uint32_t v;
            std::string label = std::string(name) + "(" + std::to_string(i) + ")";
            if (!Value(d, offset + i * size, size, &v)) {
                Line(indent, label, "(missing)");
                return;
            }
            char text[32];
            std::snprintf(text, sizeof text, hex ? "0x%0*x" : "%*u", hex ? int(size * 2) : 0, v);
            Line(indent, label, text);
        }
    }

    void Bytes(int indent, const char* name, std::span<const uint8_t> d, size_t offset, size_t count) {
        std::string text;
        char b[4];
        for (size_t i = 0; i < count && offset + i < d.size(); ++i) {
            std::snprintf(b, sizeof b, "%02x ", d[offset + i]);
            text += b;
        }
        if (offset + count > d.size()) text += "(cut short)";
        Line(indent, name, text.empty() ? "(none)" : text);
    }

    void Header(int indent, std::span<const uint8_t> d) {
        Line(indent, "bLength", std::to_string(d[0]));
        Line(indent, "bDescriptorType", std::to_string(d[1]));
    }

    std::string Take() { return std::move(out_); }

private:
    const std::map<uint8_t, std::u16string>& strings_;
    std::string out_;
};

uint8_t At(std::span<const uint8_t> d, size_t i) { return i < d.size() ? d[i] : 0; }

void VideoControl(Writer& w, std::span<const uint8_t> d) {
    static const char* kNames[] = {"?", "HEADER", "INPUT_TERMINAL", "OUTPUT_TERMINAL", "SELECTOR_UNIT", "PROCESSING_UNIT",
                                   "EXTENSION_UNIT"};
    uint8_t subtype = At(d, 2);
    w.Title(6, "VideoControl Interface Descriptor");
    w.Header(8, d);
    w.Line(8, "bDescriptorSubtype", std::to_string(subtype) + " (" + (subtype < 7 ? kNames[subtype] : "unknown") + ")");
    switch (subtype) {
        case 1:
            w.Fields(8, d, kVcHeader);
            w.List(8, d, "baInterfaceNr", 12, At(d, 11), 1);
            break;
        case 2:
            w.Fields(8, d, kVcInput);
            w.Bytes(8, "bmControls", d, 15, At(d, 14));
            break;
        case 3: w.Fields(8, d, kVcOutput); break;
        case 5:
            w.Fields(8, d, kVcProcessing);
            w.Bytes(8, "bmControls", d, 8, At(d, 7));
            w.Line(8, "iProcessing", std::to_string(At(d, 8 + At(d, 7))));
            break;
        case 6: {
            w.Fields(8, d, kVcExtension);
            uint8_t pins = At(d, 21);
            w.List(8, d, "baSourceID", 22, pins, 1);
            w.Line(8, "bControlSize", std::to_string(At(d, 22 + pins)));
            w.Bytes(8, "bmControls", d, 23 + pins, At(d, 22 + pins));
            break;
        }
        default: w.Bytes(8, "data", d, 3, d.size() > 3 ? d.size() - 3 : 0); break;
    }
}

void VideoStreaming(Writer& w, std::span<const uint8_t> d) {
    uint8_t subtype = At(d, 2);
    switch (subtype) {
        case 1:
            w.Title(6, "VideoStreaming Interface Descriptor (INPUT_HEADER)");
            w.Header(8, d);
            w.Fields(8, d, kVsInputHeader);
            w.List(8, d, "bmaControls", 13, At(d, 3), std::clamp<size_t>(At(d, 12), 1, 4), true);
            break;
        case 4:
            w.Title(6, "VideoStreaming Interface Descriptor (FORMAT_UNCOMPRESSED)");
            w.Header(8, d);
            w.Fields(8, d, kVsUncompressed);
            break;
        case 6:
            w.Title(6, "VideoStreaming Interface Descriptor (FORMAT_MJPEG)");
            w.Header(8, d);
            w.Fields(8, d, kVsMjpeg);
            break;
        case 5:
        case 7: {
            w.Title(6, std::string("VideoStreaming Interface Descriptor (") +
                           (subtype == 5 ? "FRAME_UNCOMPRESSED" : "FRAME_MJPEG") + ")");
            w.Header(8, d);
            w.Fields(8, d, kVsFrame);
            uint8_t n = At(d, 25);
            if (n == 0) {
                w.List(8, d, "dwFrameInterval min, max, step", 26, 3, 4);
            } else {
                w.List(8, d, "dwFrameInterval", 26, n, 4);
            }
            break;
        }
        case 0x0D:
            w.Title(6, "VideoStreaming Interface Descriptor (COLORFORMAT)");
            w.Header(8, d);
            w.Fields(8, d, kVsColour);
            break;
        default:
            w.Title(6, "VideoStreaming Interface Descriptor (subtype " + std::to_string(subtype) + ")");
            w.Bytes(8, "data", d, 0, d.size());
            break;
    }
}

void AudioControl(Writer& w, std::span<const uint8_t> d) {
    uint8_t subtype = At(d, 2);
    w.Title(6, "AudioControl Interface Descriptor");
    w.Header(8, d);
    w.Line(8, "bDescriptorSubtype", std::to_string(subtype));
    switch (subtype) {
        case 1:
            w.Fields(8, d, kAcHeader);
            w.List(8, d, "baInterfaceNr", 8, At(d, 7), 1);
            break;
        case 2: w.Fields(8, d, kAcInput); break;
        case 3: w.Fields(8, d, kAcOutput); break;
        case 6: {
            w.Fields(8, d, kAcFeature);
            uint8_t size = At(d, 5);
            size_t controls = size == 0 || d.size() < 7 ? 0 : (d.size() - 7) / size;
            w.List(8, d, "bmaControls", 6, controls, size == 0 ? 1 : std::min<uint8_t>(size, 4), true);
            break;
        }
        default: w.Bytes(8, "data", d, 3, d.size() > 3 ? d.size() - 3 : 0); break;
    }
}

void AudioStreaming(Writer& w, std::span<const uint8_t> d) {
    uint8_t subtype = At(d, 2);
    w.Title(6, "AudioStreaming Interface Descriptor");
    w.Header(8, d);
    w.Line(8, "bDescriptorSubtype", std::to_string(subtype));
    if (subtype == 1) {
        w.Fields(8, d, kAsGeneral);
    } else if (subtype == 2) {
        w.Fields(8, d, kAsFormat);
        uint8_t n = At(d, 7);
        w.List(8, d, n == 0 ? "tSamFreq lower, upper" : "tSamFreq", 8, n == 0 ? 2 : n, 3);
    } else {
        w.Bytes(8, "data", d, 3, d.size() > 3 ? d.size() - 3 : 0);
    }
}

}  // namespace

std::string DescribeDevice(std::span<const uint8_t> device, std::span<const uint8_t> configuration,
                           const std::map<uint8_t, std::u16string>& strings) {
    Writer w(strings);
    w.Title(0, "Device Descriptor");
    if (device.size() >= 2) {
        w.Header(2, device);
        w.Fields(2, device, kDevice);
    } else {
        w.Line(2, "(missing)", "");
    }
    if (configuration.size() < 2) return w.Take();
    w.Title(2, "Configuration Descriptor");
    w.Header(4, configuration);
    w.Fields(4, configuration, kConfiguration);
    uint8_t interfaceClass = 0, interfaceSubClass = 0;
    size_t at = configuration[0] >= 2 ? configuration[0] : 2;
    while (at + 2 <= configuration.size()) {
        uint8_t length = configuration[at];
        uint8_t type = configuration[at + 1];
        if (length < 2 || length > configuration.size() - at) {
            w.Line(4, "(broken descriptor)", "bLength " + std::to_string(length) + " at offset " + std::to_string(at));
            break;
        }
        std::span<const uint8_t> d = configuration.subspan(at, length);
        switch (type) {
            case 0x04:
                w.Title(4, "Interface Descriptor");
                w.Header(6, d);
                w.Fields(6, d, kInterface);
                interfaceClass = At(d, 5);
                interfaceSubClass = At(d, 6);
                break;
            case 0x0B:
                w.Title(4, "Interface Association");
                w.Header(6, d);
                w.Fields(6, d, kAssociation);
                break;
            case 0x05:
                w.Title(6, "Endpoint Descriptor");
                w.Header(8, d);
                w.Fields(8, d, kEndpoint);
                break;
            case 0x24:
                if (interfaceClass == 0x0E && interfaceSubClass == 1) {
                    VideoControl(w, d);
                } else if (interfaceClass == 0x0E && interfaceSubClass == 2) {
                    VideoStreaming(w, d);
                } else if (interfaceClass == 0x01 && interfaceSubClass == 1) {
                    AudioControl(w, d);
                } else if (interfaceClass == 0x01 && interfaceSubClass == 2) {
                    AudioStreaming(w, d);
                } else {
                    w.Title(6, "Class-specific Interface Descriptor");
                    w.Bytes(8, "data", d, 0, d.size());
                }
                break;
            case 0x25:
                w.Title(8, "AudioStreaming Endpoint Descriptor");
                w.Header(10, d);
                w.Line(10, "bDescriptorSubtype", std::to_string(At(d, 2)));
                w.Fields(10, d, kAsEndpoint);
                break;
            default:
                w.Title(6, "Unknown Descriptor (type " + std::to_string(type) + ")");
                w.Bytes(8, "data", d, 0, d.size());
                break;
        }
        at += length;
    }
    return w.Take();
}

}  // namespace qk::sim
