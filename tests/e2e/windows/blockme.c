/* A stand-in application for the Windows end-to-end tests: one ordinary overlapped window
 * painted a solid colour, which writes a line to its standard output for every key, character,
 * left click and activation change it receives, so that a test can prove what reached it.
 *
 * blockme TITLE [X Y W H]
 *
 * Built as blockme.exe (green) and as otherapp.exe (blue, WINDOW_COLOR=0x0000FF); the helper
 * tells targets apart by the executable's file name. Lines: "ready HWND", "activate active",
 * "activate inactive", "keydown VK", "syskeydown VK", "char CODE", "lbuttondown X Y" (client
 * coordinates), "close", and "sync N" for winprobe's sync: a barrier, written once every key and
 * click queued for the window before it has been handled and logged. Handles are printed as
 * decimal numbers, as winprobe prints them.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#ifndef WINDOW_COLOR
#define WINDOW_COLOR 0x00FF00
#endif

/* winprobe's sync message (WM_APP); its wParam is the number to log. */
#define SYNC_MESSAGE WM_APP

static HANDLE out;

/* Each line is written whole with one WriteFile, so that a test reading the pipe never sees a
 * half line and nothing waits in a C runtime buffer. */
static void logLine(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0 || out == NULL || out == INVALID_HANDLE_VALUE) {
        return;
    }
    if (length > (int)sizeof line - 2) {
        length = (int)sizeof line - 2;
    }
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(out, line, (DWORD)length, &written, NULL);
}

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ACTIVATE:
            logLine("activate %s", LOWORD(wParam) == WA_INACTIVE ? "inactive" : "active");
            break;
        case WM_KEYDOWN:
            logLine("keydown %u", (unsigned)wParam);
            break;
        case WM_SYSKEYDOWN:
            logLine("syskeydown %u", (unsigned)wParam);
            break;
        case WM_CHAR:
            logLine("char %u", (unsigned)wParam);
            break;
        case WM_LBUTTONDOWN:
            logLine("lbuttondown %d %d", (short)LOWORD(lParam), (short)HIWORD(lParam));
            break;
        case SYNC_MESSAGE: {
            /* A sent message is handled before the input waiting in the queue, so the input
             * queued before it is taken and handled here first: then "sync" is written after
             * the lines of every key and click that arrived before it. */
            MSG queued;
            while (PeekMessageW(&queued, NULL, 0, 0, PM_REMOVE | PM_QS_INPUT | PM_QS_POSTMESSAGE)) {
                if (queued.message == WM_QUIT) {
                    PostQuitMessage((int)queued.wParam);
                    break;
                }
                TranslateMessage(&queued);
                DispatchMessageW(&queued);
            }
            logLine("sync %u", (unsigned)wParam);
            return 0;
        }
        case WM_CLOSE:
            logLine("close");
            break;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
    (void)previous;
    (void)commandLine;
    (void)show;
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL || (argc != 2 && argc != 6)) {
        logLine("usage: blockme TITLE [X Y W H]");
        return 2;
    }
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT, width = CW_USEDEFAULT, height = CW_USEDEFAULT;
    if (argc == 6) {
        x = _wtoi(argv[2]);
        y = _wtoi(argv[3]);
        width = _wtoi(argv[4]);
        height = _wtoi(argv[5]);
    }

    WNDCLASSEXW windowClass = {0};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    /* The class brush paints the whole client area on every erase, so the window shows its
     * colour from its first frame without a WM_PAINT handler of its own. */
    windowClass.hbrBackground = CreateSolidBrush(
        RGB((WINDOW_COLOR >> 16) & 0xFF, (WINDOW_COLOR >> 8) & 0xFF, WINDOW_COLOR & 0xFF));
    windowClass.lpszClassName = L"BlockMeWindow";
    if (!RegisterClassExW(&windowClass)) {
        logLine("error RegisterClassExW %lu", GetLastError());
        return 1;
    }
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, argv[1], WS_OVERLAPPEDWINDOW, x, y,
                                  width, height, NULL, NULL, instance, NULL);
    if (window == NULL) {
        logLine("error CreateWindowExW %lu", GetLastError());
        return 1;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    logLine("ready %llu", (unsigned long long)(ULONG_PTR)window);

    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
