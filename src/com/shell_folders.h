// Internal: the shell's special folders, as far as the library needs them.
#ifndef VTFC4_SRC_COM_SHELL_FOLDERS_H
#define VTFC4_SRC_COM_SHELL_FOLDERS_H

#include <string>

#include "vtfc4/com.h"

namespace vtfc4 {

// The common (all users) application data folder, created when missing: the folder that
// VTFC4_COMMON_APPDATA names; without it /var/lib/vtfc4 when that can be used, else
// $XDG_DATA_HOME/vtfc4 (~/.local/share/vtfc4). E_FAIL when there is none to be had.
HRESULT GetCommonAppDataFolder(std::string& out);

// Creates the folder `path` when it does not exist (its parent must). True when it exists as
// a folder afterwards. `mode` is the new folder's permissions before the umask.
bool EnsureFolder(const std::string& path, unsigned mode);

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_SHELL_FOLDERS_H
