// The sandbox's gateway, talked to as the online client talks to it: request documents posted
// by HTTPS to /j/AppGateway, the server's certificate verified against the one the gateway made.
#include "processor/gateway.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <pugixml.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "processor/sandbox_engine.h"
#include "processor/store.h"

namespace vtfc4::sandbox {
namespace {

constexpr std::time_t kStart = 1796500000;
constexpr std::size_t kMaxBody = 64 * 1024;

std::string MakeTempDir() {
  char pattern[] = "/tmp/vtfc4-gateway-XXXXXX";
  return mkdtemp(pattern) ? pattern : "";
}

// One member of a sign-on: its element and value.
using Members = std::vector<std::pair<std::string, std::string>>;

Members Desktop(const std::string& login, const std::string& ticket) {
  return {{"ClientDateTime", "2026-12-06T10:11:12"}, {"ApplicationLogin", login}, {"ConnectionTicket", ticket},
          {"Language", "English"}, {"AppID", "123"}, {"AppVer", "1"}};
}

Members Ticket(const std::string& session) {
  return {{"ClientDateTime", "2026-12-06T10:11:12"}, {"SessionTicket", session}, {"Language", "English"},
          {"AppID", "123"}, {"AppVer", "1"}};
}

Members Without(Members members, const std::string& name) {
  std::erase_if(members, [&](const auto& m) { return m.first == name; });
  return members;
}

Members Emptied(Members members, const std::string& name) {
  for (auto& m : members)
    if (m.first == name) m.second.clear();
  return members;
}

// A request document as the online client writes it.
std::string Document(const std::string& signon, const Members& members, const std::string& requests,
                     const std::string& version = "4.0") {
  std::string text = "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VT0 " + version +
                     "//EN' 'http://gateway.vtoe.korven.example/dtds/vtxmlops20.dtd'>\r\n<VTXML>\r\n<SignonMsgsRq>\r\n<" +
                     signon + ">\r\n";
  for (const auto& [name, value] : members) text += "<" + name + ">" + value + "</" + name + ">\r\n";
  return text + "</" + signon + ">\r\n</SignonMsgsRq>\r\n<VTXMLMsgsRq onError=\"stopOnError\">\r\n" + requests +
         "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
}

std::string AddCustomer(const std::string& name, int id = 1) {
  return "<CustomerAddRq requestID=\"" + std::to_string(id) + "\">\r\n<CustomerAdd>\r\n<Name>" + name +
         "</Name>\r\n</CustomerAdd>\r\n</CustomerAddRq>\r\n";
}

std::string QueryCustomer(const std::string& name) {
  return "<CustomerQueryRq requestID=\"9\">\r\n<FullName>" + name + "</FullName>\r\n</CustomerQueryRq>\r\n";
}

// An answer document, read.
struct Answer {
  pugi::xml_document doc;
  pugi::xml_node root, signon, msgs;

