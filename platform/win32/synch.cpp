// User-mode events, mutexes, threads and waits. They are handles of the
// machine's one handle table (CloseHandle closes them), and every wait runs
// on the platform clock, so a test in manual time decides when a timeout
// passes. One lock and one condition guard every state change of these
// objects: waits for any or all of several objects re-check them all when
// anything changes.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <functional>
#include <string>
#include <thread>

#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/object.h"
#include "platform/win32/overlapped.h"
#include "windows.h"

namespace qk::win32 {
namespace {

// The machine's only interactive session; services would be session 0.
constexpr DWORD kSession = 1;

std::mutex g_lock;  // guards every SyncObject's state and Namespace::objects
// Never destroyed: detached threads may still signal it while the process
// runs its exit handlers.
std::condition_variable& Changed() {
    static auto* changed = new std::condition_variable;
    return *changed;
}

struct SyncObject : qk::nt::KernelObject {
    enum class Kind { Event, Mutex, Thread, Semaphore } kind;
    explicit SyncObject(Kind k) : kind(k) {}
    const char* TypeName() const override {
        switch (kind) {
            case Kind::Event: return "Event";
            case Kind::Mutex: return "Mutant";
            case Kind::Semaphore: return "Semaphore";
            default: return "Thread";
        }
    }
    bool manualReset = false;
    bool signalled = false;
    std::thread::id owner;  // mutexes
    int recursion = 0;
    DWORD exitCode = STILL_ACTIVE;  // threads
    LONG count = 0, maximum = 0;    // semaphores
    std::u16string name;

