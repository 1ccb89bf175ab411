// Fuzz target ToMsgSetResponse: an answer document, in the edition its first byte chooses,
// read into the response tree, and the tree read back as a client reads it: the set's
// attributes, every response's status texts and kind, and its detail object with every member
// through its getter, records and their lists walked down to the values. The set hands back
// exactly the text it was parsed from.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/editions.h"
#include "fuzz/object_walk.h"
#include "src/catalogue/engine.h"
#include "src/com/text.h"
#include "src/msgset/msgset_response.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4::fuzz {
namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "ToMsgSetResponse: %s\n", what);
  std::abort();
}

}  // namespace
}  // namespace vtfc4::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vtfc4;
  using namespace vtfc4::fuzz;
  Edition edition;
  std::string_view document;
  if (!TakeEdition(data, size, edition, document)) return 0;
  ComPtr<IMsgSetResponse> set;
  if (SUCCEEDED(ParseMsgSetResponse(document, edition.country, edition.major, edition.minor, nullptr,
                                    set.Put())) &&
      set) {
    ComPtr<IAttributesRsSet> attributes;
    if (SUCCEEDED(set->get_Attributes(attributes.Put())) && attributes) {
      Bstr id, status;
      attributes->get_NewMessageSetID(id.Put());
      attributes->get_MessageSetStatusCode(status.Put());
    }
    ComPtr<IResponseList> list;
    if (SUCCEEDED(set->get_ResponseList(list.Put())) && list && !WalkResponseList(list.Get()))
      Fail("GetAt answered past the end of the response list");
    Bstr text;
    if (FAILED(set->ToXMLString(text.Put())) || ToNarrow(text.Get()) != document)
      Fail("the answer's text differs from the text it was parsed from");
  }
  SetErrorInfo(0, nullptr);
  return 0;
}
