// The device object of K0340Dev: driver entry, the kernel-streaming device
// dispatch (thin forwarders), start, post-start, removal, power, capabilities,
// the USB configuration, and the stream operations the pin calls.
#include <cstring>
#include <new>

#include "capture/k0340dev.h"
#include "capture/k0340dev_entry.h"
#include "imaging/jpeg/jpeg.h"

namespace k0340 {
namespace {

// The still-image device interface class.
DEFINE_GUID(kStillImageInterface, 0x6BDD1FC6, 0x810F, 0x11D0, 0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F);

constexpr ULONG kFirstConfigurationRead = 521;
constexpr char kConfigurationBaseName[] = "QK0340.cfg";

LONG g_variant1Streams = 0;  // variant 1 cameras allow one stream at a time, all cameras together
PDRIVER_UNLOAD g_ksUnload = nullptr;

VOID UnloadStub(PDRIVER_OBJECT driver) {
    if (g_ksUnload != nullptr) g_ksUnload(driver);
}

VOID FreeDeviceObject(PVOID block) {
    static_cast<UsbCameraDevice*>(block)->~UsbCameraDevice();
    ExFreePoolWithTag(block, kTagContext);
}

VOID FreeBagBlock(PVOID block) { Free(block); }

NTSTATUS KsAdd(PKSDEVICE ks) {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(UsbCameraDevice), kTagContext);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, sizeof(UsbCameraDevice));
    auto* device = new (memory) UsbCameraDevice;
    NTSTATUS status = KsAddItemToObjectBag(ks->Bag, device, FreeDeviceObject);
    if (!NT_SUCCESS(status)) {
        FreeDeviceObject(device);
        return status;
    }
    status = device->AttachToKsDevice(ks);
    if (!NT_SUCCESS(status)) KsRemoveItemFromObjectBag(ks->Bag, device, TRUE);
    return status;
}

NTSTATUS KsStart(PKSDEVICE ks, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) { return DeviceOf(ks)->PnpStart(); }
NTSTATUS KsPostStart(PKSDEVICE ks) { return DeviceOf(ks)->PnpPostStart(); }
VOID KsRemove(PKSDEVICE ks, PIRP) { DeviceOf(ks)->Remove(); }
VOID KsSurpriseRemoval(PKSDEVICE ks, PIRP) { DeviceOf(ks)->SurpriseRemoval(); }
NTSTATUS KsQueryCapabilities(PKSDEVICE ks, PIRP, PDEVICE_CAPABILITIES capabilities) {
    return DeviceOf(ks)->QueryCapabilities(capabilities);
}
VOID KsSetPower(PKSDEVICE ks, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    DeviceOf(ks)->SetPower(to, from);
}

const KSDEVICE_DISPATCH kDeviceDispatch = {
    KsAdd, KsStart, KsPostStart, nullptr, nullptr, nullptr, nullptr, nullptr,
    KsRemove, KsQueryCapabilities, KsSurpriseRemoval, nullptr, KsSetPower, nullptr,
};

}  // namespace

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

UsbCameraDevice* DeviceOf(PKSDEVICE ks) { return static_cast<UsbCameraDevice*>(ks->Context); }

NTSTATUS UsbCameraDevice::AttachToKsDevice(PKSDEVICE device) {
    ks = device;
    ks->Context = this;
    transportOps = IsochTransportTable();
    KeInitializeSemaphore(&requestSemaphore, 1, 1);
    KeInitializeEvent(&stillFrameEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&still.lock);
    InitialiseDeferredQueue(this);
    recoveryCounter = -1;
    return STATUS_SUCCESS;
}

NTSTATUS UsbCameraDevice::PnpStart() {
    if (postStarted) return STATUS_SUCCESS;
    if (ks->Started) return STATUS_DEVICE_NOT_READY;
    present = TRUE;
    lowerDevice = ks->NextDeviceObject;
    NTSTATUS status = DeviceStart();
    if (!NT_SUCCESS(status)) present = FALSE;
    return status;
}

