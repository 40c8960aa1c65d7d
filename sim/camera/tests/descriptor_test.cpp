// The camera's descriptors, read at the offsets the capture driver reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/usb/configuration.h"
#include "sim/camera/tests/camera_fixture.h"

namespace qk::sim::testing {
namespace {

using qk::usb::Handshake;

std::vector<uint8_t> ConfigurationOf(CameraConversation& c) {
    Reply header = c.Send(0x80, 0x06, 0x0200, 0, {}, 9);
    uint16_t total = static_cast<uint16_t>(header.data[2] | header.data[3] << 8);
    return c.Send(0x80, 0x06, 0x0200, 0, {}, total).data;
}

// Class-specific interface descriptors of `subtype` that follow interface `number` (alternate 0).
std::vector<std::vector<uint8_t>> ClassDescriptors(const std::vector<uint8_t>& c, uint8_t number, uint8_t subtype) {
    std::vector<std::vector<uint8_t>> out;
    int owner = -1;
    for (size_t at = c[0]; at + 2 <= c.size() && c[at] >= 2; at += c[at]) {
        if (c[at + 1] == 0x04) owner = c[at + 3] == 0 ? c[at + 2] : -1;
        if (owner == number && c[at + 1] == 0x24 && c[at + 2] == subtype) {
            out.emplace_back(c.begin() + at, c.begin() + at + c[at]);
        }
    }
    return out;
}

uint16_t Word(const std::vector<uint8_t>& d, size_t at) { return static_cast<uint16_t>(d[at] | d[at + 1] << 8); }
uint32_t Dword(const std::vector<uint8_t>& d, size_t at) { return Word(d, at) | uint32_t{Word(d, at + 2)} << 16; }

TEST(CameraDescriptorTest, DeviceIsTheSupportedCompositeCamera) {
    CameraConversation c;
    Reply d = c.Send(0x80, 0x06, 0x0100, 0, {}, 18);
    ASSERT_EQ(d.data.size(), 18u);
    EXPECT_EQ(Word(d.data, 8), 0xFA57);
    EXPECT_EQ(Word(d.data, 10), 0x0340);
    EXPECT_EQ(d.data[4], 0xEF);  // interface association device class
    EXPECT_EQ(d.data[5], 0x02);
    EXPECT_EQ(d.data[6], 0x01);
    std::vector<uint8_t> configuration = ConfigurationOf(c);
    qk::usb::ConfigurationInfo info;
    std::string error;
    ASSERT_TRUE(qk::usb::ParseConfiguration(configuration, qk::usb::Speed::High, &info, &error)) << error;
    EXPECT_EQ(qk::usb::GroupFunctions(info), (std::vector<std::vector<uint8_t>>{{0, 1}, {2, 3}}));
    EXPECT_GT(configuration.size(), 521u);  // the driver reads it a second time in full
    // Strings a host shows.
    Reply product = c.Send(0x80, 0x06, 0x0302, 0x0409, {}, 255);
    EXPECT_EQ(product.data[0], 2 + 2 * 17);  // "QK0340 Web Camera"
}

TEST(CameraDescriptorTest, VideoControlUnitsSitAtTheOffsetsTheDriverReads) {
    CameraConversation c;
    std::vector<uint8_t> configuration = ConfigurationOf(c);
    auto header = ClassDescriptors(configuration, 0, 0x01);
    ASSERT_EQ(header.size(), 1u);
    EXPECT_EQ(Word(header[0], 3), 0x0110);       // bcdUVC
    EXPECT_EQ(Dword(header[0], 7), 48000000u);  // dwClockFrequency
    EXPECT_EQ(header[0][12], 1);                 // baInterfaceNr: the streaming interface

    auto terminal = ClassDescriptors(configuration, 0, 0x02);
    ASSERT_EQ(terminal.size(), 1u);
    EXPECT_EQ(terminal[0][3], 1);              // bTerminalID
    EXPECT_EQ(Word(terminal[0], 4), 0x0201);   // ITT_CAMERA
    EXPECT_EQ(terminal[0][14], 3);             // bControlSize
    // bmControls from offset 15: exposure mode (1), exposure (3), focus (5), focus auto (17).
    uint32_t ct = terminal[0][15] | terminal[0][16] << 8 | terminal[0][17] << 16;
    EXPECT_EQ(ct, (1u << 1) | (1u << 3) | (1u << 5) | (1u << 17));

    auto processing = ClassDescriptors(configuration, 0, 0x05);
    ASSERT_EQ(processing.size(), 1u);
    EXPECT_EQ(processing[0][3], 2);  // bUnitID
    EXPECT_EQ(processing[0][4], 1);  // fed by the camera terminal
    EXPECT_EQ(Word(processing[0], 8), 0x177F);

    auto extension = ClassDescriptors(configuration, 0, 0x06);
    ASSERT_EQ(extension.size(), 1u);
    EXPECT_EQ(extension[0][3], 4);  // the unit the driver's register block goes to
    uint8_t pins = extension[0][21];
    EXPECT_EQ(pins, 1);
    EXPECT_EQ(extension[0][pins + 23], 0x0F);  // mirror, focus area, status, register block

    auto output = ClassDescriptors(configuration, 0, 0x03);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output[0][7], 4);  // fed by the extension unit
    // wTotalLength of the class-specific part covers exactly these.
    EXPECT_EQ(Word(header[0], 5), header[0].size() + terminal[0].size() + processing[0].size() +
                                      extension[0].size() + output[0].size());
}

TEST(CameraDescriptorTest, ConfigurableBitmapsUnitsAndLength) {
    CameraConfig config;
    config.extensionUnit = false;
    config.processingControls = 0x0003;
    config.cameraControlSize = 4;
    config.formats = {{VideoFormat::Mjpeg, {{320, 240, {kInterval30}}}}};
    config.microphone = false;
    CameraConversation small(config);
    std::vector<uint8_t> c = ConfigurationOf(small);
    EXPECT_TRUE(ClassDescriptors(c, 0, 0x06).empty());
    EXPECT_EQ(ClassDescriptors(c, 0, 0x03)[0][7], 2);  // output terminal fed by the processing unit
    EXPECT_EQ(Word(ClassDescriptors(c, 0, 0x05)[0], 8), 0x0003);
    EXPECT_EQ(ClassDescriptors(c, 0, 0x02)[0][0], 19);
    EXPECT_LT(c.size(), 521u);
    EXPECT_EQ(c[4], 2);  // bNumInterfaces without the microphone

    config.minimumConfigurationLength = 700;
    CameraConversation padded(config);
    c = ConfigurationOf(padded);
    EXPECT_GE(c.size(), 700u);
    qk::usb::ConfigurationInfo info;
    std::string error;
    EXPECT_TRUE(qk::usb::ParseConfiguration(c, qk::usb::Speed::High, &info, &error)) << error;
}

// The driver's format tables: every size and rate a variant's driver offers.
struct TableRow {
    int width, height;
    std::vector<uint32_t> intervals;
};
const std::vector<uint32_t> kAll = {kInterval5, kInterval10, kInterval15, kInterval20, kInterval25, kInterval30};
const std::vector<uint32_t> kSlow = {kInterval5, kInterval10, kInterval15};

std::vector<TableRow> DriverTable(int variant) {
    if (variant == 2) {
        return {{640, 480, kAll},  {352, 288, kAll}, {320, 240, kAll},           {176, 144, kAll},
                {160, 120, kAll},  {800, 600, kAll}, {1280, 960, {kInterval5, kInterval7_5}}, {1600, 1200, {kInterval5}}};
    }
    return {{640, 480, kSlow}, {352, 288, kAll}, {320, 240, kAll}, {176, 144, kAll}, {160, 120, kAll}, {800, 600, kSlow}};
}

TEST(CameraDescriptorTest, FramesCoverEverySizeAndRateOfTheDriversTables) {
    for (int variant : {1, 2}) {
        SCOPED_TRACE(variant);
        CameraConfig config;
        config.variant = variant;
        CameraConversation c(config);
        std::vector<uint8_t> configuration = ConfigurationOf(c);
        // (format subtype, width, height) -> intervals, read at the driver's offsets.
        std::map<std::tuple<int, int, int>, std::set<uint32_t>> frames;
        for (uint8_t subtype : {0x05, 0x07}) {
            for (const auto& f : ClassDescriptors(configuration, 1, subtype)) {
                uint8_t n = f[25];
                ASSERT_EQ(f.size(), 26u + 4u * n);
                for (uint8_t i = 0; i < n; ++i) {
                    frames[{subtype, Word(f, 5), Word(f, 7)}].insert(Dword(f, 26 + 4 * i));
                }
                EXPECT_EQ(Dword(f, 17), uint32_t{Word(f, 5)} * Word(f, 7) * 2);  // dwMaxVideoFrameBufferSize
            }
        }
        for (const auto& row : DriverTable(variant)) {
            for (uint32_t interval : row.intervals) {
                SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height) + " @ " +
                             std::to_string(interval));
                bool offered = false;
                for (int subtype : {0x05, 0x07}) {
                    auto it = frames.find({subtype, row.width, row.height});
                    offered = offered || (it != frames.end() && it->second.count(interval));
                }
                EXPECT_TRUE(offered);
            }
        }
        // 800 x 600 comes compressed only: the uncompressed path scales 640 x 480.
        EXPECT_EQ(frames.count({0x05, 800, 600}), 0u);
        EXPECT_EQ(frames.count({0x07, 800, 600}), 1u);
    }
}

