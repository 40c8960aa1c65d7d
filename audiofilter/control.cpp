// The control device's requests: feature switching and queries, device
// information, levels, formats, and the twenty event waiters. Buffered I/O:
// the system buffer holds the input and takes the output. A device index is
// the buffer's first byte, the position in arrival order.
#include "audiofilter/capture_processor.h"
#include "audiofilter/echo_canceller.h"
#include "audiofilter/filter.h"
#include "common/usb_ids.h"
#include "usb.h"
#include "usbdlib.h"

namespace k0340aud {

namespace {

// Walks the device list: under the control lock, or under the list mutex
// for the feature switching, which writes the registry as it goes.
template <typename Visit>
void ForEachDevice(Visit visit) {
    ControlExtension* control = Control();
    for (LIST_ENTRY* e = control->devices.Flink; e != &control->devices; e = e->Flink) {
        FilterExtension* f = CONTAINING_RECORD(e, FilterExtension, link);
        if (f->owner == nullptr || !visit(f)) return;
    }
}

FilterExtension* DeviceAt(ULONG index) {
    ControlExtension* control = Control();
    if (index >= static_cast<ULONG>(control->deviceCount)) return nullptr;
    FilterExtension* found = nullptr;
    ULONG i = 0;
    ForEachDevice([&](FilterExtension* f) {
        if (i++ != index) return true;
        found = f;
        return false;
    });
    return found;
}

FilterExtension* FirstDevice() { return DeviceAt(0); }

void Put32(void* buffer, ULONG offset, ULONG value) { RtlCopyMemory(static_cast<UCHAR*>(buffer) + offset, &value, 4); }
ULONG Get32(const void* buffer, ULONG offset) {
    ULONG value;
    RtlCopyMemory(&value, static_cast<const UCHAR*>(buffer) + offset, 4);
    return value;
}

// ---- Feature switching --------------------------------------------------------------------------

void Send(FilterExtension* f, ULONG feature, ULONG value) { f->captureProcessor->SetFeature(feature, value); }

void SwitchFeature(FilterExtension* f, ULONG feature, ULONG requested) {
    const bool off = f->profile == Profile::Off;
    const ULONG on = requested != 0;
    switch (feature) {
        case FEATURE_NOISEGUARD:
            f->noiseGuardOn = off ? 0 : on;
            Send(f, FEATURE_NOISEGUARD, f->noiseGuardOn);
            if (f->noiseGuardOn) f->echoQuellOn = 0;
            break;
        case FEATURE_BFA:
            f->bfaOn = !off && f->stereoSupported && (f->arrayInstalled || f->bfa3Available) ? on : 0;
            Send(f, FEATURE_BFA, f->bfaOn);
            if (f->bfaOn) {
                f->bfa3On = 0;
                Send(f, FEATURE_BFA3, 0);
                f->echoQuellOn = 0;
            }
            break;
        case FEATURE_ECHOQUELL:
            f->echoQuellOn = f->echoQuellAvailable ? on : 0;
            if (f->echoQuellOn) {
                f->noiseGuardOn = f->bfaOn = f->bfa3On = 0;
                Send(f, FEATURE_NOISEGUARD, 0);
                Send(f, FEATURE_BFA, 0);
                Send(f, FEATURE_BFA3, 0);
            }
            // A running canceller is told to cancel or pass through.
            if (EchoCanceller* c = AcquireCanceller(f)) {
                c->SetEnabled(f->echoQuellOn != 0);
                c->Release();
            }
            break;
        case FEATURE_BFA3:
            f->bfa3On = f->bfa3Available ? on : 0;
            Send(f, FEATURE_BFA3, f->bfa3On);
            if (f->bfa3On) {
                f->bfaOn = 0;
                Send(f, FEATURE_BFA, 0);
                f->echoQuellOn = 0;
            }
            break;
        default: break;
    }
}

NTSTATUS SetFeature(const FeatureRequest& request) {
    if (request.feature > FEATURE_BFA3) return STATUS_SUCCESS;
    ControlExtension* control = Control();
    KeWaitForSingleObject(&control->listMutex, Executive, KernelMode, FALSE, nullptr);
    ForEachDevice([&](FilterExtension* f) {
        if (f->captureProcessor == nullptr) return false;  // not started: the walk ends here
        // A switch before the stored values were read would act on empty
        // availability and save it over them.
        if (f->settingsPending) LoadSettings(f);
        SwitchFeature(f, request.feature, request.enabled);
        SaveSettings(f);
        return true;
    });
    KeReleaseMutex(&control->listMutex, FALSE);
    return STATUS_SUCCESS;
}

void GetFeature(FeatureRequest* request) {
    ControlExtension* control = Control();
    KeWaitForSingleObject(&control->listMutex, Executive, KernelMode, FALSE, nullptr);
    FilterExtension* first = FirstDevice();
    if (first != nullptr && first->started && first->settingsPending) LoadSettings(first);
    ULONG available = 0, enabled = 0;
    if (first != nullptr && first->started) {
        KIRQL old;
        KeAcquireSpinLock(&control->lock, &old);
        ForEachDevice([&](FilterExtension* f) {
            switch (request->feature) {
                case FEATURE_NOISEGUARD:
                    available = 1;
                    enabled |= f->noiseGuardOn != 0;
                    break;
                case FEATURE_BFA:
                    available |= (f->arrayInstalled || f->bfa3Available) && f->captureChannels > 1;
                    enabled |= f->bfaOn != 0;
                    break;
                case FEATURE_ECHOQUELL:
                    available |= f->echoQuellAvailable != 0;
                    enabled |= f->echoQuellOn != 0;
                    break;
                case FEATURE_BFA3:
                    available |= f->bfa3Available && f->captureChannels > 1;
                    enabled |= f->bfa3On != 0;
                    break;
                default: break;
            }
            return true;
        });
        KeReleaseSpinLock(&control->lock, old);
    }
    KeReleaseMutex(&control->listMutex, FALSE);
    request->available = available;
    request->enabled = enabled;
}

// ---- Descriptors ------------------------------------------------------------------------------------

// Reads a descriptor of the device below into `buffer`; returns the bytes read (0 on failure).
ULONG ReadDescriptor(FilterExtension* f, UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length) {
    auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), kPoolTag));
    if (urb == nullptr) return 0;
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, buffer, nullptr,
                                 length, nullptr);
    ULONG read = 0;
    if (NT_SUCCESS(SendUrb(f->lowerDevice, urb))) read = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePoolWithTag(urb, kPoolTag);
    return read;
}

