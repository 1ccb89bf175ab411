// The online session manager: its own table of behaviours, the sign-on section it writes and
// reads, and the HTTPS exchange: with the sandbox's gateway (sign-on, booking, the session
// ticket), with a server that answers what a test tells it to, and with every way the
// transport can fail.
#include "src/session/online_session_manager.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "processor/gateway.h"
#include "processor/sandbox_engine.h"
#include "src/com/error.h"
#include "src/session/session_manager.h"
#include "support.h"

namespace vtfc4 {
namespace {

namespace fs = std::filesystem;

constexpr char kGuid[] = "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}";
// The prolog of every online request document.
constexpr char kProlog[] =
    "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VT0 4.0//EN' "
    "'http://gateway.vtoe.korven.example/dtds/vtxmlops20.dtd'>\r\n";

ComPtr<IVTOESessionManager> NewManager() {
  ComPtr<IVTOESessionManager> manager;
  EXPECT_EQ(CreateOnlineSessionManager(nullptr, IID_IVTOESessionManager, manager.PutVoid()), S_OK);
  return manager;
}

// Fills the properties a client sets once.
void SignOnAs(IVTOESessionManager* m, const std::string& login, const std::string& ticket) {
  ASSERT_EQ(SetField(m, &IVTOESessionManager::get_AppID, "4711"), S_OK);
  ASSERT_EQ(SetField(m, &IVTOESessionManager::get_AppVer, "1.0"), S_OK);
  ASSERT_EQ(SetField(m, &IVTOESessionManager::get_Language, "English"), S_OK);
  ASSERT_EQ(SetField(m, &IVTOESessionManager::get_ApplicationLogin, login), S_OK);
  ASSERT_EQ(SetField(m, &IVTOESessionManager::get_ConnectionTicket, ticket), S_OK);
}

std::string Text(IMsgSetRequest* set) {
  Bstr text;
  EXPECT_EQ(set->ToXMLString(text.Put()), S_OK);
  return Narrow(text);
}

// A request text with its client time made constant, so that it can be compared.
std::string Timeless(std::string text) {
  static const std::regex time("<ClientDateTime>\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d</ClientDateTime>");
  return std::regex_replace(text, time, "<ClientDateTime>T</ClientDateTime>");
}

// An answer to one customer query, with the sign-on answer `signon` before it.
std::string Answer(const std::string& signon) {
  return "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n" +
         (signon.empty() ? "" : "<SignonMsgsRs>\r\n" + signon + "</SignonMsgsRs>\r\n") + "<VTXMLMsgsRs>\r\n<CustomerQueryRs statusCode=\"1\" statusSeverity=\"Info\" "
         "statusMessage=\"none\"/>\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n";
}

TEST(OnlineManager, InheritedOperationsThatDoNothing) {
  ComPtr<IVTOESessionManager> m = NewManager();
  ExpectStatus("OpenConnection", m->OpenConnection(Wide("1").Get(), Wide("app").Get()), S_OK);
  ExpectStatus("OpenConnection2", m->OpenConnection2(nullptr, nullptr, ctLocalVTD), S_OK);
  ExpectStatus("BeginSession", m->BeginSession(Wide("x").Get(), omDontCare), S_OK);
  ExpectStatus("EndSession", m->EndSession(), S_OK);
  ExpectStatus("CloseConnection", m->CloseConnection(), S_OK);
  ExpectStatus("CommunicateOutOfProcess", m->CommunicateOutOfProcess(VARIANT_TRUE), S_OK);
  BSTR untouched = reinterpret_cast<BSTR>(0x1);
  ExpectStatus("GetCurrentCompanyFileName", m->GetCurrentCompanyFileName(&untouched), S_OK);
  EXPECT_EQ(untouched, reinterpret_cast<BSTR>(0x1));

  // What the online edition does not have answers null (or 0).
  auto* some = reinterpret_cast<void*>(0x1);
  auto nulled = [&](const char* what, auto call) {
    SCOPED_TRACE(what);
    some = reinterpret_cast<void*>(0x1);
    ExpectStatus(what, call(), S_OK);
    EXPECT_EQ(some, nullptr);
  };
  nulled("CreateSubscriptionMsgSetRequest", [&] {
    return m->CreateSubscriptionMsgSetRequest(3, 0, reinterpret_cast<ISubscriptionMsgSetRequest**>(&some));
  });
  nulled("ToSubscriptionMsgSetResponse", [&] {
    return m->ToSubscriptionMsgSetResponse(nullptr, 3, 0, reinterpret_cast<ISubscriptionMsgSetResponse**>(&some));
  });
  nulled("DoSubscriptionRequests", [&] {
    return m->DoSubscriptionRequests(nullptr, reinterpret_cast<ISubscriptionMsgSetResponse**>(&some));
  });
  nulled("DoSubscriptionRequestsFromXMLString", [&] {
    return m->DoSubscriptionRequestsFromXMLString(nullptr, reinterpret_cast<ISubscriptionMsgSetResponse**>(&some));
  });
  nulled("ToEventsMsgSet",
         [&] { return m->ToEventsMsgSet(nullptr, 3, 0, reinterpret_cast<IEventsMsgSet**>(&some)); });
  nulled("VTAuthPreferences", [&] { return m->get_VTAuthPreferences(reinterpret_cast<IVTAuthPreferences**>(&some)); });
  nulled("VTXMLVersionsForSubscription",
         [&] { return m->get_VTXMLVersionsForSubscription(reinterpret_cast<SAFEARRAY**>(&some)); });
  ENConnectionType type = ctRemoteVTD;
  ExpectStatus("ConnectionType", m->get_ConnectionType(&type), S_OK);
  EXPECT_EQ(type, 0);

  SAFEARRAY* versions = nullptr;
  ExpectStatus("VTXMLVersionsForSession", m->get_VTXMLVersionsForSession(&versions), S_OK);
  ASSERT_NE(versions, nullptr);
  LONG upper = 0;
  EXPECT_EQ(SafeArrayGetUBound(versions, 1, &upper), S_OK);
  EXPECT_EQ(upper, -1) << "empty";
  SafeArrayDestroy(versions);
  EXPECT_EQ(m->get_VTXMLVersionsForSession(nullptr), E_POINTER);
  EXPECT_EQ(m->get_ErrorRecoveryID(nullptr), E_POINTER);
  EXPECT_EQ(m->get_AppID(nullptr), E_POINTER);

  // Late bound: the inherited operations keep their dispatch identifiers, the sign-on
  // properties follow from 30.
  for (const auto& [name, id] : std::vector<std::pair<std::u16string, DISPID>>{
           {u"OpenConnection", 1}, {u"GetVersion", 9}, {u"VTXMLVersionsForSubscription", 29},
           {u"ApplicationLogin", 30}, {u"ConnectionTicket", 31}, {u"SessionTicket", 36}, {u"AuthID", 37}}) {
    std::u16string text = name;
    LPOLESTR names[] = {text.data()};
    DISPID got = DISPID_UNKNOWN;
    EXPECT_EQ(m->GetIDsOfNames(IID_NULL, names, 1, 0, &got), S_OK);
    EXPECT_EQ(got, id) << std::string(name.begin(), name.end());
  }

  // Each property is made on first read and kept.
  ComPtr<IVTIDType> first, again;
  ASSERT_EQ(m->get_AuthID(first.Put()), S_OK);
  ASSERT_EQ(m->get_AuthID(again.Put()), S_OK);
  EXPECT_EQ(first.Get(), again.Get());
  ComPtr<ISupportErrorInfo> errors;
  ASSERT_EQ(m.As(&errors), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IVTOESessionManager), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IVTSessionManager), S_FALSE);
}

