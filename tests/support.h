// Helpers shared by the test suites.
#ifndef VTFC4_TESTS_SUPPORT_H
#define VTFC4_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "src/com/object.h"
#include "src/com/text.h"
#include "src/core/element.h"
#include "src/core/xml_builder.h"
#include "vtfc4/comptr.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// What TakeError answers when the thread has no current error object.
inline constexpr const char* kNoErrorObject = "<no error object>";

// The description of the calling thread's current error object, which is taken (so the next
// check starts clean); kNoErrorObject when there is none.
inline std::string TakeError() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return kNoErrorObject;
  Bstr description;
  info->GetDescription(description.Put());
  return ToNarrow(description.Get());
}

// The same, with the empty text when there is no error object.
inline std::string TakeErrorDescription() {
  std::string description = TakeError();
  return description == kNoErrorObject ? std::string() : description;
}

// A call's status and the description of the error object it left (none by default).
inline void ExpectStatus(const char* what, HRESULT got, HRESULT status,
                         const std::string& description = kNoErrorObject) {
  SCOPED_TRACE(what);
  EXPECT_EQ(got, status);
  EXPECT_EQ(TakeError(), description);
}

// The object's type: made once and kept, with its ENObjectType value and name.
inline void ExpectObjectType(IVTBase* object, SHORT value, const char16_t* name) {
  ComPtr<IObjectType> type, again;
  ASSERT_EQ(object->get_Type(type.Put()), S_OK);
  ASSERT_EQ(object->get_Type(again.Put()), S_OK);
  EXPECT_EQ(type.Get(), again.Get()) << "made once and kept";
  SHORT got = 0;
  ASSERT_EQ(type->GetValue(&got), S_OK);
  EXPECT_EQ(got, value);
  Bstr text;
  ASSERT_EQ(type->GetAsString(text.Put()), S_OK);
  EXPECT_EQ(std::u16string(text.Get()), name);
}

// An IErrorInfo (and so an IUnknown) that counts its references and never deletes itself.
class CountingErrorInfo : public IErrorInfo {
 public:
  virtual ~CountingErrorInfo() = default;
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IErrorInfo)) {
      *out = static_cast<IErrorInfo*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetGUID(GUID*) override { return E_NOTIMPL; }
  HRESULT GetSource(BSTR*) override { return E_NOTIMPL; }
  HRESULT GetDescription(BSTR*) override { return E_NOTIMPL; }
  HRESULT GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  HRESULT GetHelpContext(DWORD*) override { return E_NOTIMPL; }

  std::atomic<ULONG> refs{1};  // the test's own reference
};

// The status codes a client sees, by their numbers (not by the library's names for them).
inline constexpr HRESULT kNotSetStatus = VTFC4_HR(0x80040300);
inline constexpr HRESULT kRangeStatus = VTFC4_HR(0x80040303);  // also an index out of range
inline constexpr HRESULT kTooLongStatus = VTFC4_HR(0x80040304);
inline constexpr HRESULT kFormatStatus = VTFC4_HR(0x80040305);
inline constexpr HRESULT kEmptyStatus = VTFC4_HR(0x80040306);

// Every test of a fixture derived from this starts and ends without a current error object.
class WithoutErrorObject : public ::testing::Test {
 protected:
  void SetUp() override { TakeError(); }
  void TearDown() override { TakeError(); }
};

// Owns the one reference a factory hands over, and shows the object as class T.
template <class T>
class Own {
 public:
  explicit Own(ObjectRoot* made) : ref_(made) {
    if (made) made->ReleaseRoot();
  }
  T* operator->() const { return get(); }
  T& operator*() const { return *get(); }
  T* get() const { return dynamic_cast<T*>(ref_.Get()); }

 private:
  RootRef ref_;
};

// Interface I of an object; the caller's own reference keeps the object alive.
template <class I>
I* Face(ObjectRoot* root) {
  void* p = nullptr;
  if (root->QueryRoot(iid_of<I>(), &p) != S_OK) return nullptr;
  root->ReleaseRoot();
  return static_cast<I*>(p);
}

