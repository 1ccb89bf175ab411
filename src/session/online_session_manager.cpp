#include "src/session/online_session_manager.h"

#include <ctime>
#include <new>

#include "src/com/error.h"
#include "src/com/object.h"
#include "src/com/text.h"
#include "src/core/identifiers.h"
#include "src/core/values.h"
#include "src/msgset/msgset_response.h"
#include "src/session/gateway_client.h"
#include "vtfc4/gen/tags.h"
#include "vtfc4/oleauto.h"

namespace vtfc4 {

namespace {

constexpr const char* kSignonClasses[] = {"SignonDesktopRq", "SignonTicketRq", "SignonDesktopRs", "SignonTicketRs"};

// Which member of a sign-on request shares which property of the manager.
struct SignonMember {
  size_t member;
  int property;  // SignonProperty
};
// SignonDesktopRq: ClientDateTime, ApplicationLogin, ConnectionTicket, InstallationID,
// Language, AppID, AppVer.
constexpr SignonMember kDesktopMembers[] = {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}};
// SignonTicketRq: ClientDateTime, SessionTicket, AuthID, InstallationID, Language, AppID, AppVer.
constexpr SignonMember kTicketMembers[] = {{1, 6}, {2, 7}, {3, 2}, {4, 3}, {5, 4}, {6, 5}};
constexpr size_t kClientDateTime = 0;
// SignonDesktopRs and SignonTicketRs: requestID, statusCode, statusMessage, statusSeverity,
// ServerDateTime, SessionTicket.
constexpr size_t kAnswerSessionTicket = 5;

// The current local time as a date-time value's text.
std::string LocalTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

}  // namespace

HRESULT CreateOnlineSessionManager(IUnknown* outer, REFIID riid, void** out) {
  return CreateAggregatable<CVTOESessionManager>(outer, riid, out);
}

CVTOESessionManager::CVTOESessionManager(IUnknown* outer) : ManagerFrame(outer ? outer : &inner_) {
  try {
    signonContext_ = std::make_shared<VersionContext>();
    signonContext_->major = 4;
    signonContext_->minor = 0;
    signonContext_->country = kCountryOnline;
  } catch (const std::bad_alloc&) {
    return;  // without sign-on objects every sign-on reports an internal error
  }
  ClearSignon(kDesktopRq);
  ClearSignon(kDesktopRs);
}

CVTOESessionManager::~CVTOESessionManager() {
  for (RootRef& object : signon_) object = RootRef();
  for (RootRef& value : properties_) value = RootRef();
}

HRESULT CVTOESessionManager::Report(UINT message, HRESULT status) const {
  return ReportError(message, status, kOnlineSessionManagerProgID);
}

// ---- The sign-on properties.

ObjectRoot* CVTOESessionManager::PropertyValue(SignonProperty which) {
  if (!properties_[which]) {
    const bool identifier = which == kInstallationID || which == kAuthID;
    ObjectRoot* made = identifier ? NewIDValue(false) : NewStringValue(kNoLimit);
    if (!made) return nullptr;
    properties_[which] = RootRef(made);
    made->ReleaseRoot();
  }
  return properties_[which].Get();
}

HRESULT CVTOESessionManager::PropertyCom(SignonProperty which, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ObjectRoot* value = PropertyValue(which);
  if (!value) return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  return value->QueryRoot(iid, out);
}

bool CVTOESessionManager::PropertyText(SignonProperty which, std::string& out) const {
  const BasicPropertyType* value = properties_[which] ? properties_[which]->AsValue() : nullptr;
  return value && value->GetXMLValue(out);
}

// ---- The sign-on objects.

