#include "src/msgset/msgset_request.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/aggregate.h"
#include "src/catalogue/engine.h"
#include "src/msgset/detail_factory.h"
#include "src/xml/sax.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {
namespace {

// The vtXML texts of the message set attributes, indexed by their enumeration values.
constexpr const char* kOnErrorTexts[] = {"stopOnError", "continueOnError", "rollbackOnError"};
constexpr const char* kResponseDataTexts[] = {"includeAll", "includeNone"};

template <size_t N>
int FindText(const char* const (&texts)[N], const std::string& text) {
  for (size_t i = 0; i < N; ++i)
    if (text == texts[i]) return static_cast<int>(i);
  return -1;
}

const char* ValueOrUnknown(const std::string* value) {
  return value ? value->c_str() : "Unknown value";
}

// The class name of a detail, as its Type object tells it.
std::string TypeName(ObjectRoot* detail) {
  ComPtr<IVTBase> base;
  ComPtr<IObjectType> type;
  Bstr name;
  if (FAILED(detail->QueryRoot(IID_IVTBase, reinterpret_cast<void**>(base.Put()))) ||
      FAILED(base->get_Type(type.Put())) || FAILED(type->GetAsString(name.Put())))
    return std::string();
  return ToNarrow(name.Get());
}

}  // namespace

// Every request kind of the catalogue, in the order of the Append<Name>Rq methods.
struct RequestKind {
  int tag;              // the request element
  int16_t major, minor;  // the first vtXML version that has the kind
  uint8_t country;      // MemberCountry: any, not CA (US and online), CA only
  int classIndex;       // the detail class in the catalogue, or -1
};
constexpr RequestKind kRequestKinds[] = {
#include "vtfc4/gen/request_kinds.inc"
};

// ---- Country and version.

HRESULT ValidateCountry(BSTR country, int32_t* code, const char* source) {
  const std::string text = country ? ToNarrow(country) : std::string("US");
  if (text == "US") {
    *code = kCountryUS;
    return S_OK;
  }
  if (text == "CA") {
    *code = kCountryCA;
    return S_OK;
  }
  return ReportError(kMsgInvalidCountry, kInvalidCountry, source);
}

HRESULT ValidateVersion(int32_t country, int16_t major, int16_t minor, const char* source) {
  struct Version {
    int16_t major, minor;
  };
  static constexpr Version kUS[] = {{4, 0}, {3, 0}, {2, 1}, {2, 0}, {1, 1}, {1, 0}};
  static constexpr Version kCA[] = {{3, 0}, {2, 0}};
  auto supported = [&](const auto& table) {
    for (const Version& v : table)
      if (v.major == major && v.minor == minor) return true;
    return false;
  };
  if (country == kCountryUS) return supported(kUS) ? S_OK : ReportError(kMsgUnsupportedVersion, kUnsupportedVersion, source);
  if (country == kCountryCA) return supported(kCA) ? S_OK : ReportError(kMsgUnsupportedVersion, kUnsupportedVersion, source);
  return ReportError(kMsgInvalidCountry, kInvalidCountry, source);
}

// ---- Attributes.

CAttributesRqSet::~CAttributesRqSet() {
  SysFreeString(oldMessageSetID_);
  SysFreeString(newMessageSetID_);
}

HRESULT CAttributesRqSet::get_OnError(ENRqOnError* out) {
  if (!out) return E_POINTER;
  if (!onErrorSet_) return kNoValue;
  *out = static_cast<ENRqOnError>(onError_);
  return S_OK;
}

HRESULT CAttributesRqSet::put_OnError(ENRqOnError value) {
  if (value < 0 || value > 2) return kEnumOutOfRange;
  onError_ = value;
  onErrorSet_ = true;
  return S_OK;
}

HRESULT CAttributesRqSet::put_OldMessageSetID(BSTR value) { return ReplaceBstr(oldMessageSetID_, value); }
HRESULT CAttributesRqSet::get_OldMessageSetID(BSTR* out) { return CopyBstr(oldMessageSetID_, out); }
HRESULT CAttributesRqSet::put_NewMessageSetID(BSTR value) { return ReplaceBstr(newMessageSetID_, value); }
HRESULT CAttributesRqSet::get_NewMessageSetID(BSTR* out) { return CopyBstr(newMessageSetID_, out); }

