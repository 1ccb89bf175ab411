// Internal, and linked into the sandbox's processor module too: registry scripts, the text
// resources that self-registration runs against the registry file.
//
// A script is the registrar's format: a root (HKCR) and, in braces, keys, each
//   [NoRemove|ForceRemove] NAME [= s 'DEFAULT VALUE']  optionally followed by { ... }
// and, inside a key's braces, named values
//   val NAME = s 'VALUE'
// %NAME% anywhere is replaced by the value given for it (%MODULE%: the module's full path).
// Registering writes every key and value, after deleting a ForceRemove key with everything
// below it. Unregistering deletes every key the script names with everything below it,
// except a NoRemove key, which stays while the keys the script names below it go; a key
// that is not there is no failure.
#ifndef VTFC4_SRC_COM_REGISTRAR_H
#define VTFC4_SRC_COM_REGISTRAR_H

#include <map>
#include <string>
#include <string_view>

#include "vtfc4/com.h"

namespace vtfc4 {

// Runs `script` against the registry file. E_FAIL (with `error`) for a script that cannot be
// read, and when the registry file cannot be read or written.
HRESULT RunRegistryScript(std::string_view script, const std::map<std::string, std::string>& replacements,
                          bool registering, std::string& error);

// The full path of the module (shared library or program) that holds `address`.
std::string ModulePath(const void* address);

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_REGISTRAR_H
