// The online edition's gateway: HTTPS in front of the engine. A request document is checked as
// a whole (XML, the VTXML root, the DOCTYPE's version, one sign-on, a message set of requests)
// before anything is signed on or booked, so a document refused with 400 leaves no session and
// no record behind.
#include "processor/gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// Clients come in bursts, each exchange a connection of its own: a short listen queue drops
// connections, which then wait a second before they try again.
#define CPPHTTPLIB_LISTEN_BACKLOG 128
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pugixml.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "processor/document.h"
#include "processor/sandbox_engine.h"
#include "processor/store.h"

namespace vtfc4::sandbox {
namespace {

// The statusCode of a sign-on that fails; each request of its message set is answered with the
// same code. The README's table lists them.
enum SignonCode : int {
  kSignedOn = 0,
  kMissingMember = 2010,       // a required member is absent or empty
  kUnknownConnection = 2020,   // the company file never issued that connection ticket
  kRevokedConnection = 2021,   // the connection ticket was revoked
  kOtherLogin = 2022,          // the connection ticket belongs to another login
  kUnknownSession = 2030,      // no session has that ticket
  kExpiredSession = 2031,      // the session went unused longer than the gateway allows
  kSessionRevoked = 2032,      // the connection ticket the session began with was revoked since
};

// How long the gateway remembers a lapsed session, so that its client hears "expired" rather
// than "unknown" when it comes back.
constexpr std::time_t kLapsedMemory = 24 * 60 * 60;

// The members of each sign-on, in the order the client writes them, and which it must send.
struct SignonMember {
  const char* name;
  bool required;
};
const SignonMember kDesktopMembers[] = {{"ClientDateTime", true}, {"ApplicationLogin", true},
                                        {"ConnectionTicket", true}, {"InstallationID", false},
                                        {"Language", true},       {"AppID", true},
                                        {"AppVer", true}};
const SignonMember kTicketMembers[] = {{"ClientDateTime", true}, {"SessionTicket", true}, {"AuthID", false},
                                       {"InstallationID", false}, {"Language", true},   {"AppID", true},
                                       {"AppVer", true}};

// A document the gateway cannot answer at all: HTTP 400 with this reason.
struct BadDocument {
  std::string reason;
};

std::string RandomBytes(std::size_t n) {
  std::string bytes(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(n)) != 1)
    throw std::runtime_error("the system's random source failed");
  return bytes;
}

// 16 random bytes as a GUID is written: 8-4-4-4-12 upper-case hex digits.
std::string GuidText() {
  static const char kHex[] = "0123456789ABCDEF";
  const std::string bytes = RandomBytes(16);
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    const auto b = static_cast<unsigned char>(bytes[i]);
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

// Local time as vtXML's date-time without an offset ("2026-12-06T10:11:12").
std::string LocalDateTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  return text;
}

// The version a DOCTYPE's public identifier names ("-//KORVEN//DTD VTXML VT0 4.0//EN" names
// "4.0"), or nothing.
std::optional<std::string> DoctypeVersion(std::string_view doctype) {
  const std::size_t root = doctype.find_first_not_of(" \t\r\n");
  if (root == std::string_view::npos || doctype.substr(root, 5) != "VTXML") return std::nullopt;
  const std::size_t keyword = doctype.find("PUBLIC", root + 5);
  const std::size_t open = doctype.find_first_of("'\"", keyword);
  if (keyword == std::string_view::npos || open == std::string_view::npos) return std::nullopt;
  const std::size_t close = doctype.find(doctype[open], open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view publicId = doctype.substr(open + 1, close - open - 1);
  const std::size_t marker = publicId.find("VT0 ");
  if (marker == std::string_view::npos) return std::nullopt;
  const std::size_t from = marker + 4;
  std::size_t end = from;
  while (end < publicId.size() && (std::isdigit(static_cast<unsigned char>(publicId[end])) || publicId[end] == '.'))
    ++end;
  if (end == from) return std::nullopt;
  return std::string(publicId.substr(from, end - from));
}

// What a request document holds, checked: the version, the sign-on and its members, the
// message set's requests.
struct Document {
  std::string version;
  bool ticketSignon = false;
  std::map<std::string, std::string> members;
  std::vector<pugi::xml_node> requests;
};

Document ReadDocument(const pugi::xml_document& doc) {
  Document d;
  const pugi::xml_node root = doc.document_element();
  if (std::string_view(root.name()) != "VTXML") throw BadDocument{"The document's root element is not VTXML."};
  pugi::xml_node doctype;
  for (pugi::xml_node n : doc.children())
    if (n.type() == pugi::node_doctype) doctype = n;
  if (!doctype) throw BadDocument{"The document has no DOCTYPE naming its vtXML version."};
  const std::optional<std::string> version = DoctypeVersion(doctype.value());
  if (!version) throw BadDocument{"The DOCTYPE's public identifier names no vtXML version (\"VT0 x.y\")."};
  const std::vector<std::string> served = SupportedVersions("US");
  if (std::find(served.begin(), served.end(), *version) == served.end())
    throw BadDocument{"The DOCTYPE names vtXML version " + *version + ", which the sandbox does not serve (" +
                      served.front() + " to " + served.back() + ")."};
  d.version = *version;

  pugi::xml_node signon, msgs;
  for (pugi::xml_node child : Elements(root)) {
    const std::string name = child.name();
    if (name != "SignonMsgsRq" && name != "VTXMLMsgsRq")
      throw BadDocument{"VTXML holds " + name + ", which is neither SignonMsgsRq nor VTXMLMsgsRq."};
    pugi::xml_node& slot = name == "SignonMsgsRq" ? signon : msgs;
    if (slot) throw BadDocument{"VTXML holds more than one " + name + "."};
    slot = child;
  }
  if (!signon) throw BadDocument{"The document has no SignonMsgsRq."};
  if (!msgs) throw BadDocument{"The document has no VTXMLMsgsRq."};

  const std::vector<pugi::xml_node> signons = Elements(signon);
  const std::string_view kind = signons.size() == 1 ? signons[0].name() : "";
  if (kind != "SignonDesktopRq" && kind != "SignonTicketRq")
    throw BadDocument{"SignonMsgsRq must hold one SignonDesktopRq or one SignonTicketRq."};
  d.ticketSignon = kind == "SignonTicketRq";
  for (pugi::xml_node member : Elements(signons[0])) {
    const std::string name = member.name();
    const auto& known = d.ticketSignon ? kTicketMembers : kDesktopMembers;
    if (std::none_of(std::begin(known), std::end(known), [&](const SignonMember& m) { return name == m.name; }))
      throw BadDocument{std::string(kind) + " holds " + name + ", which is not one of its members."};
    if (!Elements(member).empty()) throw BadDocument{std::string(kind) + "'s " + name + " holds elements, not a value."};
    if (!d.members.emplace(name, member.child_value()).second)
      throw BadDocument{std::string(kind) + " holds " + name + " more than once."};
  }

  const std::string policy = msgs.attribute("onError") ? msgs.attribute("onError").value() : "stopOnError";
  if (policy != "stopOnError" && policy != "continueOnError" && policy != "rollbackOnError")
    throw BadDocument{"The onError policy \"" + policy + "\" is not stopOnError, continueOnError or rollbackOnError."};
  d.requests = Elements(msgs);
  for (pugi::xml_node rq : d.requests) {
    const std::string_view name = rq.name();
    if (name.size() <= 2 || !name.ends_with("Rq"))
      throw BadDocument{"The message set holds " + std::string(name) + ", which is not a request."};
  }
  return d;
}

struct SignonOutcome {
  int code = kSignedOn;
  std::string message = "OK";
  std::string sessionTicket;
};

// The sign-on's answer element: its status, the server's time, and the session ticket when it
// succeeded.
std::string SignonAnswer(bool ticketSignon, const SignonOutcome& o, std::time_t now) {
  const std::string element = ticketSignon ? "SignonTicketRs" : "SignonDesktopRs";
  std::string out = "<SignonMsgsRs>\r\n<" + element + " statusCode=\"" + std::to_string(o.code) +
                    "\" statusSeverity=\"" + (o.code == kSignedOn ? "INFO" : "ERROR") + "\" statusMessage=\"";
  AppendEscaped(out, o.message, true);
  out += "\">\r\n<ServerDateTime>" + LocalDateTime(now) + "</ServerDateTime>\r\n";
  if (o.code == kSignedOn) {
    out += "<SessionTicket>";
    AppendEscaped(out, o.sessionTicket, false);
    out += "</SessionTicket>\r\n";
  }
  return out + "</" + element + ">\r\n</SignonMsgsRs>\r\n";
}

// The message set of a failed sign-on: every request refused with the sign-on's code.
std::string RefusedSet(const std::vector<pugi::xml_node>& requests, const SignonOutcome& o) {
  if (requests.empty()) return "<VTXMLMsgsRs/>\r\n";
  std::string out = "<VTXMLMsgsRs>\r\n";
  for (pugi::xml_node rq : requests) {
    std::string rs = rq.name();
    rs.replace(rs.size() - 2, 2, "Rs");
    out += "<" + rs;
    if (pugi::xml_attribute id = rq.attribute("requestID")) {
      out += " requestID=\"";
      AppendEscaped(out, id.value(), true);
      out += "\"";
    }
    out += " statusCode=\"" + std::to_string(o.code) + "\" statusSeverity=\"Error\" statusMessage=\"";
    AppendEscaped(out, "Not processed: the sign-on failed. " + o.message, true);
    out += "\"/>\r\n";
  }
  return out + "</VTXMLMsgsRs>\r\n";
}

struct Reply {
  int status = 200;
  std::string body;
  std::string type = kGatewayMediaType;
};

Reply PlainText(int status, const std::string& reason) { return {status, reason + "\n", "text/plain; charset=utf-8"}; }

// The media type of a Content-Type header, without parameters, in lower case.
std::string MediaType(const std::string& header) {
  std::string type = header.substr(0, header.find(';'));
  type.erase(0, type.find_first_not_of(" \t"));
  type.erase(type.find_last_not_of(" \t") + 1);
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
  return type;
}

// ---- Certificates.

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Freer<GENERAL_NAMES, GENERAL_NAMES_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;

bool IsDnsName(const std::string& name) {
  if (name.empty() || name.size() > 253 || name.front() == '.' || name.back() == '.') return false;
  return std::all_of(name.begin(), name.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '*'; });
}

bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
  const bool added = ext && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return added;
}