HRESULT CAttributesRqSet::put_ResponseData(ENRqResponseData value) {
  // The attribute exists from vtXML 2.0 on.
  if (context_ && context_->major < 2) return kNotSupported;
  if (value < 0 || value > 1) return kEnumOutOfRange;
  responseData_ = value;
  responseDataSet_ = true;
  return S_OK;
}

HRESULT CAttributesRqSet::get_ResponseData(ENRqResponseData* out) {
  if (!out) return E_POINTER;
  if (!responseDataSet_) return kNoValue;
  *out = static_cast<ENRqResponseData>(responseData_);
  return S_OK;
}

void CAttributesRqSet::WriteAttributes(XMLBuilderInterface& builder, bool force) const {
  if (force || onErrorSet_) builder.AddAttribute("onError", kOnErrorTexts[onErrorSet_ ? onError_ : 0]);
  if (oldMessageSetID_ && SysStringLen(oldMessageSetID_) > 0)
    builder.AddAttribute("oldMessageSetID", ToNarrow(oldMessageSetID_));
  if (newMessageSetID_ && SysStringLen(newMessageSetID_) > 0)
    builder.AddAttribute("newMessageSetID", ToNarrow(newMessageSetID_));
  if (responseDataSet_) builder.AddAttribute("responseData", kResponseDataTexts[responseData_]);
}

void CAttributesRqSet::Reset() {
  onErrorSet_ = false;
  onError_ = 0;
  responseDataSet_ = false;
  responseData_ = 0;
  SysFreeString(oldMessageSetID_);
  SysFreeString(newMessageSetID_);
  oldMessageSetID_ = newMessageSetID_ = nullptr;
}

// ---- One request.

HRESULT CRequest::get_RequestID(LONG* out) {
  if (!out) return E_POINTER;
  *out = requestID_;
  return S_OK;
}

HRESULT CRequest::get_Detail(IVTBase** out) { return element_.DetailCom(out); }
HRESULT CRequest::get_Type(IRequestType** out) { return element_.TypeCom(out); }

void CRequest::Build(std::string_view name, XMLBuilderInterface& builder) {
  if (name.empty()) name = elementName_;
  builder.StartElement(name);
  builder.AddAttribute("requestID", std::to_string(requestID_));
  XMLBuildable* body = element_.Detail() ? element_.Detail()->AsBuildable() : nullptr;
  if (!body) {
    builder.CloseEmptyElement();
    return;
  }
  body->Build("", builder);
  builder.EndElement(name);
}

bool CRequest::Verify(bool required, std::string& errors) {
  XMLBuildable* body = element_.Detail() ? element_.Detail()->AsBuildable() : nullptr;
  if (!body) return true;
  std::string detailErrors;
  if (body->Verify(required, detailErrors)) return true;
  const std::string type = TypeName(element_.Detail());
  errors += type + "\r\n" + detailErrors + MessageText(kMsgEndOf) + type + "\r\n";
  return false;
}

SAXParseable* CRequest::HandleAggregate(int tag) { return element_.ChildHandler(tag); }

void CRequest::HandleElement(int tag, const std::string* value) {
  element_.DetailFace()->HandleElement(tag, value);
}

void CRequest::HandleAttribute(int tag, const std::string* value) {
  if (tag == tag::requestID) {
    requestID_ = static_cast<int32_t>(std::atol(value ? value->c_str() : ""));
    return;
  }
  if (tag == tag::metaData) {
    element_.DetailFace()->HandleAttribute(tag, value);
    return;
  }
  throw SAXParseHandlerException(
      Format("Request:unexpected tag = %d with value %s.", tag, ValueOrUnknown(value)));
}

// ---- The list of requests.

HRESULT CRequestList::get_Count(LONG* out) {
  if (!out) return E_POINTER;
  *out = static_cast<LONG>(requests_.size());
  return S_OK;
}

HRESULT CRequestList::GetAt(LONG index, IRequest** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= requests_.size()) return kOutOfRange;
  IRequest* request = requests_[static_cast<size_t>(index)].Get();
  request->AddRef();
  *out = request;
  return S_OK;
}

void CRequestList::AddRequest(CRequest* request) {
  if (request->RequestID() == -1) request->SetRequestID(static_cast<int32_t>(requests_.size()));
  requests_.emplace_back(request);
}

