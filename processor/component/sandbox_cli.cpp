// vtfc4-sandbox: makes and shows sandbox company files, and registers the sandbox's request
// processor in the registry file that VTFC4_REGISTRY names.
//
//   vtfc4-sandbox create FILE        a new, empty company file
//   vtfc4-sandbox list FILE          its records, readable
//   vtfc4-sandbox register [MODULE]  the in-process processor (default: the installed module)
//                                    and the out-of-process one (vtfc4-sandboxd beside it)
//   vtfc4-sandbox unregister         removes it
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "processor/sandbox_engine.h"
#include "src/com/registry.h"
#include "vtfc4/vtfc4.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vtfc4-sandbox create FILE | list FILE | register [MODULE] | unregister\n");
  return 2;
}

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

int Register(const std::string& module, const std::string& daemon, bool add) {
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", error.c_str());
    return 1;
  }
  const std::string key = "CLSID\\" + vtfc4::GuidText(CLSID_VTXMLRP2);
  const std::string keyEx = "CLSID\\" + vtfc4::GuidText(CLSID_VTXMLRP2e);
  for (const std::string& k : {key, keyEx, std::string("VTFC4Sandbox.RequestProcessor2"),
                               std::string("VTFC4Sandbox.RequestProcessor2e")})
    registry.DeleteTree(k);
  if (add) {
    registry.Set(key, "", "Sandbox request processor");
    registry.Set(key + "\\InprocServer32", "", module);
    registry.Set(key + "\\InprocServer32", "ThreadingModel", "Both");
    registry.Set(key + "\\ProgID", "", "VTFC4Sandbox.RequestProcessor2");
    registry.Set("VTFC4Sandbox.RequestProcessor2\\CLSID", "", vtfc4::GuidText(CLSID_VTXMLRP2));
    registry.Set(keyEx, "", "Sandbox request processor, out of process");
    registry.Set(keyEx + "\\LocalServer32", "", daemon);
    registry.Set(keyEx + "\\ProgID", "", "VTFC4Sandbox.RequestProcessor2e");
    registry.Set("VTFC4Sandbox.RequestProcessor2e\\CLSID", "", vtfc4::GuidText(CLSID_VTXMLRP2e));
  }
  if (!registry.Save(error)) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", error.c_str());
    return 1;
  }
  if (add)
    std::printf("registered %s in %s\n", module.c_str(), vtfc4::RegistryPath().c_str());
  else
    std::printf("unregistered the sandbox processor from %s\n", vtfc4::RegistryPath().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  try {
    if ((command == "create" || command == "list") && argc == 3) {
      std::string error;
      auto file = command == "create" ? vtfc4::sandbox::CompanyFile::Create(argv[2], error)
                                      : vtfc4::sandbox::CompanyFile::Open(argv[2], error);
      if (!file) {
        std::fprintf(stderr, "vtfc4-sandbox: %s\n", error.c_str());
        return 1;
      }
      if (command == "create")
        std::printf("created company file %s\n", argv[2]);
      else
        std::fputs(vtfc4::sandbox::ListRecords(*file).c_str(), stdout);
      return 0;
    }
    if (command == "register" && argc <= 3) {
      const std::string module = argc == 3 ? argv[2] : DefaultModule();
      if (module.empty()) {
        std::fprintf(stderr, "vtfc4-sandbox: the processor module was not found; name it: register MODULE\n");
        return 1;
      }
      return Register(module, SelfFolder() + "/vtfc4-sandboxd", true);
    }
    if (command == "unregister" && argc == 2) return Register("", "", false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", e.what());
    return 1;
  }
  return Usage();
}
