// Messages: sending (direct on the window's own thread, through the owner's
// queue from any other), posting, the retrieval order of GetMessage (sent,
// posted, quit, paint, timers), timers on the platform clock, and the
// painting cycle (update regions, WM_PAINT, BeginPaint/EndPaint, GetDC).
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/ui/gdi_objects.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

namespace {

constexpr LPARAM kTimerNoProc = 0;

// The procedure is read under the desktop's lock (another thread may
// subclass the window) and called without it.
LRESULT Call(Window* w, HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        Desktop& d = Desktop::Get();
        std::lock_guard guard(d.lock);
        if (d.Find(h) != w) return 0;
        proc = w->proc;
    }
    return proc ? proc(h, message, wParam, lParam) : 0;
}

bool InFilter(const MSG& m, HWND hwnd, UINT min, UINT max) {
    if (hwnd && m.hwnd != hwnd) return false;
    if (min == 0 && max == 0) return true;
    return m.message >= min && m.message <= max;
}

bool BelongsTo(Desktop& d, HWND window, HWND filter) {
    if (!filter) return true;
    if (window == filter) return true;
    Window* w = d.Find(window);
    for (Window* p = w ? w->parent : nullptr; p; p = p->parent) {
        if (p->handle == filter) return true;
    }
    return false;
}

// Preorder: a parent paints before its children, which draw over it.
Window* FirstToPaint(Window* w, std::thread::id thread) {
    if (!(w->style & WS_VISIBLE)) return nullptr;
    if (w->thread == thread && (!w->update.Empty() || w->internalPaint)) return w;
    for (auto it = w->children.rbegin(); it != w->children.rend(); ++it) {
        if (Window* c = FirstToPaint(*it, thread)) return c;
    }
    return nullptr;
}

void AnswerSent(Desktop& d, std::unique_lock<std::recursive_mutex>& guard, Queue& q) {
    while (!q.sent.empty()) {
        std::shared_ptr<SentMessage> s = q.sent.front();
        q.sent.pop_front();
        Window* w = d.Find(s->hwnd);
        guard.unlock();
        const LRESULT r = w ? Call(w, s->hwnd, s->message, s->wParam, s->lParam) : 0;
        guard.lock();
        s->result = r;
        s->done = true;
        d.wake->notify_all();
    }
}

// One pass over the sources in their order; false when none has a message.
bool Take(Desktop& d, std::unique_lock<std::recursive_mutex>& guard, MSG* msg, HWND hwnd, UINT min, UINT max,
          bool remove) {
    const auto self = std::this_thread::get_id();
    Queue& q = d.QueueOf(self);
    q.lastLooked = std::chrono::steady_clock::now();
    AnswerSent(d, guard, q);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!InFilter(*it, hwnd, min, max)) continue;
        *msg = *it;
        if (remove) q.posted.erase(it);
        q.lastMessageTime = msg->time;
        return true;
    }
    for (auto it = q.input.begin(); it != q.input.end(); ++it) {
        if (!InFilter(*it, hwnd, min, max)) continue;
        *msg = *it;
        if (remove) {
            // The key state a program reads follows the messages it has taken.
            const UINT m = msg->message;
            if ((m == WM_KEYDOWN || m == WM_KEYUP) && msg->wParam < 256) {
                BYTE& k = d.keys[msg->wParam];
                k = m == WM_KEYDOWN ? static_cast<BYTE>(0x80 | ((k & 1) ^ 1)) : static_cast<BYTE>(k & 1);
            }
            if (m == WM_LBUTTONDOWN || m == WM_LBUTTONUP || m == WM_NCLBUTTONDOWN || m == WM_NCLBUTTONUP) {
                d.keys[VK_LBUTTON] = m == WM_LBUTTONDOWN || m == WM_NCLBUTTONDOWN ? 0x80 : 0;
            }
            if (m == WM_RBUTTONDOWN || m == WM_RBUTTONUP) d.keys[VK_RBUTTON] = m == WM_RBUTTONDOWN ? 0x80 : 0;
            q.input.erase(it);
        }
        q.lastMessageTime = msg->time;
        return true;
    }
    if (q.quit && (min == 0 || (WM_QUIT >= min && WM_QUIT <= max))) {
        *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, 0, {}};
        if (remove) q.quit = false;
        return true;
    }
    const bool wantPaint = (min == 0 && max == 0) || (WM_PAINT >= min && WM_PAINT <= max);
    if (wantPaint) {
        for (Window* top : d.topLevel) {
            Window* w = FirstToPaint(top, self);
            if (w && BelongsTo(d, w->handle, hwnd)) {
                *msg = MSG{w->handle, WM_PAINT, 0, 0, 0, {}};
                return true;  // WM_PAINT stays until the window is validated
            }
        }
    }
    const bool wantTimer = (min == 0 && max == 0) || (WM_TIMER >= min && WM_TIMER <= max);
    if (wantTimer) {
        const int64_t now = d.Now();
        for (Timer& t : d.timers) {
            if (t.thread != self || t.due > now || !BelongsTo(d, t.hwnd, hwnd)) continue;
            *msg = MSG{t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), static_cast<DWORD>(now / nt::kMillisecond), {}};
            // One WM_TIMER for however many periods passed, as on the target.
            if (remove) t.due = now + t.interval;
            return true;
        }
    }
    return false;
}

