// vtfc4-regsvr: registers an in-process server, as users of COM expect: loads MODULE and
// calls its DllRegisterServer (or, with -u, its DllUnregisterServer), which write (or remove)
// its keys in the registry file that VTFC4_REGISTRY names.
//
//   vtfc4-regsvr [-u] MODULE
//
// --help and --version answer on standard output; a usage error exits with 2, a module that
// cannot be loaded or whose entry point fails with 1, with the error's description.
#include <dlfcn.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "src/command_line.h"
#include "vtfc4/comptr.h"
#include "vtfc4/vtfc4.h"

namespace {

std::string Narrow(BSTR text) {
  std::string out;
  for (UINT i = 0; text && i < SysStringLen(text); ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

int Run(const std::string& module, bool unregister) {
  // The module resolves the COM functions it uses from this program's libvtfc4.
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "vtfc4-regsvr: cannot load %s: %s\n", module.c_str(), dlerror());
    return 1;
  }
  const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
  if (!entry) {
    std::fprintf(stderr, "vtfc4-regsvr: %s has no %s\n", module.c_str(), name);
    return 1;
  }
  const HRESULT hr = entry();
  if (FAILED(hr)) {
    vtfc4::ComPtr<IErrorInfo> info;
    vtfc4::Bstr description;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
    std::fprintf(stderr, "vtfc4-regsvr: %s of %s failed (0x%08X): %s\n", name, module.c_str(),
                 static_cast<unsigned>(hr), Narrow(description.Get()).c_str());
    return 1;
  }
  std::printf("%s of %s succeeded\n", name, module.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Registers an in-process server: loads MODULE and calls its DllRegisterServer (with -u, its "
               "DllUnregisterServer).",
               "vtfc4-regsvr");
  app.set_version_flag("--version", VTFC4_VERSION);
  bool unregister = false;
  std::string module;
  app.add_flag("-u,--unregister", unregister, "Unregister the module instead");
  app.add_option("MODULE", module, "The module (a shared library)")->required()->check(CLI::ExistingFile);
  if (const std::optional<int> end = vtfc4::ParseCommandLine(app, argc, argv)) return *end;
  const int status = Run(module, unregister);
  return std::fflush(stdout) == 0 ? status : 1;
}
