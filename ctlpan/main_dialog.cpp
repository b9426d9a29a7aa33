// The main dialog: the driver-wide figures, the list of cables with their live statistics, and
// the edit fields of the selected cable, which are validated and sent as changed settings only.
#include "panel.h"

#include "cable_settings.h"
#include "panel_text.h"
#include "resource.h"

#include <commctrl.h>
#include <shellapi.h>

namespace {

constexpr UINT_PTR RefreshTimer = 1;
constexpr UINT RefreshPeriodMs = 500;
constexpr int LineBoxes[3] = {IDC_LINE_MIC, IDC_LINE_LINE, IDC_LINE_SPDIF};

ULONG CableCount;      // rows of the list, as last read from DriverInfo
ULONG SelectedCable;   // the cable whose settings the edit fields show
char HelpPath[MAX_PATH + 16];
HWND CableList;
HWND ClockUpDown;
UINT NextControlId = 0x4000;

void AddUpDown(HWND dialog, int editId, int minimum, int maximum, int position)
{
    ++NextControlId;
    HWND upDown = CreateUpDownControl(WS_CHILD | WS_VISIBLE | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS |
                                          UDS_NOTHOUSANDS,
                                      0, 0, 0, 0, dialog, static_cast<int>(NextControlId), AppInstance,
                                      GetDlgItem(dialog, editId), maximum, minimum, position);
    if (upDown != nullptr) {
        SendMessageA(upDown, UDM_SETRANGE32, static_cast<WPARAM>(minimum), static_cast<LPARAM>(maximum));
        SendMessageA(upDown, UDM_SETPOS32, 0, static_cast<LPARAM>(position));
    }
}

ULONG ReadNumber(HWND dialog, int editId)
{
    char text[21];
    GetDlgItemTextA(dialog, editId, text, sizeof(text));
    return ParseNumber(text);
}

void WriteNumber(HWND dialog, int editId, ULONG value)
{
    SetWindowTextF(GetDlgItem(dialog, editId), "%u", value);
}

bool CheckRange(ULONG value, const char* field, ULONG minimum, ULONG maximum)
{
    if (minimum <= value && value <= maximum) {
        return true;
    }
    ShowMessage(RangeMessage, field, value, minimum, maximum);
    return false;
}

void SetCell(int row, int column, const char* text)
{
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text);
    SendMessageA(CableList, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void SetUpColumns()
{
    LONG_PTR style = GetWindowLongPtrA(CableList, GWL_STYLE);
    SetWindowLongPtrA(CableList, GWL_STYLE, style | LVS_SHOWSELALWAYS);
    SendMessageA(CableList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (int column = 0; column < CableColumnCount; ++column) {
        LVCOLUMNA header = {};
        header.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        header.fmt = LVCFMT_CENTER;
        header.cx = 10;
        header.pszText = const_cast<char*>(CableColumnHeaders[column]);
        header.iSubItem = column;
        SendMessageA(CableList, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&header));
    }
    for (int column = 0; column < CableColumnCount; ++column) {
        SendMessageA(CableList, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column), LVSCW_AUTOSIZE_USEHEADER);
    }
}

void ShowCounts(HWND dialog, const DriverInfo& info)
{
    WriteNumber(dialog, IDC_CLIENTS, info.OpenHandles);
    WriteNumber(dialog, IDC_STREAMS, info.OpenStreams);
}

bool RefreshRows()
{
    for (ULONG cable = 0; cable < CableCount; ++cable) {
        CableRowText row;
        CableInfo info = {};
        FormatCableRow(cable, info, &row);
        SetCell(static_cast<int>(cable), 0, row.Cell[0]);
        if (!GetCableInfo(cable, &info)) {
            return false;
        }
        FormatCableRow(cable, info, &row);
        for (int column = 1; column <= 14; ++column) {
            SetCell(static_cast<int>(cable), column, row.Cell[column]);
        }
    }
    return true;
}

bool RefreshAll(HWND dialog)
{
    DriverInfo info;
    if (!GetDriverInfo(&info)) {
        return false;
    }
    ShowCounts(dialog, info);
    CableCount = info.NumberOfCables;
    WriteNumber(dialog, IDC_NUM_CABLES, info.NumberOfCables);

    SendMessageA(CableList, LVM_DELETEALLITEMS, 0, 0);
    for (ULONG cable = 0; cable < CableCount; ++cable) {
        LVITEMA item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(cable);
        item.pszText = const_cast<char*>("");
        SendMessageA(CableList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    SelectedCable = 0;
    if (!RefreshRows()) {
        return false;
    }
    // Selecting row 0 loads cable 0's fields through LVN_ITEMCHANGED.
    LVITEMA state = {};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(CableList, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
    return true;
}

bool LoadCableFields(HWND dialog)
{
    DriverInfo driverInfo;
    CableInfo info;
    if (!GetDriverInfo(&driverInfo) || !GetCableInfo(SelectedCable, &info)) {
        return false;
    }
    SendDlgItemMessageA(dialog, IDC_FMT_LIMIT, CB_SETCURSEL, info.FormatLimiting, 0);
    CheckDlgButton(dialog, IDC_VOLUME_CTL, info.VolumeControl != 0 ? BST_CHECKED : BST_UNCHECKED);
    WriteNumber(dialog, IDC_MAX_INST, info.MaxInstances);
    WriteNumber(dialog, IDC_MS_PER_INT, info.MsPerInterrupt);
    WriteNumber(dialog, IDC_MIN_SR, info.MinSamplingRate);
    WriteNumber(dialog, IDC_MAX_SR, info.MaxSamplingRate);
    WriteNumber(dialog, IDC_MIN_BPS, info.MinBitsPerSample);
    WriteNumber(dialog, IDC_MAX_BPS, info.MaxBitsPerSample);
    WriteNumber(dialog, IDC_MIN_NC, info.MinChannels);
    WriteNumber(dialog, IDC_MAX_NC, info.MaxChannels);
    for (ULONG bit = 0; bit < 3; ++bit) {
        ULONG mask = 1u << bit;
        EnableWindow(GetDlgItem(dialog, LineBoxes[bit]), (info.SourceLineTypes & mask) != 0);
        CheckDlgButton(dialog, LineBoxes[bit], (info.ConnectedSourceLines & mask) != 0 ? BST_CHECKED : BST_UNCHECKED);
    }
    char clock[16];
    FormatFixed3(clock, sizeof(clock), ClockThousandthsFromFactor(info.ClockCorrection));
    SetDlgItemTextA(dialog, IDC_CLOCK_CORR, clock);
    return true;
}

// After a restart attempt the dialog goes on only with an open channel and a fresh view. A
// refused restart (streams open) leaves the channel open, so the panel stays with the user.
// Returns false when the dialog has ended.
bool RestartAndRefresh(HWND dialog)
{
    RestartDriver();
    if (DriverHandle == nullptr || !RefreshAll(dialog)) {
        EndDialog(dialog, 1);
        return false;
    }
    return true;
}

void SetNumberOfCablesCommand(HWND dialog)
{
    ULONG count = ReadNumber(dialog, IDC_NUM_CABLES);
    if (count == CableCount) {
        return;
    }
    DriverInfo info;
    if (!CheckRange(count, "number of cables", MinCables, MaxCables) || !SetNumberOfCables(count) ||
        !GetDriverInfo(&info)) {
        WriteNumber(dialog, IDC_NUM_CABLES, CableCount);
        return;
    }
    if (info.RestartNeeded != 0) {
        RestartAndRefresh(dialog);
    }
}

bool SendPlannedRequest(const PlannedRequest& request, const CableSettings& settings)
{
    switch (request.Code) {
    case IOCTL_SET_VOLUME_CONTROL:
        return SetVolumeControl(SelectedCable, request.Value);
    case IOCTL_SET_MS_PER_INTERRUPT:
        return SetMsPerInterrupt(SelectedCable, request.Value);
    case IOCTL_SET_FORMAT_RANGE:
        return SetFormatRange(SelectedCable, settings.MinSamplingRate, settings.MaxSamplingRate,
                              settings.MinBitsPerSample, settings.MaxBitsPerSample, settings.MinChannels,
                              settings.MaxChannels);
    case IOCTL_SET_STREAM_FORMAT_LIMITING:
        return SetStreamFormatLimiting(SelectedCable, request.Value);
    case IOCTL_SET_MAX_INSTANCES:
        return SetMaxInstances(SelectedCable, request.Value);
    case IOCTL_SET_CONNECTED_SOURCE_LINES:
        return SetConnectedSourceLines(SelectedCable, request.Value);
    case IOCTL_SET_CLOCK_CORRECTION:
        return SetClockCorrection(SelectedCable, request.Value);
    default:
        return false;
    }
}

void UpdateCableCommand(HWND dialog)
{
    char clockText[16];
    UINT clockLength = GetDlgItemTextA(dialog, IDC_CLOCK_CORR, clockText, sizeof(clockText));
    CableFields fields = {};
    fields.MaxInstances = ReadNumber(dialog, IDC_MAX_INST);
    fields.MsPerInterrupt = ReadNumber(dialog, IDC_MS_PER_INT);
    fields.VolumeControl = IsDlgButtonChecked(dialog, IDC_VOLUME_CTL) == BST_CHECKED;
    fields.MinSamplingRate = ReadNumber(dialog, IDC_MIN_SR);
    fields.MaxSamplingRate = ReadNumber(dialog, IDC_MAX_SR);
    fields.MinBitsPerSample = ReadNumber(dialog, IDC_MIN_BPS);
    fields.MaxBitsPerSample = ReadNumber(dialog, IDC_MAX_BPS);
    fields.MinChannels = ReadNumber(dialog, IDC_MIN_NC);
    fields.MaxChannels = ReadNumber(dialog, IDC_MAX_NC);
    fields.FormatLimiting = static_cast<ULONG>(SendDlgItemMessageA(dialog, IDC_FMT_LIMIT, CB_GETCURSEL, 0, 0));
    fields.Mic = IsDlgButtonChecked(dialog, IDC_LINE_MIC) == BST_CHECKED;
    fields.Line = IsDlgButtonChecked(dialog, IDC_LINE_LINE) == BST_CHECKED;
    fields.Spdif = IsDlgButtonChecked(dialog, IDC_LINE_SPDIF) == BST_CHECKED;
    fields.ClockText = clockLength > 0 ? clockText : "";

    CableSettings settings;
    ValidationError error;
    if (!ValidateCableFields(fields, &settings, &error)) {
        if (error.Field != nullptr) {
            ShowMessage(error.Format, error.Field, error.Numbers[0], error.Numbers[1], error.Numbers[2]);
        } else {
            ShowMessage(error.Format, error.Numbers[0], error.Numbers[1], error.Numbers[2]);
        }
        LoadCableFields(dialog);
        return;
    }

    CableInfo current;
    if (!GetCableInfo(SelectedCable, &current)) {
        EndDialog(dialog, 0);
        return;
    }
    PlannedRequest requests[MaxPlannedRequests];
    int requestCount = PlanCableRequests(settings, current, requests);
    for (int i = 0; i < requestCount; ++i) {
        // A refused request has shown its message; the others are still tried.
        SendPlannedRequest(requests[i], settings);
    }

    DriverInfo info;
    bool haveInfo = GetDriverInfo(&info);
    if (haveInfo && info.RestartNeeded != 0) {
        if (!RestartAndRefresh(dialog)) {
            return;
        }
    }
    if (requestCount > 0 || !haveInfo) {
        LoadCableFields(dialog);
    }
}

bool IsCommand(int id)
{
    switch (id) {
    case IDCANCEL:
    case IDC_HELP:
    case IDC_ABOUT:
    case IDC_SET_CABLES:
    case IDC_RESTART:
    case IDC_SET_CABLE:
        return true;
    default:
        return false;  // IDOK from the Enter key included: a field's Enter applies nothing
    }
}

void Command(HWND dialog, int id)
{
    switch (id) {
    case IDCANCEL:
        EndDialog(dialog, 1);
        break;
    case IDC_HELP:
        ShellExecuteA(nullptr, nullptr, HelpPath, nullptr, nullptr, SW_SHOW);
        break;
    case IDC_ABOUT:
        DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_ABOUT), dialog, AboutDialogProc, 0);
        break;
    case IDC_SET_CABLES:
        SetNumberOfCablesCommand(dialog);
        break;
    case IDC_RESTART:
        RestartAndRefresh(dialog);
        break;
    case IDC_SET_CABLE:
        UpdateCableCommand(dialog);
        break;
    default:
        break;
    }
}

BOOL InitDialog(HWND dialog)
{
    MainWindow = dialog;
    SetWindowTextA(dialog, PanelTitle);
    SendMessageA(dialog, WM_SETICON, ICON_BIG,
                 reinterpret_cast<LPARAM>(LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_PANEL))));