    bool Ready(std::thread::id self) const {
        if (kind == Kind::Mutex) return recursion == 0 || owner == self;
        if (kind == Kind::Semaphore) return count > 0;
        return signalled;
    }
    // Called with g_lock held once the wait is satisfied.
    void Take(std::thread::id self) {
        if (kind == Kind::Mutex) {
            owner = self;
            ++recursion;
        } else if (kind == Kind::Event && !manualReset) {
            signalled = false;
        } else if (kind == Kind::Semaphore) {
            --count;
        }
    }
};

struct Namespace {
    explicit Namespace(Machine&) {}
    std::map<std::u16string, std::weak_ptr<SyncObject>> objects;  // under g_lock
};

// Handles this file made. A handle that never was one of them is the
// caller's error to see (ERROR_INVALID_HANDLE), not a verifier matter as a
// driver's bad handle is; one of them used after CloseHandle still is.
std::mutex g_handlesLock;  // guards g_handles
std::set<HANDLE> g_handles;

HANDLE Insert(std::shared_ptr<SyncObject> object, ACCESS_MASK access) {
    HANDLE h = qk::nt::InsertHandle(std::move(object), access);
    std::lock_guard guard(g_handlesLock);
    g_handles.insert(h);
    return h;
}

std::shared_ptr<SyncObject> Lookup(HANDLE h) {
    {
        std::lock_guard guard(g_handlesLock);
        if (!g_handles.count(h)) return nullptr;
    }
    std::shared_ptr<SyncObject> object;
    if (!NT_SUCCESS(qk::nt::LookupHandleAs(h, &object))) return nullptr;
    return object;
}

std::u16string Key(const std::u16string& name) {
    std::u16string n = name;
    for (char16_t& c : n) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    if (n.rfind(u"GLOBAL\\", 0) == 0) return n;
    if (n.rfind(u"LOCAL\\", 0) == 0) n = n.substr(6);
    return u"SESSION" + std::u16string(1, static_cast<char16_t>(u'0' + kSession)) + u"\\" + n;
}

std::u16string Wide(LPCSTR s) {
    std::u16string out;
    for (; s && *s; ++s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return out;
}

HANDLE CreateNamed(SyncObject::Kind kind, LPCWSTR name, const std::function<void(SyncObject&)>& init) {
    std::shared_ptr<SyncObject> object;
    bool existed = false;
    {
        std::lock_guard guard(g_lock);
        auto& ns = Machine::Current().Component<Namespace>();
        if (name && *name) {
            auto it = ns.objects.find(Key(name));
            if (it != ns.objects.end()) object = it->second.lock();
            if (object && object->kind != kind) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            existed = object != nullptr;
        }
        if (!object) {
            object = std::make_shared<SyncObject>(kind);
            init(*object);
            if (name && *name) {
                object->name = Key(name);
                ns.objects[object->name] = object;
            }
        }
    }
    HANDLE h = Insert(object, 0x001F0003);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE OpenNamed(SyncObject::Kind kind, LPCWSTR name) {
    std::shared_ptr<SyncObject> object;
    {
        std::lock_guard guard(g_lock);
        auto& ns = Machine::Current().Component<Namespace>();
        auto it = name ? ns.objects.find(Key(name)) : ns.objects.end();
        if (it != ns.objects.end()) object = it->second.lock();
    }
    if (!object || object->kind != kind) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return Insert(object, 0x001F0003);
}

int64_t Now() {
    auto* k = qk::nt::Kernel::GetOrNull();
    return k ? k->TheClock().Now() : 0;
}

}  // namespace

std::shared_ptr<void> HoldEvent(HANDLE event) {
    auto o = Lookup(event);
    if (!o || o->kind != SyncObject::Kind::Event) return nullptr;
    return o;
}

void SignalEvent(const std::shared_ptr<void>& event) {
    if (!event) return;
    {
        std::lock_guard guard(g_lock);
        static_cast<SyncObject*>(event.get())->signalled = true;
    }
    Changed().notify_all();
}

}  // namespace qk::win32

using namespace qk::win32;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    return CreateNamed(SyncObject::Kind::Event, name, [&](SyncObject& o) {
        o.manualReset = manualReset != 0;
        o.signalled = initialState != 0;
    });
}
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES a, BOOL manualReset, BOOL initialState, LPCSTR name) {
    const std::u16string wide = Wide(name);
    return CreateEventW(a, manualReset, initialState, name ? wide.c_str() : nullptr);
}
HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name) { return OpenNamed(SyncObject::Kind::Event, name); }
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name) {
    const std::u16string wide = Wide(name);
    return OpenEventW(access, inherit, name ? wide.c_str() : nullptr);
}

