// Internal: record identifiers (ListID, TxnID...), GUIDs, and the two lists of text values
// (repeated text elements such as IncludeRetElement, and lists of GUIDs).
//
// An identifier may instead name a record created by an earlier request of the same message
// set: its macro text is then written as the useMacro attribute of an empty element, and the
// value itself reads as not set.
#ifndef VTFC4_SRC_CORE_IDENTIFIERS_H
#define VTFC4_SRC_CORE_IDENTIFIERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/com/error.h"
#include "src/com/object.h"
#include "src/core/element.h"
#include "src/core/value_object.h"
#include "vtfc4/comptr.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// ---- Factories: a new object holding one reference, or null when memory runs out.
ObjectRoot* NewIDValue(bool macroAllowed);
ObjectRoot* NewGUIDValue();
ObjectRoot* NewBSTRList(int32_t maxLength /* kNoLimit = none */);
ObjectRoot* NewGUIDList();

// Identifiers are at most this many UTF-16 code units long.
inline constexpr UINT kIDMaxLength = 36;

// The GUID rule of GUID values and GUID lists: "0" (custom fields) or a braced GUID as
// CLSIDFromString reads it. `text` is NUL-terminated at `length` (null: the empty text).
bool IsGUIDText(const OLECHAR* text, size_t length);

// ---- Identifiers, with the macro form.
class CVTIDType : public ValueObject<IVTIDType> {
 public:
  using ValueObject::IsSet;

  explicit CVTIDType(bool macroAllowed) : macroAllowed_(macroAllowed) {}

  HRESULT SetValue(BSTR value) override;
  HRESULT GetValue(BSTR* out) override;
  HRESULT SetValueUseMacro(BSTR macro) override;
  HRESULT GetValueUseMacro(BSTR* out) override;
  HRESULT IsSetUseMacro(VARIANT_BOOL* out) override;

  // A macro counts as set for the writer and the aggregate's content test; the COM IsSet
  // still reports the value's own set state only.
  bool IsSet() const override;
  bool HasValue() const override;
  bool IsUseMacro() const override;
  // The value text when set ("" when empty), else the macro text; false when neither.
  bool XMLText(std::string& scratch, std::string_view& out) const override;

  const std::string& MacroText() const { return macro_; }
  bool MacroAllowed() const { return macroAllowed_; }

 protected:
  void DoUnset() override;
  void DoSetEmpty() override;

 private:
  std::string macro_;
  const bool macroAllowed_;
};

// ---- GUIDs, kept as given (braces and letter case unchanged).
class CVTGUIDType : public ValueObject<IVTGUIDType> {
 public:
  HRESULT SetValue(BSTR value) override;
  HRESULT GetValue(BSTR* out) override;

  // Set, not empty, and the text is not empty.
  bool HasValue() const override;

 protected:
  void DoUnset() override;
};

// ---- Lists of text values. The two classes differ only in which entries they accept, their
// type and the class name of their parse messages; everything else is this one template.
// Neither reports error descriptions.
//
// A rule gives: kClassName, kObjectType, kTypeName, kRefused (the status of a refused entry)
// and `bool Accepts(const OLECHAR* text, size_t length) const`.
template <class Interface, class Rule>
class TextListObject : public ComObject<Interface>, public XMLBuildable, public SAXParseable {
 public:
  explicit TextListObject(Rule rule = Rule()) : rule_(rule) {}

  // The list interface.
  HRESULT Add(BSTR value) override;
  HRESULT get_Count(LONG* out) override;
  HRESULT GetAt(LONG index, BSTR* out) override;
  // IVTBase: a list is always valid when the client asks.
  HRESULT get_Type(IObjectType** out) override;
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override;

  // XMLBuildable: one element named `name` per entry, in order.
  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override { return !values_.empty(); }
  bool Verify(bool required, std::string& errors) override;

  // SAXParseable: every leaf element is an entry; a refused entry is dropped.
  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}

  XMLBuildable* AsBuildable() override { return this; }
  SAXParseable* AsParseable() override { return this; }

  const std::vector<std::string>& Values() const { return values_; }

 protected:
  Rule rule_;

 private:
  std::vector<std::string> values_;
  ComPtr<IObjectType> type_;
};

// Entries of at most maxLength UTF-16 code units (0 or kNoLimit: any length).
struct TextLengthRule {
  static constexpr const char* kClassName = "CBSTRList";
  static constexpr int16_t kObjectType = 101;
  static constexpr const char* kTypeName = "BSTRList";
  static constexpr HRESULT kRefused = kStringTooLong;

  bool Accepts(const OLECHAR*, size_t length) const {
    // Unsigned: the no-limit marker becomes a bound no text reaches.
    return maxLength == 0 || length <= static_cast<UINT>(maxLength);
  }
  int32_t maxLength = kNoLimit;
};

// Entries that pass the GUID rule.
struct GUIDTextRule {
  static constexpr const char* kClassName = "CGUIDList";
  static constexpr int16_t kObjectType = 100;
  static constexpr const char* kTypeName = "GUIDList";
  static constexpr HRESULT kRefused = kInvalidFormat;

  bool Accepts(const OLECHAR* text, size_t length) const { return IsGUIDText(text, length); }
};

// Defined in identifiers.cpp.
extern template class TextListObject<IBSTRList, TextLengthRule>;
extern template class TextListObject<IGUIDList, GUIDTextRule>;

class CBSTRList : public TextListObject<IBSTRList, TextLengthRule> {
 public:
  explicit CBSTRList(int32_t maxLength = kNoLimit)
      : TextListObject(TextLengthRule{maxLength}) {}

  // Empty text for no limit, else the limit in decimal.
  HRESULT GetMaxLength(BSTR* out) override;
  int32_t MaxLength() const { return rule_.maxLength; }
};

class CGUIDList : public TextListObject<IGUIDList, GUIDTextRule> {};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_IDENTIFIERS_H
