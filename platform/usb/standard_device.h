// A device model's chapter 9 part: it answers the standard requests (USB 2.0
// 9.4) from a set of descriptors, keeps address, configuration, alternate
// settings and endpoint halts, and hands class and vendor requests to the
// model. Every call runs under the device's lock, so models only guard what
// they share with other threads of their own.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/usb/configuration.h"
#include "platform/usb/device.h"

namespace qk::usb {

struct DescriptorSet {
    std::vector<uint8_t> device;         // 18 bytes
    std::vector<uint8_t> configuration;  // the whole configuration (wTotalLength bytes)
    std::map<uint8_t, std::u16string> strings;  // by index (1..255)
    uint16_t language = 0x0409;
};

class StandardDevice : public Device {
public:
    StandardDevice() = default;

    void Reset(uint32_t frame) final;
    ControlResult Control(const SetupPacket& setup, std::span<uint8_t> data, uint32_t frame) final;

    // The descriptor set as the device answers it.
    DescriptorSet Descriptors() const;
    bool Configured() const;
    uint8_t Address() const;
    uint8_t AlternateOf(uint8_t interfaceNumber) const;

protected:
    // Installs the descriptors; the configuration must parse (a device model
    // with broken descriptors on purpose sets `validate` false).
    void SetDescriptors(DescriptorSet set, bool validate = true);

    // Class, vendor and other non-standard requests (the lock is held).
    virtual ControlResult OtherRequest(const SetupPacket& setup, std::span<uint8_t> data, uint32_t frame) = 0;
    // An interface moves to another alternate setting; false refuses it (stall).
    virtual bool OnSetInterface(uint8_t interfaceNumber, uint8_t alternate, uint32_t frame) { return true; }
    // Configured (value != 0) or unconfigured; every interface is back at setting 0.
    virtual void OnConfiguration(uint8_t value, uint32_t frame) {}
    virtual void OnReset(uint32_t frame) {}

    // Whether IN/OUT endpoint `address` is halted (SET_FEATURE(ENDPOINT_HALT)).
    bool HaltedLocked(uint8_t address) const { return halted_.count(address) != 0; }
    uint8_t AlternateLocked(uint8_t interfaceNumber) const;
    bool ConfiguredLocked() const { return configuration_ != 0; }
    const ConfigurationInfo& Layout() const { return layout_; }

    static ControlResult Stall() { return {Handshake::Stall, 0}; }
    static ControlResult Ack(uint32_t length = 0) { return {Handshake::Ack, length}; }
    // Copies `bytes` into the data stage, as much as the host asked for.
    static ControlResult Answer(std::span<uint8_t> data, std::span<const uint8_t> bytes);

    mutable std::recursive_mutex lock_;  // guards the device's whole state (the model's too)

private:
    ControlResult Standard(const SetupPacket& setup, std::span<uint8_t> data, uint32_t frame);
    ControlResult GetDescriptor(const SetupPacket& setup, std::span<uint8_t> data);
    void Unconfigure(uint32_t frame);

    DescriptorSet descriptors_;
    ConfigurationInfo layout_;
    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    std::map<uint8_t, uint8_t> alternates_;
    std::set<uint8_t> halted_;
};

// UTF-16 string descriptor bytes.
std::vector<uint8_t> StringDescriptor(const std::u16string& text);

}  // namespace qk::usb
