// The bridge between the panel's device calls and a driver running on another machine's stand-in
// (tarnhost serve): one TCP connection on the loopback interface, one request and one reply at a
// time. Shared by the panel's bridge build (Windows) and the server (Linux); standard C++ only.
//
// Every message is a frame: a 32-bit little-endian length, then that many bytes. A request's
// bytes are a 32-bit operation code and its arguments; a reply's bytes are the call's 64-bit
// result (a BOOL, or a handle value), the thread's last error after the call (32 bits), and the
// operation's out-arguments. Integers are little-endian; records (SP_DEVINFO_DATA and the like)
// travel as their x64 Windows bytes; a text is its bytes after a 32-bit length.
//
// The first request of a connection must be Hello with the token the server printed at start;
// any other first request, a wrong token, an unknown operation, arguments that do not parse, or a
// frame longer than MaxFrameBytes ends that connection and nothing else.
#pragma once

#include <cstdint>

namespace bridge {

constexpr uint32_t MaxFrameBytes = 64 * 1024;
constexpr uint32_t TokenChars = 32;  // hexadecimal digits

enum class Operation : uint32_t {
    Hello = 1,                    // token text -> 1
    GetClassDevs = 2,             // GUID (16), flags -> list handle
    EnumInterfaces = 3,           // list, GUID (16), index -> BOOL, SP_DEVICE_INTERFACE_DATA (32)
    GetInterfaceDetail = 4,       // list, SP_DEVICE_INTERFACE_DATA (32), detail size, the detail's cbSize,
                                  // the device data's cbSize (0: no device data wanted)
                                  //   -> BOOL, required size, detail (detail size bytes), SP_DEVINFO_DATA (32) if wanted
    DestroyInfoList = 5,          // list -> BOOL
    Open = 6,                     // path text -> file handle
    Control = 7,                  // handle, code, output size, input text -> BOOL, bytes returned, output (output size)
    Close = 8,                    // handle -> BOOL
    SetClassInstallParams = 9,    // list, SP_DEVINFO_DATA (32), params text -> BOOL
    CallClassInstaller = 10,      // function, list, SP_DEVINFO_DATA (32) -> BOOL
    GetInstallParams = 11,        // list, SP_DEVINFO_DATA (32), SP_DEVINSTALL_PARAMS_A (320) -> BOOL, the params (320)
};

constexpr uint32_t DevInfoDataBytes = 32;
constexpr uint32_t InterfaceDataBytes = 32;
constexpr uint32_t InstallParamsBytes = 320;

// The environment variable that tells the panel's bridge build where the server is:
// "PORT:TOKEN", the two values the server printed.
constexpr const char* EnvironmentVariable = "TARN_BRIDGE";

}  // namespace bridge
