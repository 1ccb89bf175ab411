#include "src/core/aggregate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/xml_builder.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {
namespace {

// Verification texts are formatted into buffers of this many characters, and a child's
// report is cut to kChildReportLimit characters before it is wrapped by its parent.
constexpr size_t kFormatBuffer = 2048;
constexpr int kChildReportLimit = 1900;
// Message texts are read once into buffers of this size (at most 199 characters).
constexpr int kMessageBuffer = 200;

// A message text of the verification report, loaded on first use and kept for the process.
struct CachedMessage {
  explicit CachedMessage(UINT id) { LoadMessageString(id, text, kMessageBuffer); }
  char text[kMessageBuffer] = {};
};

const char* Message(UINT id) {
  static const CachedMessage m610(kMsgRequiredFieldMissing), m616(kMsgRequiredListEmpty),
      m617(kMsgListBlock), m618(kMsgEndOf), m626(kMsgRequiredObjectEmpty),
      m627(kMsgORMultipleValues);
  switch (id) {
    case kMsgRequiredFieldMissing: return m610.text;
    case kMsgRequiredListEmpty: return m616.text;
    case kMsgListBlock: return m617.text;
    case kMsgEndOf: return m618.text;
    case kMsgRequiredObjectEmpty: return m626.text;
    default: return m627.text;
  }
}

const char* NameOrEmpty(int tag) {
  const char* name = TagName(tag);
  return name ? name : "";
}

// Appends `format` filled with the arguments, as formatted into the fixed buffer.
template <class... Args>
void AppendFormatted(std::string& out, const char* format, Args... args) {
  char buffer[kFormatBuffer];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  int n = std::snprintf(buffer, sizeof buffer, format, args...);
#pragma GCC diagnostic pop
  if (n < 0) return;
  out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n)
                                                             : sizeof buffer - 1);
}

}  // namespace

SlotTable::~SlotTable() {
  Entry* entries = Data();
  for (uint16_t i = 0; i < count_; ++i)
    if (entries[i].object) entries[i].object->ReleaseRoot();
  if (capacity_) std::free(heap_);
}

uint16_t SlotTable::Position(size_t index) const {
  const Entry* entries = Data();
  uint16_t low = 0, high = count_;
  while (low < high) {
    const uint16_t mid = static_cast<uint16_t>((low + high) / 2);
    if (entries[mid].index < index)
      low = static_cast<uint16_t>(mid + 1);
    else
      high = mid;
  }
  return low;
}

ObjectRoot* SlotTable::Find(size_t index) const {
  const uint16_t at = Position(index);
  const Entry* entries = Data();
  return at < count_ && entries[at].index == index ? entries[at].object : nullptr;
}

void SlotTable::Set(size_t index, ObjectRoot* object) {
  const uint16_t at = Position(index);
  if (object) object->AddRefRoot();
  if (Entry* e = Data() + at; at < count_ && e->index == index) {
    ObjectRoot* old = e->object;
    e->object = object;
    if (old) old->ReleaseRoot();
    return;
  }
  if (count_ == (capacity_ ? capacity_ : 1)) {
    // The first member lives in the table itself; from the second on, the members move out.
    const uint16_t capacity = static_cast<uint16_t>(capacity_ ? capacity_ * 2 : 4);
    auto* grown = static_cast<Entry*>(std::realloc(capacity_ ? heap_ : nullptr, capacity * sizeof(Entry)));
    if (!grown) {
      if (object) object->ReleaseRoot();
      throw std::bad_alloc();
    }
    if (!capacity_) grown[0] = one_;
    heap_ = grown;
    capacity_ = capacity;
  }
  Entry* entries = Data();
  for (uint16_t i = count_; i > at; --i) entries[i] = entries[i - 1];
  entries[at] = Entry{static_cast<uint32_t>(index), object};
  ++count_;
}

void VTCoreBase::Fill(size_t index, ObjectRoot* member) {
  slots_.Set(index, member);
  lastMemberTag_ = info_->members[index].tag;
}

