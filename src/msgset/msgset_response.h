// Internal: the message set response, only ever built by parsing an answer document: its
// attributes, one response per answered request (keyed by requestID) and each response's
// detail object, made by the detail factory.
#ifndef VTFC4_SRC_MSGSET_MSGSET_RESPONSE_H
#define VTFC4_SRC_MSGSET_MSGSET_RESPONSE_H

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "src/com/object.h"
#include "src/core/element.h"
#include "src/core/large_block.h"
#include "src/msgset/message_element.h"
#include "src/xml/sax.h"
#include "vtfc4/comptr.h"
#include "vtfc4/msgset.h"

namespace vtfc4 {

class CAttributesRsSet final : public ComObject<IAttributesRsSet> {
 public:
  ~CAttributesRsSet() override;
  HRESULT get_NewMessageSetID(BSTR* out) override;
  HRESULT get_MessageSetStatusCode(BSTR* out) override;
  void SetNewMessageSetID(std::string_view text);
  void SetMessageSetStatusCode(std::string_view text);

 private:
  BSTR newMessageSetID_ = nullptr;
  BSTR messageSetStatusCode_ = nullptr;
};

class CResponse final : public ComObject<IResponse>, public SAXParseable {
 public:
  CResponse(int tag, VersionContextPtr context) : element_(tag, std::move(context), "Response") {}

  HRESULT get_StatusCode(LONG* out) override;
  HRESULT get_StatusSeverity(BSTR* out) override;
  HRESULT get_StatusMessage(BSTR* out) override;
  HRESULT get_Detail(IVTBase** out) override;
  HRESULT get_Type(IResponseType** out) override;
  HRESULT get_retCount(LONG* out) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}

  int32_t RequestID() const { return requestID_; }

 private:
  int32_t requestID_ = -1;
  std::string retCount_;
  std::string statusCode_;
  std::string statusSeverity_;
  std::string statusMessage_;
  MessageElement<IResponseType> element_;
};

// Responses in ascending order of requestID. GetAt(i) gives the i-th of them: for answers to
// requests numbered 0, 1, 2... that is the response to request i.
class CResponseList final : public ComObject<IResponseList>, public SAXParseable {
 public:
  explicit CResponseList(VersionContextPtr context) : context_(std::move(context)) {}

  HRESULT get_Count(LONG* out) override;
  HRESULT GetAt(LONG index, IResponse** out) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int, const std::string*) override {}
  void HandleAttribute(int, const std::string*) override {}
  void HandleEndAggregate(int tag) override;

 private:
  // Puts the responses in requestID order once, after parsing: reading them is then a plain
  // index, however many an answer holds.
  void Order();

  std::vector<std::pair<int32_t, ComPtr<CResponse>>> responses_;  // (requestID, response)
  std::unordered_set<int32_t> keys_;  // the requestIDs taken, while parsing
  bool ordered_ = true;
  ComPtr<CResponse> pending_;
  VersionContextPtr context_;
};

class CMsgSetResponse final : public ComObject<IMsgSetResponse>, public SAXParseable {
 public:
  CMsgSetResponse() : context_(std::make_shared<VersionContext>()) {}

  HRESULT get_Attributes(IAttributesRsSet** out) override;
  HRESULT get_ResponseList(IResponseList** out) override;
  HRESULT ToXMLString(BSTR* out) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int tag) override;
  SAXParseable* AsParseable() override { return this; }

  void Init(std::string_view text, int16_t major, int16_t minor, int32_t country);
  std::string_view Text() const { return text_.View(); }

 private:
  ComPtr<CResponseList> list_;
  ComPtr<CAttributesRsSet> attributes_;
  // The exact text of the answer, which large answers make large.
  TextBlock text_;
  VersionContextPtr context_;
};

// Parses an answer document. No text gives a null set and S_OK. A parse failure makes the
// parser's text (or "Response parsing error.") the error description and returns 0x80040301.
HRESULT ParseMsgSetResponse(std::string_view text, int32_t country, int16_t major, int16_t minor,
                            SignonTarget* online, IMsgSetResponse** out);

}  // namespace vtfc4

#endif  // VTFC4_SRC_MSGSET_MSGSET_RESPONSE_H
