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
//   vtfc4-sandbox ticket FILE --login NAME | --revoke TICKET
//                                    issues a connection ticket of the online gateway, or
//                                    revokes one
//   vtfc4-sandbox serve FILE [--listen ADDR:PORT] [--cert FILE --key FILE]
//                       [--session-minutes N] [--max-body BYTES]
//                                    the online edition's HTTPS gateway, until SIGINT or SIGTERM
//   vtfc4-sandbox subscribe DOCUMENT answers a subscription document (a file, or - for standard
//                                    input) from the store of subscriptions, as a client would
//   vtfc4-sandbox click FILE TAG     a user's choice of the menu items whose event tag is TAG, with
//                                    FILE open: the UI extension event delivered to their subscribers
//
// --help and --version answer on standard output; a usage error exits with 2, a failure
// (standard output that cannot be written included) with 1.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "processor/component/deliverer.h"
#include "processor/events.h"
#include "processor/gateway.h"
#include "processor/sandbox_engine.h"
#include "processor/subscriptions.h"
#include "src/com/registry.h"
#include "src/command_line.h"
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

// What the command line asked for, beside the subcommand.
struct Arguments {
  std::string file, module, login, revoke, listen = "127.0.0.1:8443", document, tag;
  vtfc4::sandbox::NewCompany company;
  vtfc4::sandbox::GatewayOptions gateway;
};

// "ADDR:PORT" (an IPv6 address in brackets: "[::1]:8443") into the gateway's options.
bool ReadListen(const std::string& text, vtfc4::sandbox::GatewayOptions& options) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon + 6 < text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.back() != ']' || host.size() < 3) return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;
  }
  int port = 0;
  for (char c : text.substr(colon + 1)) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return false;
  options.host = host;
  options.port = port;
  return true;
}

// Serves until SIGINT or SIGTERM. The signals are blocked before the gateway's threads start,
// so they inherit the mask and only this thread takes them, by sigwait.
int Serve(vtfc4::sandbox::GatewayOptions options) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client gone mid-answer is the connection's failure, not the server's
  std::string error;
  std::unique_ptr<vtfc4::sandbox::Gateway> gateway = vtfc4::sandbox::Gateway::Start(options, error);
  if (!gateway) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", error.c_str());
    return 1;
  }
  const std::string host = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  std::printf("serving https://%s:%d%s\ncertificate: %s\n", host.c_str(), gateway->Port(),
              vtfc4::sandbox::kGatewayPath, gateway->CertificateFile().c_str());
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "vtfc4-sandbox: cannot write to standard output: %s\n", std::strerror(errno));
    return 1;
  }
  // The changes the gateway books raise events like any other: their subscribers are told
  // while it serves (and what is due when it stops, in a last round).
  std::shared_ptr<vtfc4::sandbox::Deliverer> deliverer = vtfc4::sandbox::Deliverer::For(options.company);
  int signal_number = 0;
  while (sigwait(&stop, &signal_number) != 0) {
  }
  gateway->Stop();
  deliverer.reset();
  return 0;
}

int Tickets(const Arguments& args) {
  std::string error;
  auto file = vtfc4::sandbox::CompanyFile::Open(args.file, error);
  if (!file) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", error.c_str());
    return 1;
  }
  if (!args.login.empty()) {
    std::printf("%s\n", vtfc4::sandbox::IssueConnectionTicket(*file, args.login).c_str());
    return 0;
  }
  if (!vtfc4::sandbox::RevokeConnectionTicket(*file, args.revoke)) {
    std::fprintf(stderr, "vtfc4-sandbox: %s issued no connection ticket %s\n", args.file.c_str(), args.revoke.c_str());
    return 1;
  }
  std::printf("revoked %s\n", args.revoke.c_str());
  return 0;
}

int Subscribe(const std::string& path) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vtfc4-sandbox: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
      return 1;
    }
    text << in.rdbuf();
  }
  std::fputs(vtfc4::sandbox::ProcessSubscriptionRequest(text.str()).c_str(), stdout);
  return 0;
}