int64_t NextTimerDue(Desktop& d) {
    int64_t next = INT64_MAX;
    const auto self = std::this_thread::get_id();
    for (const Timer& t : d.timers) {
        if (t.thread == self) next = std::min(next, t.due);
    }
    return next;
}

// Sleeps until something may have arrived. The clock's listener notifies
// without the desktop's lock, so the wait is bounded and the sources are
// looked at again in any case.
}  // namespace

void PostInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return;
    d.QueueOf(w->thread).input.push_back(MSG{hwnd, message, wParam, lParam, static_cast<DWORD>(d.Now() / qk::nt::kMillisecond), d.cursor});
    d.wake->notify_all();
}

namespace {

void WaitForWork(Desktop& d, std::unique_lock<std::recursive_mutex>& guard) {
    std::chrono::nanoseconds wait = std::chrono::milliseconds(20);
    const int64_t next = NextTimerDue(d);
    if (auto* kernel = qk::nt::Kernel::GetOrNull(); kernel && next != INT64_MAX) {
        wait = std::min(wait, kernel->TheClock().RealWaitUntil(next));
    }
    d.wake->wait_for(guard, wait);
}

}  // namespace

void Invalidate(Window& w, const Region& region, bool erase, bool children) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    const RECT client = ClientRectInWindow(w);
    const Region area = Region::Combine(
        region, Region(RECT{0, 0, client.right - client.left, client.bottom - client.top}), Region::Op::And);
    if (area.Empty()) return;
    w.update = Region::Combine(w.update, area, Region::Op::Or);
    w.erase = w.erase || erase;
    // A parent that does not clip its children paints over them: they paint again.
    if (children && !(w.style & WS_CLIPCHILDREN)) {
        for (Window* c : w.children) {
            if (!(c->style & WS_VISIBLE)) continue;
            Region part = Region::Combine(area, Region(c->rect), Region::Op::And);
            if (part.Empty()) continue;
            const RECT cc = ClientRectInWindow(*c);
            part.Offset(-(c->rect.left + cc.left), -(c->rect.top + cc.top));
            c->ncDirty = true;
            Invalidate(*c, part, true, true);
        }
    }
    d.wake->notify_all();
}

