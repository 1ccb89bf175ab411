// Internal: one HTTPS exchange with the online edition's gateway. The request document goes
// by POST to the gateway's "/j/AppGateway" and the answer is read whole. The certificate and
// the host name are always verified.
//
// Where the gateway is, and how long an exchange may take, comes from the environment:
//   VTFC4_GATEWAY_URL       scheme, host and port of the gateway (kDefaultGatewayUrl); only
//                           https is accepted
//   VTFC4_CA_FILE           a PEM file of the certificates to trust instead of the system's
//   VTFC4_HTTP_TIMEOUT_MS   the whole exchange (kDefaultTimeoutMs); connecting takes at most
//                           kConnectTimeoutMs of it
//   https_proxy, no_proxy   (and the other usual proxy variables) as every HTTP client reads them
#ifndef VTFC4_SRC_SESSION_GATEWAY_CLIENT_H
#define VTFC4_SRC_SESSION_GATEWAY_CLIENT_H

#include <string>
#include <string_view>

#include "vtfc4/com.h"

namespace vtfc4 {

inline constexpr char kDefaultGatewayUrl[] = "https://127.0.0.1:8443";
inline constexpr char kGatewayPath[] = "/j/AppGateway";
inline constexpr long kDefaultTimeoutMs = 120000;
inline constexpr long kConnectTimeoutMs = 30000;

// The transport failures, as the codes of the desktop's HTTP layer. A failure's status is
// 0x80070000 with the code in its low 16 bits.
enum GatewayFailure : int {
  kHttpTimeout = 12002,
  kHttpInternalError = 12004,
  kHttpInvalidUrl = 12005,
  kHttpUnrecognizedScheme = 12006,
  kHttpNameNotResolved = 12007,
  kHttpCannotConnect = 12029,
  kHttpConnectionReset = 12031,
  kHttpCertificateExpired = 12037,
  kHttpHostNameMismatch = 12038,
  kHttpInvalidAuthority = 12045,
  kHttpSecureChannelError = 12157,
};

// The text of a transport failure code; empty for a code it does not know.
const char* GatewayFailureText(int code);

struct GatewayReply {
  HRESULT status = S_OK;
  // The answer's body on success, else the error description: "code: reason" for an HTTP
  // status other than 200, the failure's text for a transport failure.
  std::string text;
};

// Posts `body` (the request document, as narrow text) and reads the answer.
GatewayReply PostToGateway(std::string_view body);

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_GATEWAY_CLIENT_H
