// tarnhost ctl: reads and changes the running driver through its control channel, with the Win32
// calls the control panel makes and in the panel's order: the control interface found through
// SetupAPI, the channel opened at its path followed by the reference string, one buffered
// DeviceIoControl per request, and the restart through the class installer's property change.
//
//   tarnhost ctl [--registry FILE] info
//   tarnhost ctl [--registry FILE] cables
//   tarnhost ctl [--registry FILE] set --cable N SETTING VALUE... [--restart]
//   tarnhost ctl [--registry FILE] set number-of-cables N [--restart]
//   tarnhost ctl [--registry FILE] restart [--keep-open]
//
// The driver starts from the registry as `tarnhost devices` starts it, and what it saves goes
// back to FILE, so settings persist from one run to the next. Cables are numbered from 1. Values
// are decimal or 0x-prefixed hexadecimal; a clock correction is a percentage with up to three
// decimals and a percent sign ("100.5%") or the driver's raw 16.16 factor ("0x10080", "65664").
// The driver judges every value: a request it refuses prints the panel's message with the
// status's meaning in words and exits with status 2, after the registry file is saved as the
// driver left it. --restart restarts the device after a set when the driver says a restart is
// needed, as the panel does; --keep-open keeps the channel open across the property change, as
// another program's handle would, so the device cannot stop: reported with status 2.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/platform.h"
#include "host/win32_device.h"
#include "shared/control_protocol.h"

#include "command.h"
#include "driver_session.h"

namespace tarnhost {

namespace {

// A request the driver refused: the panel's message for it.
class RequestRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CableSetting {
    const char* name;
    ULONG code;
    size_t values;        // 1, or 6 for the format range
    const char* failure;  // the panel's message, before " (error text)"
    const char* help;
};

const CableSetting CableSettings[] = {
    {"volume-control", IOCTL_SET_VOLUME_CONTROL, 1, "Cannot set Volume Control value", "0 or 1"},
    {"ms-per-interrupt", IOCTL_SET_MS_PER_INTERRUPT, 1, "Cannot set Ms Per Int value", "milliseconds"},
    {"format-range", IOCTL_SET_FORMAT_RANGE, 6, "Cannot set data range",
     "MINRATE MAXRATE MINBITS MAXBITS MINCH MAXCH"},
    {"format-limiting", IOCTL_SET_STREAM_FORMAT_LIMITING, 1, "Cannot set stream format limiting mode", "0, 1 or 2"},
    {"max-instances", IOCTL_SET_MAX_INSTANCES, 1, "Cannot set Max Instances value", "streams per pin"},
    {"source-line-types", IOCTL_SET_SOURCE_LINE_TYPES, 1, "Cannot set source line types mask", "mask"},
    {"connected-source-lines", IOCTL_SET_CONNECTED_SOURCE_LINES, 1, "Cannot set connected source lines mask",
     "mask"},
    {"clock-correction", IOCTL_SET_CLOCK_CORRECTION, 1, "Cannot set clock correction", "PERCENT% or 16.16 factor"},
};

const char NotIdleText[] =
    "Driver restart is possible only when it is idle: some applications are using the driver now "
    "and prevent it from being restarted";

std::string Message(const std::string& what, DWORD error)
{
    return what + " (" + host::ErrorText(error) + ")";
}

// A whole number of 32 bits: decimal, or hexadecimal after 0x.
bool ParseValue(const std::string& text, ULONG* value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) {
        return false;
    }
    uint64_t number = 0;
    for (char c : digits) {
        int digit = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                   : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                                 : -1;
        if (digit < 0) {
            return false;
        }
        number = number * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    }
    if (number > 0xFFFFFFFFull) {
        return false;
    }
    *value = static_cast<ULONG>(number);
    return true;
}

ULONG RequireValue(const std::string& text, const std::string& what)
{
    ULONG value = 0;
    if (!ParseValue(text, &value)) {
        throw InputError(what + " must be a whole number from 0 to 4294967295 (decimal or 0x hex), not \"" + text +
                         "\"");
    }
    return value;
}

// "101%", "99.875%": thousandths of a percent, rounded to the nearest 16.16 factor. A number
// without the percent sign is the factor itself.
ULONG ParseClockCorrection(const std::string& text)
{
    if (text.empty() || text.back() != '%') {
        return RequireValue(text, "clock-correction");
    }
    const std::string number = text.substr(0, text.size() - 1);
    const size_t point = number.find('.');
    const std::string whole = number.substr(0, point);
    const std::string fraction = point == std::string::npos ? std::string() : number.substr(point + 1);
    const bool wellFormed = !whole.empty() && whole.size() <= 6 && fraction.size() <= 3 &&
                            (point == std::string::npos || !fraction.empty()) &&
                            whole.find_first_not_of("0123456789") == std::string::npos &&
                            fraction.find_first_not_of("0123456789") == std::string::npos;
    if (!wellFormed) {
        throw InputError("clock-correction must be a percentage with up to three decimals (\"100.5%\") or a 16.16 "
                         "factor, not \"" + text + "\"");
    }
    uint64_t thousandths = std::stoull(whole) * 1000;
    uint64_t scale = 100;
    for (char digit : fraction) {
        thousandths += static_cast<uint64_t>(digit - '0') * scale;
        scale /= 10;
    }
    const uint64_t factor = (thousandths * CLOCK_CORRECTION_UNITY + 50000) / 100000;
    if (factor > 0xFFFFFFFFull) {
        throw InputError("clock-correction " + text + " is beyond a 16.16 factor");
    }
    return static_cast<ULONG>(factor);
}

// The factor as a percentage with three decimals, rounded as the driver rounds it.
std::string ClockText(ULONG factor)
{
    const uint64_t thousandths = (static_cast<uint64_t>(factor) * 100000 + 32768) >> 16;
    char text[48];
    std::snprintf(text, sizeof(text), "%" PRIu64 ".%03" PRIu64 "%% (0x%X)", thousandths / 1000, thousandths % 1000,
                  static_cast<unsigned>(factor));
    return text;
}

std::string Span(ULONG low, ULONG high)
{
    return low == high ? std::to_string(low) : std::to_string(low) + "-" + std::to_string(high);
}

std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
    return text;
}

