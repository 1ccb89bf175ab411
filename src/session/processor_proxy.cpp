#include "src/session/processor_proxy.h"

#include <fcntl.h>
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
#include "src/com/shell_folders.h"
#include "src/com/text.h"
#include "src/com/utf8.h"
#include "src/session/wire.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {

namespace {

// The call failed on the way: the daemon went away, stopped answering, or could not be reached.
constexpr HRESULT kDisconnected = VTFC4_HR(0x80010108);  // RPC_E_DISCONNECTED
constexpr HRESULT kServerUnavailable = VTFC4_HR(0x800706BA);  // RPC_S_SERVER_UNAVAILABLE
constexpr std::chrono::seconds kStartTimeout{10};

std::chrono::milliseconds CallTimeout() {
  const char* chosen = std::getenv("VTFC4_PROCESSOR_TIMEOUT_MS");
  const long ms = chosen ? std::atol(chosen) : 0;
  return std::chrono::milliseconds(ms > 0 ? ms : 120000);
}

int Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

// Starts the daemon detached from this process (its own session, reaped at once by the
// intermediate child), so that it outlives its first client.
bool StartServer(const std::string& server, const std::string& path) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    if (fork() == 0) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
      }
      execl(server.c_str(), server.c_str(), "--socket", path.c_str(), static_cast<char*>(nullptr));
    }
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

// Connects to the daemon, starting it when none answers; -1 when it cannot be reached.
int Reach(const std::string& server) {
  const std::string path = ProcessorSocketPath();
  int fd = Connect(path);
  if (fd >= 0) return fd;
  if (access(server.c_str(), X_OK) != 0 || !StartServer(server, path)) return -1;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if ((fd = Connect(path)) >= 0) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
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
    wire::Result r = wire::Send(fd_, call, timeout);
    wire::Message answer;
    if (r == wire::Result::kDone) r = wire::Receive(fd_, answer, timeout);
    if (r != wire::Result::kDone || answer.size() < 3) {
      close(fd_);
      fd_ = -1;
      const char* why = r == wire::Result::kTimedOut ? "did not answer in time"
                        : r == wire::Result::kTooLarge ? "was sent a call too large to carry"
                                                       : "stopped";
      return ReportErrorText(std::string("The out-of-process request processor ") + why + " during " + call.at(0) + ".",
                             kDisconnected);
    }
    const HRESULT status = static_cast<HRESULT>(std::strtol(answer[0].c_str(), nullptr, 10));
    if (FAILED(status)) return ReportErrorText(answer[1], status, answer[2].empty() ? nullptr : answer[2].c_str());
    results.assign(answer.begin() + 3, answer.end());
    return status;
  }

 private:
  std::mutex mutex_;
  int fd_;
};

// UTF-8 for the wire, whatever the thread's code page.
std::string Utf8(BSTR text) { return vtfc4::Utf8FromBstr(text); }
BSTR Wide(const std::string& text) { return vtfc4::BstrFromUtf8(text); }

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
    *out = vtfc4::BstrArrayFromUtf8(r);
    return *out ? hr : E_OUTOFMEMORY;
  }

  Channel* channel_;
};

}  // namespace

std::string ProcessorSocketPath() {
  if (const char* chosen = std::getenv("VTFC4_SANDBOX_SOCKET"); chosen && *chosen) return chosen;
  std::string folder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
    folder = std::string(runtime) + "/vtfc4";
  else
    folder = "/tmp/vtfc4-" + std::to_string(getuid());
  EnsureFolder(folder, 0700);
  return folder + "/sandbox.sock";
}

HRESULT CreateLocalServerObject(REFCLSID clsid, const std::string& server, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualGUID(clsid, CLSID_VTXMLRP2e)) return REGDB_E_CLASSNOTREG;
  const int fd = Reach(server);
  if (fd < 0) return kServerUnavailable;
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
