// Fuzz target RecoveryDecipher: the bytes of an error-recovery record file as found on disk,
// deciphered, and read by the recovery reader as a whole. A text that is not a record of this
// build is refused; whatever deciphers is parsed as the reader parses a saved request.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/recovery_reader.h"
#include "src/session/recovery_cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vtfc4::fuzz::RecoveryReader reader;
  const std::string_view record(reinterpret_cast<const char*>(data), size);
  std::string plain;
  vtfc4::DecipherRecoveryData(record, plain);
  reader.Read(record);
  return 0;
}
