#include "src/session/gateway_client.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "src/com/error.h"

namespace vtfc4 {

namespace {

struct FailureRow {
  int code;
  const char* text;
};
constexpr FailureRow kFailures[] = {
    {kHttpTimeout, "The operation timed out"},
    {kHttpInternalError, "An internal error occurred in the HTTP exchange"},
    {kHttpInvalidUrl, "The URL is invalid"},
    {kHttpUnrecognizedScheme, "The URL does not use a recognized protocol"},
    {kHttpNameNotResolved, "The server name or address could not be resolved"},
    {kHttpCannotConnect, "A connection with the server could not be established"},
    {kHttpConnectionReset, "The connection with the server was reset"},
    {kHttpCertificateExpired, "The certificate date is invalid or has expired"},
    {kHttpHostNameMismatch, "The certificate's host name does not match the server's name"},
    {kHttpInvalidAuthority, "The certificate authority is invalid or incorrect"},
    {kHttpSecureChannelError, "An error occurred in the secure channel support"},
};

// The status of a transport failure: the code in the low 16 bits of 0x80070000.
HRESULT FailureStatus(int code) { return static_cast<HRESULT>(0x80070000u | (static_cast<unsigned>(code) & 0xFFFFu)); }

GatewayReply Failure(int code) { return {FailureStatus(code), GatewayFailureText(code)}; }

// What a refused certificate means. A chain that holds but whose names do not include the
// host is told by the transport's own check (its message names the subject names); otherwise
// the verifier's verdict tells an expired certificate from an untrusted one.
int CertificateFailure(CURL* curl, const char* message) {
  const std::string_view text = message;
  if (text.find("subject name") != std::string_view::npos || text.find("host name") != std::string_view::npos ||
      text.find("hostname") != std::string_view::npos)
    return kHttpHostNameMismatch;
  long verdict = X509_V_OK;
  curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verdict);
  switch (verdict) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return kHttpHostNameMismatch;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return kHttpCertificateExpired;
    default:
      return kHttpInvalidAuthority;
  }
}

int TransportFailure(CURLcode result, CURL* curl, const char* message) {
  switch (result) {
    case CURLE_OPERATION_TIMEDOUT: return kHttpTimeout;
    case CURLE_URL_MALFORMAT: return kHttpInvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL: return kHttpUnrecognizedScheme;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kHttpNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kHttpCannotConnect;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE: return kHttpConnectionReset;
    case CURLE_PEER_FAILED_VERIFICATION: return CertificateFailure(curl, message);
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return kHttpInvalidAuthority;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED: return kHttpSecureChannelError;
    default: return kHttpInternalError;
  }
}

long TimeoutMs() {
  const char* text = std::getenv("VTFC4_HTTP_TIMEOUT_MS");
  if (!text || !*text) return kDefaultTimeoutMs;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return *end == '\0' && value > 0 ? value : kDefaultTimeoutMs;
}

std::string GatewayUrl() {
  const char* text = std::getenv("VTFC4_GATEWAY_URL");
  std::string url = text && *text ? text : kDefaultGatewayUrl;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + kGatewayPath;
}

// What the exchange collects: the last status line's reason phrase (a 100 Continue comes
// before the real one) and the body.
struct Exchange {
  std::string reason;
  std::string body;
  bool outOfMemory = false;
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const std::string_view line(data, size * count);
  if (line.substr(0, 5) == "HTTP/") {
    // "HTTP/1.1 404 Not Found\r\n": the reason is what follows the code.
    size_t at = line.find(' ');
    at = at == std::string_view::npos ? at : line.find(' ', at + 1);
    std::string_view reason = at == std::string_view::npos ? std::string_view() : line.substr(at + 1);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) reason.remove_suffix(1);
    exchange->reason.assign(reason);
  }
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  try {
    exchange->body.append(data, size * count);
  } catch (const std::bad_alloc&) {
    exchange->outOfMemory = true;
    return 0;  // ends the transfer
  }
  return size * count;
}

// The answer as the desktop's reader takes it: in blocks of up to 10240 bytes, each block as
// text up to its first NUL.
std::string AnswerText(const std::string& body) {
  constexpr size_t kBlock = 10240;
  std::string text;
  text.reserve(body.size());
  for (size_t at = 0; at < body.size(); at += kBlock) {
    const size_t length = std::min(kBlock, body.size() - at);
    const char* block = body.data() + at;
    const void* nul = std::memchr(block, '\0', length);
    text.append(block, nul ? static_cast<const char*>(nul) - block : length);
  }
  return text;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

const char* GatewayFailureText(int code) {
  for (const FailureRow& row : kFailures)
    if (row.code == code) return row.text;
  return "";
}

GatewayReply PostToGateway(std::string_view body) {
  static std::once_flag once;
  static CURLcode initialised = CURLE_FAILED_INIT;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (initialised != CURLE_OK) return Failure(kHttpInternalError);

  // One handle per thread, reset for every exchange: what it keeps between exchanges is the
  // TLS session, which spares the next connection a full handshake (each exchange is still a
  // connection of its own).
  thread_local std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return Failure(kHttpInternalError);
  curl_easy_reset(curl.get());
  std::unique_ptr<curl_slist, ListDeleter> headers;
  for (const char* header : {"content-type: application/x-vtxml", "Accept: application/x-vtxml, text/*",
                             "Expect:"}) {
    curl_slist* more = curl_slist_append(headers.get(), header);
    if (!more) return {E_OUTOFMEMORY, ""};
    headers.release();
    headers.reset(more);
  }
  const std::string url = GatewayUrl();
  Exchange exchange;
  char message[CURL_ERROR_SIZE] = "";
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  // Only HTTPS: the answer carries the company's data and the sign-on carries its tickets.
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* ca = std::getenv("VTFC4_CA_FILE"); ca && *ca) curl_easy_setopt(c, CURLOPT_CAINFO, ca);
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "VTFC");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  const long timeout = TimeoutMs();
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout, kConnectTimeoutMs));
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &exchange);

  const CURLcode result = curl_easy_perform(c);
  if (exchange.outOfMemory || result == CURLE_OUT_OF_MEMORY) return {E_OUTOFMEMORY, ""};
  if (result != CURLE_OK) return Failure(TransportFailure(result, c, message));
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    std::string text = std::to_string(status);
    if (!exchange.reason.empty()) text += ": " + exchange.reason;
    return {kHttpStatus, std::move(text)};
  }
  return {S_OK, AnswerText(exchange.body)};
}

}  // namespace vtfc4
