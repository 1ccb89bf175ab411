// Delivering events to their subscribers. Each process that has a company file open (the
// in-process processor in a client, the daemon) runs one deliverer per file: a thread that takes
// the events waiting in the file's outbox and hands each to its subscriber: it posts the event
// document to the subscriber's URL, or creates its callback class through the registry file and
// informs it. Two deliverers of one file never deliver an event twice: each claims what it
// delivers in a transaction first.
#ifndef VTFC4_PROCESSOR_COMPONENT_DELIVERER_H
#define VTFC4_PROCESSOR_COMPONENT_DELIVERER_H

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "processor/subscriptions.h"
#include "vtfc4/com.h"

namespace vtfc4::sandbox {

// How long a subscriber's web server has to take an event and answer, connecting included: a
// subscriber that is down or stuck holds its deliverer's round no longer.
inline constexpr std::chrono::milliseconds kPostTimeout{5000};

// Hands the document to the callback. By URL: posts it (Content-Type text/xml; charset=utf-8),
// taking no longer than `timeout`; an answer of status 2xx delivers it, whatever follows the
// status. By class: creates it (by ProgID, else by CLSID) and calls Inform with the document.
// S_OK, or the failure with its reason in `why`.
HRESULT DeliverEvent(const Callback& callback, const std::string& document, std::string& why,
                     std::chrono::milliseconds timeout = kPostTimeout);

class Deliverer {
 public:
  // The deliverer of the company file at `path` in this process: the one running, or a new one.
  static std::shared_ptr<Deliverer> For(const std::string& path);
  // Stops it, after a last round that delivers what is due (a company file's Close event).
  ~Deliverer();
  Deliverer(const Deliverer&) = delete;
  Deliverer& operator=(const Deliverer&) = delete;
  // Something was queued: look now rather than at the next round.
  void Wake();

 private:
  explicit Deliverer(std::string path);
  void Run();
  // One round over the events due; whether any was delivered or dropped. What is not tried by
  // `until` is handed back.
  bool Round(class CompanyFile& file, std::chrono::steady_clock::time_point until);

  std::string path_, holder_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false, woken_ = false;
  std::thread thread_;
};

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_COMPONENT_DELIVERER_H