void PaintPending(Window& top) {
    Desktop& d = Desktop::Get();
    // Bounded: a window that never validates is validated by DispatchMessage.
    for (int round = 0; round < 10000; ++round) {
        HWND next = nullptr;
        {
            std::lock_guard guard(d.lock);
            if (Window* w = FirstToPaint(&top, std::this_thread::get_id())) next = w->handle;
        }
        if (!next) return;
        MSG m{next, WM_PAINT, 0, 0, 0, {}};
        DispatchMessageW(&m);
    }
}

HDC CreateWindowDc(Window& w, bool wholeWindow, const Region* clip) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);  // the geometry of the window and its relatives
    Window* top = TopLevelOf(&w);
    auto dc = std::make_unique<DeviceContext>();
    // The DC keeps its own reference: another thread may resize the window
    // (a new surface) while this one still draws.
    dc->target = cairo_surface_reference(top->surface);
    dc->window = &w;
    if (wholeWindow) {
        dc->origin = WindowOriginOnSurface(w);
        Region bounds(RECT{0, 0, w.rect.right - w.rect.left, w.rect.bottom - w.rect.top});
        if (w.parent) {
            // Never outside the parent's client area.
            const POINT po = ClientOriginOnSurface(*w.parent);
            const RECT pc = ClientRectInWindow(*w.parent);
            Region parentArea(RECT{po.x - dc->origin.x, po.y - dc->origin.y, po.x - dc->origin.x + pc.right - pc.left,
                                   po.y - dc->origin.y + pc.bottom - pc.top});
            bounds = Region::Combine(bounds, parentArea, Region::Op::And);
        }
        bounds.Offset(dc->origin.x, dc->origin.y);
        dc->bounds = bounds;
    } else {
        dc->origin = ClientOriginOnSurface(w);
        Region visible = VisibleClientRegion(w);
        if (clip) visible = Region::Combine(visible, *clip, Region::Op::And);
        if (w.style & WS_CLIPCHILDREN) {
            const RECT box = visible.Bounds();
            for (Window* c : w.children) {
                // A child that covers nothing of what is left changes nothing.
                if ((c->style & WS_VISIBLE) && !RectEmpty(RectIntersect(box, c->rect))) {
                    visible = Region::Combine(visible, Region(c->rect), Region::Op::Diff);
                }
            }
        }
        visible.Offset(dc->origin.x, dc->origin.y);
        dc->bounds = visible;
    }
    HDC h = NewDc(std::move(dc));
    if (w.font) SelectObject(h, w.font);
    return h;
}

void ReleaseWindowDc(HDC hdc) { FreeDc(hdc); }

}  // namespace qk::ui

