// The request processor: the component that carries vtXML texts into the accounting
// application. The library only calls it; a replacement must answer these operations in this
// order and with these arguments. The in-process variant (VTXMLRP2) is asked for
// IRequestProcessor2, the out-of-process one (VTXMLRP2e) for IRequestProcessorEx2.
#ifndef VTFC4_PROCESSOR_H
#define VTFC4_PROCESSOR_H

#include "vtfc4/com.h"
#include "vtfc4/gen/enums.h"

extern "C" {
VTFC4_API extern const IID IID_IRequestProcessorAuthPrefs;
VTFC4_API extern const IID IID_IRequestProcessorExAuthPrefs;
VTFC4_API extern const IID IID_IRequestProcessor;
VTFC4_API extern const IID IID_IRequestProcessor2;
VTFC4_API extern const IID IID_IRequestProcessorEx;
VTFC4_API extern const IID IID_IRequestProcessorEx2;
VTFC4_API extern const CLSID CLSID_VTXMLRP2;
VTFC4_API extern const CLSID CLSID_VTXMLRP2e;
}

// The authentication preferences a processor keeps for its connection.
#define VTFC4_PROCESSOR_AUTH_PREFS_METHODS                                                   \
  virtual HRESULT WasAuthPreferencesObeyed(BSTR ticket, VARIANT_BOOL* out) = 0;              \
  virtual HRESULT GetIsReadOnly(BSTR ticket, VARIANT_BOOL* out) = 0;                         \
  virtual HRESULT PutIsReadOnly(VARIANT_BOOL value) = 0;                                     \
  virtual HRESULT GetUnattendedModePref(BSTR ticket, ENUnattendedModePrefType* out) = 0;     \
  virtual HRESULT PutUnattendedModePref(ENUnattendedModePrefType value) = 0;                 \
  virtual HRESULT GetPersonalDataPref(BSTR ticket, ENPersonalDataPrefType* out) = 0;         \
  virtual HRESULT PutPersonalDataPref(ENPersonalDataPrefType value) = 0;

struct IRequestProcessorAuthPrefs : public IDispatch {
  typedef IDispatch base_interface;
  VTFC4_PROCESSOR_AUTH_PREFS_METHODS
};

struct IRequestProcessorExAuthPrefs : public IDispatch {
  typedef IDispatch base_interface;
  VTFC4_PROCESSOR_AUTH_PREFS_METHODS
};

// The operations from the third on, the same in both variants. Positions 7 to 10 belong to
// the component and are never called by the library.
#define VTFC4_PROCESSOR_COMMON_METHODS                                                       \
  virtual HRESULT CloseConnection() = 0;                                                     \
  virtual HRESULT BeginSession(BSTR fileName, ENOpenMode openMode, BSTR* ticket) = 0;        \
  virtual HRESULT EndSession(BSTR ticket) = 0;                                               \
  virtual HRESULT GetCurrentCompanyFileName(BSTR ticket, BSTR* fileName) = 0;                \
  virtual HRESULT ReservedSlot7() = 0;                                                       \
  virtual HRESULT ReservedSlot8() = 0;                                                       \
  virtual HRESULT ReservedSlot9() = 0;                                                       \
  virtual HRESULT ReservedSlot10() = 0;                                                      \
  virtual HRESULT get_VTXMLVersionsForSession(BSTR ticket, SAFEARRAY** out) = 0;             \
  virtual HRESULT get_ConnectionType(ENConnectionType* out) = 0;                             \
  virtual HRESULT ProcessSubscription(BSTR request, BSTR* response) = 0;                     \
  virtual HRESULT get_VTXMLVersionsForSubscription(SAFEARRAY** out) = 0;

struct IRequestProcessor : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT ProcessRequest(BSTR ticket, BSTR request, BSTR* response) = 0;
  virtual HRESULT OpenConnection(BSTR appID, BSTR appName) = 0;
  VTFC4_PROCESSOR_COMMON_METHODS
};

struct IRequestProcessor2 : public IRequestProcessor {
  typedef IRequestProcessor base_interface;
  virtual HRESULT OpenConnection2(BSTR appID, BSTR appName, ENConnectionType connectionType) = 0;
  virtual HRESULT get_AuthPreferences(IRequestProcessorAuthPrefs** out) = 0;
};

struct IRequestProcessorEx : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT OpenConnection(BSTR appID, BSTR appName) = 0;
  virtual HRESULT ProcessRequest(BSTR ticket, BSTR request, BSTR* response) = 0;
  VTFC4_PROCESSOR_COMMON_METHODS
};

struct IRequestProcessorEx2 : public IRequestProcessorEx {
  typedef IRequestProcessorEx base_interface;
  virtual HRESULT OpenConnection2(BSTR appID, BSTR appName, ENConnectionType connectionType) = 0;
  virtual HRESULT get_AuthPreferences(IRequestProcessorExAuthPrefs** out) = 0;
};

VTFC4_IID_TRAIT(IRequestProcessorAuthPrefs)
VTFC4_IID_TRAIT(IRequestProcessorExAuthPrefs)
VTFC4_IID_TRAIT(IRequestProcessor)
VTFC4_IID_TRAIT(IRequestProcessor2)
VTFC4_IID_TRAIT(IRequestProcessorEx)
VTFC4_IID_TRAIT(IRequestProcessorEx2)

#endif  // VTFC4_PROCESSOR_H
