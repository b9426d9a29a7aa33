// The About dialog: product and driver versions, and the support address and home page as links
// that open with the shell.
#include "panel.h"

#include "panel_text.h"
#include "resource.h"

#include <shellapi.h>

namespace {

constexpr char ProductName[] = "Quill Tarn";
constexpr char AboutLine[] = "Loop-back audio cables for Windows";
constexpr char SupportAddress[] = "support@quill-tarn.example";
constexpr char HomePage[] = "www.quill-tarn.example";

// The size of NONCLIENTMETRICSA without iPaddedBorderWidth, which every system version accepts.
constexpr UINT NonClientMetricsSize = 340;

HFONT LinkFont;       // underlined; exists while an About box is open
HCURSOR HandCursor;
HCURSOR ArrowCursor;

bool IsLink(HWND control)
{
    int id = control != nullptr ? GetDlgCtrlID(control) : 0;
    return id == IDC_ABOUT_SUPPORT || id == IDC_ABOUT_HOMEPAGE;
}

void CreateLinkFont()
{
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = NonClientMetricsSize;
    HFONT created = nullptr;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, NonClientMetricsSize, &metrics, 0)) {
        created = CreateFontIndirectA(&metrics.lfMessageFont);
    }
    HFONT base = created != nullptr ? created : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTA font = {};
    GetObjectA(base, sizeof(font), &font);
    font.lfUnderline = 1;
    LinkFont = CreateFontIndirectA(&font);
    if (created != nullptr) {
        DeleteObject(created);
    }
}

void CentreOverOwner(HWND dialog)
{
    RECT owner;
    RECT box;
    GetWindowRect(GetWindow(dialog, GW_OWNER), &owner);
    GetWindowRect(dialog, &box);
    SetWindowPos(dialog, nullptr, CentreStart(owner.left, owner.right, box.left, box.right),
                 CentreStart(owner.top, owner.bottom, box.top, box.bottom), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER | SWP_SHOWWINDOW);
}

BOOL InitAbout(HWND dialog)
{
    DriverInfo info;
    if (!GetDriverInfo(&info)) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    SetDlgItemTextA(dialog, IDC_ABOUT_NAME, ProductName);
    SetWindowTextF(GetDlgItem(dialog, IDC_ABOUT_VERSION), "Driver: %u.%u.%u.%u%s, Control Panel: 4.10.0.2567",
                   info.VersionMajor, info.VersionMinor, info.VersionRevision, info.VersionBuild, "");
    SetDlgItemTextA(dialog, IDC_ABOUT_LINE, AboutLine);
    SetDlgItemTextA(dialog, IDC_ABOUT_SUPPORT, SupportAddress);
    SetDlgItemTextA(dialog, IDC_ABOUT_HOMEPAGE, HomePage);
    CreateLinkFont();
    HandCursor = LoadCursorA(nullptr, IDC_HAND);
    ArrowCursor = LoadCursorA(nullptr, IDC_ARROW);
    CentreOverOwner(dialog);
    return TRUE;
}

// Link colours, and the control shrunk to its text so that only the text is clickable.
INT_PTR LinkColours(HDC dc, HWND control)
{
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColorBrush(COLOR_HOTLIGHT) != nullptr ? GetSysColor(COLOR_HOTLIGHT) : RGB(0, 0, 255));
    SelectObject(dc, LinkFont);
    char text[256];
    int length = GetWindowTextA(control, text, sizeof(text));
    SIZE extent = {};
    GetTextExtentPoint32A(dc, text, length, &extent);
    SetWindowPos(control, nullptr, 0, 0, extent.cx, extent.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOOWNERZORDER);
    return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
}

void OpenLink(HWND dialog, HWND control)
{
    char text[256];
    GetWindowTextA(control, text, sizeof(text));
    char target[sizeof(text) + 8];
    LinkTarget(text, target, sizeof(target));
    ShellExecuteA(dialog, "open", target, nullptr, nullptr, SW_SHOWNORMAL);
}

void Mouse(HWND dialog, UINT message, LPARAM lParam)
{
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    HWND child = ChildWindowFromPoint(dialog, point);
    if (!IsLink(child)) {
        SetCursor(ArrowCursor);
    } else if (message == WM_MOUSEMOVE) {
        SetCursor(HandCursor);
    } else {
        OpenLink(dialog, child);
    }
}

}  // namespace

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return InitAbout(dialog);
    case WM_CTLCOLORSTATIC: {
        HWND control = reinterpret_cast<HWND>(lParam);
        if (IsLink(control)) {
            return LinkColours(reinterpret_cast<HDC>(wParam), control);
        }
        return FALSE;
    }
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
        Mouse(dialog, message, lParam);
        return FALSE;
    case WM_COMMAND:
        if (wParam == IDOK || wParam == IDCANCEL) {
            DeleteObject(LinkFont);
            LinkFont = nullptr;
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
