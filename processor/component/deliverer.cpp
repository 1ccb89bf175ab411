#include "processor/component/deliverer.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

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

// What is read of a subscriber's answer to a POST: its start, kept for the reason of a failure,
// and no more than kAnswerRead in all (then the connection is closed), so that a subscriber
// answering without end holds no deliverer.
constexpr std::size_t kAnswerKept = 200;
constexpr std::size_t kAnswerRead = 64 * 1024;

struct PostAnswer {
  std::string start;
  std::size_t size = 0;
};

std::size_t TakeAnswer(char* data, std::size_t size, std::size_t count, void* user) {
  PostAnswer& answer = *static_cast<PostAnswer*>(user);
  const std::size_t n = size * count;
  answer.start.append(data, std::min(n, kAnswerKept - answer.start.size()));
  answer.size += n;
  return answer.size > kAnswerRead ? 0 : n;
}

// A subscriber's words on one line, as a reason is kept.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

HRESULT PostEvent(const std::string& url, const std::string& document, std::chrono::milliseconds timeout,
                  std::string& why) {
  static std::once_flag once;
  static CURLcode initialised = CURLE_FAILED_INIT;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (initialised != CURLE_OK) {
    why = "the HTTP client could not be set up (" + std::string(curl_easy_strerror(initialised)) + ")";
    return E_FAIL;
  }
  const std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  std::unique_ptr<curl_slist, ListDeleter> headers;
  // No "Expect: 100-continue": a subscriber that does not know it would hold every event a second.
  for (const char* header : {"Content-Type: text/xml; charset=utf-8", "Expect:"}) {
    curl_slist* more = curl_slist_append(headers.get(), header);
    if (!more) return E_OUTOFMEMORY;
    headers.release();
    headers.reset(more);
  }
  if (!curl) return E_OUTOFMEMORY;
  CURL* c = curl.get();
  char message[CURL_ERROR_SIZE] = "";
  PostAnswer answer;
  const long ms = std::max<long>(1, static_cast<long>(timeout.count()));
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  // A redirection is not followed: the subscriber named where its events go.
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  // The authorities the library's online client trusts, when it is told of others.
  if (const char* ca = std::getenv("VTFC4_CA_FILE"); ca && *ca) curl_easy_setopt(c, CURLOPT_CAINFO, ca);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "vtfc4-sandbox");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, document.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(document.size()));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ms);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, TakeAnswer);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);

  const CURLcode result = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  // The status is the subscriber's word: what follows it, too long or too slow, changes nothing.
  if (status >= 200 && status <= 299) return S_OK;
  if (result == CURLE_OUT_OF_MEMORY) return E_OUTOFMEMORY;
  if (status != 0) {
    const std::string said = OneLine(answer.start);
    why = "the subscriber's server answered " + std::to_string(status) + (said.empty() ? "" : ": " + said);
  } else {
    why = "the event could not be posted: " + std::string(*message ? message : curl_easy_strerror(result));
  }
  return E_FAIL;
}

}  // namespace

HRESULT DeliverEvent(const Callback& callback, const std::string& document, std::string& why,
                     std::chrono::milliseconds timeout) {
  if (!callback.url.empty()) return PostEvent(callback.url, document, timeout, why);
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

bool Deliverer::Round(CompanyFile& file, std::chrono::steady_clock::time_point until) {
  const std::int64_t claimed = NowMs();
  const std::vector<QueuedEvent> due = ClaimDueEvents(file, holder_, claimed);
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
    // Subscribers slow to answer may keep a round at it for long: what it has not tried when its
    // claims are about to lapse (or when a deliverer that stops has no time left) is handed back,
    // rather than left to another deliverer that would deliver it a second time.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (NowMs() - claimed > ClaimMs() - 2 * kPostTimeout.count() || left.count() <= 0) {
      ReleaseEvent(file, holder_, e.seq);
      continue;
    }
    std::string why;
    if (SUCCEEDED(DeliverEvent(s->second.callback, e.document, why, std::min(left, kPostTimeout))) ||
        !s->second.deliverAlways)
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
               Round(*file, end) && std::chrono::steady_clock::now() < end;) {
          }
          return;
        }
        // No end of its own: each delivery is bounded, and a long round by its claims.
        busy = Round(*file, std::chrono::steady_clock::now() + std::chrono::hours(1));
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