  explicit Answer(const std::string& text) {
    EXPECT_TRUE(doc.load_string(text.c_str())) << text;
    root = doc.child("VTXML");
    signon = root.child("SignonMsgsRs").first_child();
    msgs = root.child("VTXMLMsgsRs");
  }
  int SignonCode() const { return signon.attribute("statusCode").as_int(-1); }
  std::string Session() const { return signon.child_value("SessionTicket"); }
  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (pugi::xml_node rs : msgs.children()) codes.push_back(rs.attribute("statusCode").as_int(-1));
    return codes;
  }
};

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    std::string error;
    file_ = CompanyFile::Create(Company(), error);
    ASSERT_TRUE(file_) << error;
    ticket_ = IssueConnectionTicket(*file_, "alice");
    GatewayOptions options;
    options.company = Company();
    options.port = 0;
    options.maxBody = kMaxBody;
    gateway_ = Gateway::Start(options, error);
    ASSERT_TRUE(gateway_) << error;
    gateway_->SetClock([this] { return now_.load(); });
  }
  void TearDown() override {
    gateway_.reset();
    file_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::string Company() const { return dir_ + "/books.vtc"; }

  std::unique_ptr<httplib::SSLClient> Client(const std::string& host = "127.0.0.1") const {
    auto client = std::make_unique<httplib::SSLClient>(host, gateway_->Port());
    client->set_ca_cert_path(gateway_->CertificateFile().c_str());
    client->enable_server_certificate_verification(true);
    return client;
  }
  httplib::Result Post(const std::string& body, const std::string& type = kGatewayMediaType,
                       const std::string& path = kGatewayPath) const {
    return Client()->Post(path.c_str(), body, type.c_str());
  }
  // Posts a document that must be answered (200) and reads the answer.
  Answer Exchange(const std::string& body) const {
    httplib::Result result = Post(body);
    EXPECT_TRUE(result) << httplib::to_string(result.error());
    if (!result) return Answer("");
    EXPECT_EQ(result->status, 200) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), kGatewayMediaType);
    return Answer(result->body);
  }
  std::string SignOn() const {
    Answer a = Exchange(Document("SignonDesktopRq", Desktop("alice", ticket_), ""));
    EXPECT_EQ(a.SignonCode(), 0) << a.signon.attribute("statusMessage").value();
    return a.Session();
  }
  // Whether the company file holds a customer of that name, read past the gateway.
  bool Booked(const std::string& name) {
    std::string doc = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRq>\r\n" +
                      QueryCustomer(name) + "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
    Answer a(ProcessRequest(*file_, doc));
    return a.msgs.first_child().attribute("statusCode").as_int(-1) == 0;
  }

  std::string dir_, ticket_;
  std::atomic<std::time_t> now_{kStart};
  std::unique_ptr<CompanyFile> file_;
  std::unique_ptr<Gateway> gateway_;
};

