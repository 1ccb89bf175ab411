#include "processor/component/deliverer.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>

#include "processor/component/utf8.h"
#include "processor/document.h"
#include "processor/events.h"
#include "processor/sandbox_engine.h"
#include "vtfc4/events.h"

namespace vtfc4::sandbox {
namespace {

// A deliverer that has nothing due looks again this often, for what other processes queued.
constexpr std::chrono::milliseconds kLook{250};
// How long the last round, when a deliverer stops, may go on delivering.
constexpr std::chrono::seconds kLastRound{2};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The deliverers of this process by company file. Never destroyed: a deliverer's thread may
// still be looking when the process ends.
struct Running {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<Deliverer>> byPath;
};
Running& Deliverers() {
  static Running* running = new Running;
  return *running;
}

std::string HexStatus(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// The description of the thread's error object, which is taken (and so cleared); "" when none.
std::string TakeErrorText() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return "";
  BSTR text = nullptr;
  info->GetDescription(&text);
  std::string description = text ? Utf8FromBstr(text) : "";
  SysFreeString(text);
  info->Release();
  return description;
}

}  // namespace

HRESULT DeliverEvent(const Callback& callback, const std::string& document, std::string& why) {
  CLSID clsid{};
  const std::string name = callback.progId.empty() ? callback.clsid : callback.progId;
  BSTR wide = BstrFromUtf8(name);
  if (!wide) return E_OUTOFMEMORY;
  HRESULT hr = callback.progId.empty() ? CLSIDFromString(wide, &clsid) : CLSIDFromProgID(wide, &clsid);
  SysFreeString(wide);
  if (FAILED(hr)) {
    why = "the class " + name + " is not registered (" + HexStatus(hr) + ")";
    return hr;
  }
  IVTEventCallback* target = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IVTEventCallback,
                        reinterpret_cast<void**>(&target));
  if (FAILED(hr) || !target) {
    const std::string detail = TakeErrorText();
    why = "the class " + name + " could not be created (" + HexStatus(hr) + (detail.empty() ? "" : ": " + detail) + ")";
    return FAILED(hr) ? hr : E_NOINTERFACE;
  }
  BSTR text = BstrFromUtf8(document);
  if (!text) {
    target->Release();
    return E_OUTOFMEMORY;
  }
  try {
    hr = target->Inform(text);
  } catch (...) {
    hr = E_UNEXPECTED;
  }
  SysFreeString(text);
  target->Release();
  if (FAILED(hr)) {
    const std::string detail = TakeErrorText();
    why = "Inform of " + name + " failed (" + HexStatus(hr) + (detail.empty() ? "" : ": " + detail) + ")";
  }
  return hr;
}

std::shared_ptr<Deliverer> Deliverer::For(const std::string& path) {
  std::error_code ec;
  std::string key = std::filesystem::weakly_canonical(path, ec).string();
  if (ec || key.empty()) key = path;
  Running& running = Deliverers();
  std::lock_guard<std::mutex> lock(running.mutex);
  if (std::shared_ptr<Deliverer> live = running.byPath[key].lock()) return live;
  std::shared_ptr<Deliverer> made(new Deliverer(key));
  running.byPath[key] = made;
  made->thread_ = std::thread([raw = made.get()] { raw->Run(); });
  return made;
}

Deliverer::Deliverer(std::string path) : path_(std::move(path)) {
  static std::atomic<unsigned> counter{0};
  holder_ = "process " + std::to_string(getpid()) + " deliverer " + std::to_string(counter.fetch_add(1) + 1);
}

Deliverer::~Deliverer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Deliverer::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

bool Deliverer::Round(CompanyFile& file) {
  const std::vector<QueuedEvent> due = ClaimDueEvents(file, holder_, NowMs());
  if (due.empty()) return false;
  std::map<std::string, Subscription> subscriptions;
  for (const char* type : {"Data", "UI"})
    for (Subscription& s : Subscriptions(type)) subscriptions.emplace(Fold(s.subscriberId) + " " + type, std::move(s));
  for (const QueuedEvent& e : due) {
    const auto s = subscriptions.find(Fold(e.subscriberId) + " " + e.type);
    // A subscription deleted since: its events go with it.
    if (s == subscriptions.end()) {
      RemoveEvent(file, holder_, e.seq);
      continue;
    }
    std::string why;
    if (SUCCEEDED(DeliverEvent(s->second.callback, e.document, why)) || !s->second.deliverAlways)
      RemoveEvent(file, holder_, e.seq);
    else
      PostponeEvent(file, holder_, e, NowMs(), why);
  }
  return true;
}

void Deliverer::Run() {
  std::unique_ptr<CompanyFile> file;
  for (;;) {
    bool stopping;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping = stop_;
      woken_ = false;
    }
    bool busy = false;
    try {
      std::string error;
      if (!file) file = CompanyFile::Open(path_, error);
      if (file) {
        if (stopping) {
          // The last round: what is due goes now, for a while.
          for (const auto end = std::chrono::steady_clock::now() + kLastRound;
               Round(*file) && std::chrono::steady_clock::now() < end;) {
          }
          return;
        }
        busy = Round(*file);
      }
    } catch (const std::exception&) {
      // The file is busy or gone for now: the events stay where they are, for the next round.
      file.reset();
    }
    if (stopping) return;
    if (busy) continue;
    std::chrono::milliseconds pause = kLook;
    try {
      if (file)
        if (const std::int64_t next = NextDue(*file); next >= 0)
          pause = std::clamp(std::chrono::milliseconds(next - NowMs()), std::chrono::milliseconds(20), kLook);
    } catch (const std::exception&) {
      file.reset();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, pause, [this] { return stop_ || woken_; });
  }
}

}  // namespace vtfc4::sandbox