namespace qk::ui {
namespace {

// A thread that has not looked for messages for this long is hung, as the
// target counts it.
constexpr auto kHungAfter = std::chrono::seconds(5);

// Sends and waits for the answer, or for the timeout, the window's thread
// ending or (SMTO_ABORTIFHUNG) that thread being hung; false when no answer came.
bool SendAndWait(Desktop& d, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                 std::optional<std::chrono::milliseconds> timeout, LRESULT* result) {
    std::unique_lock guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (w->thread == std::this_thread::get_id()) {
        guard.unlock();
        *result = Call(w, hwnd, message, wParam, lParam);
        return true;
    }
    const std::thread::id target = w->thread;
    const std::shared_ptr<const std::atomic<bool>> alive = w->threadAlive;
    const auto start = std::chrono::steady_clock::now();
    const auto hung = [&] { return std::chrono::steady_clock::now() - d.QueueOf(target).lastLooked >= kHungAfter; };
    // A thread that has ended answers nothing: its windows are as good as gone.
    if (alive && !alive->load()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if ((flags & SMTO_ABORTIFHUNG) && hung()) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    // Another thread's window: its thread answers while this one waits, still
    // answering what is sent to it (two threads may send to each other).
    auto s = std::make_shared<SentMessage>(SentMessage{hwnd, message, wParam, lParam});
    d.QueueOf(target).sent.push_back(s);
    d.wake->notify_all();
    Queue& own = d.QueueOf(std::this_thread::get_id());
    const auto giveUp = [&](DWORD error) {
        auto& pending = d.QueueOf(target).sent;
        pending.erase(std::remove(pending.begin(), pending.end(), s), pending.end());
        SetLastError(error);
        return false;
    };
    while (!s->done) {
        AnswerSent(d, guard, own);
        if (s->done) break;
        if (!d.Find(hwnd)) return giveUp(ERROR_INVALID_WINDOW_HANDLE);  // it went before it answered
        if (alive && !alive->load()) return giveUp(ERROR_INVALID_WINDOW_HANDLE);
        if ((flags & SMTO_ABORTIFHUNG) && hung()) return giveUp(ERROR_TIMEOUT);
        // Ending threads notify no one: look again every 20 ms.
        auto wait = std::chrono::steady_clock::duration(std::chrono::milliseconds(20));
        if (timeout) {
            const auto left = start + *timeout - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return giveUp(ERROR_TIMEOUT);
            wait = std::min(wait, left);
        }
        d.wake->wait_for(guard, wait);
    }
    *result = s->result;
    return true;
}

}  // namespace
}  // namespace qk::ui

using namespace qk::ui;

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, message, wParam, lParam) : 0;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Desktop& d = Desktop::Get();
    if (hwnd == HWND_BROADCAST) {
        std::vector<HWND> tops;
        {
            std::lock_guard guard(d.lock);
            for (Window* w : d.topLevel) tops.push_back(w->handle);
        }
        for (HWND h : tops) {
            if (IsWindow(h)) SendMessageW(h, message, wParam, lParam);
        }
        return 0;
    }
    LRESULT result = 0;
    SendAndWait(d, hwnd, message, wParam, lParam, 0, std::nullopt, &result);
    return result;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    // Text travels in UTF-16 on this platform's procedures.
    if (message == WM_SETTEXT && lParam) {
        const std::u16string wide = Widen(reinterpret_cast<LPCSTR>(lParam));
        return SendMessageW(hwnd, message, wParam, reinterpret_cast<LPARAM>(wide.c_str()));
    }
    return SendMessageW(hwnd, message, wParam, lParam);
}

LRESULT SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                            PDWORD_PTR result) {
    // A broadcast waits for each window in turn, as SendMessage does.
    if (hwnd == HWND_BROADCAST) {
        SendMessageW(hwnd, message, wParam, lParam);
        return 1;
    }
    LRESULT r = 0;
    if (!SendAndWait(Desktop::Get(), hwnd, message, wParam, lParam, flags, std::chrono::milliseconds(timeoutMs), &r)) {
        return 0;
    }
    if (result) *result = static_cast<DWORD_PTR>(r);
    return 1;
}

BOOL SendNotifyMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Desktop& d = Desktop::Get();
    if (hwnd == HWND_BROADCAST) return PostMessageW(hwnd, message, wParam, lParam);
    {
        std::lock_guard guard(d.lock);
        Window* w = d.Find(hwnd);
        if (!w) return FALSE;
        if (w->thread != std::this_thread::get_id()) {
            // Not waited for: it goes with the posted messages.
            d.QueueOf(w->thread).posted.push_back(MSG{hwnd, message, wParam, lParam, 0, {}});
            d.wake->notify_all();
            return TRUE;
        }
    }
    SendMessageW(hwnd, message, wParam, lParam);
    return TRUE;
}

