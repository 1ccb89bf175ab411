// Internal: the authentication preferences of a session manager. They hold no values of their
// own: every call goes to the request processor's preferences, with the manager's ticket for
// the reads.
#ifndef VTFC4_SRC_SESSION_AUTH_PREFERENCES_H
#define VTFC4_SRC_SESSION_AUTH_PREFERENCES_H

#include "src/com/object.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {

class CVTSessionManager;

class CVTAuthPreferences final : public ComObject<IVTAuthPreferences, ISupportErrorInfo> {
 public:
  // Connects the object to the processor's preferences of the manager's choice and to the
  // manager, which it does not hold.
  void Attach(CVTSessionManager* manager, ComPtr<IRequestProcessorAuthPrefs> inProcess,
              ComPtr<IRequestProcessorExAuthPrefs> outOfProcess);
  // The manager is going: reads then report that no session was begun.
  void Detach() { manager_ = nullptr; }

  HRESULT WasAuthPreferencesObeyed(VARIANT_BOOL* out) override;
  HRESULT GetIsReadOnly(VARIANT_BOOL* out) override;
  HRESULT PutIsReadOnly(VARIANT_BOOL value) override;
  HRESULT GetUnattendedModePref(ENUnattendedModePrefType* out) override;
  HRESULT PutUnattendedModePref(ENUnattendedModePrefType value) override;
  HRESULT GetPersonalDataPref(ENPersonalDataPrefType* out) override;
  HRESULT PutPersonalDataPref(ENPersonalDataPrefType value) override;

 private:
  // Calls `call` on whichever preferences the manager's processor has.
  template <class Call>
  HRESULT WithPreferences(Call call) {
    return outOfProcess_ ? call(outOfProcess_.Get()) : call(inProcess_.Get());
  }
  // A read: the ticket is needed.
  template <class Call>
  HRESULT Read(const void* out, Call call);

  ComPtr<IRequestProcessorExAuthPrefs> outOfProcess_;
  ComPtr<IRequestProcessorAuthPrefs> inProcess_;
  CVTSessionManager* manager_ = nullptr;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_AUTH_PREFERENCES_H
