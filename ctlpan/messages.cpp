// The panel's messages: the error box every failure goes through, the text that describes an
// error code, and a formatted window-text setter.
#include "panel.h"

#include "panel_text.h"

#include <stdarg.h>

int ShowMessage(const char* format, ...)
{
    char text[1032];
    va_list arguments;
    va_start(arguments, format);
    wvsprintfA(text, format, arguments);
    va_end(arguments);
    // The box runs its own message loop; the main dialog's timer must not refresh meanwhile.
    --RefreshEnabled;
    int result = MessageBoxA(MainWindow, text, PanelTitle, MB_ICONERROR);
    ++RefreshEnabled;
    return result;
}

char* ErrorText(char* buffer, DWORD error)
{
    DWORD savedError = GetLastError();
    size_t prefixLength = WriteErrorPrefix(buffer, ErrorTextSize, error);
    DWORD descriptionLength = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer + prefixLength,
        static_cast<DWORD>(ErrorTextSize - prefixLength - 1), nullptr);
    FinishErrorText(buffer, prefixLength, descriptionLength);
    SetLastError(savedError);
    return buffer;
}

void NormalizeLastError()
{
    DWORD error = GetLastError();
    DWORD normalized = SetupErrorAsHresult(error);
    if (normalized != error) {
        SetLastError(normalized);
    }
}

void SetWindowTextF(HWND window, const char* format, ...)
{
    // wvsprintfA writes up to 1024 characters whatever the buffer; the text is cut to 255 after.
    char text[1025];
    va_list arguments;
    va_start(arguments, format);
    wvsprintfA(text, format, arguments);
    va_end(arguments);
    text[255] = '\0';
    SetWindowTextA(window, text);
}
