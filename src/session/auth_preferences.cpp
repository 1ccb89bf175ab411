#include "src/session/auth_preferences.h"

#include "src/com/error.h"
#include "src/session/session_manager.h"

namespace vtfc4 {

void CVTAuthPreferences::Attach(CVTSessionManager* manager, ComPtr<IRequestProcessorAuthPrefs> inProcess,
                                ComPtr<IRequestProcessorExAuthPrefs> outOfProcess) {
  manager_ = manager;
  inProcess_ = std::move(inProcess);
  outOfProcess_ = std::move(outOfProcess);
}

template <class Call>
HRESULT CVTAuthPreferences::Read(const void* out, Call call) {
  if (!out) return E_POINTER;
  BSTR ticket = manager_ ? manager_->Ticket() : nullptr;
  if (!ticket) return ReportError(kMsgNoTicket, kNoTicket);
  return WithPreferences([&](auto* p) { return call(p, ticket); });
}

HRESULT CVTAuthPreferences::WasAuthPreferencesObeyed(VARIANT_BOOL* out) {
  return Read(out, [&](auto* p, BSTR ticket) { return p->WasAuthPreferencesObeyed(ticket, out); });
}

HRESULT CVTAuthPreferences::GetIsReadOnly(VARIANT_BOOL* out) {
  return Read(out, [&](auto* p, BSTR ticket) { return p->GetIsReadOnly(ticket, out); });
}

HRESULT CVTAuthPreferences::GetUnattendedModePref(ENUnattendedModePrefType* out) {
  return Read(out, [&](auto* p, BSTR ticket) { return p->GetUnattendedModePref(ticket, out); });
}

HRESULT CVTAuthPreferences::GetPersonalDataPref(ENPersonalDataPrefType* out) {
  return Read(out, [&](auto* p, BSTR ticket) { return p->GetPersonalDataPref(ticket, out); });
}

HRESULT CVTAuthPreferences::PutIsReadOnly(VARIANT_BOOL value) {
  return WithPreferences([&](auto* p) { return p->PutIsReadOnly(value); });
}

HRESULT CVTAuthPreferences::PutUnattendedModePref(ENUnattendedModePrefType value) {
  if (value < umptRequired || value > umptOptional) return ReportError(kMsgEnumOutOfRange, kEnumOutOfRange);
  return WithPreferences([&](auto* p) { return p->PutUnattendedModePref(value); });
}

HRESULT CVTAuthPreferences::PutPersonalDataPref(ENPersonalDataPrefType value) {
  if (value < pdptRequired || value > pdptNotNeeded) return ReportError(kMsgEnumOutOfRange, kEnumOutOfRange);
  return WithPreferences([&](auto* p) { return p->PutPersonalDataPref(value); });
}

}  // namespace vtfc4
