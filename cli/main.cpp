// vtfc4: request documents from the shell. Verifies them, sends them to a company file (through
// the desktop's request processor, in process or out of it) or to the online edition's gateway,
// builds queries for any kind of list or transaction, and turns answers into JSON.
//
// Exit status: 0 when everything went through (and every response was answered without an
// error status), 1 when something did not (a document that does not verify, a request that
// failed, a connection that could not be opened), 2 for a usage error or input that cannot be
// read. --help and --version answer on standard output.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/documents.h"
#include "cli/json.h"
#include "cli/late.h"
#include "src/command_line.h"
#include "vtfc4/client.hpp"

namespace vtfc4::cli {
namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

struct Options {
  // Where requests go.
  std::string company;
  bool outOfProcess = false;
  std::string online;
  std::string login;
  std::string ticket;
  std::string appName = "vtfc4";
  // What is shown.
  bool json = false;
  std::string outDir;
  // Documents.
  std::vector<std::string> files;
  std::string file;
  std::string to;
  std::string country;
  // Queries.
  std::string kind;
  std::string name;
  std::string id;
  std::string vtxml = "4.0";
  bool listKinds = false;
};

// A session manager of the desktop edition made in this process, for what needs no connection.
ComPtr<IVTSessionManager> LocalManager() {
  ComPtr<IClassFactory> factory;
  check(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, factory.PutVoid()), "DllGetClassObject");
  ComPtr<IVTSessionManager> manager;
  check(factory->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid()), "CreateInstance");
  return manager;
}

// Where requests go: a desktop session on a company file (connection and session ended when it
// goes, also on an error), or the online edition.
class Target {
 public:
  explicit Target(const Options& o) {
    Utf8CodePage utf8;
    if (!o.online.empty()) {
      // The online manager finds its gateway where every client of the library says it: the
      // scheme, host and port, to which it adds the gateway's path. The whole address, as the
      // gateway tells it, is taken too.
      std::string base = o.online;
      const std::string path = "/j/AppGateway";
      if (base.size() > path.size() && base.compare(base.size() - path.size(), path.size(), path) == 0)
        base.resize(base.size() - path.size());
      setenv("VTFC4_GATEWAY_URL", base.c_str(), 1);
      online_ = std::make_unique<OnlineSession>(o.login, o.ticket, "vtfc4", VTFC4_VERSION);
      manager_ = ComPtr<IVTSessionManager>(online_->manager());
      return;
    }
    manager_ = LocalManager();
    if (o.outOfProcess) check(manager_->CommunicateOutOfProcess(VARIANT_TRUE), "CommunicateOutOfProcess");
    check(manager_->OpenConnection(toBstr("").Get(), toBstr(o.appName).Get()), "OpenConnection");
    connected_ = true;
    // The out-of-process processor runs in a folder of its own: it is given the whole path.
    std::error_code ec;
    const std::filesystem::path company = std::filesystem::absolute(o.company, ec);
    check(manager_->BeginSession(toBstr(ec ? o.company : company.string()).Get(), omDontCare), "BeginSession");
    session_ = true;
  }
  ~Target() {
    if (!manager_) return;
    Utf8CodePage utf8;
    if (session_) manager_->EndSession();
    if (connected_) manager_->CloseConnection();
    detail::clearError();
  }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  IVTSessionManager* Manager() const { return manager_.Get(); }
  bool Online() const { return online_ != nullptr; }

 private:
  std::unique_ptr<OnlineSession> online_;
  ComPtr<IVTSessionManager> manager_;
  bool connected_ = false, session_ = false;
};

// What came back for one document, as the command shows it.
struct Answer {
  std::string xml, json;
  int info = 0, warnings = 0, errors = 0;
};

void Count(IResponseList* responses, Answer& answer) {
  for (auto& response : items(responses)) {
    Bstr severity;
    if (FAILED(response->get_StatusSeverity(severity.Put())) || severity.IsNull()) {
      detail::clearError();
      continue;
    }
    const std::string text = toUtf8(severity);
    if (text == "Error")
      ++answer.errors;
    else if (text == "Warn")
      ++answer.warnings;
    else
      ++answer.info;
  }
}

