// Internal: the registry file. It holds the keys of HKEY_CLASSES_ROOT that registration
// writes and that object creation reads: one line per key, or per value of a key, as
// <key>TAB<value name>TAB<value> (the default value has the empty name; a key without values
// stands alone). Tabs, line ends and backslashes in names and values are escaped.
#ifndef VTFC4_SRC_COM_REGISTRY_H
#define VTFC4_SRC_COM_REGISTRY_H

#include <map>
#include <optional>
#include <string>

#include "vtfc4/com.h"

namespace vtfc4 {

// The registry file's path: VTFC4_REGISTRY, else $XDG_CONFIG_HOME/vtfc4/registry
// (~/.config/vtfc4/registry).
std::string RegistryPath();

class Registry {
 public:
  // Reads the file; a missing file is an empty registry. False (with `error`) when it cannot
  // be read.
  bool Load(std::string& error);
  // Writes the file whole (a temporary file renamed over it), creating its folder.
  bool Save(std::string& error) const;

  // A value of a key (keys are compared without regard to case, as the registry does).
  std::optional<std::string> Get(const std::string& key, const std::string& name = "") const;
  void Set(const std::string& key, const std::string& name, const std::string& value);
  void CreateKey(const std::string& key);
  bool HasKey(const std::string& key) const;
  // True when some key lies below `key`.
  bool HasChildren(const std::string& key) const;
  // Removes the key with its values and every key below it.
  void DeleteTree(const std::string& key);

 private:
  // Key (folded to lower case) -> its spelling and its values.
  struct Key {
    std::string spelling;
    std::map<std::string, std::string> values;
  };
  std::map<std::string, Key> keys_;
};

// The braced text of a GUID, "{XXXXXXXX-...}".
std::string GuidText(REFGUID guid);

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_REGISTRY_H
