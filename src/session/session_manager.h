// Internal: the desktop session manager, VTSessionManager.
#ifndef VTFC4_SRC_SESSION_SESSION_MANAGER_H
#define VTFC4_SRC_SESSION_SESSION_MANAGER_H

#include <string>

#include "src/session/auth_preferences.h"
#include "src/session/manager_frame.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {

// The ProgID the manager's errors carry as their source.
inline constexpr char kSessionManagerProgID[] = "VTFC4.VTSessionManager.1";

// Makes a manager. With an outer object (which must ask for IUnknown) the manager is
// aggregated: `out` receives its inner unknown, and its other interfaces answer through the
// outer object.
HRESULT CreateSessionManager(IUnknown* outer, REFIID riid, void** out);

class CVTSessionManager final : public ManagerFrame<IVTSessionManager> {
 public:
  explicit CVTSessionManager(IUnknown* outer);
  ~CVTSessionManager() override;
  IUnknown* Inner() { return &inner_; }

  HRESULT OpenConnection(BSTR appID, BSTR appName) override;
  HRESULT BeginSession(BSTR vtFile, ENOpenMode openMode) override;
  HRESULT EndSession() override;
  HRESULT CloseConnection() override;
  HRESULT GetCurrentCompanyFileName(BSTR* out) override;
  HRESULT CreateMsgSetRequest(BSTR country, SHORT major, SHORT minor, IMsgSetRequest** out) override;
  HRESULT ToMsgSetResponse(BSTR response, BSTR country, SHORT major, SHORT minor, IMsgSetResponse** out) override;
  HRESULT DoRequests(IMsgSetRequest* request, IMsgSetResponse** out) override;
  HRESULT DoRequestsFromXMLString(BSTR request, IMsgSetResponse** out) override;
  HRESULT get_VTXMLVersionsForSession(SAFEARRAY** out) override;
  HRESULT CreateSubscriptionMsgSetRequest(SHORT major, SHORT minor, ISubscriptionMsgSetRequest** out) override;
  HRESULT ToSubscriptionMsgSetResponse(BSTR response, SHORT major, SHORT minor,
                                       ISubscriptionMsgSetResponse** out) override;
  HRESULT DoSubscriptionRequests(ISubscriptionMsgSetRequest* request, ISubscriptionMsgSetResponse** out) override;
  HRESULT DoSubscriptionRequestsFromXMLString(BSTR request, ISubscriptionMsgSetResponse** out) override;
  HRESULT ToEventsMsgSet(BSTR events, SHORT major, SHORT minor, IEventsMsgSet** out) override;
  HRESULT ToMsgSetRequest(BSTR request, IMsgSetRequest** out) override;
  HRESULT get_ConnectionType(ENConnectionType* out) override;
  HRESULT OpenConnection2(BSTR appID, BSTR appName, ENConnectionType connectionType) override;
  HRESULT get_VTAuthPreferences(IVTAuthPreferences** out) override;
  HRESULT CommunicateOutOfProcess(VARIANT_BOOL useOutOfProcess) override;
  HRESULT get_VTXMLVersionsForSubscription(SAFEARRAY** out) override;

  // The hooks of the error recovery.
  void ReportRecoveryError(std::string_view text) override;
  bool UsesSanitisedFileName() override { return false; }
  std::string GetTicketText() override;
  HRESULT GetCompanyFileText(std::string& out) override;

  // Creates the request processor the first time one is needed.
  virtual HRESULT EnsureRequestProcessor();
  // The session ticket (null before BeginSession, empty after EndSession), for the
  // authentication preferences.
  BSTR Ticket() const { return ticket_; }

 private:
  // Calls `call` on whichever processor the manager uses.
  template <class Call>
  HRESULT WithProcessor(Call call) {
    return outOfProcess_ ? call(outOfProcess_.Get()) : call(inProcess_.Get());
  }

  InnerUnknown<CVTSessionManager> inner_{*this};

  bool connectionOpen_ = false;
  bool sessionBegun_ = false;
  BSTR ticket_ = nullptr;
  ComPtr<IRequestProcessor2> inProcess_;
  ComPtr<IRequestProcessorEx2> outOfProcess_;
  bool useOutOfProcess_ = false;
  std::string companyFile_;
  ComPtr<CVTAuthPreferences> authPreferences_;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_SESSION_MANAGER_H
