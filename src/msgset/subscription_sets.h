// Internal: the sets of event subscriptions and of events. A subscription set is a lighter
// message set (no attributes, no error policy, no request list object) written as its own
// document, VTXMLSubscriptionMsgsRq; its answer is read like an ordinary answer, but only the
// subscription answers have details there. An events set is an event document the application
// delivered, read into one OREvent choice.
#ifndef VTFC4_SRC_MSGSET_SUBSCRIPTION_SETS_H
#define VTFC4_SRC_MSGSET_SUBSCRIPTION_SETS_H

#include <string>
#include <string_view>
#include <vector>

#include "src/com/object.h"
#include "src/core/large_block.h"
#include "src/msgset/msgset_request.h"
#include "src/msgset/msgset_response.h"
#include "vtfc4/msgset.h"

namespace vtfc4 {

class CSubscriptionMsgSetRequest final : public ComObject<ISubscriptionMsgSetRequest, ISupportErrorInfo> {
 public:
  CSubscriptionMsgSetRequest();

  HRESULT ClearRequests() override;
  HRESULT ToXMLString(BSTR* out) override;
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override;
  HRESULT AppendUIEventSubscriptionQueryRq(IUIEventSubscriptionQuery** out) override { return Append(0, out); }
  HRESULT AppendUIExtensionSubscriptionQueryRq(IUIExtensionSubscriptionQuery** out) override {
    return Append(1, out);
  }
  HRESULT AppendDataEventSubscriptionQueryRq(IDataEventSubscriptionQuery** out) override { return Append(2, out); }
  HRESULT AppendUIExtensionSubscriptionAddRq(IUIExtensionSubscriptionAdd** out) override { return Append(3, out); }
  HRESULT AppendUIEventSubscriptionAddRq(IUIEventSubscriptionAdd** out) override { return Append(4, out); }
  HRESULT AppendDataEventSubscriptionAddRq(IDataEventSubscriptionAdd** out) override { return Append(5, out); }
  HRESULT AppendSubscriptionDelRq(ISubscriptionDel** out) override { return Append(6, out); }

  // Set by the session manager right after creation.
  void Init(int16_t major, int16_t minor);
  size_t Count() const { return requests_.size(); }

 private:
  template <class I>
  HRESULT Append(size_t kind, I** out) {
    return AppendKind(kind, iid_of<I>(), reinterpret_cast<void**>(out));
  }
  HRESULT AppendKind(size_t kind, REFIID iid, void** out);

  std::vector<ComPtr<CRequest>> requests_;
  VersionContextPtr context_;
};

// What a set read from a document keeps: the exact text, and the version context its objects
// share.
class ReadDocument {
 public:
  void Init(std::string_view text, int16_t major, int16_t minor);
  std::string_view Text() const { return text_.View(); }

 protected:
  explicit ReadDocument(int32_t setKind);
  // The text as a client gets it: a null BSTR when there was none.
  HRESULT TextCom(BSTR* out) const;

  TextBlock text_;
  VersionContextPtr context_;
};

class CSubscriptionMsgSetResponse final : public ComObject<ISubscriptionMsgSetResponse>,
                                          public SAXParseable,
                                          public ReadDocument {
 public:
  CSubscriptionMsgSetResponse() : ReadDocument(kSetSubscription) {}

  HRESULT get_ResponseList(IResponseList** out) override;
  HRESULT ToXMLString(BSTR* out) override { return TextCom(out); }

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int tag) override;

 private:
  ComPtr<CResponseList> list_;
};

class CEventsMsgSet final : public ComObject<IEventsMsgSet>, public SAXParseable, public ReadDocument {
 public:
  CEventsMsgSet() : ReadDocument(kSetEvents) {}

  HRESULT get_OREvent(IOREvent** out) override;
  HRESULT ToXMLString(BSTR* out) override { return TextCom(out); }

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int tag) override;

 private:
  RootRef event_;
};

// Read an answer to a subscription set, or an event document, made in vtXML (major, minor).
// No text gives a null set and S_OK; a parse failure makes the parser's text (or "Response
// parsing error.") the error description and returns 0x80040301.
HRESULT ParseSubscriptionMsgSetResponse(std::string_view text, int16_t major, int16_t minor,
                                        ISubscriptionMsgSetResponse** out);
HRESULT ParseEventsMsgSet(std::string_view text, int16_t major, int16_t minor, IEventsMsgSet** out);

}  // namespace vtfc4

#endif  // VTFC4_SRC_MSGSET_SUBSCRIPTION_SETS_H
