#include "src/com/registry.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "src/com/shell_folders.h"
#include "src/com/text.h"
#include "src/session/processor_proxy.h"
#include "vtfc4/comptr.h"

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
  return ToNarrow(text, 38);
}

}  // namespace vtfc4

// ---- Creation by class identifier.

namespace {

typedef HRESULT (*GetClassObjectFunction)(REFCLSID, REFIID, void**);

// Loaded servers stay loaded for the life of the process: objects they made may outlive any
// reference the library could count.
GetClassObjectFunction LoadServer(const std::string& module, HRESULT& status) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    status = CO_E_DLLNOTFOUND;
    return nullptr;
  }
  auto entry = reinterpret_cast<GetClassObjectFunction>(dlsym(handle, "DllGetClassObject"));
  if (!entry) status = CO_E_ERRORINDLL;
  return entry;
}

}  // namespace

extern "C" {

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!(context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return REGDB_E_CLASSNOTREG;
  const auto module = registry.Get("CLSID\\" + vtfc4::GuidText(clsid) + "\\InprocServer32");
  if (!module || module->empty()) return REGDB_E_CLASSNOTREG;
  HRESULT status = S_OK;
  GetClassObjectFunction entry = LoadServer(*module, status);
  if (!entry) return status;
  return entry(clsid, riid, out);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  vtfc4::ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.PutVoid());
  if (SUCCEEDED(hr)) return factory->CreateInstance(outer, riid, out);
  // A local server: its executable is registered under LocalServer32.
  if (hr != REGDB_E_CLASSNOTREG || !(context & CLSCTX_LOCAL_SERVER)) return hr;
  if (outer) return CLASS_E_NOAGGREGATION;
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return REGDB_E_CLASSNOTREG;
  const auto server = registry.Get("CLSID\\" + vtfc4::GuidText(clsid) + "\\LocalServer32");
  if (!server || server->empty()) return REGDB_E_CLASSNOTREG;
  return vtfc4::CreateLocalServerObject(clsid, *server, riid, out);
}

HRESULT CLSIDFromProgID(LPCOLESTR progID, CLSID* out) {
  if (!progID || !out) return E_POINTER;
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return CO_E_CLASSSTRING;
  const std::string name = vtfc4::ToNarrow(progID, std::char_traits<char16_t>::length(progID));
  const auto text = registry.Get(name + "\\CLSID");
  if (!text) return CO_E_CLASSSTRING;
  const std::u16string wide = vtfc4::ToWide(*text);
  return CLSIDFromString(wide.c_str(), out) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT OleRun(IUnknown* object) { return object ? S_OK : E_INVALIDARG; }

}  // extern "C"