std::string FormatText(const CableInfo& info)
{
    if (info.CaptureStreams + info.RenderStreams == 0) {
        return "-";
    }
    const WAVEFORMATEX& format = info.CableFormat.Format;
    return std::to_string(format.nSamplesPerSec) + "/" + std::to_string(format.wBitsPerSample) + "/" +
           std::to_string(format.nChannels);
}

// The panel's side of the channel: one Win32System over the session's machine.
class ControlClient {
public:
    explicit ControlClient(DriverSession& session) : win32_(session.Machine()) {}
    ~ControlClient() { CloseDriver(); }

    // The first active control interface's path; with `list`, also the device information list
    // (left for the caller to destroy) and that interface's device.
    std::string FindControlInterface(host::HDEVINFO* list = nullptr, host::SP_DEVINFO_DATA* device = nullptr)
    {
        host::HDEVINFO found = win32_.SetupDiGetClassDevsA(&GUID_CONTROL_INTERFACE_CLASS, nullptr, nullptr,
                                                           host::DIGCF_PRESENT | host::DIGCF_PROFILE |
                                                               host::DIGCF_DEVICEINTERFACE);
        if (found == host::INVALID_DEVINFO_VALUE) {
            throw DriverFault(Message("Cannot get class device list", host::GetLastError()));
        }
        std::string path;
        for (DWORD index = 0;; ++index) {
            host::SP_DEVICE_INTERFACE_DATA data = {};
            data.cbSize = sizeof(data);
            if (!win32_.SetupDiEnumDeviceInterfaces(found, nullptr, &GUID_CONTROL_INTERFACE_CLASS, index, &data)) {
                if (host::GetLastError() == host::ERROR_NO_MORE_ITEMS) {
                    break;
                }
                continue;
            }
            if ((data.Flags & host::SPINT_ACTIVE) == 0 || (data.Flags & host::SPINT_REMOVED) != 0) {
                continue;
            }
            host::SP_DEVINFO_DATA deviceData = {};
            deviceData.cbSize = sizeof(deviceData);
            DWORD required = 0;
            win32_.SetupDiGetDeviceInterfaceDetailA(found, &data, nullptr, 0, &required, &deviceData);
            std::vector<uint64_t> storage(required / sizeof(uint64_t) + 1);
            auto* detail = reinterpret_cast<host::SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(*detail);
            if (!win32_.SetupDiGetDeviceInterfaceDetailA(found, &data, detail, required, nullptr, &deviceData)) {
                continue;
            }
            // The device restarted is the one whose channel is opened: the first usable interface's.
            if (path.empty()) {
                path = detail->DevicePath;
                if (device != nullptr) {
                    *device = deviceData;
                }
            }
        }
        if (path.empty() || list == nullptr) {
            win32_.SetupDiDestroyDeviceInfoList(found);
        } else {
            *list = found;
        }
        if (path.empty()) {
            throw DriverFault("Driver not loaded");
        }
        return path;
    }

