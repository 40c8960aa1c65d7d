// The window system's state, shared by its files: the desktop of the machine
// (windows, classes, registered messages, queues, timers), the GDI objects
// and the device contexts. Painting is kept apart from state: a control's
// procedure changes its state and invalidates; its paint function draws.
#pragma once

#include <cairo.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <atomic>
#include <string>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/nt/machine.h"
#include "platform/ui/region.h"
#include "windows.h"
#include "winuser.h"

namespace qk::ui {

// Metrics of the machine's window frames.
inline constexpr LONG kCaptionHeight = 20;
inline constexpr LONG kScrollBarWidth = 15;

struct WindowClass {
    std::u16string name;  // as registered; looked up without case
    UINT style = 0;
    WNDPROC proc = nullptr;
    int classExtra = 0;
    int windowExtra = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
    ATOM atom = 0;
    bool system = false;  // the controls of the platform, never unregistered
};

struct ScrollBarState {
    bool shown = false;
    int min = 0;
    int max = 0;
    UINT page = 0;
    int pos = 0;
    int trackPos = 0;
};

struct Window {
    HWND handle = nullptr;
    WindowClass* cls = nullptr;
    std::u16string text;
    // Atomic: EnableWindow and ShowWindow may change them from any thread
    // while the owner's thread reads them to lay out and paint.
    std::atomic<DWORD> style{0};
    std::atomic<DWORD> exStyle{0};
    Window* parent = nullptr;  // null for top-level windows
    Window* owner = nullptr;
    std::vector<Window*> children;  // z-order: first is the top, created windows go to the bottom
    RECT rect{};  // window rectangle: in the parent's client coordinates, or the screen's
    RECT normalRect{};  // a minimised window's rectangle before it was minimised
    UINT_PTR id = 0;  // child identifier (or the menu of a top-level window)
    HINSTANCE instance = nullptr;
    WNDPROC proc = nullptr;
    LONG_PTR userData = 0;
    std::vector<uint8_t> extra;  // cbWndExtra bytes (dialogs keep DWLP_* here)
    std::map<std::u16string, HANDLE> props;
    std::thread::id thread;
    DWORD threadId = 0;  // the creating thread's GetCurrentThreadId
    std::shared_ptr<const std::atomic<bool>> threadAlive;  // false once the creating thread has ended
    HFONT font = nullptr;  // kept by DefWindowProc for WM_SETFONT/WM_GETFONT
    Region update;  // invalid part, client coordinates
    bool erase = false;
    bool internalPaint = false;
    bool ncDirty = true;  // the frame (border, caption, scroll bars) needs drawing
    bool destroyed = false;  // WM_DESTROY sent; the handle is going
    std::unique_ptr<Region> shape;  // SetWindowRgn, window coordinates
    ScrollBarState vscroll, hscroll;
    cairo_surface_t* surface = nullptr;  // top-level windows: the picture of the whole window
    int modalDepth = 0;
    // Per-window data of the platform's own controls.
    std::shared_ptr<void> control;
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    int64_t interval;  // platform clock units (100 ns)
    int64_t due;
    TIMERPROC proc;
    std::thread::id thread;
};

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
};

struct Queue {
    std::deque<MSG> posted;
    std::deque<MSG> input;  // mouse and keys, taken after the posted messages
    // From other threads, answered in GetMessage/PeekMessage; shared with the
    // sender, which may give up waiting while the answer is being made.
    std::deque<std::shared_ptr<SentMessage>> sent;
    // When the thread last looked for messages (a waiting GetMessage looks
    // again every 20 ms): SMTO_ABORTIFHUNG's measure.
    std::chrono::steady_clock::time_point lastLooked = std::chrono::steady_clock::now();
    bool quit = false;
    int quitCode = 0;
    DWORD lastMessageTime = 0;
};

// True while the calling thread runs; the flag outlives the thread.
std::shared_ptr<const std::atomic<bool>> CurrentThreadAlive();

class X11Presenter;
std::shared_ptr<X11Presenter> StartX11Presenter();  // null without a display

// Guards the pixels of top-level surfaces while they are drawn on or copied
// to a display; PaintGeneration counts the drawings.
std::mutex& PaintLock();
uint64_t PaintGeneration();
void CountPaint();

class Desktop {
public:
    explicit Desktop(Machine& machine);
    ~Desktop();
    static Desktop& Get();

