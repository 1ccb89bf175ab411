// vtfc4-sandboxd: the out-of-process request processor VTXMLRP2e. It serves the calls of
// IRequestProcessorEx2 on a Unix-domain socket, one connection per client object, each with a
// processor state of its own; the library's proxy starts it on demand.
//
//   vtfc4-sandboxd --socket PATH [--idle-exit SECONDS] [--max-connections N] [--foreground]
//
// It serves its own user only, at most N connections at once (a connection beyond them is
// told so and closed), leaves when no client has been connected for the idle time (default
// 30 s) or on SIGTERM, SIGINT or SIGHUP, and at once when another daemon already serves the
// socket. It logs to syslog (to stderr with --foreground): start, stop and failures, and each
// client at debug level. No failure of one connection ends the daemon.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "processor/component/processor_state.h"
#include "processor/subscriptions.h"
#include "src/command_line.h"
#include "src/session/trusted_folder.h"
#include "src/session/wire.h"

namespace {

using vtfc4::sandbox::Outcome;
using vtfc4::sandbox::Preferences;
using vtfc4::sandbox::ProcessorState;
using vtfc4::wire::Message;
using vtfc4::wire::Result;

constexpr char kSource[] = "VTFC4Sandbox.RequestProcessor2e";
constexpr HRESULT kServerTooBusy = static_cast<HRESULT>(0x800706BB);  // RPC_S_SERVER_TOO_BUSY
// A client that stops in the middle of a frame, or stays silent, is dropped after this long.
constexpr std::chrono::minutes kFrameTimeout{10};
// After the process or the system ran out of descriptors, the listener rests this long before
// it accepts again (the pending connection stays queued; polling at once would only spin).
constexpr std::chrono::milliseconds kDescriptorPause{250};

std::atomic<int> gConnections{0};
std::atomic<long> gLastClient{0};
volatile sig_atomic_t gStop = 0;
bool gForeground = false;

// One line to syslog, or to stderr in the foreground.
[[gnu::format(printf, 2, 3)]] void Log(int priority, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (gForeground) {
    static const char* const kLevels[] = {"emerg", "alert", "crit", "error", "warning", "notice", "info", "debug"};
    std::fprintf(stderr, "vtfc4-sandboxd[%d]: %s: %s\n", static_cast<int>(getpid()), kLevels[priority & 7], line);
  } else {
    syslog(priority, "%s", line);
  }
}

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
  if (op == "ProcessSubscription") {
    Outcome o = ProcessorState::ProcessSubscription(Arg(call, 1), text);
    return Answer(o, {text});
  }
  if (op == "VTXMLVersionsForSession") {
    std::vector<std::string> versions;
    Outcome o = state.SessionVersions(Arg(call, 1), versions);
    return Answer(o, versions);
  }
  if (op == "VTXMLVersionsForSubscription") return Answer({}, vtfc4::sandbox::SubscriptionVersions());
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

const char* Why(Result r) {
  switch (r) {
    case Result::kTooLarge:
      return "refused a frame larger than the limit of 256 MiB";
    case Result::kMalformed:
      return "refused a malformed frame";
    case Result::kTimedOut:
      return "dropped a client silent for 10 minutes";
    case Result::kClosed:
      return "the client left";
    default:
      return "the connection failed";
  }
}

// One connection: the greeting, then call after call. Whatever fails here ends this
// connection only.
void Serve(int fd, long id) {
  try {
    ProcessorState state;
    Message call;
    Result r = vtfc4::wire::Send(fd, {"0", "", ""}, kFrameTimeout);
    while (r == Result::kDone) {
      r = vtfc4::wire::Receive(fd, call, kFrameTimeout);
      if (r == Result::kDone && call.empty()) r = Result::kMalformed;
      if (r == Result::kDone) r = vtfc4::wire::Send(fd, Dispatch(state, call), kFrameTimeout);
    }
    if (r == Result::kTooLarge || r == Result::kMalformed)
      Log(LOG_WARNING, "connection %ld: %s; connection closed", id, Why(r));
    else
      Log(LOG_DEBUG, "connection %ld: %s", id, Why(r));
  } catch (const std::exception& e) {
    Log(LOG_ERR, "connection %ld failed: %s; connection closed", id, e.what());
  } catch (...) {
    Log(LOG_ERR, "connection %ld failed; connection closed", id);
  }
  close(fd);
  gConnections.fetch_sub(1);
}

// A connection's thread, detached from its start. (Made with pthread_create, which reports a
// failure as a status, and which builds no object: a process short of descriptors cannot have
// its objects checked by a sanitizer, which needs a pipe to do so.)
struct Connection {
  int fd;
  long id;
};

void* ServeThread(void* argument) {
  const std::unique_ptr<Connection> connection(static_cast<Connection*>(argument));
  Serve(connection->fd, connection->id);
  return nullptr;
}

// A new connection: served by a thread of its own, unless it is another user's or there are
// already `limit` connections.
void Admit(int client, int limit) {
  uid_t uid = 0;
  if (!vtfc4::wire::PeerUser(client, uid) || uid != geteuid()) {
    Log(LOG_WARNING, "refused a connection of another user (uid %u): this daemon serves uid %u only",
        static_cast<unsigned>(uid), static_cast<unsigned>(geteuid()));
    close(client);
    return;
  }
  if (gConnections.load() >= limit) {
    Log(LOG_WARNING, "refused a connection: %d connections are being served, the limit", limit);
    // The socket's buffer is empty: the refusal goes out at once or not at all.
    vtfc4::wire::Send(client,
                      {std::to_string(kServerTooBusy),
                       "The out-of-process request processor serves its limit of " + std::to_string(limit) +
                           " connections; try again when a client has finished.",
                       kSource},
                      std::chrono::milliseconds(100));
    close(client);
    return;
  }
  const long id = gLastClient.fetch_add(1) + 1;
  ucred peer{};
  socklen_t size = sizeof peer;
  getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size);
  Log(LOG_DEBUG, "connection %ld: a client (pid %d) connected", id, static_cast<int>(peer.pid));
  gConnections.fetch_add(1);
  pthread_attr_t detached;
  pthread_t thread;
  auto* connection = new (std::nothrow) Connection{client, id};
  int failed = connection ? pthread_attr_init(&detached) : ENOMEM;
  if (!failed) {
    failed = pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    if (!failed) failed = pthread_create(&thread, &detached, ServeThread, connection);
    pthread_attr_destroy(&detached);
  }
  if (failed) {
    Log(LOG_ERR, "connection %ld: no thread to serve it (%s); connection closed", id, std::strerror(failed));
    delete connection;
    close(client);
    gConnections.fetch_sub(1);
  }
}