// Writes `write`'s PEM text to `path` through a file beside it, renamed into place once whole,
// so that a reader never meets half a key.
template <typename Write>
bool WritePem(const std::string& path, mode_t mode, Write write, std::string& error) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    error = "Cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  FILE* out = fdopen(fd, "w");
  bool ok = out && fchmod(fd, mode) == 0 && write(out) == 1;
  ok = out && std::fflush(out) == 0 && ok && fsync(fd) == 0;
  const int saved = errno;
  if (out) std::fclose(out); else close(fd);
  if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  error = "Cannot write " + path + ": " + std::strerror(ok ? errno : saved);
  std::remove(temporary.c_str());
  return false;
}

}  // namespace

bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile,
                               const std::vector<std::string>& names, std::string& error) {
  if (names.empty()) {
    error = "A certificate needs at least one name.";
    return false;
  }
  NamesPtr alternatives(sk_GENERAL_NAME_new_null());
  for (const std::string& name : names) {
    GENERAL_NAME* general = GENERAL_NAME_new();
    if (ASN1_OCTET_STRING* address = a2i_IPADDRESS(name.c_str())) {
      GENERAL_NAME_set0_value(general, GEN_IPADD, address);
    } else if (IsDnsName(name)) {
      ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
      ASN1_STRING_set(dns, name.data(), static_cast<int>(name.size()));
      GENERAL_NAME_set0_value(general, GEN_DNS, dns);
    } else {
      GENERAL_NAME_free(general);
      error = "\"" + name + "\" is neither a host name nor an IP address.";
      return false;
    }
    sk_GENERAL_NAME_push(alternatives.get(), general);
  }

  KeyPtr key(EVP_EC_gen("P-256"));
  CertPtr cert(X509_new());
  bool ok = key && cert && X509_set_version(cert.get(), X509_VERSION_3) == 1;
  try {
    const std::string serial = RandomBytes(16);
    BignumPtr number(BN_bin2bn(reinterpret_cast<const unsigned char*>(serial.data()), 15, nullptr));
    ok = ok && number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get()));
  } catch (const std::runtime_error&) {
    ok = false;
  }
  ok = ok && X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) &&
       X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 60 * 60) &&
       X509_set_pubkey(cert.get(), key.get()) == 1;
  X509_NAME* subject = ok ? X509_get_subject_name(cert.get()) : nullptr;
  ok = ok &&
       X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>("vtFC4 sandbox gateway"), -1, -1, 0) == 1 &&
       X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>(names[0].c_str()), -1, -1, 0) == 1 &&
       X509_set_issuer_name(cert.get(), subject) == 1;
  if (ok) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    ok = AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth") &&
         AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash") &&
         AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always") &&
         X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, alternatives.get(), 0, X509V3_ADD_DEFAULT) == 1 &&
         X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  }
  if (!ok) {
    error = "OpenSSL could not make the certificate.";
    return false;
  }
  return WritePem(
             keyFile, 0600,
             [&](FILE* out) { return PEM_write_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr); },
             error) &&
         WritePem(certFile, 0644, [&](FILE* out) { return PEM_write_X509(out, cert.get()); }, error);
}

