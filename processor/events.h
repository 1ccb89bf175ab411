// Events raised by the sandbox and the outbox they wait in. A message set that commits changes
// to lists or transactions raises a data event for every data event subscription that asks for
// that kind and operation; a session that opens or closes a company file raises a UI event for
// the UI event subscriptions that ask for it. Each event is written to the company file's
// outbox in the same transaction as what raised it (so a rolled-back change raises nothing) and
// delivered from there by the process that made it, in order per subscriber; one that cannot be
// delivered stays, and is offered again later.
#ifndef VTFC4_PROCESSOR_EVENTS_H
#define VTFC4_PROCESSOR_EVENTS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vtfc4::sandbox {

class CompanyFile;

// A change a request made: a list record or a transaction of a kind, by an operation (the words
// of the list and transaction event operations: Add, Modify, Delete, Merge).
struct Change {
  bool txn = false;
  std::string kind, operation, id, refNumber;
};

// Queues, inside the caller's transaction, the data events the changes raise: one per change and
// subscription that asks for it, in the order of the changes.
void QueueDataEvents(CompanyFile& file, const std::vector<Change>& changes);
// Queues (in a transaction of its own) the UI events of the company file being opened or closed
// ("Open", "Close"); the number queued.
int QueueCompanyFileEvent(CompanyFile& file, std::string_view operation);

// The application's description of itself, as a HostInfo element.
std::string HostInfoElement(CompanyFile& file);
// The event of a UI extension's menu item chosen.
std::string UIExtensionEventDocument(CompanyFile& file, std::string_view eventTag);

// ---- Lost events.

// How long an event may fail delivery before it counts as lost, for a subscription that
// tracks lost events: VTFC4_SANDBOX_LOST_EVENT_SECONDS, else 5 minutes.
std::int64_t LostAfterMs();

// ---- The outbox, for the deliverers.

// An event waiting for its subscriber.
struct QueuedEvent {
  std::int64_t seq = 0;
  std::string subscriberId, type, document;
  int attempts = 0;
};

// Claims for `holder` the first waiting event of each subscriber whose time has come (and that
// no other deliverer holds): they are its to deliver for a minute. `nowMs` is the time in
// milliseconds since the epoch.
std::vector<QueuedEvent> ClaimDueEvents(CompanyFile& file, const std::string& holder, std::int64_t nowMs);
// A claimed event handed back untried, due again at once (a round that ran long).
void ReleaseEvent(CompanyFile& file, const std::string& holder, std::int64_t seq);
// How long a claim holds, in milliseconds.
std::int64_t ClaimMs();
// An event delivered, or given up (its subscription is gone, or it asked not to be kept).
void RemoveEvent(CompanyFile& file, const std::string& holder, std::int64_t seq);
// An event that could not be delivered: offered again after a pause that doubles with every
// failure, from 1 s up to 60 s. Its first failure is kept.
void PostponeEvent(CompanyFile& file, const std::string& holder, const QueuedEvent& event, std::int64_t nowMs,
                   const std::string& why);
// The pause after the n-th failed delivery, in milliseconds.
std::int64_t RetryPause(int failures);
// When the first event of some subscriber is next due (ms since the epoch; 0: now); -1 when the
// outbox is empty.
std::int64_t NextDue(CompanyFile& file);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_EVENTS_H