bool CVTOESessionManager::ClearSignon(SignonObject first) {
  if (!signonContext_) return false;
  const bool request = first == kDesktopRq;
  // An answer's parsed texts live in its context: each answer gets a new one, so that what
  // one answer kept goes with it.
  VersionContextPtr context = signonContext_;
  if (!request) {
    try {
      context = std::make_shared<VersionContext>(VersionContext{4, 0, kCountryOnline, kSetRequestResponse, {}, {}});
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  bool made = true;
  for (int i = first; i < first + 2; ++i) {
    const CatalogueClass* c = FindCatalogueClass(kSignonClasses[i]);
    ObjectRoot* object = c ? c->factory(request, context) : nullptr;
    signon_[i] = RootRef(object);
    if (object)
      object->ReleaseRoot();
    else
      made = false;
  }
  return made;
}

CatalogueBase* CVTOESessionManager::Signon(SignonObject which) const {
  return signon_[which] ? dynamic_cast<CatalogueBase*>(signon_[which].Get()) : nullptr;
}

SAXParseable* CVTOESessionManager::SignonFace(int tag) {
  SignonObject which;
  switch (tag) {
    case tag::SignonDesktopRq: which = kDesktopRq; break;
    case tag::SignonTicketRq: which = kTicketRq; break;
    case tag::SignonDesktopRs: which = kDesktopRs; break;
    case tag::SignonTicketRs: which = kTicketRs; break;
    default: return nullptr;
  }
  return signon_[which] ? signon_[which]->AsParseable() : nullptr;
}

OnlineSignon CVTOESessionManager::Session() {
  OnlineSignon session;
  session.owner = ComPtr<IUnknown>(controlling_);
  session.writer = this;
  session.signon = this;
  return session;
}

HRESULT CVTOESessionManager::BuildSignonMsgs(XMLBuilderInterface& builder, std::string& errors, bool verifyOnly) {
  const bool cleared = ClearSignon(kDesktopRq);
  if (!verifyOnly) builder.StartElement("SignonMsgsRq");
  std::string ticket;
  const bool withTicket = PropertyText(kSessionTicket, ticket);
  CatalogueBase* signon = Signon(withTicket ? kTicketRq : kDesktopRq);
  if (!cleared || !signon) return Report(kMsgInternalError603, E_FAIL);
  const SignonMember* begin = withTicket ? std::begin(kTicketMembers) : std::begin(kDesktopMembers);
  const SignonMember* end = withTicket ? std::end(kTicketMembers) : std::end(kDesktopMembers);
  for (const SignonMember* m = begin; m != end; ++m)
    if (properties_[m->property]) signon->ShareMember(m->member, properties_[m->property].Get());
  ComPtr<IUnknown> time;
  if (FAILED(signon->GetMemberCom(kClientDateTime, IID_IUnknown, time.PutVoid())) || !signon->Slot(kClientDateTime))
    return Report(kMsgInternalError603, E_FAIL);
  signon->Slot(kClientDateTime)->AsValue()->SetXMLValue(LocalTimeText());
  if (verifyOnly) return signon->Verify(true, errors) ? S_OK : kVerifyFailed;
  signon->Build(signon->Info().name, builder);
  builder.EndElement("SignonMsgsRq");
  return S_OK;
}

void CVTOESessionManager::TakeSessionTicket() {
  CatalogueBase* answer = Signon(kDesktopRs);
  std::string ticket;
  if (!answer || !answer->MemberText(kAnswerSessionTicket, ticket) || ticket.empty()) return;
  if (ObjectRoot* property = PropertyValue(kSessionTicket)) property->AsValue()->SetXMLValue(ticket);
}

// ---- Message sets.

HRESULT CVTOESessionManager::CreateMsgSetRequest(BSTR, SHORT major, SHORT minor, IMsgSetRequest** out) {
  // Any minor version of 2.0 and later: the gateway judges the rest.
  if (major < 2) return Report(kMsgUnsupportedVersion, kUnsupportedVersion);
  if (!out) return E_POINTER;
  *out = nullptr;
  auto* set = MakeObject<CMsgSetRequest>();
  if (!set) return Report(kMsgInternalError621, E_OUTOFMEMORY);
  set->Init(major, minor, kCountryOnline);
  set->AttachOnline(Session());
  *out = set;
  return S_OK;
}

HRESULT CVTOESessionManager::DoRequests(IMsgSetRequest* request, IMsgSetResponse** out) {
  if (!request) {
    if (out) *out = nullptr;
    return S_OK;
  }
  if (!out) return E_POINTER;
  *out = nullptr;
  auto* own = dynamic_cast<CMsgSetRequest*>(request);
  if (!own || own->Context()->country != kCountryOnline) return Report(kMsgUseDesktopManager, kWrongManager);
  return SendSet(request, out, kOnlineSessionManagerProgID);
}

HRESULT CVTOESessionManager::DoRequestsFromXMLString(BSTR request, IMsgSetResponse** out) {
  if (!request) {
    if (out) *out = nullptr;
    return S_OK;
  }
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    const std::string text = ToNarrow(request);
    if (RecoveryEnabled()) {
      if (HRESULT hr = SaveRequestForRecovery(text); FAILED(hr)) return hr;
    }
    const GatewayReply reply = PostToGateway(text);
    if (FAILED(reply.status)) {
      if (reply.status == E_OUTOFMEMORY) return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
      return ReportErrorText(reply.text, reply.status, kOnlineSessionManagerProgID);
    }
    if (!ClearSignon(kDesktopRs)) return Report(kMsgInternalError603, E_FAIL);
    const HRESULT hr = ParseMsgSetResponse(reply.text, kCountryOnline, 4, 0, this, out);
    TakeSessionTicket();
    return hr;
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT CVTOESessionManager::ToMsgSetResponse(BSTR response, BSTR, SHORT major, SHORT minor,
                                              IMsgSetResponse** out) {
  if (!out) return E_POINTER;
  if (HRESULT hr = ValidateVersion(kCountryUS, major, minor, kOnlineSessionManagerProgID); FAILED(hr)) return hr;
  try {
    if (!ClearSignon(kDesktopRs)) return Report(kMsgInternalError603, E_FAIL);
    const HRESULT hr = ParseMsgSetResponse(ToNarrow(response), kCountryOnline, major, minor, this, out);
    TakeSessionTicket();
    return hr;
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
}

HRESULT CVTOESessionManager::ToMsgSetRequest(BSTR request, IMsgSetRequest** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    const std::string text = ToNarrow(request);
    int32_t country = kCountryOnline;
    int16_t major = 4, minor = 0;
    const HRESULT parsed = ParseVersionAndCountry(text, country, major, minor);
    // Online documents have no edition of their own: a version that names one is refused.
    if (FAILED(parsed) || country == kCountryCA) {
      Report(kMsgInvalidRequestVersion, FAILED(parsed) ? parsed : kUnsupportedVersion);
      return parsed;
    }
    if (HRESULT hr = ValidateVersion(kCountryUS, major, minor, kOnlineSessionManagerProgID); FAILED(hr)) return hr;
    if (!ClearSignon(kDesktopRq)) return Report(kMsgInternalError603, E_FAIL);
    const HRESULT hr = ParseMsgSetRequest(text, kCountryOnline, major, minor, Session(), out);
    if (FAILED(hr)) return hr;
    // What the document signed on with becomes the manager's, for the next exchange.
    for (SignonObject which : {kDesktopRq, kTicketRq}) {
      CatalogueBase* signon = Signon(which);
      if (!signon) continue;
      for (const SignonMember& m : which == kDesktopRq ? kDesktopMembers : kTicketMembers) {
        std::string value;
        if (!signon->MemberText(m.member, value) || value.empty()) continue;
        if (ObjectRoot* property = PropertyValue(static_cast<SignonProperty>(m.property)))
          property->AsValue()->SetXMLValue(value);
      }
    }
    return hr;
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
}

HRESULT CVTOESessionManager::get_VTXMLVersionsForSession(SAFEARRAY** out) {
  if (!out) return E_POINTER;
  *out = SafeArrayCreateVector(VT_BSTR, 0, 0);
  return *out ? S_OK : Report(kMsgOutOfMemory, E_OUTOFMEMORY);
}

// ---- Hooks of the error recovery.

void CVTOESessionManager::ReportRecoveryError(std::string_view text) {
  ReportRecoveryErrorFrom(kOnlineSessionManagerProgID, text);
}

std::string CVTOESessionManager::GetTicketText() {
  std::string ticket;
  if (PropertyText(kSessionTicket, ticket) && !ticket.empty()) return ticket;
  return PropertyText(kConnectionTicket, ticket) ? ticket : std::string();
}

HRESULT CVTOESessionManager::GetCompanyFileText(std::string& out) {
  if (!PropertyText(kConnectionTicket, out)) return Report(kMsgConnectionTicketMissing, kNoConnectionTicket);
  return S_OK;
}

}  // namespace vtfc4
