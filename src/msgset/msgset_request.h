// Internal: the message set request: the unit a client fills and sends. It writes itself as
// one vtXML request document (prolog, VTXML, the optional sign-on section, VTXMLMsgsRq with
// its attributes and one element per request), verifies itself into one report text, and is
// rebuilt from request text by parsing.
#ifndef VTFC4_SRC_MSGSET_MSGSET_REQUEST_H
#define VTFC4_SRC_MSGSET_MSGSET_REQUEST_H

#include <functional>
#include <string>
#include <vector>

#include "src/com/object.h"
#include "src/core/element.h"
#include "src/core/xml_builder.h"
#include "src/msgset/message_element.h"
#include "src/xml/sax.h"
#include "vtfc4/comptr.h"
#include "vtfc4/msgset.h"

namespace vtfc4 {

// What the message set needs of the online session manager: the sign-on section, written
// into the document or only verified. 0x80040307 means the sign-on data did not verify and
// the reasons were appended to `errors`.
class SignonWriter {
 public:
  virtual HRESULT BuildSignonMsgs(XMLBuilderInterface& builder, std::string& errors,
                                  bool verifyOnly) = 0;

 protected:
  ~SignonWriter() = default;
};

// The online session a set is attached to: the reference that keeps it, its writer face, and
// its parse face for the sign-on section of documents read on its behalf.
struct OnlineSignon {
  ComPtr<IUnknown> owner;
  SignonWriter* writer = nullptr;
  SignonTarget* signon = nullptr;
  explicit operator bool() const { return writer != nullptr; }
};

// "US" gives country code 0 and "CA" 2 (a null country counts as "US"); anything else reports
// message 655 and returns 0x80040312.
HRESULT ValidateCountry(BSTR country, int32_t* code, const char* source = nullptr);
// The supported versions: US 1.0, 1.1, 2.0, 2.1, 3.0, 4.0; CA 2.0 and 3.0. Others report
// message 631 (0x8004030A); a country code other than US or CA reports 655 (0x80040312).
HRESULT ValidateVersion(int32_t country, int16_t major, int16_t minor, const char* source = nullptr);

class CAttributesRqSet final : public ComObject<IAttributesRqSet> {
 public:
  explicit CAttributesRqSet(VersionContextPtr context) : context_(std::move(context)) {}
  ~CAttributesRqSet() override;

  HRESULT get_OnError(ENRqOnError* out) override;
  HRESULT put_OnError(ENRqOnError value) override;
  HRESULT put_OldMessageSetID(BSTR value) override;
  HRESULT get_OldMessageSetID(BSTR* out) override;
  HRESULT put_NewMessageSetID(BSTR value) override;
  HRESULT get_NewMessageSetID(BSTR* out) override;
  HRESULT put_ResponseData(ENRqResponseData value) override;
  HRESULT get_ResponseData(ENRqResponseData* out) override;

  bool OnErrorSet() const { return onErrorSet_; }
  // Writes the attributes of VTXMLMsgsRq; `force` writes onError even when it is not set.
  void WriteAttributes(XMLBuilderInterface& builder, bool force) const;
  // Back to a fresh attribute set (onError and responseData unset, both identifiers null).
  void Reset();

 private:
  int32_t onError_ = 0;
  bool onErrorSet_ = false;
  BSTR oldMessageSetID_ = nullptr;
  BSTR newMessageSetID_ = nullptr;
  int32_t responseData_ = 0;
  bool responseDataSet_ = false;
  VersionContextPtr context_;
};

// One request: its element (CustomerAddRq), number and detail object.
class CRequest final : public ComObject<IRequest>, public SAXParseable, public XMLBuildable {
 public:
  CRequest(int tag, std::string elementName, VersionContextPtr context)
      : elementName_(std::move(elementName)), element_(tag, std::move(context), "Request") {}

  HRESULT get_RequestID(LONG* out) override;
  HRESULT get_Detail(IVTBase** out) override;
  HRESULT get_Type(IRequestType** out) override;

  // XMLRequest: the request element with its requestID, then the detail.
  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override { return true; }
  bool Verify(bool required, std::string& errors) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}

  SAXParseable* AsParseable() override { return this; }
  XMLBuildable* AsBuildable() override { return this; }