void qk::ui::PostToTopLevel(Desktop& d, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard guard(d.lock);
    const DWORD time = static_cast<DWORD>(d.Now() / qk::nt::kMillisecond);
    for (Window* w : d.topLevel) d.QueueOf(w->thread).posted.push_back(MSG{w->handle, message, wParam, lParam, time, d.cursor});
    d.wake->notify_all();
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Desktop& d = Desktop::Get();
    if (hwnd == HWND_BROADCAST) {
        // Every top-level window of the machine, whichever process made it.
        PostToTopLevel(d, message, wParam, lParam);
        return TRUE;
    }
    std::lock_guard guard(d.lock);
    const DWORD time = static_cast<DWORD>(d.Now() / qk::nt::kMillisecond);
    if (!hwnd) {
        d.QueueOf(std::this_thread::get_id()).posted.push_back(MSG{nullptr, message, wParam, lParam, time, d.cursor});
        return TRUE;
    }
    Window* w = d.Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    d.QueueOf(w->thread).posted.push_back(MSG{hwnd, message, wParam, lParam, time, d.cursor});
    d.wake->notify_all();
    return TRUE;
}

VOID PostQuitMessage(int exitCode) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Queue& q = d.QueueOf(std::this_thread::get_id());
    q.quit = true;
    q.quitCode = exitCode;
}

BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMessage) {
    Desktop& d = Desktop::Get();
    std::unique_lock guard(d.lock);
    MSG m{};
    if (!Take(d, guard, &m, hwnd, filterMin, filterMax, (removeMessage & PM_REMOVE) != 0)) return FALSE;
    if (msg) *msg = m;
    return TRUE;
}

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    Desktop& d = Desktop::Get();
    std::unique_lock guard(d.lock);
    while (true) {
        MSG m{};
        if (Take(d, guard, &m, hwnd, filterMin, filterMax, true)) {
            if (msg) *msg = m;
            return m.message != WM_QUIT;
        }
        WaitForWork(d, guard);
    }
}

BOOL WaitMessage() {
    Desktop& d = Desktop::Get();
    std::unique_lock guard(d.lock);
    MSG m{};
    while (!Take(d, guard, &m, nullptr, 0, 0, false)) {
        WaitForWork(d, guard);
    }
    return TRUE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg) return 0;
    Desktop& d = Desktop::Get();
    if (msg->message == WM_TIMER && msg->lParam != kTimerNoProc) {
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    Window* w;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(msg->hwnd);
        if (!w) return 0;
    }
    if (msg->message >= WM_MOUSEFIRST && msg->message <= WM_MOUSELAST) RelayToTooltips(*msg);
    const LRESULT r = Call(w, msg->hwnd, msg->message, msg->wParam, msg->lParam);
    if (msg->message == WM_PAINT) {
        // A procedure that did not validate would be asked forever.
        std::lock_guard guard(d.lock);
        if (Window* still = d.Find(msg->hwnd)) {
            still->update = Region();
            still->internalPaint = false;
        }
    }
    return r;
}

BOOL TranslateMessage(const MSG* msg) {
    if (!msg || msg->message != WM_KEYDOWN) return FALSE;
    // The character of the key, for the keys the package's edits take.
    WPARAM ch = 0;
    const bool shift = GetKeyState(VK_SHIFT) < 0;
    const WPARAM vk = msg->wParam;
    if (vk >= 'A' && vk <= 'Z') {
        ch = shift ? vk : vk + 32;
    } else if (vk >= '0' && vk <= '9') {
        ch = vk;
    } else if (vk == VK_SPACE || vk == VK_RETURN || vk == VK_BACK || vk == VK_TAB || vk == VK_ESCAPE) {
        ch = vk;
    } else if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD0 + 9) {
        ch = '0' + (vk - VK_NUMPAD0);
    }
    if (!ch) return FALSE;
    PostMessageW(msg->hwnd, WM_CHAR, ch, msg->lParam);
    return TRUE;
}

DWORD GetMessageTime() {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    return d.QueueOf(std::this_thread::get_id()).lastMessageTime;
}

