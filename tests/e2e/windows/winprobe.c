/* The Windows end-to-end tests' probe: a console program that stays running and answers one
 * line for each command line read on its standard input, so that a test pays for starting a
 * Wine process once rather than once per question. It reads the window list, moves, raises,
 * activates, minimises and closes windows, sends real input through SendInput and reads the
 * screen.
 *
 *   list                      {"foreground":H,"windows":[...]}: every top-level, front to back
 *   move H X Y W H            SetWindowPos without activation or a change of z-order
 *   raise H                   SetWindowPos(HWND_TOP) without activation
 *   topmost H / notopmost H   SetWindowPos(HWND_TOPMOST / HWND_NOTOPMOST): "always on top"
 *   activate H                SetForegroundWindow
 *   minimize H / restore H    ShowWindow
 *   close H                   PostMessage(WM_CLOSE)
 *   sync H N                  sends blockme's sync message (WM_APP) with N and waits for it
 *   click X Y                 SendInput: move there, left button down and up
 *   key VK                    SendInput: the virtual key (a number, or one letter or digit)
 *   type TEXT                 SendInput: each character of TEXT as a Unicode key press
 *   pixel X Y                 {"pixel":"RRGGBB"} read from the screen
 *   screenshot PATH           the whole screen as a 24-bit BMP file
 *
 * Every other answer is "ok" or "error TEXT". Handles are read and printed as decimal numbers
 * (a 0x prefix is accepted). The end of input ends the probe.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

static HANDLE in;
static HANDLE out;

/* A growing output line, written whole with one WriteFile so that the reader never sees part
 * of an answer. */
typedef struct {
    char* data;
    size_t length;
    size_t capacity;
} Buffer;

static void append(Buffer* buffer, const char* text, size_t length) {
    if (buffer->length + length + 2 > buffer->capacity) {
        size_t capacity = buffer->capacity ? buffer->capacity : 4096;
        while (buffer->length + length + 2 > capacity) {
            capacity *= 2;
        }
        buffer->data = realloc(buffer->data, capacity);
        buffer->capacity = capacity;
    }
    memcpy(buffer->data + buffer->length, text, length);
    buffer->length += length;
}

static void appendf(Buffer* buffer, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length > 0) {
        append(buffer, text, (size_t)length < sizeof text ? (size_t)length : sizeof text - 1);
    }
}

/* A JSON string from UTF-16 text: converted to UTF-8, with quotes, backslashes and control
 * characters escaped. */
static void appendJsonString(Buffer* buffer, const wchar_t* text) {
    char utf8[2048];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    if (length <= 0) {
        utf8[0] = 0;
    }
    append(buffer, "\"", 1);
    for (const unsigned char* p = (const unsigned char*)utf8; *p; ++p) {
        if (*p == '"' || *p == '\\') {
            char escaped[2] = {'\\', (char)*p};
            append(buffer, escaped, 2);
        } else if (*p < 0x20) {
            appendf(buffer, "\\u%04x", *p);
        } else {
            append(buffer, (const char*)p, 1);
        }
    }
    append(buffer, "\"", 1);
}

static void sendBuffer(Buffer* buffer) {
    append(buffer, "\n", 1);
    DWORD written = 0;
    WriteFile(out, buffer->data, (DWORD)buffer->length, &written, NULL);
    buffer->length = 0;
}

static void answer(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text - 1, format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    if (length > (int)sizeof text - 2) {
        length = (int)sizeof text - 2;
    }
    text[length++] = '\n';
    DWORD written = 0;
    WriteFile(out, text, (DWORD)length, &written, NULL);
}

static void answerLastError(const char* what) {
    answer("error %s failed (%lu)", what, GetLastError());
}

static const wchar_t* baseName(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') {
            name = p + 1;
        }
    }
    return name;
}

