#include "src/msgset/msgset_response.h"

#include <algorithm>
#include <cstdlib>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {
namespace {

const char* ValueOrUnknown(const std::string* value) { return value ? value->c_str() : "Unknown value"; }

void Replace(BSTR& slot, std::string_view text) {
  SysFreeString(slot);
  slot = ToBstr(text);
}


// A status attribute as text: 0x80040300 when the answer lacked it.
HRESULT StatusText(const std::string& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (text.empty()) return kNoValue;
  return HandOutText(text, out);
}

HRESULT StatusNumber(const std::string& text, LONG* out) {
  if (!out) return E_POINTER;
  if (text.empty()) return kNoValue;
  *out = static_cast<LONG>(std::atol(text.c_str()));
  return S_OK;
}

}  // namespace

// ---- Attributes.

CAttributesRsSet::~CAttributesRsSet() {
  SysFreeString(newMessageSetID_);
  SysFreeString(messageSetStatusCode_);
}
HRESULT CAttributesRsSet::get_NewMessageSetID(BSTR* out) { return CopyBstr(newMessageSetID_, out); }
HRESULT CAttributesRsSet::get_MessageSetStatusCode(BSTR* out) { return CopyBstr(messageSetStatusCode_, out); }
void CAttributesRsSet::SetNewMessageSetID(std::string_view text) { Replace(newMessageSetID_, text); }
void CAttributesRsSet::SetMessageSetStatusCode(std::string_view text) { Replace(messageSetStatusCode_, text); }

// ---- One response.

HRESULT CResponse::get_StatusCode(LONG* out) { return StatusNumber(statusCode_, out); }
HRESULT CResponse::get_StatusSeverity(BSTR* out) { return StatusText(statusSeverity_, out); }
HRESULT CResponse::get_StatusMessage(BSTR* out) { return StatusText(statusMessage_, out); }
HRESULT CResponse::get_retCount(LONG* out) { return StatusNumber(retCount_, out); }

HRESULT CResponse::get_Detail(IVTBase** out) { return element_.DetailCom(out); }
HRESULT CResponse::get_Type(IResponseType** out) { return element_.TypeCom(out); }

SAXParseable* CResponse::HandleAggregate(int tag) { return element_.ChildHandler(tag); }

void CResponse::HandleElement(int tag, const std::string* value) {
  element_.DetailFace()->HandleElement(tag, value);
}

void CResponse::HandleAttribute(int tag, const std::string* value) {
  const std::string text = value ? *value : std::string();
  switch (tag) {
    case tag::requestID: requestID_ = static_cast<int32_t>(std::atol(text.c_str())); return;
    case tag::retCount: retCount_ = text; return;
    case tag::statusCode: statusCode_ = text; return;
    case tag::statusMessage: statusMessage_ = text; return;
    case tag::statusSeverity: statusSeverity_ = text; return;
    default:
      throw SAXParseHandlerException(
          Format("Response:unexpected tag = %d with value %s.", tag, ValueOrUnknown(value)));
  }
}

// ---- The list of responses.

void CResponseList::Order() {
  if (!keys_.empty()) keys_ = {};
  if (ordered_) return;
  std::sort(responses_.begin(), responses_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  ordered_ = true;
}

HRESULT CResponseList::get_Count(LONG* out) {
  if (!out) return E_POINTER;
  *out = static_cast<LONG>(responses_.size());
  return S_OK;
}

HRESULT CResponseList::GetAt(LONG index, IResponse** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= responses_.size()) return kOutOfRange;
  Order();
  IResponse* response = responses_[static_cast<size_t>(index)].second.Get();
  response->AddRef();
  *out = response;
  return S_OK;
}

SAXParseable* CResponseList::HandleAggregate(int tag) {
  CResponse* made = MakeObject<CResponse>(tag, context_);
  if (!made) throw SAXParseHandlerException("Internal error. Cannot create CResponse.");
  pending_ = ComPtr<CResponse>::Adopt(made);
  return made;
}