TEST(OnlineManager, VersionsOfItsSets) {
  ComPtr<IVTOESessionManager> m = NewManager();
  const std::string unsupported = "Unsupported vtXML version.";
  ComPtr<IMsgSetRequest> set;
  // The country is ignored and any minor version of 2 and later is taken.
  ExpectStatus("CA 2.7", m->CreateMsgSetRequest(Wide("CA").Get(), 2, 7, set.Put()), S_OK);
  ASSERT_TRUE(set);
  ExpectStatus("1.1", m->CreateMsgSetRequest(Wide("US").Get(), 1, 1, set.Put()), kUnsupportedVersion, unsupported);
  ExpectStatus("null out", m->CreateMsgSetRequest(nullptr, 4, 0, nullptr), E_POINTER);

  // Conversions keep to the versions of the table.
  ComPtr<IMsgSetResponse> response;
  const Bstr answer = Wide(Answer(""));
  ExpectStatus("answer 2.7", m->ToMsgSetResponse(answer.Get(), nullptr, 2, 7, response.Put()), kUnsupportedVersion,
               unsupported);
  ExpectStatus("answer 3.0", m->ToMsgSetResponse(answer.Get(), Wide("CA").Get(), 3, 0, response.Put()), S_OK);
  EXPECT_TRUE(response);

  // A request text whose version names an edition is reported, and no set is made.
  ComPtr<IMsgSetRequest> parsed;
  const std::string ca = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"CA3.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRq "
                         "onError=\"stopOnError\"/>\r\n</VTXML>\r\n";
  ExpectStatus("CA request", m->ToMsgSetRequest(Wide(ca).Get(), parsed.Put()), S_OK,
               "Invalid Request.  Could not parse for vtXML version.");
  EXPECT_FALSE(parsed);

  // A set of the desktop goes to the desktop manager.
  ComPtr<IVTSessionManager> desktop;
  ASSERT_EQ(CreateSessionManager(nullptr, IID_IVTSessionManager, desktop.PutVoid()), S_OK);
  ComPtr<IMsgSetRequest> desktopSet;
  ASSERT_EQ(desktop->CreateMsgSetRequest(Wide("US").Get(), 4, 0, desktopSet.Put()), S_OK);
  ExpectStatus("desktop set", m->DoRequests(desktopSet.Get(), response.Put()), kWrongManager,
               "This message set must be used with the VTSessionManager, not VTOESessionManager.");
  EXPECT_FALSE(response);
}