static void executableOf(DWORD pid, wchar_t* name, DWORD size) {
    name[0] = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == NULL) {
        return;
    }
    wchar_t path[MAX_PATH * 2];
    DWORD length = sizeof path / sizeof path[0];
    if (QueryFullProcessImageNameW(process, 0, path, &length)) {
        wcsncpy(name, baseName(path), size - 1);
        name[size - 1] = 0;
    }
    CloseHandle(process);
}

static void listWindows(Buffer* buffer) {
    appendf(buffer, "{\"foreground\":%llu,\"windows\":[",
            (unsigned long long)(ULONG_PTR)GetForegroundWindow());
    int first = 1;
    for (HWND window = GetTopWindow(NULL); window != NULL;
         window = GetWindow(window, GW_HWNDNEXT)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        wchar_t exe[MAX_PATH];
        executableOf(pid, exe, MAX_PATH);
        wchar_t className[256] = L"";
        GetClassNameW(window, className, 256);
        wchar_t title[512] = L"";
        GetWindowTextW(window, title, 512);
        RECT rect = {0};
        GetWindowRect(window, &rect);
        LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
        LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
        if (!first) {
            append(buffer, ",", 1);
        }
        first = 0;
        appendf(buffer,
                "{\"hwnd\":%llu,\"pid\":%lu,\"exe\":", (unsigned long long)(ULONG_PTR)window, pid);
        appendJsonString(buffer, exe);
        append(buffer, ",\"class\":", 9);
        appendJsonString(buffer, className);
        append(buffer, ",\"title\":", 9);
        appendJsonString(buffer, title);
        appendf(buffer,
                ",\"x\":%ld,\"y\":%ld,\"w\":%ld,\"h\":%ld,\"visible\":%s,\"iconic\":%s,"
                "\"popup\":%s,\"layered\":%s,\"toolwindow\":%s,\"topmost\":%s,\"noactivate\":%s,"
                "\"owner\":%llu}",
                rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                IsWindowVisible(window) ? "true" : "false", IsIconic(window) ? "true" : "false",
                (style & WS_POPUP) ? "true" : "false", (exStyle & WS_EX_LAYERED) ? "true" : "false",
                (exStyle & WS_EX_TOOLWINDOW) ? "true" : "false",
                (exStyle & WS_EX_TOPMOST) ? "true" : "false",
                (exStyle & WS_EX_NOACTIVATE) ? "true" : "false",
                (unsigned long long)(ULONG_PTR)GetWindow(window, GW_OWNER));
    }
    append(buffer, "]}", 2);
    sendBuffer(buffer);
}

/* Reads up to `count` integers from `args`; returns how many it read. */
static int readNumbers(const char* args, long long* numbers, int count) {
    int read = 0;
    const char* p = args;
    while (read < count) {
        char* end = NULL;
        long long value = strtoll(p, &end, 0);
        if (end == p) {
            break;
        }
        numbers[read++] = value;
        p = end;
    }
    while (*p == ' ') {
        ++p;
    }
    return *p ? -1 : read;
}

static HWND windowArgument(const char* args) {
    long long value = 0;
    if (readNumbers(args, &value, 1) != 1) {
        return NULL;
    }
    HWND window = (HWND)(ULONG_PTR)value;
    return IsWindow(window) ? window : NULL;
}

static int sendInputs(INPUT* inputs, UINT count) {
    if (SendInput(count, inputs, sizeof(INPUT)) != count) {
        answerLastError("SendInput");
        return 0;
    }
    return 1;
}

static void click(int x, int y) {
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT inputs[3];
    memset(inputs, 0, sizeof inputs);
    for (int i = 0; i < 3; ++i) {
        inputs[i].type = INPUT_MOUSE;
        /* Absolute coordinates are in 1/65536 of the screen; rounding up lands exactly on the
         * pixel whichever way the system scales them back. */
        inputs[i].mi.dx = (LONG)(((long long)x * 65536 + width - 1) / width);
        inputs[i].mi.dy = (LONG)(((long long)y * 65536 + height - 1) / height);
    }
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    if (sendInputs(inputs, 3)) {
        answer("ok");
    }
}

