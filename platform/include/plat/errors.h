// Every Win32 error and RPC status code the layers produce, each beside the
// text FormatMessage gives for it (Windows' own English, trailing "\r\n"
// dropped). This is the one list: the constants below and the texts of
// sysmsg.h both come from it, so a code is added here or nowhere.
#pragma once

#include <cstdint>

// X(name, code, text); the constants are int, as the layers' results are.
#define PLAT_WIN32_ERRORS(X)                                                                      \
  X(kErrorSuccess, 0, "The operation completed successfully.")                                    \
  X(kErrorInvalidFunction, 1, "Incorrect function.")                                              \
  X(kErrorFileNotFound, 2, "The system cannot find the file specified.")                          \
  X(kErrorPathNotFound, 3, "The system cannot find the path specified.")                          \
  X(kErrorTooManyOpenFiles, 4, "The system cannot open the file.")                                \
  X(kErrorAccessDenied, 5, "Access is denied.")                                                   \
  X(kErrorInvalidHandle, 6, "The handle is invalid.")                                             \
  X(kErrorNotEnoughMemory, 8,                                                                     \
    "Not enough memory resources are available to process this command.")                         \
  X(kErrorInvalidData, 13, "The data is invalid.")                                                \
  X(kErrorOutOfMemory, 14,                                                                        \
    "Not enough memory resources are available to complete this operation.")                      \
  X(kErrorWriteProtect, 19, "The media is write protected.")                                      \
  X(kErrorNotReady, 21, "The device is not ready.")                                               \
  X(kErrorGenFailure, 31, "A device attached to the system is not functioning.")                  \
  X(kErrorSharingViolation, 32,                                                                   \
    "The process cannot access the file because it is being used by another process.")            \
  X(kErrorNotSupported, 50, "The request is not supported.")                                      \
  X(kErrorFileExists, 80, "The file exists.")                                                     \
  X(kErrorInvalidParameter, 87, "The parameter is incorrect.")                                    \
  X(kErrorBrokenPipe, 109, "The pipe has been ended.")                                            \
  X(kErrorDiskFull, 112, "There is not enough space on the disk.")                                \
  X(kErrorCallNotImplemented, 120, "This function is not supported on this system.")              \
  X(kErrorSemTimeout, 121, "The semaphore timeout period has expired.")                           \
  X(kErrorInsufficientBuffer, 122, "The data area passed to a system call is too small.")         \
  X(kErrorInvalidName, 123, "The filename, directory name, or volume label syntax is incorrect.") \
  X(kErrorModNotFound, 126, "The specified module could not be found.")                           \
  X(kErrorProcNotFound, 127, "The specified procedure could not be found.")                       \
  X(kErrorBadPathname, 161, "The specified path is invalid.")                                     \
  X(kErrorBusy, 170, "The requested resource is in use.")                                         \
  X(kErrorAlreadyExists, 183, "Cannot create a file when that file already exists.")              \
  X(kErrorFilenameTooLong, 206, "The filename or extension is too long.")                         \
  X(kErrorPipeBusy, 231, "All pipe instances are busy.")                                          \
  X(kErrorNoData, 232, "The pipe is being closed.")                                               \
  X(kErrorPipeNotConnected, 233, "No process is on the other end of the pipe.")                   \
  X(kErrorMoreData, 234, "More data is available.")                                               \
  X(kErrorWaitTimeout, 258, "The wait operation timed out.")                                      \
  X(kErrorNoMoreItems, 259, "No more data is available.")                                         \
  X(kErrorOperationAborted, 995,                                                                  \
    "The I/O operation has been aborted because of either a thread exit or an application "       \
    "request.")                                                                                   \
  X(kErrorIoPending, 997, "Overlapped I/O operation is in progress.")                             \
  X(kErrorDeviceNotConnected, 1167, "The device is not connected.")                               \
  X(kErrorNotFound, 1168, "Element not found.")                                                   \
  X(kErrorCancelled, 1223, "The operation was canceled by the user.")                             \
  X(kErrorConnectionAborted, 1236, "The network connection was aborted by the local system.")     \
  X(kErrorNoSystemResources, 1450,                                                                \
    "Insufficient system resources exist to complete the requested service.")                     \
  X(kErrorTimeout, 1460, "This operation returned because the timeout period expired.")           \
  X(kErrorUnsupportedType, 1630, "Data of this type is not supported.")                           \
  X(kErrorCantResolveFilename, 1921, "The name of the file cannot be resolved by the system.")

// X(name, code, text); the constants are uint32_t, as RPC exception codes are.
#define PLAT_RPC_STATUSES(X)                                                           \
  X(kRpcInvalidBinding, 1702, "The binding handle is invalid.")                        \
  X(kRpcUnknownInterface, 1717, "The interface is unknown.")                           \
  X(kRpcServerUnavailable, 1722, "The RPC server is unavailable.")                     \
  X(kRpcServerTooBusy, 1723, "The RPC server is too busy to complete this operation.") \
  X(kRpcCallFailed, 1726, "The remote procedure call failed.")                         \
  X(kRpcCallFailedDne, 1727, "The remote procedure call failed and did not execute.")  \
  X(kRpcDuplicateEndpoint, 1740, "The endpoint is a duplicate.")                       \
  X(kRpcProcedureOutOfRange, 1745, "The procedure number is out of range.")            \
  X(kRpcBadStubData, 1783, "The stub received bad data.")

namespace plat {

#define PLAT_WIN32_ERROR_CONSTANT(name, code, text) inline constexpr int name = code;
PLAT_WIN32_ERRORS(PLAT_WIN32_ERROR_CONSTANT)
#undef PLAT_WIN32_ERROR_CONSTANT

#define PLAT_RPC_STATUS_CONSTANT(name, code, text) inline constexpr uint32_t name = code;
PLAT_RPC_STATUSES(PLAT_RPC_STATUS_CONSTANT)
#undef PLAT_RPC_STATUS_CONSTANT

// Win32 errors that travel as RPC exception codes.
inline constexpr uint32_t kRpcAccessDenied = kErrorAccessDenied;
inline constexpr uint32_t kRpcInvalidArgument = kErrorInvalidParameter;

}  // namespace plat
