// The device seam of tarnpanel-fake.exe, a test build of the panel for Wine: instead of a driver
// it answers from a small in-process model of one, so that the dialogs can be driven under Wine,
// where the real driver cannot load. TARN_FAKE_DEVICE configures the model with words separated
// by commas:
//   cables=N        number of cables (default 4)
//   streams=N       render streams open on cable 2 (default 0); it counts underflows as it is read
//   version=A.B.C.D what the driver reports (default 4.10.0.2567)
//   open-fails      the control channel does not open (ERROR_FILE_NOT_FOUND)
//   info-fails      every request fails (ERROR_GEN_FAILURE)
//   needs-reboot    the class installer asks for a reboot instead of restarting the device
//   enum-fails      every interface enumeration fails (ERROR_INVALID_USER_BUFFER)
//   cable-fails     every cable-info request fails (ERROR_FILE_NOT_FOUND, as for a missing cable)
// TARN_FAKE_LOG names a file that receives one line per set request and per device restart.
// Written with Win32 calls only: the panel links no C run-time library.
#include "device_calls.h"

#include "panel_platform.h"
#include "panel_text.h"

namespace {

HANDLE const FakeHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7A40));
HDEVINFO const FakeList = reinterpret_cast<HDEVINFO>(static_cast<ULONG_PTR>(0x7A50));
constexpr char FakeInterfacePath[] = "\\\\?\\root#media#0000#{630dd05d-da38-483b-a7d8-c2c0790417b1}";
constexpr ULONG MaxFakeCables = 256;

struct FakeDriver {
    bool Loaded;
    bool OpenFails;
    bool RequestsFail;
    bool NeedsReboot;
    bool EnumerationFails;
    bool CableInfoFails;
    ULONG Version[4];
    ULONG Cables;
    ULONG SavedCables;
    ULONG Streams;
    UCHAR RestartNeeded;
    CableInfo Cable[MaxFakeCables];
} Fake;

bool StartsWith(const char* text, const char* prefix)
{
    while (*prefix != '\0') {
        if (*text++ != *prefix++) {
            return false;
        }
    }
    return true;
}

// Reads a decimal number and moves past it.
ULONG ReadUnsigned(const char** text)
{
    ULONG value = 0;
    while (**text >= '0' && **text <= '9') {
        value = value * 10 + static_cast<ULONG>(*(*text)++ - '0');
    }
    return value;
}

void ResetCables()
{
    for (ULONG i = 0; i < MaxFakeCables; ++i) {
        CableInfo& cable = Fake.Cable[i];
        cable = CableInfo{};
        cable.MsPerInterrupt = 10;
        cable.MaxInstances = 8;
        cable.MinSamplingRate = 8000;
        cable.MaxSamplingRate = 192000;
        cable.MinBitsPerSample = 8;
        cable.MaxBitsPerSample = 32;
        cable.MinChannels = 1;
        cable.MaxChannels = 8;
        cable.SourceLineTypes = 7;
        cable.ConnectedSourceLines = 2;
        cable.ClockCorrection = CLOCK_CORRECTION_UNITY;
    }
    CableInfo& playing = Fake.Cable[1];
    playing.RenderStreams = Fake.Streams;
    playing.CableFormat.Format.nSamplesPerSec = 48000;
    playing.CableFormat.Format.nChannels = 2;
    playing.CableFormat.Format.wBitsPerSample = 16;
    playing.CableFormat.Samples.wValidBitsPerSample = 16;
}

void Load()
{
    if (Fake.Loaded) {
        return;
    }
    Fake.Loaded = true;
    Fake.Cables = 4;
    Fake.Version[0] = DRIVER_VERSION_MAJOR;
    Fake.Version[1] = DRIVER_VERSION_MINOR;
    Fake.Version[2] = DRIVER_VERSION_REVISION;
    Fake.Version[3] = DRIVER_VERSION_BUILD;
    char config[256];
    DWORD length = GetEnvironmentVariableA("TARN_FAKE_DEVICE", config, sizeof(config));
    if (length >= sizeof(config)) {
        length = 0;
    }
    config[length] = '\0';
    for (const char* p = config; *p != '\0';) {
        if (StartsWith(p, "cables=")) {
            p += 7;
            Fake.Cables = ReadUnsigned(&p);
        } else if (StartsWith(p, "streams=")) {
            p += 8;
            Fake.Streams = ReadUnsigned(&p);
        } else if (StartsWith(p, "version=")) {
            p += 8;
            for (ULONG& part : Fake.Version) {
                part = ReadUnsigned(&p);
                if (*p == '.') {
                    ++p;
                }
            }
        } else if (StartsWith(p, "open-fails")) {
            Fake.OpenFails = true;
        } else if (StartsWith(p, "info-fails")) {
            Fake.RequestsFail = true;
        } else if (StartsWith(p, "needs-reboot")) {
            Fake.NeedsReboot = true;
        } else if (StartsWith(p, "cable-fails")) {
            Fake.CableInfoFails = true;
        } else if (StartsWith(p, "enum-fails")) {
            Fake.EnumerationFails = true;
        }
        while (*p != '\0' && *p != ',') {
            ++p;
        }
        if (*p == ',') {
            ++p;
        }
    }
    if (Fake.Cables < 1 || Fake.Cables > MaxFakeCables) {
        Fake.Cables = 4;
    }
    Fake.SavedCables = Fake.Cables;
    ResetCables();
}