SAXParseable* CRequestList::HandleAggregate(int tag) {
  const char* name = TagName(tag);
  CRequest* made = MakeObject<CRequest>(tag, name ? name : "", context_);
  if (!made) throw SAXParseHandlerException("Internal error. Cannot create CRequest.");
  pending_ = ComPtr<CRequest>::Adopt(made);
  return made;
}

void CRequestList::HandleEndAggregate(int) {
  if (!pending_) return;
  AddRequest(pending_.Get());
  pending_.Reset();
}

// ---- The message set.

void CMsgSetRequest::Init(int16_t major, int16_t minor, int32_t country) {
  context_->major = major;
  context_->minor = minor;
  context_->country = country;
  context_->setKind = kSetRequestResponse;
}

CRequestList* CMsgSetRequest::List() {
  if (!list_) list_ = ComPtr<CRequestList>::Adopt(MakeObject<CRequestList>(context_));
  return list_.Get();
}

CAttributesRqSet* CMsgSetRequest::Attributes() {
  if (!attributes_) attributes_ = ComPtr<CAttributesRqSet>::Adopt(MakeObject<CAttributesRqSet>(context_));
  return attributes_.Get();
}

HRESULT CMsgSetRequest::get_Attributes(IAttributesRqSet** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  CAttributesRqSet* a = Attributes();
  if (!a) return E_OUTOFMEMORY;
  *out = a;
  a->AddRef();
  return S_OK;
}

HRESULT CMsgSetRequest::get_RequestList(IRequestList** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  CRequestList* l = List();
  if (!l) return E_OUTOFMEMORY;
  *out = l;
  l->AddRef();
  return S_OK;
}

HRESULT CMsgSetRequest::ClearRequests() {
  if (list_) list_->Clear();
  if (attributes_) attributes_->Reset();
  return S_OK;
}