DWORD GetQueueStatus(UINT flags) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Queue& q = d.QueueOf(std::this_thread::get_id());
    DWORD status = 0;
    if (!q.posted.empty()) status |= QS_POSTMESSAGE;
    if (!q.input.empty()) status |= QS_KEY | QS_MOUSEBUTTON;
    if (!q.sent.empty()) status |= QS_SENDMESSAGE;
    for (Window* top : d.topLevel) {
        if (FirstToPaint(top, std::this_thread::get_id())) status |= QS_PAINT;
    }
    const int64_t now = d.Now();
    for (const Timer& t : d.timers) {
        if (t.thread == std::this_thread::get_id() && t.due <= now) status |= QS_TIMER;
    }
    return (status & flags) << 16 | (status & flags);
}

UINT RegisterWindowMessageW(LPCWSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    std::u16string key(name);
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    auto it = d.registeredMessages.find(key);
    if (it != d.registeredMessages.end()) return it->second;
    if (d.nextMessage == 0xFFFF) return 0;
    return d.registeredMessages[key] = d.nextMessage++;
}

UINT RegisterWindowMessageA(LPCSTR name) {
    if (!name) return RegisterWindowMessageW(nullptr);
    return RegisterWindowMessageW(Widen(name).c_str());
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = hwnd ? d.Find(hwnd) : nullptr;
    if (hwnd && !w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    // The target's limits: at least 10 ms, at most about 24.8 days.
    const int64_t interval = std::clamp<int64_t>(elapseMs, 10, 0x7FFFFFFF) * qk::nt::kMillisecond;
    if (!hwnd) {
        static UINT_PTR nextThreadTimer = 0x7FFF0000;
        id = ++nextThreadTimer;
    }
    for (Timer& t : d.timers) {
        if (t.hwnd == hwnd && t.id == id) {
            t.interval = interval;
            t.due = d.Now() + interval;
            t.proc = proc;
            return hwnd ? 1 : id;
        }
    }
    d.timers.push_back(Timer{hwnd, id, interval, d.Now() + interval, proc, w ? w->thread : std::this_thread::get_id()});
    d.wake->notify_all();
    return hwnd ? 1 : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    const size_t before = d.timers.size();
    d.timers.erase(std::remove_if(d.timers.begin(), d.timers.end(),
                                  [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; }),
                   d.timers.end());
    // A WM_TIMER already in the queue goes too.
    Queue& q = d.QueueOf(std::this_thread::get_id());
    q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(),
                                  [&](const MSG& m) { return m.message == WM_TIMER && m.hwnd == hwnd && m.wParam == id; }),
                   q.posted.end());
    return d.timers.size() != before;
}

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
    Desktop& d = Desktop::Get();
    // Any thread invalidates: the rectangle is read, and the update region
    // changed, under the desktop's lock.
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return FALSE;
    const RECT client = ClientRectInWindow(*w);
    Invalidate(*w, Region(rect ? *rect : RECT{0, 0, client.right - client.left, client.bottom - client.top}), erase, true);
    return TRUE;
}

BOOL InvalidateRgn(HWND hwnd, HRGN region, BOOL erase) {
    if (!region) return InvalidateRect(hwnd, nullptr, erase);
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    Region area;
    {
        std::lock_guard gdi(GdiLock());
        GdiObject* o = ObjectOf(region, OBJ_REGION);
        if (!w || !o) return FALSE;
        area = o->region;
    }
    Invalidate(*w, area, erase, true);
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT* rect) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return FALSE;
    w->update = rect ? Region::Combine(w->update, Region(*rect), Region::Op::Diff) : Region();
    if (w->update.Empty()) w->erase = false;
    return TRUE;
}

BOOL GetUpdateRect(HWND hwnd, LPRECT rect, BOOL erase) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return FALSE;
    if (rect) *rect = w->update.Bounds();
    return !w->update.Empty();
}

BOOL UpdateWindow(HWND hwnd) {
    Desktop& d = Desktop::Get();
    Window* w;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w) return FALSE;
    }
    PaintPending(*w);
    return TRUE;
}

