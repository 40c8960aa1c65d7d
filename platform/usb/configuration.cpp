#include "platform/usb/configuration.h"

#include <algorithm>

#include "usbspec.h"

namespace qk::usb {
namespace {

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t BytesPerFrame(uint8_t type, uint16_t wMaxPacketSize, uint8_t interval, Speed speed) {
    uint32_t size = USB_ENDPOINT_MAX_PACKET_SIZE(wMaxPacketSize);
    if (type != USB_ENDPOINT_TYPE_ISOCHRONOUS && type != USB_ENDPOINT_TYPE_INTERRUPT) return size;
    if (speed == Speed::Full) return size;
    // High speed: bInterval is 2^(bInterval-1) microframes (USB 2.0 9.6.6).
    uint32_t transactions = size * (1u + USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(wMaxPacketSize));
    uint32_t exponent = interval == 0 ? 0 : std::min<uint32_t>(interval - 1u, 15u);
    uint32_t microframes = 1u << exponent;
    // Endpoints served less than once a frame move one packet in the frames they are served.
    return microframes >= 8 ? transactions : transactions * (8 / microframes);
}

}  // namespace

const AlternateInfo* InterfaceInfo::Alternate(uint8_t alternate) const {
    for (const auto& a : alternates) {
        if (a.alternate == alternate) return &a;
    }
    return nullptr;
}

const InterfaceInfo* ConfigurationInfo::Interface(uint8_t number) const {
    for (const auto& i : interfaces) {
        if (i.number == number) return &i;
    }
    return nullptr;
}

bool ParseConfiguration(std::span<const uint8_t> bytes, Speed speed, ConfigurationInfo* out, std::string* error) {
    auto fail = [error](const char* reason) {
        if (error) *error = reason;
        return false;
    };
    *out = {};
    if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return fail("configuration descriptor shorter than 9 bytes");
    if (bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return fail("not a configuration descriptor");
    }
    uint16_t total = Word(&bytes[2]);
    if (total < bytes[0]) return fail("wTotalLength shorter than the header");
    if (total > bytes.size()) return fail("wTotalLength beyond the bytes read");
    out->totalLength = total;
    out->numInterfaces = bytes[4];
    out->configurationValue = bytes[5];
    out->attributes = bytes[7];
    out->maxPower = bytes[8];

    AlternateInfo* current = nullptr;
    size_t expectedEndpoints = 0;
    auto closeAlternate = [&]() -> bool {
        return current == nullptr || current->endpoints.size() == expectedEndpoints;
    };
    size_t offset = bytes[0];
    while (offset < total) {
        if (total - offset < 2) return fail("descriptor header cut off at the end");
        uint8_t length = bytes[offset];
        uint8_t type = bytes[offset + 1];
        if (length < 2) return fail("descriptor with bLength below 2");
        if (length > total - offset) return fail("descriptor runs past wTotalLength");
        const uint8_t* d = &bytes[offset];
        switch (type) {
            case USB_INTERFACE_DESCRIPTOR_TYPE: {
                if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) return fail("interface descriptor shorter than 9 bytes");
                if (!closeAlternate()) return fail("bNumEndpoints does not match the endpoint descriptors");
                uint8_t number = d[2];
                auto it = std::find_if(out->interfaces.begin(), out->interfaces.end(),
                                       [number](const InterfaceInfo& i) { return i.number == number; });
                if (it == out->interfaces.end()) {
                    out->interfaces.push_back({});
                    it = out->interfaces.end() - 1;
                    it->number = number;
                }
                if (it->Alternate(d[3]) != nullptr) return fail("alternate setting described twice");
                AlternateInfo alternate;
                alternate.interfaceNumber = number;
                alternate.alternate = d[3];
                alternate.interfaceClass = d[5];
                alternate.interfaceSubClass = d[6];
                alternate.interfaceProtocol = d[7];
                alternate.iInterface = d[8];
                expectedEndpoints = d[4];
                it->alternates.push_back(std::move(alternate));
                current = &it->alternates.back();
                break;
            }
            case USB_ENDPOINT_DESCRIPTOR_TYPE: {
                if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return fail("endpoint descriptor shorter than 7 bytes");
                if (current == nullptr) return fail("endpoint descriptor outside an interface");
                if ((d[2] & USB_ENDPOINT_ADDRESS_MASK) == 0) return fail("endpoint descriptor for endpoint 0");
                if (current->endpoints.size() >= expectedEndpoints) {
                    return fail("bNumEndpoints does not match the endpoint descriptors");
                }
                EndpointInfo e;
                e.address = d[2];
                e.attributes = d[3];
                e.wMaxPacketSize = Word(&d[4]);
                e.interval = d[6];
                e.bytesPerFrame = BytesPerFrame(e.Type(), e.wMaxPacketSize, e.interval, speed);
                for (const auto& other : current->endpoints) {
                    if (other.address == e.address) return fail("endpoint described twice in one alternate setting");
                }
                current->endpoints.push_back(e);
                break;
            }
            case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE: {
                if (length < sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR)) {
                    return fail("interface association descriptor shorter than 8 bytes");
                }
                if (d[3] == 0) return fail("interface association of no interfaces");
                out->associations.push_back({d[2], d[3], d[4], d[5], d[6], d[7]});
                break;
            }
            default:
                break;  // class-specific and other descriptors belong to the current interface
        }
        offset += length;
    }
    if (!closeAlternate()) return fail("bNumEndpoints does not match the endpoint descriptors");
    if (out->interfaces.size() != out->numInterfaces) return fail("bNumInterfaces does not match the interfaces");
    for (const auto& i : out->interfaces) {
        if (i.Alternate(0) == nullptr) return fail("interface without alternate setting 0");
    }
    return true;
}