std::string IssueConnectionTicket(CompanyFile& file, const std::string& login) {
  if (login.empty()) throw std::invalid_argument("A connection ticket is issued for a login, not for an empty one.");
  ConnectionTicket t{"TGT-" + GuidText(), login, static_cast<std::int64_t>(file.Now()), 0};
  const CompanyFile::WriteTurn turn(file);
  Transaction tx(file.Handle());
  InsertConnectionTicket(file.Handle(), t);
  tx.Finish(true);
  return t.ticket;
}

bool RevokeConnectionTicket(CompanyFile& file, const std::string& ticket) {
  const CompanyFile::WriteTurn turn(file);
  Transaction tx(file.Handle());
  const bool known = RevokeConnectionTicketAt(file.Handle(), ticket, static_cast<std::int64_t>(file.Now()));
  tx.Finish(true);
  return known;
}

// ---- The gateway.

struct Gateway::State {
  struct Session {
    std::string connectionTicket;
    std::time_t lastUse = 0;
  };

  GatewayOptions options;
  std::string certFile;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread listener;
  int port = 0;
  std::mutex stopping;

  std::mutex mutex;  // guards what follows
  std::map<std::string, Session> sessions;
  std::function<std::time_t()> clock;
  // Open connections to the company file, one per request being served: each has its own
  // SQLite connection and its own lock file descriptor, so writers of this process take turns
  // with each other as with other processes.
  std::vector<std::unique_ptr<CompanyFile>> idle;

