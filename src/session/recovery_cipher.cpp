// The cipher of the error-recovery file: AES-256-GCM over the whole text, with a fresh
// random nonce per record, written as base64 on one line (no NUL can appear in it). A record
// that was altered or cut short fails its authentication tag and is refused, never returned
// as garbage.
//
// The key is derived from three items of 217 bytes: one kept in the library's data, two
// assembled at run time, so the key never appears as one constant in the binary. It is the
// same for every installation of one build; it keeps a record unreadable to a casual reader
// (the file is also readable only by its owner), not to someone holding the library.
#include "src/session/recovery_cipher.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <memory>
#include <new>

namespace vtfc4 {
namespace {

constexpr size_t kItem = 217;
constexpr size_t kNonce = 12;
constexpr size_t kTag = 16;

// The stored item.
constexpr std::array<uint8_t, kItem> kStoredItem = {
    0x1f, 0x18, 0xd2, 0x19, 0x2e, 0x0f, 0xd9, 0xb6, 0x8d, 0x3d, 0xaf, 0xf2, 0x83, 0xb3, 0x46,
    0x7f, 0x4d, 0x5d, 0xd1, 0x3c, 0xae, 0xb8, 0xdb, 0xc8, 0x5d, 0xe1, 0x88, 0x8d, 0x75, 0x8f,
    0x89, 0x61, 0xd5, 0xbc, 0xf8, 0x66, 0xbd, 0x39, 0xe2, 0xed, 0x4e, 0xfb, 0xb8, 0x67, 0x7b,
    0x2c, 0xdf, 0x1c, 0x44, 0x5b, 0xe1, 0xb1, 0xdb, 0x2a, 0xbd, 0xf8, 0xf0, 0x9e, 0x29, 0xd5,
    0x50, 0x39, 0x5a, 0xc3, 0x46, 0x7a, 0xd5, 0xae, 0x10, 0x63, 0xb2, 0x66, 0x23, 0x64, 0x2e,
    0xa5, 0x58, 0x9b, 0x6e, 0x5a, 0xe5, 0x8d, 0xa1, 0xf8, 0x0e, 0xda, 0x02, 0x56, 0x32, 0x36,
    0xe8, 0x63, 0x40, 0xc5, 0x71, 0xb4, 0xae, 0x03, 0x35, 0x44, 0x81, 0x6d, 0xd5, 0x99, 0x58,
    0x87, 0x81, 0xb7, 0x57, 0x04, 0x6e, 0x53, 0x29, 0x90, 0xa6, 0x58, 0xd0, 0x2d, 0x5d, 0x7a,
    0x23, 0x03, 0x58, 0x6b, 0xce, 0x3d, 0x13, 0x09, 0x16, 0x51, 0xec, 0x97, 0xa9, 0x31, 0x7b,
    0xb2, 0xde, 0xbe, 0x15, 0xa0, 0x05, 0x5c, 0x9d, 0x57, 0x62, 0x8d, 0x62, 0x2d, 0x7b, 0x7a,
    0xf7, 0x6f, 0x97, 0x0a, 0x54, 0xce, 0xa1, 0xb5, 0xe3, 0xc4, 0xec, 0x69, 0x51, 0xef, 0x0e,
    0x4b, 0x20, 0x04, 0xba, 0xbd, 0x81, 0xf0, 0x37, 0x75, 0x8a, 0x43, 0x65, 0x66, 0x02, 0x33,
    0x79, 0x54, 0x67, 0xa2, 0xb4, 0x7d, 0xd6, 0x86, 0xce, 0x87, 0x4b, 0x8c, 0xc0, 0xdb, 0x0a,
    0x40, 0xe9, 0x2a, 0x08, 0x86, 0x32, 0x9e, 0xea, 0x59, 0x5a, 0x2d, 0xf3, 0xd4, 0xb2, 0xff,
    0x05, 0x14, 0x77, 0x75, 0x65, 0x09, 0xa1
};

// An item assembled at run time from a seed: a SplitMix64 stream.
std::array<uint8_t, kItem> AssembledItem(uint64_t seed) {
  std::array<uint8_t, kItem> item{};
  for (size_t i = 0; i < kItem; ++i) {
    seed += 0x9E3779B97F4A7C15u;
    uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    item[i] = static_cast<uint8_t>(z ^ (z >> 31));
  }
  return item;
}

// SHA-256 over the three items and a label: the 32 bytes of the AES-256 key.
bool DeriveKey(uint8_t (&key)[32]) {
  const std::array<uint8_t, kItem> second = AssembledItem(0x5D2B7E11C3A94F06u);
  const std::array<uint8_t, kItem> third = AssembledItem(0xA17C05E9B38D62F4u);
  static constexpr char kLabel[] = "vtFC4 error recovery record";
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned int length = 0;
  return md && EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) == 1 &&
         EVP_DigestUpdate(md.get(), kStoredItem.data(), kItem) == 1 &&
         EVP_DigestUpdate(md.get(), second.data(), kItem) == 1 &&
         EVP_DigestUpdate(md.get(), third.data(), kItem) == 1 &&
         EVP_DigestUpdate(md.get(), kLabel, sizeof kLabel - 1) == 1 &&
         EVP_DigestFinal_ex(md.get(), key, &length) == 1 && length == sizeof key;
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext NewContext() { return CipherContext(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free); }

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 through OpenSSL's block encoder: padded, on one line, as records have always been.
bool Base64(const uint8_t* data, size_t size, std::string& out) {
  if (size > static_cast<size_t>(INT32_MAX) / 4 * 3) return false;
  out.resize((size + 2) / 3 * 4 + 1);  // the encoder ends its text with a NUL
  const int n = EVP_EncodeBlock(reinterpret_cast<uint8_t*>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<size_t>(n));
  return true;
}

// False for anything but padded base64 on one line. The block decoder would also skip blanks
// at either end and read a padding character anywhere as a zero, so the text is narrowed to
// what a record holds first; the decoder counts padding as bytes, which are taken off.
bool FromBase64(std::string_view text, std::string& out) {
  if (text.size() % 4 || text.size() > static_cast<size_t>(INT32_MAX)) return false;
  const size_t pads = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  if (text.find_first_not_of(kAlphabet) < text.size() - pads) return false;
  out.resize(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(reinterpret_cast<uint8_t*>(out.data()), reinterpret_cast<const uint8_t*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0 || static_cast<size_t>(n) != out.size()) return false;
  out.resize(out.size() - pads);
  return true;
}

}  // namespace

CipherResult EncipherRecoveryData(std::string_view plain, std::string& out) {
  CipherContext context = NewContext();
  if (!context) return CipherResult::kNoContext;
  std::string sealed;
  uint8_t key[32];
  try {
    sealed.resize(kNonce + plain.size() + kTag);
  } catch (const std::bad_alloc&) {
    return CipherResult::kNoBuffer;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(sealed.data());
  int written = 0, last = 0;
  const bool done =
      DeriveKey(key) && RAND_bytes(bytes, kNonce) == 1 &&
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key, bytes) == 1 &&
      plain.size() <= static_cast<size_t>(INT32_MAX) &&
      EVP_EncryptUpdate(context.get(), bytes + kNonce, &written,
                        reinterpret_cast<const uint8_t*>(plain.data()), static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(context.get(), bytes + kNonce + written, &last) == 1 &&
      static_cast<size_t>(written + last) == plain.size() &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTag, bytes + kNonce + plain.size()) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!done) return CipherResult::kRefused;
  try {
    if (!Base64(bytes, sealed.size(), out)) return CipherResult::kNoBuffer;
  } catch (const std::bad_alloc&) {
    return CipherResult::kNoBuffer;
  }
  return CipherResult::kDone;
}

CipherResult DecipherRecoveryData(std::string_view text, std::string& out) {
  CipherContext context = NewContext();
  if (!context) return CipherResult::kNoContext;
  std::string sealed;
  try {
    if (!FromBase64(text, sealed) || sealed.size() < kNonce + kTag) return CipherResult::kNoBuffer;
    out.resize(sealed.size() - kNonce - kTag);
  } catch (const std::bad_alloc&) {
    return CipherResult::kNoBuffer;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(sealed.data());
  const size_t size = out.size();
  uint8_t key[32];
  int written = 0, last = 0;
  const bool done =
      DeriveKey(key) &&
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key, bytes) == 1 &&
      size <= static_cast<size_t>(INT32_MAX) &&
      EVP_DecryptUpdate(context.get(), reinterpret_cast<uint8_t*>(out.data()), &written, bytes + kNonce,
                        static_cast<int>(size)) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTag, bytes + kNonce + size) == 1 &&
      // The tag is checked here: an altered or shortened record stops at this step.
      EVP_DecryptFinal_ex(context.get(), reinterpret_cast<uint8_t*>(out.data()) + written, &last) == 1;
  OPENSSL_cleanse(key, sizeof key);
  if (!done) {
    out.clear();
    return CipherResult::kRefused;
  }
  return CipherResult::kDone;
}

}  // namespace vtfc4