std::vector<std::vector<uint8_t>> GroupFunctions(const ConfigurationInfo& configuration) {
    std::vector<std::vector<uint8_t>> groups;
    std::vector<uint8_t> taken;
    for (const auto& a : configuration.associations) {
        std::vector<uint8_t> group;
        for (unsigned n = a.firstInterface; n < unsigned{a.firstInterface} + a.interfaceCount && n < 256; ++n) {
            auto number = static_cast<uint8_t>(n);
            if (configuration.Interface(number) == nullptr) continue;
            if (std::find(taken.begin(), taken.end(), number) != taken.end()) continue;
            group.push_back(number);
            taken.push_back(number);
        }
        if (!group.empty()) groups.push_back(std::move(group));
    }
    for (const auto& i : configuration.interfaces) {
        if (std::find(taken.begin(), taken.end(), i.number) == taken.end()) groups.push_back({i.number});
    }
    std::sort(groups.begin(), groups.end(),
              [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { return a.front() < b.front(); });
    return groups;
}

std::vector<uint8_t> FunctionView(std::span<const uint8_t> bytes, const std::vector<uint8_t>& interfaces) {
    std::vector<uint8_t> out;
    if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return out;
    }
    size_t total = std::min<size_t>(Word(&bytes[2]), bytes.size());
    size_t header = std::min<size_t>(bytes[0], total);
    out.assign(bytes.begin(), bytes.begin() + header);
    auto member = [&](int number) {
        return number >= 0 && std::find(interfaces.begin(), interfaces.end(), number) != interfaces.end();
    };
    // Descriptors belong to the interface before them, as the parser reads
    // them; an association goes with its first interface.
    int owner = -1;
    size_t offset = header;
    while (offset + 2 <= total) {
        uint8_t length = bytes[offset];
        if (length < 2 || length > total - offset) break;
        uint8_t type = bytes[offset + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 3) owner = bytes[offset + 2];
        bool keep = type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE ? length >= 3 && member(bytes[offset + 2])
                                                                      : member(owner);
        if (keep) out.insert(out.end(), bytes.begin() + offset, bytes.begin() + offset + length);
        offset += length;
    }
    if (out.size() >= 5) {
        out[2] = static_cast<uint8_t>(out.size() & 0xFF);
        out[3] = static_cast<uint8_t>(out.size() >> 8);
        out[4] = static_cast<uint8_t>(interfaces.size());
    }
    return out;
}

}  // namespace qk::usb