// Every UI extension subscription with a menu item of that tag is told at once; the choice of
// an item nobody added is refused, as is one that could not be delivered to all.
int Click(const Arguments& args) {
  std::string error;
  auto file = vtfc4::sandbox::CompanyFile::Open(args.file, error);
  if (!file) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", error.c_str());
    return 1;
  }
  const std::string document = vtfc4::sandbox::UIExtensionEventDocument(*file, args.tag);
  int told = 0, failed = 0;
  for (const vtfc4::sandbox::Subscription& s : vtfc4::sandbox::Subscriptions("UIExtension")) {
    const std::vector<std::string> tags = vtfc4::sandbox::EventTags(s);
    if (std::find(tags.begin(), tags.end(), args.tag) == tags.end()) continue;
    std::string why;
    if (SUCCEEDED(vtfc4::sandbox::DeliverEvent(s.callback, document, why))) {
      ++told;
      std::printf("told %s (%s)\n", s.subscriberId.c_str(), s.callback.appName.c_str());
    } else {
      ++failed;
      std::fprintf(stderr, "vtfc4-sandbox: %s (%s) was not told: %s\n", s.subscriberId.c_str(),
                   s.callback.appName.c_str(), why.c_str());
    }
  }
  if (told + failed == 0) {
    std::fprintf(stderr, "vtfc4-sandbox: no UI extension subscription has a menu item with the event tag \"%s\"\n",
                 args.tag.c_str());
    return 1;
  }
  return failed ? 1 : 0;
}

int Run(CLI::App& app, const Arguments& args) {
  const std::string command = app.get_subcommands().at(0)->get_name();
  const std::string& file = args.file;
  const std::string& module = args.module;
  const vtfc4::sandbox::NewCompany& company = args.company;
  if (command == "ticket") return Tickets(args);
  if (command == "subscribe") return Subscribe(args.document);
  if (command == "click") return Click(args);
  if (command == "serve") {
    vtfc4::sandbox::GatewayOptions options = args.gateway;
    options.company = file;
    ReadListen(args.listen, options);  // checked while parsing
    return Serve(options);
  }
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
  CLI::App app("Makes and shows sandbox company files, registers the sandbox's request processor, and serves "
               "company files as the online edition's gateway.",
               "vtfc4-sandbox");
  app.set_version_flag("--version", VTFC4_VERSION);
  app.require_subcommand(1);
  Arguments args;
  std::string& file = args.file;
  std::string& module = args.module;
  vtfc4::sandbox::NewCompany& company = args.company;
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
  CLI::App* ticket = app.add_subcommand("ticket", "Issue a connection ticket of the online gateway, or revoke one");
  ticket->add_option("FILE", file, "The company file")->required();
  CLI::Option* login = ticket->add_option("--login", args.login, "Issue a ticket for this login (printed)")
                           ->check([](const std::string& v) { return v.empty() ? "the login is empty" : ""; });
  CLI::Option* revoke = ticket->add_option("--revoke", args.revoke, "Revoke this ticket");
  login->excludes(revoke);
  ticket->callback([login, revoke] {
    if (login->count() + revoke->count() != 1) throw CLI::ValidationError("ticket", "give --login NAME or --revoke TICKET");
  });
  CLI::App* serve = app.add_subcommand("serve", "Serve a company file as the online edition's HTTPS gateway");
  serve->add_option("FILE", file, "The company file (US edition)")->required();
  serve->add_option("--listen", args.listen, "The address and port to listen on (port 0: any free one)")
      ->check([](const std::string& v) {
        vtfc4::sandbox::GatewayOptions probe;
        return ReadListen(v, probe) ? "" : "not ADDR:PORT (an IPv6 address in brackets)";
      })
      ->capture_default_str();
  CLI::Option* cert = serve->add_option(
      "--cert", args.gateway.certFile, "The server's certificate, PEM (default: FILE.gateway.crt, made self-signed)");
  CLI::Option* key = serve->add_option("--key", args.gateway.keyFile, "The certificate's private key, PEM");
  cert->needs(key);
  key->needs(cert);
  serve->add_option("--session-minutes", args.gateway.sessionMinutes, "How long a session ticket lasts without use")
      ->check(CLI::Range(1, 60 * 24 * 366))
      ->capture_default_str();
  serve->add_option("--max-body", args.gateway.maxBody, "The largest request body taken, in bytes")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 31))
      ->capture_default_str();
  app.add_subcommand("subscribe", "Answer a subscription document from the store of subscriptions")
      ->add_option("DOCUMENT", args.document, "The subscription document (VTXMLSubscriptionMsgsRq), - for standard input")
      ->required();
  CLI::App* click = app.add_subcommand("click", "Choose the menu items of an event tag: their subscribers are told");
  click->add_option("FILE", file, "The company file open in the application")->required()->check(CLI::ExistingFile);
  click->add_option("TAG", args.tag, "The event tag of the menu items")->required();
  if (const std::optional<int> end = vtfc4::ParseCommandLine(app, argc, argv)) return Finish(*end);
  int status = 1;
  try {
    status = Run(app, args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vtfc4-sandbox: %s\n", e.what());
  }
  return Finish(status);
}
