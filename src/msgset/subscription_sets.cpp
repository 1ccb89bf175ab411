#include "src/msgset/subscription_sets.h"

#include <memory>
#include <new>

#include "src/catalogue/engine.h"
#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/xml_builder.h"
#include "src/xml/sax.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {
namespace {

// The seven subscription requests, in the order of the Append methods.
struct SubscriptionKind {
  int tag;             // the request element
  const char* detail;  // its detail class
};
const SubscriptionKind kSubscriptionKinds[] = {
    {tag::UIEventSubscriptionQueryRq, "UIEventSubscriptionQuery"},
    {tag::UIExtensionSubscriptionQueryRq, "UIExtensionSubscriptionQuery"},
    {tag::DataEventSubscriptionQueryRq, "DataEventSubscriptionQuery"},
    {tag::UIExtensionSubscriptionAddRq, "UIExtensionSubscriptionAdd"},
    {tag::UIEventSubscriptionAddRq, "UIEventSubscriptionAdd"},
    {tag::DataEventSubscriptionAddRq, "DataEventSubscriptionAdd"},
    {tag::SubscriptionDelRq, "SubscriptionDel"},
};

VersionContextPtr NewContext(int16_t major, int16_t minor, int32_t setKind) {
  auto context = std::make_shared<VersionContext>();
  context->major = major;
  context->minor = minor;
  context->country = kCountryUS;
  context->setKind = setKind;
  return context;
}

[[noreturn]] void Unexpected(const char* owner, int tag, const std::string* value) {
  throw SAXParseHandlerException(
      Format("%s: unexpected tag = %d with value %s.", owner, tag, value ? value->c_str() : "Unknown value"));
}

// The parse core that every read document shares: the set keeps the text, and the root hands
// the set's element (`target` of the root) to it.
template <class Set, class Interface>
HRESULT ParseInto(std::string_view text, int16_t major, int16_t minor, SAXParseable* VTXMLRoot::*target,
                  Interface** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (text.empty()) return S_OK;
  auto set = ComPtr<Set>::Adopt(MakeObject<Set>());
  if (!set) return ReportError(kMsgInternalError619, E_OUTOFMEMORY);
  std::unique_ptr<SAXParseManagerInterface> manager = MakeParseManager();
  if (!manager) return ReportError(kMsgOutOfMemory, E_OUTOFMEMORY);
  try {
    set->Init(text, major, minor);
  } catch (const std::bad_alloc&) {
    return ReportError(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
  VTXMLRoot root;
  root.*target = set.Get();
  if (!manager->ParseBuffer(&root, set->Text(), kVTXMLBufferId)) {
    std::string error;
    if (!manager->GetLastError(error)) error = "Response parsing error.";
    return ReportErrorText(error, kParseFailed);
  }
  *out = set.Detach();
  return S_OK;
}

}  // namespace

// ---- The subscription request set.

CSubscriptionMsgSetRequest::CSubscriptionMsgSetRequest() : context_(NewContext(3, 0, kSetSubscription)) {}

void CSubscriptionMsgSetRequest::Init(int16_t major, int16_t minor) {
  context_->major = major;
  context_->minor = minor;
}

HRESULT CSubscriptionMsgSetRequest::AppendKind(size_t kind, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  // Subscriptions exist from vtXML 3.0 on, in every edition.
  if (context_->major < 3) return ReportError(kMsgRequestNotSupported, kNotSupported);
  *out = nullptr;
  const SubscriptionKind& k = kSubscriptionKinds[kind];
  const CatalogueClass* c = FindCatalogueClass(k.detail);
  ObjectRoot* detail = c ? c->factory(/*isRequest=*/true, context_) : nullptr;
  if (!detail) return E_OUTOFMEMORY;
  RootRef keep(detail);
  detail->ReleaseRoot();
  auto request = ComPtr<CRequest>::Adopt(MakeObject<CRequest>(k.tag, TagName(k.tag), context_));
  if (!request) return E_OUTOFMEMORY;
  request->SetDetail(detail);
  request->SetRequestID(static_cast<int32_t>(requests_.size()));
  if (HRESULT hr = detail->QueryRoot(iid, out); FAILED(hr)) return hr;
  try {
    requests_.push_back(std::move(request));
  } catch (const std::bad_alloc&) {
    static_cast<IUnknown*>(*out)->Release();
    *out = nullptr;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CSubscriptionMsgSetRequest::ClearRequests() {
  requests_.clear();
  return S_OK;
}

HRESULT CSubscriptionMsgSetRequest::ToXMLString(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    XMLBuilder builder(context_->major, context_->minor, context_->country);
    builder.StartElement("VTXML");
    builder.StartElement("VTXMLSubscriptionMsgsRq");
    for (const ComPtr<CRequest>& request : requests_) request->Build("", builder);
    builder.EndElement("VTXMLSubscriptionMsgsRq");
    builder.EndElement("VTXML");
    return HandOutText(builder.Output(), out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return ReportErrorText(e.what(), E_FAIL);
  }
}

HRESULT CSubscriptionMsgSetRequest::Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) {
  if (!errorMsg || !isOK) return E_POINTER;
  std::string report;
  bool ok = true;
  try {
    ok = VerifyRequests(requests_.size(), [this](size_t i) { return requests_[i].Get(); }, report);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (!ok) {
    *errorMsg = ToBstr(report);
    if (!*errorMsg) return E_OUTOFMEMORY;
  }
  *isOK = ok ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// ---- The subscription answer.

ReadDocument::ReadDocument(int32_t setKind) : context_(NewContext(4, 0, setKind)) {}

void ReadDocument::Init(std::string_view text, int16_t major, int16_t minor) {
  text_ = TextBlock(text);
  context_->major = major;
  context_->minor = minor;
}

HRESULT ReadDocument::TextCom(BSTR* out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Text().empty() ? S_OK : HandOutText(Text(), out);
}

HRESULT CSubscriptionMsgSetResponse::get_ResponseList(IResponseList** out) {
  if (!out) return E_POINTER;
  *out = list_.Get();
  if (*out) (*out)->AddRef();
  return S_OK;
}

SAXParseable* CSubscriptionMsgSetResponse::HandleAggregate(int tag) {
  if (!list_) list_ = ComPtr<CResponseList>::Adopt(MakeObject<CResponseList>(context_));
  if (!list_) throw SAXParseHandlerException("Internal error");
  return list_->HandleAggregate(tag);
}

void CSubscriptionMsgSetResponse::HandleEndAggregate(int tag) {
  if (list_) list_->HandleEndAggregate(tag);
}

void CSubscriptionMsgSetResponse::HandleElement(int tag, const std::string* value) {
  Unexpected("SubscriptionMsgSetResponse", tag, value);
}

void CSubscriptionMsgSetResponse::HandleAttribute(int tag, const std::string* value) {
  Unexpected("SubscriptionMsgSetResponse", tag, value);
}

HRESULT ParseSubscriptionMsgSetResponse(std::string_view text, int16_t major, int16_t minor,
                                        ISubscriptionMsgSetResponse** out) {
  return ParseInto<CSubscriptionMsgSetResponse>(text, major, minor, &VTXMLRoot::subscriptionResponse, out);
}

// ---- Events.

HRESULT CEventsMsgSet::get_OREvent(IOREvent** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return event_ ? event_->QueryRoot(IID_IOREvent, reinterpret_cast<void**>(out)) : S_OK;
}

SAXParseable* CEventsMsgSet::HandleAggregate(int tag) {
  // The children of VTXMLEvents are the members of the one event choice.
  if (!event_) {
    const CatalogueClass* c = FindCatalogueClass("OREvent");
    ObjectRoot* made = c ? c->factory(/*isRequest=*/false, context_) : nullptr;
    if (!made || !made->AsParseable()) {
      if (made) made->ReleaseRoot();
      throw SAXParseHandlerException("Internal error");
    }
    event_ = RootRef(made);
    made->ReleaseRoot();
  }
  return event_->AsParseable()->HandleAggregate(tag);
}

void CEventsMsgSet::HandleEndAggregate(int tag) {
  if (event_) event_->AsParseable()->HandleEndAggregate(tag);
}

void CEventsMsgSet::HandleElement(int tag, const std::string* value) { Unexpected("EventsMsgSet", tag, value); }

void CEventsMsgSet::HandleAttribute(int tag, const std::string* value) { Unexpected("EventsMsgSet", tag, value); }

HRESULT ParseEventsMsgSet(std::string_view text, int16_t major, int16_t minor, IEventsMsgSet** out) {
  return ParseInto<CEventsMsgSet>(text, major, minor, &VTXMLRoot::events, out);
}

}  // namespace vtfc4