BOOL SetEvent(HANDLE event) {
    auto o = Lookup(event);
    if (!o || o->kind != SyncObject::Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard guard(g_lock);
        o->signalled = true;
    }
    Changed().notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto o = Lookup(event);
    if (!o || o->kind != SyncObject::Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard guard(g_lock);
    o->signalled = false;
    return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    HANDLE h = CreateNamed(SyncObject::Kind::Mutex, name, [&](SyncObject& o) {
        if (initialOwner) {
            o.owner = std::this_thread::get_id();
            o.recursion = 1;
        }
    });
    return h;
}
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES a, BOOL initialOwner, LPCSTR name) {
    const std::u16string wide = Wide(name);
    return CreateMutexW(a, initialOwner, name ? wide.c_str() : nullptr);
}
HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) { return OpenNamed(SyncObject::Kind::Mutex, name); }
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name) {
    const std::u16string wide = Wide(name);
    return OpenMutexW(access, inherit, name ? wide.c_str() : nullptr);
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto o = Lookup(mutex);
    if (!o || o->kind != SyncObject::Kind::Mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard guard(g_lock);
        if (o->recursion == 0 || o->owner != std::this_thread::get_id()) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--o->recursion == 0) o->owner = std::thread::id();
    }
    Changed().notify_all();
    return TRUE;
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCWSTR name) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateNamed(SyncObject::Kind::Semaphore, name, [&](SyncObject& o) {
        o.count = initialCount;
        o.maximum = maximumCount;
    });
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
    auto o = Lookup(semaphore);
    if (!o || o->kind != SyncObject::Kind::Semaphore) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard guard(g_lock);
        // A count beyond the maximum changes nothing.
        if (releaseCount <= 0 || releaseCount > o->maximum - o->count) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (previousCount != nullptr) *previousCount = o->count;
        o->count += releaseCount;
    }
    Changed().notify_all();
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<SyncObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto o = Lookup(handles[i]);
        if (!o) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(o));
    }
    const auto self = std::this_thread::get_id();
    const int64_t deadline = milliseconds == INFINITE ? INT64_MAX : Now() + int64_t{milliseconds} * qk::nt::kMillisecond;
    std::unique_lock guard(g_lock);
    while (true) {
        if (waitAll) {
            if (std::all_of(objects.begin(), objects.end(), [&](auto& o) { return o->Ready(self); })) {
                for (auto& o : objects) o->Take(self);
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (objects[i]->Ready(self)) {
                    objects[i]->Take(self);
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (Now() >= deadline) return WAIT_TIMEOUT;
        // The clock notifies no one here: look again at least every 10 ms.
        std::chrono::nanoseconds wait = std::chrono::milliseconds(10);
        if (auto* k = qk::nt::Kernel::GetOrNull(); k && deadline != INT64_MAX) wait = std::min(wait, k->TheClock().RealWaitUntil(deadline));
        Changed().wait_for(guard, wait);
    }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) { return WaitForMultipleObjects(1, &handle, FALSE, milliseconds); }

namespace {
// One numbering for every thread: CreateThread's answer, GetCurrentThreadId
// and the window system's GetWindowThreadProcessId all read this. Multiples of
// four, never zero, never reused within a run.
thread_local DWORD t_threadId = 0;
DWORD NewThreadId() {
    static std::atomic<DWORD> next{0x1000};
    return next.fetch_add(4) + 4;
}
}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD threadId) {
    if (!start || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<SyncObject>(SyncObject::Kind::Thread);
    object->manualReset = true;
    HANDLE h = Insert(object, 0x001F03FF);
    const DWORD id = NewThreadId();
    if (threadId) *threadId = id;
    // The thread holds its object until it ends; the handle may go first.
    std::thread([object, start, parameter, id] {
        t_threadId = id;
        const DWORD code = start(parameter);
        {
            std::lock_guard guard(g_lock);
            object->exitCode = code;
            object->signalled = true;
        }
        Changed().notify_all();
    }).detach();
    return h;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target, DWORD access, BOOL inherit,
                     DWORD options) {
    // One process: both sides are the caller's, and only its own objects
    // of this file are duplicated.
    const HANDLE self = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
    auto o = Lookup(source);
    if (!o || !target || sourceProcess != self || targetProcess != self || !(options & DUPLICATE_SAME_ACCESS)) {
        SetLastError(o ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<qk::nt::KernelObject> base;
    ACCESS_MASK granted = 0;
    qk::nt::LookupHandle(source, &base, &granted);
    *target = Insert(o, granted);
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto o = Lookup(thread);
    if (!o || o->kind != SyncObject::Kind::Thread || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard guard(g_lock);
    *exitCode = o->exitCode;
    return TRUE;
}

DWORD GetCurrentThreadId() {
    // Threads not made by CreateThread (the process's first, the host's) are
    // numbered when they first ask.
    if (t_threadId == 0) t_threadId = NewThreadId();
    return t_threadId;
}
DWORD GetCurrentProcessId() { return 1; }

VOID Sleep(DWORD milliseconds) {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, milliseconds);
    CloseHandle(never);
}

DWORD GetTickCount() { return static_cast<DWORD>(Now() / qk::nt::kMillisecond); }

BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
    if (!sessionId) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *sessionId = kSession;
    return TRUE;
}

DWORD WTSGetActiveConsoleSessionId() { return kSession; }