TEST(OnlineManager, TheSignonSectionComesFromTheProperties) {
  ComPtr<IVTOESessionManager> m = NewManager();
  ComPtr<IMsgSetRequest> set;
  ASSERT_EQ(m->CreateMsgSetRequest(nullptr, 4, 0, set.Put()), S_OK);
  SignOnAs(m.Get(), "alice", "TGT-1");
  const std::string text = Text(set.Get());
  EXPECT_TRUE(std::regex_search(text, std::regex("<ClientDateTime>\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d<")))
      << text;
  const std::string desktop = std::string(kProlog) +
                              "<VTXML>\r\n<SignonMsgsRq>\r\n<SignonDesktopRq>\r\n<ClientDateTime>T</ClientDateTime>\r\n"
                              "<ApplicationLogin>alice</ApplicationLogin>\r\n<ConnectionTicket>TGT-1</ConnectionTicket>"
                              "\r\n<Language>English</Language>\r\n<AppID>4711</AppID>\r\n<AppVer>1.0</AppVer>\r\n"
                              "</SignonDesktopRq>\r\n</SignonMsgsRq>\r\n<VTXMLMsgsRq onError = \"stopOnError\"/>\r\n"
                              "</VTXML>\r\n";
  EXPECT_EQ(Timeless(text), desktop);

  // Values of an online set take the online edition's limits.
  ComPtr<ICustomerAdd> add = Field(set.Get(), &IMsgSetRequest::AppendCustomerAddRq);
  ComPtr<IVTStringType> name = Field(add.Get(), &ICustomerAdd::get_Name);
  Bstr limit;
  ASSERT_EQ(name->GetMaxLength(limit.Put()), S_OK);
  EXPECT_EQ(Narrow(limit), "100");
  EXPECT_EQ(name->SetValue(Wide(std::string(100, 'n')).Get()), S_OK);
  EXPECT_TRUE(FAILED(name->SetValue(Wide(std::string(101, 'n')).Get())));
  TakeError();
  ASSERT_EQ(set->ClearRequests(), S_OK);

  // A change to a property is the set's next sign-on: the two share the value.
  ASSERT_EQ(SetField(m.Get(), &IVTOESessionManager::get_AppVer, "2.0"), S_OK);
  EXPECT_NE(Text(set.Get()).find("<AppVer>2.0</AppVer>"), std::string::npos);

  // Only the desktop answer's ticket is taken; after it, the set signs on with the ticket.
  ComPtr<IMsgSetResponse> response;
  ASSERT_EQ(m->ToMsgSetResponse(Wide(Answer("<SignonTicketRs statusCode=\"0\">\r\n<SessionTicket>other"
                                            "</SessionTicket>\r\n</SignonTicketRs>\r\n"))
                                    .Get(),
                                nullptr, 4, 0, response.Put()),
            S_OK);
  EXPECT_EQ(FieldText(m.Get(), &IVTOESessionManager::get_SessionTicket), kNotSetText);
  ASSERT_EQ(m->ToMsgSetResponse(Wide(Answer("<SignonDesktopRs statusCode=\"0\" statusSeverity=\"INFO\" requestID="
                                            "\"1\" statusMessage=\"OK\">\r\n<ServerDateTime>2026-12-06T10:00:00"
                                            "</ServerDateTime>\r\n<SessionTicket>ST-9</SessionTicket>\r\n"
                                            "</SignonDesktopRs>\r\n"))
                                    .Get(),
                                nullptr, 4, 0, response.Put()),
            S_OK);
  EXPECT_EQ(FieldText(m.Get(), &IVTOESessionManager::get_SessionTicket), "ST-9");
  ASSERT_EQ(SetField(m.Get(), &IVTOESessionManager::get_AuthID, "A-1"), S_OK);
  EXPECT_EQ(Timeless(Text(set.Get())),
            std::string(kProlog) +
                "<VTXML>\r\n<SignonMsgsRq>\r\n<SignonTicketRq>\r\n<ClientDateTime>T</ClientDateTime>\r\n"
                "<SessionTicket>ST-9</SessionTicket>\r\n<AuthID>A-1</AuthID>\r\n<Language>English</Language>\r\n"
                "<AppID>4711</AppID>\r\n<AppVer>2.0</AppVer>\r\n</SignonTicketRq>\r\n</SignonMsgsRq>\r\n"
                "<VTXMLMsgsRq onError = \"stopOnError\"/>\r\n</VTXML>\r\n");

  // An answer's sign-on element takes its four status attributes and nothing else.
  ExpectStatus("unknown attribute",
               m->ToMsgSetResponse(Wide(Answer("<SignonDesktopRs retCount=\"1\"/>\r\n")).Get(), nullptr, 4, 0,
                                   response.Put()),
               kParseFailed, "Error parsing. Message: Response:unexpected tag = " + std::to_string(tag::retCount) + " with value 1.");

  // What a parsed request signed on with becomes the manager's.
  ComPtr<IVTOESessionManager> other = NewManager();
  ComPtr<IMsgSetRequest> parsed;
  ASSERT_EQ(other->ToMsgSetRequest(Wide(desktop).Get(), parsed.Put()), S_OK);
  EXPECT_EQ(FieldText(other.Get(), &IVTOESessionManager::get_ConnectionTicket), "TGT-1");
  EXPECT_EQ(FieldText(other.Get(), &IVTOESessionManager::get_ApplicationLogin), "alice");
  EXPECT_EQ(FieldText(other.Get(), &IVTOESessionManager::get_AppVer), "1.0");
  EXPECT_EQ(FieldText(other.Get(), &IVTOESessionManager::get_SessionTicket), kNotSetText);
  EXPECT_NE(Text(parsed.Get()).find("<ConnectionTicket>TGT-1</ConnectionTicket>"), std::string::npos);
}

