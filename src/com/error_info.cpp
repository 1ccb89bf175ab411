// Error objects and the calling thread's current error object.
#include <mutex>
#include <utility>

#include "src/com/object.h"
#include "vtfc4/com.h"

namespace vtfc4 {
namespace {

// A copy of `text` for the object to keep (null stays null); false when memory runs out.
bool CopyText(LPCOLESTR text, BSTR* slot) {
  BSTR copy = nullptr;
  if (text) {
    copy = SysAllocString(text);
    if (!copy) return false;
  }
  SysFreeString(std::exchange(*slot, copy));
  return true;
}

// Hands a copy of `text` to an out-parameter (null stays null).
HRESULT HandOutCopy(BSTR text, BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!text) return S_OK;
  *out = SysAllocStringByteLen(reinterpret_cast<const char*>(text), SysStringByteLen(text));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// One object answers IUnknown, IErrorInfo and ICreateErrorInfo; what is set through the one
// face is read through the other. A mutex guards the fields, as an error object may be
// handed to another thread.
class ErrorInfo final : public ComObject<IErrorInfo, ICreateErrorInfo> {
 public:
  ErrorInfo() = default;
  ~ErrorInfo() override {
    SysFreeString(source_);
    SysFreeString(description_);
    SysFreeString(helpFile_);
  }

  // IErrorInfo
  HRESULT GetGUID(GUID* guid) override {
    if (!guid) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    *guid = guid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* source) override {
    std::lock_guard lock(mutex_);
    return HandOutCopy(source_, source);
  }
  HRESULT GetDescription(BSTR* description) override {
    std::lock_guard lock(mutex_);
    return HandOutCopy(description_, description);
  }
  HRESULT GetHelpFile(BSTR* helpFile) override {
    std::lock_guard lock(mutex_);
    return HandOutCopy(helpFile_, helpFile);
  }
  HRESULT GetHelpContext(DWORD* helpContext) override {
    if (!helpContext) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    *helpContext = helpContext_;
    return S_OK;
  }

  // ICreateErrorInfo
  HRESULT SetGUID(REFGUID guid) override {
    std::lock_guard lock(mutex_);
    guid_ = guid;
    return S_OK;
  }
  HRESULT SetSource(LPOLESTR source) override {
    std::lock_guard lock(mutex_);
    return CopyText(source, &source_) ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT SetDescription(LPOLESTR description) override {
    std::lock_guard lock(mutex_);
    return CopyText(description, &description_) ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT SetHelpFile(LPOLESTR helpFile) override {
    std::lock_guard lock(mutex_);
    return CopyText(helpFile, &helpFile_) ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT SetHelpContext(DWORD helpContext) override {
    std::lock_guard lock(mutex_);
    helpContext_ = helpContext;
    return S_OK;
  }

 private:
  std::mutex mutex_;
  GUID guid_ = GUID_NULL;
  BSTR source_ = nullptr;
  BSTR description_ = nullptr;
  BSTR helpFile_ = nullptr;
  DWORD helpContext_ = 0;
};

// The thread's current error object; the reference it holds is released at thread exit.
struct CurrentError {
  IErrorInfo* info = nullptr;
  ~CurrentError() {
    // Cleared before the release, in case the object's destruction reports an error itself.
    if (IErrorInfo* p = std::exchange(info, nullptr)) p->Release();
  }
};
thread_local CurrentError tCurrentError;

}  // namespace
}  // namespace vtfc4

extern "C" {

VTFC4_API HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
  return vtfc4::HandOut<ICreateErrorInfo>(vtfc4::MakeObject<vtfc4::ErrorInfo>(), out);
}

// Holds `info` (null clears the slot) and releases the object held before.
VTFC4_API HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
  if (reserved != 0) return E_INVALIDARG;
  if (info) info->AddRef();
  IErrorInfo* old = std::exchange(vtfc4::tCurrentError.info, info);
  if (old) old->Release();
  return S_OK;
}

// Hands the held reference to the caller and clears the slot; S_FALSE and null when empty.
VTFC4_API HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (reserved != 0) return E_INVALIDARG;
  *out = std::exchange(vtfc4::tCurrentError.info, nullptr);
  return *out ? S_OK : S_FALSE;
}

}  // extern "C"
