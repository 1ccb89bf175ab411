#include "src/com/shell_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vtfc4 {

namespace {

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates every missing folder of `path`, as `mkdir -p` does.
bool EnsurePath(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (!EnsureFolder(path.substr(0, slash), mode)) return false;
  return EnsureFolder(path, mode);
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

bool EnsureFolder(const std::string& path, unsigned mode) {
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  return errno == EEXIST && IsFolder(path);
}

HRESULT GetCommonAppDataFolder(std::string& out) {
  out.clear();
  const std::string chosen = Environment("VTFC4_COMMON_APPDATA");
  if (!chosen.empty()) {
    if (!EnsurePath(chosen, 0755)) return E_FAIL;
    out = chosen;
    return S_OK;
  }
  // The system-wide folder when this user may write there (or create it), as a service
  // account or an administrator may; otherwise the user's own data folder.
  const std::string system = "/var/lib/vtfc4";
  if ((IsFolder(system) || EnsureFolder(system, 0755)) && access(system.c_str(), W_OK | X_OK) == 0) {
    out = system;
    return S_OK;
  }
  std::string data = Environment("XDG_DATA_HOME");
  if (data.empty() || data[0] != '/') {
    const std::string home = Environment("HOME");
    if (home.empty()) return E_FAIL;
    data = home + "/.local/share";
  }
  const std::string user = data + "/vtfc4";
  if (!EnsurePath(user, 0700)) return E_FAIL;
  out = user;
  return S_OK;
}

}  // namespace vtfc4