ULONG GetConfigDescriptor(FilterExtension* f, UCHAR* out, ULONG length) {
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, length, kPoolTag));
    if (buffer == nullptr) return 0;
    const ULONG read = ReadDescriptor(f, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, length);
    ULONG information = 0;
    if (read >= 4) {
        const ULONG total = ULONG(buffer[2]) | ULONG(buffer[3]) << 8;
        information = total < read ? total : read;
        RtlCopyMemory(out, buffer, information);
    }
    ExFreePoolWithTag(buffer, kPoolTag);
    return information;
}

// The string table: {16-bit total, eight 16-bit offsets relative to byte 18,
// the strings in the ANSI code page, each zero-terminated}.
ULONG GetStrings(FilterExtension* f, UCHAR* out, ULONG length) {
    const uint16_t vendor = uint16_t(f->deviceDescriptor[8] | f->deviceDescriptor[9] << 8);
    const uint16_t product = uint16_t(f->deviceDescriptor[10] | f->deviceDescriptor[11] << 8);
    if (vendor == qk::ids::kCameraVendorId || vendor == kMarkerOff ||
        (vendor == qk::ids::kPartnerVendorD && product == 10)) {
        return 0;
    }
    auto* raw = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 260, kPoolTag));
    if (raw == nullptr) return 0;
    constexpr ULONG kHeader = 20;
    USHORT offsets[8];
    ULONG used = 0;  // bytes of strings stored after byte 18
    for (UCHAR i = 0; i < 8; ++i) {
        offsets[i] = 0xFFFF;
        const ULONG read = ReadDescriptor(f, USB_STRING_DESCRIPTOR_TYPE, i, 0x0409, raw, 260);
        if (read < 2 || raw[1] != USB_STRING_DESCRIPTOR_TYPE) continue;
        ULONG bytes = raw[0] < read ? raw[0] : read;
        if (bytes < 2) continue;
        UNICODE_STRING text;
        text.Buffer = reinterpret_cast<PWCHAR>(raw + 2);
        text.Length = text.MaximumLength = static_cast<USHORT>((bytes - 2) & ~1u);
        ANSI_STRING ansi{};
        if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansi, &text, TRUE))) continue;
        const ULONG need = ULONG(ansi.Length) + 1;
        if (used + need + kHeader <= length) {
            RtlCopyMemory(out + 18 + used, ansi.Buffer, ansi.Length);
            out[18 + used + ansi.Length] = 0;
            offsets[i] = static_cast<USHORT>(used);
            used += need;
        }
        RtlFreeAnsiString(&ansi);
    }
    ExFreePoolWithTag(raw, kPoolTag);
    const USHORT total = static_cast<USHORT>(used == 0 ? 0 : used + kHeader);
    RtlCopyMemory(out, &total, 2);
    RtlCopyMemory(out + 2, offsets, sizeof offsets);
    return total;
}

