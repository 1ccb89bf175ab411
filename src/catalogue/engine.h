// Internal: the catalogue engine. Every generated class is a table row: its member table, one
// creation rule per member and the tags it takes while parsing. The getters, the parse entry
// points, the OR choice and the factories live here once; generated classes are one-line
// getters over them.
#ifndef VTFC4_SRC_CATALOGUE_ENGINE_H
#define VTFC4_SRC_CATALOGUE_ENGINE_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "src/core/aggregate_object.h"
#include "src/msgset/detail_factory.h"

namespace vtfc4 {

// What a member's slot holds, and so how the member is created.
enum class ValueType : uint8_t {
  kString, kInt, kFloat, kAmount, kPrice, kPercent, kQuan, kBool, kDate, kDateTime,
  kInterval, kID, kGUID, kEnum,  // value objects
  kRef,                          // a VTBaseRef aggregate
  kAggregate,                    // a catalogue class
  kStringList, kGUIDList, kEnumList,  // value lists
  kAggregateList,                // a list class of the catalogue
  kRefList,                      // a VTBaseRefList
};

// Where a member is available.
enum MemberCountry : uint8_t { kAnyCountry = 0, kNotCA = 1, kCAOnly = 2 };

enum MemberFlags : uint8_t {
  kMacroFromV2 = 1,      // an identifier that may carry a macro reference from vtXML 2.0
  kDateOnlyBelowV2 = 2,  // a date-time written as a date below vtXML 2.0
};

// How one member is created and when it is available, beside its MemberDescriptor.
struct MemberRule {
  ValueType type;
  uint8_t country;    // MemberCountry
  uint8_t flags;      // MemberFlags
  uint16_t ref;       // EnumId of enumerations, catalogue index of aggregates
  int32_t first;      // text limit on the desktop (kNoLimit: none), or the lower integer bound
  int32_t second;     // text limit online, or the upper integer bound
  uint8_t fromMajor, fromMinor;    // first version; 0.0 when always
  uint8_t untilMajor, untilMinor;  // last version; 0.0 when open
};

// A tag the class takes while parsing, and the member that receives it: the member of that
// element, or the transparent member (an OR choice or a group) whose own members take it.
struct TagRoute {
  int16_t tag;
  uint16_t member;
};

enum CatalogueClassFlags : uint8_t {
  // The class's element is a response's: an attribute it does not keep fails as a response's.
  kResponseElement = 1,
};

struct CatalogueClass {
  ClassInfo info;
  const MemberRule* rules;   // one per member of info
  const TagRoute* routes;    // sorted by tag
  uint16_t routeCount;
  uint8_t flags;             // CatalogueClassFlags
  ClassFactory factory;
};

// A list class: one element per entry, all entries of one catalogue class.
struct CatalogueList {
  const char* name;        // "CustomerRetList"
  int16_t objectType;      // ENObjectType
  uint16_t item;           // catalogue index of the entries' class
  uint8_t parseMode;       // 0: entries are plain records; 1: entries are OR choices
  ClassFactory factory;
};

// Every class of the catalogue (generated), and lookups by name.
extern const CatalogueClass kCatalogue[];
extern const size_t kCatalogueSize;
extern const CatalogueList kCatalogueLists[];
extern const size_t kCatalogueListsSize;
const CatalogueClass* FindCatalogueClass(std::string_view name);
// The factory of a class or a list class called `name`, or null.
ClassFactory FindCatalogueFactory(std::string_view name);

class CatalogueBase : public VTCoreBase {
 public:
  explicit CatalogueBase(const CatalogueClass& c) : VTCoreBase(c.info) {}
  ~CatalogueBase() override;
  CatalogueBase(const CatalogueBase&) = delete;
  CatalogueBase& operator=(const CatalogueBase&) = delete;

  // The getter of member `index`: the country and version tests (message 658 and 0x8004030B
  // on refusal), creation on first use, the member handed out as interface `iid`.
  HRESULT GetMemberCom(size_t index, REFIID iid, void** out);
  // The OR choice: the position of the member created last, or -1 when there is none.
  HRESULT OrType(int32_t* out) const;
  // True when member `index` exists in the set's edition and version (its getter would not
  // refuse it); nothing is reported.
  bool Available(size_t index) const;
  // The class of the table whose ClassInfo this object was made with (its first member).
  const CatalogueClass& Class() const { return *reinterpret_cast<const CatalogueClass*>(info_); }
  // Makes `value` (a value object another owner holds too) member `index`: the two share it,
  // so a change on either side is the other's.
  void ShareMember(size_t index, ObjectRoot* value) { Fill(index, value); }
  // The text of value member `index` as set or parsed; false when it holds none.
  bool MemberText(size_t index, std::string& out) const;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;

  // Writing and verifying see every parsed value as a value object.
  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override;
  bool Verify(bool required, std::string& errors) override;

