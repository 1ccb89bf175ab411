#include "src/msgset/detail_factory.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "src/catalogue/engine.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {
namespace {

// Sorted by tag.
constexpr DetailRow kDetailRows[] = {
#include "vtfc4/gen/detail_rows.inc"
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, ClassFactory, std::less<>> factories;
  std::atomic<bool> any{false};  // lets the usual lookup skip the lock
};

Registry& Registered() {
  static Registry r;
  return r;
}

}  // namespace

ClassFactory FindClassFactory(std::string_view className) {
  // A registered class stands in for the catalogue's class of the same name.
  Registry& r = Registered();
  if (r.any.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.factories.find(className);
    if (it != r.factories.end()) return it->second;
  }
  return FindCatalogueFactory(className);
}

void RegisterClassFactory(std::string_view className, ClassFactory factory) {
  Registry& r = Registered();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.factories[std::string(className)] = factory;
  r.any.store(true, std::memory_order_release);
}

const DetailRow* FindDetailRow(int tag) {
  auto it = std::lower_bound(std::begin(kDetailRows), std::end(kDetailRows), tag,
                             [](const DetailRow& row, int t) { return row.tag < t; });
  return it != std::end(kDetailRows) && it->tag == tag ? it : nullptr;
}

bool CreateDetail(int tag, const VersionContextPtr& context, RootRef& detail, bool& wrapped) {
  const DetailRow* row = FindDetailRow(tag);
  if (!row || !row->detail) return false;
  const int setKind = context ? context->setKind : kSetRequestResponse;
  if (row->setKind != setKind) return false;
  ClassFactory factory = FindClassFactory(row->detail);
  if (!factory) return false;
  ObjectRoot* made = factory(/*isRequest=*/false, context);
  if (!made) return false;
  detail = RootRef(made);
  made->ReleaseRoot();
  wrapped = row->wrapped;
  return true;
}

}  // namespace vtfc4