    void OpenDriver()
    {
        const std::string path = FindControlInterface() + "\\" + CONTROL_REFERENCE_STRING;
        handle_ = win32_.CreateFileA(path.c_str(), host::GENERIC_READ | host::GENERIC_WRITE, 0, nullptr,
                                     host::OPEN_EXISTING, 0, nullptr);
        if (handle_ == host::INVALID_HANDLE_VALUE) {
            throw DriverFault(Message("Cannot open driver", host::GetLastError()));
        }
    }

    void CloseDriver()
    {
        if (handle_ != host::INVALID_HANDLE_VALUE) {
            win32_.CloseHandle(handle_);
            handle_ = host::INVALID_HANDLE_VALUE;
        }
    }

    DriverInfo GetDriverInfo()
    {
        ControlHeader request = {CONTROL_INTERFACE_VERSION};
        DriverInfo info = {};
        if (!Request(IOCTL_GET_DRIVER_INFO, &request, sizeof(request), &info, sizeof(info))) {
            throw DriverFault(Message("Cannot get driver info", host::GetLastError()));
        }
        if (info.VersionMajor != DRIVER_VERSION_MAJOR || info.VersionMinor != DRIVER_VERSION_MINOR) {
            throw DriverFault("Wrong driver version " + std::to_string(info.VersionMajor) + "." +
                              std::to_string(info.VersionMinor) + "." + std::to_string(info.VersionRevision) + "." +
                              std::to_string(info.VersionBuild) + ", must be 4.10.x.x");
        }
        return info;
    }

    CableInfo GetCableInfo(ULONG index)
    {
        CableRequest request = {CONTROL_INTERFACE_VERSION, index};
        CableInfo info = {};
        if (!Request(IOCTL_GET_CABLE_INFO, &request, sizeof(request), &info, sizeof(info))) {
            throw DriverFault(Message("Cannot get cable " + std::to_string(index) + " info", host::GetLastError()));
        }
        return info;
    }

    // A set request; a refusal is the panel's message with the error's words.
    template <typename Record>
    void Set(ULONG code, Record record, const std::string& failure)
    {
        if (!Request(code, &record, sizeof(record), nullptr, 0)) {
            throw RequestRefused(Message(failure, host::GetLastError()));
        }
    }

