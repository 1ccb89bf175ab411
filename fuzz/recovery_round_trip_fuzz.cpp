// Fuzz target RecoveryRoundTrip: a saved request as the manager stores it. Sealing it and
// opening the record again gives back exactly the same bytes; the record is then read by the
// recovery reader, which finds the message set identifier and the request's version and
// country in it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/recovery_reader.h"
#include "src/session/recovery_cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using vtfc4::CipherResult;
  using vtfc4::fuzz::RecoveryReader;
  static RecoveryReader reader;
  const std::string_view plain(reinterpret_cast<const char*>(data), size);
  std::string sealed, opened;
  if (vtfc4::EncipherRecoveryData(plain, sealed) != CipherResult::kDone)
    RecoveryReader::Fail("a text could not be sealed");
  if (sealed.find('\0') != std::string::npos) RecoveryReader::Fail("a sealed record holds a NUL");
  if (vtfc4::DecipherRecoveryData(sealed, opened) != CipherResult::kDone)
    RecoveryReader::Fail("a sealed record does not open");
  if (opened != plain) RecoveryReader::Fail("a sealed record opens to other bytes");
  reader.Read(sealed);
  return 0;
}
