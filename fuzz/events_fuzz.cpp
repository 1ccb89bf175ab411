// Fuzz target SubscriptionsAndEvents: a document the application sends outside an ordinary
// answer, chosen by its first byte: an event document (even) read into its event choice, or an
// answer to a subscription set (odd) read into its responses; the version is 4.0 or 3.0 by the
// byte's second bit. What was read is walked as a client reads it, and the set hands back
// exactly the text it was parsed from.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/object_walk.h"
#include "src/com/text.h"
#include "src/msgset/subscription_sets.h"

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "SubscriptionsAndEvents: %s\n", what);
  std::abort();
}

template <class Set>
void CheckText(Set* set, std::string_view document) {
  vtfc4::Bstr text;
  if (FAILED(set->ToXMLString(text.Put())) || vtfc4::ToNarrow(text.Get()) != document)
    Fail("the set's text differs from the text it was parsed from");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vtfc4;
  if (size < 1) return 0;
  const bool subscription = data[0] & 1;
  const int16_t major = data[0] & 2 ? 3 : 4;
  const std::string_view document(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (subscription) {
    ComPtr<ISubscriptionMsgSetResponse> set;
    if (SUCCEEDED(ParseSubscriptionMsgSetResponse(document, major, 0, set.Put())) && set) {
      ComPtr<IResponseList> list;
      if (SUCCEEDED(set->get_ResponseList(list.Put())) && list && !fuzz::WalkResponseList(list.Get()))
        Fail("GetAt answered past the end of the response list");
      CheckText(set.Get(), document);
    }
  } else {
    ComPtr<IEventsMsgSet> set;
    if (SUCCEEDED(ParseEventsMsgSet(document, major, 0, set.Put())) && set) {
      ComPtr<IOREvent> event;
      if (SUCCEEDED(set->get_OREvent(event.Put())) && event) fuzz::WalkBase(event.Get(), 0);
      CheckText(set.Get(), document);
    }
  }
  SetErrorInfo(0, nullptr);
  return 0;
}