    // The panel's restart: refused while streams are open; the channel closed during the property
    // change (unless kept open) and opened again after it. False when the device could not stop.
    bool RestartDriver(bool keepOpen)
    {
        if (GetDriverInfo().OpenStreams != 0) {
            throw RequestRefused(NotIdleText);
        }
        if (!keepOpen) {
            CloseDriver();
        }
        const bool restarted = RestartDevice();
        if (handle_ == host::INVALID_HANDLE_VALUE) {
            OpenDriver();
        }
        return restarted;
    }

private:
    bool Request(ULONG code, void* input, DWORD inputSize, void* output, DWORD outputSize)
    {
        DWORD returned = 0;
        return win32_.DeviceIoControl(handle_, code, input, inputSize, output, outputSize, &returned, nullptr) != FALSE;
    }

    bool RestartDevice()
    {
        host::HDEVINFO list = host::INVALID_DEVINFO_VALUE;
        host::SP_DEVINFO_DATA device = {};
        FindControlInterface(&list, &device);
        host::SP_PROPCHANGE_PARAMS change = {};
        change.ClassInstallHeader.cbSize = sizeof(change.ClassInstallHeader);
        change.ClassInstallHeader.InstallFunction = host::DIF_PROPERTYCHANGE;
        change.StateChange = host::DICS_PROPCHANGE;
        change.Scope = host::DICS_FLAG_CONFIGSPECIFIC;
        std::string failure;
        host::SP_DEVINSTALL_PARAMS_A params = {};
        params.cbSize = sizeof(params);
        if (!win32_.SetupDiSetClassInstallParamsA(list, &device, &change.ClassInstallHeader, sizeof(change))) {
            failure = Message("Cannot set propchange params: State=3, Scope=2", host::GetLastError());
        } else if (!win32_.SetupDiCallClassInstaller(host::DIF_PROPERTYCHANGE, list, &device)) {
            failure = Message("Cannot change device property", host::GetLastError());
        } else if (!win32_.SetupDiGetDeviceInstallParamsA(list, &device, &params)) {
            failure = Message("Cannot get device parameters", host::GetLastError());
        }
        win32_.SetupDiDestroyDeviceInfoList(list);
        if (!failure.empty()) {
            throw DriverFault(failure);
        }
        return (params.Flags & (host::DI_NEEDRESTART | host::DI_NEEDREBOOT)) == 0;
    }

    host::Win32System win32_;
    HANDLE handle_ = host::INVALID_HANDLE_VALUE;
};

void PrintInfo(const DriverInfo& info, std::ostream& out)
{
    out << "driver " << info.VersionMajor << "." << info.VersionMinor << "." << info.VersionRevision << "."
        << info.VersionBuild << "\n"
        << "cables " << info.NumberOfCables << "\n"
        << "open streams " << info.OpenStreams << "\n"
        << "open handles " << info.OpenHandles << "\n"
        << "restart needed " << (info.RestartNeeded != 0 ? "yes" : "no") << "\n";
}

void PrintCables(ControlClient& client, std::ostream& out)
{
    const DriverInfo driver = client.GetDriverInfo();
    out << std::left << std::setw(6) << "cable" << std::setw(7) << "volume" << std::setw(7) << "ms/int"
        << std::setw(9) << "max-inst" << std::setw(13) << "rates" << std::setw(7) << "bits" << std::setw(9)
        << "channels" << std::setw(9) << "limiting" << std::setw(6) << "lines" << std::setw(10) << "connected"
        << std::setw(20) << "clock" << std::setw(8) << "capture" << std::setw(7) << "render" << std::setw(13)
        << "format" << std::setw(10) << "overflows" << "underflows\n";
    for (ULONG index = 0; index < driver.NumberOfCables; ++index) {
        const CableInfo info = client.GetCableInfo(index);
        out << std::setw(6) << index + 1 << std::setw(7) << (info.VolumeControl != 0 ? "on" : "off") << std::setw(7)
            << info.MsPerInterrupt << std::setw(9) << info.MaxInstances << std::setw(13)
            << Span(info.MinSamplingRate, info.MaxSamplingRate) << std::setw(7)
            << Span(info.MinBitsPerSample, info.MaxBitsPerSample) << std::setw(9)
            << Span(info.MinChannels, info.MaxChannels) << std::setw(9) << info.FormatLimiting << std::setw(6)
            << Hex(info.SourceLineTypes) << std::setw(10) << Hex(info.ConnectedSourceLines) << std::setw(20)
            << ClockText(info.ClockCorrection) << std::setw(8) << info.CaptureStreams << std::setw(7)
            << info.RenderStreams << std::setw(13) << FormatText(info) << std::setw(10) << info.CaptureOverflows
            << info.RenderUnderflows << "\n";
    }
}

