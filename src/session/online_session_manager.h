// Internal: the online session manager, VTOESessionManager. There is no request processor and
// no connection: every request document goes whole to the gateway over HTTPS and carries its
// own sign-on section, written from the manager's eight sign-on properties. The first answer
// brings a session ticket; later documents sign on with it.
#ifndef VTFC4_SRC_SESSION_ONLINE_SESSION_MANAGER_H
#define VTFC4_SRC_SESSION_ONLINE_SESSION_MANAGER_H

#include <string>

#include "src/catalogue/engine.h"
#include "src/msgset/msgset_request.h"
#include "src/session/manager_frame.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {

// The ProgID the manager's errors carry as their source.
inline constexpr char kOnlineSessionManagerProgID[] = "VtFC4.VTOESessionManager.1";

// Makes an online manager, standalone or aggregated (see CreateAggregatable).
HRESULT CreateOnlineSessionManager(IUnknown* outer, REFIID riid, void** out);

class CVTOESessionManager final : public ManagerFrame<IVTOESessionManager>,
                                  public SignonWriter,
                                  public SignonTarget {
 public:
  explicit CVTOESessionManager(IUnknown* outer);
  ~CVTOESessionManager() override;
  IUnknown* Inner() { return &inner_; }

  // No connection and no session: these succeed and change nothing.
  HRESULT OpenConnection(BSTR, BSTR) override { return S_OK; }
  HRESULT OpenConnection2(BSTR, BSTR, ENConnectionType) override { return S_OK; }
  HRESULT BeginSession(BSTR, ENOpenMode) override { return S_OK; }
  HRESULT EndSession() override { return S_OK; }
  HRESULT CloseConnection() override { return S_OK; }
  HRESULT CommunicateOutOfProcess(VARIANT_BOOL) override { return S_OK; }
  HRESULT GetCurrentCompanyFileName(BSTR*) override { return S_OK; }

  HRESULT CreateMsgSetRequest(BSTR country, SHORT major, SHORT minor, IMsgSetRequest** out) override;
  HRESULT ToMsgSetResponse(BSTR response, BSTR country, SHORT major, SHORT minor, IMsgSetResponse** out) override;
  HRESULT DoRequests(IMsgSetRequest* request, IMsgSetResponse** out) override;
  HRESULT DoRequestsFromXMLString(BSTR request, IMsgSetResponse** out) override;
  HRESULT get_VTXMLVersionsForSession(SAFEARRAY** out) override;
  HRESULT ToMsgSetRequest(BSTR request, IMsgSetRequest** out) override;

  // The online edition has no subscriptions, events, connection types or authentication
  // preferences: the answer is null (or 0), and the call succeeds.
  HRESULT CreateSubscriptionMsgSetRequest(SHORT, SHORT, ISubscriptionMsgSetRequest** out) override {
    return Nothing(out);
  }
  HRESULT ToSubscriptionMsgSetResponse(BSTR, SHORT, SHORT, ISubscriptionMsgSetResponse** out) override {
    return Nothing(out);
  }
  HRESULT DoSubscriptionRequests(ISubscriptionMsgSetRequest*, ISubscriptionMsgSetResponse** out) override {
    return Nothing(out);
  }
  HRESULT DoSubscriptionRequestsFromXMLString(BSTR, ISubscriptionMsgSetResponse** out) override {
    return Nothing(out);
  }
  HRESULT ToEventsMsgSet(BSTR, SHORT, SHORT, IEventsMsgSet** out) override { return Nothing(out); }
  HRESULT get_ConnectionType(ENConnectionType* out) override {
    if (out) *out = static_cast<ENConnectionType>(0);
    return S_OK;
  }
  HRESULT get_VTAuthPreferences(IVTAuthPreferences** out) override { return Nothing(out); }
  HRESULT get_VTXMLVersionsForSubscription(SAFEARRAY** out) override { return Nothing(out); }

  HRESULT get_ErrorRecoveryID(IVTGUIDType** out) override {
    return out ? CVTSessionBase::get_ErrorRecoveryID(out) : E_POINTER;
  }

  // The sign-on properties.
  HRESULT get_ApplicationLogin(IVTStringType** out) override { return Property(kApplicationLogin, out); }
  HRESULT get_ConnectionTicket(IVTStringType** out) override { return Property(kConnectionTicket, out); }
  HRESULT get_InstallationID(IVTIDType** out) override { return Property(kInstallationID, out); }
  HRESULT get_Language(IVTStringType** out) override { return Property(kLanguage, out); }
  HRESULT get_AppID(IVTStringType** out) override { return Property(kAppID, out); }
  HRESULT get_AppVer(IVTStringType** out) override { return Property(kAppVer, out); }
  HRESULT get_SessionTicket(IVTStringType** out) override { return Property(kSessionTicket, out); }
  HRESULT get_AuthID(IVTIDType** out) override { return Property(kAuthID, out); }

  // The hooks of the error recovery: the record of an online session is named after its
  // connection ticket.
  void ReportRecoveryError(std::string_view text) override;
  bool UsesSanitisedFileName() override { return true; }
  std::string GetTicketText() override;
  HRESULT GetCompanyFileText(std::string& out) override;

  // The sign-on section of a set attached to this manager: written, or only verified.
  HRESULT BuildSignonMsgs(XMLBuilderInterface& builder, std::string& errors, bool verifyOnly) override;
  // The sign-on objects that documents read on this manager's behalf fill.
  SAXParseable* SignonFace(int tag) override;

 private:
  // The sign-on properties, in the order of their dispatch identifiers.
  enum SignonProperty { kApplicationLogin, kConnectionTicket, kInstallationID, kLanguage, kAppID, kAppVer,
                        kSessionTicket, kAuthID, kPropertyCount };
  // The four sign-on objects.
  enum SignonObject { kDesktopRq, kTicketRq, kDesktopRs, kTicketRs, kObjectCount };

  template <class I>
  HRESULT Property(SignonProperty which, I** out) {
    return PropertyCom(which, iid_of<I>(), reinterpret_cast<void**>(out));
  }
  HRESULT PropertyCom(SignonProperty which, REFIID iid, void** out);
  // The property's value object, made when there is none yet; null when memory runs out.
  ObjectRoot* PropertyValue(SignonProperty which);
  // The property's text when its object exists and is set.
  bool PropertyText(SignonProperty which, std::string& out) const;
  template <class P>
  static HRESULT Nothing(P* out) {
    if (out) *out = nullptr;
    return S_OK;
  }

  // Replaces the two request objects (or the two answer objects) with empty ones; false when
  // one cannot be made.
  bool ClearSignon(SignonObject first);
  CatalogueBase* Signon(SignonObject which) const;
  // The sets this manager makes and reads carry it as their online session.
  OnlineSignon Session();
  // After an answer is read: a session ticket the desktop sign-on answer carried becomes the
  // manager's, so that the next document signs on with it.
  void TakeSessionTicket();
  HRESULT Report(UINT message, HRESULT status) const;

  InnerUnknown<CVTOESessionManager> inner_{*this};

  RootRef properties_[kPropertyCount];
  RootRef signon_[kObjectCount];
  VersionContextPtr signonContext_;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_ONLINE_SESSION_MANAGER_H
