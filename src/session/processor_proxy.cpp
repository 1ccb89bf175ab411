#include "src/session/processor_proxy.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "src/com/error.h"
#include "src/com/object.h"
#include "src/com/text.h"
#include "src/session/trusted_folder.h"
#include "src/session/wire.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {

namespace {

using Clock = std::chrono::steady_clock;

// The call failed on the way: the daemon went away, stopped answering, or could not be reached.
constexpr HRESULT kDisconnected = VTFC4_HR(0x80010108);  // RPC_E_DISCONNECTED
constexpr HRESULT kServerUnavailable = VTFC4_HR(0x800706BA);  // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT kAccessDenied = VTFC4_HR(0x80070005);  // E_ACCESSDENIED
constexpr std::chrono::seconds kStartTimeout{10};

std::chrono::milliseconds CallTimeout() {
  const char* chosen = std::getenv("VTFC4_PROCESSOR_TIMEOUT_MS");
  const long ms = chosen ? std::atol(chosen) : 0;
  return std::chrono::milliseconds(ms > 0 ? ms : 120000);
}

HRESULT Unavailable(const std::string& why, HRESULT status = kServerUnavailable) {
  return ReportErrorText(why, status);
}

// How an attempt to connect ended: connected; nothing serves the socket; the daemon's queue of
// connections waiting to be accepted stayed full until the deadline; another failure.
enum class Reached { kConnected, kNobody, kBusy, kFailed };

// Connects without blocking, so that a daemon that takes no connections cannot hold the client
// past the deadline. The descriptor stays non-blocking: every later wait is a bounded poll.
Reached Connect(const std::string& path, Clock::time_point deadline, int& out, int& error) {
  out = -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return Reached::kFailed;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  for (;;) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      error = errno;
      return Reached::kFailed;
    }
    int made = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    error = made == 0 ? 0 : errno;
    if (made != 0 && error == EINPROGRESS && wire::detail::Wait(fd, POLLOUT, deadline) == wire::Result::kDone) {
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      made = error == 0 ? 0 : -1;
    }
    if (made == 0) {
      out = fd;
      return Reached::kConnected;
    }
    close(fd);
    if (error == ENOENT || error == ECONNREFUSED) return Reached::kNobody;
    if (error != EAGAIN && error != EINPROGRESS && error != EINTR) return Reached::kFailed;
    if (Clock::now() >= deadline) return Reached::kBusy;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Starts the daemon in a session of its own, with nothing of this process but its
// environment: no descriptor beyond the standard three (on /dev/null), no blocked or ignored
// signal. It outlives its first client; until that client ends, a thread of the client reaps
// it when it leaves, so that it never lingers as a zombie.
bool StartServer(const std::string& server, const std::string& path, std::string& why) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  const bool ready =
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, 0, 1) == 0 && posix_spawn_file_actions_adddup2(&actions, 0, 2) == 0 &&
      posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
      posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
      posix_spawnattr_setsigmask(&attributes, &none) == 0 && posix_spawnattr_setsigdefault(&attributes, &all) == 0;
  pid_t pid = 0;
  const char* argv[] = {server.c_str(), "--socket", path.c_str(), nullptr};
  const int failed = ready ? posix_spawn(&pid, server.c_str(), &actions, &attributes, const_cast<char* const*>(argv), environ)
                           : ENOMEM;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    why = "The out-of-process request processor " + server + " could not be started: " + std::strerror(failed) + ".";
    return false;
  }
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the daemon is reaped by whoever reaps this process's children.
  }
  return true;
}