// After a change: what the driver now says about a restart, and the restart when asked for.
void AfterChange(ControlClient& client, bool restart, std::ostream& out)
{
    if (client.GetDriverInfo().RestartNeeded == 0) {
        return;
    }
    if (!restart) {
        out << "restart needed: the change takes effect at the device's next start (ctl restart)\n";
        return;
    }
    if (!client.RestartDriver(false)) {
        throw RequestRefused("the device could not restart: a handle kept it from stopping");
    }
    out << "restarted: " << client.GetDriverInfo().NumberOfCables << " cables\n";
}

struct SetOptions {
    ULONG cable = 0;  // 0: not given
    std::vector<std::string> words;
    bool restart = false;
};

void RunSet(ControlClient& client, const SetOptions& options, std::ostream& out)
{
    if (options.words.empty()) {
        throw InputError("set needs a setting and its value");
    }
    const std::string& name = options.words[0];
    const std::vector<std::string> values(options.words.begin() + 1, options.words.end());
    if (name == "number-of-cables") {
        if (options.cable != 0) {
            throw InputError("number-of-cables is a setting of the driver, not of one cable: no --cable");
        }
        if (values.size() != 1) {
            throw InputError("number-of-cables takes one value");
        }
        const ULONG count = RequireValue(values[0], "number-of-cables");
        client.Set(IOCTL_SET_NUMBER_OF_CABLES, CableCountRequest{CONTROL_INTERFACE_VERSION, count},
                   "Cannot set number of cables to " + std::to_string(count));
        out << "number-of-cables " << count << " accepted\n";
        AfterChange(client, options.restart, out);
        return;
    }
    const CableSetting* setting = nullptr;
    for (const CableSetting& candidate : CableSettings) {
        setting = name == candidate.name ? &candidate : setting;
    }
    if (setting == nullptr) {
        std::string known = "number-of-cables";
        for (const CableSetting& candidate : CableSettings) {
            known += std::string(", ") + candidate.name;
        }
        throw InputError("no setting \"" + name + "\"; the settings are " + known);
    }
    if (options.cable == 0) {
        throw InputError(name + " is a cable setting: give --cable N (cables are numbered from 1)");
    }
    if (values.size() != setting->values) {
        throw InputError(name + " takes " + setting->help);
    }
    const ULONG index = options.cable - 1;
    std::string shown = values[0];
    if (setting->code == IOCTL_SET_FORMAT_RANGE) {
        ULONG bounds[6];
        static const char* const names[] = {"MINRATE", "MAXRATE", "MINBITS", "MAXBITS", "MINCH", "MAXCH"};
        for (size_t i = 0; i < 6; ++i) {
            bounds[i] = RequireValue(values[i], names[i]);
        }
        client.Set(setting->code,
                   CableRangeRequest{CONTROL_INTERFACE_VERSION, index, bounds[0], bounds[1], bounds[2], bounds[3],
                                     bounds[4], bounds[5]},
                   setting->failure);
        shown = Span(bounds[0], bounds[1]) + " Hz, " + Span(bounds[2], bounds[3]) + " bits, " +
                Span(bounds[4], bounds[5]) + " channels";
    } else {
        const ULONG value = setting->code == IOCTL_SET_CLOCK_CORRECTION ? ParseClockCorrection(values[0])
                                                                        : RequireValue(values[0], name);
        client.Set(setting->code, CableValueRequest{CONTROL_INTERFACE_VERSION, index, value}, setting->failure);
        shown = setting->code == IOCTL_SET_CLOCK_CORRECTION ? ClockText(value) : std::to_string(value);
    }
    out << "cable " << options.cable << " " << name << " " << shown << "\n";
    AfterChange(client, options.restart, out);
}