template <class Set>
Answer Read(const ComPtr<Set>& set, IAttributesRsSet* attributes, bool json) {
  Answer answer;
  ComPtr<IResponseList> responses;
  check(set->get_ResponseList(responses.Put()), "ResponseList");
  Count(responses.Get(), answer);
  Bstr text;
  check(set->ToXMLString(text.Put()), "ToXMLString");
  answer.xml = Indent(toUtf8(text));
  if (json) answer.json = AnswerJson(responses.Get(), attributes);
  return answer;
}

Answer Send(const Target& target, const std::string& document, bool json) {
  Utf8CodePage utf8;
  const DocumentInfo info = Inspect(document);
  const Bstr text = toBstr(document);
  if (info.kind == DocumentKind::request) {
    ComPtr<IMsgSetResponse> answer;
    if (target.Online()) {
      // The gateway takes a document with the sign-on of this session: the manager reads the
      // requests and writes them again with it.
      ComPtr<IMsgSetRequest> set;
      check(target.Manager()->ToMsgSetRequest(text.Get(), set.Put()), "ToMsgSetRequest");
      check(target.Manager()->DoRequests(set.Get(), answer.Put()), "DoRequests");
    } else {
      check(target.Manager()->DoRequestsFromXMLString(text.Get(), answer.Put()), "DoRequestsFromXMLString");
    }
    ComPtr<IAttributesRsSet> attributes;
    check(answer->get_Attributes(attributes.Put()), "Attributes");
    return Read(answer, attributes.Get(), json);
  }
  if (info.kind == DocumentKind::subscriptionRequest) {
    ComPtr<ISubscriptionMsgSetResponse> answer;
    check(target.Manager()->DoSubscriptionRequestsFromXMLString(text.Get(), answer.Put()),
          "DoSubscriptionRequestsFromXMLString");
    return Read(answer, nullptr, json);
  }
  throw BadInput("not a request document (VTXMLMsgsRq or VTXMLSubscriptionMsgsRq)");
}

bool Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  return !std::ferror(stdout);
}

// ---- Subcommands.

int Verify(const Options& o) {
  const std::string document = ReadInput(o.file);
  if (Inspect(document).kind != DocumentKind::request)
    throw BadInput("not a message set request (VTXMLMsgsRq)");
  Utf8CodePage utf8;
  ComPtr<IMsgSetRequest> set;
  detail::clearError();
  const HRESULT hr = LocalManager()->ToMsgSetRequest(toBstr(document).Get(), set.Put());
  if (FAILED(hr)) {
    try {
      fail(hr, "ToMsgSetRequest");
    } catch (const Error& e) {
      std::printf("does not verify: %s\n", e.what());
    }
    return kFailed;
  }
  Bstr report;
  VARIANT_BOOL ok = VARIANT_FALSE;
  check(set->Verify(report.Put(), &ok), "Verify");
  ComPtr<IRequestList> requests;
  check(set->get_RequestList(requests.Put()), "RequestList");
  LONG count = 0;
  check(requests->get_Count(&count), "Count");
  if (!ok) {
    std::printf("does not verify:\n%s\n", toUtf8(report).c_str());
    return kFailed;
  }
  std::printf("verifies: %ld request%s\n", static_cast<long>(count), count == 1 ? "" : "s");
  return kOk;
}

// One line that redraws itself: how many documents of how many, and the one being sent.
class ProgressBar {
 public:
  ProgressBar(size_t total, bool shown) : total_(total), shown_(shown) {}
  ~ProgressBar() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }
  void Show(size_t done, const std::string& name) const {
    if (!shown_) return;
    constexpr size_t kWidth = 30;
    const size_t filled = total_ ? done * kWidth / total_ : kWidth;
    std::fprintf(stderr, "\r\033[K[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total_, name.c_str());
    std::fflush(stderr);
  }

 private:
  size_t total_;
  bool shown_;
};