// Connects to the daemon, starting it when none answers, and takes its greeting. A failure
// is reported with its own text; `fd` is then -1.
HRESULT Reach(const std::string& server, int& fd) {
  fd = -1;
  std::string path, why;
  if (!ProcessorSocketPath(path, why)) return Unavailable(why);
  const auto timeout = CallTimeout();
  int error = 0;
  Reached r = Connect(path, Clock::now() + timeout, fd, error);
  if (r == Reached::kNobody) {
    if (access(server.c_str(), X_OK) != 0)
      return Unavailable("The out-of-process request processor " + server + " cannot be started: " +
                         std::strerror(errno) + ".");
    if (!StartServer(server, path, why)) return Unavailable(why);
    const auto started = Clock::now() + kStartTimeout;
    while (r == Reached::kNobody && Clock::now() < started) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      r = Connect(path, Clock::now() + timeout, fd, error);
    }
  }
  if (r == Reached::kNobody)
    return Unavailable("The out-of-process request processor " + server + " did not start serving " + path + ".");
  if (r == Reached::kBusy)
    return Unavailable("The out-of-process request processor at " + path + " did not take the connection in time.");
  if (r == Reached::kFailed)
    return Unavailable("The out-of-process request processor at " + path + " cannot be reached: " +
                       std::strerror(error) + ".");
  // Only a daemon of this user hears this user's company files and requests.
  uid_t peer = 0;
  if (!wire::PeerUser(fd, peer) || peer != geteuid()) {
    close(fd);
    fd = -1;
    return Unavailable("The socket " + path + " is served by a process of another user (uid " + std::to_string(peer) +
                           "); the library does not talk to it.",
                       kAccessDenied);
  }
  wire::Message hello;
  const wire::Result greeted = wire::Receive(fd, hello, timeout);
  if (greeted != wire::Result::kDone || hello.size() < 3 || FAILED(std::strtol(hello[0].c_str(), nullptr, 10))) {
    close(fd);
    fd = -1;
    if (greeted == wire::Result::kDone && hello.size() >= 3)  // turned away, with the daemon's reason
      return ReportErrorText(hello[1], static_cast<HRESULT>(std::strtol(hello[0].c_str(), nullptr, 10)),
                             hello[2].empty() ? nullptr : hello[2].c_str());
    return Unavailable("The out-of-process request processor at " + path +
                       (greeted == wire::Result::kTimedOut ? " did not answer in time." : " did not greet the connection."));
  }
  return S_OK;
}

// What went wrong on the way of a call.
const char* Failure(wire::Result sent, wire::Result answered) {
  if (sent == wire::Result::kTooLarge) return "was sent a call too large to carry";
  const wire::Result r = sent != wire::Result::kDone ? sent : answered;
  switch (r) {
    case wire::Result::kTimedOut:
      return "did not answer in time";
    case wire::Result::kTooLarge:
      return "sent an answer larger than the library takes";
    case wire::Result::kMalformed:
    case wire::Result::kDone:  // an answer too short to hold a status
      return "sent an answer that could not be read";
    default:
      return "stopped";
  }
}

// One connection to the daemon, shared by a processor proxy and its preferences.
class Channel {
 public:
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel() {
    if (fd_ >= 0) close(fd_);
  }
  std::atomic<ULONG> refs{1};

  // Sends a call and takes its answer's results. The daemon's failure comes back with its own
  // description and source; a broken or silent connection with the proxy's.
  HRESULT Call(const wire::Message& call, wire::Message& results) {
    std::lock_guard<std::mutex> lock(mutex_);
    results.clear();
    if (fd_ < 0) return ReportErrorText("The out-of-process request processor is no longer connected.", kDisconnected);
    const auto timeout = CallTimeout();
    wire::Message answer;
    const wire::Result sent = wire::Send(fd_, call, timeout);
    const wire::Result answered = sent == wire::Result::kDone ? wire::Receive(fd_, answer, timeout) : sent;
    if (answered != wire::Result::kDone || answer.size() < 3) {
      close(fd_);
      fd_ = -1;
      return ReportErrorText(std::string("The out-of-process request processor ") + Failure(sent, answered) +
                                 " during " + call.at(0) + ".",
                             kDisconnected);
    }
    return TakeAnswer(answer, results);
  }

 private:
  std::mutex mutex_;
  int fd_;
};

}  // namespace

