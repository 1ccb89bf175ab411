// Fuzz target ProcessorAnswer: bytes as they reach the library's proxy from whatever answers on
// the daemon's socket: the frame decoded, taken as an answer (status, the daemon's error, the
// results), and every result turned into the UTF-16 text a client receives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/com/text.h"
#include "src/session/processor_proxy.h"
#include "src/session/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  vtfc4::wire::Message answer;
  if (vtfc4::wire::DecodeFrame(bytes, answer).state != vtfc4::wire::Decoded::kDone) return 0;
  std::vector<std::string> results;
  if (SUCCEEDED(vtfc4::TakeAnswer(answer, results)))
    for (const std::string& r : results) {
      const std::u16string text = vtfc4::WideFromUtf8(r);
      BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      SysFreeString(b);
    }
  SetErrorInfo(0, nullptr);
  return 0;
}
