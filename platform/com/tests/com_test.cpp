// The COM runtime as programs use it: apartments, activation through the
// class registry, the servers' modules, task memory, strings, and the check
// at process end that finds leaked objects.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "objbase.h"
#include "platform/com/com_runtime.h"
#include "platform/nt/testing/machine_test.h"
#include "platform/nt/verifier.h"
#include "platform/win32/module_table.h"
#include "windows.h"

namespace {

// {A1B2C3D4-0001-4000-8000-00AA00BB00CC}
DEFINE_GUID(CLSID_TestThing, 0xA1B2C3D4, 0x0001, 0x4000, 0x80, 0x00, 0x00, 0xAA, 0x00, 0xBB, 0x00, 0xCC);
DEFINE_GUID(IID_ITestThing, 0xA1B2C3D4, 0x0002, 0x4000, 0x80, 0x00, 0x00, 0xAA, 0x00, 0xBB, 0x00, 0xCC);

qk::com::ObjectCount g_objects;
std::atomic<int> g_factoryCalls{0};

struct ITestThing : IUnknown {
    virtual int Answer() = 0;
};

class Thing final : public ITestThing {
public:
    Thing() { g_objects.Add(); }
    ~Thing() { g_objects.Remove(); }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITestThing) {
            *ppv = static_cast<ITestThing*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    int Answer() override { return 42; }

private:
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        ++g_factoryCalls;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* thing = new Thing();
        HRESULT hr = thing->QueryInterface(riid, ppv);
        thing->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};
Factory g_factory;

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (clsid != CLSID_TestThing) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}
HRESULT CanUnloadNow() { return g_objects.CanUnloadNow(); }

class ComTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        qk::com::RegisterBuiltinServer(u"qktest.dll", {GetClassObject, CanUnloadNow, nullptr, nullptr});
    }
    void Register() {
        ASSERT_EQ(qk::com::RegisterInprocClass(CLSID_TestThing, u"Test thing", u"QkTest.dll", u"Both"), S_OK);
    }
};

TEST_F(ComTest, ApartmentsCountTheirInitialisationsAndKeepTheirModel) {
    EXPECT_FALSE(qk::com::ThreadInitialised());
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_TRUE(qk::com::ThreadInitialised());
    CoUninitialize();
    EXPECT_FALSE(qk::com::ThreadInitialised());
    // Another thread has an apartment of its own.
    std::thread other([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
    other.join();
    // A machine that ends takes the thread's apartment with it.
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    RestartMachine();
    EXPECT_FALSE(qk::com::ThreadInitialised());
}

TEST_F(ComTest, ActivationGoesThroughTheClassRegistry) {
    ITestThing* thing = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing,
                               reinterpret_cast<void**>(&thing)),
              CO_E_NOTINITIALIZED);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing,
                               reinterpret_cast<void**>(&thing)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(thing, nullptr);
    Register();
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestThing,
                               reinterpret_cast<void**>(&thing)),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing,
                               reinterpret_cast<void**>(&thing)),
              S_OK);
    EXPECT_EQ(thing->Answer(), 42);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                               reinterpret_cast<void**>(&unknown)),
              E_NOINTERFACE);
    // The server stays loaded while it has objects.
    CoFreeUnusedLibraries();
    EXPECT_EQ(qk::com::LoadedServers().size(), 1u);
    thing->Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(qk::com::LoadedServers().empty());
    CoUninitialize();
}

TEST_F(ComTest, AServerThatIsMissingOrNotAServerIsRefused) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(qk::com::RegisterInprocClass(CLSID_TestThing, u"Gone", u"Nowhere.dll", u"Both"), S_OK);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              CO_E_DLLNOTFOUND);
    qk::win32::RegisterBuiltinModule(u"NotAServer.dll", {{"Something", nullptr}});
    ASSERT_EQ(qk::com::RegisterInprocClass(CLSID_TestThing, u"Odd", u"NotAServer.dll", u"Both"), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              CO_E_ERRORINDLL);
    EXPECT_TRUE(qk::win32::LoadedCodeModules().empty());
    EXPECT_EQ(qk::com::UnregisterInprocClass(CLSID_TestThing), S_OK);
    HKEY key;
    EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + qk::com::GuidString(CLSID_TestThing)).c_str(), 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    CoUninitialize();
}

TEST_F(ComTest, AnObjectLeftAliveAtProcessEndIsReported) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    Register();
    ITestThing* thing = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing,
                               reinterpret_cast<void**>(&thing)),
              S_OK);
    RestartMachine();
    EXPECT_EQ(TakeViolations(qk::verifier::Violation::ComObjectLeak), 1u);
    thing->Release();
}

TEST(GuidStrings, RoundTripInEitherCaseAndRefuseMalformedText) {
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(CLSID_TestThing, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{A1B2C3D4-0001-4000-8000-00AA00BB00CC}");
    EXPECT_EQ(StringFromGUID2(CLSID_TestThing, text, 38), 0);
    CLSID back{};
    EXPECT_EQ(CLSIDFromString(u"{a1b2c3d4-0001-4000-8000-00aa00bb00cc}", &back), S_OK);
    EXPECT_EQ(back, CLSID_TestThing);
    for (const char16_t* bad : {u"", u"{A1B2C3D4-0001-4000-8000-00AA00BB00CC", u"A1B2C3D4-0001-4000-8000-00AA00BB00CC}",
                                u"{A1B2C3D4-0001-4000-8000-00AA00BB00CG}", u"{A1B2C3D4-0001-4000-800000AA00BB00CC}",
                                u"{A1B2C3D4-0001-4000-8000-00AA00BB00CC}x"}) {
        SCOPED_TRACE(std::string(bad, bad + std::char_traits<char16_t>::length(bad)));
        EXPECT_EQ(CLSIDFromString(bad, &back), CO_E_CLASSSTRING);
        EXPECT_EQ(back, GUID_NULL);
    }
    EXPECT_EQ(CLSIDFromString(nullptr, &back), CO_E_CLASSSTRING);
}

TEST(OleAutomation, StringsKeepTheirLengthAndVariantsOwnTheirValues) {
    BSTR text = SysAllocStringLen(u"ab\0cd", 5);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 5u);
    EXPECT_EQ(SysStringByteLen(text), 10u);
    EXPECT_EQ(text[5], 0);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x7FFFFFFF), nullptr);
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    a.vt = VT_BSTR;
    a.bstrVal = text;
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_NE(b.bstrVal, a.bstrVal);
    EXPECT_EQ(std::u16string(b.bstrVal, SysStringLen(b.bstrVal)), std::u16string(u"ab\0cd", 5));
    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&b), S_OK);
}

}  // namespace