void CResponseList::HandleEndAggregate(int) {
  if (!pending_) return;
  // Without a requestID a response is keyed by its position; a second response under a key
  // already taken is dropped, the first one kept.
  int32_t key = pending_->RequestID();
  if (key < 0) key = static_cast<int32_t>(responses_.size());
  if (keys_.insert(key).second) {
    if (!responses_.empty() && key < responses_.back().first) ordered_ = false;
    responses_.emplace_back(key, std::move(pending_));
  }
  pending_.Reset();
}

// ---- The response set.

void CMsgSetResponse::Init(std::string_view text, int16_t major, int16_t minor, int32_t country) {
  text_ = TextBlock(text);
  context_->major = major;
  context_->minor = minor;
  context_->country = country;
}

HRESULT CMsgSetResponse::get_Attributes(IAttributesRsSet** out) {
  if (!out) return E_POINTER;
  *out = attributes_.Get();
  if (*out) (*out)->AddRef();
  return S_OK;
}

HRESULT CMsgSetResponse::get_ResponseList(IResponseList** out) {
  if (!out) return E_POINTER;
  *out = list_.Get();
  if (*out) (*out)->AddRef();
  return S_OK;
}

HRESULT CMsgSetResponse::ToXMLString(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (Text().empty()) return S_OK;
  return HandOutText(Text(), out);
}

SAXParseable* CMsgSetResponse::HandleAggregate(int tag) {
  if (!list_) list_ = ComPtr<CResponseList>::Adopt(MakeObject<CResponseList>(context_));
  if (!list_) throw SAXParseHandlerException("Internal error");
  return list_->HandleAggregate(tag);
}

void CMsgSetResponse::HandleEndAggregate(int tag) {
  if (list_) list_->HandleEndAggregate(tag);
}

void CMsgSetResponse::HandleElement(int tag, const std::string* value) {
  throw SAXParseHandlerException(
      Format("MsgSetResponse: unexpected tag = %d with value %s.", tag, ValueOrUnknown(value)));
}

void CMsgSetResponse::HandleAttribute(int tag, const std::string* value) {
  if (!attributes_) attributes_ = ComPtr<CAttributesRsSet>::Adopt(MakeObject<CAttributesRsSet>());
  if (!attributes_)
    throw SAXParseHandlerException("Internal error: MsgSetResponse cannot create attribute object.");
  const std::string_view text = value ? std::string_view(*value) : std::string_view();
  if (tag == tag::messageSetStatusCode)
    attributes_->SetMessageSetStatusCode(text);
  else if (tag == tag::newMessageSetID)
    attributes_->SetNewMessageSetID(text);
  else
    throw SAXParseHandlerException(
        Format("MsgSetResponse:unexpected tag = %d with value %s.", tag, ValueOrUnknown(value)));
}

HRESULT ParseMsgSetResponse(std::string_view text, int32_t country, int16_t major, int16_t minor,
                            SignonTarget* online, IMsgSetResponse** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (text.empty()) return S_OK;
  auto set = ComPtr<CMsgSetResponse>::Adopt(MakeObject<CMsgSetResponse>());
  if (!set) return ReportError(kMsgInternalError619, E_OUTOFMEMORY);
  std::unique_ptr<SAXParseManagerInterface> manager = MakeParseManager();
  if (!manager) return ReportError(kMsgOutOfMemory, E_OUTOFMEMORY);
  try {
    set->Init(text, major, minor, country);
  } catch (const std::bad_alloc&) {
    return ReportError(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
  VTXMLRoot root;
  root.msgSetResponse = set.Get();
  root.online = online;
  // The set keeps its own copy of the text: the parser reads that copy in place.
  if (!manager->ParseBuffer(&root, set->Text(), kVTXMLBufferId)) {
    std::string error;
    if (!manager->GetLastError(error)) error = "Response parsing error.";
    return ReportErrorText(error, kParseFailed);
  }
  *out = set.Detach();
  return S_OK;
}

}  // namespace vtfc4
