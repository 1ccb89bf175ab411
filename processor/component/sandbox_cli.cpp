// vtfc4-sandbox: makes and shows sandbox company files, and registers the sandbox's request
// processor in the registry file that VTFC4_REGISTRY names.
//
//   vtfc4-sandbox create FILE [--country US|CA] [--name NAME]
//                                    a new company file, with the records a company starts with
//   vtfc4-sandbox list FILE          its records, readable
//   vtfc4-sandbox register [MODULE]  the in-process processor (default: the installed module)
//                                    and the out-of-process one (vtfc4-sandboxd beside it),
//                                    through the module's own DllRegisterServer
//   vtfc4-sandbox unregister         removes them, through DllUnregisterServer
//
// --help and --version answer on standard output; a usage error exits with 2, a failure
// (standard output that cannot be written included) with 1.
#include <dlfcn.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "processor/sandbox_engine.h"
#include "src/com/registry.h"
#include "vtfc4/comptr.h"
#include "vtfc4/vtfc4.h"

namespace {

// The folder this program runs from.
std::string SelfFolder() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  std::string folder(self);
  folder.erase(folder.rfind('/'));
  return folder;
}

// The processor module next to this program (in the build tree), else where installation puts
// it relative to the program.
std::string DefaultModule() {
  const std::string folder = SelfFolder();
  for (const std::string& candidate : {folder + "/libvtxmlrp2.so", folder + "/" VTFC4_SANDBOX_MODULE_FROM_BIN})
    if (access(candidate.c_str(), R_OK) == 0) {
      char resolved[PATH_MAX];
      return realpath(candidate.c_str(), resolved) ? resolved : candidate;
    }
  return "";
}

// Loads the processor module and runs its registration entry point, which writes (or
// removes) both processors' keys in the registry file.
int Register(const std::string& module, bool add) {
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "vtfc4-sandbox: cannot load %s: %s\n", module.c_str(), dlerror());
    return 1;
  }
  const char* name = add ? "DllRegisterServer" : "DllUnregisterServer";
  auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
  if (!entry) {
    std::fprintf(stderr, "vtfc4-sandbox: %s has no %s\n", module.c_str(), name);
    return 1;
  }
  const HRESULT hr = entry();
  if (FAILED(hr)) {
    vtfc4::ComPtr<IErrorInfo> info;
    vtfc4::Bstr description;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
    std::string text;
    for (UINT i = 0; description.Get() && i < SysStringLen(description.Get()); ++i)
      text += static_cast<char>(description.Get()[i] < 0x80 ? description.Get()[i] : '?');
    std::fprintf(stderr, "vtfc4-sandbox: %s failed (0x%08X): %s\n", name, static_cast<unsigned>(hr), text.c_str());
    return 1;
  }
  if (add)
    std::printf("registered %s in %s\n", module.c_str(), vtfc4::RegistryPath().c_str());
  else
    std::printf("unregistered the sandbox processor from %s\n", vtfc4::RegistryPath().c_str());
  return 0;
}

// The module registered now, else the default one.
std::string RegisteredModule() {
  vtfc4::Registry registry;
  std::string error;
  if (registry.Load(error))
    if (auto module = registry.Get("CLSID\\" + vtfc4::GuidText(CLSID_VTXMLRP2) + "\\InprocServer32");
        module && access(module->c_str(), R_OK) == 0)
      return *module;
  return DefaultModule();
}

// The exit status once everything is written: 1 when standard output did not take it all.
int Finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "vtfc4-sandbox: cannot write to standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}

int Run(CLI::App& app, const std::string& file, const std::string& module,
        const vtfc4::sandbox::NewCompany& company) {
  const std::string command = app.get_subcommands().at(0)->get_name();
  if (command == "create" || command == "list") {
    std::string error;
    auto opened = command == "create" ? vtfc4::sandbox::CompanyFile::Create(file, error, company)
                                      : vtfc4::sandbox::CompanyFile::Open(file, error);
    if (!opened) {
      std::fprintf(stderr, "vtfc4-sandbox: %s\n", error.c_str());
      return 1;
    }
    if (command == "create")
      std::printf("created company file %s\n", file.c_str());
    else
      std::fputs(vtfc4::sandbox::ListRecords(*opened).c_str(), stdout);
    return 0;
  }
  if (command == "register") {
    std::string chosen = module.empty() ? DefaultModule() : module;
    if (chosen.empty()) {
      std::fprintf(stderr, "vtfc4-sandbox: the processor module was not found; name it: register MODULE\n");
      return 1;
    }
    // The registry keeps the module by its full path: a client may run from any folder.
    char resolved[PATH_MAX];
    if (realpath(chosen.c_str(), resolved)) chosen = resolved;
    return Register(chosen, true);
  }
  const std::string registered = RegisteredModule();
  if (registered.empty()) {
    std::fprintf(stderr, "vtfc4-sandbox: the processor module was not found\n");
    return 1;
  }
  return Register(registered, false);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Makes and shows sandbox company files, and registers the sandbox's request processor.",
               "vtfc4-sandbox");
  app.set_version_flag("--version", VTFC4_VERSION);
  app.require_subcommand(1);
  std::string file, module;
  vtfc4::sandbox::NewCompany company;
  CLI::App* create = app.add_subcommand("create", "Make a new company file, with the records a company starts with");
  create->add_option("FILE", file, "The new company file")->required();
  create->add_option("--country", company.country, "The edition of the company: US or CA")
      ->check(CLI::IsMember({"US", "CA"}))
      ->capture_default_str();
  create->add_option("--name", company.name, "The company's name (default: the file's name)");
  app.add_subcommand("list", "Show a company file's records")->add_option("FILE", file, "The company file")->required();
  app.add_subcommand("register",
                     "Register the in-process processor MODULE (default: the one beside this program or installed "
                     "with it) and the out-of-process one (vtfc4-sandboxd beside this program) in the registry file")
      ->add_option("MODULE", module, "The processor module")
      ->check(CLI::ExistingFile);
  app.add_subcommand("unregister", "Remove the sandbox's processors from the registry file");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    std::fputs(out.str().c_str(), stdout);
    std::fputs(err.str().c_str(), stderr);
    return Finish(code == 0 ? 0 : 2);
  }
  int status = 1;
  try {
    status = Run(app, file, module, company);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", e.what());
  }
  return Finish(status);
}
