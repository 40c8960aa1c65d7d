#include "platform/usb/standard_device.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "usbspec.h"

namespace qk::usb {

std::vector<uint8_t> StringDescriptor(const std::u16string& text) {
    size_t units = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> d(2 + units * 2);
    d[0] = static_cast<uint8_t>(d.size());
    d[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (size_t i = 0; i < units; ++i) {
        d[2 + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        d[3 + 2 * i] = static_cast<uint8_t>(text[i] >> 8);
    }
    return d;
}

ControlResult StandardDevice::Answer(std::span<uint8_t> data, std::span<const uint8_t> bytes) {
    size_t n = std::min(data.size(), bytes.size());
    if (n > 0) std::memcpy(data.data(), bytes.data(), n);
    return Ack(static_cast<uint32_t>(n));
}

void StandardDevice::SetDescriptors(DescriptorSet set, bool validate) {
    std::lock_guard guard(lock_);
    descriptors_ = std::move(set);
    layout_ = {};
    std::string error;
    bool parsed = ParseConfiguration(descriptors_.configuration, DeviceSpeed(), &layout_, &error);
    if (validate && !parsed) throw std::logic_error("device model with a broken configuration descriptor: " + error);
}

DescriptorSet StandardDevice::Descriptors() const {
    std::lock_guard guard(lock_);
    return descriptors_;
}

bool StandardDevice::Configured() const {
    std::lock_guard guard(lock_);
    return configuration_ != 0;
}

uint8_t StandardDevice::Address() const {
    std::lock_guard guard(lock_);
    return address_;
}

uint8_t StandardDevice::AlternateOf(uint8_t interfaceNumber) const {
    std::lock_guard guard(lock_);
    return AlternateLocked(interfaceNumber);
}

uint8_t StandardDevice::AlternateLocked(uint8_t interfaceNumber) const {
    auto it = alternates_.find(interfaceNumber);
    return it == alternates_.end() ? 0 : it->second;
}

void StandardDevice::Unconfigure(uint32_t frame) {
    bool wasConfigured = configuration_ != 0;
    for (auto& [number, alternate] : alternates_) {
        if (alternate != 0) OnSetInterface(number, 0, frame);
    }
    alternates_.clear();
    halted_.clear();
    configuration_ = 0;
    if (wasConfigured) OnConfiguration(0, frame);
}

void StandardDevice::Reset(uint32_t frame) {
    std::lock_guard guard(lock_);
    Unconfigure(frame);
    address_ = 0;
    OnReset(frame);
}

ControlResult StandardDevice::Control(const SetupPacket& setup, std::span<uint8_t> data, uint32_t frame) {
    std::lock_guard guard(lock_);
    if (data.size() > setup.wLength) data = data.first(setup.wLength);
    if (setup.Type() == BMREQUEST_STANDARD) {
        ControlResult r = Standard(setup, data, frame);
        // Standard requests to an interface the device does not define
        // (a class's own descriptors, say) are the model's.
        if (!(r.handshake == Handshake::Stall && setup.Recipient() == BMREQUEST_TO_INTERFACE &&
              setup.bRequest == USB_REQUEST_GET_DESCRIPTOR)) {
            return r;
        }
    }
    return OtherRequest(setup, data, frame);
}

ControlResult StandardDevice::GetDescriptor(const SetupPacket& setup, std::span<uint8_t> data) {
    uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    uint8_t index = static_cast<uint8_t>(setup.wValue & 0xFF);
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE: return Answer(data, descriptors_.device);
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (index != 0) return Stall();
            return Answer(data, descriptors_.configuration);
        case USB_STRING_DESCRIPTOR_TYPE: {
            if (index == 0) {
                uint8_t languages[4] = {4, USB_STRING_DESCRIPTOR_TYPE, static_cast<uint8_t>(descriptors_.language & 0xFF),
                                        static_cast<uint8_t>(descriptors_.language >> 8)};
                return Answer(data, languages);
            }
            auto it = descriptors_.strings.find(index);
            if (it == descriptors_.strings.end()) return Stall();
            return Answer(data, StringDescriptor(it->second));
        }
        case USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE: {
            // Only a high-speed capable device has one (USB 2.0 9.6.2).
            if (DeviceSpeed() != Speed::High || descriptors_.device.size() < 18) return Stall();
            const auto& d = descriptors_.device;
            uint8_t q[10] = {10, USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, d[2], d[3], d[4], d[5], d[6], 64, d[17], 0};
            return Answer(data, q);
        }
        default: return Stall();
    }
}

ControlResult StandardDevice::Standard(const SetupPacket& setup, std::span<uint8_t> data, uint32_t frame) {
    uint8_t recipient = setup.Recipient();
    switch (setup.bRequest) {
        case USB_REQUEST_GET_DESCRIPTOR:
            if (!setup.In() || recipient != BMREQUEST_TO_DEVICE) return Stall();
            return GetDescriptor(setup, data);
        case USB_REQUEST_SET_ADDRESS:
            if (setup.In() || setup.wValue > 127) return Stall();
            address_ = static_cast<uint8_t>(setup.wValue);
            return Ack();
        case USB_REQUEST_GET_CONFIGURATION: {
            if (!setup.In()) return Stall();
            uint8_t value = configuration_;
            return Answer(data, std::span<const uint8_t>(&value, 1));
        }
        case USB_REQUEST_SET_CONFIGURATION: {
            if (setup.In()) return Stall();
            uint8_t value = static_cast<uint8_t>(setup.wValue);
            if (value != 0 && value != layout_.configurationValue) return Stall();
            Unconfigure(frame);
            configuration_ = value;
            if (value != 0) OnConfiguration(value, frame);
            return Ack();
        }
        case USB_REQUEST_GET_INTERFACE: {
            if (!setup.In() || !ConfiguredLocked() || layout_.Interface(static_cast<uint8_t>(setup.wIndex)) == nullptr) {
                return Stall();
            }
            uint8_t value = AlternateLocked(static_cast<uint8_t>(setup.wIndex));
            return Answer(data, std::span<const uint8_t>(&value, 1));
        }
        case USB_REQUEST_SET_INTERFACE: {
            if (setup.In() || !ConfiguredLocked()) return Stall();
            auto number = static_cast<uint8_t>(setup.wIndex);
            auto alternate = static_cast<uint8_t>(setup.wValue);
            const InterfaceInfo* iface = layout_.Interface(number);
            if (iface == nullptr || iface->Alternate(alternate) == nullptr) return Stall();
            if (!OnSetInterface(number, alternate, frame)) return Stall();
            alternates_[number] = alternate;
            // Selecting a setting resets its endpoints' halts (USB 2.0 9.4.10).
            for (const auto& e : iface->Alternate(alternate)->endpoints) halted_.erase(e.address);
            return Ack();
        }
        case USB_REQUEST_GET_STATUS: {
            if (!setup.In()) return Stall();
            uint8_t status[2] = {0, 0};
            if (recipient == BMREQUEST_TO_DEVICE) {
                status[0] = (layout_.attributes & USB_CONFIG_SELF_POWERED) ? 1 : 0;
            } else if (recipient == BMREQUEST_TO_ENDPOINT) {
                status[0] = HaltedLocked(static_cast<uint8_t>(setup.wIndex)) ? 1 : 0;
            } else if (recipient != BMREQUEST_TO_INTERFACE) {
                return Stall();
            }
            return Answer(data, status);
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE: {
            if (setup.In()) return Stall();
            bool set = setup.bRequest == USB_REQUEST_SET_FEATURE;
            if (recipient == BMREQUEST_TO_ENDPOINT && setup.wValue == USB_FEATURE_ENDPOINT_STALL) {
                auto address = static_cast<uint8_t>(setup.wIndex);
                if (set) {
                    halted_.insert(address);
                } else {
                    halted_.erase(address);
                }
                return Ack();
            }
            if (recipient == BMREQUEST_TO_DEVICE && setup.wValue == USB_FEATURE_REMOTE_WAKEUP) return Ack();
            return Stall();
        }
        default: return Stall();
    }
}

}  // namespace qk::usb
