// A readable dump of a USB device's descriptors, field by field, with the
// video and audio class descriptors decoded (in the manner of a USB
// descriptor listing). Any bytes are accepted: fields a descriptor is too
// short for are shown as missing, unknown descriptors in hexadecimal.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

namespace qk::sim {

std::string DescribeDevice(std::span<const uint8_t> device, std::span<const uint8_t> configuration,
                           const std::map<uint8_t, std::u16string>& strings = {});

}  // namespace qk::sim