BOOL RedrawWindow(HWND hwnd, const RECT* rect, HRGN region, UINT flags) {
    Desktop& d = Desktop::Get();
    Window* w;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w) return FALSE;
    }
    if (flags & RDW_INVALIDATE) {
        std::vector<HWND> children;
        {
            std::lock_guard guard(d.lock);
            if (!d.Find(hwnd)) return FALSE;
            if (flags & RDW_FRAME) w->ncDirty = true;
            Region area;
            bool given = false;
            {
                std::lock_guard gdi(GdiLock());
                if (GdiObject* o = ObjectOf(region, OBJ_REGION)) {
                    area = o->region;
                    given = true;
                }
            }
            if (!given && rect) {
                area = Region(*rect);
            } else if (!given) {
                const RECT c = ClientRectInWindow(*w);
                area = Region(RECT{0, 0, c.right - c.left, c.bottom - c.top});
            }
            Invalidate(*w, area, (flags & RDW_ERASE) != 0, (flags & RDW_ALLCHILDREN) || !(flags & RDW_NOCHILDREN));
            if (flags & RDW_ALLCHILDREN) {
                for (Window* c : w->children) {
                    if (c->style & WS_VISIBLE) children.push_back(c->handle);
                }
            }
        }
        for (HWND c : children) RedrawWindow(c, nullptr, nullptr, flags & ~RDW_UPDATENOW);
    } else if (flags & RDW_FRAME) {
        std::lock_guard guard(d.lock);
        if (Window* live = d.Find(hwnd)) live->ncDirty = true;
    }
    if (flags & RDW_VALIDATE) ValidateRect(hwnd, rect);
    if (flags & RDW_UPDATENOW) PaintPending(*w);
    return TRUE;
}

HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT ps) {
    Desktop& d = Desktop::Get();
    Window* w;
    Region update;
    bool erase, frame;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);
        if (!w || !ps) return nullptr;
        update = w->update;
        erase = w->erase;
        frame = w->ncDirty;
        w->update = Region();
        w->erase = false;
        w->internalPaint = false;
        w->ncDirty = false;
    }
    if (frame) SendMessageW(hwnd, WM_NCPAINT, 1, 0);
    HDC hdc;
    {
        std::lock_guard guard(d.lock);
        w = d.Find(hwnd);  // WM_NCPAINT may have destroyed it
        if (!w) return nullptr;
        hdc = CreateWindowDc(*w, false, &update);
    }
    *ps = PAINTSTRUCT{};
    ps->hdc = hdc;
    ps->rcPaint = update.Bounds();
    ps->fErase = TRUE;
    if (erase) ps->fErase = SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0) == 0;
    return hdc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps) {
    if (ps) ReleaseWindowDc(ps->hdc);
    return TRUE;
}

HDC GetDC(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return nullptr;
    return CreateWindowDc(*w, false, nullptr);
}

HDC GetWindowDC(HWND hwnd) {
    Desktop& d = Desktop::Get();
    std::lock_guard guard(d.lock);
    Window* w = d.Find(hwnd);
    if (!w) return nullptr;
    return CreateWindowDc(*w, true, nullptr);
}

int ReleaseDC(HWND hwnd, HDC hdc) {
    DeviceContext* dc = DcOf(hdc);
    if (!dc || !dc->window) return 0;
    ReleaseWindowDc(hdc);
    return 1;
}

long BroadcastSystemMessageW(DWORD flags, LPDWORD recipients, UINT message, WPARAM wParam, LPARAM lParam) {
    // Applications are the top-level windows of every process of the
    // machine; drivers and desktops receive nothing here.
    if (recipients && *recipients != BSM_ALLCOMPONENTS && !(*recipients & BSM_APPLICATIONS)) return 1;
    if (flags & BSF_POSTMESSAGE) return PostMessageW(HWND_BROADCAST, message, wParam, lParam) ? 1 : -1;
    SendMessageW(HWND_BROADCAST, message, wParam, lParam);
    return 1;
}