void VTCoreBase::WriteField(size_t index, ObjectRoot* object, XMLBuilderInterface& builder) {
  if (!object) return;
  const MemberDescriptor& m = info_->members[index];
  const std::string_view name = TagNameView(m.tag);
  if (name.empty()) return;
  if (m.kind == MemberKind::kValue) {
    BasicPropertyType* value = object->AsValue();
    if (!value) throw SAXParseHandlerException("Internal error.");
    std::string scratch;
    std::string_view text;
    if (value->IsUseMacro() && value->XMLText(scratch, text)) {
      builder.StartElement(name);
      builder.AddAttribute("useMacro", text);
      builder.CloseEmptyElement();
    } else if (value->IsSet() && value->XMLText(scratch, text)) {
      if (m.attribute)
        builder.AddAttribute(name, text);
      else
        builder.WriteElement(name, text);
    }
    return;
  }
  XMLBuildable* child = object->AsBuildable();
  if (!child) throw SAXParseHandlerException("Internal error.");
  child->Build(name, builder);
}

void VTCoreBase::Build(std::string_view name, XMLBuilderInterface& builder) {
  // The members lie elsewhere in memory, often out of the cache in a large set: asking for all
  // of them at once lets their loads overlap instead of waiting for each in turn.
  for (size_t p = 0; p < slots_.Count(); ++p) __builtin_prefetch(slots_.ObjectAt(p));
  if (!HasContent()) return;
  const ChoiceFlag choice = info_->choice;
  if (choice == kPlain && name.empty()) name = info_->name;
  const size_t held = slots_.Count();
  // Attributes first: they join the start tag. Without an element of our own, only metaData
  // may join the enclosing start tag.
  if (choice == kPlain) builder.StartElement(name);
  for (size_t p = 0; p < held; ++p) {
    const size_t i = slots_.IndexAt(p);
    const MemberDescriptor& m = info_->members[i];
    if (m.attribute && (choice == kPlain || m.tag == tag::metaData)) WriteField(i, slots_.ObjectAt(p), builder);
  }
  // IncludeRetElement is a sibling of a plain aggregate's element inside the request element.
  size_t heldBack = held;
  for (size_t p = 0; p < held; ++p) {
    const size_t i = slots_.IndexAt(p);
    const MemberDescriptor& m = info_->members[i];
    if (m.attribute) continue;
    if (choice == kPlain && m.tag == tag::IncludeRetElement) {
      heldBack = p;
      continue;
    }
    WriteField(i, slots_.ObjectAt(p), builder);
  }
  if (choice == kPlain) builder.EndElement(name);
  if (heldBack != held) WriteField(slots_.IndexAt(heldBack), slots_.ObjectAt(heldBack), builder);
}

bool VTCoreBase::HasContent() {
  for (size_t p = 0; p < slots_.Count(); ++p) {
    ObjectRoot* object = slots_.ObjectAt(p);
    if (!object) continue;
    if (info_->members[slots_.IndexAt(p)].kind == MemberKind::kValue) {
      BasicPropertyType* value = object->AsValue();
      if (value && value->IsSet()) return true;
    } else if (XMLBuildable* child = object->AsBuildable(); child && child->HasContent()) {
      return true;
    }
  }
  return false;
}

