// vtfc4-sandboxd: the out-of-process request processor VTXMLRP2e. It serves the calls of
// IRequestProcessorEx2 on a Unix-domain socket, one connection per client object, each with a
// processor state of its own; the library's proxy starts it on demand.
//
//   vtfc4-sandboxd --socket PATH [--idle-exit SECONDS]
//
// It leaves when no client has been connected for the idle time (default 30 s), and at once
// when another daemon already serves the socket.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "processor/component/processor_state.h"
#include "src/session/wire.h"

namespace {

using vtfc4::sandbox::Outcome;
using vtfc4::sandbox::Preferences;
using vtfc4::sandbox::ProcessorState;
using vtfc4::wire::Message;

constexpr char kSource[] = "VTFC4Sandbox.RequestProcessor2e";
// A client that stops in the middle of a frame is dropped after this long.
constexpr std::chrono::minutes kFrameTimeout{10};

std::atomic<int> gConnections{0};

Message Answer(const Outcome& o, Message results = {}) {
  Message m{std::to_string(o.status), o.error, FAILED(o.status) ? kSource : ""};
  if (SUCCEEDED(o.status)) m.insert(m.end(), results.begin(), results.end());
  return m;
}

std::string Arg(const Message& call, size_t i) { return i < call.size() ? call[i] : std::string(); }

// One call: the operation's name and its texts, answered with the processor's outcome.
Message Dispatch(ProcessorState& state, const Message& call) {
  const std::string& op = call.at(0);
  std::string text;
  if (op == "OpenConnection") return Answer(state.OpenConnection());
  if (op == "CloseConnection") return Answer(state.CloseConnection());
  if (op == "BeginSession") {
    Outcome o = state.BeginSession(Arg(call, 1), text);
    return Answer(o, {text});
  }
  if (op == "EndSession") return Answer(state.EndSession(Arg(call, 1)));
  if (op == "GetCurrentCompanyFileName") {
    Outcome o = state.CompanyFileName(Arg(call, 1), text);
    return Answer(o, {text});
  }
  if (op == "ProcessRequest") {
    Outcome o = state.ProcessRequest(Arg(call, 1), Arg(call, 2), text);
    return Answer(o, {text});
  }
  if (op == "VTXMLVersionsForSession") {
    std::vector<std::string> versions;
    Outcome o = state.SessionVersions(Arg(call, 1), versions);
    return Answer(o, versions);
  }
  if (op == "VTXMLVersionsForSubscription") return Answer({}, vtfc4::sandbox::SupportedVersions());
  if (op == "WasAuthPreferencesObeyed") {
    bool obeyed = false;
    Outcome o = state.WasObeyed(Arg(call, 1), obeyed);
    return Answer(o, {obeyed ? "1" : "0"});
  }
  if (op == "Preferences") {
    Preferences p;
    Outcome o = state.SessionPreferences(Arg(call, 1), p);
    return Answer(o, {p.readOnly ? "1" : "0", std::to_string(p.unattended), std::to_string(p.personalData)});
  }
  const int value = std::atoi(Arg(call, 1).c_str());
  if (op == "PutIsReadOnly") {
    state.ChangePreferences([](Preferences& p, int v) { p.readOnly = v != 0; }, value);
    return Answer({});
  }
  if (op == "PutUnattendedModePref") {
    state.ChangePreferences([](Preferences& p, int v) { p.unattended = v; }, value);
    return Answer({});
  }
  if (op == "PutPersonalDataPref") {
    state.ChangePreferences([](Preferences& p, int v) { p.personalData = v; }, value);
    return Answer({});
  }
  return Answer(Outcome::Failed(E_NOTIMPL, "The sandbox does not serve " + op + "."));
}

void Serve(int fd) {
  ProcessorState state;
  Message call;
  while (vtfc4::wire::Receive(fd, call, kFrameTimeout) == vtfc4::wire::Result::kDone && !call.empty()) {
    if (vtfc4::wire::Send(fd, Dispatch(state, call), kFrameTimeout) != vtfc4::wire::Result::kDone) break;
  }
  close(fd);
  gConnections.fetch_sub(1);
}

int Usage() {
  std::fprintf(stderr, "usage: vtfc4-sandboxd --socket PATH [--idle-exit SECONDS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  int idle = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--socket") == 0)
      path = argv[i + 1];
    else if (std::strcmp(argv[i], "--idle-exit") == 0)
      idle = std::atoi(argv[i + 1]);
    else
      return Usage();
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return Usage();
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  signal(SIGPIPE, SIG_IGN);

  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return 1;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    // A socket file left behind by a daemon that is gone is taken over; a live one is not.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool served = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (served || errno != ECONNREFUSED) return 0;
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
  }
  if (listen(listener, 64) != 0) return 1;
  chmod(path.c_str(), 0600);
  // The socket file as this daemon made it: another daemon may take the path over later (when
  // two start at once), and then its file is not this one's to remove.
  struct stat made {};
  stat(path.c_str(), &made);
  const auto ours = [&path, &made] {
    struct stat now {};
    return stat(path.c_str(), &now) == 0 && now.st_ino == made.st_ino && now.st_dev == made.st_dev;
  };
  // Its pid beside the socket, for whoever has to stop it.
  if (FILE* pid = std::fopen((path + ".pid").c_str(), "w")) {
    std::fprintf(pid, "%d\n", static_cast<int>(getpid()));
    std::fclose(pid);
  }

  auto lastActive = std::chrono::steady_clock::now();
  for (;;) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        gConnections.fetch_add(1);
        std::thread(Serve, client).detach();
      }
    }
    if (gConnections.load() > 0) lastActive = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::now() - lastActive > std::chrono::seconds(idle)) break;
  }
  if (ours()) {
    unlink(path.c_str());
    unlink((path + ".pid").c_str());
  }
  close(listener);
  return 0;
}
