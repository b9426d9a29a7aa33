// Win32 errors on the client side: the thread's last error, the statuses drivers complete
// requests with as the errors a program sees (the system's published mapping), and their words.
#include <cstdio>

#include "host/win32_device.h"

namespace host {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct StatusMapping {
    ULONG status;
    DWORD error;
};

// As RtlNtStatusToDosError maps them.
constexpr StatusMapping StatusErrors[] = {
    {0x00000000, ERROR_SUCCESS},               // STATUS_SUCCESS
    {0x00000103, ERROR_IO_PENDING},            // STATUS_PENDING
    {0x80000005, ERROR_MORE_DATA},             // STATUS_BUFFER_OVERFLOW
    {0x80000011, ERROR_BUSY},                  // STATUS_DEVICE_BUSY
    {0x8000001A, ERROR_NO_MORE_ITEMS},         // STATUS_NO_MORE_ENTRIES
    {0xC0000001, ERROR_GEN_FAILURE},           // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},      // STATUS_NOT_IMPLEMENTED
    {0xC0000008, ERROR_INVALID_HANDLE},        // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},     // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},        // STATUS_NO_SUCH_DEVICE
    {0xC0000010, ERROR_INVALID_FUNCTION},      // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000016, ERROR_MORE_DATA},             // STATUS_MORE_PROCESSING_REQUIRED
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},     // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},         // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},   // STATUS_BUFFER_TOO_SMALL
    {0xC0000024, ERROR_INVALID_HANDLE},        // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000033, ERROR_INVALID_NAME},          // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},        // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},        // STATUS_OBJECT_NAME_COLLISION
    {0xC000003A, ERROR_PATH_NOT_FOUND},        // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC000003B, 161},                         // STATUS_OBJECT_PATH_SYNTAX_BAD: ERROR_BAD_PATHNAME
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},   // STATUS_INSUFFICIENT_RESOURCES
    {0xC00000A3, ERROR_NOT_READY},             // STATUS_DEVICE_NOT_READY
    {0xC00000BB, ERROR_NOT_SUPPORTED},         // STATUS_NOT_SUPPORTED
    {0xC00000C0, 55},                          // STATUS_DEVICE_DOES_NOT_EXIST: ERROR_DEV_NOT_EXIST
    {0xC00000E5, ERROR_INTERNAL_ERROR},        // STATUS_INTERNAL_ERROR
    {0xC00000E8, ERROR_INVALID_USER_BUFFER},   // STATUS_INVALID_USER_BUFFER
    {0xC0000108, ERROR_DEVICE_IN_USE},         // STATUS_CONNECTION_IN_USE
    {0xC0000120, ERROR_OPERATION_ABORTED},     // STATUS_CANCELLED
    {0xC0000121, ERROR_ACCESS_DENIED},         // STATUS_CANNOT_DELETE
    {0xC000017C, ERROR_KEY_DELETED},           // STATUS_KEY_DELETED
    {0xC0000184, ERROR_BAD_COMMAND},           // STATUS_INVALID_DEVICE_STATE
    {0xC0000185, 1117},                        // STATUS_IO_DEVICE_ERROR: ERROR_IO_DEVICE
    {0xC0000206, ERROR_INVALID_USER_BUFFER},   // STATUS_INVALID_BUFFER_SIZE
    {0xC0000225, ERROR_NOT_FOUND},             // STATUS_NOT_FOUND
    {0xC0000272, 1169},                        // STATUS_NO_MATCH: ERROR_NO_MATCH
};

struct MessageText {
    DWORD error;
    const char* text;
};

// The system's texts (FormatMessage, U.S. English) for the errors above and those the calls
// here set.
constexpr MessageText MessageTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {161, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_MR_MID_NOT_FOUND, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1117, "The request could not be performed because of an I/O device error."},
    {ERROR_NOT_FOUND, "Element not found."},
    {1169, "There was no match for the specified key in the index."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service."},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation."},
    {ERROR_DEVICE_IN_USE, "The device is in use by an active process and cannot be disconnected."},
};

}  // namespace

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

DWORD RtlNtStatusToDosError(NTSTATUS status)
{
    const auto code = static_cast<ULONG>(status);
    if ((code & 0xFFFF0000u) == 0xC0070000u) {
        return code & 0xFFFFu;  // FACILITY_WIN32 carries the Win32 error itself
    }
    for (const StatusMapping& mapping : StatusErrors) {
        if (mapping.status == code) {
            return mapping.error;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;
}

std::string SystemMessageText(DWORD error)
{
    for (const MessageText& message : MessageTexts) {
        if (message.error == error) {
            return message.text;
        }
    }
    return {};
}

std::string ErrorText(DWORD error)
{
    char numbers[32];
    std::snprintf(numbers, sizeof(numbers), "%s%u/%u", (error & 0x20000000u) != 0 ? "u" : "",
                  static_cast<unsigned>((error >> 16) & 0x1FFF), static_cast<unsigned>(error & 0xFFFF));
    const std::string text = SystemMessageText(error);
    return text.empty() ? std::string(numbers) : std::string(numbers) + " - " + text;
}

}  // namespace host
