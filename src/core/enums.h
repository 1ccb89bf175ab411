// Internal: enumerated values and lists of them. The vtXML text of a value is the word at its
// index in its enumeration's word table; every class shares one implementation here, and the
// generated code only names the interface and the enumeration of each class.
#ifndef VTFC4_SRC_CORE_ENUMS_H
#define VTFC4_SRC_CORE_ENUMS_H

#include <string>
#include <string_view>
#include <vector>

#include "src/com/error.h"
#include "src/core/aggregate.h"
#include "src/core/value_object.h"
#include "vtfc4/gen/enum_ids.h"
#include "vtfc4/gen/enum_interfaces.h"

namespace vtfc4 {

// The word table of one enumeration.
struct EnumTable {
  const char* name;            // "ENAccountType"
  const char* const* words;    // in value order, followed by a null entry
  int32_t count;               // number of words
  int16_t listObjectType;      // ENObjectType of the list class, 0 when there is none
  const char* listName;        // "ENAccountTypeList", null when there is none
  const IID* valueIid;         // IVT<Name>Type
  const IID* listIid;          // I<Name>List, null when there is none

  // The index of `word` (exact, case-sensitive, first match), or -1.
  int Find(std::string_view word) const;
  bool HasValue(int32_t value) const { return static_cast<uint32_t>(value) < static_cast<uint32_t>(count); }
};

// Every enumeration's table, indexed by EnumId (generated).
extern const EnumTable kEnumTables[];

const EnumTable& EnumTableOf(EnumId id);
// The enumeration called `name`, or null.
const EnumTable* FindEnumTable(std::string_view name);

// A new value object or list of enumeration `id` with one reference; null when the
// enumeration has no such class or memory runs out.
ObjectRoot* NewEnumValue(EnumId id);
ObjectRoot* NewEnumList(EnumId id);

// The shared behaviour of the value classes; none of it reports an error description.
HRESULT EnumSetValue(BasicPropertyType& v, const EnumTable& t, int32_t value);
HRESULT EnumGetValue(const BasicPropertyType& v, const EnumTable& t, int32_t* out);
HRESULT EnumSetText(BasicPropertyType& v, const EnumTable& t, BSTR text);
HRESULT EnumGetText(const BasicPropertyType& v, BSTR* out);

template <class Interface, class Enum>
class EnumValue final : public ValueObject<Interface, false> {
 public:
  explicit EnumValue(const EnumTable* table) : table_(table) {}

  HRESULT SetValue(Enum value) override { return EnumSetValue(*this, *table_, value); }
  HRESULT GetValue(Enum* out) override {
    int32_t v = 0;
    HRESULT hr = EnumGetValue(*this, *table_, out ? &v : nullptr);
    if (SUCCEEDED(hr)) *out = static_cast<Enum>(v);
    return hr;
  }
  HRESULT SetAsString(BSTR text) override { return EnumSetText(*this, *table_, text); }
  HRESULT GetAsString(BSTR* out) override { return EnumGetText(*this, out); }

 protected:
  void DoUnset() override {
    ValueObject<Interface, false>::DoUnset();
    this->text_.clear();
  }

 private:
  const EnumTable* table_;
};

// The writing, verifying and parsing faces of an enum list, and its entries (values, not
// words).
class EnumListCore : public XMLBuildable, public SAXParseable {
 public:
  explicit EnumListCore(const EnumTable* table) : table_(table) {}

  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override { return !entries_.empty(); }
  bool Verify(bool required, std::string& errors) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}

 protected:
  HRESULT AddValue(int32_t value);
  HRESULT AddText(BSTR text);
  HRESULT Count(LONG* out) const;
  HRESULT ValueAt(LONG index, int32_t* out) const;
  HRESULT TextAt(LONG index, BSTR* out) const;
  HRESULT TypeObject(IObjectType** out);
  static HRESULT AlwaysValid(BSTR* errorMsg, VARIANT_BOOL* isOK);

 private:
  const EnumTable* table_;
  std::vector<int32_t> entries_;
  ComPtr<IObjectType> type_;
};

template <class Interface, class Enum>
class EnumList final : public ComObject<Interface>, public EnumListCore {
 public:
  explicit EnumList(const EnumTable* table) : EnumListCore(table) {}

  HRESULT get_Type(IObjectType** out) override { return TypeObject(out); }
  // A list of words is valid whatever it holds.
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override { return AlwaysValid(errorMsg, isOK); }
  using EnumListCore::Verify;
  HRESULT Add(Enum value) override { return AddValue(value); }
  HRESULT get_Count(LONG* out) override { return Count(out); }
  HRESULT GetAt(LONG index, Enum* out) override {
    int32_t v = 0;
    HRESULT hr = ValueAt(index, out ? &v : nullptr);
    if (SUCCEEDED(hr)) *out = static_cast<Enum>(v);
    return hr;
  }
  HRESULT AddAsString(BSTR text) override { return AddText(text); }
  HRESULT GetAtAsString(LONG index, BSTR* out) override { return TextAt(index, out); }

  XMLBuildable* AsBuildable() override { return this; }
  SAXParseable* AsParseable() override { return this; }
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_ENUMS_H