void OnSignal(int) { gStop = 1; }

// The exit status for a failure to serve the socket.
int CannotServe(const std::string& why) {
  Log(LOG_ERR, "%s", why.c_str());
  if (!gForeground) std::fprintf(stderr, "vtfc4-sandboxd: %s\n", why.c_str());
  return 1;
}

// True when a daemon answers on `address`: it takes connections, or its queue of them is full.
bool Served(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return false;
  const bool served = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                      errno == EAGAIN || errno == EINPROGRESS;
  close(probe);
  return served;
}

int Run(const std::string& path, int idle, int limit) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  // The folder must be this user's alone: nobody else can have put a socket there first.
  if (const vtfc4::FolderCheck check = vtfc4::CheckFolder(folder, vtfc4::FolderKind::kOwn); !check)
    return CannotServe("cannot serve " + path + ": " + check.why);

  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0) return CannotServe(std::string("no socket to be had: ") + std::strerror(errno));
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    // A socket file left behind by a daemon that is gone is taken over; a live one is not.
    if (errno != EADDRINUSE) return CannotServe("cannot bind " + path + ": " + std::strerror(errno));
    if (Served(address)) {
      Log(LOG_INFO, "another daemon serves %s; leaving", path.c_str());
      return 0;
    }
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      return CannotServe("cannot bind " + path + ": " + std::strerror(errno));
  }
  if (listen(listener, 64) != 0) return CannotServe("cannot listen on " + path + ": " + std::strerror(errno));
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
  Log(LOG_INFO, "serving %s (at most %d connections, leaving after %d s without clients)", path.c_str(), limit, idle);

  auto lastActive = std::chrono::steady_clock::now();
  bool exhausted = false;
  while (!gStop) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client >= 0) {
        exhausted = false;
        Admit(client, limit);
      } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        if (!exhausted) Log(LOG_ERR, "out of descriptors (%s); accepting again in a while", std::strerror(errno));
        exhausted = true;
        std::this_thread::sleep_for(kDescriptorPause);
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
  if (gStop)
    Log(LOG_INFO, "leaving on a signal (%d connections cut)", gConnections.load());
  else
    Log(LOG_INFO, "leaving after %d s without clients", idle);
  return 0;
}

// Standard output could not take what was written to it.
bool OutputFailed() { return std::fflush(stdout) != 0 || std::ferror(stdout); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("The sandbox's out-of-process request processor: serves VTXMLRP2e on a Unix-domain socket.",
               "vtfc4-sandboxd");
  std::string path;
  int idle = 30;
  int limit = 64;
  app.add_option("--socket", path, "The socket to serve")
      ->type_name("PATH")
      ->required()
      ->check([](const std::string& value) -> std::string {
        if (value.empty()) return "the socket path is empty";
        if (value.size() >= sizeof(sockaddr_un::sun_path))
          return "a socket path has at most " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes";
        return "";
      });
  app.add_option("--idle-exit", idle, "Leave after this many seconds without clients")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(1, 86400));
  app.add_option("--max-connections", limit, "Serve at most this many connections at once")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(1, 512));
  app.add_flag("--foreground", gForeground, "Log to standard error instead of syslog");
  app.set_version_flag("--version", VTFC4_VERSION);
  if (const std::optional<int> end = vtfc4::ParseCommandLine(app, argc, argv)) {
    if (OutputFailed()) {
      std::fprintf(stderr, "vtfc4-sandboxd: cannot write to standard output: %s\n", std::strerror(errno));
      return 1;
    }
    return *end;
  }
  if (!gForeground) openlog("vtfc4-sandboxd", LOG_PID, LOG_DAEMON);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int status = Run(path, idle, limit);
  if (!gForeground) closelog();
  // Connections still being served end with the process; nothing is torn down under them.
  std::fflush(stderr);
  std::_Exit(status);
}
