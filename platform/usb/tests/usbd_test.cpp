// The USBD library routines and the bus's reading of configuration
// descriptors, on well-formed and on broken descriptor sets.
#include <gtest/gtest.h>

#include "platform/nt/testing/machine_test.h"
#include "platform/usb/configuration.h"
#include "platform/usb/testing/bus_fixture.h"
#include "usbdlib.h"

namespace qk::usb::testing {
namespace {

std::vector<uint8_t> Sample() { return TestDevice().Descriptors().configuration; }

TEST(ConfigurationTest, ParsesInterfacesAlternatesEndpointsAndAssociations) {
    ConfigurationInfo info;
    std::string error;
    std::vector<uint8_t> bytes = Sample();
    ASSERT_TRUE(ParseConfiguration(bytes, Speed::High, &info, &error)) << error;
    EXPECT_EQ(info.numInterfaces, 3);
    ASSERT_EQ(info.interfaces.size(), 3u);
    ASSERT_EQ(info.associations.size(), 1u);
    EXPECT_EQ(info.associations[0].interfaceCount, 2);
    const AlternateInfo* two = info.Interface(1)->Alternate(2);
    ASSERT_NE(two, nullptr);
    ASSERT_EQ(two->endpoints.size(), 1u);
    EXPECT_EQ(two->endpoints[0].bytesPerFrame, 24576u);
    EXPECT_EQ(info.Interface(2)->Alternate(1)->endpoints[0].bytesPerFrame, 192u);  // bInterval 4: once a frame
    // At full speed a packet is a frame.
    ASSERT_TRUE(ParseConfiguration(bytes, Speed::Full, &info, &error));
    EXPECT_EQ(info.Interface(1)->Alternate(2)->endpoints[0].bytesPerFrame, 1024u);

    auto groups = GroupFunctions(info);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0], (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(groups[1], (std::vector<uint8_t>{2}));
}

TEST(ConfigurationTest, RefusesBrokenDescriptorSets) {
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> spoil;
    };
    const Case cases[] = {
        {"wTotalLength beyond the bytes", [](auto& c) { c[2] = 0xFF; }},
        {"wTotalLength below the header", [](auto& c) { c[2] = 5, c[3] = 0; }},
        {"zero-length descriptor", [](auto& c) { c[9] = 0; }},
        {"descriptor running past the end", [](auto& c) { c[c.size() - 7] = 40; }},
        {"endpoint count wrong", [](auto& c) { c[9 + 8 + 9 + 5 + 9 + 4] = 2; }},
        {"interface count wrong", [](auto& c) { c[4] = 4; }},
        {"not a configuration", [](auto& c) { c[1] = 1; }},
        {"truncated header", [](auto& c) { c.resize(5); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = Sample();
        c.spoil(bytes);
        ConfigurationInfo info;
        std::string error;
        EXPECT_FALSE(ParseConfiguration(bytes, Speed::High, &info, &error));
        EXPECT_FALSE(error.empty());
        FunctionView(bytes, {0, 1});  // never reads outside, whatever it returns
    }
}

TEST(ConfigurationTest, FunctionViewKeepsTheFunctionsDescriptorsOnly) {
    std::vector<uint8_t> bytes = Sample();
    std::vector<uint8_t> view = FunctionView(bytes, {2});
    ConfigurationInfo info;
    std::string error;
    ASSERT_TRUE(ParseConfiguration(view, Speed::High, &info, &error)) << error;
    ASSERT_EQ(info.interfaces.size(), 1u);
    EXPECT_EQ(info.interfaces[0].number, 2);
    EXPECT_TRUE(info.associations.empty());
    view = FunctionView(bytes, {0, 1});
    ASSERT_TRUE(ParseConfiguration(view, Speed::High, &info, &error)) << error;
    EXPECT_EQ(info.associations.size(), 1u);
    EXPECT_EQ(view.size(), bytes.size() - 9 - 9 - 7);  // interface 2's two settings and endpoint gone
}

class UsbdTest : public qk::testing::MachineTest {};

TEST_F(UsbdTest, ParseRoutinesFindDescriptorsAndStopAtBrokenOnes) {
    std::vector<uint8_t> bytes = Sample();
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    PUSB_INTERFACE_DESCRIPTOR any = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->bInterfaceNumber, 0);
    PUSB_INTERFACE_DESCRIPTOR audio = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 0x01, -1, -1);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->bInterfaceNumber, 2);
    PUSB_INTERFACE_DESCRIPTOR setting = USBD_ParseConfigurationDescriptor(c, 1, 2);
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(USBD_GetInterfaceLength(setting, bytes.data() + bytes.size()), 9u + 7u);
    // Searching on from one match finds the next.
    PUSB_INTERFACE_DESCRIPTOR next =
        USBD_ParseConfigurationDescriptorEx(c, reinterpret_cast<PUCHAR>(setting) + setting->bLength, 1, -1, -1, -1, -1);
    EXPECT_EQ(next, nullptr);
    auto* ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
        USBD_ParseDescriptors(bytes.data(), c->wTotalLength, setting, USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(ep, nullptr);
    USHORT maxPacket = ep->wMaxPacketSize;  // a copy: the field of a packed descriptor is unaligned
    EXPECT_EQ(maxPacket, 0x1400);

    // A zero length stops the walk; a descriptor running past the end is not returned.
    std::vector<uint8_t> broken = bytes;
    broken[9 + 8] = 0;
    c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(broken.data());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr);
    broken = bytes;
    broken[broken.size() - 7] = 200;
    EXPECT_EQ(USBD_ParseDescriptors(broken.data(), static_cast<ULONG>(broken.size()),
                                    broken.data() + broken.size() - 7, USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
    EXPECT_EQ(USBD_GetInterfaceLength(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(broken.data() + broken.size() - 16),
                                      broken.data() + broken.size()),
              0u);
    // A start before the buffer finds nothing.
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data() + 9, 100, bytes.data(), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdTest, ConfigurationRequestHasRoomForEveryAnnouncedPipe) {
    std::vector<uint8_t> bytes = Sample();
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY list[] = {{USBD_ParseConfigurationDescriptor(c, 0, 0), nullptr},
                                        {USBD_ParseConfigurationDescriptor(c, 1, 2), nullptr},
                                        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, 40u + 24u + 48u);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, 24u);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
    ASSERT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), reinterpret_cast<PUCHAR>(urb) + 64);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 2);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
    ExFreePool(urb);
}

}  // namespace
}  // namespace qk::usb::testing