  std::time_t Now() {
    std::lock_guard<std::mutex> lock(mutex);
    return clock ? clock() : std::time(nullptr);
  }

  // A connection to the company file for one request, given back when the request is done
  // unless it failed in a way that may have left it unusable.
  class Lease {
   public:
    explicit Lease(State& state) : state_(state) {
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.idle.empty()) {
          file_ = std::move(state.idle.back());
          state.idle.pop_back();
        }
      }
      if (!file_) {
        std::string error;
        file_ = CompanyFile::Open(state.options.company, error);
        if (!file_) throw std::runtime_error(error);
      }
    }
    ~Lease() {
      if (!file_) return;
      std::lock_guard<std::mutex> lock(state_.mutex);
      state_.idle.push_back(std::move(file_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    CompanyFile& File() { return *file_; }
    void Discard() { file_.reset(); }

   private:
    State& state_;
    std::unique_ptr<CompanyFile> file_;
  };

  SignonOutcome SignOn(CompanyFile& file, const Document& d, std::time_t now);
  Reply Serve(const std::string& body);
};

SignonOutcome Gateway::State::SignOn(CompanyFile& file, const Document& d, std::time_t now) {
  for (const SignonMember& m : d.ticketSignon ? kTicketMembers : kDesktopMembers) {
    const auto found = d.members.find(m.name);
    if (m.required && (found == d.members.end() || found->second.empty()))
      return {kMissingMember, std::string(d.ticketSignon ? "SignonTicketRq" : "SignonDesktopRq") + " lacks " +
                                  m.name + ", or holds it empty.", ""};
  }
  const std::time_t window = static_cast<std::time_t>(options.sessionMinutes) * 60;
  if (!d.ticketSignon) {
    const std::optional<ConnectionTicket> t = ConnectionTicketOf(file.Handle(), d.members.at("ConnectionTicket"));
    if (!t) return {kUnknownConnection, "The connection ticket is not one this company file issued.", ""};
    if (t->revokedAt != 0) return {kRevokedConnection, "The connection ticket was revoked.", ""};
    if (t->login != d.members.at("ApplicationLogin"))
      return {kOtherLogin, "The connection ticket was issued for another login.", ""};
    SignonOutcome o{kSignedOn, "OK", GuidText()};
    std::lock_guard<std::mutex> lock(mutex);
    std::erase_if(sessions, [&](const auto& s) { return now - s.second.lastUse >= window + kLapsedMemory; });
    sessions[o.sessionTicket] = {t->ticket, now};
    return o;
  }
  const std::string& ticket = d.members.at("SessionTicket");
  std::string connection;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto session = sessions.find(ticket);
    if (session == sessions.end())
      return {kUnknownSession, "The session ticket is unknown: sign on with a connection ticket.", ""};
    if (now - session->second.lastUse >= window)
      return {kExpiredSession,
              "The session ticket lapsed after " + std::to_string(options.sessionMinutes) +
                  " minutes without use: sign on with a connection ticket.",
              ""};
    connection = session->second.connectionTicket;
  }
  const std::optional<ConnectionTicket> t = ConnectionTicketOf(file.Handle(), connection);
  std::lock_guard<std::mutex> lock(mutex);
  if (!t || t->revokedAt != 0) {
    sessions.erase(ticket);
    return {kSessionRevoked, "The connection ticket this session began with was revoked.", ""};
  }
  if (auto session = sessions.find(ticket); session != sessions.end()) session->second.lastUse = now;
  return {kSignedOn, "OK", ticket};
}

