#include "processor/component/processor_state.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "processor/component/deliverer.h"
#include "processor/events.h"
#include "processor/subscriptions.h"

namespace vtfc4::sandbox {

namespace {
const char kUnknownTicketText[] = "The session ticket is not valid: begin a session first.";

// A new ticket: a random GUID in braces, from the kernel's random source. The client's
// message set identifiers hold the ticket's first 9 characters, so tickets must differ there.
bool NewTicket(std::string& ticket) {
  uint8_t b[16];
  for (size_t got = 0; got < sizeof b;) {
    const ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) got += static_cast<size_t>(n);
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // the standard variant
  char text[39];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  ticket = text;
  return true;
}
}  // namespace

ProcessorState::Session* ProcessorState::Find(const std::string& ticket) {
  const auto it = sessions_.find(ticket);
  return it == sessions_.end() ? nullptr : &it->second;
}

Outcome ProcessorState::OpenConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connected_) return Outcome::Failed(kAlreadyConnected, "A connection is already open.");
  connected_ = true;
  return {};
}

ProcessorState::~ProcessorState() { CloseConnection(); }

// The UI events of a company file opened or closed are the sandbox's own business: a store of
// subscriptions that cannot be read does not keep a session from beginning or ending.
static void QueueCompanyFileEventQuietly(CompanyFile& file, const char* operation) {
  try {
    QueueCompanyFileEvent(file, operation);
  } catch (const std::exception&) {
  }
}

void ProcessorState::End(Session& session) {
  QueueCompanyFileEventQuietly(*session.file, "Close");
  if (session.deliverer) session.deliverer->Wake();
  session.deliverer.reset();
  session.file.reset();
}

Outcome ProcessorState::CloseConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [ticket, session] : sessions_) End(session);
  sessions_.clear();
  connected_ = false;
  return {};
}

Outcome ProcessorState::BeginSession(const std::string& file, std::string& ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) return Outcome::Failed(kNotConnected, "OpenConnection has not been called.");
  std::string error;
  std::unique_ptr<CompanyFile> opened;
  try {
    opened = CompanyFile::Open(file, error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!opened) return Outcome::Failed(kCannotOpenCompany, "Could not open the company file: " + error);
  do {
    if (!NewTicket(ticket)) return Outcome::Failed(kCannotOpenCompany, "No session ticket could be made: the system gave no random bytes.");
  } while (sessions_.count(ticket));
  QueueCompanyFileEventQuietly(*opened, "Open");
  std::shared_ptr<Deliverer> deliverer = Deliverer::For(opened->Path());
  deliverer->Wake();
  sessions_[ticket] = Session{std::move(opened), preferences_, std::move(deliverer)};
  return {};
}

Outcome ProcessorState::EndSession(const std::string& ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  Session* session = Find(ticket);
  if (!session) return Outcome::Failed(kUnknownTicket, kUnknownTicketText);
  End(*session);
  sessions_.erase(ticket);
  return {};
}

Outcome ProcessorState::CompanyFileName(const std::string& ticket, std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  Session* session = Find(ticket);
  if (!session) return Outcome::Failed(kUnknownTicket, kUnknownTicketText);
  name = session->file->Path();
  return {};
}

Outcome ProcessorState::ProcessRequest(const std::string& ticket, const std::string& request,
                                       std::string& response) {
  std::lock_guard<std::mutex> lock(mutex_);
  Session* session = Find(ticket);
  if (!session) return Outcome::Failed(kUnknownTicket, kUnknownTicketText);
  try {
    Access access;
    access.readOnly = session->preferences.readOnly;
    response = sandbox::ProcessRequest(*session->file, request, access);
    if (session->deliverer) session->deliverer->Wake();
    return {};
  } catch (const MalformedRequest& e) {
    return Outcome::Failed(kMalformedRequest, std::string("The request could not be read: ") + e.what());
  } catch (const std::exception& e) {
    return Outcome::Failed(kCompanyFailure, std::string("The company file failed: ") + e.what());
  }
}

Outcome ProcessorState::ProcessSubscription(const std::string& request, std::string& response) {
  try {
    response = ProcessSubscriptionRequest(request);
    return {};
  } catch (const MalformedRequest& e) {
    return Outcome::Failed(kMalformedRequest, std::string("The subscription request could not be read: ") + e.what());
  } catch (const std::exception& e) {
    return Outcome::Failed(kSubscriptionStoreFailure, std::string("The subscriptions could not be served: ") + e.what());
  }
}

Outcome ProcessorState::SessionVersions(const std::string& ticket, std::vector<std::string>& versions) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Find(ticket)) return Outcome::Failed(kUnknownTicket, kUnknownTicketText);
  versions = SupportedVersions(Find(ticket)->file->Country());
  return {};
}

// The sandbox honours every preference it is given (a read-only session refuses changes; it
// never asks anyone anything, and keeps no personal data), so a session obeyed them exactly
// when they are still what it began with.
Outcome ProcessorState::WasObeyed(const std::string& ticket, bool& obeyed) {
  std::lock_guard<std::mutex> lock(mutex_);
  Session* session = Find(ticket);
  if (!session) return Outcome::Failed(kUnknownTicket, kUnknownTicketText);
  obeyed = session->preferences == preferences_;
  return {};
}

Outcome ProcessorState::SessionPreferences(const std::string& ticket, Preferences& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  Session* session = Find(ticket);
  if (!session) return Outcome::Failed(kUnknownTicket, kUnknownTicketText);
  out = session->preferences;
  return {};
}

void ProcessorState::ChangePreferences(void (*change)(Preferences&, int), int value) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(preferences_, value);
}

}  // namespace vtfc4::sandbox