bool VTCoreBase::Verify(bool required, std::string& errors) {
  if (!required && !HasContent()) return true;
  const ChoiceFlag choice = info_->choice;
  const size_t count = info_->memberCount;
  bool ok = true;
  bool failed = false;
  int withContent = 0;
  for (int pass = 0; pass < 2; ++pass) {  // attribute members first, then elements
    for (size_t i = 0; i < count; ++i) {
      const MemberDescriptor& m = info_->members[i];
      if (m.attribute != (pass == 0)) continue;
      const bool mustHave = choice != kORChoice && m.required;
      const char* name = NameOrEmpty(m.tag);
      ObjectRoot* object = slots_.Get(i);
      if (m.kind == MemberKind::kValue) {
        BasicPropertyType* value = object ? object->AsValue() : nullptr;
        if (value && value->IsSet()) ++withContent;
        // An empty value is written but does not satisfy a required member.
        if (mustHave && !(value && value->HasValue())) {
          AppendFormatted(errors, Message(kMsgRequiredFieldMissing), name);
          ok = false;
          failed = true;
        }
        continue;
      }
      const bool isList = m.kind != MemberKind::kAggregate;
      XMLBuildable* child = object ? object->AsBuildable() : nullptr;
      if (!child) {
        if (mustHave) {
          AppendFormatted(errors, Message(isList ? kMsgRequiredListEmpty : kMsgRequiredFieldMissing),
                          name);
          ok = false;
          failed = true;
        }
        continue;
      }
      std::string childErrors;
      if (!child->Verify(mustHave, childErrors)) {
        ok = false;
        failed = true;
        AppendFormatted(errors, isList ? Message(kMsgListBlock) : "%s:\r\n%s%s%s\r\n", name,
                        childErrors.substr(0, kChildReportLimit).c_str(), Message(kMsgEndOf),
                        name);
      }
      if (child->HasContent()) ++withContent;
    }
  }
  if (choice == kORChoice && withContent > 1) {
    errors.append(Message(kMsgORMultipleValues));
    ok = false;
  }
  // Query bodies may be empty; every other verified aggregate must hold something.
  if (withContent == 0 && !failed && std::strstr(info_->name, "Query") == nullptr) {
    errors.append(Message(kMsgRequiredObjectEmpty));
    ok = false;
  }
  return ok;
}

SAXParseable* VTCoreBase::HandleAggregate(int tag) {
  throw SAXParseHandlerException(
      Format("class %s got unexpected agg tag id %d (%s).", info_->name, tag, NameOrEmpty(tag)));
}

void VTCoreBase::HandleElement(int tag, const std::string* value) {
  throw SAXParseHandlerException(Format("class %s got unexpected tag id %d (%s) with value %s.",
                                        info_->name, tag, NameOrEmpty(tag),
                                        value ? value->c_str() : "Unknown value"));
}

void VTCoreBase::HandleAttribute(int tag, const std::string* value) {
  throw SAXParseHandlerException(Format("class %s got unexpected attrib = %d with value %s.",
                                        info_->name, tag,
                                        value ? value->c_str() : "Unknown value"));
}

HRESULT VTCoreBase::VerifyCom(BSTR* errorMsg, VARIANT_BOOL* isOK) {
  if (!errorMsg || !isOK) return E_POINTER;
  std::string errors;
  bool ok;
  try {
    ok = Verify(true, errors);
  } catch (const std::bad_alloc&) {
    return ReportError(kMsgOutOfMemory, E_OUTOFMEMORY);
  } catch (const std::exception& e) {
    return ReportErrorText(e.what(), E_FAIL);
  }
  if (ok) {
    *isOK = VARIANT_TRUE;
    return S_OK;
  }
  *errorMsg = ToBstr(errors);
  *isOK = VARIANT_FALSE;
  return S_OK;
}

HRESULT VTCoreBase::GetTypeCom(IObjectType** out) {
  if (!out) return E_POINTER;
  if (!type_) {
    HRESULT hr = MakeObjectType(info_->objectType, info_->name, type_.Put());
    if (FAILED(hr)) return hr;
  }
  return type_.CopyTo(out);
}

HRESULT VTCoreBase::CheckMinVersion(int16_t major, int16_t minor) const {
  if ((major == 1 && minor == 0) || !isRequest_ || !context_) return S_OK;
  if (context_->major > major || (context_->major == major && context_->minor >= minor))
    return S_OK;
  return kNotSupported;
}

HRESULT VTCoreBase::CheckMaxVersion(int16_t major, int16_t minor) const {
  if (!isRequest_ || !context_) return S_OK;
  if (context_->major > major || (context_->major == major && context_->minor > minor))
    return kNotSupported;
  return S_OK;
}

}  // namespace vtfc4
