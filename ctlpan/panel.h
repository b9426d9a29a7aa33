// The control panel's shared state and routines: start-up and the driver connection
// (driver_channel.cpp), messages (messages.cpp), the dialogs and the driver restart.
// One thread runs all of it.
#pragma once

#include "panel_platform.h"

#include <setupapi.h>

constexpr char PanelTitle[] = "Quill Tarn Control Panel";
constexpr size_t ErrorTextSize = 256;
constexpr size_t DevicePathSize = 1025;  // wsprintfA writes at most 1024 characters

extern HINSTANCE AppInstance;
extern char ExeDirectory[MAX_PATH];
extern char DevicePath[DevicePathSize];
extern HANDLE DriverHandle;    // the open control channel; nullptr while closed
extern HWND MainWindow;        // owner of message boxes; nullptr before the main dialog exists
extern LONG RefreshEnabled;    // the main dialog's timer works only while this is above 0

// Finds the driver's active control interface. On success the device information list is left
// in *list for the caller to destroy, *device describes the device, and a given path buffer
// holds the first interface's device path.
bool FindControlInterface(HDEVINFO* list, SP_DEVINFO_DATA* device, char* path, DWORD pathSize);
bool OpenDriver();
void CloseDriver();

// The request layer: one synchronous request each; a failure shows its message and gives false.
bool GetDriverInfo(DriverInfo* info);
bool GetCableInfo(ULONG cableIndex, CableInfo* info);
bool SetNumberOfCables(ULONG count);
bool SetMaxInstances(ULONG cableIndex, ULONG value);
bool SetMsPerInterrupt(ULONG cableIndex, ULONG value);
bool SetVolumeControl(ULONG cableIndex, ULONG value);
bool SetFormatRange(ULONG cableIndex, ULONG minRate, ULONG maxRate, ULONG minBits, ULONG maxBits,
                    ULONG minChannels, ULONG maxChannels);
bool SetStreamFormatLimiting(ULONG cableIndex, ULONG mode);
bool SetConnectedSourceLines(ULONG cableIndex, ULONG mask);
bool SetClockCorrection(ULONG cableIndex, ULONG factor);

// Messages.
int ShowMessage(const char* format, ...);
char* ErrorText(char* buffer, DWORD error);  // buffer of ErrorTextSize bytes
void NormalizeLastError();
void SetWindowTextF(HWND window, const char* format, ...);

// Dialogs and the restart.
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
bool RestartDriver();

// The whole life of the panel, from the checks to the main dialog's end: the exit code.
int PanelMain(const char* arguments);
