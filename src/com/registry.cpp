#include "src/com/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "src/com/shell_folders.h"

namespace vtfc4 {

namespace {

std::string Fold(const std::string& key) {
  std::string folded = key;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
    fields.push_back(line.substr(start, tab - start));
  fields.push_back(line.substr(start));
  return fields;
}

}  // namespace

std::string RegistryPath() {
  if (const char* chosen = std::getenv("VTFC4_REGISTRY"); chosen && *chosen) return chosen;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    config = xdg;
  } else {
    const char* home = std::getenv("HOME");
    config = std::string(home ? home : "") + "/.config";
  }
  return config + "/vtfc4/registry";
}

bool Registry::Load(std::string& error) {
  keys_.clear();
  const std::string path = RegistryPath();
  std::ifstream in(path);
  if (!in) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return true;  // no registry yet
    error = "Cannot read the registry file " + path + ".";
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitTabs(line);
    const std::string key = Unescape(fields[0]);
    CreateKey(key);
    if (fields.size() >= 3) Set(key, Unescape(fields[1]), Unescape(fields[2]));
  }
  return true;
}

bool Registry::Save(std::string& error) const {
  const std::string path = RegistryPath();
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    // Every folder on the way, as `mkdir -p`.
    for (size_t at = path.find('/', 1); at != std::string::npos && at <= slash; at = path.find('/', at + 1))
      EnsureFolder(path.substr(0, at), 0755);
  }
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const auto& [folded, key] : keys_) {
      if (key.values.empty()) out << Escape(key.spelling) << '\n';
      for (const auto& [name, value] : key.values)
        out << Escape(key.spelling) << '\t' << Escape(name) << '\t' << Escape(value) << '\n';
    }
    if (!out.flush()) {
      error = "Cannot write the registry file " + temporary + ".";
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "Cannot replace the registry file " + path + ".";
    return false;
  }
  return true;
}

std::optional<std::string> Registry::Get(const std::string& key, const std::string& name) const {
  const auto it = keys_.find(Fold(key));
  if (it == keys_.end()) return std::nullopt;
  const auto value = it->second.values.find(name);
  if (value == it->second.values.end()) return std::nullopt;
  return value->second;
}

void Registry::Set(const std::string& key, const std::string& name, const std::string& value) {
  CreateKey(key);
  keys_[Fold(key)].values[name] = value;
}

void Registry::CreateKey(const std::string& key) {
  Key& k = keys_[Fold(key)];
  if (k.spelling.empty()) k.spelling = key;
}

bool Registry::HasChildren(const std::string& key) const {
  const std::string prefix = Fold(key) + "\\";
  const auto it = keys_.lower_bound(prefix);
  return it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

bool Registry::HasKey(const std::string& key) const { return keys_.count(Fold(key)) != 0; }

void Registry::DeleteTree(const std::string& key) {
  const std::string folded = Fold(key);
  const std::string below = folded + "\\";
  for (auto it = keys_.begin(); it != keys_.end();) {
    if (it->first == folded || it->first.compare(0, below.size(), below) == 0)
      it = keys_.erase(it);
    else
      ++it;
  }
}

std::string GuidText(REFGUID guid) {
  OLECHAR text[39];
  StringFromGUID2(guid, text, 39);
  return std::string(text, text + 38);  // hexadecimal digits, braces and dashes only
}

}  // namespace vtfc4