int SendMany(const Options& o, const Target& target) {
  ProgressBar bar(o.files.size(), isatty(STDERR_FILENO));
  int sent = 0, failed = 0, unreadable = 0;
  Answer total;
  for (size_t i = 0; i < o.files.size(); ++i) {
    const std::string& file = o.files[i];
    bar.Show(i, std::filesystem::path(file).filename().string());
    try {
      const Answer answer = Send(target, ReadInput(file), o.json);
      ++sent;
      total.info += answer.info, total.warnings += answer.warnings, total.errors += answer.errors;
      if (!o.outDir.empty()) {
        const std::filesystem::path out = std::filesystem::path(o.outDir) / (std::filesystem::path(file).stem().string() +
                                                                             (o.json ? ".json" : ".xml"));
        std::ofstream stream(out, std::ios::binary);
        stream << (o.json ? answer.json : answer.xml);
        if (!stream.flush()) throw std::runtime_error("cannot write " + out.string());
      }
    } catch (const BadInput& e) {
      ++unreadable;
      std::fprintf(stderr, "\r\033[K%s: %s\n", file.c_str(), e.what());
    } catch (const std::exception& e) {
      ++failed;
      std::fprintf(stderr, "%s%s: %s\n", isatty(STDERR_FILENO) ? "\r\033[K" : "", file.c_str(), e.what());
    }
  }
  bar.Show(o.files.size(), "");
  std::printf("%d of %zu documents sent", sent, o.files.size());
  if (failed) std::printf(", %d failed", failed);
  if (unreadable) std::printf(", %d unreadable", unreadable);
  std::printf("; responses: %d Info, %d Warn, %d Error\n", total.info, total.warnings, total.errors);
  if (unreadable) return kUsage;
  return failed || total.errors ? kFailed : kOk;
}

int SendCommand(const Options& o) {
  if (!o.outDir.empty() && !std::filesystem::is_directory(o.outDir))
    throw BadInput("--out: " + o.outDir + " is not a folder");
  if (o.files.size() > 1 || !o.outDir.empty()) {
    Target target(o);
    return SendMany(o, target);
  }
  const std::string document = ReadInput(o.files.at(0));
  if (const DocumentKind kind = Inspect(document).kind;
      kind != DocumentKind::request && kind != DocumentKind::subscriptionRequest)
    throw BadInput("not a request document (VTXMLMsgsRq or VTXMLSubscriptionMsgsRq)");
  Target target(o);
  const Answer answer = Send(target, document, o.json);
  if (!Print(o.json ? answer.json : answer.xml)) return kFailed;
  return answer.errors ? kFailed : kOk;
}

// The kinds a query can be built for: every Append<Kind>QueryRq of the request set.
std::vector<std::string> QueryKinds(IMsgSetRequest* set) {
  std::vector<std::string> kinds;
  for (const auto& entry : ShapeOf(set).functions) {
    const std::string& f = entry.first;
    if (f.size() > 13 && f.compare(0, 6, "Append") == 0 && f.compare(f.size() - 7, 7, "QueryRq") == 0)
      kinds.push_back(f.substr(6, f.size() - 13));
  }
  return kinds;
}

// Adds `value` to the list member `list` of the query's OR choice (ListID, FullName, TxnID or
// RefNumber); false when the query has no such filter.
bool Filter(IDispatch* query, const std::vector<std::string>& lists, const std::string& value) {
  for (const auto& [member, id] : ShapeOf(query).getters) {
    if (member.compare(0, 2, "OR") != 0) continue;
    ComPtr<IDispatch> choice = GetObject(query, id, member);
    if (!choice) continue;
    for (const std::string& list : lists) {
      ComPtr<IDispatch> target = GetObject(choice.Get(), list);
      if (!target) continue;
      const Bstr text = toBstr(value);
      Var ignored;
      Call(target.Get(), ShapeOf(target.Get()).Find("Add"), DISPATCH_METHOD, {TextArgument(text)}, &ignored.v,
           list + ".Add");
      return true;
    }
  }
  return false;
}

