// The state of one connection to the sandbox: its sessions, each on one company file, and the
// authentication preferences its client gave. The in-process component and the daemon behind
// the out-of-process one both keep one per connection; this class knows nothing of COM.
#ifndef VTFC4_PROCESSOR_COMPONENT_PROCESSOR_STATE_H
#define VTFC4_PROCESSOR_COMPONENT_PROCESSOR_STATE_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "processor/sandbox_engine.h"
#include "vtfc4/com.h"

namespace vtfc4::sandbox {

// Statuses of the processor's own failures.
inline constexpr HRESULT kNotConnected = static_cast<HRESULT>(0x80040401);
inline constexpr HRESULT kAlreadyConnected = static_cast<HRESULT>(0x80040402);
inline constexpr HRESULT kCannotOpenCompany = static_cast<HRESULT>(0x80040403);
inline constexpr HRESULT kUnknownTicket = static_cast<HRESULT>(0x80040404);
inline constexpr HRESULT kMalformedRequest = static_cast<HRESULT>(0x80040405);
inline constexpr HRESULT kCompanyFailure = static_cast<HRESULT>(0x80040406);
inline constexpr HRESULT kSubscriptionStoreFailure = static_cast<HRESULT>(0x80040407);

// A call's outcome: S_OK, or a failure status with the text of its error object.
struct Outcome {
  HRESULT status = S_OK;
  std::string error;
  static Outcome Failed(HRESULT status, std::string error) { return {status, std::move(error)}; }
};

// What a client's application asks of the accounting application (the values of the
// unattended-mode and personal-data enumerations). A session keeps those it began with.
struct Preferences {
  bool readOnly = false;
  int unattended = 2;    // optional
  int personalData = 2;  // optional
  bool operator==(const Preferences&) const = default;
};

class Deliverer;

class ProcessorState {
 public:
  ProcessorState() = default;
  // Its sessions end as EndSession ends them.
  ~ProcessorState();
  ProcessorState(const ProcessorState&) = delete;
  ProcessorState& operator=(const ProcessorState&) = delete;

  Outcome OpenConnection();
  Outcome CloseConnection();
  Outcome BeginSession(const std::string& file, std::string& ticket);
  Outcome EndSession(const std::string& ticket);
  Outcome CompanyFileName(const std::string& ticket, std::string& name);
  Outcome ProcessRequest(const std::string& ticket, const std::string& request, std::string& response);
  Outcome SessionVersions(const std::string& ticket, std::vector<std::string>& versions);
  // A subscription document: it needs no connection or session.
  static Outcome ProcessSubscription(const std::string& request, std::string& response);

  // The preferences: the gets answer for the session the ticket names.
  Outcome WasObeyed(const std::string& ticket, bool& obeyed);
  Outcome SessionPreferences(const std::string& ticket, Preferences& out);
  void ChangePreferences(void (*change)(Preferences&, int), int value);

 private:
  struct Session {
    std::unique_ptr<CompanyFile> file;
    Preferences preferences;  // as they were when the session began
    std::shared_ptr<Deliverer> deliverer;  // of the events its file raises
  };
  // A session's end: its company file's Close event queued, its deliverer let go.
  static void End(Session& session);
  Session* Find(const std::string& ticket);

  std::mutex mutex_;
  bool connected_ = false;
  std::map<std::string, Session> sessions_;
  Preferences preferences_;
};

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_COMPONENT_PROCESSOR_STATE_H
