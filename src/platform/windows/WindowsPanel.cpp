// Shields as layered windows; see WindowsPanel.hpp.
#include "platform/windows/WindowsPanel.hpp"

#include <cmath>

namespace sh::windows {

namespace {

constexpr wchar_t shieldClass[] = L"ShieldHelperShield";

// Flags for every z-order change of ours: the window server neither activates the shield nor
// moves or resizes it, and the windows of other applications get no WM_WINDOWPOSCHANGING.
constexpr UINT orderOnly = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER;

bool isTopmost(HWND window) {
    return (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

bool sameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

LRESULT CALLBACK shieldProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* panel = reinterpret_cast<WindowsPanel*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (panel != nullptr) {
        return panel->handleMessage(window, message, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// GetDpiForWindow exists from Windows 10 1607 on; looked up so that older systems still load
// the helper.
UINT dpiOf(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static auto function = reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    UINT dpi = function != nullptr ? function(window) : 0;
    return dpi != 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

void WindowsPanel::registerClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = shieldProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = shieldClass;
    RegisterClassExW(&windowClass);
}

WindowsPanel::WindowsPanel(PanelHost& host, std::weak_ptr<void> alive,
                           const PanelConfiguration& configuration)
    : host_(host), alive_(std::move(alive)), frame_(configuration.contentRect) {
    // Layered: drawn with per-pixel alpha. A tool window: neither on the taskbar nor in
    // Alt+Tab. Not activated by a click: the core decides when it takes the keyboard.
    window_ =
        CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, shieldClass, L"",
                        WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, GetModuleHandleW(nullptr), this);
}

WindowsPanel::~WindowsPanel() {
    if (window_ != nullptr) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

bool WindowsPanel::usable() const {
    return !closed_ && window_ != nullptr && !alive_.expired();
}

void WindowsPanel::setContentView(std::shared_ptr<PanelContent> view, const ContentViewOptions&) {
    view_ = std::move(view);
    needsPicture_ = true;
}

void WindowsPanel::setFrame(const Rect& frame, bool) {
    if (!(frame == frame_)) {
        frame_ = frame;
        needsPicture_ = true;
    }
}

void WindowsPanel::orderWindow(WindowOrderingMode mode, int64_t relativeTo) {
    if (!usable()) {
        return;
    }
    if (mode == WindowOrderingMode::out || relativeTo == 0) {
        ordered_ = false;
        return;
    }
    ordered_ = true;
    mode_ = mode;
    // Window handles are 32-bit values on 64-bit Windows too, so the window list's numbers
    // name them exactly.
    target_ = reinterpret_cast<HWND>(static_cast<intptr_t>(relativeTo));
}

void WindowsPanel::makeKeyWindow() {
    if (!usable() || !ordered_) {
        return;
    }
    // What the core asked is on screen before the shield takes the keyboard.
    pushChanges();
    if (SetForegroundWindow(window_) && GetForegroundWindow() == window_) {
        SetFocus(window_);
        return;
    }
    // Windows lets a process take the foreground only in some cases (it had the last input,
    // say); otherwise the request only flashes. Sharing the input state of the foreground
    // window's thread for the moment of the request is the accepted way past that.
    HWND foreground = GetForegroundWindow();
    DWORD foregroundThread =
        foreground != nullptr ? GetWindowThreadProcessId(foreground, nullptr) : 0;
    DWORD ownThread = GetCurrentThreadId();
    if (foregroundThread != 0 && foregroundThread != ownThread &&
        AttachThreadInput(ownThread, foregroundThread, TRUE)) {
        SetForegroundWindow(window_);
        SetFocus(window_);
        AttachThreadInput(ownThread, foregroundThread, FALSE);
    }
}

bool WindowsPanel::isKeyWindow() {
    return usable() && GetForegroundWindow() == window_;
}

void WindowsPanel::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    view_.reset();
    if (window_ != nullptr) {
        HWND window = window_;
        window_ = nullptr;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
        if (!alive_.expired()) {
            host_.panelClosed(window);
        }
    }
}

double WindowsPanel::scale() const {
    return static_cast<double>(dpiOf(window_)) / USER_DEFAULT_SCREEN_DPI;
}

RECT WindowsPanel::screenRect() const {
    // Panel frames have their origin at the primary monitor's bottom-left, y upwards.
    double top = host_.primaryHeight() - (frame_.y + frame_.height);
    return RECT{static_cast<LONG>(std::lround(frame_.x)), static_cast<LONG>(std::lround(top)),
                static_cast<LONG>(std::lround(frame_.x + frame_.width)),
                static_cast<LONG>(std::lround(top + frame_.height))};
}

void WindowsPanel::redraw(const RECT& rect) {
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    if (!view_ || width <= 0 || height <= 0) {
        return;
    }
    // The view is drawn at its size in points; the bitmap has the pixels of the monitor.
    double pixelsPerPoint = scale();
    Rect bounds{0, 0, width / pixelsPerPoint, height / pixelsPerPoint};
    if (!bitmap_.render(view_->draw(bounds), width, height, pixelsPerPoint)) {
        return;
    }
    POINT position{rect.left, rect.top};
    SIZE size{width, height};
    POINT origin{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    // Position, size and picture in one call, so that no frame shows the old picture at the
    // new size.
    if (UpdateLayeredWindow(window_, nullptr, &position, &size, bitmap_.deviceContext(), &origin, 0,
                            &blend, ULW_ALPHA)) {
        pictureSent_ = true;
        shownRect_ = rect;
    }
}

bool WindowsPanel::directlyAboveTarget() const {
    if (target_ == nullptr || !IsWindow(target_)) {
        return false;
    }
    // Hidden windows between the two do not count: they show nothing.
    for (HWND above = GetWindow(target_, GW_HWNDPREV); above != nullptr;
         above = GetWindow(above, GW_HWNDPREV)) {
        if (above == window_) {
            return true;
        }
        if (IsWindowVisible(above)) {
            return false;
        }
    }
    return false;
}

bool WindowsPanel::orderedAboveTarget() const {
    // Directly above, and in the same band: a window taken off "always on top" goes to the top
    // of the ordinary windows, just below the topmost band its shield would otherwise stay in,
    // where every topmost window that comes along would be put between the two.
    return directlyAboveTarget() && isTopmost(window_) == isTopmost(target_);
}

bool WindowsPanel::placeAboveTarget(UINT extraFlags) {
    if (target_ == nullptr || !IsWindow(target_)) {
        return false;
    }
    UINT flags = orderOnly | extraFlags;
    // A window kept on top lives in the topmost band; its shield must live there too, and
    // leave it with the window.
    bool topmost = isTopmost(target_);
    if (topmost != isTopmost(window_)) {
        SetWindowPos(window_, topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, orderOnly);
    }
    if (mode_ == WindowOrderingMode::below) {
        return SetWindowPos(window_, target_, 0, 0, 0, 0, flags) != FALSE;
    }
    HWND above = GetWindow(target_, GW_HWNDPREV);
    if (above == window_) {
        // Already next to it, only hidden or in need of the extra flags.
        return extraFlags == 0 ||
               SetWindowPos(window_, nullptr, 0, 0, 0, 0, flags | SWP_NOZORDER) != FALSE;
    }
    if (extraFlags == 0 && orderedAboveTarget()) {
        return true;
    }
    // SetWindowPos puts a window behind the one named, so the shield goes behind whatever is
    // directly above the target: between the two.
    HWND insertAfter = above != nullptr ? above : (topmost ? HWND_TOPMOST : HWND_TOP);
    BOOL placed = SetWindowPos(window_, insertAfter, 0, 0, 0, 0, flags);
    if (placed && !topmost && isTopmost(window_)) {
        // Put behind the last window kept on top, the shield may have joined their band;
        // the top of the ordinary band is the same place for a window at its top.
        placed = SetWindowPos(window_, HWND_NOTOPMOST, 0, 0, 0, 0, orderOnly);
    }
    return placed != FALSE;
}

bool WindowsPanel::pushChanges() {
    if (!usable()) {
        return false;
    }
    bool sent = false;
    if (!ordered_) {
        if (shown_) {
            ShowWindow(window_, SW_HIDE);
            shown_ = false;
            sent = true;
        }
        return sent;
    }
    RECT rect = screenRect();
    if (needsPicture_ || !pictureSent_ ||
        (shownRect_ && (rect.right - rect.left != shownRect_->right - shownRect_->left ||
                        rect.bottom - rect.top != shownRect_->bottom - shownRect_->top))) {
        needsPicture_ = false;
        redraw(rect);
        sent = true;
    } else if (!shownRect_ || !sameRect(rect, *shownRect_)) {
        // Only moved: the picture stays.
        SetWindowPos(window_, nullptr, rect.left, rect.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        shownRect_ = rect;
        sent = true;
    }
    if (!shown_) {
        // Shown where it was put, behind the windows above its target, in the same request,
        // without taking the keyboard from anyone.
        placeAboveTarget(SWP_SHOWWINDOW);
        shown_ = true;
        sent = true;
    } else if (mode_ == WindowOrderingMode::below || !orderedAboveTarget()) {
        placeAboveTarget(0);
        sent = true;
    }
    return sent;
}

bool WindowsPanel::keepInPlace() {
    if (!usable() || !ordered_ || !shown_ || mode_ != WindowOrderingMode::above) {
        return false;
    }
    if (orderedAboveTarget()) {
        return false;
    }
    return placeAboveTarget(0);
}

bool WindowsPanel::isInPlace() {
    if (!usable() || !ordered_ || !shown_ || !IsWindowVisible(window_) || !shownRect_) {
        return false;
    }
    RECT actual;
    if (!GetWindowRect(window_, &actual) || !sameRect(actual, screenRect())) {
        return false;
    }
    if (mode_ == WindowOrderingMode::below) {
        return IsWindow(target_) && GetWindow(target_, GW_HWNDNEXT) == window_;
    }
    return orderedAboveTarget();
}

void WindowsPanel::reportPlacementIfChanged() {
    if (!usable() || !view_) {
        return;
    }
    bool inPlace = isInPlace();
    if (reportedInPlace_ == inPlace) {
        return;
    }
    reportedInPlace_ = inPlace;
    view_->placementChanged();
}

void WindowsPanel::tellView(void (PanelContent::*call)()) {
    host_.postToMain([weak = weak_from_this(), call] {
        auto panel = weak.lock();
        if (panel && panel->usable() && panel->view_) {
            // The call may drop the core's last reference to the panel.
            auto view = panel->view_;
            ((*view).*call)();
        }
    });
}

LRESULT WindowsPanel::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_MOUSEACTIVATE:
            // A click does not activate the shield by itself; the view's handling of the
            // press decides whether it takes the keyboard.
            return MA_NOACTIVATE;
        case WM_LBUTTONDOWN:
            tellView(&PanelContent::mouseDown);
            return 0;
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
        case WM_XBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
        case WM_MBUTTONUP:
        case WM_XBUTTONUP:
        case WM_MOUSEWHEEL:
        case WM_MOUSEHWHEEL:
            // Consumed: nothing reaches the window underneath.
            return 0;
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            // Alt combinations too: Alt+F4 on the shield must not close it, and the window
            // menu (Alt+Space) must not open.
            tellView(&PanelContent::keyDown);
            return 0;
        case WM_KEYUP:
        case WM_SYSKEYUP:
        case WM_CHAR:
        case WM_SYSCHAR:
        case WM_DEADCHAR:
        case WM_SYSDEADCHAR:
            return 0;
        case WM_SYSCOMMAND:
            if ((wParam & 0xfff0) == SC_CLOSE) {
                tellView(&PanelContent::closeRequested);
                return 0;
            }
            if ((wParam & 0xfff0) == SC_MINIMIZE || (wParam & 0xfff0) == SC_MOVE ||
                (wParam & 0xfff0) == SC_SIZE || (wParam & 0xfff0) == SC_KEYMENU) {
                return 0;
            }
            break;
        case WM_CLOSE:
            // Another program (or the user through it) asked the shield to close; it stays.
            tellView(&PanelContent::closeRequested);
            return 0;
        case WM_WINDOWPOSCHANGED:
        case WM_SHOWWINDOW:
        case WM_ACTIVATE:
            host_.placementMayHaveChanged();
            break;
        case WM_DPICHANGED:
            needsPicture_ = true;
            host_.placementMayHaveChanged();
            return 0;
        case WM_NCHITTEST:
            // The whole shield is client area: no border or caption to drag or size by.
            return HTCLIENT;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace sh::windows
