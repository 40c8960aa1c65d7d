// The system device enumerator as an application lists cameras: the video
// input category, each device's property bag and its binding to the proxy;
// servers unload when their objects are gone and a leaked object is found.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/com/com_runtime.h"
#include "platform/dshow/tests/dshow_fixture.h"
#include "platform/nt/pnp.h"
#include "setupapi.h"

namespace {

using namespace qk::dshow::testing;

std::u16string ReadString(IPropertyBag* bag, const char16_t* name, HRESULT* hr) {
    VARIANT value;
    VariantInit(&value);
    *hr = bag->Read(name, &value, nullptr);
    std::u16string text;
    if (SUCCEEDED(*hr) && value.vt == VT_BSTR) text.assign(value.bstrVal, SysStringLen(value.bstrVal));
    VariantClear(&value);
    return text;
}

class DeviceEnumTest : public DshowTest {};

TEST_F(DeviceEnumTest, TheCameraIsListedWithItsNameAndPath) {
    PlugCamera();
    FilterLink();
    IMoniker* moniker = FirstCamera();
    ASSERT_NE(moniker, nullptr);
    IPropertyBag* bag = nullptr;
    ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)), S_OK);
    HRESULT hr;
    EXPECT_EQ(ReadString(bag, u"FriendlyName", &hr), u"QK0340 Camera");
    EXPECT_EQ(hr, S_OK);
    std::u16string path = ReadString(bag, u"DevicePath", &hr);
    EXPECT_EQ(hr, S_OK);
    // The same path SetupAPI gives for the camera's video interface.
    auto video = qk::nt::pnp::Interfaces(KSCATEGORY_VIDEO);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(path, u"\\\\?\\" + video[0].symbolicLink.substr(4)) << Narrow(path);
    EXPECT_EQ(ReadString(bag, u"CLSID", &hr), qk::com::GuidString(CLSID_Proxy));
    ReadString(bag, u"NoSuchValue", &hr);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    VARIANT wrongType;
    VariantInit(&wrongType);
    wrongType.vt = VT_I4;
    EXPECT_EQ(bag->Read(u"FriendlyName", &wrongType, nullptr), DISP_E_TYPEMISMATCH);
    VARIANT rename;
    VariantInit(&rename);
    EXPECT_EQ(bag->Write(u"FriendlyName", &rename), E_ACCESSDENIED);
    bag->Release();

    LPOLESTR display = nullptr;
    ASSERT_EQ(moniker->GetDisplayName(nullptr, nullptr, &display), S_OK);
    EXPECT_EQ(std::u16string(display), u"@device:pnp:" + path);
    CoTaskMemFree(display);
    EXPECT_EQ(moniker->IsEqual(moniker), S_OK);
    moniker->Release();
}

TEST_F(DeviceEnumTest, WithoutACameraTheCategoryIsEmpty) {
    ICreateDevEnum* devices = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               reinterpret_cast<void**>(&devices)),
              S_OK);
    IEnumMoniker* list = reinterpret_cast<IEnumMoniker*>(0x1);
    EXPECT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0), S_FALSE);
    EXPECT_EQ(list, nullptr);
    // Another category is empty too.
    EXPECT_EQ(devices->CreateClassEnumerator(CLSID_Proxy, &list, 0), S_FALSE);
    EXPECT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, nullptr, 0), E_POINTER);
    devices->Release();
}

TEST_F(DeviceEnumTest, TheListEndsAndClonesKeepTheirPlace) {
    PlugCamera();
    FilterLink();
    ICreateDevEnum* devices = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               reinterpret_cast<void**>(&devices)),
              S_OK);
    IEnumMoniker* list = nullptr;
    ASSERT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0), S_OK);
    devices->Release();
    IMoniker* monikers[3] = {};
    ULONG fetched = 99;
    EXPECT_EQ(list->Next(3, monikers, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    monikers[0]->Release();
    EXPECT_EQ(list->Next(3, monikers, nullptr), E_INVALIDARG);
    list->Reset();
    IEnumMoniker* copy = nullptr;
    ASSERT_EQ(list->Clone(&copy), S_OK);
    EXPECT_EQ(list->Skip(2), S_FALSE);
    EXPECT_EQ(list->Next(1, monikers, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(copy->Next(1, monikers, &fetched), S_OK);  // the clone was taken at the start
    monikers[0]->Release();
    copy->Release();
    list->Release();
}

TEST_F(DeviceEnumTest, BindingGivesTheProxyAndServersUnloadWhenAllIsReleased) {
    PlugCamera();
    FilterLink();
    IBaseFilter* filter = CameraFilter();
    ASSERT_NE(filter, nullptr);
    CLSID clsid;
    EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_Proxy));
    FILTER_INFO info;
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName), u"QK0340 Camera");
    EXPECT_EQ(info.pGraph, nullptr);
    auto loaded = qk::com::LoadedServers();
    EXPECT_EQ(loaded.size(), 2u);
    CoFreeUnusedLibraries();  // the proxy is in use; the enumerator is not
    EXPECT_EQ(qk::com::LoadedServers().size(), 1u);
    filter->Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(qk::com::LoadedServers().empty());
}

TEST_F(DeviceEnumTest, AnObjectLeftAliveIsReportedAtProcessEnd) {
    ICreateDevEnum* devices = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               reinterpret_cast<void**>(&devices)),
              S_OK);
    RestartMachine();
    EXPECT_EQ(TakeViolations(qk::verifier::Violation::ComObjectLeak), 1u);
    // The enumerator holds nothing of the old machine; letting it go now
    // keeps the count right for the cases after this one.
    devices->Release();
}

}  // namespace