HRESULT TakeAnswer(const std::vector<std::string>& answer, std::vector<std::string>& results) {
  results.clear();
  if (answer.size() < 3) return E_UNEXPECTED;
  const HRESULT status = static_cast<HRESULT>(std::strtol(answer[0].c_str(), nullptr, 10));
  if (FAILED(status)) return ReportErrorText(answer[1], status, answer[2].empty() ? nullptr : answer[2].c_str());
  results.assign(answer.begin() + 3, answer.end());
  return status;
}

namespace {

// UTF-8 for the wire, whatever the thread's code page.
std::string Utf8(BSTR text) { return vtfc4::Utf8FromBstr(text); }
BSTR Wide(const std::string& text) {
  const std::u16string wide = vtfc4::WideFromUtf8(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}
// A new array of BSTR of UTF-8 texts; null when memory runs out.
SAFEARRAY* WideArray(const std::vector<std::string>& texts) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
  if (!array) return nullptr;
  for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
    BSTR v = Wide(texts[static_cast<size_t>(i)]);
    SafeArrayPutElement(array, &i, v);
    SysFreeString(v);
  }
  return array;
}

class Holder {
 public:
  explicit Holder(Channel* channel) : channel_(channel) { channel_->refs.fetch_add(1); }
  ~Holder() {
    if (channel_->refs.fetch_sub(1) == 1) delete channel_;
  }
  Channel& operator*() const { return *channel_; }
  Channel* operator->() const { return channel_; }

 private:
  Channel* channel_;
};

class PreferencesProxy final : public ComObject<IRequestProcessorExAuthPrefs> {
 public:
  explicit PreferencesProxy(Channel* channel) : channel_(channel) {}

  HRESULT WasAuthPreferencesObeyed(BSTR ticket, VARIANT_BOOL* out) override {
    if (!out) return E_POINTER;
    wire::Message r;
    const HRESULT hr = channel_->Call({"WasAuthPreferencesObeyed", Utf8(ticket)}, r);
    if (SUCCEEDED(hr)) *out = !r.empty() && r[0] == "1" ? VARIANT_TRUE : VARIANT_FALSE;
    return hr;
  }
  HRESULT GetIsReadOnly(BSTR ticket, VARIANT_BOOL* out) override {
    return Read(ticket, out, [](const wire::Message& r, VARIANT_BOOL* o) { *o = r[0] == "1" ? VARIANT_TRUE : VARIANT_FALSE; });
  }
  HRESULT GetUnattendedModePref(BSTR ticket, ENUnattendedModePrefType* out) override {
    return Read(ticket, out, [](const wire::Message& r, ENUnattendedModePrefType* o) {
      *o = static_cast<ENUnattendedModePrefType>(std::atoi(r[1].c_str()));
    });
  }
  HRESULT GetPersonalDataPref(BSTR ticket, ENPersonalDataPrefType* out) override {
    return Read(ticket, out, [](const wire::Message& r, ENPersonalDataPrefType* o) {
      *o = static_cast<ENPersonalDataPrefType>(std::atoi(r[2].c_str()));
    });
  }
  HRESULT PutIsReadOnly(VARIANT_BOOL value) override { return Put("PutIsReadOnly", value != VARIANT_FALSE); }
  HRESULT PutUnattendedModePref(ENUnattendedModePrefType value) override { return Put("PutUnattendedModePref", value); }
  HRESULT PutPersonalDataPref(ENPersonalDataPrefType value) override { return Put("PutPersonalDataPref", value); }

 private:
  template <class T, class Set>
  HRESULT Read(BSTR ticket, T* out, Set set) {
    if (!out) return E_POINTER;
    wire::Message r;
    const HRESULT hr = channel_->Call({"Preferences", Utf8(ticket)}, r);
    if (SUCCEEDED(hr) && r.size() == 3) set(r, out);
    return hr;
  }
  HRESULT Put(const char* op, int value) {
    wire::Message r;
    return channel_->Call({op, std::to_string(value)}, r);
  }

  Holder channel_;
};

class ProcessorProxy final : public ComObject<IRequestProcessorEx2> {
 public:
  explicit ProcessorProxy(int fd) : channel_(new Channel(fd)) {}
  ~ProcessorProxy() override {
    if (channel_->refs.fetch_sub(1) == 1) delete channel_;
  }

