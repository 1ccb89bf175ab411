// Internal: what the session managers share, automatic error recovery. With recovery enabled
// every request set gets a message set identifier, and before its text is sent it is stored,
// enciphered, in a record file of this recovery identifier and company file. After a crash or
// a broken connection a client finds the record, asks the application for the status of that
// set, gets the saved request back and clears the record.
//
// The managers implement the eight hooks and forward their interfaces' operations of the same
// names to the nine public operations here.
#ifndef VTFC4_SRC_SESSION_SESSION_BASE_H
#define VTFC4_SRC_SESSION_SESSION_BASE_H

#include <string>
#include <string_view>

#include "vtfc4/comptr.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {

// The text of an error-recovery code ("Could not set MessageSetID - 24"), or its number as
// text when the table has none.
std::string RecoveryCodeText(int code);

class CVTSessionBase {
 public:
  CVTSessionBase() = default;
  CVTSessionBase(const CVTSessionBase&) = delete;
  CVTSessionBase& operator=(const CVTSessionBase&) = delete;
  virtual ~CVTSessionBase() = default;

  virtual HRESULT IsErrorRecoveryInfo(VARIANT_BOOL* out);
  virtual HRESULT ClearErrorRecovery();
  virtual HRESULT put_EnableErrorRecovery(VARIANT_BOOL value);
  virtual HRESULT get_EnableErrorRecovery(VARIANT_BOOL* out);
  virtual HRESULT put_SaveAllMsgSetRequestInfo(VARIANT_BOOL value);
  virtual HRESULT get_SaveAllMsgSetRequestInfo(VARIANT_BOOL* out);
  virtual HRESULT GetErrorRecoveryStatus(IMsgSetResponse** out);
  virtual HRESULT GetSavedMsgSetRequest(IMsgSetRequest** out);
  virtual HRESULT get_ErrorRecoveryID(IVTGUIDType** out);

  // ---- The hooks.
  virtual HRESULT ToMsgSetRequest(BSTR text, IMsgSetRequest** out) = 0;
  virtual HRESULT CreateMsgSetRequest(BSTR country, SHORT major, SHORT minor, IMsgSetRequest** out) = 0;
  virtual HRESULT DoRequests(IMsgSetRequest* set, IMsgSetResponse** out) = 0;
  virtual HRESULT VTXMLVersionsForSession(SAFEARRAY** out) = 0;
  // Reports `text` through ReportRecoveryErrorFrom with the manager's own source.
  virtual void ReportRecoveryError(std::string_view text) = 0;
  virtual bool UsesSanitisedFileName() = 0;
  // The session ticket as narrow text; empty when there is none.
  virtual std::string GetTicketText() = 0;
  virtual HRESULT GetCompanyFileText(std::string& out) = 0;

  // ---- Used on the manager's road.

  // Gives the set a new message set identifier when recovery is enabled and it has none, and
  // clears an old identifier equal to the new one.
  HRESULT SetMessageSetIDs(IMsgSetRequest* set);
  // Stores the request text, enciphered, just before it is sent (recovery enabled only); an
  // existing record refuses the send with message 21.
  HRESULT SaveRequestForRecovery(std::string_view text);
  // The vtXML version and country written in a request text. Both numbers start at 0; the
  // country is written only when found.
  HRESULT ParseVersionAndCountry(std::string_view text, int32_t& country, int16_t& major, int16_t& minor);
  // The UTC time as "%Y%m%d%H%M%S" and the first 9 characters of the ticket.
  std::string MakeMessageSetID();

  bool RecoveryEnabled() const { return enabled_ != 0; }

  // The library's version, 4.0 release 1, as both managers answer GetVersion.
  static HRESULT LibraryVersion(SHORT* major, SHORT* minor, ENReleaseLevel* releaseLevel, SHORT* releaseNumber);

 protected:
  // The reporter of recovery failures: the description already current on this thread, ", "
  // and `text`; or the prefix "Automated Error Recovery Error - " and `text` when there is
  // none. Installed as the thread's error with `source` (a ProgID, or null).
  static void ReportRecoveryErrorFrom(const char* source, std::string_view text);

  HRESULT GetErrorRecoveryFilePath(std::string& out);
  HRESULT WriteRecoveryFile(const std::string& path, std::string_view content);
  HRESULT ReadRecoveryFile(const std::string& path, std::string& text);
  HRESULT ReadSavedRecoveryInfo(const std::string& path, std::string& id, int32_t& country, int16_t& major,
                                int16_t& minor);
  HRESULT QueryRecoveryStatus(IMsgSetResponse** out, const std::string& id, int32_t country, int16_t major,
                              int16_t minor);
  HRESULT ClearRecoveryStatus(const std::string& id, int32_t country, int16_t major, int16_t minor);

 private:
  // The first steps of both readers of a record, with each reader's codes (for the check,
  // for no record, for the path): the record must exist, and its path.
  HRESULT LocateRecord(const int (&codes)[3], std::string& path);
  // Reports code `code` and returns `status`.
  HRESULT Fail(int code, HRESULT status);
  // The set made for a status query or a clearing; codes for its create, attributes and put.
  HRESULT MakeRecoverySet(const std::string& id, bool setNew, int32_t country, int16_t major, int16_t minor,
                          const int (&codes)[4], ComPtr<IMsgSetRequest>& set);

  int enabled_ = 0;
  int saveAll_ = 0;
  ComPtr<IVTGUIDType> id_;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_SESSION_BASE_H