// Starts the driver, opens the channel, runs the action and saves the registry as the driver
// left it, also when the driver refused the request.
template <typename Action>
void RunControl(const std::string& registryFile, Action action)
{
    DriverSession session(registryFile);
    session.Boot();
    std::ostringstream out;
    std::string refusal;
    {
        ControlClient client(session);
        client.OpenDriver();
        try {
            action(client, out);
        } catch (const RequestRefused& refused) {
            refusal = refused.what();
        }
    }
    session.Finish();
    std::cout << out.str();
    if (!refusal.empty()) {
        throw InputError(refusal);
    }
}

}  // namespace

void InstallCtlCommand(CLI::App& program)
{
    CLI::App* ctl = program.add_subcommand(
        "ctl", "Read and change the running driver through its control channel, as the control panel does");
    ctl->require_subcommand(1);
    ctl->fallthrough();
    auto registryFile = std::make_shared<std::string>();
    ctl->add_option("--registry", *registryFile,
                    "Registry file to start from and save back (created with the defaults when absent)");

    ctl->add_subcommand("info", "The driver's version, cables, open streams and handles, and restart state")
        ->callback([registryFile] {
            RunControl(*registryFile, [](ControlClient& client, std::ostream& out) { PrintInfo(client.GetDriverInfo(), out); });
        });
    ctl->add_subcommand("cables", "Every cable's settings, streams, current format and counters")->callback([registryFile] {
        RunControl(*registryFile, [](ControlClient& client, std::ostream& out) { PrintCables(client, out); });
    });

    auto setOptions = std::make_shared<SetOptions>();
    CLI::App* set = ctl->add_subcommand(
        "set", "Change a setting: --cable N volume-control|ms-per-interrupt|format-range|format-limiting|"
               "max-instances|source-line-types|connected-source-lines|clock-correction VALUE..., or "
               "number-of-cables N");
    set->fallthrough();
    set->footer(
        "Cable settings (with --cable N): volume-control 0|1, ms-per-interrupt MS, format-range MINRATE MAXRATE "
        "MINBITS MAXBITS MINCH MAXCH, format-limiting 0|1|2, max-instances N, source-line-types MASK, "
        "connected-source-lines MASK, clock-correction PERCENT% (up to three decimals, e.g. 100.5%) or the raw "
        "16.16 factor (e.g. 0x10080). Driver setting: number-of-cables N. Numbers are decimal or 0x hex.");
    set->add_option("--cable", setOptions->cable, "The cable, numbered from 1")->check(CLI::Range(1u, 0xFFFFFFFFu));
    set->add_option("setting", setOptions->words, "SETTING VALUE...")->required();
    set->add_flag("--restart", setOptions->restart, "Restart the device afterwards when the change needs it");
    set->callback([registryFile, setOptions] {
        RunControl(*registryFile,
                   [setOptions](ControlClient& client, std::ostream& out) { RunSet(client, *setOptions, out); });
    });

    auto keepOpen = std::make_shared<bool>(false);
    CLI::App* restart = ctl->add_subcommand("restart", "Restart the device through the class installer's property change");
    restart->fallthrough();
    restart->add_flag("--keep-open", *keepOpen, "Keep the control channel open across the property change");
    restart->callback([registryFile, keepOpen] {
        RunControl(*registryFile, [keepOpen](ControlClient& client, std::ostream& out) {
            if (!client.RestartDriver(*keepOpen)) {
                throw RequestRefused(
                    "the device could not restart: a handle kept it from stopping; changes take effect at its next start");
            }
            out << "restarted: " << client.GetDriverInfo().NumberOfCables << " cables\n";
        });
    });
}

}  // namespace tarnhost
