// Fuzz target ChannelFrame: bytes as they reach the sandbox daemon from a client's connection,
// decoded frame after frame as the daemon does. Every frame taken is written again and must
// give back exactly the bytes it came from; a refused frame ends the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/session/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  vtfc4::wire::Message message;
  for (;;) {
    const vtfc4::wire::Decoding d = vtfc4::wire::DecodeFrame(rest, message);
    if (d.state != vtfc4::wire::Decoded::kDone) break;
    std::string again;
    if (!vtfc4::wire::EncodeFrame(message, again) || again != rest.substr(0, d.frameSize)) std::abort();
    rest.remove_prefix(d.frameSize);
  }
  return 0;
}
