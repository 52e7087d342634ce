// Thread naming for debuggers and ps.
#pragma once

#include <string>
#include <thread>

namespace plat {

// Names a thread; the name is cut to the 15 bytes the kernel keeps.
void setThreadName(std::thread::native_handle_type thread, const std::string& name);
void setCurrentThreadName(const std::string& name);

}  // namespace plat
