// A stand-in for a launched program: writes what it was started with to the
// file named by $SPAWN_RECORDER_OUT (arguments, signal mask and ignored
// signals, open descriptors, its session), then ends.
// The file appears whole (written beside it, then renamed).
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  const char* out = std::getenv("SPAWN_RECORDER_OUT");
  if (!out) return 2;
  std::ostringstream text;
  for (int i = 1; i < argc; ++i) text << "arg=" << argv[i] << "\n";
  {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) == 0)
        text << "sigblk=" << line.substr(line.find_first_not_of(" \t", 7)) << "\n";
      if (line.rfind("SigIgn:", 0) == 0)
        text << "sigign=" << line.substr(line.find_first_not_of(" \t", 7)) << "\n";
    }
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    const int own = dirfd(d);
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      if (std::atoi(e->d_name) != own) text << "fd=" << e->d_name << "\n";
    }
    closedir(d);
  }
  text << "pid=" << getpid() << "\n";
  text << "sid=" << getsid(0) << "\n";
  const std::string tmp = std::string(out) + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << text.str();
  }
  return std::rename(tmp.c_str(), out) == 0 ? 0 : 3;
}
