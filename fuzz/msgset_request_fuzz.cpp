// Fuzz target ToMsgSetRequest: a request document, in the edition its first byte chooses, read
// into a message set request, which is then verified and written again. What the set writes
// reads back as the same set: parsing the written text and writing it once more gives the same
// bytes, except where the writer's character references of one-byte code pages differ from
// what a reader takes them for (below).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/editions.h"
#include "src/com/text.h"
#include "src/msgset/msgset_request.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4::fuzz {
namespace {

// The set's document, or false when it is refused.
bool Write(IMsgSetRequest* set, std::string& text) {
  Bstr written;
  if (FAILED(set->ToXMLString(written.Put()))) return false;
  text = ToNarrow(written.Get());
  return true;
}

// The writer gives a byte 0x80 to 0xFF of a one-byte code page as "&#N;" with N the byte's
// value, which a reader takes as the code point N. For 0xA0 to 0xFF the two agree in
// Windows-1252; 0x80 to 0x9F are other characters there (0x80 is the euro sign), so they come
// back as '?'. Such a set is not expected to read back the same.
bool HoldsC1Reference(std::string_view text) {
  for (size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 2)) {
    unsigned value = 0;
    size_t i = at + 2;
    while (i < text.size() && i < at + 6 && text[i] >= '0' && text[i] <= '9')
      value = value * 10 + static_cast<unsigned>(text[i++] - '0');
    if (value >= 0x80 && value <= 0x9F) return true;
  }
  return false;
}

[[noreturn]] void Fail(const char* what, const std::string& first, const std::string& second) {
  std::fprintf(stderr, "ToMsgSetRequest: %s\n--- written\n%s\n--- then\n%s\n", what, first.c_str(),
               second.c_str());
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
  ComPtr<IMsgSetRequest> set;
  if (SUCCEEDED(ParseMsgSetRequest(document, edition.country, edition.major, edition.minor,
                                   OnlineSignon{}, set.Put())) &&
      set) {
    Bstr report;
    VARIANT_BOOL ok = VARIANT_FALSE;
    set->Verify(report.Put(), &ok);
    std::string first;
    if (Write(set.Get(), first)) {
      ComPtr<IMsgSetRequest> again;
      if (FAILED(ParseMsgSetRequest(first, edition.country, edition.major, edition.minor,
                                    OnlineSignon{}, again.Put())) ||
          !again)
        Fail("the written set does not read back", first, "(refused)");
      std::string second;
      if (!Write(again.Get(), second)) Fail("the set read back cannot be written", first, "(refused)");
      if (second != first && !HoldsC1Reference(first)) Fail("the set read back writes other bytes", first, second);
    }
  }
  SetErrorInfo(0, nullptr);
  return 0;
}
