// The sandbox's HTTPS gateway: the back end of the online edition. The library's online session
// posts each request document to <gateway>/j/AppGateway; the gateway answers its sign-on
// (a connection ticket the company file issued, or a session ticket it answered before) and
// hands the message set to the engine, against one company file. The engine knows nothing of
// HTTP; the gateway knows nothing of accounting.
#ifndef VTFC4_PROCESSOR_GATEWAY_H
#define VTFC4_PROCESSOR_GATEWAY_H

#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vtfc4::sandbox {

class CompanyFile;

// Where the gateway answers, and the media type of what it takes and gives.
inline constexpr const char* kGatewayPath = "/j/AppGateway";
inline constexpr const char* kGatewayMediaType = "application/x-vtxml";

struct GatewayOptions {
  std::string company;  // the company file served (of the US edition)
  std::string host = "127.0.0.1";
  int port = 8443;  // 0: any free port (Port() tells which)
  // The server's certificate and key (PEM). Both empty: <company>.gateway.crt and
  // <company>.gateway.key beside the company file, made self-signed for "localhost",
  // "127.0.0.1" and the host when they are missing.
  std::string certFile, keyFile;
  std::size_t maxBody = 16u << 20;  // a larger request body is refused (413)
  int sessionMinutes = 60;          // a session ticket lapses after this long without use
};

class Gateway {
 public:
  // Opens the company file, loads (or makes) the certificate and listens; the gateway serves
  // from its own threads until Stop. Null, with `error` set, when any of it fails.
  static std::unique_ptr<Gateway> Start(const GatewayOptions& options, std::string& error);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  int Port() const;
  const std::string& CertificateFile() const;
  // Stops listening and waits for the requests being served; again, it does nothing.
  void Stop();
  // The clock that dates sign-ons and lapses session tickets: the system clock unless replaced.
  void SetClock(std::function<std::time_t()> clock);

 private:
  struct State;
  explicit Gateway(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Issues a new connection ticket of the company file for `login` (not empty) and answers it.
std::string IssueConnectionTicket(CompanyFile& file, const std::string& login);
// Revokes a connection ticket (one already revoked stays so); false when the file never issued it.
bool RevokeConnectionTicket(CompanyFile& file, const std::string& ticket);

// Writes a new EC P-256 key (mode 0600) and a self-signed certificate for it (SHA-256, valid
// for a year from now) whose subjectAltName holds `names`: DNS names, or IPv4 or IPv6
// addresses. False, with `error` set, when a name is neither or a file cannot be written.
bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile,
                               const std::vector<std::string>& names, std::string& error);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_GATEWAY_H
