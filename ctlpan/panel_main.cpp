// The panel's process entry and start-up: platform check, single instance, finding and opening
// the driver's control channel, the version check, the main dialog, and the exit codes.
#include "panel.h"

#include "device_calls.h"
#include "panel_text.h"
#include "resource.h"

#include <commctrl.h>

namespace {

constexpr char InstanceMutexName[] = "Global\\Quill Tarn 4.10.0.2567 Instance Mutex";

// Exit codes of the start-up steps; after them the main dialog's result is the exit code.
constexpr int ExitPlatform = 1;
constexpr int ExitMutex = 2;
constexpr int ExitAlreadyRunning = 3;
constexpr int ExitNoInterface = 4;
constexpr int ExitCannotOpen = 5;
constexpr int ExitNoDriverInfo = 6;
constexpr int ExitWrongVersion = 7;

void FillExeDirectory()
{
    DWORD length = GetModuleFileNameA(nullptr, ExeDirectory, sizeof(ExeDirectory));
    if (length >= sizeof(ExeDirectory)) {
        length = sizeof(ExeDirectory) - 1;
    }
    ExeDirectory[length] = '\0';
    for (DWORD i = length; i-- > 0;) {
        if (ExeDirectory[i] == '\\') {
            ExeDirectory[i] = '\0';
            break;
        }
    }
}

// The steps up to the main dialog, which only run while the instance mutex is held.
int RunWithInstance()
{
    char path[DevicePathSize];
    HDEVINFO list = nullptr;
    SP_DEVINFO_DATA device = {};
    if (!FindControlInterface(&list, &device, path, sizeof(path))) {
        return ExitNoInterface;
    }
    DeviceDestroyInfoList(list);
    wsprintfA(DevicePath, "%s\\%s", path, CONTROL_REFERENCE_STRING);

    if (!OpenDriver()) {
        return ExitCannotOpen;
    }
    DriverInfo info;
    if (!GetDriverInfo(&info)) {
        return ExitNoDriverInfo;
    }
    if (!IsSupportedDriverVersion(info)) {
        ShowMessage("Wrong driver version %u.%u.%u.%u%s, must be %u.%u.x.x%s", info.VersionMajor, info.VersionMinor,
                    info.VersionRevision, info.VersionBuild, "", DRIVER_VERSION_MAJOR, DRIVER_VERSION_MINOR, "");
        return ExitWrongVersion;
    }
    return static_cast<int>(DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_MAIN), GetDesktopWindow(),
                                            MainDialogProc, 0));
}

}  // namespace

int PanelMain(const char* /*arguments: the panel has no options*/)
{
    InitCommonControls();
    AppInstance = GetModuleHandleA(nullptr);

    OSVERSIONINFOEXA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version)) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        ShowMessage("Cannot init application");
        return ExitPlatform;
    }
    FillExeDirectory();

    int exitCode;
    HANDLE instanceMutex = CreateMutexA(nullptr, TRUE, InstanceMutexName);
    if (instanceMutex == nullptr) {
        char error[ErrorTextSize];
        ShowMessage("Cannot create instance mutex (%s)", ErrorText(error, GetLastError()));
        exitCode = ExitMutex;
    } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
        ShowMessage("Control Panel instance is already running");
        exitCode = ExitAlreadyRunning;
    } else {
        exitCode = RunWithInstance();
    }

    CloseDriver();
    if (instanceMutex != nullptr) {
        CloseHandle(instanceMutex);
    }
    return exitCode;
}

// The process entry: no C run-time library starts the panel, so it reads its own command line.
extern "C" void PanelEntry()
{
    ExitProcess(static_cast<UINT>(PanelMain(SkipProgramName(GetCommandLineA()))));
}
