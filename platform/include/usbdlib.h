// The USBD library: descriptor parsing, building configuration requests, and
// the macros that fill in URBs.
#pragma once

#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;  // null ends the list
    PUSBD_INTERFACE_INFORMATION Interface;           // set by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// Returns the first interface descriptor at or after StartPosition (inside
// the configuration's wTotalLength) that matches every argument that is not
// -1; null when none does.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting);

// Returns the first descriptor of DescriptorType at or after StartPosition
// that lies wholly inside the buffer; null when none does.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

// Allocates (non-paged pool; the caller frees it with ExFreePool) and fills a
// select-configuration URB for the listed interfaces, and points each list
// entry's Interface at its part of the URB. Null when out of memory.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// Bytes of an interface descriptor with its class-specific and endpoint
// descriptors (through its last endpoint); 0 when the buffer ends first.
ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// ---- URB builders ------------------------------------------------------------------------------
// They write through the request's own structure, so a URB allocated with
// just the size of that request (not of the whole URB union) is filled
// without touching a byte beyond it.

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                           \
    {                                                                                                         \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                  \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Length = (length);                                                                   \
        reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb)->TransferBufferLength = (transferBufferLength);                     \
        reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb)->TransferBufferMDL = (transferBufferMDL);                           \
        reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb)->TransferBuffer = (transferBuffer);                                 \
        reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb)->DescriptorType = (descriptorType);                                 \
        reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb)->Index = (descriptorIndex);                                         \
        reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb)->LanguageId = (languageId);                                         \
        reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(urb)->UrbLink = (link);                                                  \
    }

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
    {                                                                                     \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Function = (op);                                                 \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);         \
        reinterpret_cast<struct _URB_CONTROL_GET_STATUS_REQUEST*>(urb)->TransferBufferLength = sizeof(USHORT);          \
        reinterpret_cast<struct _URB_CONTROL_GET_STATUS_REQUEST*>(urb)->TransferBufferMDL = (transferBufferMDL);        \
        reinterpret_cast<struct _URB_CONTROL_GET_STATUS_REQUEST*>(urb)->TransferBuffer = (transferBuffer);              \
        reinterpret_cast<struct _URB_CONTROL_GET_STATUS_REQUEST*>(urb)->Index = (index);                                \
        reinterpret_cast<struct _URB_CONTROL_GET_STATUS_REQUEST*>(urb)->UrbLink = (link);                               \
    }

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)          \
    {                                                                          \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Function = (op);                                      \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST); \
        reinterpret_cast<struct _URB_CONTROL_FEATURE_REQUEST*>(urb)->FeatureSelector = (featureSelector);   \
        reinterpret_cast<struct _URB_CONTROL_FEATURE_REQUEST*>(urb)->Index = (index);                       \
        reinterpret_cast<struct _URB_CONTROL_FEATURE_REQUEST*>(urb)->UrbLink = (link);                      \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)           \
    {                                                                                      \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Function = URB_FUNCTION_SELECT_CONFIGURATION;                     \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Length = (length);                                                \
        reinterpret_cast<struct _URB_SELECT_CONFIGURATION*>(urb)->ConfigurationDescriptor = (configurationDescriptor); \
    }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
    {                                                                                                       \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Function = URB_FUNCTION_SELECT_INTERFACE;                                          \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Length = (length);                                                                 \
        reinterpret_cast<struct _URB_SELECT_INTERFACE*>(urb)->Interface.AlternateSetting = (alternateSetting);                          \
        reinterpret_cast<struct _URB_SELECT_INTERFACE*>(urb)->Interface.InterfaceNumber = (interfaceNumber);                            \
        reinterpret_cast<struct _URB_SELECT_INTERFACE*>(urb)->Interface.Length =                                                        \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));            \
        reinterpret_cast<struct _URB_SELECT_INTERFACE*>(urb)->ConfigurationHandle = (configurationHandle);                              \
    }

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value, index, transferBuffer, \
                              transferBufferMDL, transferBufferLength, link)                                        \
    {                                                                                                               \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Function = (cmd);                                                                          \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Length = (length);                                                                         \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->TransferBufferLength = (transferBufferLength);                          \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->TransferBufferMDL = (transferBufferMDL);                                \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->TransferBuffer = (transferBuffer);                                      \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->RequestTypeReservedBits = (reservedbits);                               \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->Request = (request);                                                    \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->Value = (value);                                                        \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->Index = (index);                                                        \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->TransferFlags = (transferFlags);                                        \
        reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(urb)->UrbLink = (link);                                                       \
    }

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                  \
    {                                                                                                      \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                               \
        reinterpret_cast<struct _URB_HEADER*>(urb)->Length = (length);                                                                \
        reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(urb)->PipeHandle = (pipeHandle);                                       \
        reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(urb)->TransferBufferLength = (transferBufferLength);                   \
        reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(urb)->TransferBufferMDL = (transferBufferMDL);                         \
        reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(urb)->TransferBuffer = (transferBuffer);                               \
        reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(urb)->TransferFlags = (transferFlags);                                 \
        reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(urb)->UrbLink = (link);                                                \
    }