// ---- Waiters ----------------------------------------------------------------------------------------------

VOID CancelWaiter(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ControlExtension* control = Control();
    bool found = false;
    KIRQL old;
    KeAcquireSpinLock(&control->lock, &old);
    for (PIRP& slot : control->waiters) {
        if (slot == irp) {
            slot = nullptr;
            found = true;
        }
    }
    KeReleaseSpinLock(&control->lock, old);
    if (found) CompleteRequest(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Wait(PIRP irp, ULONG outputLength) {
    ControlExtension* control = Control();
    if (irp->AssociatedIrp.SystemBuffer == nullptr || outputLength < 8) {
        ReleaseAllWaiters();
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    KIRQL old;
    KeAcquireSpinLock(&control->lock, &old);
    for (PIRP& slot : control->waiters) {
        if (slot != nullptr) continue;
        IoMarkIrpPending(irp);
        slot = irp;
        IoSetCancelRoutine(irp, CancelWaiter);
        // Cancelled before the routine was set: it goes back now.
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            slot = nullptr;
            KeReleaseSpinLock(&control->lock, old);
            CompleteRequest(irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
        KeReleaseSpinLock(&control->lock, old);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&control->lock, old);
    return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
}

// Takes every waiter out whose cancel routine is not already running (that
// one completes the request itself), completes those that `matches` accepts
// with {type, detail} and puts the others back.
template <typename Matches>
void Signal(uint32_t type, const uint32_t* detail, Matches matches) {
    if (g_controlDevice == nullptr) return;
    ControlExtension* control = Control();
    PIRP taken[kWaiterSlots];
    ULONG count = 0;
    KIRQL old;
    KeAcquireSpinLock(&control->lock, &old);
    for (PIRP& slot : control->waiters) {
        if (slot != nullptr && IoSetCancelRoutine(slot, nullptr) != nullptr) {
            taken[count++] = slot;
            slot = nullptr;
        }
    }
    KeReleaseSpinLock(&control->lock, old);
    PIRP keep[kWaiterSlots];
    ULONG kept = 0;
    for (ULONG i = 0; i < count; ++i) {
        PIRP irp = taken[i];
        void* buffer = irp->AssociatedIrp.SystemBuffer;
        if (!matches(Get32(buffer, 0))) {
            keep[kept++] = irp;
            continue;
        }
        Put32(buffer, 0, type);
        if (detail != nullptr) Put32(buffer, 4, *detail);
        CompleteRequest(irp, STATUS_SUCCESS, 8);
    }
    // Back into free slots. New waiters may have taken slots meanwhile; one
    // that finds none is released (type 2) rather than lost.
    PIRP released[kWaiterSlots];
    ULONG releasedCount = 0;
    KeAcquireSpinLock(&control->lock, &old);
    for (ULONG i = 0; i < kept; ++i) {
        PIRP irp = keep[i];
        PIRP* free = nullptr;
        for (PIRP& slot : control->waiters) {
            if (slot == nullptr) {
                free = &slot;
                break;
            }
        }
        if (free == nullptr) {
            released[releasedCount++] = irp;
            continue;
        }
        *free = irp;
        IoSetCancelRoutine(irp, CancelWaiter);
        // Cancelled while it was out: the cancel routine found nothing then.
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            *free = nullptr;
            irp->IoStatus.Status = STATUS_CANCELLED;
            released[releasedCount++] = irp;
        }
    }
    KeReleaseSpinLock(&control->lock, old);
    for (ULONG i = 0; i < releasedCount; ++i) {
        PIRP irp = released[i];
        if (irp->IoStatus.Status == STATUS_CANCELLED) {
            CompleteRequest(irp, STATUS_CANCELLED, 0);
        } else {
            Put32(irp->AssociatedIrp.SystemBuffer, 0, kEventReleased);
            CompleteRequest(irp, STATUS_SUCCESS, 8);
        }
    }
}

}  // namespace

void SignalEvent(uint32_t type, uint32_t detail) {
    Signal(type, &detail, [type, detail](uint32_t mask) {
        if (type == kEventDevices) return (mask & kWaitDeviceEvents) != 0;
        const bool capture = detail == 1 || detail == 3;
        return (mask & (capture ? kWaitCaptureEvents : kWaitRenderEvents)) != 0;
    });
}

void ReleaseAllWaiters() {
    Signal(kEventReleased, nullptr, [](uint32_t) { return true; });
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (device != g_controlDevice) {
        // A handle that outlived the control device: no devices are left, and
        // nobody would ever signal a waiter, so it goes back released.
        if (code == IOCTL_AUDFLT_WAIT_EVENT && buffer != nullptr && out >= 8) {
            Put32(buffer, 0, kEventReleased);
            return CompleteRequest(irp, STATUS_SUCCESS, 8);
        }
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    ControlExtension* control = Control();

    if (code == IOCTL_AUDFLT_WAIT_EVENT) return Wait(irp, out);
    if (code == IOCTL_AUDFLT_ENABLE_METERS) {
        KIRQL old;
        KeAcquireSpinLock(&control->lock, &old);
        ForEachDevice([](FilterExtension* f) {
            if (f->captureProcessor != nullptr) f->metersOn = 1;
            return true;
        });
        KeReleaseSpinLock(&control->lock, old);
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
    }

    // Minimum sizes: {input, output} per code.
    struct Rule {
        ULONG code, minimumIn, minimumOut;
    };
    static constexpr Rule kRules[] = {
        {IOCTL_AUDFLT_SET_FEATURE, sizeof(FeatureRequest), 0},
        {IOCTL_AUDFLT_GET_FEATURE, 0, sizeof(FeatureRequest)},
        {IOCTL_AUDFLT_GET_CONFIG_DESCRIPTOR, 0, 9},
        {IOCTL_AUDFLT_GET_STREAM_STATE, 0, 4},
        {IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, 0, 18},
        {IOCTL_AUDFLT_GET_STRINGS, 0, 20},
        {IOCTL_AUDFLT_GET_DEVICE_COUNT, 0, 4},
        {IOCTL_AUDFLT_READ_ECHO_TRACE, 0, 1},
        {IOCTL_AUDFLT_READ_ECHO_REFERENCE, 0, 1},
        {IOCTL_AUDFLT_GET_ECHO_REDUCTION, 0, 4},
        {IOCTL_AUDFLT_GET_LAST_CAPTURE_SIZE, 0, 4},
        {IOCTL_AUDFLT_GET_LEVEL, 0, 4},
        {IOCTL_AUDFLT_SET_ARRAY_INSTALLED, 4, 0},
        {IOCTL_AUDFLT_GET_ARRAY_INSTALLED, 0, 4},
        {IOCTL_AUDFLT_GET_STEREO_SUPPORTED, 0, 4},
        {IOCTL_AUDFLT_HAS_ARRAY_CODEC, 0, 4},
        {IOCTL_AUDFLT_GET_FORMATS, 0, 24},
        {IOCTL_AUDFLT_SET_PUSH_TO_TALK, 4, 0},
        {IOCTL_AUDFLT_GET_ECHO_DELAY, 0, 4},
    };
    const Rule* rule = nullptr;
    for (const Rule& r : kRules) {
        if (r.code == code) rule = &r;
    }
    if (rule == nullptr) return CompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
    if (buffer == nullptr) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (in < rule->minimumIn || out < rule->minimumOut) return CompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
    // Requests that name a device read the index before the output overwrites it.
    const ULONG index = in >= 1 ? buffer[0] : 0;

    ULONG_PTR information = 0;
    switch (code) {
        case IOCTL_AUDFLT_SET_FEATURE: {
            FeatureRequest request;
            RtlCopyMemory(&request, buffer, sizeof request);
            SetFeature(request);
            break;
        }
        case IOCTL_AUDFLT_GET_FEATURE: {
            FeatureRequest request;
            RtlZeroMemory(&request, sizeof request);
            RtlCopyMemory(&request, buffer, in < sizeof request ? in : sizeof request);
            GetFeature(&request);
            RtlCopyMemory(buffer, &request, sizeof request);
            information = sizeof request;
            break;
        }
        case IOCTL_AUDFLT_GET_CONFIG_DESCRIPTOR: {
            KeWaitForSingleObject(&control->listMutex, Executive, KernelMode, FALSE, nullptr);
            FilterExtension* f = DeviceAt(index);
            if (f != nullptr && f->started) information = GetConfigDescriptor(f, buffer, out);
            KeReleaseMutex(&control->listMutex, FALSE);
            break;
        }
        case IOCTL_AUDFLT_GET_STRINGS: {
            KeWaitForSingleObject(&control->listMutex, Executive, KernelMode, FALSE, nullptr);
            FilterExtension* f = DeviceAt(index);
            if (f != nullptr && f->deviceDescriptor != nullptr) information = GetStrings(f, buffer, out);
            KeReleaseMutex(&control->listMutex, FALSE);
            break;
        }
        case IOCTL_AUDFLT_SET_ARRAY_INSTALLED: {
            const ULONG value = Get32(buffer, 0);
            WriteArrayInstalled(value);
            KIRQL old;
            KeAcquireSpinLock(&control->lock, &old);
            ForEachDevice([value](FilterExtension* f) {
                f->arrayInstalled = value;
                return true;
            });
            KeReleaseSpinLock(&control->lock, old);
            break;
        }
        case IOCTL_AUDFLT_SET_PUSH_TO_TALK: {
            const ULONG value = Get32(buffer, 0);
            KIRQL old;
            KeAcquireSpinLock(&control->lock, &old);
            ForEachDevice([value](FilterExtension* f) {
                switch (value) {
                    case 1: f->pushToTalkOn = 1; f->talkKeyDown = 0; break;
                    case 2: f->talkKeyDown = 1; break;
                    case 3: f->talkKeyDown = 0; break;
                    default: f->pushToTalkOn = 0; break;
                }
                return true;
            });
            KeReleaseSpinLock(&control->lock, old);
            break;
        }
        default: {
            // The reading requests: per-device values under the lock.
            KIRQL old;
            KeAcquireSpinLock(&control->lock, &old);
            FilterExtension* first = FirstDevice();
            switch (code) {
                case IOCTL_AUDFLT_GET_STREAM_STATE: {
                    ULONG state = 0;
                    ForEachDevice([&state](FilterExtension* f) {
                        state |= (f->captureRunning ? 1u : 0u) | (f->renderRunning ? 2u : 0u);
                        return true;
                    });
                    Put32(buffer, 0, state);
                    information = 4;
                    break;
                }
                case IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR: {
                    FilterExtension* f = DeviceAt(index);
                    if (f != nullptr && f->deviceDescriptor != nullptr) {
                        RtlCopyMemory(buffer, f->deviceDescriptor, 18);
                        information = 18;
                    }
                    break;
                }
                case IOCTL_AUDFLT_GET_DEVICE_COUNT:
                    Put32(buffer, 0, static_cast<ULONG>(control->deviceCount));
                    information = 4;
                    break;
                case IOCTL_AUDFLT_READ_ECHO_TRACE:
                case IOCTL_AUDFLT_READ_ECHO_REFERENCE:
                case IOCTL_AUDFLT_GET_ECHO_REDUCTION: {
                    // Calibration buffers and the figure exist only while an echo
                    // canceller does; under its lock it cannot go meanwhile.
                    ULONG reduction = 0;
                    if (first != nullptr) {
                        KeAcquireSpinLockAtDpcLevel(&first->echoLock);
                        if (const EchoCanceller* c = first->echoCanceller) {
                            if (code == IOCTL_AUDFLT_READ_ECHO_TRACE) information = c->ReadResponse(buffer, out);
                            if (code == IOCTL_AUDFLT_READ_ECHO_REFERENCE) information = c->ReadReference(buffer, out);
                            reduction = c->EchoReduction();
                        }
                        KeReleaseSpinLockFromDpcLevel(&first->echoLock);
                    }
                    if (code == IOCTL_AUDFLT_GET_ECHO_REDUCTION) {
                        Put32(buffer, 0, reduction);
                        information = 4;
                    }
                    break;
                }
                case IOCTL_AUDFLT_GET_LAST_CAPTURE_SIZE:
                    Put32(buffer, 0, first != nullptr ? first->lastCaptureSize : 0);
                    information = 4;
                    break;
                case IOCTL_AUDFLT_GET_LEVEL: {
                    const ULONG which = in >= 4 ? Get32(buffer, 0) : 0;
                    LONG peak = 0;
                    if (first != nullptr) peak = which == 1 ? first->captureMeter.peak : first->renderMeter.peak;
                    Put32(buffer, 0, static_cast<ULONG>(peak));
                    information = 4;
                    break;
                }
                case IOCTL_AUDFLT_GET_ARRAY_INSTALLED: {
                    bool any = false;
                    ForEachDevice([&](FilterExtension* f) {
                        if (f->profile != Profile::ArrayCodec) return true;
                        Put32(buffer, 0, f->arrayInstalled);
                        any = true;
                        return false;
                    });
                    information = control->deviceCount > 0 ? 4 : 0;
                    (void)any;
                    break;
                }
                case IOCTL_AUDFLT_GET_STEREO_SUPPORTED:
                    Put32(buffer, 0, first != nullptr ? first->stereoSupported : 0);
                    information = 4;
                    break;
                case IOCTL_AUDFLT_HAS_ARRAY_CODEC: {
                    ULONG has = 0;
                    ForEachDevice([&has](FilterExtension* f) {
                        has |= f->profile == Profile::ArrayCodec;
                        return true;
                    });
                    if (control->deviceCount > 0) {
                        Put32(buffer, 0, has);
                        information = 4;
                    }
                    break;
                }
                case IOCTL_AUDFLT_GET_FORMATS: {
                    ULONG values[6] = {};
                    if (first != nullptr) {
                        values[0] = first->captureRate;
                        values[1] = first->captureBits;
                        values[2] = static_cast<ULONG>(first->captureChannels);
                        values[3] = first->renderRate;
                        values[4] = first->renderBits;
                        values[5] = static_cast<ULONG>(first->renderChannels);
                    }
                    RtlCopyMemory(buffer, values, sizeof values);
                    information = 24;
                    break;
                }
                case IOCTL_AUDFLT_GET_ECHO_DELAY:
                    if (first != nullptr) {
                        KeAcquireSpinLockAtDpcLevel(&first->echoLock);
                        if (const EchoCanceller* c = first->echoCanceller) first->echoDelay = c->Delay();
                        KeReleaseSpinLockFromDpcLevel(&first->echoLock);
                    }
                    Put32(buffer, 0, first != nullptr ? static_cast<ULONG>(first->echoDelay) : 0);
                    information = 4;
                    break;
                default: break;
            }
            KeReleaseSpinLock(&control->lock, old);
            break;
        }
    }
    return CompleteRequest(irp, STATUS_SUCCESS, information);
}

}  // namespace k0340aud
