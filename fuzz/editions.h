// The editions a document can be read in, chosen by the first byte of a fuzz input: every
// supported country and vtXML version, so that one corpus reaches the version gates of all of
// them. '0' to '7' choose them in table order, which keeps seed files readable.
#ifndef VTFC4_FUZZ_EDITIONS_H
#define VTFC4_FUZZ_EDITIONS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "src/core/element.h"

namespace vtfc4::fuzz {

struct Edition {
  int32_t country;
  int16_t major, minor;
};

inline constexpr Edition kEditions[] = {
    {kCountryUS, 4, 0}, {kCountryUS, 3, 0}, {kCountryUS, 2, 1}, {kCountryUS, 2, 0},
    {kCountryUS, 1, 1}, {kCountryUS, 1, 0}, {kCountryCA, 3, 0}, {kCountryCA, 2, 0},
};

// The edition the first byte chooses, and the document after it; false for an empty input.
inline bool TakeEdition(const uint8_t* data, size_t size, Edition& edition, std::string_view& document) {
  if (size == 0) return false;
  edition = kEditions[data[0] % (sizeof kEditions / sizeof kEditions[0])];
  document = std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
  return true;
}

}  // namespace vtfc4::fuzz

#endif  // VTFC4_FUZZ_EDITIONS_H
