// Internal: the cipher of the error-recovery file, over whole texts. The enciphered text is
// base64 and holds no NUL.
#ifndef VTFC4_SRC_SESSION_RECOVERY_CIPHER_H
#define VTFC4_SRC_SESSION_RECOVERY_CIPHER_H

#include <string>
#include <string_view>

namespace vtfc4 {

// How a cipher call ended, in the order of the failures it reports: no cipher context, no
// buffer (for deciphering also a text that is not a record: not base64, or too short), the
// cipher refused (for deciphering: the record was altered).
enum class CipherResult { kDone, kNoContext, kNoBuffer, kRefused };

CipherResult EncipherRecoveryData(std::string_view plain, std::string& out);
CipherResult DecipherRecoveryData(std::string_view text, std::string& out);

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_RECOVERY_CIPHER_H
