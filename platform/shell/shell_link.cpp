// The shell link object: one link's fields, given out and taken in through
// the ANSI and the wide interface alike, and kept in a .lnk file through
// IPersistFile (read and written with the machine's file calls).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/com_runtime.h"
#include "platform/shell/link_file.h"
#include "platform/shell/shell.h"
#include "shlobj.h"

namespace qk::shell {
namespace {

constexpr size_t kMaxLinkFile = 1 << 20;  // far above any link; more is no link
constexpr size_t kMaxText = 1024;          // the longest text a link field takes (INFOTIPSIZE)

qk::com::ObjectCount& ShellObjects() {
    static qk::com::ObjectCount objects;
    return objects;
}

// The machine's ANSI code page is Latin-1: what lies beyond it becomes '?'.
std::u16string FromAnsi(LPCSTR s) {
    std::u16string out;
    for (; s && *s; ++s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return out;
}
std::string ToAnsi(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    return out;
}

template <typename Char>
HRESULT CopyOut(const std::basic_string<Char>& text, Char* buffer, int cch) {
    if (!buffer || cch <= 0) return E_INVALIDARG;
    const size_t n = std::min(text.size(), static_cast<size_t>(cch) - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = 0;
    return S_OK;
}

HRESULT SetText(std::u16string* field, const std::u16string& value, bool* dirty) {
    if (value.size() >= kMaxText) return E_INVALIDARG;
    *field = value;
    *dirty = true;
    return S_OK;
}

HRESULT LastErrorResult() {
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

class ShellLink final : public IShellLinkA, public IShellLinkW, public IPersistFile {
public:
    ShellLink() { ShellObjects().Add(); }
    ~ShellLink() { ShellObjects().Remove(); }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IShellLinkA) {
            *ppv = static_cast<IShellLinkA*>(this);
        } else if (riid == IID_IShellLinkW) {
            *ppv = static_cast<IShellLinkW*>(this);
        } else if (riid == IID_IPersistFile || riid == IID_IPersist) {
            *ppv = static_cast<IPersistFile*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    // IShellLinkA
    HRESULT GetPath(LPSTR file, int cch, WIN32_FIND_DATAA* fd, DWORD) override {
        if (fd) FindData(fd);
        const HRESULT hr = CopyOut(ToAnsi(link_.path), file, cch);
        return FAILED(hr) ? hr : link_.path.empty() ? S_FALSE : S_OK;
    }
    HRESULT GetIDList(PIDLIST_ABSOLUTE* idList) override {
        if (idList) *idList = nullptr;
        return E_NOTIMPL;
    }
    HRESULT SetIDList(PCIDLIST_ABSOLUTE) override { return E_NOTIMPL; }
    HRESULT GetDescription(LPSTR name, int cch) override { return CopyOut(ToAnsi(link_.description), name, cch); }
    HRESULT SetDescription(LPCSTR name) override { return SetText(&link_.description, FromAnsi(name), &dirty_); }
    HRESULT GetWorkingDirectory(LPSTR dir, int cch) override { return CopyOut(ToAnsi(link_.workingDirectory), dir, cch); }
    HRESULT SetWorkingDirectory(LPCSTR dir) override { return SetText(&link_.workingDirectory, FromAnsi(dir), &dirty_); }
    HRESULT GetArguments(LPSTR args, int cch) override { return CopyOut(ToAnsi(link_.arguments), args, cch); }
    HRESULT SetArguments(LPCSTR args) override { return SetText(&link_.arguments, FromAnsi(args), &dirty_); }
    HRESULT GetHotkey(WORD* hotkey) override {
        if (!hotkey) return E_POINTER;
        *hotkey = link_.hotkey;
        return S_OK;
    }
    HRESULT SetHotkey(WORD hotkey) override {
        link_.hotkey = hotkey;
        dirty_ = true;
        return S_OK;
    }
    HRESULT GetShowCmd(int* show) override {
        if (!show) return E_POINTER;
        *show = link_.showCommand;
        return S_OK;
    }
    HRESULT SetShowCmd(int show) override {
        link_.showCommand = show;
        dirty_ = true;
        return S_OK;
    }
    HRESULT GetIconLocation(LPSTR path, int cch, int* icon) override {
        if (!icon) return E_POINTER;
        *icon = link_.iconIndex;
        return CopyOut(ToAnsi(link_.iconPath), path, cch);
    }
    HRESULT SetIconLocation(LPCSTR path, int icon) override {
        link_.iconIndex = icon;
        return SetText(&link_.iconPath, FromAnsi(path), &dirty_);
    }
    HRESULT SetRelativePath(LPCSTR path, DWORD) override { return SetText(&link_.relativePath, FromAnsi(path), &dirty_); }
    HRESULT Resolve(HWND, DWORD) override { return S_OK; }  // the target is kept by its path; nothing to look for
    HRESULT SetPath(LPCSTR file) override { return SetPathW(FromAnsi(file)); }

    // IShellLinkW
    HRESULT GetPath(LPWSTR file, int cch, WIN32_FIND_DATAW* fd, DWORD) override {
        if (fd) FindData(fd);
        const HRESULT hr = CopyOut(link_.path, file, cch);
        return FAILED(hr) ? hr : link_.path.empty() ? S_FALSE : S_OK;
    }
    HRESULT GetDescription(LPWSTR name, int cch) override { return CopyOut(link_.description, name, cch); }
    HRESULT SetDescription(LPCWSTR name) override { return SetText(&link_.description, name ? name : u"", &dirty_); }
    HRESULT GetWorkingDirectory(LPWSTR dir, int cch) override { return CopyOut(link_.workingDirectory, dir, cch); }
    HRESULT SetWorkingDirectory(LPCWSTR dir) override { return SetText(&link_.workingDirectory, dir ? dir : u"", &dirty_); }
    HRESULT GetArguments(LPWSTR args, int cch) override { return CopyOut(link_.arguments, args, cch); }
    HRESULT SetArguments(LPCWSTR args) override { return SetText(&link_.arguments, args ? args : u"", &dirty_); }
    HRESULT GetIconLocation(LPWSTR path, int cch, int* icon) override {
        if (!icon) return E_POINTER;
        *icon = link_.iconIndex;
        return CopyOut(link_.iconPath, path, cch);
    }
    HRESULT SetIconLocation(LPCWSTR path, int icon) override {
        link_.iconIndex = icon;
        return SetText(&link_.iconPath, path ? path : u"", &dirty_);
    }
    HRESULT SetRelativePath(LPCWSTR path, DWORD) override { return SetText(&link_.relativePath, path ? path : u"", &dirty_); }
    HRESULT SetPath(LPCWSTR file) override { return SetPathW(file ? file : u""); }

    // IPersistFile
    HRESULT GetClassID(CLSID* id) override {
        if (!id) return E_POINTER;
        *id = CLSID_ShellLink;
        return S_OK;
    }
    HRESULT IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
    HRESULT Load(LPCOLESTR fileName, DWORD) override {
        if (!fileName || !*fileName) return E_INVALIDARG;
        HANDLE file = CreateFileW(fileName, GENERIC_READ, FILE_SHARE_READ_W, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return LastErrorResult();
        std::vector<uint8_t> bytes;
        uint8_t chunk[4096];
        DWORD got = 0;
        bool tooLarge = false;
        while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) {
            bytes.insert(bytes.end(), chunk, chunk + got);
            if (bytes.size() > kMaxLinkFile) {
                tooLarge = true;
                break;
            }
        }
        CloseHandle(file);
        LinkData read;
        std::string error;
        if (tooLarge || !ReadLink(bytes.data(), bytes.size(), &read, &error)) return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
        link_ = std::move(read);
        current_ = fileName;
        dirty_ = false;
        return S_OK;
    }
    HRESULT Save(LPCOLESTR fileName, BOOL remember) override {
        const std::u16string target = fileName && *fileName ? std::u16string(fileName) : current_;
        if (target.empty()) return E_INVALIDARG;
        const std::vector<uint8_t> bytes = WriteLink(link_);
        HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL_W, nullptr);
        if (file == INVALID_HANDLE_VALUE) return LastErrorResult();
        DWORD written = 0;
        const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        const HRESULT failed = ok && written == bytes.size() ? S_OK : LastErrorResult();
        CloseHandle(file);
        if (FAILED(failed)) return failed;
        if (remember || !fileName) {
            current_ = target;
            dirty_ = false;
        }
        return S_OK;
    }
    HRESULT SaveCompleted(LPCOLESTR) override { return S_OK; }
    HRESULT GetCurFile(LPOLESTR* fileName) override {
        if (!fileName) return E_POINTER;
        *fileName = static_cast<LPOLESTR>(CoTaskMemAlloc((current_.size() + 1) * sizeof(OLECHAR)));
        if (!*fileName) return E_OUTOFMEMORY;
        std::copy_n(current_.c_str(), current_.size() + 1, *fileName);
        return current_.empty() ? S_FALSE : S_OK;
    }

private:
    HRESULT SetPathW(const std::u16string& path) {
        if (path.size() >= MAX_PATH) return E_INVALIDARG;
        link_.path = path;
        dirty_ = true;
        return S_OK;
    }
    std::u16string BaseName() const {
        const size_t slash = link_.path.find_last_of(u'\\');
        return slash == std::u16string::npos ? link_.path : link_.path.substr(slash + 1);
    }
    void FindData(WIN32_FIND_DATAA* fd) const {
        std::memset(fd, 0, sizeof *fd);
        fd->dwFileAttributes = link_.fileAttributes;
        CopyOut(ToAnsi(BaseName()), fd->cFileName, MAX_PATH);
    }
    void FindData(WIN32_FIND_DATAW* fd) const {
        std::memset(fd, 0, sizeof *fd);
        fd->dwFileAttributes = link_.fileAttributes;
        CopyOut(BaseName(), fd->cFileName, MAX_PATH);
    }

    std::atomic<ULONG> references_{1};
    LinkData link_;
    std::u16string current_;
    bool dirty_ = false;
};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* link = new ShellLink;
        const HRESULT hr = static_cast<IShellLinkA*>(link)->QueryInterface(riid, ppv);
        static_cast<IShellLinkA*>(link)->Release();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock) ShellObjects().Add();
        else ShellObjects().Remove();
        return S_OK;
    }
};

HRESULT ShellGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    static Factory factory;
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_ShellLink) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, ppv);
}
HRESULT ShellCanUnloadNow() { return ShellObjects().CanUnloadNow(); }
HRESULT ShellRegister() { return qk::com::RegisterInprocClass(CLSID_ShellLink, u"Shortcut", u"shell32.dll", u"Both"); }
HRESULT ShellUnregister() { return qk::com::UnregisterInprocClass(CLSID_ShellLink); }

}  // namespace

HRESULT InstallShellServer() {
    static std::atomic<bool> builtIn{false};
    if (!builtIn.exchange(true)) {
        qk::com::RegisterBuiltinServer(u"shell32.dll", {ShellGetClassObject, ShellCanUnloadNow, ShellRegister, ShellUnregister});
    }
    return ShellRegister();
}

}  // namespace qk::shell