void Log(const char* line)
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("TARN_FAKE_LOG", path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        return;
    }
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    char text[300];
    CopyText(text, sizeof(text), line);
    AppendText(text, sizeof(text), "\n");
    DWORD written = 0;
    WriteFile(file, text, lstrlenA(text), &written, nullptr);
    CloseHandle(file);
}

const char* SetRequestName(DWORD code)
{
    switch (code) {
    case IOCTL_SET_VOLUME_CONTROL: return "volume-control";
    case IOCTL_SET_MS_PER_INTERRUPT: return "ms-per-interrupt";
    case IOCTL_SET_FORMAT_RANGE: return "format-range";
    case IOCTL_SET_STREAM_FORMAT_LIMITING: return "format-limiting";
    case IOCTL_SET_MAX_INSTANCES: return "max-instances";
    case IOCTL_SET_SOURCE_LINE_TYPES: return "source-line-types";
    case IOCTL_SET_CONNECTED_SOURCE_LINES: return "connected-source-lines";
    case IOCTL_SET_CLOCK_CORRECTION: return "clock-correction";
    default: return nullptr;
    }
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL SetCable(DWORD code, const void* input, DWORD inputSize)
{
    const CableValueRequest* request = static_cast<const CableValueRequest*>(input);
    if (inputSize < sizeof(CableValueRequest) || request->CableIndex >= Fake.Cables) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    CableInfo& cable = Fake.Cable[request->CableIndex];
    char line[200];
    CopyText(line, sizeof(line), SetRequestName(code));
    AppendText(line, sizeof(line), " cable ");
    AppendUnsigned(line, sizeof(line), request->CableIndex);
    if (code == IOCTL_SET_FORMAT_RANGE) {
        if (inputSize < sizeof(CableRangeRequest)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        const CableRangeRequest* range = static_cast<const CableRangeRequest*>(input);
        cable.MinSamplingRate = range->MinSamplingRate;
        cable.MaxSamplingRate = range->MaxSamplingRate;
        cable.MinBitsPerSample = range->MinBitsPerSample;
        cable.MaxBitsPerSample = range->MaxBitsPerSample;
        cable.MinChannels = range->MinChannels;
        cable.MaxChannels = range->MaxChannels;
        ULONG bounds[6] = {range->MinSamplingRate, range->MaxSamplingRate, range->MinBitsPerSample,
                           range->MaxBitsPerSample, range->MinChannels,     range->MaxChannels};
        for (ULONG bound : bounds) {
            AppendText(line, sizeof(line), " ");
            AppendUnsigned(line, sizeof(line), bound);
        }
        Log(line);
        return TRUE;
    }
    AppendText(line, sizeof(line), " ");
    AppendUnsigned(line, sizeof(line), request->Value);
    Log(line);
    switch (code) {
    case IOCTL_SET_VOLUME_CONTROL: cable.VolumeControl = static_cast<UCHAR>(request->Value); break;
    case IOCTL_SET_MS_PER_INTERRUPT: cable.MsPerInterrupt = request->Value; break;
    case IOCTL_SET_STREAM_FORMAT_LIMITING: cable.FormatLimiting = request->Value; break;
    case IOCTL_SET_MAX_INSTANCES: Fake.RestartNeeded = 1; break;  // takes effect at the next start
    case IOCTL_SET_SOURCE_LINE_TYPES: cable.SourceLineTypes = request->Value; break;
    case IOCTL_SET_CONNECTED_SOURCE_LINES: cable.ConnectedSourceLines = request->Value; break;
    case IOCTL_SET_CLOCK_CORRECTION: cable.ClockCorrection = request->Value; break;
    default: break;
    }
    return TRUE;
}

}  // namespace

HDEVINFO DeviceGetClassDevs(const GUID*, DWORD)
{
    Load();
    return FakeList;
}

BOOL DeviceEnumInterfaces(HDEVINFO, const GUID*, DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData)
{
    if (Fake.EnumerationFails) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index > 0) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    interfaceData->Flags = SPINT_ACTIVE;
    return TRUE;
}

