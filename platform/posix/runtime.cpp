#include "plat/runtime.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "plat/errors.h"
#include "plat/handle.h"

namespace plat {
namespace {

std::string dropTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// <rt> as configured, not yet created or checked.
std::string configuredRuntimeDir() {
  std::string dir;
  if (const char* v = ::getenv("LINKHUB_RUNTIME_DIR"); v && *v) {
    dir = v;
  } else if (const char* x = ::getenv("XDG_RUNTIME_DIR"); x && *x) {
    dir = dropTrailingSlashes(x) + "/veltrano";
  } else {
    dir = "/tmp/veltrano-" + std::to_string(::geteuid());
  }
  std::error_code ec;
  auto absolute = std::filesystem::absolute(dir, ec);
  if (!ec) dir = absolute.lexically_normal().string();
  return dropTrailingSlashes(dir);
}

// Creates one directory mode 0700 (the umask cannot widen or narrow it).
// EEXIST counts as success; the caller checks what is there.
int makeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) {
    ::chmod(path.c_str(), 0700);
    return 0;
  }
  if (errno == EEXIST) return 0;
  if (errno == ENOENT) return kErrorPathNotFound;  // a parent is missing
  return lastSystemError();
}

int checkPrivateDir(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return lastSystemError();
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)))
    return kErrorAccessDenied;
  return 0;
}

// Creates every missing directory of `path`, top down.
int makeDirs(const std::string& path) {
  std::vector<std::string> missing;
  std::string p = path;
  struct stat st;
  while (!p.empty() && p != "/" && ::stat(p.c_str(), &st) != 0) {
    if (errno != ENOENT) return lastSystemError();
    missing.push_back(p);
    auto slash = p.rfind('/');
    if (slash == std::string::npos) break;
    p = slash == 0 ? "/" : p.substr(0, slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if (int rc = makeDir(*it)) return rc;
  return 0;
}

}  // namespace

int runtimeDir(std::string* path) {
  std::string dir = configuredRuntimeDir();
  bool explicitDir = ::getenv("LINKHUB_RUNTIME_DIR") && *::getenv("LINKHUB_RUNTIME_DIR");
  // Only the explicit setting gets its parents made: $XDG_RUNTIME_DIR and /tmp
  // belong to the system.
  if (int rc = explicitDir ? makeDirs(dir) : makeDir(dir)) return rc;
  if (int rc = checkPrivateDir(dir)) return rc;
  if (path) *path = dir;
  return 0;
}

int pipePath(const std::string& windowsName, std::string* path) {
  std::string name = windowsName;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c == '\\') c = '/';
  }
  if (name.find('\0') != std::string::npos) return kErrorInvalidName;
  std::string rest;
  if (name.rfind("//./pipe/", 0) == 0) {
    rest = name.substr(9);
  } else if (name.rfind("//.//pipe/", 0) == 0) {
    // The server's channel names join "\\.\" and "\pipe\..." as they stand.
    rest = name.substr(10);
  } else if (name.rfind("/pipe/", 0) == 0) {
    rest = name.substr(6);
  } else {
    return kErrorInvalidName;
  }
  if (rest.empty()) return kErrorInvalidName;
  size_t start = 0;
  while (true) {
    size_t end = rest.find('/', start);
    std::string part = rest.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return kErrorInvalidName;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string full = configuredRuntimeDir() + "/pipe/" + rest;
  if (full.size() > kMaxSocketPath) return kErrorFilenameTooLong;
  if (path) *path = full;
  return 0;
}

int makeParentDirs(const std::string& socketPath) {
  std::string rt;
  if (int rc = runtimeDir(&rt)) return rc;
  std::string prefix = rt == "/" ? "/" : rt + "/";
  if (socketPath.size() <= prefix.size() || socketPath.compare(0, prefix.size(), prefix) != 0)
    return kErrorInvalidName;
  size_t pos = prefix.size();
  while (true) {
    size_t slash = socketPath.find('/', pos);
    if (slash == std::string::npos) break;
    std::string dir = socketPath.substr(0, slash);
    if (slash == pos) return kErrorInvalidName;  // an empty part
    if (int rc = makeDir(dir)) return rc;
    if (int rc = checkPrivateDir(dir)) return rc;
    pos = slash + 1;
  }
  return 0;
}

std::string makeTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) return {};
  return buffer.data();
}

void setEnvironment(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironment(const std::string& name) { ::unsetenv(name.c_str()); }

}  // namespace plat