Reply Gateway::State::Serve(const std::string& body) {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(body.data(), body.size(), pugi::parse_default | pugi::parse_doctype);
  if (!parsed)
    return PlainText(400, std::string("The request is not well-formed XML: ") + parsed.description() +
                              " at offset " + std::to_string(parsed.offset) + ".");
  Document d;
  try {
    d = ReadDocument(doc);
  } catch (const BadDocument& bad) {
    return PlainText(400, bad.reason);
  }
  const std::time_t now = Now();
  Lease lease(*this);
  std::string answer;
  SignonOutcome outcome;
  try {
    outcome = SignOn(lease.File(), d, now);
    if (outcome.code != kSignedOn) {
      answer = "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n" + RefusedSet(d.requests, outcome) + "</VTXML>\r\n";
    } else {
      Access access;
      access.version = d.version;
      answer = ProcessRequest(lease.File(), body, access);
    }
  } catch (const MalformedRequest& e) {
    return PlainText(400, e.what());
  } catch (...) {
    lease.Discard();
    throw;
  }
  static constexpr std::string_view kRoot = "<VTXML>\r\n";
  const std::size_t at = answer.find(kRoot);
  if (at == std::string::npos) throw std::logic_error("the engine's answer has no VTXML element");
  answer.insert(at + kRoot.size(), SignonAnswer(d.ticketSignon, outcome, now));
  return {200, std::move(answer), kGatewayMediaType};
}

Gateway::Gateway(std::unique_ptr<State> state) : state_(std::move(state)) {}

Gateway::~Gateway() { Stop(); }

int Gateway::Port() const { return state_->port; }

const std::string& Gateway::CertificateFile() const { return state_->certFile; }

void Gateway::SetClock(std::function<std::time_t()> clock) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->clock = std::move(clock);
}

void Gateway::Stop() {
  std::lock_guard<std::mutex> lock(state_->stopping);
  if (state_->server) state_->server->stop();
  if (state_->listener.joinable()) state_->listener.join();
}