BOOL DeviceGetInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA*, SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                              DWORD detailSize, DWORD*, SP_DEVINFO_DATA*)
{
    CopyText(detail->DevicePath, detailSize - sizeof(DWORD), FakeInterfacePath);
    return TRUE;
}

BOOL DeviceDestroyInfoList(HDEVINFO)
{
    return TRUE;
}

HANDLE DeviceOpen(const char* path)
{
    Load();
    char expected[400];
    CopyText(expected, sizeof(expected), FakeInterfacePath);
    AppendText(expected, sizeof(expected), "\\" CONTROL_REFERENCE_STRING);
    if (Fake.OpenFails || lstrcmpA(path, expected) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return FakeHandle;
}

BOOL DeviceControl(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                   DWORD* bytesReturned)
{
    *bytesReturned = 0;
    if (handle != FakeHandle) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (Fake.RequestsFail) {
        return Fail(ERROR_GEN_FAILURE);
    }
    if (inputSize < sizeof(ULONG) || *static_cast<const ULONG*>(input) != CONTROL_INTERFACE_VERSION) {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    switch (code) {
    case IOCTL_GET_DRIVER_INFO: {
        DriverInfo info = {};
        info.VersionMajor = Fake.Version[0];
        info.VersionMinor = Fake.Version[1];
        info.VersionRevision = Fake.Version[2];
        info.VersionBuild = Fake.Version[3];
        info.RestartNeeded = Fake.RestartNeeded;
        info.NumberOfCables = Fake.Cables;
        info.OpenStreams = Fake.Streams;
        info.OpenHandles = 1 + Fake.Streams;
        if (outputSize < sizeof(info)) {
            return Fail(ERROR_INVALID_FUNCTION);
        }
        *static_cast<DriverInfo*>(output) = info;
        *bytesReturned = sizeof(info);
        return TRUE;
    }
    case IOCTL_GET_CABLE_INFO: {
        const CableRequest* request = static_cast<const CableRequest*>(input);
        if (inputSize < sizeof(*request) || outputSize < sizeof(CableInfo)) {
            return Fail(ERROR_INVALID_FUNCTION);
        }
        if (request->CableIndex >= Fake.Cables || Fake.CableInfoFails) {
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        CableInfo& cable = Fake.Cable[request->CableIndex];
        // A playing cable's figures move: each read finds a few more underflows.
        if (cable.RenderStreams != 0) {
            cable.RenderUnderflows += 3;
        }
        *static_cast<CableInfo*>(output) = cable;
        *bytesReturned = sizeof(CableInfo);
        return TRUE;
    }
    case IOCTL_SET_NUMBER_OF_CABLES: {
        const CableCountRequest* request = static_cast<const CableCountRequest*>(input);
        char line[64];
        CopyText(line, sizeof(line), "number-of-cables ");
        AppendUnsigned(line, sizeof(line), request->NumberOfCables);
        Log(line);
        if (Fake.Streams != 0) {
            return Fail(ERROR_BUSY);
        }
        if (request->NumberOfCables >= 1 && request->NumberOfCables <= MaxFakeCables) {
            Fake.SavedCables = request->NumberOfCables;
            Fake.RestartNeeded = 1;
        }
        return TRUE;
    }
    default:
        if (SetRequestName(code) == nullptr) {
            return Fail(ERROR_INVALID_FUNCTION);
        }
        return SetCable(code, input, inputSize);
    }
}

BOOL DeviceClose(HANDLE handle)
{
    return handle == FakeHandle ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL DeviceSetClassInstallParams(HDEVINFO, SP_DEVINFO_DATA*, SP_CLASSINSTALL_HEADER* params, DWORD paramsSize)
{
    const SP_PROPCHANGE_PARAMS* change = reinterpret_cast<const SP_PROPCHANGE_PARAMS*>(params);
    if (paramsSize != sizeof(SP_PROPCHANGE_PARAMS) || params->InstallFunction != DIF_PROPERTYCHANGE ||
        change->StateChange != DICS_PROPCHANGE || change->Scope != DICS_FLAG_CONFIGSPECIFIC) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return TRUE;
}

BOOL DeviceCallClassInstaller(DI_FUNCTION function, HDEVINFO, SP_DEVINFO_DATA*)
{
    if (function != DIF_PROPERTYCHANGE) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Log(Fake.NeedsReboot ? "restart needs-reboot" : "restart");
    if (!Fake.NeedsReboot) {
        // The driver starts again with its saved settings; the cables keep theirs.
        Fake.Cables = Fake.SavedCables;
        Fake.RestartNeeded = 0;
    }
    return TRUE;
}

BOOL DeviceGetInstallParams(HDEVINFO, SP_DEVINFO_DATA*, SP_DEVINSTALL_PARAMS_A* params)
{
    params->Flags = Fake.NeedsReboot ? DI_NEEDREBOOT : 0;
    return TRUE;
}
