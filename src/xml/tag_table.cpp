#include "src/xml/tag_table.h"

#include <array>
#include <cstring>
#include <cstdint>
#include <unordered_map>

namespace vtfc4 {
namespace {

constexpr const char* kTagNames[] = {
#include "vtfc4/gen/tag_names.inc"
};
constexpr int kSentinel = tag::LastTagEntry;
static_assert(sizeof kTagNames / sizeof kTagNames[0] == kSentinel + 1);

struct MessageType {
  const char* name;
  uint16_t value;
};
// Requests first, then responses and the events element.
constexpr MessageType kMessageTypes[] = {
#include "vtfc4/gen/message_types.inc"
};

// Every name with its length, so that the search compares without measuring.
constexpr auto kViews = [] {
  std::array<std::string_view, kSentinel + 1> v{};
  for (int i = 0; i <= kSentinel; ++i) v[static_cast<size_t>(i)] = kTagNames[i];
  return v;
}();

}  // namespace

int TagIdOf(std::string_view name) {
  if (name.empty()) return -1;
  // The search includes the sentinel's position as its upper bound, so a name that sorts
  // after every real entry meets "LastTagEntry" last and does not equal it.
  int low = 0;
  int high = kSentinel;
  while (low <= high) {
    if (low == high) return name == kViews[static_cast<size_t>(low)] && low != kSentinel ? low : -1;
    int mid = (low + high) / 2;
    int c = name.compare(kViews[static_cast<size_t>(mid)]);
    if (c == 0) return mid;
    if (c > 0)
      low = mid + 1;
    else
      high = mid - 1;
  }
  return -1;
}

namespace {

// FNV-1a over the name's bytes: names are short, so a simple byte hash is the cheapest.
constexpr uint32_t HashName(std::string_view name) {
  uint32_t h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}

// An open-addressed table of every tag by the hash of its name: 4096 slots for 1440 names.
constexpr size_t kHashSlots = 4096;
constexpr auto kHashTable = [] {
  std::array<int16_t, kHashSlots> t{};
  for (auto& slot : t) slot = -1;
  for (int i = 0; i < kSentinel; ++i) {
    size_t at = HashName(kViews[static_cast<size_t>(i)]) & (kHashSlots - 1);
    while (t[at] >= 0) at = (at + 1) & (kHashSlots - 1);
    t[at] = static_cast<int16_t>(i);
  }
  return t;
}();

}  // namespace

int LookupTag(std::string_view name) {
  size_t at = HashName(name) & (kHashSlots - 1);
  for (int16_t tag = kHashTable[at]; tag >= 0; tag = kHashTable[at]) {
    if (kViews[static_cast<size_t>(tag)] == name) return tag;
    at = (at + 1) & (kHashSlots - 1);
  }
  return -1;
}

bool TagNameOf(int tag, std::string& out) {
  const char* name = TagName(tag);
  if (!name) return false;
  out.append(name);
  return true;
}

const char* TagName(int tag) {
  if (tag < 0 || tag >= kSentinel) return nullptr;
  return kTagNames[tag];
}

std::string_view TagNameView(int tag) {
  if (tag < 0 || tag >= kSentinel) return {};
  return kViews[static_cast<size_t>(tag)];
}

uint16_t MessageTypeOf(std::string_view name) {
  // Filled once, on first use; the initialisation of a function-local static is guarded, so
  // two threads asking for the first Type at once do not both fill it.
  static const std::unordered_map<std::string_view, uint16_t> map = [] {
    std::unordered_map<std::string_view, uint16_t> m;
    m.reserve(sizeof kMessageTypes / sizeof kMessageTypes[0]);
    for (const MessageType& t : kMessageTypes) m.emplace(t.name, t.value);
    return m;
  }();
  auto it = map.find(name);
  return it == map.end() ? 0 : it->second;
}

}  // namespace vtfc4
