// The sandbox's message sets: a request document read, each request served in a savepoint of
// its own under the set's error policy, the answer kept for error recovery.
#include "processor/sandbox_engine.h"

#include <pugixml.hpp>

#include <algorithm>
#include <iterator>

#include "processor/books.h"
#include "processor/document.h"
#include "processor/dataext.h"
#include "processor/events.h"
#include "processor/lists.h"
#include "processor/store.h"
#include "processor/txns.h"

namespace vtfc4::sandbox {
namespace {

// The messageSetStatusCode of a status query about a message set the sandbox holds no answer
// for (never sent, or cleared).
constexpr const char* kUnknownMessageSet = "9001";
const char* const kVersionsUS[] = {"1.0", "1.1", "2.0", "2.1", "3.0", "4.0"};
const char* const kVersionsCA[] = {"CA2.0", "CA3.0"};

// Serves one request: a list request, or a refusal for what the sandbox does not keep.
Answer Dispatch(Context& cx, pugi::xml_node rq) {
  const std::string name = rq.name();
  if (cx.readOnly && !name.ends_with("QueryRq"))
    throw Failure{kReadOnly, "The session is read-only: the application refuses " + name + " requests."};
  if (std::optional<Answer> answer = ServeListRequest(cx, rq)) return *answer;
  if (std::optional<Answer> answer = ServeTxnRequest(cx, rq)) return *answer;
  if (std::optional<Answer> answer = ServeDataExtRequest(cx, rq)) return *answer;
  if (std::optional<Answer> answer = books::ServeReport(cx, rq)) return *answer;
  if (std::optional<Answer> answer = ServeEventRequest(cx, rq)) return *answer;
  throw Failure{kCannotServe, "The sandbox cannot serve " + name + " requests."};
}

// The version of the <?vtxml version="..."?> instruction (or the one the carrier named) as
// major*100+minor; a document without one is read as the newest version of the company's
// edition. A version of the other edition, or one the sandbox does not know, is refused.
Edition DocumentEdition(const pugi::xml_document& doc, const std::string& country, const std::string& named) {
  const bool ca = country == "CA";
  std::string version = ca ? kVersionsCA[std::size(kVersionsCA) - 1] : kVersionsUS[std::size(kVersionsUS) - 1];
  if (!named.empty()) version = named;
  for (pugi::xml_node n : doc.children()) {
    if (!named.empty()) break;  // the carrier's word stands
    if (n.type() != pugi::node_pi || std::string_view(n.name()) != "vtxml") continue;
    const std::string value = n.value();
    const std::size_t at = value.find("version");
    const std::size_t open = value.find_first_of("\"'", at);
    const std::size_t close = open == std::string::npos ? open : value.find(value[open], open + 1);
    version = at == std::string::npos || close == std::string::npos ? "" : value.substr(open + 1, close - open - 1);
    break;
  }
  const std::vector<std::string> supported = SupportedVersions(country);
  if (std::find(supported.begin(), supported.end(), version) == supported.end())
    throw MalformedRequest("The vtXML version \"" + version + "\" is not supported by the sandbox's " + country +
                           " company file.");
  const std::string number = ca ? version.substr(2) : version;
  return {(number[0] - '0') * 100 + (number[2] - '0'), ca};
}

// A response document around the answers of a set. A set without answers is an empty
// element: one holding only a line break would read as a value, not as a set.
std::string AnswerDocument(const std::string& attributes, const std::string& answers) {
  const std::string head = "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs" + attributes;
  if (answers.empty()) return head + "/>\r\n</VTXML>\r\n";
  return head + ">\r\n" + answers + "</VTXMLMsgsRs>\r\n</VTXML>\r\n";
}

void RememberMessageSet(CompanyFile& file, const std::string& id, const std::string& answers) {
  Stmt(file.Handle(), "INSERT OR REPLACE INTO message_sets (id, answer) VALUES (?, ?)").Bind(1, id).Bind(2, answers).Step();
}

void ForgetMessageSet(CompanyFile& file, const std::string& id) {
  Stmt(file.Handle(), "DELETE FROM message_sets WHERE id = ?").Bind(1, id).Step();
}

// The kept answer of message set `id` with messageSetStatusCode 0, or none with
// kUnknownMessageSet when the sandbox holds no answer for it.
std::string RecoveryStatus(CompanyFile& file, const std::string& id) {
  Stmt find(file.Handle(), "SELECT answer FROM message_sets WHERE id = ?");
  find.Bind(1, id);
  const bool known = find.Step();
  std::string attributes = " newMessageSetID=\"";
  AppendEscaped(attributes, id, true);
  attributes += "\" messageSetStatusCode=\"" + std::string(known ? "0" : kUnknownMessageSet) + "\"";
  return AnswerDocument(attributes, known ? find.Text(0) : "");
}

}  // namespace

std::string ProcessRequest(CompanyFile& file, std::string_view requestXml, const Access& access) {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_buffer(requestXml.data(), requestXml.size(),
                                                        pugi::parse_default | pugi::parse_pi | pugi::parse_ws_pcdata_single);
  if (!parsed)
    throw MalformedRequest(std::string("The request document is not well-formed XML: ") + parsed.description() +
                           " at offset " + std::to_string(parsed.offset) + ".");
  const Edition edition = DocumentEdition(doc, file.Country(), access.version);
  pugi::xml_node msgs = doc.document_element().child("VTXMLMsgsRq");
  if (std::string_view(doc.document_element().name()) != "VTXML" || !msgs)
    throw MalformedRequest("The request document has no VTXML element holding a VTXMLMsgsRq element.");
  const std::string policy = msgs.attribute("onError") ? msgs.attribute("onError").value() : "stopOnError";
  if (policy != "stopOnError" && policy != "continueOnError" && policy != "rollbackOnError")
    throw MalformedRequest("The onError policy \"" + policy + "\" is not stopOnError, continueOnError or rollbackOnError.");
  const std::vector<pugi::xml_node> requests = Elements(msgs);
  for (pugi::xml_node rq : requests) {
    const std::string_view name = rq.name();
    if (name.size() <= 2 || !name.ends_with("Rq"))
      throw MalformedRequest("The message set holds " + std::string(name) + ", which is not a request.");
  }

  // Error recovery: a set naming one message set identifier as both old and new, with no
  // requests, asks for the answer the sandbox gave that set; one naming only an old identifier,
  // with no requests, tells the sandbox to forget it.
  const std::string newId = msgs.attribute("newMessageSetID").value();
  const std::string oldId = msgs.attribute("oldMessageSetID").value();
  file.CheckStillThere();
  if (requests.empty() && !oldId.empty() && oldId == newId) return RecoveryStatus(file, oldId);
  bool writes = !newId.empty() || !oldId.empty();
  for (pugi::xml_node rq : requests) writes = writes || !std::string_view(rq.name()).ends_with("QueryRq");
  const CompanyFile::WriteTurn turn(file, writes);
  if (requests.empty() && !oldId.empty() && newId.empty()) {
    ForgetMessageSet(file, oldId);
    return AnswerDocument("", "");
  }

  Context cx{file, file.Handle(), edition, access.readOnly, {}, {}};
  std::string out;
  Transaction tx(cx.db, writes);
  bool keep = true;
  for (pugi::xml_node rq : requests) {
    Exec(cx.db, "SAVEPOINT request");
    Answer answer;
    const std::map<std::string, std::string> macros = cx.macros;
    const std::size_t changed = cx.changes.size();
    try {
      answer = Dispatch(cx, rq);
      Exec(cx.db, "RELEASE request");
    } catch (const Failure& failure) {
      // Nothing of a refused request stays, the macros it defined included.
      Exec(cx.db, "ROLLBACK TO request");
      Exec(cx.db, "RELEASE request");
      cx.macros = macros;
      cx.changes.resize(changed);
      answer = {failure.code, failure.message, "", ""};
    }
    AppendResponse(out, rq, answer);
    if (Severity(answer.code) == "Error" && policy != "continueOnError") {
      keep = policy != "rollbackOnError";
      break;
    }
  }
  // A file deleted or replaced while the set ran would take its changes with it.
  file.CheckStillThere();
  // The events of what the set changed are kept with the changes, or dropped with them.
  if (keep && !cx.changes.empty()) QueueDataEvents(file, cx.changes);
  tx.Finish(keep);
  // The answer of a set that carried an identifier is kept until the client clears it, so that
  // a client that lost it can ask again.
  std::string attributes;
  if (!newId.empty()) {
    RememberMessageSet(file, newId, out);
    attributes = " newMessageSetID=\"";
    AppendEscaped(attributes, newId, true);
    attributes += "\"";
  }
  if (!oldId.empty() && oldId != newId) ForgetMessageSet(file, oldId);
  return AnswerDocument(attributes, out);
}

std::string ListRecords(CompanyFile& file) {
  std::string out;
  for (const Record& r : Records(file.Handle(), {})) {
    out += r.kind + "  " + r.listId + "  \"" + r.fullName + "\"  EditSequence " + r.editSequence + "\n";
    out += "  Name: " + r.name + "\n  IsActive: " + (r.active ? "true" : "false") +
           "\n  Sublevel: " + std::to_string(r.sublevel) + "\n";
    if (!r.parentId.empty()) out += "  ParentRef: " + r.parentId + "\n";
    out += "  TimeCreated: " + r.timeCreated + "\n  TimeModified: " + r.timeModified + "\n";
    out += ListFields(r.fields);
  }
  for (const std::string& kind : SingletonKinds(file.Handle()))
    out += kind + " (the company's)\n" + ListFields(Singleton(file.Handle(), kind).value_or("<Fields/>"));
  return out.empty() ? "(no records)\n" : out;
}

std::vector<std::string> SupportedVersions(const std::string& country) {
  if (country == "CA") return {std::begin(kVersionsCA), std::end(kVersionsCA)};
  return {std::begin(kVersionsUS), std::end(kVersionsUS)};
}

}  // namespace vtfc4::sandbox