int QueryCommand(const Options& o) {
  Utf8CodePage utf8;
  short major = 0, minor = 0;
  if (std::sscanf(o.vtxml.c_str(), "%hd.%hd", &major, &minor) != 2) throw BadInput("--vtxml: not a version like 4.0");
  const std::string country = o.country.empty() ? "US" : o.country;
  if (o.listKinds) {
    ComPtr<IMsgSetRequest> set;
    check(LocalManager()->CreateMsgSetRequest(toBstr(country).Get(), major, minor, set.Put()), "CreateMsgSetRequest");
    for (const std::string& kind : QueryKinds(set.Get())) std::printf("%s\n", kind.c_str());
    return kOk;
  }
  if (o.kind.empty()) throw BadInput("give the KIND to query (vtfc4 query --list shows them)");
  if (o.company.empty() && o.online.empty()) throw BadInput("give --company FILE or --online URL");
  Target target(o);
  ComPtr<IMsgSetRequest> set;
  check(target.Manager()->CreateMsgSetRequest(toBstr(country).Get(), major, minor, set.Put()), "CreateMsgSetRequest");
  const DISPID append = ShapeOf(set.Get()).Find("Append" + o.kind + "QueryRq");
  if (append == DISPID_UNKNOWN)
    throw BadInput("no query for the kind " + o.kind + " (vtfc4 query --list shows them)");
  ComPtr<IDispatch> query = GetObject(set.Get(), append, "Append" + o.kind + "QueryRq");
  if (!o.id.empty() && !Filter(query.Get(), {"ListIDList", "TxnIDList"}, o.id))
    throw BadInput("a " + o.kind + " query takes no --id");
  if (!o.name.empty() && !Filter(query.Get(), {"FullNameList", "RefNumberList"}, o.name))
    throw BadInput("a " + o.kind + " query takes no --name");
  ComPtr<IMsgSetResponse> answer;
  check(target.Manager()->DoRequests(set.Get(), answer.Put()), "DoRequests");
  ComPtr<IAttributesRsSet> attributes;
  check(answer->get_Attributes(attributes.Put()), "Attributes");
  const Answer read = Read(answer, attributes.Get(), o.json);
  if (!Print(o.json ? read.json : read.xml)) return kFailed;
  return read.errors ? kFailed : kOk;
}

int ConvertCommand(const Options& o) {
  const std::string document = ReadInput(o.file);
  DocumentInfo info = Inspect(document);
  if (!o.country.empty()) info.country = o.country;
  Utf8CodePage utf8;
  ComPtr<IVTSessionManager> manager = LocalManager();
  const Bstr text = toBstr(document);
  std::string json;
  switch (info.kind) {
    case DocumentKind::request: {
      ComPtr<IMsgSetRequest> set;
      check(manager->ToMsgSetRequest(text.Get(), set.Put()), "ToMsgSetRequest");
      if (o.to == "json") json = RequestsJson(set.Get());
      break;
    }
    case DocumentKind::response: {
      ComPtr<IMsgSetResponse> set;
      check(manager->ToMsgSetResponse(text.Get(), toBstr(info.country).Get(), info.major, info.minor, set.Put()),
            "ToMsgSetResponse");
      ComPtr<IResponseList> responses;
      check(set->get_ResponseList(responses.Put()), "ResponseList");
      ComPtr<IAttributesRsSet> attributes;
      check(set->get_Attributes(attributes.Put()), "Attributes");
      if (o.to == "json") json = AnswerJson(responses.Get(), attributes.Get());
      break;
    }
    case DocumentKind::subscriptionResponse: {
      ComPtr<ISubscriptionMsgSetResponse> set;
      check(manager->ToSubscriptionMsgSetResponse(text.Get(), info.major, info.minor, set.Put()),
            "ToSubscriptionMsgSetResponse");
      ComPtr<IResponseList> responses;
      check(set->get_ResponseList(responses.Put()), "ResponseList");
      if (o.to == "json") json = AnswerJson(responses.Get(), nullptr);
      break;
    }
    case DocumentKind::events: {
      ComPtr<IEventsMsgSet> set;
      check(manager->ToEventsMsgSet(text.Get(), info.major, info.minor, set.Put()), "ToEventsMsgSet");
      if (o.to == "json") json = EventsJson(set.Get());
      break;
    }
    case DocumentKind::subscriptionRequest:
      if (o.to == "json") throw BadInput("a subscription request converts to xml only");
      break;
    case DocumentKind::unknown:
      throw BadInput("not a vtXML document");
  }
  return Print(o.to == "json" ? json : Indent(document)) ? kOk : kFailed;
}