// A BSTR of narrow text in the thread's code page.
inline Bstr Wide(std::string_view text) { return Bstr::Adopt(ToBstr(std::string(text))); }
// The narrow text of a BSTR, "<null>" for a null one.
inline std::string Narrow(const Bstr& b) { return b.IsNull() ? "<null>" : ToNarrow(b.Get()); }

// The member an object hands out through a getter (or an append), which must succeed; a null
// object fails the check instead of ending the suite.
template <class O, class C, class M>
ComPtr<M> Field(O* object, HRESULT (C::*get)(M**)) {
  ComPtr<M> member;
  if (!object) ADD_FAILURE() << "no object to take a member from";
  else EXPECT_EQ((object->*get)(member.Put()), S_OK);
  return member;
}

// The text of a text value: kAbsent when there is none, kNotSetText when it holds no value.
inline constexpr const char* kAbsent = "<absent>";
inline constexpr const char* kNotSetText = "<not set>";
template <class V>
std::string ValueText(V* value) {
  Bstr text;
  if (!value) return kAbsent;
  return SUCCEEDED(value->GetValue(text.Put())) ? ToNarrow(text.Get()) : kNotSetText;
}

// The text of a member: of a text value, or the text a getter hands out itself ("" for a null
// one).
template <class O, class C, class M>
std::string FieldText(O* object, HRESULT (C::*get)(M**)) {
  return ValueText(Field(object, get).Get());
}
template <class O, class C>
std::string FieldText(O* object, HRESULT (C::*get)(BSTR*)) {
  Bstr text;
  if (!object) ADD_FAILURE() << "no object to read from";
  else if (const HRESULT hr = (object->*get)(text.Put()); FAILED(hr)) return "<failed " + std::to_string(hr) + ">";
  return ToNarrow(text.Get());
}

// Sets a text member from narrow text.
template <class O, class C, class M>
HRESULT SetField(O* object, HRESULT (C::*get)(M**), std::string_view text) {
  const ComPtr<M> value = Field(object, get);
  return value ? value->SetValue(Wide(text).Get()) : E_POINTER;
}

// The number of entries of a list; -1 when there is no list.
template <class L>
LONG CountOf(L* list) {
  LONG count = -1;
  if (!list) ADD_FAILURE() << "no list to count";
  else EXPECT_EQ(list->get_Count(&count), S_OK);
  return count;
}

// The text a value writes, or kNotWritten.
inline constexpr const char* kNotWritten = "<not written>";
inline std::string XmlText(const BasicPropertyType& value) {
  std::string out;
  return value.GetXMLValue(out) ? out : kNotWritten;
}

// What an object writes under `name` (its own element name when empty).
inline std::string Written(XMLBuildable* object, std::string_view name = "") {
  XMLBuilder builder;
  object->Build(name, builder);
  return std::string(builder.Output());
}

// What an object's verification adds to a report ("" when it passes: then it adds nothing).
// When `client` is given and the object is required, the client's Verify must agree: false
// with the same text, or true with a null one.
inline std::string VerifyReport(XMLBuildable* object, IVTBase* client, bool required = true) {
  std::string errors = "before\r\n";
  const bool passed = object->Verify(required, errors);
  EXPECT_EQ(errors.rfind("before\r\n", 0), 0u) << "the report is added to, never replaced";
  errors.erase(0, 8);
  EXPECT_EQ(passed, errors.empty()) << errors;
  if (client && required) {
    Bstr message;
    VARIANT_BOOL ok = 5;
    EXPECT_EQ(client->Verify(message.Put(), &ok), S_OK);
    EXPECT_EQ(ok, passed ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(Narrow(message), passed ? "<null>" : errors);
  }
  return errors;
}

// The text of the handler exception `call` throws, or "no exception".
inline std::string HandlerMessage(const std::function<void()>& call) {
  try {
    call();
  } catch (const SAXParseHandlerException& e) {
    return e.what();
  }
  return "no exception";
}

}  // namespace vtfc4

#endif  // VTFC4_TESTS_SUPPORT_H