  void SetDetail(ObjectRoot* detail) { element_.SetDetail(detail); }
  int32_t RequestID() const { return requestID_; }
  void SetRequestID(int32_t id) { requestID_ = id; }
  const std::string& ElementName() const { return elementName_; }

 private:
  int32_t requestID_ = -1;
  std::string elementName_;
  MessageElement<IRequestType> element_;
};

// The requests' part of a set's report: each request (`at(i)`, a CRequest*) verified as
// required; with more than one request, a failing one is named first ("Request[1]:
// CustomerAddRq"). False when one failed.
template <class At>
bool VerifyRequests(size_t count, At at, std::string& report) {
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    CRequest* request = at(i);
    std::string text;
    if (request->Verify(true, text)) continue;
    if (count > 1) report += Format("Request[%d]: %s\r\n", static_cast<int>(i), request->ElementName().c_str());
    report += text;
    ok = false;
  }
  return ok;
}

class CRequestList final : public ComObject<IRequestList>, public SAXParseable {
 public:
  explicit CRequestList(VersionContextPtr context) : context_(std::move(context)) {}

  HRESULT get_Count(LONG* out) override;
  HRESULT GetAt(LONG index, IRequest** out) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int, const std::string*) override {}
  void HandleAttribute(int, const std::string*) override {}
  void HandleEndAggregate(int tag) override;

  // Numbers a request that has no number yet (the count of requests before it) and keeps it.
  void AddRequest(CRequest* request);
  void Clear() { requests_.clear(); }
  size_t Count() const { return requests_.size(); }
  CRequest* At(size_t i) const { return requests_[i].Get(); }

 private:
  std::vector<ComPtr<CRequest>> requests_;
  ComPtr<CRequest> pending_;
  VersionContextPtr context_;
};

class CMsgSetRequest final : public ComObject<IMsgSetRequest, ISupportErrorInfo>,
                             public SAXParseable {
 public:
  CMsgSetRequest() : context_(std::make_shared<VersionContext>()) {}

  HRESULT get_Attributes(IAttributesRqSet** out) override;
  HRESULT ClearRequests() override;
  HRESULT ToXMLString(BSTR* out) override;
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override;
  HRESULT get_RequestList(IRequestList** out) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int tag) override;
  SAXParseable* AsParseable() override { return this; }

  // Set by the creator right after construction.
  void Init(int16_t major, int16_t minor, int32_t country);
  void AttachOnline(OnlineSignon online) { online_ = std::move(online); }
  const VersionContextPtr& Context() const { return context_; }

  // Appends a request for element `requestTag` whose detail `detail` (a request object made
  // with this set's context) the caller has created; the set keeps it.
  HRESULT AppendRequest(int requestTag, ObjectRoot* detail);

  // The request catalogue: one Append<Name>Rq per request kind.
#include "vtfc4/gen/msgset_appends.inc"

  // 0 when request kind `kind` exists in the set's version and country, else 0x8004030B.
  HRESULT CheckRequestSupported(size_t kind) const;

  // Writes the document and hands its text to `use`, which must not keep it past the call;
  // what `use` returns, or E_OUTOFMEMORY and the sign-on writer's failures.
  HRESULT WriteDocument(const std::function<HRESULT(std::string_view)>& use);

 private:
  CRequestList* List();
  CAttributesRqSet* Attributes();
  // Gate, detail object, request: what every Append<Name>Rq does.
  HRESULT AppendKind(size_t kind, REFIID iid, void** out);
  template <class I>
  HRESULT Append(size_t kind, I** out) {
    return AppendKind(kind, iid_of<I>(), reinterpret_cast<void**>(out));
  }

  ComPtr<CRequestList> list_;
  ComPtr<CAttributesRqSet> attributes_;
  VersionContextPtr context_;
  OnlineSignon online_;
};

// Rebuilds a request set from request text (ToMsgSetRequest, error recovery). On a parse
// failure the parser's error text (or "Response parsing error.") becomes the error
// description and 0x80040301 is returned.
HRESULT ParseMsgSetRequest(std::string_view text, int32_t country, int16_t major, int16_t minor,
                           OnlineSignon online, IMsgSetRequest** out);

}  // namespace vtfc4

#endif  // VTFC4_SRC_MSGSET_MSGSET_REQUEST_H