static void key(const char* args) {
    long long vk = 0;
    if (args[0] && !args[1] &&
        ((args[0] >= 'A' && args[0] <= 'Z') || (args[0] >= '0' && args[0] <= '9'))) {
        vk = args[0];
    } else if (readNumbers(args, &vk, 1) != 1 || vk <= 0 || vk > 0xFE) {
        answer("error key wants a virtual key code");
        return;
    }
    INPUT inputs[2];
    memset(inputs, 0, sizeof inputs);
    for (int i = 0; i < 2; ++i) {
        inputs[i].type = INPUT_KEYBOARD;
        inputs[i].ki.wVk = (WORD)vk;
        inputs[i].ki.wScan = (WORD)MapVirtualKeyW((UINT)vk, MAPVK_VK_TO_VSC);
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    if (sendInputs(inputs, 2)) {
        answer("ok");
    }
}

static void typeText(const char* text) {
    wchar_t wide[512];
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 512) - 1;
    if (length <= 0) {
        answer("error type wants text");
        return;
    }
    INPUT* inputs = calloc((size_t)length * 2, sizeof(INPUT));
    for (int i = 0; i < length; ++i) {
        for (int up = 0; up < 2; ++up) {
            INPUT* input = &inputs[i * 2 + up];
            input->type = INPUT_KEYBOARD;
            input->ki.wScan = wide[i];
            input->ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
        }
    }
    if (sendInputs(inputs, (UINT)length * 2)) {
        answer("ok");
    }
    free(inputs);
}

static void pixel(int x, int y) {
    HDC screen = GetDC(NULL);
    COLORREF colour = GetPixel(screen, x, y);
    ReleaseDC(NULL, screen);
    if (colour == CLR_INVALID) {
        answer("error no pixel at %d %d", x, y);
        return;
    }
    answer("{\"pixel\":\"%02X%02X%02X\"}", GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

static void screenshot(const char* path) {
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    /* A positive height: rows bottom-up, as a BMP file keeps them. */
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    int ok = bitmap != NULL;
    if (ok) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT);
        GdiFlush();
        SelectObject(memory, old);
    }
    DWORD stride = ((DWORD)width * 3 + 3) & ~3u;
    DWORD imageSize = stride * (DWORD)height;
    FILE* file = ok ? fopen(path, "wb") : NULL;
    if (file != NULL) {
        BITMAPFILEHEADER header;
        memset(&header, 0, sizeof header);
        header.bfType = 0x4D42;
        header.bfOffBits = sizeof header + sizeof info.bmiHeader;
        header.bfSize = header.bfOffBits + imageSize;
        info.bmiHeader.biSizeImage = imageSize;
        ok = fwrite(&header, sizeof header, 1, file) == 1 &&
             fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file) == 1 &&
             fwrite(bits, imageSize, 1, file) == 1;
        ok = fclose(file) == 0 && ok;
    } else {
        ok = 0;
    }
    if (bitmap != NULL) {
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    if (ok) {
        answer("ok");
    } else {
        answer("error no screenshot written to %s", path);
    }
}

