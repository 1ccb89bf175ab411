// Internal: what both session managers are as COM objects. Each answers through its
// controlling unknown (the outer object when it is aggregated), supports error information for
// its own interface, is late bound through the type library, carries the error recovery of
// CVTSessionBase and tells the library's version. Only the operations of the manager's own
// edition are left to the manager.
#ifndef VTFC4_SRC_SESSION_MANAGER_FRAME_H
#define VTFC4_SRC_SESSION_MANAGER_FRAME_H

#include "src/com/aggregation.h"
#include "src/com/error.h"
#include "src/com/object.h"
#include "src/com/text.h"
#include "src/session/session_base.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {

template <class Interface>
class ManagerFrame : public ISupportErrorInfo, public Interface, public CVTSessionBase {
 public:
  // `controlling`: the outer object, or the manager's own inner unknown.
  explicit ManagerFrame(IUnknown* controlling) : controlling_(controlling) {
    ModuleLockCount().fetch_add(1, std::memory_order_relaxed);
  }
  ~ManagerFrame() override { ModuleLockCount().fetch_sub(1, std::memory_order_relaxed); }

  HRESULT QueryInterface(REFIID riid, void** out) override { return controlling_->QueryInterface(riid, out); }
  ULONG AddRef() override { return controlling_->AddRef(); }
  ULONG Release() override { return controlling_->Release(); }
  // The interfaces the inner unknown answers besides IUnknown: the manager's own and those it
  // derives from (IDispatch among them), and ISupportErrorInfo.
  void* OwnInterface(REFIID riid) {
    if (internal::Implements<Interface>(riid)) return static_cast<Interface*>(this);
    if (IsEqualGUID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualGUID(riid, iid_of<Interface>()) ? S_OK : S_FALSE;
  }

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    return DispatchTypeInfo(iid_of<Interface>(), index, info);
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispatchGetIDsOfNames(iid_of<Interface>(), names, count, ids);
  }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                 UINT* argError) override {
    return DispatchCall(iid_of<Interface>(), static_cast<Interface*>(this), dispid, flags, params, result, exception,
                        argError);
  }

  HRESULT GetVersion(SHORT* major, SHORT* minor, ENReleaseLevel* releaseLevel, SHORT* releaseNumber) override {
    return LibraryVersion(major, minor, releaseLevel, releaseNumber);
  }

  HRESULT IsErrorRecoveryInfo(VARIANT_BOOL* out) override { return CVTSessionBase::IsErrorRecoveryInfo(out); }
  HRESULT ClearErrorRecovery() override { return CVTSessionBase::ClearErrorRecovery(); }
  HRESULT put_EnableErrorRecovery(VARIANT_BOOL value) override { return CVTSessionBase::put_EnableErrorRecovery(value); }
  HRESULT get_EnableErrorRecovery(VARIANT_BOOL* out) override { return CVTSessionBase::get_EnableErrorRecovery(out); }
  HRESULT put_SaveAllMsgSetRequestInfo(VARIANT_BOOL value) override {
    return CVTSessionBase::put_SaveAllMsgSetRequestInfo(value);
  }
  HRESULT get_SaveAllMsgSetRequestInfo(VARIANT_BOOL* out) override {
    return CVTSessionBase::get_SaveAllMsgSetRequestInfo(out);
  }
  HRESULT GetErrorRecoveryStatus(IMsgSetResponse** out) override { return CVTSessionBase::GetErrorRecoveryStatus(out); }
  HRESULT GetSavedMsgSetRequest(IMsgSetRequest** out) override { return CVTSessionBase::GetSavedMsgSetRequest(out); }
  HRESULT get_ErrorRecoveryID(IVTGUIDType** out) override { return CVTSessionBase::get_ErrorRecoveryID(out); }

  // The hooks that name operations of the interface call them through it.
  HRESULT VTXMLVersionsForSession(SAFEARRAY** out) override {
    return static_cast<Interface*>(this)->get_VTXMLVersionsForSession(out);
  }

 protected:
  // The road of DoRequests once the set is known to be the manager's: a message set
  // identifier when recovery wants one, the set verified (its report the error, with `source`),
  // written, and its text sent through the interface, so that a client sees one road.
  HRESULT SendSet(IMsgSetRequest* request, IMsgSetResponse** out, const char* source) {
    if (HRESULT hr = SetMessageSetIDs(request); FAILED(hr)) return hr;
    Bstr errors;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (HRESULT hr = request->Verify(errors.Put(), &ok); FAILED(hr)) return hr;
    if (ok != VARIANT_TRUE) return ReportErrorText(ToNarrow(errors.Get()), kVerifyFailed, source);
    Bstr text;
    if (HRESULT hr = request->ToXMLString(text.Put()); FAILED(hr)) return hr;
    return static_cast<Interface*>(this)->DoRequestsFromXMLString(text.Get(), out);
  }

  IUnknown* controlling_;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_MANAGER_FRAME_H
