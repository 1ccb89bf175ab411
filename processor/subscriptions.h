// Event subscriptions: the applications that asked to be told of changes to lists and
// transactions (data events), of a company file being opened or closed (UI events), or of the
// choice of a menu item they added (UI extension events). A subscription needs no connection or
// session and holds for every company file the sandbox opens, so it lives in the sandbox's own
// store rather than in a company file, and outlives the processes that serve it.
#ifndef VTFC4_PROCESSOR_SUBSCRIPTIONS_H
#define VTFC4_PROCESSOR_SUBSCRIPTIONS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vtfc4::sandbox {

// The store of subscriptions: the file VTFC4_SANDBOX_SUBSCRIPTIONS names, else
// $XDG_DATA_HOME/vtfc4-sandbox/subscriptions.db, else ~/.local/share/vtfc4-sandbox/subscriptions.db.
// Throws std::runtime_error when no such place can be named.
std::string SubscriptionStorePath();

// Answers a subscription document (VTXMLSubscriptionMsgsRq, vtXML 3.0 or 4.0) with the complete
// response document (VTXMLSubscriptionMsgsRs). Every request is answered on its own: a refused
// one changes nothing and does not stop the others. Throws MalformedRequest for a document that
// cannot be answered at all, std::runtime_error when the store fails.
std::string ProcessSubscriptionRequest(std::string_view document);

// Where a subscriber's events go: the program named in its COMCallbackInfo (by ProgID or
// CLSID), or the web address of its HTTPCallbackInfo the events are posted to.
struct Callback {
  std::string appName;
  std::string progId;  // one of these three
  std::string clsid;
  std::string url;     // http:// or https://
};

// Why `url` cannot take events (not http:// or https://, no host, a bad port, spaces or
// control characters, too long); "" when it can.
std::string UrlFault(std::string_view url);

// One stored subscription of any type ("Data", "UI", "UIExtension"): its subscriber, its
// callback and the Add element the client sent, as XML.
struct Subscription {
  std::string subscriberId;
  std::string type;
  Callback callback;
  bool deliverAlways = true;  // DeliveryPolicy DeliverAlways (else DeliverOnlyIfRunning)
  bool trackLost = true;      // TrackLostEvents All (else None)
  std::string fields;
};

// The stored subscriptions of a type, oldest first.
std::vector<Subscription> Subscriptions(std::string_view type);

// Whether a subscription's entries (ListEventSubscription or TxnEventSubscription, read through
// `entry`, `typeElement` and `operationElement`) name both this type and this operation.
bool Subscribes(const Subscription& s, std::string_view entry, std::string_view typeElement,
                std::string_view operationElement, std::string_view type, std::string_view operation);

// The event tags of a UI extension subscription's menu items (its item, or its submenu's).
std::vector<std::string> EventTags(const Subscription& s);

// The vtXML versions of subscription documents: those from 3.0 of the versions served.
std::vector<std::string> SubscriptionVersions();

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_SUBSCRIPTIONS_H
