#include "plat/thread.h"

#include <pthread.h>

#include <filesystem>
#include <fstream>

namespace plat {

void setThreadName(std::thread::native_handle_type thread, const std::string& name) {
  pthread_setname_np(thread, name.substr(0, 15).c_str());
}

void setCurrentThreadName(const std::string& name) { setThreadName(pthread_self(), name); }

std::string currentThreadName() {
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
  return name;
}

std::vector<std::string> processThreadNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (comm && std::getline(comm, name)) names.push_back(name);
  }
  return names;
}

}  // namespace plat
