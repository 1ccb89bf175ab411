// Internal: the aggregate base. An aggregate knows its members through a member table: one
// read-only descriptor per member in schema order, shared by every object of the class. The
// object itself holds one slot per member, empty until the member is first used. Writing,
// verifying and the default parse behaviour live here once, driven by the table.
#ifndef VTFC4_SRC_CORE_AGGREGATE_H
#define VTFC4_SRC_CORE_AGGREGATE_H

#include <cstdint>
#include <string>
#include <string_view>

#include "src/com/object.h"
#include "src/core/element.h"
#include "vtfc4/comptr.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// The four member kinds; attribute members are value members of the object's own element.
enum class MemberKind : uint8_t {
  kValue,          // a value object (text, number, date, enumeration...)
  kAggregate,      // a nested aggregate
  kValueList,      // a list of values, written as one element per entry
  kAggregateList,  // a list of aggregates, written as one element per entry
};

// One member of a class, in read-only data.
struct MemberDescriptor {
  int16_t tag;       // tag id of the element or attribute name
  MemberKind kind;   // what the slot holds
  bool required;     // the schema requires the member
  bool attribute;    // an attribute of the object's own element (value members only)
};

// The registration operations: each gives the descriptor of one member. A class lists its
// members in schema order, elements and attributes in any interleaving; the order within
// each of the two groups is the writing and verifying order.
constexpr MemberDescriptor AddValueElement(int tag, bool required = false) {
  return {static_cast<int16_t>(tag), MemberKind::kValue, required, false};
}
constexpr MemberDescriptor AddValueAttribute(int tag, bool required = false) {
  return {static_cast<int16_t>(tag), MemberKind::kValue, required, true};
}
constexpr MemberDescriptor AddAggregateElement(int tag, bool required = false) {
  return {static_cast<int16_t>(tag), MemberKind::kAggregate, required, false};
}
constexpr MemberDescriptor AddValueListElement(int tag, bool required = false) {
  return {static_cast<int16_t>(tag), MemberKind::kValueList, required, false};
}
constexpr MemberDescriptor AddAggregateListElement(int tag, bool required = false) {
  return {static_cast<int16_t>(tag), MemberKind::kAggregateList, required, false};
}

// What kind of aggregate a class is.
enum ChoiceFlag : uint8_t {
  kPlain = 0,     // has an element of its own
  kORChoice = 1,  // no element of its own; at most one member may be set
  kGroup = 2,     // no element of its own (queries, filters and other flat groups)
};

// The constants of one aggregate class.
struct ClassInfo {
  const char* name;                  // class and element name, e.g. "CustomerAdd"
  int16_t objectType;                // ENObjectType value
  ChoiceFlag choice;
  const MemberDescriptor* members;   // in schema order
  uint16_t memberCount;
};

// The member objects of an aggregate, by member index. Only the members in use take room
// (most members of a record are never used, and a parsed record keeps its values as text): a
// small array of (index, object) pairs in index order, each object held by one reference.
class SlotTable {
 public:
  SlotTable() : one_{} {}
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;
  ~SlotTable();

  // The object of member `index`, or null.
  ObjectRoot* Get(size_t index) const {
    // A parsed record keeps most values as text: its table is often empty.
    return count_ ? Find(index) : nullptr;
  }
  // Holds `object` (a reference is added) as member `index`, releasing what was there.
  void Set(size_t index, ObjectRoot* object);

  // The members held, in member order: the writer visits these, not every member of the
  // class (a request sets a few of its many members). An object may be null.
  size_t Count() const { return count_; }
  size_t IndexAt(size_t position) const { return Data()[position].index; }
  ObjectRoot* ObjectAt(size_t position) const { return Data()[position].object; }

 private:
  ObjectRoot* Find(size_t index) const;
  // Position of member `index` in entries_, or of where it would go.
  uint16_t Position(size_t index) const;

  struct Entry {
    uint32_t index;
    ObjectRoot* object;
  };
  // Many aggregates hold one member (an OR choice, a reference by name): it is kept here, in
  // the object, which spares the writer a trip to memory elsewhere. capacity_ is 0 while the
  // table holds at most that one.
  Entry* Data() { return capacity_ ? heap_ : &one_; }
  const Entry* Data() const { return capacity_ ? heap_ : &one_; }
  union {
    Entry one_;
    Entry* heap_;
  };
  uint16_t count_ = 0;
  uint16_t capacity_ = 0;
};

class VTCoreBase : public XMLBuildable, public SAXParseable {
 public:
  explicit VTCoreBase(const ClassInfo& info) : info_(&info) {}

  // Set by the creator right after construction.
  void InitMode(bool isRequest, VersionContextPtr context) {
    isRequest_ = isRequest;
    context_ = std::move(context);
  }

  // XMLBuildable
  void Build(std::string_view name, XMLBuilderInterface& builder) override;
  bool HasContent() override;
  bool Verify(bool required, std::string& errors) override;

  // SAXParseable: the base behaviours throw, naming the class and the tag.
  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}

  // The COM-style operations of IVTBase.
  HRESULT VerifyCom(BSTR* errorMsg, VARIANT_BOOL* isOK);
  HRESULT GetTypeCom(IObjectType** out);

  // 0 when the feature exists in the set's version, else 0x8004030B (the caller reports
  // message 658). Objects that are not request objects pass every version test.
  HRESULT CheckMinVersion(int16_t major, int16_t minor) const;
  HRESULT CheckMaxVersion(int16_t major, int16_t minor) const;

  const ClassInfo& Info() const { return *info_; }
  bool IsRequest() const { return isRequest_; }
  const VersionContextPtr& Context() const { return context_; }
  int LastMemberTag() const { return lastMemberTag_; }
  // The member currently held in slot `index` (null when not yet created).
  ObjectRoot* Slot(size_t index) const { return slots_.Get(index); }

 protected:
  // Writes one member; `index` into the member table.
  void WriteField(size_t index, ObjectRoot* object, XMLBuilderInterface& builder);
  // Stores a newly created member into its slot and records its tag as the last member tag.
  void Fill(size_t index, ObjectRoot* member);
  // The getter pattern after the feature checks: creates the member on first access when
  // this is a request object or a parse is filling it (through `create`), then hands out
  // interface I with a reference added; a response object read by the client hands out null.
  template <class I, class Create>
  HRESULT GetMember(size_t index, I** out, Create create) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!slots_.Get(index)) {
      if (!isRequest_ && !parseInProgress_) return S_OK;
      ObjectRoot* made = create();
      if (!made) return E_OUTOFMEMORY;
      Fill(index, made);
      made->ReleaseRoot();
    }
    return slots_.Get(index)->QueryRoot(iid_of<I>(), reinterpret_cast<void**>(out));
  }

  const ClassInfo* info_;
  SlotTable slots_;
  VersionContextPtr context_;
  ComPtr<IObjectType> type_;
  int lastMemberTag_ = -1;
  bool isRequest_ = false;
  bool parseInProgress_ = false;
};

// The object behind IObjectType: an ENObjectType value and a class name.
HRESULT MakeObjectType(int16_t value, std::string_view name, IObjectType** out);

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_AGGREGATE_H
