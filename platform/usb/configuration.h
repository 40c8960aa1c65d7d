// The bus's reading of a device's configuration descriptor: interfaces,
// alternate settings, endpoints and interface associations, and the
// per-function view a composite device's functions see. The bytes come from
// the device, so every length is checked.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/usb/device.h"

namespace qk::usb {

struct EndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t wMaxPacketSize = 0;
    uint8_t interval = 0;
    // What the endpoint moves in one 1 ms frame: the packet size, times the
    // transactions per microframe and the microframes per frame at high speed.
    uint32_t bytesPerFrame = 0;

    uint8_t Type() const { return attributes & 3; }
    bool In() const { return (address & 0x80) != 0; }
};

struct AlternateInfo {
    uint8_t interfaceNumber = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    uint8_t iInterface = 0;
    std::vector<EndpointInfo> endpoints;
};

struct InterfaceInfo {
    uint8_t number = 0;
    std::vector<AlternateInfo> alternates;  // in descriptor order

    const AlternateInfo* Alternate(uint8_t alternate) const;
};

struct AssociationInfo {
    uint8_t firstInterface = 0;
    uint8_t interfaceCount = 0;
    uint8_t functionClass = 0;
    uint8_t functionSubClass = 0;
    uint8_t functionProtocol = 0;
    uint8_t iFunction = 0;
};

struct ConfigurationInfo {
    uint8_t configurationValue = 0;
    uint8_t numInterfaces = 0;
    uint8_t attributes = 0;
    uint8_t maxPower = 0;
    uint16_t totalLength = 0;
    std::vector<InterfaceInfo> interfaces;
    std::vector<AssociationInfo> associations;

    const InterfaceInfo* Interface(uint8_t number) const;
};

// Parses a whole configuration descriptor (header and every descriptor up to
// wTotalLength). Returns false with a reason for anything a host would
// reject: truncated or zero-length descriptors, an endpoint outside an
// interface, a count of endpoints that does not match bNumEndpoints.
bool ParseConfiguration(std::span<const uint8_t> bytes, Speed speed, ConfigurationInfo* out, std::string* error);

// The interfaces grouped into functions as a composite device's parent
// driver groups them: one function per interface association, then one per
// remaining interface. Each group lists its interface numbers in order.
std::vector<std::vector<uint8_t>> GroupFunctions(const ConfigurationInfo& configuration);

// The configuration descriptor a function of a composite device sees: the
// header (wTotalLength and bNumInterfaces adjusted) followed by the
// association and interface descriptors of `interfaces` with everything that
// belongs to them, in the device's order.
std::vector<uint8_t> FunctionView(std::span<const uint8_t> bytes, const std::vector<uint8_t>& interfaces);

}  // namespace qk::usb
