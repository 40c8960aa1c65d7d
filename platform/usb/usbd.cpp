// The USBD library routines drivers link against. They walk descriptor
// buffers the drivers got from the device, so no descriptor is trusted to lie
// inside its buffer: one that runs past the end ends the walk.
#include <cstring>

#include "platform/nt/pool.h"
#include "usbdlib.h"

namespace {

constexpr ULONG kUsbdTag = qk::nt::pool::Tag("USBD");

PUCHAR ConfigurationEnd(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
}

}  // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* end = begin + TotalLength;
    auto* p = static_cast<PUCHAR>(StartPosition);
    if (p < begin) return nullptr;
    while (p < end && end - p >= 2) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (common->bLength < 2 || common->bLength > end - p) return nullptr;
        if (common->bDescriptorType == DescriptorType) return common;
        p += common->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    auto* p = static_cast<PUCHAR>(StartPosition);
    PUCHAR end = ConfigurationEnd(ConfigurationDescriptor);
    while (p != nullptr && p < end) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(USBD_ParseDescriptors(
            ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, p, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (found == nullptr) return nullptr;
        // A descriptor too short to hold the fields matched below never matches.
        bool complete = found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR);
        if (complete && (InterfaceNumber == -1 || found->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || found->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || found->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || found->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || found->bInterfaceProtocol == InterfaceProtocol)) {
            return found;
        }
        p = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
    if (InterfaceDescriptor == nullptr) return 0;
    auto* p = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
    if (BufferEnd - p < static_cast<ptrdiff_t>(sizeof(USB_INTERFACE_DESCRIPTOR)) ||
        InterfaceDescriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR) || InterfaceDescriptor->bLength > BufferEnd - p) {
        return 0;
    }
    ULONG length = InterfaceDescriptor->bLength;
    p += length;
    for (ULONG i = 0; i < InterfaceDescriptor->bNumEndpoints; ++i) {
        while (true) {
            if (BufferEnd - p < 2) return 0;
            auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
            if (common->bLength < 2 || common->bLength > BufferEnd - p) return 0;
            length += common->bLength;
            p += common->bLength;
            if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) break;
            // Another interface before all endpoints were seen: the count is wrong.
            if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) return 0;
        }
    }
    return length;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (InterfaceList == nullptr) return nullptr;
    // The URB is the request header and a packed run of interface entries,
    // each sized for the endpoints its descriptor announces.
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t interfaces = 0;
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0) size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF) return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR d = entry->InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr) return;
    VersionInformation->USBDI_Version = 0x600;
    VersionInformation->Supported_USB_Version = 0x200;
}