static void windowCommand(const char* command, const char* args) {
    HWND window = windowArgument(args);
    if (window == NULL) {
        answer("error no such window: %s", args);
        return;
    }
    BOOL done;
    if (strcmp(command, "raise") == 0) {
        done = SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    } else if (strcmp(command, "topmost") == 0 || strcmp(command, "notopmost") == 0) {
        done = SetWindowPos(window, strcmp(command, "topmost") == 0 ? HWND_TOPMOST : HWND_NOTOPMOST,
                            0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    } else if (strcmp(command, "activate") == 0) {
        done = SetForegroundWindow(window);
    } else if (strcmp(command, "minimize") == 0) {
        ShowWindow(window, SW_MINIMIZE);
        done = TRUE;
    } else if (strcmp(command, "restore") == 0) {
        ShowWindow(window, SW_RESTORE);
        done = TRUE;
    } else {
        done = PostMessageW(window, WM_CLOSE, 0, 0);
    }
    if (done) {
        answer("ok");
    } else {
        answerLastError(command);
    }
}

static void handle(char* line, Buffer* buffer) {
    char* args = strchr(line, ' ');
    if (args != NULL) {
        *args++ = 0;
    } else {
        args = line + strlen(line);
    }
    long long numbers[5];
    if (strcmp(line, "list") == 0) {
        listWindows(buffer);
    } else if (strcmp(line, "move") == 0) {
        if (readNumbers(args, numbers, 5) != 5 || !IsWindow((HWND)(ULONG_PTR)numbers[0])) {
            answer("error move wants a window, x, y, width and height");
        } else if (SetWindowPos((HWND)(ULONG_PTR)numbers[0], NULL, (int)numbers[1], (int)numbers[2],
                                (int)numbers[3], (int)numbers[4], SWP_NOZORDER | SWP_NOACTIVATE)) {
            answer("ok");
        } else {
            answerLastError("SetWindowPos");
        }
    } else if (strcmp(line, "sync") == 0) {
        DWORD_PTR result = 0;
        if (readNumbers(args, numbers, 2) != 2 || !IsWindow((HWND)(ULONG_PTR)numbers[0])) {
            answer("error sync wants a window and a number");
        } else if (SendMessageTimeoutW((HWND)(ULONG_PTR)numbers[0], WM_APP, (WPARAM)numbers[1], 0,
                                       SMTO_NORMAL, 5000, &result)) {
            answer("ok");
        } else {
            answerLastError("SendMessageTimeout");
        }
    } else if (strcmp(line, "raise") == 0 || strcmp(line, "topmost") == 0 ||
               strcmp(line, "notopmost") == 0 || strcmp(line, "activate") == 0 ||
               strcmp(line, "minimize") == 0 || strcmp(line, "restore") == 0 ||
               strcmp(line, "close") == 0) {
        windowCommand(line, args);
    } else if (strcmp(line, "click") == 0 || strcmp(line, "pixel") == 0) {
        if (readNumbers(args, numbers, 2) != 2) {
            answer("error %s wants x and y", line);
        } else if (line[0] == 'c') {
            click((int)numbers[0], (int)numbers[1]);
        } else {
            pixel((int)numbers[0], (int)numbers[1]);
        }
    } else if (strcmp(line, "key") == 0) {
        key(args);
    } else if (strcmp(line, "type") == 0) {
        typeText(args);
    } else if (strcmp(line, "screenshot") == 0) {
        if (!*args) {
            answer("error screenshot wants a path");
        } else {
            screenshot(args);
        }
    } else {
        answer("error unknown command: %s", line);
    }
}

int main(void) {
    in = GetStdHandle(STD_INPUT_HANDLE);
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    /* The probe acts for the tests, not for a person: the system may let it set the
     * foreground window whatever process is in front. */
    AllowSetForegroundWindow(ASFW_ANY);
    Buffer buffer = {0};
    char line[4096];
    size_t length = 0;
    for (;;) {
        char chunk[1024];
        DWORD got = 0;
        /* A pipe whose writer closed reads 0 bytes (or fails with ERROR_BROKEN_PIPE). */
        if (!ReadFile(in, chunk, sizeof chunk, &got, NULL) || got == 0) {
            break;
        }
        for (DWORD i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                if (length > 0 && line[length - 1] == '\r') {
                    --length;
                }
                line[length] = 0;
                handle(line, &buffer);
                length = 0;
            } else if (length < sizeof line - 1) {
                line[length++] = chunk[i];
            }
        }
    }
    free(buffer.data);
    return 0;
}