std::unique_ptr<Gateway> Gateway::Start(const GatewayOptions& options, std::string& error) {
  if (options.port < 0 || options.port > 65535) {
    error = "The port " + std::to_string(options.port) + " is not between 0 and 65535.";
    return nullptr;
  }
  if (options.sessionMinutes < 1 || options.maxBody < 1) {
    error = "Sessions must last a minute at least, and requests may not be empty.";
    return nullptr;
  }
  if (options.certFile.empty() != options.keyFile.empty()) {
    error = "Name both the certificate and its key, or neither.";
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->options = options;
  {
    std::unique_ptr<CompanyFile> file = CompanyFile::Open(options.company, error);
    if (!file) return nullptr;
    if (file->Country() != "US") {
      error = "The company file \"" + options.company + "\" is of the " + file->Country() +
              " edition; the online edition serves US company files only.";
      return nullptr;
    }
    state->idle.push_back(std::move(file));
  }

  state->certFile = options.certFile;
  std::string keyFile = options.keyFile;
  if (state->certFile.empty()) {
    state->certFile = options.company + ".gateway.crt";
    keyFile = options.company + ".gateway.key";
    std::error_code ec;
    if (!std::filesystem::exists(state->certFile, ec) || !std::filesystem::exists(keyFile, ec)) {
      std::vector<std::string> names = {"localhost", "127.0.0.1"};
      if (!options.host.empty() && options.host != "0.0.0.0" && options.host != "::" &&
          std::find(names.begin(), names.end(), options.host) == names.end())
        names.push_back(options.host);
      if (!MakeSelfSignedCertificate(state->certFile, keyFile, names, error)) return nullptr;
    }
  }

  state->server = std::make_unique<httplib::SSLServer>(state->certFile.c_str(), keyFile.c_str());
  if (!state->server->is_valid()) {
    error = "Cannot serve with the certificate " + state->certFile + " and the key " + keyFile +
            ": they are missing, unreadable, or do not belong together.";
    return nullptr;
  }
  httplib::SSLServer& server = *state->server;
  State* s = state.get();
  // Not the library's default, which also shares the port with any other server on it: a
  // second gateway on a port in use is refused rather than handed half the requests.
  server.set_socket_options([](int sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(options.maxBody);
  // An idle client keeps its connection this long; Stop waits for it at most as long.
  server.set_keep_alive_timeout(2);
  // Path, method and media type are judged before the body is read.
  server.set_pre_routing_handler([](const httplib::Request& rq, httplib::Response& rs) {
    if (rq.path != kGatewayPath) {
      rs.status = 404;
      rs.set_content(std::string("Nothing here: the gateway answers at ") + kGatewayPath + ".\n", "text/plain");
    } else if (rq.method != "POST") {
      rs.status = 405;
      rs.set_header("Allow", "POST");
      rs.set_content("The gateway takes request documents by POST only.\n", "text/plain");
    } else if (MediaType(rq.get_header_value("Content-Type")) != kGatewayMediaType) {
      rs.status = 415;
      rs.set_content(std::string("The gateway takes ") + kGatewayMediaType + " documents only.\n", "text/plain");
    } else {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  server.Post(kGatewayPath, [s](const httplib::Request& rq, httplib::Response& rs) {
    Reply reply;
    try {
      reply = s->Serve(rq.body);
    } catch (const std::exception& e) {
      reply = PlainText(500, std::string("The sandbox failed to answer: ") + e.what());
    } catch (...) {
      reply = PlainText(500, "The sandbox failed to answer.");
    }
    rs.status = reply.status;
    rs.set_content(reply.body, reply.type.c_str());
  });
  server.set_error_handler(httplib::Server::HandlerWithResponse([max = options.maxBody](const httplib::Request&,
                                                                                         httplib::Response& rs) {
    if (!rs.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const std::string reason =
        rs.status == 413 ? "The request is larger than " + std::to_string(max) + " bytes." : "The request was refused.";
    rs.set_content(reason + "\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  }));

  errno = 0;
  if (options.port == 0) {
    state->port = server.bind_to_any_port(options.host);
  } else {
    state->port = server.bind_to_port(options.host, options.port) ? options.port : -1;
  }
  if (state->port < 0) {
    const int cause = errno;
    error = "Cannot listen on " + options.host + ":" + std::to_string(options.port) +
            (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string("."));
    return nullptr;
  }
  auto listened = std::make_shared<std::atomic<bool>>(false);
  state->listener = std::thread([s, listened] {
    s->server->listen_after_bind();
    *listened = true;
  });
  // Until the server runs, a stop would not reach it.
  while (!server.is_running() && !*listened) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return std::unique_ptr<Gateway>(new Gateway(std::move(state)));
}

}  // namespace vtfc4::sandbox