// Picks the interfaces of the configuration and selects it; the streaming
// interface is remembered for the stream and its controls are discovered.
static NTSTATUS SelectConfiguration(UsbCameraDevice* d) {
    PUSB_CONFIGURATION_DESCRIPTOR config = d->configuration;
    USBD_INTERFACE_LIST_ENTRY list[8] = {};
    ULONG listed = 0;
    for (LONG i = 0; i < config->bNumInterfaces && listed < 7; ++i) {
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(config, config, i, -1, -1, -1, -1);
        if (iface == nullptr) continue;
        if ((d->description.flags & 1) && iface->bInterfaceClass != 0x0E) continue;
        if (iface->bInterfaceSubClass == 2) {
            // The select-interface request made later has room for one pipe.
            iface->bNumEndpoints = 1;
            d->streamingInterface = iface;
            auto* bytes = reinterpret_cast<const UCHAR*>(config);
            ULONG total = config->wTotalLength;
            DiscoverCapabilities(d->camera_, bytes, total);
            ULONG at = static_cast<ULONG>(reinterpret_cast<const UCHAR*>(iface) - bytes) + iface->bLength;
            ParseStreamingFormats(d->camera_, bytes + at, total - at);
        } else if (iface->bInterfaceSubClass == 1) {
            list[listed++].InterfaceDescriptor = iface;
        }
    }
    if (d->streamingInterface == nullptr) return STATUS_INVALID_PARAMETER;
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (urb == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = d->SubmitUrbSynchronously(urb);
    if (!NT_SUCCESS(status) || !USBD_SUCCESS(urb->UrbHeader.Status)) {
        ExFreePool(urb);
        return STATUS_INVALID_PARAMETER;
    }
    d->configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    d->pipeCount = 0;
    for (ULONG n = 0; n < listed; ++n) {
        PUSBD_INTERFACE_INFORMATION info = list[n].Interface;
        if (info == nullptr) continue;
        bool claimed = false;
        for (ULONG p = 0; p < info->NumberOfPipes && d->pipeCount < 8 && !claimed; ++p) {
            PipeEntry& pipe = d->pipes[d->pipeCount];
            pipe.index = d->pipeCount++;
            pipe.type = info->Pipes[p].PipeType;
            pipe.in = (info->Pipes[p].EndpointAddress & 0x80) != 0;
            pipe.maxPacket = info->Pipes[p].MaximumPacketSize;
            pipe.maxTransfer = info->Pipes[p].MaximumTransferSize;
            pipe.handle = info->Pipes[p].PipeHandle;
            claimed = d->transportOps->takePipeInformation(d, &pipe);
            info->Pipes[p].MaximumTransferSize = pipe.maxTransfer;
        }
        if (claimed) break;
    }
    ExFreePool(urb);
    return STATUS_SUCCESS;
}

NTSTATUS UsbCameraDevice::DeviceStart() {
    // 1. The synchronous-request block and the request semaphore.
    auto* sync = static_cast<ULONG*>(Allocate(16));
    if (sync == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    sync[0] = kMarkerSyncRequest;
    KsAddItemToObjectBag(ks->Bag, sync, FreeBagBlock);
    KeInitializeSemaphore(&requestSemaphore, 1, 1);
    // 2. The still-image interface, named in the driver key as "CreateFileName".
    NTSTATUS status = IoRegisterDeviceInterface(ks->PhysicalDeviceObject, &kStillImageInterface, nullptr, &interfaceLink);
    if (NT_SUCCESS(status)) {
        IoSetDeviceInterfaceState(&interfaceLink, TRUE);
        HANDLE key;
        if (NT_SUCCESS(IoOpenDeviceRegistryKey(ks->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key))) {
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, u"CreateFileName");
            ZwSetValueKey(key, &name, 0, REG_SZ, interfaceLink.Buffer, interfaceLink.Length + sizeof(WCHAR));
            ZwClose(key);
        }
    }
    // 3. The camera context: the supported camera only.
    status = CreateCameraContext(this, &camera_);
    if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
    description.variant = camera_->variant;
    description.reserved[0] = 8;
    description.reserved[1] = 1;
    description.largestFrameBytes = kLargestFrame;
    description.flags = 7;
    std::memcpy(description.configurationBaseName, kConfigurationBaseName, sizeof kConfigurationBaseName);
    // 4. The configuration base name and the key name before its first '.'.
    std::memcpy(configurationBaseName, description.configurationBaseName, sizeof configurationBaseName);
    for (size_t i = 0; i < sizeof keyName - 1 && configurationBaseName[i] && configurationBaseName[i] != '.'; ++i) {
        keyName[i] = configurationBaseName[i];
    }
    // 5. Requests in flight.
    requestsInFlight = description.variant == 2 ? 6 : 2;
    // 6. Descriptors and the configuration.
    ULONG got = 0;
    status = GetDescriptor(this, USB_DEVICE_DESCRIPTOR_TYPE, &deviceDescriptor, sizeof deviceDescriptor, &got);
    if (!NT_SUCCESS(status)) return status;
    configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(kFirstConfigurationRead));
    if (configuration == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = GetDescriptor(this, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, kFirstConfigurationRead, &got);
    if (!NT_SUCCESS(status) || got < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        Free(configuration);
        configuration = nullptr;
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    ULONG total = configuration->wTotalLength;
    if (total > kFirstConfigurationRead) {
        // A longer configuration is read again in full.
        Free(configuration);
        configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(total));
        if (configuration == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        status = GetDescriptor(this, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, total, &got);
        if (!NT_SUCCESS(status) || got < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            Free(configuration);
            configuration = nullptr;
            return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
        }
    }
    // The descriptor says what it holds, but never more than was read.
    if (configuration->wTotalLength > got) configuration->wTotalLength = static_cast<USHORT>(got);
    KsAddItemToObjectBag(ks->Bag, configuration, FreeBagBlock);
    // 7. The transport header and the transport.
    transport = static_cast<TransportHeader*>(Allocate(transportOps->transportSize()));
    if (transport == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KsAddItemToObjectBag(ks->Bag, transport, FreeBagBlock);
    transportOps->initialise(this);
    status = SelectConfiguration(this);
    if (!NT_SUCCESS(status)) return status;
    recoveryCounter = -1;
    // 8. Frame pool, tables, filter factory.
    status = AllocatePool(description.largestFrameBytes);
    if (!NT_SUCCESS(status)) return status;
    // The tables the filter's handles read live in the object bag: a handle
    // can stay open after a surprise removal, until the last one closes.
    if (camera_->capabilityCount) {
        capabilityCopy = static_cast<CapabilityEntry*>(Allocate(sizeof(CapabilityEntry) * camera_->capabilityCount));
        if (capabilityCopy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        std::memcpy(capabilityCopy, camera_->capabilities, sizeof(CapabilityEntry) * camera_->capabilityCount);
        KsAddItemToObjectBag(ks->Bag, capabilityCopy, FreeBagBlock);
    }
    status = BuildAutomationTables();
    if (!NT_SUCCESS(status)) return status;
    formats = FormatTableForVariant(description.variant);
    status = BuildDataRanges();
    if (!NT_SUCCESS(status)) return status;
    KsAcquireDevice(ks);
    status = KsCreateFilterFactory(ks->FunctionalDeviceObject, BuildFilterDescriptor(this), const_cast<PWSTR>(u"GLOBAL"),
                                   nullptr, 0, nullptr, nullptr, nullptr);
    KsReleaseDevice(ks);
    return status;
}

NTSTATUS UsbCameraDevice::BuildDataRanges() {
    dataRanges = static_cast<KS_DATARANGE_VIDEO*>(Allocate(sizeof(KS_DATARANGE_VIDEO) * formats.count));
    if (dataRanges != nullptr) KsAddItemToObjectBag(ks->Bag, dataRanges, FreeBagBlock);
    dataRangePointers = static_cast<PKSDATARANGE*>(Allocate(sizeof(PKSDATARANGE) * formats.count));
    if (dataRangePointers != nullptr) KsAddItemToObjectBag(ks->Bag, dataRangePointers, FreeBagBlock);
    if (dataRanges == nullptr || dataRangePointers == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < formats.count; ++i) {
        BuildDataRange(formats.records[i], &dataRanges[i]);
        dataRangePointers[i] = &dataRanges[i].DataRange;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbCameraDevice::PnpPostStart() {
    if (postStarted) return STATUS_SUCCESS;
    if (!present) return STATUS_DEVICE_NOT_READY;
    KsAcquireDevice(ks);
    NTSTATUS status = LoadSettingsAndStartEffects();
    if (!NT_SUCCESS(status)) {
        DestroyCameraContext(camera_);
        camera_ = nullptr;
        KsReleaseDevice(ks);
        return STATUS_UNSUCCESSFUL;
    }
    LoadPrivacy();
    postStarted = TRUE;
    KsReleaseDevice(ks);
    return STATUS_SUCCESS;
}

// Reads the three substitute pictures; a missing or damaged one stays null
// and its fill stands in.
static VOID LoadSubstitutes(CameraContext* c) {
    for (int i = 0; i < kSubstituteCount; ++i) {
        if (c->substitutes[i] == nullptr) c->substitutes[i] = static_cast<UCHAR*>(Allocate(kPictureBytes));
        if (c->substitutes[i] != nullptr && !ReadSubstitutePicture(static_cast<Substitute>(i), c->substitutes[i])) {
            Free(c->substitutes[i]);
            c->substitutes[i] = nullptr;
        }
    }
    c->fittedWhich = -1;
}

NTSTATUS UsbCameraDevice::LoadSettingsAndStartEffects() {
    CameraContext* c = camera_;
    if (c == nullptr || EffectsCameraStart(c) != 0) return STATUS_UNSUCCESSFUL;
    RefreshRegisterStatus(c);
    LoadPictureSettings(this);
    LoadFaceTracking(this);
    c->zoomCopy = c->effects->zoom;
    c->trackingCopy = c->effects->trackingMode;
    LoadSubstitutes(c);
    return STATUS_SUCCESS;
}

NTSTATUS UsbCameraDevice::QueryCapabilities(PDEVICE_CAPABILITIES capabilities) {
    capabilities->Removable = 1;
    capabilities->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}

VOID UsbCameraDevice::SetPower(DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    if (!present || to == powerState) return;
    KsAcquireDevice(ks);
    if (to == PowerDeviceD0 && powerState == PowerDeviceD3) {
        powerState = to;
        Wake();
    } else if (to == PowerDeviceD3) {
        StopStream();
        powerState = to;
    } else {
        powerState = to;
    }
    KsReleaseDevice(ks);
}

VOID UsbCameraDevice::Wake() {
    // The camera lost its settings with its power; a stream the pin still
    // wants comes back as it was: opened, and running again if it ran.
    LoadPictureSettings(this);
    if (wanted == StreamWanted::Closed || !formatMatched) return;
    if (!NT_SUCCESS(OpenStream())) return;
    if (wanted == StreamWanted::Running) RunStream();
}

VOID UsbCameraDevice::StopStream() {
    SavePictureSettings(this);
    if (transport == nullptr || !Load(transport->opened)) return;
    streamPaused = Load(transport->started) || Load(transport->suspended);
    if (Load(transport->started)) transportOps->stopTransfers(this);
    CloseStream();
}

VOID UsbCameraDevice::SurpriseRemoval() {
    present = FALSE;
    Remove();
    surpriseRemoved = TRUE;
}

VOID UsbCameraDevice::Remove() {
    if (surpriseRemoved) return;  // done once already
    KsAcquireDevice(ks);
    present = FALSE;
    postStarted = FALSE;
    if (camera_ != nullptr) {
        if (lock.initialised) WriteLockFlag();
        SavePrivacy();
    }
    if (transport != nullptr && Load(transport->opened)) CloseStream();
    AbandonStillCapture(this);
    // The data ranges, capability copy and automation table stay in the
    // object bag for handles still open.
    KsReleaseDevice(ks);
    ShutDown();
    FreePool();
}

VOID UsbCameraDevice::ShutDown() {
    if (camera_ != nullptr) SavePictureSettings(this);
    if (transportOps != nullptr) transportOps->release(this);
    // Pending recovery and deferred work refer to this object and its camera
    // context: nothing new is taken, and what was taken finishes first.
    CloseDeferredQueue(this);
    LARGE_INTEGER twoMs;
    twoMs.QuadPart = -20000;
    while (InterlockedCompareExchange(&recoveryCounter, -1, -1) != -1 || DeferredRequestsOutstanding(this) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &twoMs);
    }
    if (camera_ != nullptr) EffectsCameraStop(camera_);
    DestroyCameraContext(camera_);
    camera_ = nullptr;
    Free(streamingInformation);
    streamingInformation = nullptr;
    if (interfaceLink.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&interfaceLink, FALSE);
        RtlFreeUnicodeString(&interfaceLink);
    }
}

VOID UsbCameraDevice::PowerStateChange(DEVICE_POWER_STATE to) { powerState = to; }

// ---- Stream operations -------------------------------------------------------------------

NTSTATUS UsbCameraDevice::MatchFormat(const KSDATAFORMAT* format, ULONG bytes) {
    StreamFormat stream;
    const FormatRecord* record;
    if (format == nullptr || !NT_SUCCESS(k0340::MatchFormat(formats, format, bytes, &stream, &record))) {
        return STATUS_UNSUCCESSFUL;
    }
    streamFormat = stream;
    matchedRecord = record;
    formatMatched = TRUE;
    return STATUS_SUCCESS;
}

VOID UsbCameraDevice::ForgetFormat() {
    formatMatched = FALSE;
    matchedRecord = nullptr;
}

NTSTATUS UsbCameraDevice::ValidateFormat(const KSDATAFORMAT* format, ULONG bytes, const KSDATARANGE* range) {
    return CheckDataFormat(formats, format, bytes, reinterpret_cast<const KS_DATARANGE_VIDEO*>(range));
}

NTSTATUS UsbCameraDevice::SetFormat() { return OpenStream(); }

VOID UsbCameraDevice::SignalStillFrame() { KeSetEvent(&stillFrameEvent, IO_NO_INCREMENT, FALSE); }

BOOLEAN UsbCameraDevice::Streaming() const { return transport != nullptr && Load(transport->opened) != 0; }

NTSTATUS UsbCameraDevice::OpenStream() {
    if (!present || camera_ == nullptr) return STATUS_DEVICE_DATA_ERROR;
    if (transport != nullptr && Load(transport->opened)) return STATUS_DEVICE_BUSY;  // one stream per camera
    CameraContext* c = camera_;
    // One stream at a time on variant 1 cameras, all of them together: the
    // check comes before anything of a running stream could be touched.
    if (description.variant == 1 && InterlockedIncrement(&g_variant1Streams) > 1) {
        InterlockedDecrement(&g_variant1Streams);
        return STATUS_UNSUCCESSFUL;
    }
    auto fail = [&](NTSTATUS status) {
        if (description.variant == 1) InterlockedDecrement(&g_variant1Streams);
        return status;
    };
    QuiesceProcessing();
    c->stream.outputWidth = streamFormat.width;
    c->stream.outputHeight = streamFormat.height;
    c->stream.format = streamFormat.formatIndex;
    NTSTATUS status = NegotiateStream(c, streamFormat.interval100ns);
    if (!NT_SUCCESS(status)) return fail(STATUS_UNSUCCESSFUL);
    frameBufferBytes = streamFormat.width <= 640 ? kSmallFrameBuffer : kLargestFrame;
    UCHAR alternate = description.variant == 2 && streamFormat.width >= 320 ? 7 : 6;
    if (alternate != streamingAlternate) {
        status = SelectStreamingAlternate(alternate);
        if (!NT_SUCCESS(status)) return fail(STATUS_UNSUCCESSFUL);
    }
    LockOnStreamOpen(this);
    // The conversion buffer, and the effects' work picture when the stream's
    // pictures are larger than the 640x480 it starts with.
    ULONG work = streamFormat.width <= 640 ? kWorkBuffer : streamFormat.width * streamFormat.height * 3;
    if (c->frameWork == nullptr || c->frameWorkBytes < work) {
        Free(c->frameWork);
        c->frameWork = static_cast<UCHAR*>(Allocate(work));
        c->frameWorkBytes = c->frameWork ? work : 0;
    }
    if (c->workBufferBytes < streamFormat.sizeImage) {
        auto* bigger = static_cast<UCHAR*>(Allocate(streamFormat.sizeImage));
        if (bigger != nullptr) {
            Free(c->workBuffer);
            c->workBuffer = bigger;
            c->workBufferBytes = streamFormat.sizeImage;
        }
    }
    if (c->frameWork == nullptr || c->workBuffer == nullptr || c->workBufferBytes < streamFormat.sizeImage) {
        return fail(STATUS_INSUFFICIENT_RESOURCES);
    }
    if (c->effects != nullptr) {
        c->effects->hooks.preallocated = c->workBuffer;
        c->effects->hooks.preallocatedBytes = c->workBufferBytes;
        // The library works on the picture as captured: larger than the
        // output when the capture-size rule enlarged it.
        ULONG width = c->stream.scaling ? c->stream.captureWidth : streamFormat.width;
        ULONG height = c->stream.scaling ? c->stream.captureHeight : streamFormat.height;
        EffectsStreamStart(c, width, height, streamFormat.formatIndex);
    }
    if (c->cameraStream == CameraStream::Mjpeg && streamFormat.formatIndex != kFormatMjpg) PrepareDecoder(c);
    LoadSubstitutes(c);
    status = InitialiseRing(frameBufferBytes);
    if (NT_SUCCESS(status)) status = OpenTransport(this);
    if (!NT_SUCCESS(status)) return fail(status);
    InterlockedIncrement(&streamGeneration);
    InterlockedExchange(&processingGateClosed, 0);
    return STATUS_SUCCESS;
}

NTSTATUS UsbCameraDevice::RunStream() {
    if (!present) return STATUS_DEVICE_DATA_ERROR;
    if (transport == nullptr || !Load(transport->opened)) {
        // Asleep, the stream starts on waking; otherwise there is none to run.
        return powerState == PowerDeviceD3 ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
    }
    if (Load(transport->suspended)) return Resume();
    return transportOps->startTransfers(this);
}

NTSTATUS UsbCameraDevice::Resume() {
    if (!present) return STATUS_DEVICE_DATA_ERROR;
    if (transport == nullptr || !Load(transport->opened)) return STATUS_DEVICE_NOT_READY;
    InterlockedAnd(&transport->stateFlags, ~static_cast<LONG>(kAbortRequested));
    return transportOps->startTransfers(this);
}

NTSTATUS UsbCameraDevice::Pause() {
    if (transport != nullptr && Load(transport->started)) transportOps->stopTransfers(this);
    LockOnStreamPause(this);
    return STATUS_SUCCESS;
}

VOID UsbCameraDevice::QuiesceProcessing() {
    InterlockedExchange(&processingGateClosed, 1);
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    while (InterlockedCompareExchange(&processingActive, 0, 0) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    }
}

VOID UsbCameraDevice::CloseStream() {
    bool wasOpen = transport != nullptr && Load(transport->opened);
    AbandonStillCapture(this);
    // The slots, buffers and decoder go or change below: no frame may be in processing.
    QuiesceProcessing();
    CloseTransport(this);
    ResetRing();
    if (wasOpen && description.variant == 1) InterlockedDecrement(&g_variant1Streams);
}

NTSTATUS UsbCameraDevice::RestartStream() {
    if (!Streaming()) return STATUS_SUCCESS;
    bool running = Load(transport->started) != 0;
    if (running) transportOps->stopTransfers(this);
    // The same stream goes on: a released parental lock stays released.
    LockOnStreamPause(this);
    CloseStream();
    NTSTATUS status = SetFormat();
    if (NT_SUCCESS(status) && running) status = RunStream();
    return status;
}

}  // namespace k0340

extern "C" NTSTATUS K0340DevDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    NTSTATUS status = KsInitializeDriver(DriverObject, RegistryPath, &k0340::kDeviceDescriptor);
    if (!NT_SUCCESS(status)) return status;
    k0340::g_ksUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = k0340::UnloadStub;
    return status;
}