    CopyText(HelpPath, sizeof(HelpPath), ExeDirectory);
    AppendText(HelpPath, sizeof(HelpPath), "\\tarn.chm");
    HANDLE help = CreateFileA(HelpPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (help != INVALID_HANDLE_VALUE) {
        EnableWindow(GetDlgItem(dialog, IDC_HELP), TRUE);
        CloseHandle(help);
    }

    AddUpDown(dialog, IDC_NUM_CABLES, 1, 256, 1);
    AddUpDown(dialog, IDC_MAX_INST, 1, 100, 1);
    AddUpDown(dialog, IDC_MS_PER_INT, 1, 20, 1);
    AddUpDown(dialog, IDC_MIN_SR, 8000, 192000, 1);
    AddUpDown(dialog, IDC_MAX_SR, 8000, 192000, 1);
    AddUpDown(dialog, IDC_MIN_BPS, 8, 32, 1);
    AddUpDown(dialog, IDC_MAX_BPS, 8, 32, 1);
    AddUpDown(dialog, IDC_MIN_NC, 1, 8, 1);
    AddUpDown(dialog, IDC_MAX_NC, 1, 8, 1);
    // The clock field takes decimals: the panel steps it itself on UDN_DELTAPOS.
    ++NextControlId;
    ClockUpDown = CreateUpDownControl(WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_ARROWKEYS, 0, 0, 0, 0, dialog,
                                      static_cast<int>(NextControlId), AppInstance,
                                      GetDlgItem(dialog, IDC_CLOCK_CORR), 11000, 9000, 10000);

    for (const char* name : FormatLimitingNames) {
        SendDlgItemMessageA(dialog, IDC_FMT_LIMIT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }

    CableList = GetDlgItem(dialog, IDC_CABLE_LIST);
    SetUpColumns();
    if (!RefreshAll(dialog)) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    SetTimer(dialog, RefreshTimer, RefreshPeriodMs, nullptr);
    RefreshEnabled = 1;
    return TRUE;
}

void Tick(HWND dialog)
{
    if (RefreshEnabled <= 0) {
        return;
    }
    DriverInfo info;
    if (!GetDriverInfo(&info)) {
        EndDialog(dialog, 1);
        return;
    }
    ShowCounts(dialog, info);
    if ((info.NumberOfCables != CableCount && !RefreshAll(dialog)) || !RefreshRows()) {
        EndDialog(dialog, 1);
    }
}

BOOL Notify(HWND dialog, const NMHDR* header)
{
    if (header->idFrom == IDC_CABLE_LIST && header->code == LVN_ITEMCHANGED) {
        const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(header);
        bool selected = (change->uChanged & LVIF_STATE) != 0 && (change->uOldState & LVIS_SELECTED) == 0 &&
                        (change->uNewState & LVIS_SELECTED) != 0;
        if (selected && change->iItem >= 0) {
            SelectedCable = static_cast<ULONG>(change->iItem);
            LoadCableFields(dialog);
        }
        return TRUE;
    }
    if (header->hwndFrom == ClockUpDown && ClockUpDown != nullptr && header->code == UDN_DELTAPOS) {
        const NMUPDOWN* step = reinterpret_cast<const NMUPDOWN*>(header);
        char text[16];
        ULONG current = NotANumber;
        if (GetDlgItemTextA(dialog, IDC_CLOCK_CORR, text, sizeof(text)) > 0) {
            current = ParseFixed3(text);
        }
        FormatFixed3(text, sizeof(text), StepClockThousandths(current, step->iDelta));
        SetDlgItemTextA(dialog, IDC_CLOCK_CORR, text);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return InitDialog(dialog);
    case WM_COMMAND: {
        int id = LOWORD(wParam);
        if (!IsCommand(id)) {
            return FALSE;
        }
        // No refresh may run inside a command, not even from a nested message loop.
        --RefreshEnabled;
        Command(dialog, id);
        ++RefreshEnabled;
        return TRUE;
    }
    case WM_NOTIFY:
        return Notify(dialog, reinterpret_cast<const NMHDR*>(lParam));
    case WM_TIMER:
        Tick(dialog);
        return TRUE;
    default:
        return FALSE;
    }
}
