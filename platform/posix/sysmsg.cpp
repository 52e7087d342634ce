#include "plat/sysmsg.h"

#include <utility>

namespace plat {
namespace {

// Windows' own English texts, trailing "\r\n" dropped.
constexpr std::pair<uint32_t, const char*> kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1223, "The operation was canceled by the user."},
    {1236, "The network connection was aborted by the local system."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1630, "Data of this type is not supported."},
    {1702, "The binding handle is invalid."},
    {1717, "The interface is unknown."},
    {1722, "The RPC server is unavailable."},
    {1723, "The RPC server is too busy to complete this operation."},
    {1726, "The remote procedure call failed."},
    {1727, "The remote procedure call failed and did not execute."},
    {1740, "The endpoint is a duplicate."},
    {1745, "The procedure number is out of range."},
    {1783, "The stub received bad data."},
    {1921, "The name of the file cannot be resolved by the system."},
};

}  // namespace

bool lookupSystemMessage(uint32_t code, std::string* text) {
  for (const auto& [c, t] : kTexts) {
    if (c == code) {
      *text = t;
      return true;
    }
  }
  return false;
}

std::string systemMessage(uint32_t code) {
  std::string text;
  if (lookupSystemMessage(code, &text)) return text;
  return "Unknown error " + std::to_string(code);
}

}  // namespace plat