  HRESULT OpenConnection(BSTR appID, BSTR appName) override {
    return Plain({"OpenConnection", Utf8(appID), Utf8(appName)});
  }
  HRESULT ProcessRequest(BSTR ticket, BSTR request, BSTR* response) override {
    return Text({"ProcessRequest", Utf8(ticket), Utf8(request)}, response);
  }
  HRESULT CloseConnection() override { return Plain({"CloseConnection"}); }
  HRESULT BeginSession(BSTR fileName, ENOpenMode openMode, BSTR* ticket) override {
    return Text({"BeginSession", Utf8(fileName), std::to_string(openMode)}, ticket);
  }
  HRESULT EndSession(BSTR ticket) override { return Plain({"EndSession", Utf8(ticket)}); }
  HRESULT GetCurrentCompanyFileName(BSTR ticket, BSTR* fileName) override {
    return Text({"GetCurrentCompanyFileName", Utf8(ticket)}, fileName);
  }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT get_VTXMLVersionsForSession(BSTR ticket, SAFEARRAY** out) override {
    return Array({"VTXMLVersionsForSession", Utf8(ticket)}, out);
  }
  HRESULT get_ConnectionType(ENConnectionType* out) override {
    if (!out) return E_POINTER;
    *out = ctLocalVTD;
    return S_OK;
  }
  HRESULT ProcessSubscription(BSTR request, BSTR* response) override {
    return Text({"ProcessSubscription", Utf8(request)}, response);
  }
  HRESULT get_VTXMLVersionsForSubscription(SAFEARRAY** out) override {
    return Array({"VTXMLVersionsForSubscription"}, out);
  }
  HRESULT OpenConnection2(BSTR appID, BSTR appName, ENConnectionType type) override {
    return Plain({"OpenConnection", Utf8(appID), Utf8(appName), std::to_string(type)});
  }
  HRESULT get_AuthPreferences(IRequestProcessorExAuthPrefs** out) override {
    return HandOut(MakeObject<PreferencesProxy>(channel_), out);
  }

 private:
  HRESULT Plain(const wire::Message& call) {
    wire::Message r;
    return channel_->Call(call, r);
  }
  HRESULT Text(const wire::Message& call, BSTR* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    wire::Message r;
    const HRESULT hr = channel_->Call(call, r);
    if (FAILED(hr)) return hr;
    *out = Wide(r.empty() ? std::string() : r[0]);
    return *out ? hr : E_OUTOFMEMORY;
  }
  HRESULT Array(const wire::Message& call, SAFEARRAY** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    wire::Message r;
    const HRESULT hr = channel_->Call(call, r);
    if (FAILED(hr)) return hr;
    *out = WideArray(r);
    return *out ? hr : E_OUTOFMEMORY;
  }

  Channel* channel_;
};

}  // namespace

bool ProcessorSocketPath(std::string& path, std::string& error) {
  std::string folder;
  if (const char* chosen = std::getenv("VTFC4_SANDBOX_SOCKET"); chosen && *chosen) {
    path = chosen;
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  } else {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
      folder = std::string(runtime) + "/vtfc4";
    else
      folder = "/tmp/vtfc4-" + std::to_string(geteuid());
    path = folder + "/sandbox.sock";
  }
  const FolderCheck check = CheckFolder(folder, FolderKind::kOwn);
  error = check.why;
  return static_cast<bool>(check);
}

HRESULT CreateLocalServerObject(REFCLSID clsid, const std::string& server, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualGUID(clsid, CLSID_VTXMLRP2e)) return REGDB_E_CLASSNOTREG;
  int fd = -1;
  if (HRESULT hr = Reach(server, fd); FAILED(hr)) return hr;
  auto* proxy = MakeObject<ProcessorProxy>(fd);
  if (!proxy) {
    close(fd);
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = proxy->QueryRoot(riid, out);
  proxy->ReleaseRoot();
  return hr;
}

}  // namespace vtfc4
