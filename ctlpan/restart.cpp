// Restarting the driver's device through the class installer's property change, so that saved
// settings such as the number of cables take effect without a reboot.
#include "panel.h"

#include "device_calls.h"
#include "resource.h"

namespace {

constexpr char IdleMessage[] =
    "Driver restart is possible only when it is idle. Some applications\n"
    "are using the driver now and prevent it from be restarted. Please stop all\n"
    "audio activity and probably close your audio applications.";

constexpr char RebootMessage[] =
    "Unable to restart driver automatically. Possible causes might be:\n\n"
    "- you don't have privileges enough to restart a driver;\n\n"
    "- the driver or some of its devices are opened by an application.\n\n"
    "Changes will be in effect after Windows restart.";

static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "the class installer takes the 20-byte property change record");

INT_PTR CALLBACK WaitDialogProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

void ReportSetupFailure(const char* format)
{
    NormalizeLastError();
    char error[ErrorTextSize];
    ShowMessage(format, ErrorText(error, GetLastError()));
}

// Stops and starts the device. *restarted is false when the system needs another restart or a
// reboot to complete the change.
bool RestartDevice(bool* restarted)
{
    *restarted = false;
    HDEVINFO list;
    SP_DEVINFO_DATA device;
    if (!FindControlInterface(&list, &device, nullptr, 0)) {
        return false;
    }
    bool succeeded = false;
    SP_PROPCHANGE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    params.HwProfile = 0;
    SP_DEVINSTALL_PARAMS_A installParams = {};
    installParams.cbSize = sizeof(installParams);
    if (!DeviceSetClassInstallParams(list, &device, &params.ClassInstallHeader, sizeof(params))) {
        NormalizeLastError();
        char error[ErrorTextSize];
        ShowMessage("Cannot set propchange params: State=%u, Scope=%u (%s)", DICS_PROPCHANGE, DICS_FLAG_CONFIGSPECIFIC,
                    ErrorText(error, GetLastError()));
    } else if (!DeviceCallClassInstaller(DIF_PROPERTYCHANGE, list, &device)) {
        ReportSetupFailure("Cannot change device property (%s)");
    } else if (!DeviceGetInstallParams(list, &device, &installParams)) {
        ReportSetupFailure("Cannot get device parameters (%s)");
    } else {
        *restarted = (installParams.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) == 0;
        succeeded = true;
    }
    DeviceDestroyInfoList(list);
    return succeeded;
}

}  // namespace

bool RestartDriver()
{
    DriverInfo info;
    if (!GetDriverInfo(&info)) {
        return false;
    }
    if (info.OpenStreams != 0) {
        ShowMessage(IdleMessage);
        return false;
    }
    // The panel's own handle would keep the device from stopping.
    bool wasOpen = DriverHandle != nullptr;
    if (wasOpen) {
        CloseDriver();
    }
    HWND wait = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_WAIT), MainWindow, WaitDialogProc, 0);
    if (wait != nullptr) {
        SendDlgItemMessageA(wait, IDC_WAIT_TEXT, WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>("Restarting driver, please wait..."));
        // Nothing pumps the window while the class installer runs: paint it once now.
        RedrawWindow(wait, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
    bool restarted = false;
    bool succeeded = RestartDevice(&restarted);
    if (wait != nullptr) {
        DestroyWindow(wait);
    }
    if (!succeeded) {
        return false;
    }
    if (!restarted) {
        MessageBoxA(MainWindow, RebootMessage, "Cannot restart the driver", MB_ICONWARNING);
    }
    if (wasOpen) {
        return OpenDriver();
    }
    return true;
}