TEST(OnlineManager, VerifyingNamesTheManager) {
  ComPtr<IVTOESessionManager> m = NewManager();
  ComPtr<IMsgSetRequest> set;
  ASSERT_EQ(m->CreateMsgSetRequest(nullptr, 4, 0, set.Put()), S_OK);
  SignOnAs(m.Get(), "alice", "TGT-1");
  Bstr report;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(set->Verify(report.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE) << Narrow(report);
  ComPtr<IVTStringType> appID = Field(m.Get(), &IVTOESessionManager::get_AppID);
  ASSERT_EQ(appID->Unset(), S_OK);
  ASSERT_EQ(set->Verify(report.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(Narrow(report).rfind("VTOESessionManager:\r\n", 0), 0u) << Narrow(report);
  EXPECT_NE(Narrow(report).find("AppID"), std::string::npos) << Narrow(report);
  // Sending refuses it with the same report.
  ComPtr<IMsgSetResponse> response;
  EXPECT_EQ(m->DoRequests(set.Get(), response.Put()), kVerifyFailed);
  EXPECT_EQ(TakeError(), Narrow(report));
}

TEST(OnlineManager, RecoveryRecordsAreNamedAfterTheConnectionTicket) {
  const fs::path folder = fs::temp_directory_path() / ("vtfc4-online-" + std::to_string(getpid()));
  setenv("VTFC4_COMMON_APPDATA", folder.c_str(), 1);
  ComPtr<IVTOESessionManager> m = NewManager();
  ASSERT_EQ(SetField(m.Get(), &IVTOESessionManager::get_ErrorRecoveryID, kGuid), S_OK);
  ASSERT_EQ(m->put_EnableErrorRecovery(VARIANT_TRUE), S_OK);
  VARIANT_BOOL found = VARIANT_TRUE;
  EXPECT_EQ(m->IsErrorRecoveryInfo(&found), kNoConnectionTicket);
  EXPECT_EQ(TakeError().rfind("The ConnectionTicket must be filled in.", 0), 0u);
  ASSERT_EQ(SetField(m.Get(), &IVTOESessionManager::get_ConnectionTicket, "TGT/1"), S_OK);
  ExpectStatus("with a ticket", m->IsErrorRecoveryInfo(&found), S_OK);
  EXPECT_EQ(found, VARIANT_FALSE);
  unsetenv("VTFC4_COMMON_APPDATA");
  fs::remove_all(folder);
}

// ---- The exchange.

// A folder of the test's own, with a certificate for the names given.
class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("vtfc4-https-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    unsetenv("VTFC4_HTTP_TIMEOUT_MS");
  }
  void TearDown() override {
    unsetenv("VTFC4_GATEWAY_URL");
    unsetenv("VTFC4_CA_FILE");
    unsetenv("VTFC4_HTTP_TIMEOUT_MS");
    fs::remove_all(folder_);
  }
  // Makes cert.pem and key.pem for `names`, and trusts the certificate.
  void Certificate(const std::vector<std::string>& names) {
    std::string error;
    ASSERT_TRUE(sandbox::MakeSelfSignedCertificate(Cert(), Key(), names, error)) << error;
    setenv("VTFC4_CA_FILE", Cert().c_str(), 1);
  }
  void Gateway(int port, const std::string& host = "127.0.0.1") {
    const std::string url = "https://" + host + ":" + std::to_string(port);
    setenv("VTFC4_GATEWAY_URL", url.c_str(), 1);
  }
  std::string Cert() const { return (folder_ / "cert.pem").string(); }
  std::string Key() const { return (folder_ / "key.pem").string(); }

  // Sends an empty set; the status and the error's description.
  std::pair<HRESULT, std::string> Send(IVTOESessionManager* m) {
    ComPtr<IMsgSetRequest> set;
    EXPECT_EQ(m->CreateMsgSetRequest(nullptr, 4, 0, set.Put()), S_OK);
    ComPtr<IMsgSetResponse> response;
    const HRESULT hr = m->DoRequests(set.Get(), response.Put());
    return {hr, TakeErrorDescription()};
  }

  fs::path folder_;
};

// A server that answers the gateway's path with what the test says, and remembers what it got.
class Scripted {
 public:
  Scripted(const std::string& cert, const std::string& key) : server_(cert.c_str(), key.c_str()) {
    server_.Post("/j/AppGateway", [this](const httplib::Request& request, httplib::Response& response) {
      got_ = request;
      if (delay_.count()) std::this_thread::sleep_for(delay_);
      response.status = status_;
      response.set_content(body_, "application/x-vtxml");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Scripted() {
    server_.stop();
    thread_.join();
  }
  int port_ = 0;
  int status_ = 200;
  std::string body_;
  std::chrono::milliseconds delay_{0};
  httplib::Request got_;

 private:
  httplib::SSLServer server_;
  std::thread thread_;
};

TEST_F(Tls, WhatIsSentAndWhatComesBack) {
  Certificate({"127.0.0.1"});
  Scripted server(Cert(), Key());
  Gateway(server.port_);
  ComPtr<IVTOESessionManager> m = NewManager();
  SignOnAs(m.Get(), "alice", "TGT-1");

  // The answer is read whole, as text up to a NUL in each block of 10240 bytes.
  server.body_ = Answer("<SignonDesktopRs statusCode=\"0\">\r\n<SessionTicket>ST-1</SessionTicket>\r\n"
                        "</SignonDesktopRs>\r\n");
  ComPtr<IMsgSetRequest> set;
  ASSERT_EQ(m->CreateMsgSetRequest(nullptr, 4, 0, set.Put()), S_OK);
  const std::string sent = Timeless(Text(set.Get()));
  ComPtr<IMsgSetResponse> response;
  ExpectStatus("200", m->DoRequests(set.Get(), response.Put()), S_OK);
  ASSERT_TRUE(response);
  EXPECT_EQ(server.got_.get_header_value("Content-Type"), "application/x-vtxml");
  EXPECT_EQ(server.got_.get_header_value("Accept"), "application/x-vtxml, text/*");
  EXPECT_EQ(server.got_.get_header_value("User-Agent"), "VTFC");
  EXPECT_EQ(server.got_.version, "HTTP/1.0");
  EXPECT_EQ(Timeless(server.got_.body), sent);
  EXPECT_EQ(FieldText(m.Get(), &IVTOESessionManager::get_SessionTicket), "ST-1");
  // The next document signs on with the ticket.
  ASSERT_EQ(m->DoRequests(set.Get(), response.Put()), S_OK);
  EXPECT_NE(server.got_.body.find("<SignonTicketRq>"), std::string::npos);

  // A status other than 200: its code and reason.
  for (const auto& [status, text] : std::vector<std::pair<int, std::string>>{
           {500, "500: Internal Server Error"}, {503, "503: Service Unavailable"}, {302, "302: Found"}}) {
    server.status_ = status;
    EXPECT_EQ(Send(m.Get()), std::make_pair(kHttpStatus, text));
  }
  server.status_ = 200;
  Gateway(server.port_);
  setenv("VTFC4_GATEWAY_URL", ("https://127.0.0.1:" + std::to_string(server.port_) + "/elsewhere/").c_str(), 1);
  EXPECT_EQ(Send(m.Get()), std::make_pair(kHttpStatus, std::string("404: Not Found")));

  // Too slow an answer times out.
  Gateway(server.port_);
  server.delay_ = std::chrono::milliseconds(1500);
  setenv("VTFC4_HTTP_TIMEOUT_MS", "200", 1);
  EXPECT_EQ(Send(m.Get()), std::make_pair(VTFC4_HR(0x80072EE2), std::string("The operation timed out")));
}

// A TLS server that takes one connection, reads the start of the request and hangs up.
class HangsUp {
 public:
  HangsUp(const std::string& cert, const std::string& key) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "no listener";
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, cert, key] {
      SSL_CTX* context = SSL_CTX_new(TLS_server_method());
      SSL_CTX_use_certificate_chain_file(context, cert.c_str());
      SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM);
      const int connection = accept(listener_, nullptr, nullptr);
      SSL* ssl = SSL_new(context);
      SSL_set_fd(ssl, connection);
      char start[16];
      if (SSL_accept(ssl) == 1) SSL_read(ssl, start, sizeof start);
      SSL_free(ssl);
      close(connection);
      SSL_CTX_free(context);
    });
  }
  ~HangsUp() {
    thread_.join();
    close(listener_);
  }
  int port_ = 0;

 private:
  int listener_ = -1;
  std::thread thread_;
};

TEST_F(Tls, TransportFailures) {
  ComPtr<IVTOESessionManager> m = NewManager();
  SignOnAs(m.Get(), "alice", "TGT-1");
  auto expect = [&](const char* what, int code, const char* text) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Send(m.Get()), std::make_pair(static_cast<HRESULT>(0x80070000u | code), std::string(text)));
  };
  {
    // Nobody listens on a port just let go.
    Certificate({"127.0.0.1"});
    int port = 0;
    {
      Scripted closed(Cert(), Key());
      port = closed.port_;
    }
    Gateway(port);
    expect("closed port", 12029, "A connection with the server could not be established");
  }
  {
    Certificate({"other.example"});
    Scripted server(Cert(), Key());
    Gateway(server.port_);
    expect("wrong host", 12038, "The certificate's host name does not match the server's name");
    unsetenv("VTFC4_CA_FILE");
    expect("untrusted", 12045, "The certificate authority is invalid or incorrect");
  }
  {
    Certificate({"127.0.0.1"});
    HangsUp server(Cert(), Key());
    Gateway(server.port_);
    expect("hung up", 12031, "The connection with the server was reset");
  }
  setenv("VTFC4_GATEWAY_URL", "http://127.0.0.1:1", 1);
  expect("plain http", 12006, "The URL does not use a recognized protocol");
  setenv("VTFC4_GATEWAY_URL", "https://no-such-host.invalid", 1);
  expect("no such host", 12007, "The server name or address could not be resolved");
}

