// Descriptors as a device sends them: the bus's reading of a configuration,
// the per-function view, the USBD parsing routines drivers call on the same
// bytes, and the descriptor dump.
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/usb/configuration.h"
#include "sim/camera/describe.h"
#include "usbdlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    qk::usb::ConfigurationInfo info;
    std::string error;
    for (auto speed : {qk::usb::Speed::Full, qk::usb::Speed::High}) {
        if (qk::usb::ParseConfiguration(bytes, speed, &info, &error)) {
            auto groups = qk::usb::GroupFunctions(info);
            for (const auto& group : groups) {
                std::vector<uint8_t> view = qk::usb::FunctionView(bytes, group);
                qk::usb::ConfigurationInfo part;
                if (!qk::usb::ParseConfiguration(view, speed, &part, &error)) __builtin_trap();  // a view of a valid set is valid
            }
        }
    }
    (void)qk::sim::DescribeDevice(std::span<const uint8_t>(data, size < 18 ? size : 18), bytes);
    // Drivers hand the USBD routines a buffer of wTotalLength bytes.
    if (size >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        uint16_t total = static_cast<uint16_t>(size > 0xFFFF ? 0xFFFF : size);
        bytes[2] = static_cast<uint8_t>(total & 0xFF);
        bytes[3] = static_cast<uint8_t>(total >> 8);
        auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
        for (auto* p = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1); p != nullptr;
             p = USBD_ParseConfigurationDescriptorEx(c, reinterpret_cast<PUCHAR>(p) + p->bLength, -1, -1, -1, -1, -1)) {
            (void)USBD_GetInterfaceLength(p, bytes.data() + total);
            (void)USBD_ParseDescriptors(c, total, p, USB_ENDPOINT_DESCRIPTOR_TYPE);
        }
        (void)USBD_ParseDescriptors(bytes.data(), total, bytes.data() + (data[0] % total), data[1]);
    }
    return 0;
}
