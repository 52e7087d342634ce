#include "plat/thread.h"

#include <pthread.h>

namespace plat {

void setThreadName(std::thread::native_handle_type thread, const std::string& name) {
  pthread_setname_np(thread, name.substr(0, 15).c_str());
}

void setCurrentThreadName(const std::string& name) { setThreadName(pthread_self(), name); }

}  // namespace plat