 private:
  // A response holds most of its data in leaf values. Until a client reads one, a parsed value
  // is kept as its text only, in the answer's text store: a chain of entries (member index,
  // length, bytes) per object. The first read makes the value object from it; while the client
  // holds it, the answer holds it too, without a reference (HeldValues), so that every later
  // read, the writer and Verify find that very object. When the client lets it go unchanged
  // it is forgotten, since the text still says the same (a large answer read value by value
  // does not keep an object per value); when the client changed it, its aggregate keeps it in
  // the member's slot for good.
  struct KeptText;
  class HeldValues;
  // False when the text cannot be kept (too long, or too far from the object's last entry):
  // the value object is then made at once.
  bool KeepParsedText(size_t index, std::string_view text);
  const KeptText* FindParsedText(size_t index) const;
  // The value of member `index` that a client holds now, or null.
  ObjectRoot* HeldValue(size_t index) const;
  // Turns every kept text into its value object (before the object is written or verified).
  void Materialize();

  HRESULT CheckAvailable(size_t index) const;
  ObjectRoot* Create(size_t index) const;
  // Creates member `index` into its slot (the slot holding it); null when memory runs out.
  ObjectRoot* CreateInSlot(size_t index);
  int Route(int tag) const;
  // Gets member `index` as the parser does (creating it on a response object too); null when
  // the getter refuses it.
  ObjectRoot* ParsedMember(size_t index);

  KeptText* keptHead_ = nullptr;
  // Which of the first 64 members have a kept text (at most one each).
  uint64_t kept_ = 0;
  // While the object is parsed, its last entry (where the next one is chained); once it is
  // read, where the last search ended: clients read members in order, so the next search
  // usually starts there. An object is parsed once, and read only after.
  mutable KeptText* cursor_ = nullptr;
};

template <class Interface>
class CatalogueObject : public AggregateObject<Interface, CatalogueBase> {
 public:
  explicit CatalogueObject(const CatalogueClass& c) : AggregateObject<Interface, CatalogueBase>(c) {}

 protected:
  template <class I>
  HRESULT Get(size_t index, I** out) {
    return this->GetMemberCom(index, iid_of<I>(), reinterpret_cast<void**>(out));
  }
  template <class E>
  HRESULT GetOrType(E* out) {
    if (!out) return E_POINTER;
    int32_t v = -1;
    HRESULT hr = this->OrType(&v);
    *out = static_cast<E>(v);
    return hr;
  }
};

// The writing, verifying and parsing of every list class, and its entries.
class CatalogueListCore : public XMLBuildable, public SAXParseable {
 public:
  explicit CatalogueListCore(const CatalogueList& list) : list_(&list) {}

  void InitMode(bool isRequest, VersionContextPtr context) {
    isRequest_ = isRequest;
    context_ = std::move(context);
  }

  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override { return !entries_.empty(); }
  bool Verify(bool required, std::string& errors) override;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}

  size_t Count() const { return entries_.size(); }
  ObjectRoot* Entry(size_t index) const { return entries_[index].Get(); }

 protected:
  HRESULT CountCom(LONG* out) const;
  HRESULT GetAtCom(LONG index, REFIID iid, void** out) const;
  // A new entry handed out as `iid`; a list of a response hands out null.
  HRESULT AppendCom(REFIID iid, void** out);
  HRESULT TypeCom(IObjectType** out);
  HRESULT VerifyCom(BSTR* errorMsg, VARIANT_BOOL* isOK);

 private:
  ObjectRoot* NewEntry();

  const CatalogueList* list_;
  std::vector<RootRef> entries_;
  bool isRequest_ = false;
  VersionContextPtr context_;
  ComPtr<IObjectType> type_;
};

template <class IList, class IItem>
class CatalogueListObject final : public ComObject<IList>, public CatalogueListCore {
 public:
  explicit CatalogueListObject(const CatalogueList& list) : CatalogueListCore(list) {}
  using CatalogueListCore::Verify;

  HRESULT GetAt(LONG index, IItem** out) override {
    return GetAtCom(index, iid_of<IItem>(), reinterpret_cast<void**>(out));
  }
  HRESULT get_Count(LONG* out) override { return CountCom(out); }
  HRESULT Append(IItem** out) override { return AppendCom(iid_of<IItem>(), reinterpret_cast<void**>(out)); }
  HRESULT get_Type(IObjectType** out) override { return TypeCom(out); }
  HRESULT Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) override { return VerifyCom(errorMsg, isOK); }

  XMLBuildable* AsBuildable() override { return this; }
  SAXParseable* AsParseable() override { return this; }
};

template <class T>
ObjectRoot* MakeCatalogueList(const CatalogueList& list, bool isRequest, const VersionContextPtr& context) {
  T* made = MakeObject<T>(list);
  if (made) made->InitMode(isRequest, context);
  return made;
}

// Makes an object of catalogue class `index` with one reference.
template <class T>
ObjectRoot* MakeCatalogueObject(bool isRequest, const VersionContextPtr& context) {
  T* made = MakeObject<T>();
  if (made) made->InitMode(isRequest, context);
  return made;
}

}  // namespace vtfc4

#endif  // VTFC4_SRC_CATALOGUE_ENGINE_H