// ---- Against the sandbox's gateway.

TEST_F(Tls, TheSandboxGatewayBooksWhatItIsSent) {
  const std::string company = (folder_ / "company.vtc").string();
  std::string error, ticket;
  {
    auto file = sandbox::CompanyFile::Create(company, error);
    ASSERT_TRUE(file) << error;
    ticket = sandbox::IssueConnectionTicket(*file, "alice");
  }
  sandbox::GatewayOptions options;
  options.company = company;
  options.port = 0;
  auto gateway = sandbox::Gateway::Start(options, error);
  ASSERT_TRUE(gateway) << error;
  setenv("VTFC4_CA_FILE", gateway->CertificateFile().c_str(), 1);
  Gateway(gateway->Port(), "localhost");

  ComPtr<IVTOESessionManager> m = NewManager();
  SignOnAs(m.Get(), "alice", ticket);
  ComPtr<IMsgSetRequest> set;
  ASSERT_EQ(m->CreateMsgSetRequest(nullptr, 4, 0, set.Put()), S_OK);
  ComPtr<ICustomerAdd> add = Field(set.Get(), &IMsgSetRequest::AppendCustomerAddRq);
  ASSERT_EQ(SetField(add.Get(), &ICustomerAdd::get_Name, "Online Customer"), S_OK);
  ComPtr<IMsgSetResponse> response;
  ExpectStatus("add", m->DoRequests(set.Get(), response.Put()), S_OK);
  ComPtr<IResponse> added;
  ASSERT_EQ(Field(response.Get(), &IMsgSetResponse::get_ResponseList)->GetAt(0, added.Put()), S_OK);
  LONG code = -1;
  ASSERT_EQ(added->get_StatusCode(&code), S_OK);
  EXPECT_EQ(code, 0);
  const std::string session = FieldText(m.Get(), &IVTOESessionManager::get_SessionTicket);
  EXPECT_FALSE(session.empty());
  EXPECT_NE(session, kNotSetText);

  // The next set signs on with the session ticket and finds the customer.
  ASSERT_EQ(set->ClearRequests(), S_OK);
  ComPtr<ICustomerQuery> query = Field(set.Get(), &IMsgSetRequest::AppendCustomerQueryRq);
  ExpectStatus("query", m->DoRequests(set.Get(), response.Put()), S_OK);
  ComPtr<IResponse> found;
  ASSERT_EQ(Field(response.Get(), &IMsgSetResponse::get_ResponseList)->GetAt(0, found.Put()), S_OK);
  ComPtr<IVTBase> detail;
  ASSERT_EQ(found->get_Detail(detail.Put()), S_OK);
  ComPtr<ICustomerRetList> customers;
  ASSERT_EQ(detail.As(&customers), S_OK);
  bool seen = false;
  for (LONG i = 0, n = CountOf(customers.Get()); i < n; ++i) {
    ComPtr<ICustomerRet> customer;
    ASSERT_EQ(customers->GetAt(i, customer.Put()), S_OK);
    seen = seen || FieldText(customer.Get(), &ICustomerRet::get_Name) == "Online Customer";
  }
  EXPECT_TRUE(seen);
  EXPECT_EQ(FieldText(m.Get(), &IVTOESessionManager::get_SessionTicket), session);

  // With error recovery, a set's record is kept and the gateway tells what became of it.
  setenv("VTFC4_COMMON_APPDATA", (folder_ / "appdata").c_str(), 1);
  ASSERT_EQ(SetField(m.Get(), &IVTOESessionManager::get_ErrorRecoveryID, kGuid), S_OK);
  ASSERT_EQ(m->put_EnableErrorRecovery(VARIANT_TRUE), S_OK);
  ASSERT_EQ(m->put_SaveAllMsgSetRequestInfo(VARIANT_TRUE), S_OK);
  ASSERT_EQ(set->ClearRequests(), S_OK);
  add = Field(set.Get(), &IMsgSetRequest::AppendCustomerAddRq);
  ASSERT_EQ(SetField(add.Get(), &ICustomerAdd::get_Name, "Recovered Customer"), S_OK);
  ExpectStatus("add with recovery", m->DoRequests(set.Get(), response.Put()), S_OK);
  VARIANT_BOOL kept = VARIANT_FALSE;
  ASSERT_EQ(m->IsErrorRecoveryInfo(&kept), S_OK);
  EXPECT_EQ(kept, VARIANT_TRUE);
  ComPtr<IMsgSetResponse> status;
  ExpectStatus("status", m->GetErrorRecoveryStatus(status.Put()), S_OK);
  ASSERT_TRUE(status);
  ComPtr<IAttributesRsSet> attributes = Field(status.Get(), &IMsgSetResponse::get_Attributes);
  EXPECT_NE(FieldText(attributes.Get(), &IAttributesRsSet::get_MessageSetStatusCode), "");
  ComPtr<IMsgSetRequest> saved;
  ExpectStatus("saved", m->GetSavedMsgSetRequest(saved.Put()), S_OK);
  ASSERT_TRUE(saved);
  EXPECT_NE(Text(saved.Get()).find("Recovered Customer"), std::string::npos);
  ExpectStatus("clear", m->ClearErrorRecovery(), S_OK);
  unsetenv("VTFC4_COMMON_APPDATA");

  // A stopped gateway is a connection refused.
  gateway->Stop();
  EXPECT_EQ(Send(m.Get()).first, VTFC4_HR(0x80072EFD));
}

}  // namespace
}  // namespace vtfc4
