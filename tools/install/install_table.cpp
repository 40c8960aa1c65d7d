#include "tools/install/install_table.h"

#include "common/usb_ids.h"

namespace qk::install {
namespace {

using namespace qk::ids;

constexpr Folder kFolders[] = {
    {.path = "Windows/System32"},
    {.path = "Windows/System32/drivers"},
    {.path = "Windows/SysWOW64"},
    {.path = "Windows/TWAIN_32"},
    {.path = "Windows/TWAIN_32/Lumora/QK0340"},
    {.path = "Program Files/Lumora Tech/KFXE/Thumbnails/Colour"},
    {.path = "Program Files/Lumora Tech/KFXE/Thumbnails/Frames"},
    {.path = "Program Files/Lumora Tech/KFXE/Thumbnails/Fun"},
    {.path = "Program Files/Lumora Tech/KFXE/Imported"},
};

constexpr Service kServices[] = {
    {.name = u"K0340Dev", .imageFile = u"K0340Dev.sys", .displayName = u"QK0340 Camera Capture Driver"},
    {.name = u"K0340Aud", .imageFile = u"K0340Aud.sys", .displayName = u"QK0340 Microphone Array Filter"},
    {.name = u"QkUsbAudio", .imageFile = u"QkUsbAudio.sys", .displayName = u"USB Audio Function Driver"},
    {.name = u"QkHdAudio", .imageFile = u"QkHdAudio.sys", .displayName = u"High Definition Audio Function Driver"},
};

constexpr std::u16string_view kImageClass = u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
constexpr std::u16string_view kMediaClass = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";

// The partner microphones run the same audio function driver and filter as
// the camera's microphone.
constexpr Device PartnerMicrophone(uint16_t vendorId) {
    return {.vendorId = vendorId,
            .productId = -1,
            .interface = -1,
            .service = u"QkUsbAudio",
            .upperFilters = u"K0340Aud",
            .classGuid = kMediaClass,
            .className = u"MEDIA",
            .deviceDesc = u"USB Microphone",
            .friendlyName = u""};
}

// Both of the camera's functions carry the product's name (the console's
// Start-menu folder); the microphone also names the camera it belongs to and
// the name the audio effects library knows it by.
constexpr DriverValue kCameraValues[] = {
    {.name = u"LuProductName", .text = u"QK0340 Camera"},
};
constexpr DriverValue kCameraMicrophoneValues[] = {
    {.name = u"FriendlyName", .text = u"QK0340 Camera"},
    {.name = u"LuAudioName", .text = u"QK0340 Microphone"},
    {.name = u"LuProductName", .text = u"QK0340 Camera"},
};

// The array codec on the high-definition audio bus: both microphones in
// stereo, captured as the codec's converters run (16-bit, 48000 Hz, two
// channels), BFA3 on by default as on the camera; echo cancellation stays
// off until switched on.
constexpr std::u16string_view kFilterInterfaceClass = u"{56907941-3afe-11d4-ae2c-00a0cc242d2c}";
constexpr InterfaceValue kArrayCodecInterfaceValues[] = {
    {.name = u"StereoSupported", .number = 1},
    {.name = u"BFA3Enabled", .number = 1},
    {.name = u"ESEnabled", .number = 0},
    {.name = u"RecordSampleSize", .number = 16},
    {.name = u"RecordSampleRate", .number = 48000},
    {.name = u"RecordNumChannels", .number = 2},
    {.name = u"PlaybackSampleSize", .number = 16},
    {.name = u"PlaybackSampleRate", .number = 48000},
    {.name = u"PlaybackNumChannels", .number = 2},
};

constexpr Device kDevices[] = {
    {.vendorId = kCameraVendorId,
     .productId = kCameraProductId,
     .interface = kVideoControlInterface,
     .service = u"K0340Dev",
     .upperFilters = u"",
     .classGuid = kImageClass,
     .className = u"Image",
     .deviceDesc = u"QK0340 Camera",
     .friendlyName = u"QK0340 Camera",
     .driverValues = kCameraValues},
    {.vendorId = kCameraVendorId,
     .productId = kCameraProductId,
     .interface = kAudioControlInterface,
     .service = u"QkUsbAudio",
     .upperFilters = u"K0340Aud",
     .classGuid = kMediaClass,
     .className = u"MEDIA",
     .deviceDesc = u"QK0340 Microphone",
     .friendlyName = u"",
     .driverValues = kCameraMicrophoneValues},
    PartnerMicrophone(kPartnerVendorA),
    PartnerMicrophone(kPartnerVendorB),
    PartnerMicrophone(kPartnerVendorC),
    PartnerMicrophone(kPartnerVendorD),
    PartnerMicrophone(kPartnerVendorE),
    // Every other USB audio function gets the filter too: its profile decides
    // what it does there (another product of the camera's maker: nothing; an
    // unknown microphone: capture passed through, the control device answers).
    {.vendorId = 0,
     .productId = -1,
     .interface = -1,
     .service = u"QkUsbAudio",
     .upperFilters = u"K0340Aud",
     .classGuid = kMediaClass,
     .className = u"MEDIA",
     .deviceDesc = u"USB Microphone",
     .friendlyName = u"",
     .compatibleId = u"USB\\Class_01"},
    {.vendorId = 0,
     .productId = -1,
     .interface = -1,
     .service = u"QkHdAudio",
     .upperFilters = u"K0340Aud",
     .classGuid = kMediaClass,
     .className = u"MEDIA",
     .deviceDesc = u"Microphone Array (High Definition Audio)",
     .friendlyName = u"",
     .hardwareId = kArrayCodecHardwareId,
     .interfaceClass = kFilterInterfaceClass,
     .interfaceValues = kArrayCodecInterfaceValues},
};

constexpr PlainKey kPlainKeys[] = {
    {.path = u"SOFTWARE\\Lumora Tech\\Web Cameras\\QK0340"},
    // The 32-bit console reads its machine settings here; the capture
    // driver creates its Console key below it.
    {.path = u"SOFTWARE\\Wow6432Node\\Lumora Tech\\Web Cameras\\QK0340"},
    // The array codec's settings key: the filter reads a device's settings
    // only from a key that opens, so without it the codec's defaults (BFA3
    // from the interface key, the 48000 Hz echo rate) would never apply.
    {.path = u"SOFTWARE\\Halvard Electronics\\Driver\\Settings"},
    // The audio effects library counts as installed only with its key.
    {.path = u"SOFTWARE\\Lumora Tech\\Web Cameras\\Audio FX"},
    // The video effects engine is installed for English (United States).
    {.path = u"SOFTWARE\\Lumora Tech\\Software Installed\\KFXE Engine\\1033"},
};

constexpr InitialValue kInitialValues[] = {
    // The parental lock starts disabled; the console enables it.
    {.path = u"SOFTWARE\\Lumora Tech\\Web Cameras\\QK0340", .name = u"Reserved", .number = 0},
};

// K0340Vfw is the machine's first Video-for-Windows capture driver, and its
// two DirectShow filters are its COM classes.
constexpr MachineString kMachineStrings[] = {
    {.path = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", .name = u"msvideo", .text = u"K0340Vfw.dll"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{6DB09BC4-9E27-4AC1-B2A9-07442E08A16C}", .name = u"", .text = u"VFW Sample Grabber"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{6DB09BC4-9E27-4AC1-B2A9-07442E08A16C}\\InprocServer32", .name = u"",
     .text = u"K0340Vfw.dll"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{6DB09BC4-9E27-4AC1-B2A9-07442E08A16C}\\InprocServer32",
     .name = u"ThreadingModel", .text = u"Both"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{808D801D-701E-4520-BD42-1EF271E73233}", .name = u"", .text = u"VFW Null Render Filter"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{808D801D-701E-4520-BD42-1EF271E73233}\\InprocServer32", .name = u"",
     .text = u"K0340Vfw.dll"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{808D801D-701E-4520-BD42-1EF271E73233}\\InprocServer32",
     .name = u"ThreadingModel", .text = u"Both"},
    // The video effects engine: its library found through App Paths (its
    // folder holds the service starter) and its one COM class.
    {.path = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\BlinklyEx.dll", .name = u"",
     .text = u"C:\\Program Files\\Lumora Tech\\KFXE\\BlinklyEx.dll"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{0F31130E-B760-11DA-9596-00E08161165F}", .name = u"", .text = u"KFXE Engine"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{0F31130E-B760-11DA-9596-00E08161165F}\\InprocServer32", .name = u"",
     .text = u"BlinklyEx.dll"},
    {.path = u"SOFTWARE\\Classes\\CLSID\\{0F31130E-B760-11DA-9596-00E08161165F}\\InprocServer32",
     .name = u"ThreadingModel", .text = u"Apartment"},
};

// The drivers' and libraries' loadable modules and the files they read; the
// install copies each one from the build's module folder.
constexpr ModuleFile kModules[] = {
    {.buildName = "K0340Dev.sys", .destination = "Windows/System32/drivers/K0340Dev.sys"},
    {.buildName = "K0340Aud.sys", .destination = "Windows/System32/drivers/K0340Aud.sys"},
    // The Video-for-Windows driver and its filters, found by file name in the
    // system folder by the multimedia runtime and COM.
    {.buildName = "K0340Vfw.dll", .destination = "Windows/System32/K0340Vfw.dll"},
    // The capture driver reads its substitute pictures from its own folder.
    {.buildName = "K0340Pv2.bmp", .destination = "Windows/System32/drivers/K0340Pv2.bmp"},
    {.buildName = "K0340Pc.bmp", .destination = "Windows/System32/drivers/K0340Pc.bmp"},
    {.buildName = "K0340Pvc.bmp", .destination = "Windows/System32/drivers/K0340Pvc.bmp"},
    // The console's resource library lies beside the console library.
    {.buildName = "K0340Cvw.crl", .destination = "Windows/System32/K0340Cvw.crl"},
    // The skinning library in the console's folder, where the console
    // window loads it from, and the skin bundle in the system folder.
    {.buildName = "SkinHook.DLL", .destination = "Windows/TWAIN_32/Lumora/QK0340/SkinHook.DLL"},
    {.buildName = "K0340Cvw.bff", .destination = "Windows/System32/K0340Cvw.bff"},
    // The audio effects library the console's audio effects panel drives.
    {.buildName = "K0340Afx.dll", .destination = "Windows/System32/K0340Afx.dll"},
    // The video effects engine, its service starter and its thumbnails.
    {.buildName = "BlinklyEx.dll", .destination = "Program Files/Lumora Tech/KFXE/BlinklyEx.dll"},
    {.buildName = "StartKFX.exe", .destination = "Program Files/Lumora Tech/KFXE/StartKFX.exe"},
    {.buildName = "KfxThumbnails/Colour/Sepia.png", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Colour/Sepia.png"},
    {.buildName = "KfxThumbnails/Colour/Negative.bmp", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Colour/Negative.bmp"},
    {.buildName = "KfxThumbnails/Colour/BlackWhite.jpg",
     .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Colour/BlackWhite.jpg"},
    {.buildName = "KfxThumbnails/Frames/Oval.gif", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Frames/Oval.gif"},
    {.buildName = "KfxThumbnails/Frames/Film.tif", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Frames/Film.tif"},
    {.buildName = "KfxThumbnails/Fun/Mosaic.tga", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Fun/Mosaic.tga"},
    {.buildName = "KfxThumbnails/Fun/Mirror.ppm", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Fun/Mirror.ppm"},
    {.buildName = "KfxThumbnails/Fun/Thermal.ico", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Fun/Thermal.ico"},
    {.buildName = "KfxThumbnails/Fun/Sketch.kfp", .destination = "Program Files/Lumora Tech/KFXE/Thumbnails/Fun/Sketch.kfp"},
};
constexpr std::span<const ModuleFile> kModuleFiles{kModules};

}  // namespace

std::span<const Folder> Folders() { return kFolders; }
std::span<const Service> Services() { return kServices; }
std::span<const Device> Devices() { return kDevices; }
std::span<const PlainKey> PlainKeys() { return kPlainKeys; }
std::span<const InitialValue> InitialValues() { return kInitialValues; }
std::span<const ModuleFile> ModuleFiles() { return kModuleFiles; }
std::span<const MachineString> MachineStrings() { return kMachineStrings; }

}  // namespace qk::install