// The road of an online session: a desktop sign-on answers a session ticket and books the
// message set; a ticket sign-on with it answers the same ticket and sees what was booked.
TEST_F(GatewayTest, DesktopThenTicketSignOn) {
  ASSERT_GT(gateway_->Port(), 0);
  Answer first = Exchange(Document("SignonDesktopRq", Desktop("alice", ticket_), AddCustomer("Ames")));
  std::vector<std::string> order;
  for (pugi::xml_node n : first.root.children()) order.push_back(n.name());
  EXPECT_EQ(order, (std::vector<std::string>{"SignonMsgsRs", "VTXMLMsgsRs"}));
  EXPECT_STREQ(first.signon.name(), "SignonDesktopRs");
  EXPECT_EQ(first.SignonCode(), 0);
  EXPECT_STREQ(first.signon.attribute("statusSeverity").value(), "INFO");
  // Only the attributes and members the client's answer reader takes.
  for (pugi::xml_attribute a : first.signon.attributes())
    EXPECT_TRUE(std::regex_match(a.name(), std::regex("statusCode|statusSeverity|statusMessage|requestID"))) << a.name();
  std::vector<std::string> members;
  for (pugi::xml_node n : first.signon.children()) members.push_back(n.name());
  EXPECT_EQ(members, (std::vector<std::string>{"ServerDateTime", "SessionTicket"}));
  EXPECT_TRUE(std::regex_match(first.signon.child_value("ServerDateTime"),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")));
  const std::string session = first.Session();
  EXPECT_TRUE(std::regex_match(session, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"))) << session;
  EXPECT_EQ(first.Codes(), std::vector<int>{0});
  EXPECT_TRUE(Booked("Ames"));

  Answer second = Exchange(Document("SignonTicketRq", Ticket(session), QueryCustomer("Ames")));
  EXPECT_STREQ(second.signon.name(), "SignonTicketRs");
  EXPECT_EQ(second.SignonCode(), 0);
  EXPECT_EQ(second.Session(), session);
  EXPECT_EQ(second.Codes(), std::vector<int>{0});
  EXPECT_STREQ(second.msgs.child("CustomerQueryRs").child("CustomerRet").child_value("FullName"), "Ames");

  // A second desktop sign-on opens a session of its own.
  EXPECT_NE(SignOn(), session);
}

// The version comes from the DOCTYPE: a member newer than the version named is refused by the
// engine as it would be on the desktop.
TEST_F(GatewayTest, TheDoctypeNamesTheVersion) {
  auto add = [](const std::string& name) {
    return "<CustomerAddRq>\r\n<CustomerAdd>\r\n<Name>" + name +
           "</Name>\r\n<Notes>since 3.0</Notes>\r\n</CustomerAdd>\r\n</CustomerAddRq>\r\n";
  };
  Answer older = Exchange(Document("SignonDesktopRq", Desktop("alice", ticket_), add("Old"), "2.0"));
  Answer newer = Exchange(Document("SignonDesktopRq", Desktop("alice", ticket_), add("New"), "3.0"));
  ASSERT_EQ(older.Codes().size(), 1u);
  EXPECT_NE(older.Codes()[0], 0) << "Notes under vtXML 2.0";
  EXPECT_FALSE(Booked("Old"));
  EXPECT_EQ(newer.Codes(), std::vector<int>{0});
  EXPECT_TRUE(Booked("New"));
}

// Each way a sign-on fails: its status, no session ticket, every request refused with the same
// code, nothing booked.
TEST_F(GatewayTest, FailedSignOnsBookNothing) {
  const std::string revoked = IssueConnectionTicket(*file_, "alice");
  ASSERT_TRUE(RevokeConnectionTicket(*file_, revoked));
  struct Case {
    const char* what;
    std::function<std::pair<std::string, Members>()> signon;
    int code;
  };
  const std::vector<Case> cases = {
      {"unknown connection ticket", [] { return std::pair{std::string("SignonDesktopRq"), Desktop("alice", "TGT-NONE")}; }, 2020},
      {"revoked connection ticket", [&] { return std::pair{std::string("SignonDesktopRq"), Desktop("alice", revoked)}; }, 2021},
      {"another login", [&] { return std::pair{std::string("SignonDesktopRq"), Desktop("bob", ticket_)}; }, 2022},
      {"login differing in case", [&] { return std::pair{std::string("SignonDesktopRq"), Desktop("Alice", ticket_)}; }, 2022},
      {"no AppID", [&] { return std::pair{std::string("SignonDesktopRq"), Without(Desktop("alice", ticket_), "AppID")}; }, 2010},
      {"empty AppVer", [&] { return std::pair{std::string("SignonDesktopRq"), Emptied(Desktop("alice", ticket_), "AppVer")}; }, 2010},
      {"no Language", [&] { return std::pair{std::string("SignonDesktopRq"), Without(Desktop("alice", ticket_), "Language")}; }, 2010},
      {"no ClientDateTime",
       [&] { return std::pair{std::string("SignonTicketRq"), Without(Ticket(SignOn()), "ClientDateTime")}; }, 2010},
      {"no ConnectionTicket",
       [&] { return std::pair{std::string("SignonDesktopRq"), Without(Desktop("alice", ticket_), "ConnectionTicket")}; }, 2010},
      {"unknown session ticket",
       [] { return std::pair{std::string("SignonTicketRq"), Ticket("00000000-0000-0000-0000-000000000000")}; }, 2030},
      {"expired session ticket",
       [&] {
         const std::string session = SignOn();
         now_ += 60 * 60;  // sixty minutes without use
         return std::pair{std::string("SignonTicketRq"), Ticket(session)};
       },
       2031},
      {"session of a revoked connection ticket",
       [&] {
         const std::string connection = IssueConnectionTicket(*file_, "alice");
         Answer a = Exchange(Document("SignonDesktopRq", Desktop("alice", connection), ""));
         EXPECT_TRUE(RevokeConnectionTicket(*file_, connection));
         return std::pair{std::string("SignonTicketRq"), Ticket(a.Session())};
       },
       2032},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [element, members] = c.signon();
    const std::string first = "Refused" + std::to_string(++n), second = first + "b";
    Answer a = Exchange(Document(element, members, AddCustomer(first, 1) + AddCustomer(second, 2)));
    EXPECT_EQ(a.SignonCode(), c.code) << a.signon.attribute("statusMessage").value();
    EXPECT_EQ(std::string(a.signon.name()), element == "SignonDesktopRq" ? "SignonDesktopRs" : "SignonTicketRs");
    EXPECT_STREQ(a.signon.attribute("statusSeverity").value(), "ERROR");
    EXPECT_STRNE(a.signon.attribute("statusMessage").value(), "");
    EXPECT_FALSE(a.signon.child("SessionTicket"));
    EXPECT_TRUE(a.signon.child("ServerDateTime"));
    EXPECT_EQ(a.Codes(), (std::vector<int>{c.code, c.code}));
    EXPECT_STREQ(a.msgs.child("CustomerAddRs").attribute("statusSeverity").value(), "Error");
    EXPECT_STREQ(a.msgs.child("CustomerAddRs").attribute("requestID").value(), "1");
    EXPECT_FALSE(Booked(first));
    EXPECT_FALSE(Booked(second));
  }
}

// A session lasts its minutes from its last use, not from its start.
TEST_F(GatewayTest, SessionsSlide) {
  const std::string session = SignOn();
  for (int minutes : {50, 50, 59}) {
    now_ += minutes * 60;
    EXPECT_EQ(Exchange(Document("SignonTicketRq", Ticket(session), "")).SignonCode(), 0) << "after " << minutes;
  }
  now_ += 60 * 60;
  EXPECT_EQ(Exchange(Document("SignonTicketRq", Ticket(session), "")).SignonCode(), 2031);
}

// What is refused before any sign-on: the status, a plain reason, and nothing booked.
TEST_F(GatewayTest, HttpErrors) {
  const std::string valid = Document("SignonDesktopRq", Desktop("alice", ticket_), AddCustomer("Bad"));
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string text = valid;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    const char* what;
    std::string method, path, type, body;
    int status;
  };
  const std::vector<Case> cases = {
      {"another path", "POST", "/j/Other", kGatewayMediaType, valid, 404},
      {"the root", "GET", "/", "", "", 404},
      {"GET", "GET", kGatewayPath, "", "", 405},
      {"PUT", "PUT", kGatewayPath, kGatewayMediaType, valid, 405},
      {"DELETE", "DELETE", kGatewayPath, "", "", 405},
      {"text/xml", "POST", kGatewayPath, "text/xml", valid, 415},
      {"no content type", "POST", kGatewayPath, "", valid, 415},
      {"too large", "POST", kGatewayPath, kGatewayMediaType, valid + std::string(kMaxBody, ' '), 413},
      {"not XML", "POST", kGatewayPath, kGatewayMediaType, "<VTXML><SignonMsgsRq>", 400},
      {"empty", "POST", kGatewayPath, kGatewayMediaType, "", 400},
      {"root not VTXML", "POST", kGatewayPath, kGatewayMediaType, replace("<VTXML>", "<VTXML2>"), 400},
      {"no DOCTYPE", "POST", kGatewayPath, kGatewayMediaType,
       replace(valid.substr(valid.find("<!DOCTYPE"), valid.find("<VTXML>") - valid.find("<!DOCTYPE")), ""), 400},
      {"unknown version", "POST", kGatewayPath, kGatewayMediaType, replace("VT0 4.0", "VT0 9.9"), 400},
      {"no version", "POST", kGatewayPath, kGatewayMediaType, replace("VT0 4.0", "VTXML"), 400},
      {"no sign-on", "POST", kGatewayPath, kGatewayMediaType,
       replace(valid.substr(valid.find("<SignonMsgsRq>"), valid.find("<VTXMLMsgsRq") - valid.find("<SignonMsgsRq>")), ""),
       400},
      {"an unknown sign-on", "POST", kGatewayPath, kGatewayMediaType, replace("SignonMsgsRq>\r\n<SignonDesktopRq>", "SignonMsgsRq>\r\n<SignonOtherRq/>\r\n<SignonDesktopRq>"), 400},
      {"an unknown sign-on member", "POST", kGatewayPath, kGatewayMediaType, replace("<AppID>", "<Password>x</Password>\r\n<AppID>"), 400},
      {"a member twice", "POST", kGatewayPath, kGatewayMediaType, replace("<AppID>", "<AppVer>1</AppVer>\r\n<AppID>"), 400},
      {"no message set", "POST", kGatewayPath, kGatewayMediaType,
       replace(valid.substr(valid.find("<VTXMLMsgsRq"), valid.find("</VTXML>") - valid.find("<VTXMLMsgsRq")), ""), 400},
      {"a non-request in the set", "POST", kGatewayPath, kGatewayMediaType, replace("<CustomerAddRq", "<Note/>\r\n<CustomerAddRq"), 400},
      {"an unknown policy", "POST", kGatewayPath, kGatewayMediaType, replace("stopOnError", "carryOn"), 400},
      {"something else in VTXML", "POST", kGatewayPath, kGatewayMediaType, replace("</VTXML>", "<Extra/>\r\n</VTXML>"), 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Client();
    httplib::Result r = c.method == "GET"      ? client->Get(c.path.c_str())
                        : c.method == "PUT"    ? client->Put(c.path.c_str(), c.body, c.type.c_str())
                        : c.method == "DELETE" ? client->Delete(c.path.c_str())
                                               : client->Post(c.path.c_str(), c.body, c.type.c_str());
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, c.status) << r->body;
    EXPECT_FALSE(r->body.empty());
    EXPECT_EQ(r->get_header_value("Content-Type").rfind("text/plain", 0), 0u) << r->get_header_value("Content-Type");
    if (c.status == 405) {
      EXPECT_EQ(r->get_header_value("Allow"), "POST");
    }
  }
  EXPECT_FALSE(Booked("Bad"));
  // The media type is read without its parameters and without regard to case.
  httplib::Result r = Post(valid, "Application/X-VTXML; charset=utf-8");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_TRUE(Booked("Bad"));
}

// Requests served at once by the server's threads each get their own turn at the file.
TEST_F(GatewayTest, ConcurrentRequestsAllBook) {
  const std::string session = SignOn();
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        httplib::Result r = Post(Document("SignonTicketRq", Ticket(session),
                                          AddCustomer("C" + std::to_string(t) + "-" + std::to_string(i)) +
                                              QueryCustomer("Ames")));
        if (r && r->status == 200 && Answer(r->body).Codes() == std::vector<int>{0, 500}) ++answered;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered.load(), 20);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(Booked("C" + std::to_string(t) + "-" + std::to_string(i)));
}

// A company file deleted under the gateway is a failure of the server, not of the document.
TEST_F(GatewayTest, AVanishedCompanyFileIsAServerError) {
  const std::string session = SignOn();
  std::filesystem::remove(Company());
  for (int i = 0; i < 2; ++i) {  // the connection it had, then a new one
    httplib::Result r = Post(Document("SignonTicketRq", Ticket(session), AddCustomer("Gone")));
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 500);
    EXPECT_NE(r->body.find("company file"), std::string::npos) << r->body;
  }
}

TEST_F(GatewayTest, StopIsIdempotent) {
  const int port = gateway_->Port();
  gateway_->Stop();
  gateway_->Stop();
  httplib::SSLClient client("127.0.0.1", port);
  client.enable_server_certificate_verification(false);
  client.set_connection_timeout(2);
  EXPECT_FALSE(client.Get("/"));
}

// The gateway made its certificate beside the company file, its key readable by its owner
// only, for the names a local client uses; a client that checks names refuses one made for
// other names.
TEST_F(GatewayTest, Certificates) {
  EXPECT_EQ(gateway_->CertificateFile(), Company() + ".gateway.crt");
  struct stat st {};
  ASSERT_EQ(stat((Company() + ".gateway.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto local = Client("localhost");
  httplib::Result byName = local->Get("/");
  ASSERT_TRUE(byName) << httplib::to_string(byName.error());
  EXPECT_EQ(byName->status, 404);

  std::string error;
  const std::string cert = dir_ + "/other.crt", key = dir_ + "/other.key";
  ASSERT_TRUE(MakeSelfSignedCertificate(cert, key, {"other.example"}, error)) << error;
  gateway_.reset();
  GatewayOptions options;
  options.company = Company();
  options.port = 0;
  options.certFile = cert;
  options.keyFile = key;
  gateway_ = Gateway::Start(options, error);
  ASSERT_TRUE(gateway_) << error;
  EXPECT_EQ(gateway_->CertificateFile(), cert);
  httplib::Result refused = Client()->Get("/");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), httplib::Error::SSLServerVerification);
  // The same server, to a client that does not check names: it is the name that was refused.
  httplib::SSLClient lax("127.0.0.1", gateway_->Port());
  lax.enable_server_certificate_verification(false);
  httplib::Result served = lax.Get("/");
  ASSERT_TRUE(served) << httplib::to_string(served.error());
  EXPECT_EQ(served->status, 404);
}

// The names a certificate is made for, and only those, are in it.
TEST(GatewayCertificate, NamesGoIntoTheSubjectAltName) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  struct Case {
    std::vector<std::string> names;
    bool made;
    std::vector<std::string> matches, misses;
  };
  const std::vector<Case> cases = {
      {{"localhost", "127.0.0.1"}, true, {"localhost", "127.0.0.1"}, {"other.example", "127.0.0.2"}},
      {{"gw.example", "::1"}, true, {"gw.example", "::1"}, {"localhost", "127.0.0.1"}},
      {{}, false, {}, {}},
      {{"bad name"}, false, {}, {}},
      {{"ok.example", "a,b"}, false, {}, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string cert = dir + "/c" + std::to_string(++n) + ".crt", key = dir + "/c" + std::to_string(n) + ".key";
    std::string error;
    ASSERT_EQ(MakeSelfSignedCertificate(cert, key, c.names, error), c.made) << n << ": " << error;
    if (!c.made) {
      EXPECT_FALSE(error.empty());
      EXPECT_FALSE(std::filesystem::exists(cert));
      continue;
    }
    FILE* in = std::fopen(cert.c_str(), "r");
    ASSERT_TRUE(in);
    X509* x = PEM_read_X509(in, nullptr, nullptr, nullptr);
    std::fclose(in);
    ASSERT_TRUE(x);
    auto matches = [x](const std::string& name) {
      return name.find_first_not_of("0123456789.:") == std::string::npos
                 ? X509_check_ip_asc(x, name.c_str(), 0) == 1
                 : X509_check_host(x, name.c_str(), name.size(), 0, nullptr) == 1;
    };
    for (const std::string& name : c.matches) EXPECT_TRUE(matches(name)) << n << ": " << name;
    for (const std::string& name : c.misses) EXPECT_FALSE(matches(name)) << n << ": " << name;
    EXPECT_EQ(X509_get_signature_nid(x), NID_ecdsa_with_SHA256);
    const int days = [x] {
      int d = 0, s = 0;
      ASN1_TIME_diff(&d, &s, X509_get0_notBefore(x), X509_get0_notAfter(x));
      return d;
    }();
    EXPECT_EQ(days, 365);
    X509_free(x);
  }
  std::filesystem::remove_all(dir);
}

// What the gateway refuses to start with.
TEST(GatewayStart, Refusals) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  std::string error;
  ASSERT_TRUE(CompanyFile::Create(dir + "/us.vtc", error));
  ASSERT_TRUE(CompanyFile::Create(dir + "/ca.vtc", error, {"CA", "North"}));
  struct Case {
    const char* what;
    GatewayOptions options;
  };
  auto with = [&](std::function<void(GatewayOptions&)> change) {
    GatewayOptions o;
    o.company = dir + "/us.vtc";
    o.port = 0;
    change(o);
    return o;
  };
  const std::vector<Case> cases = {
      {"a missing company file", with([&](GatewayOptions& o) { o.company = dir + "/none.vtc"; })},
      {"a CA company file", with([&](GatewayOptions& o) { o.company = dir + "/ca.vtc"; })},
      {"a certificate without its key", with([&](GatewayOptions& o) { o.certFile = dir + "/x.crt"; })},
      {"a missing certificate", with([&](GatewayOptions& o) {
         o.certFile = dir + "/x.crt";
         o.keyFile = dir + "/x.key";
       })},
      {"a port out of range", with([](GatewayOptions& o) { o.port = 70000; })},
      {"no session minutes", with([](GatewayOptions& o) { o.sessionMinutes = 0; })},
      {"an address not this machine's", with([](GatewayOptions& o) { o.host = "192.0.2.1"; })},
  };
  for (const Case& c : cases) {
    error.clear();
    EXPECT_FALSE(Gateway::Start(c.options, error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
  // A port taken by another gateway.
  std::unique_ptr<Gateway> first = Gateway::Start(with([](GatewayOptions&) {}), error);
  ASSERT_TRUE(first) << error;
  EXPECT_FALSE(Gateway::Start(with([&](GatewayOptions& o) { o.port = first->Port(); }), error));
  first.reset();
  std::filesystem::remove_all(dir);
}

TEST(ConnectionTickets, IssueAndRevoke) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  std::string error;
  std::unique_ptr<CompanyFile> file = CompanyFile::Create(dir + "/books.vtc", error);
  ASSERT_TRUE(file) << error;
  const std::string a = IssueConnectionTicket(*file, "alice"), b = IssueConnectionTicket(*file, "alice");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind("TGT-", 0), 0u);
  EXPECT_THROW(IssueConnectionTicket(*file, ""), std::invalid_argument);
  EXPECT_TRUE(RevokeConnectionTicket(*file, a));
  EXPECT_TRUE(RevokeConnectionTicket(*file, a)) << "a revoked ticket stays revoked";
  EXPECT_FALSE(RevokeConnectionTicket(*file, "TGT-NONE"));
  file.reset();
  std::filesystem::remove_all(dir);
}

// A file of the layout before connection tickets gains their table when it is opened, and
// keeps what it held.
TEST(ConnectionTickets, AFileOfTheThirdLayoutIsBroughtForward) {
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string path = dir + "/books.vtc";
  std::string error;
  ASSERT_TRUE(CompanyFile::Create(path, error)) << error;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP TABLE connection_tickets; DELETE FROM migrations;"
                         "UPDATE sandbox_company SET value = '3' WHERE key = 'format_version';",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
  std::unique_ptr<CompanyFile> file = CompanyFile::Open(path, error);
  ASSERT_TRUE(file) << error;
  const std::string ticket = IssueConnectionTicket(*file, "alice");
  EXPECT_TRUE(RevokeConnectionTicket(*file, ticket));
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(file->Handle(),
                               "SELECT (SELECT value FROM sandbox_company WHERE key = 'format_version'),"
                               " (SELECT count(*) FROM migrations WHERE version = 4)",
                               -1, &st, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), std::to_string(kFormatVersion).c_str());
  EXPECT_EQ(sqlite3_column_int(st, 1), 1);
  sqlite3_finalize(st);
  file.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vtfc4::sandbox