    // Guards every table below. Window procedures are never called with it
    // held: a procedure may call back into any function of the system.
    std::recursive_mutex lock;
    // Notified when a queue got a message, a timer was set or time moved;
    // shared with the clock listener, which may outlive the desktop.
    std::shared_ptr<std::condition_variable_any> wake = std::make_shared<std::condition_variable_any>();

    std::vector<std::unique_ptr<WindowClass>> classes;
    std::map<HWND, std::unique_ptr<Window>> windows;
    std::vector<Window*> topLevel;  // z-order, first is the top
    std::map<std::u16string, UINT> registeredMessages;  // keyed upper-case
    std::vector<Timer> timers;
    std::map<std::thread::id, Queue> queues;
    uintptr_t nextHandle = 0x10010;
    ATOM nextAtom = 0xC000;
    UINT nextMessage = 0xC000;
    HWND focus = nullptr;
    HWND active = nullptr;
    HWND capture = nullptr;
    std::vector<HWND> tooltips;  // every tooltip control: they watch the mouse messages of their tools
    POINT cursor{0, 0};
    HCURSOR cursorShape = nullptr;  // SetCursor's: the one pointer of the desktop, whichever thread set it
    BYTE keys[256]{};       // as of the input message last taken from a queue (GetKeyState)
    BYTE asyncKeys[256]{};  // as of the last input injected (GetAsyncKeyState)

    Window* Find(HWND hwnd);  // null for a handle that is not (or no longer) a window
    WindowClass* FindClass(const std::u16string& name, HINSTANCE instance);
    Queue& QueueOf(std::thread::id thread) { return queues[thread]; }
    int64_t Now() const;

    // The X11 presentation when a display is present; it goes first when the
    // desktop goes, while the windows still exist.
    std::shared_ptr<X11Presenter> presenter;
    // Plug and Play's device changes, told to the windows; goes before the tables.
    std::once_flag deviceWatchOnce;
    std::shared_ptr<void> deviceWatch;
};

// Geometry.
RECT ClientRectInWindow(const Window& w);     // the client area in window coordinates
POINT ClientOriginOnSurface(const Window& w);  // the client origin on the top-level surface
POINT WindowOriginOnSurface(const Window& w);
Window* TopLevelOf(Window* w);
bool IsVisibleOnScreen(const Window& w);  // it and every ancestor visible

// Painting: invalidates (client coordinates) and runs the pending paints of
// the windows of one top-level window.
void Invalidate(Window& w, const Region& region, bool erase, bool children);
void PaintPending(Window& top);
// Posts to every top-level window of the machine (HWND_BROADCAST).
void PostToTopLevel(Desktop& d, UINT message, WPARAM wParam, LPARAM lParam);
// Posts WM_DEVICECHANGE to every top-level window while the result lives.
std::shared_ptr<void> WatchDeviceChanges(Desktop& desktop);
// Mouse and key messages go to the input queue of the window's thread.
void PostInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
Region VisibleClientRegion(const Window& w);  // client coordinates, clipped by ancestors

// Device contexts.
HDC CreateWindowDc(Window& w, bool wholeWindow, const Region* clip);
void ReleaseWindowDc(HDC hdc);

// The platform's controls and their classes.
void RegisterSystemClasses(Desktop& desktop);
void RegisterDialogClass(Desktop& desktop);
// A window's system menu goes with the window.
void DestroySystemMenuOf(HWND hwnd);
void RegisterCommonControls(Desktop& desktop);
// Hands a mouse message being dispatched to the thread's tooltips.
void RelayToTooltips(const MSG& m);
void DrawScrollBarTo(HDC hdc, const RECT& r, const ScrollBarState& s, bool vertical);
void RegisterCommonControlClasses();
std::u16string Widen(LPCSTR s, int count = -1);
std::string Narrow(const std::u16string& s);

// Fonts: the Cairo face and size for a font handle (the default GUI font for null).
struct FontInfo {
    std::string face;
    double sizePx;  // Cairo's font size: the em height in pixels
    bool bold;
    bool italic;
    bool underline;
    BYTE charSet;
    LONG height;  // as created (LOGFONT height)
};
FontInfo FontOf(HFONT font);
SIZE MeasureText(HFONT font, const std::u16string& text);
int AverageCharWidth(HFONT font, int* height);

// The default system colours (COLOR_* index).
COLORREF SystemColor(int index);


}  // namespace qk::ui
