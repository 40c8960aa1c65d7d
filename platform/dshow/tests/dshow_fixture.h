// A machine with the package installed, the platform's DirectShow servers
// registered and COM initialised on the test's thread, as an application
// starts. Objects left alive at the end of a case fail it (the COM runtime
// reports them when the machine shuts down).
#pragma once

#include <string>

#include "capture/tests/capture_fixture.h"
#include "platform/dshow/dshow_servers.h"
#include "strmif.h"

namespace qk::dshow::testing {

class DshowTest : public k0340::testing::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(InstallSystemServers(), S_OK);
    }
    void TearDown() override {
        CoUninitialize();
        CaptureTest::TearDown();
    }

    // The first video input device, or null with a test failure.
    IMoniker* FirstCamera() {
        ICreateDevEnum* devices = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                      reinterpret_cast<void**>(&devices));
        EXPECT_EQ(hr, S_OK);
        if (FAILED(hr)) return nullptr;
        IEnumMoniker* list = nullptr;
        hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0);
        devices->Release();
        EXPECT_EQ(hr, S_OK);
        if (hr != S_OK) return nullptr;
        IMoniker* moniker = nullptr;
        EXPECT_EQ(list->Next(1, &moniker, nullptr), S_OK);
        list->Release();
        return moniker;
    }

    // The camera's proxy filter, or null with a test failure.
    IBaseFilter* CameraFilter() {
        IMoniker* moniker = FirstCamera();
        if (moniker == nullptr) return nullptr;
        IBaseFilter* filter = nullptr;
        EXPECT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
        moniker->Release();
        return filter;
    }

    // The filter's first output pin.
    static IPin* OutputPin(IBaseFilter* filter) {
        IEnumPins* pins = nullptr;
        if (FAILED(filter->EnumPins(&pins))) return nullptr;
        IPin* pin = nullptr;
        IPin* found = nullptr;
        while (found == nullptr && pins->Next(1, &pin, nullptr) == S_OK) {
            PIN_DIRECTION direction;
            if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT) {
                found = pin;
            } else {
                pin->Release();
            }
        }
        pins->Release();
        return found;
    }

    template <class Interface>
    static Interface* Query(IUnknown* object, REFIID iid) {
        Interface* out = nullptr;
        if (FAILED(object->QueryInterface(iid, reinterpret_cast<void**>(&out)))) return nullptr;
        return out;
    }
};

inline std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

}  // namespace qk::dshow::testing
