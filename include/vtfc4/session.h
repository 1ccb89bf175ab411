// The session manager: the object a client creates first. It opens a connection to the
// accounting application and a session on one company file through the request processor,
// hands out message set requests bound to a country and a vtXML version, sends them and turns
// the answers into response objects. It also converts between text and objects without a
// connection and carries automatic error recovery.
#ifndef VTFC4_SESSION_H
#define VTFC4_SESSION_H

#include "vtfc4/msgset.h"
#include "vtfc4/processor.h"

extern "C" {
VTFC4_API extern const IID IID_IVTAuthPreferences;
VTFC4_API extern const IID IID_IVTSessionManager;
VTFC4_API extern const CLSID CLSID_VTSessionManager;
VTFC4_API extern const IID IID_IVTOESessionManager;
VTFC4_API extern const CLSID CLSID_VTOESessionManager;

// The entry points of the library as an in-process server.
VTFC4_API HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** out);
VTFC4_API HRESULT DllCanUnloadNow();
// Self-registration into the registry file: the ProgIDs and class keys of the creatable
// classes (with the library's path), and the type library.
VTFC4_API HRESULT DllRegisterServer();
VTFC4_API HRESULT DllUnregisterServer();
}

// Authentication preferences, passed straight to the request processor (dispatch ids 1-7).
struct IVTAuthPreferences : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT WasAuthPreferencesObeyed(VARIANT_BOOL* out) = 0;
  virtual HRESULT GetIsReadOnly(VARIANT_BOOL* out) = 0;
  virtual HRESULT PutIsReadOnly(VARIANT_BOOL value) = 0;
  virtual HRESULT GetUnattendedModePref(ENUnattendedModePrefType* out) = 0;
  virtual HRESULT PutUnattendedModePref(ENUnattendedModePrefType value) = 0;
  virtual HRESULT GetPersonalDataPref(ENPersonalDataPrefType* out) = 0;
  virtual HRESULT PutPersonalDataPref(ENPersonalDataPrefType value) = 0;
};

// Dispatch ids 1 to 29 in slot order (a property's put and get share one id).
struct IVTSessionManager : public IDispatch {
  typedef IDispatch base_interface;
  virtual HRESULT OpenConnection(BSTR appID, BSTR appName) = 0;
  virtual HRESULT BeginSession(BSTR vtFile, ENOpenMode openMode) = 0;
  virtual HRESULT EndSession() = 0;
  virtual HRESULT CloseConnection() = 0;
  virtual HRESULT GetCurrentCompanyFileName(BSTR* out) = 0;
  virtual HRESULT CreateMsgSetRequest(BSTR country, SHORT vtXMLMajorVersion, SHORT vtXMLMinorVersion,
                                      IMsgSetRequest** out) = 0;
  virtual HRESULT ToMsgSetResponse(BSTR response, BSTR country, SHORT vtXMLMajorVersion,
                                   SHORT vtXMLMinorVersion, IMsgSetResponse** out) = 0;
  virtual HRESULT DoRequests(IMsgSetRequest* request, IMsgSetResponse** out) = 0;
  virtual HRESULT GetVersion(SHORT* major, SHORT* minor, ENReleaseLevel* releaseLevel, SHORT* releaseNumber) = 0;
  virtual HRESULT DoRequestsFromXMLString(BSTR request, IMsgSetResponse** out) = 0;
  virtual HRESULT get_VTXMLVersionsForSession(SAFEARRAY** out) = 0;
  virtual HRESULT CreateSubscriptionMsgSetRequest(SHORT major, SHORT minor, ISubscriptionMsgSetRequest** out) = 0;
  virtual HRESULT ToSubscriptionMsgSetResponse(BSTR response, SHORT major, SHORT minor,
                                               ISubscriptionMsgSetResponse** out) = 0;
  virtual HRESULT DoSubscriptionRequests(ISubscriptionMsgSetRequest* request, ISubscriptionMsgSetResponse** out) = 0;
  virtual HRESULT DoSubscriptionRequestsFromXMLString(BSTR request, ISubscriptionMsgSetResponse** out) = 0;
  virtual HRESULT ToEventsMsgSet(BSTR events, SHORT major, SHORT minor, IEventsMsgSet** out) = 0;
  virtual HRESULT ToMsgSetRequest(BSTR request, IMsgSetRequest** out) = 0;
  virtual HRESULT IsErrorRecoveryInfo(VARIANT_BOOL* out) = 0;
  virtual HRESULT ClearErrorRecovery() = 0;
  virtual HRESULT put_EnableErrorRecovery(VARIANT_BOOL value) = 0;
  virtual HRESULT get_EnableErrorRecovery(VARIANT_BOOL* out) = 0;
  virtual HRESULT put_SaveAllMsgSetRequestInfo(VARIANT_BOOL value) = 0;
  virtual HRESULT get_SaveAllMsgSetRequestInfo(VARIANT_BOOL* out) = 0;
  virtual HRESULT GetErrorRecoveryStatus(IMsgSetResponse** out) = 0;
  virtual HRESULT GetSavedMsgSetRequest(IMsgSetRequest** out) = 0;
  virtual HRESULT get_ErrorRecoveryID(IVTGUIDType** out) = 0;
  virtual HRESULT get_ConnectionType(ENConnectionType* out) = 0;
  virtual HRESULT OpenConnection2(BSTR appID, BSTR appName, ENConnectionType connectionType) = 0;
  virtual HRESULT get_VTAuthPreferences(IVTAuthPreferences** out) = 0;
  virtual HRESULT CommunicateOutOfProcess(VARIANT_BOOL useOutOfProcess) = 0;
  virtual HRESULT get_VTXMLVersionsForSubscription(SAFEARRAY** out) = 0;
};

// The online session manager ("VtFC4.VTOESessionManager"): every request document goes by
// HTTPS to the application's gateway and carries its own sign-on. The operations of
// IVTSessionManager keep their slots and dispatch ids; the eight sign-on properties follow
// (dispatch ids 30 to 37), each a value object made on first read. The client fills AppID,
// AppVer, Language, ApplicationLogin and ConnectionTicket (InstallationID when it has one)
// once; the first answer brings a session ticket, with which later requests sign on.
struct IVTOESessionManager : public IVTSessionManager {
  typedef IVTSessionManager base_interface;
  virtual HRESULT get_ApplicationLogin(IVTStringType** out) = 0;
  virtual HRESULT get_ConnectionTicket(IVTStringType** out) = 0;
  virtual HRESULT get_InstallationID(IVTIDType** out) = 0;
  virtual HRESULT get_Language(IVTStringType** out) = 0;
  virtual HRESULT get_AppID(IVTStringType** out) = 0;
  virtual HRESULT get_AppVer(IVTStringType** out) = 0;
  virtual HRESULT get_SessionTicket(IVTStringType** out) = 0;
  virtual HRESULT get_AuthID(IVTIDType** out) = 0;
};

VTFC4_IID_TRAIT(IVTAuthPreferences)
VTFC4_IID_TRAIT(IVTSessionManager)
VTFC4_IID_TRAIT(IVTOESessionManager)

#endif  // VTFC4_SESSION_H