HRESULT CMsgSetRequest::AppendRequest(int requestTag, ObjectRoot* detail) {
  CRequestList* list = List();
  const char* name = TagName(requestTag);
  if (!list || !name) return E_OUTOFMEMORY;
  auto request = ComPtr<CRequest>::Adopt(MakeObject<CRequest>(requestTag, name, context_));
  if (!request) return E_OUTOFMEMORY;
  request->SetDetail(detail);
  try {
    list->AddRequest(request.Get());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CMsgSetRequest::CheckRequestSupported(size_t kind) const {
  const RequestKind& k = kRequestKinds[kind];
  // The online edition counts as US.
  const bool isCA = context_->country == kCountryCA;
  if ((k.country == kNotCA && isCA) || (k.country == kCAOnly && !isCA)) return kNotSupported;
  if (context_->major < k.major || (context_->major == k.major && context_->minor < k.minor))
    return kNotSupported;
  return S_OK;
}

HRESULT CMsgSetRequest::AppendKind(size_t kind, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (FAILED(CheckRequestSupported(kind))) return ReportError(kMsgRequestNotSupported, kNotSupported);
  const RequestKind& k = kRequestKinds[kind];
  ObjectRoot* detail = kCatalogue[k.classIndex].factory(/*isRequest=*/true, context_);
  if (!detail) return E_OUTOFMEMORY;
  RootRef keep(detail);
  detail->ReleaseRoot();
  HRESULT hr = detail->QueryRoot(iid, out);
  if (FAILED(hr)) return hr;
  hr = AppendRequest(k.tag, detail);
  if (FAILED(hr)) {
    static_cast<IUnknown*>(*out)->Release();
    *out = nullptr;
  }
  return hr;
}

HRESULT CMsgSetRequest::WriteDocument(const std::function<HRESULT(std::string_view)>& use) {
  try {
    XMLBuilder builder(context_->major, context_->minor, context_->country);
    builder.StartElement("VTXML");
    if (online_) {
      std::string scratch;
      HRESULT hr = online_.writer->BuildSignonMsgs(builder, scratch, false);
      if (FAILED(hr)) return hr;
    }
    builder.StartElement("VTXMLMsgsRq");
    const size_t count = list_ ? list_->Count() : 0;
    CAttributesRqSet* attributes = Attributes();
    if (!attributes) return E_OUTOFMEMORY;
    // A set of one request (or none) always names its error policy.
    attributes->WriteAttributes(builder, count < 2);
    for (size_t i = 0; i < count; ++i) list_->At(i)->Build("", builder);
    builder.EndElement("VTXMLMsgsRq");
    builder.EndElement("VTXML");
    return use(builder.Output());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return ReportErrorText(e.what(), E_FAIL);
  }
  return S_OK;
}

HRESULT CMsgSetRequest::ToXMLString(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return WriteDocument([out](std::string_view text) { return HandOutText(text, out); });
}

HRESULT CMsgSetRequest::Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) {
  if (!errorMsg || !isOK) return E_POINTER;
  std::string report;
  bool ok = true;
  try {
    const size_t count = list_ ? list_->Count() : 0;
    if (count > 1 && !(attributes_ && attributes_->OnErrorSet())) {
      report = MessageText(kMsgMissingOnError);
      ok = false;
    }
    if (online_) {
      XMLBuilder builder(context_->major, context_->minor, context_->country);
      std::string text;
      HRESULT hr = online_.writer->BuildSignonMsgs(builder, text, true);
      if (hr == kVerifyFailed) {
        report += "VTOESessionManager:\r\n" + text;
        ok = false;
      } else if (FAILED(hr)) {
        return hr;
      }
    }
    if (!VerifyRequests(count, [this](size_t i) { return list_->At(i); }, report)) ok = false;
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

SAXParseable* CMsgSetRequest::HandleAggregate(int tag) {
  CRequestList* list = List();
  if (!list) throw SAXParseHandlerException("Internal error");
  return list->HandleAggregate(tag);
}

void CMsgSetRequest::HandleEndAggregate(int tag) {
  CRequestList* list = List();
  if (!list) throw SAXParseHandlerException("Internal error");
  list->HandleEndAggregate(tag);
}

void CMsgSetRequest::HandleElement(int tag, const std::string* value) {
  throw SAXParseHandlerException(
      Format("MsgSetRequest: unexpected tag = %d with value %s.", tag, ValueOrUnknown(value)));
}

void CMsgSetRequest::HandleAttribute(int tag, const std::string* value) {
  CAttributesRqSet* attributes = Attributes();
  if (!attributes)
    throw SAXParseHandlerException("Internal error: MsgSetRequest cannot create attribute object.");
  const std::string text = value ? *value : std::string();
  switch (tag) {
    case tag::newMessageSetID:
    case tag::oldMessageSetID: {
      Bstr id = Bstr::Adopt(ToBstr(text));
      if (tag == tag::newMessageSetID)
        attributes->put_NewMessageSetID(id.Get());
      else
        attributes->put_OldMessageSetID(id.Get());
      return;
    }
    case tag::onError:
    case tag::responseData: {
      const int v = tag == tag::onError ? FindText(kOnErrorTexts, text) : FindText(kResponseDataTexts, text);
      if (v < 0)
        throw SAXParseHandlerException(Format(
            "MsgSetRequest:unexpected Attribute value, tag = %d with value %s.", tag, text.c_str()));
      // The text decides; a responseData the set's version does not have is left unset.
      if (tag == tag::onError)
        attributes->put_OnError(static_cast<ENRqOnError>(v));
      else
        attributes->put_ResponseData(static_cast<ENRqResponseData>(v));
      return;
    }
    default:
      throw SAXParseHandlerException(
          Format("MsgSetRequest:unexpected tag = %d with value %s.", tag, ValueOrUnknown(value)));
  }
}

HRESULT ParseMsgSetRequest(std::string_view text, int32_t country, int16_t major, int16_t minor,
                           OnlineSignon online, IMsgSetRequest** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto set = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
  if (!set) return ReportError(kMsgInternalError619, E_OUTOFMEMORY);
  SignonTarget* signon = online.signon;
  set->AttachOnline(std::move(online));
  set->Init(major, minor, country);
  std::unique_ptr<SAXParseManagerInterface> manager = MakeParseManager();
  if (!manager) return ReportError(kMsgOutOfMemory, E_OUTOFMEMORY);
  VTXMLRoot root;
  root.msgSetRequest = set.Get();
  root.online = signon;
  if (!manager->ParseBuffer(&root, text, kVTXMLBufferId)) {
    std::string error;
    if (!manager->GetLastError(error)) error = "Response parsing error.";
    return ReportErrorText(error, kParseFailed);
  }
  *out = set.Detach();
  return S_OK;
}

}  // namespace vtfc4
