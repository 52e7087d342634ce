// Thread naming for debuggers and ps.
#pragma once

#include <string>
#include <thread>
#include <vector>

namespace plat {

// Names a thread; the name is cut to the 15 bytes the kernel keeps.
void setThreadName(std::thread::native_handle_type thread, const std::string& name);
void setCurrentThreadName(const std::string& name);
// The calling thread's name.
std::string currentThreadName();
// The names of every thread of this process (tests look for leftovers).
std::vector<std::string> processThreadNames();

}  // namespace plat