// The options of the commands that send: where to, and how to sign on.
void TargetOptions(CLI::App* command, Options& o) {
  CLI::Option* company = command->add_option("--company", o.company, "The company file of the desktop application");
  CLI::Option* outOfProcess =
      command->add_flag("--out-of-process", o.outOfProcess, "Send through the out-of-process request processor");
  CLI::Option* online = command->add_option("--online", o.online, "The online edition's gateway: https://HOST:PORT");
  command->add_option("--login", o.login, "The application login of the online edition")
      ->envname("VTFC4_APP_LOGIN")
      ->needs(online);
  command->add_option("--ticket", o.ticket, "The connection ticket of the online edition")
      ->envname("VTFC4_CONNECTION_TICKET")
      ->needs(online);
  command->add_option("--app", o.appName, "The application name the company file is told")->capture_default_str();
  company->excludes(online);
  outOfProcess->needs(company);
  command->add_flag("--json", o.json, "Print the answer as JSON");
}

}  // namespace
}  // namespace vtfc4::cli

int main(int argc, char** argv) {
  using namespace vtfc4::cli;
  CLI::App app("Verifies vtXML request documents, sends them to a company file or to the online edition, and turns "
               "answers into JSON.",
               "vtfc4");
  app.set_version_flag("--version", "vtfc4 " VTFC4_VERSION);
  app.require_subcommand(1);
  Options o;

  CLI::App* verify = app.add_subcommand("verify", "Verify a request document and print the verification report");
  verify->add_option("FILE", o.file, "The request document, - for standard input")->required();

  CLI::App* send = app.add_subcommand("send", "Send request documents and print the answer (several: a summary)");
  send->add_option("FILE", o.files, "Request documents, - for standard input")->required();
  TargetOptions(send, o);
  send->add_option("--out", o.outDir, "Write each answer into this folder, named after its document");
  send->callback([&] {
    if (o.company.empty() && o.online.empty()) throw CLI::ValidationError("send", "give --company FILE or --online URL");
  });

  CLI::App* query = app.add_subcommand("query", "Query a kind of list or transaction (Customer, Invoice, ...)");
  query->add_option("KIND", o.kind, "The kind: what follows Append in Append<KIND>QueryRq");
  TargetOptions(query, o);
  query->add_option("--name", o.name, "Only the record of this full name (a transaction: this reference number)");
  query->add_option("--id", o.id, "Only the record of this ListID (a transaction: this TxnID)");
  query->add_option("--vtxml", o.vtxml, "The vtXML version of the query")->capture_default_str();
  query->add_option("--country", o.country, "The edition: US or CA")->check(CLI::IsMember({"US", "CA"}));
  query->add_flag("--list", o.listKinds, "List the kinds that can be queried");

  CLI::App* convert = app.add_subcommand("convert", "Print an answer as JSON, or any vtXML document indented");
  convert->add_option("FILE", o.file, "The document, - for standard input")->required();
  convert->add_option("--to", o.to, "json or xml")->required()->check(CLI::IsMember({"json", "xml"}));
  convert->add_option("--country", o.country, "The edition of an answer (default: from its version, else US)")
      ->check(CLI::IsMember({"US", "CA"}));

  if (const std::optional<int> end = vtfc4::ParseCommandLine(app, argc, argv)) return *end;
  int status = 1;
  try {
    if (*verify) status = Verify(o);
    else if (*send) status = SendCommand(o);
    else if (*query) status = QueryCommand(o);
    else status = ConvertCommand(o);
  } catch (const BadInput& e) {
    std::fprintf(stderr, "vtfc4: %s\n", e.what());
    status = 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vtfc4: %s\n", e.what());
    status = 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "vtfc4: cannot write to standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}