TEST(CameraDescriptorTest, LargestAlternateCarriesTheLargestUncompressedFormatAtItsFastestRate) {
    for (int variant : {1, 2}) {
        SCOPED_TRACE(variant);
        CameraConfig config;
        config.variant = variant;
        CameraConversation c(config);
        std::vector<uint8_t> configuration = ConfigurationOf(c);
        qk::usb::ConfigurationInfo info;
        std::string error;
        ASSERT_TRUE(qk::usb::ParseConfiguration(configuration, qk::usb::Speed::High, &info, &error)) << error;
        const auto* streaming = info.Interface(1);
        ASSERT_EQ(streaming->alternates.size(), 8u);
        EXPECT_TRUE(streaming->Alternate(0)->endpoints.empty());
        uint32_t previous = 0;
        for (uint8_t a = 1; a <= 7; ++a) {
            const auto& endpoints = streaming->Alternate(a)->endpoints;
            ASSERT_EQ(endpoints.size(), 1u);
            EXPECT_EQ(endpoints[0].address, 0x81);
            EXPECT_GT(endpoints[0].bytesPerFrame, previous);
            previous = endpoints[0].bytesPerFrame;
        }
        uint64_t needed = 0;
        for (const auto& f : ClassDescriptors(configuration, 1, 0x05)) {
            uint64_t bytes = uint64_t{Word(f, 5)} * Word(f, 7) * 2;
            needed = std::max<uint64_t>(needed, (bytes * 10'000 + Dword(f, 26) - 1) / Dword(f, 26) + 12);
        }
        EXPECT_GE(previous, needed);
    }
}

}  // namespace
}  // namespace qk::sim::testing
