// The parse manager over Xerces: error texts, hostile documents, the root handler of the
// envelope, files, the thread's code page, the limits of names and values, and several
// threads parsing at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <xercesc/sax/SAXException.hpp>

#include "src/xml/sax.h"
#include "src/xml/tag_table.h"
#include "support.h"
#include "vtfc4/com.h"

namespace vtfc4 {
namespace {

// One handler for the whole document: it takes every aggregate itself and logs every call,
// tags as ids.
class Recorder final : public SAXParseable {
 public:
  std::vector<std::string> calls;

  SAXParseable* HandleAggregate(int tag) override {
    calls.push_back("Agg(" + std::to_string(tag) + ")");
    return this;
  }
  void HandleElement(int tag, const std::string* value) override {
    calls.push_back("Elem(" + std::to_string(tag) + "," + (value ? *value : "null") + ")");
  }
  void HandleAttribute(int tag, const std::string* value) override {
    calls.push_back("Attr(" + std::to_string(tag) + "," + (value ? *value : "null") + ")");
  }
  void HandleEndAggregate(int tag) override { calls.push_back("End(" + std::to_string(tag) + ")"); }
};

struct Outcome {
  bool parsed = false;
  std::string error;
  bool hasError = false;
  std::vector<std::string> calls;
};

Outcome ParseWith(SAXParseable* root, std::string_view document, bool validate = false) {
  auto manager = MakeParseManager();
  EXPECT_TRUE(manager);
  Outcome o;
  if (!manager) return o;
  manager->SetValidation(validate);
  o.parsed = manager->ParseBuffer(root, document, kVTXMLBufferId);
  o.hasError = manager->GetLastError(o.error);
  return o;
}

Outcome Parse(std::string_view document, bool validate = false) {
  Recorder r;
  Outcome o = ParseWith(&r, document, validate);
  o.calls = std::move(r.calls);
  return o;
}

// The position part of a parser error text.
std::string At(int line, int column) {
  return "SAXParseException: error at line " + std::to_string(line) + ", column " +
         std::to_string(column) + " in XML data.";
}

const std::string kRefused =
    "External entity refused: vtXML documents are read without external entities.";

// A directory of its own under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("vtfc4_parser_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = (path_ / name).string();
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

constexpr const char* kSecret = "SECRET-MARKER-4711";

bool MentionsSecret(const Outcome& o) {
  if (o.error.find(kSecret) != std::string::npos) return true;
  for (const auto& c : o.calls)
    if (c.find(kSecret) != std::string::npos) return true;
  return false;
}

// Billion laughs: ten levels of entities, each ten references to the one below.
std::string BillionLaughs() {
  std::string d = "<?xml version=\"1.0\"?><!DOCTYPE VTXML [<!ENTITY lol \"lol\">";
  d += "<!ENTITY lol1 \"";
  for (int j = 0; j < 10; ++j) d += "&lol;";
  d += "\">";
  for (int i = 2; i <= 9; ++i) {
    d += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) d += "&lol" + std::to_string(i - 1) + ";";
    d += "\">";
  }
  return d + "]><VTXML>&lol9;</VTXML>";
}

// ---- Error texts.

struct ErrorCase {
  const char* name;
  std::string document;
  bool validate;
  std::string error;
  std::vector<std::string> callsBefore;  // what handlers got before the error
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorText : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorText, IsExact) {
  const Outcome o = Parse(GetParam().document, GetParam().validate);
  EXPECT_FALSE(o.parsed);
  EXPECT_TRUE(o.hasError);
  EXPECT_EQ(o.error, GetParam().error);
  EXPECT_EQ(o.calls, GetParam().callsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ErrorText,
    ::testing::Values(
        // Line 2 is "  <B>x</C>": "</" takes columns 7 and 8, the wrong name starts at 9.
        ErrorCase{"mismatched_end_tag", "<A>\n  <B>x</C>\n</A>", false,
                  "expected end of tag 'B'" + At(2, 9), {"Agg(-1)"}},
        // Eleven characters, cut after </B>: the parser stands at column 12.
        ErrorCase{"truncated", "<A><B>x</B>", false,
                  "input ended before all started tags were ended; last tag started is 'A'" + At(1, 12),
                  {"Agg(-1)", "Elem(-1,x)"}},
        // The message "expected end of tag '<name>'" is 22 bytes and the name: with a name
        // of 1001 characters it fills the 1023 bytes allowed, one more and it is left out.
        // The name starts at column 2, its end tag's name at column 1001 + 5.
        ErrorCase{"message_at_the_limit", "<" + std::string(1001, 'N') + "></B>", false,
                  "expected end of tag '" + std::string(1001, 'N') + "'" + At(1, 1006), {}},
        ErrorCase{"message_beyond_the_limit", "<" + std::string(1002, 'N') + "></B>", false, At(1, 1007), {}},
        ErrorCase{"empty_document", "", false, "invalid document structure" + At(1, 1), {}},
        // A document that names its encoding is read in it, whatever the thread's code page.
        ErrorCase{"invalid_utf8", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Name>\xC3\x28</Name>", false,
                  "invalid byte '(' at position 2 of a 2-byte sequence" + At(1, 39), {}},
        ErrorCase{"undeclared_entity", "<A>&nope;</A>", false, "entity 'nope' not found" + At(1, 10), {}},
        ErrorCase{"second_root", "<A/><B/>", false,
                  "comment or processing instruction expected" + At(1, 5), {"Agg(-1)", "End(-1)"}},
        ErrorCase{"unknown_encoding", "<?xml version=\"1.0\" encoding=\"bogus\"?><A/>", false,
                  "unable to create converter for 'BOGUS' encoding" + At(1, 39), {}},
        // A second declaration of an attribute is only a warning; it ends the parse all the
        // same. "<!DOCTYPE A [" is 13 characters, the first declaration 29, and the second
        // one's attribute name ends at column 55.
        ErrorCase{"warning",
                  "<!DOCTYPE A [<!ATTLIST A x CDATA #IMPLIED><!ATTLIST A x CDATA #IMPLIED>]><A x='1'>t</A>",
                  false, "attribute 'x' has already been declared for element 'A'" + At(1, 56), {}},
        // Validating without a document type: the first element is unknown, reported at the
        // '>' of its start tag (column 7).
        ErrorCase{"validation_without_document_type", "<VTXML><Name>x</Name></VTXML>", true,
                  "no declaration found for element 'VTXML'" + At(1, 7), {}},
        // Validating would need the external document type: it is refused, not read.
        ErrorCase{"validation_refuses_external_document_type",
                  "<!DOCTYPE VTXML SYSTEM \"vtxmlops.dtd\"><VTXML/>", true, kRefused + At(1, 39), {}},
        // Each refusal points just after the reference; nothing of the entity reaches a handler.
        ErrorCase{"external_general_entity",
                  "<!DOCTYPE A [<!ENTITY s SYSTEM \"/etc/hostname\">]><A>&s;</A>", false,
                  kRefused + At(1, 56), {}},
        ErrorCase{"external_parameter_entity",
                  "<!DOCTYPE A [<!ENTITY % s SYSTEM \"/etc/hostname\"> %s;]><A>x</A>", false,
                  kRefused + At(1, 54), {}},
        ErrorCase{"external_entity_by_url",
                  "<!DOCTYPE A [<!ENTITY s SYSTEM \"http://unreachable.invalid/x\">]><A>&s;</A>", false,
                  kRefused + At(1, 71), {}},
        // The limit stops the expansion at the reference: the document has 763 characters and
        // ends with "&lol9;</VTXML>", so the reference ends at column 755.
        ErrorCase{"billion_laughs", BillionLaughs(), false,
                  "parser has encountered more than '1000' entity expansions in the document; this is "
                  "the limit imposed by the application" + At(1, 756),
                  {}}),
    [](const ::testing::TestParamInfo<ErrorCase>& p) { return std::string(p.param.name); });

TEST(ErrorText, ClearedByTheNextParseAndKeptPerManager) {
  auto manager = MakeParseManager();
  Recorder r;
  std::string error = "stale";
  EXPECT_FALSE(manager->GetLastError(error));
  EXPECT_EQ(error, "");
  std::string info = "kept";
  EXPECT_FALSE(manager->GetInfoText(info));
  EXPECT_EQ(info, "kept");

  EXPECT_FALSE(manager->ParseBuffer(&r, "<A>", kVTXMLBufferId));
  EXPECT_TRUE(manager->GetLastError(error));
  EXPECT_EQ(error, "input ended before all started tags were ended; last tag started is 'A'" + At(1, 4));
  EXPECT_TRUE(manager->ParseBuffer(&r, "<A/>", kVTXMLBufferId));
  EXPECT_FALSE(manager->GetLastError(error));
  EXPECT_EQ(error, "");
}

// ---- Handler exceptions.

class Thrower final : public SAXParseable {
 public:
  enum Kind { kHandler, kSAX, kSAXLong, kStd, kBadAlloc, kInt };
  explicit Thrower(Kind kind) : kind_(kind) {}
  SAXParseable* HandleAggregate(int) override { return this; }
  void HandleElement(int tag, const std::string* value) override {
    if (tag != tag::Memo) return;
    switch (kind_) {
      case kHandler: throw SAXParseHandlerException("Memo: refused value " + *value);
      case kSAX: throw xercesc::SAXException(u"custom \u00E9");
      case kSAXLong: throw xercesc::SAXException(std::u16string(1024, u'x').c_str());
      case kStd: throw std::runtime_error("runtime");
      case kBadAlloc: throw std::bad_alloc();
      case kInt: throw 7;
    }
  }
  void HandleAttribute(int, const std::string*) override {}
  void HandleEndAggregate(int) override { ++ends; }
  int ends = 0;

 private:
  Kind kind_;
};

TEST(HandlerException, EndsTheParseWithItsText) {
  const struct {
    Thrower::Kind kind;
    const char* error;
  } cases[] = {
      {Thrower::kHandler, "Error parsing. Message: Memo: refused value m&1"},
      // Any other parser exception: its message follows when it fits in 1023 bytes.
      {Thrower::kSAX, "Error parsing.Message: custom \xE9"},
      {Thrower::kSAXLong, "Error parsing."},
      {Thrower::kStd, "Error parsing: Unexpected exception."},
      {Thrower::kBadAlloc, "Error parsing: Unexpected exception."},
      {Thrower::kInt, "Error parsing: Unexpected exception."},
  };
  for (const auto& c : cases) {
    Thrower t(c.kind);
    const Outcome o = ParseWith(&t, "<VTXML><CustomerRet><Memo>m&amp;1</Memo><Name>n</Name></CustomerRet>"
                                    "</VTXML>");
    EXPECT_FALSE(o.parsed);
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(t.ends, 0) << "the parse went on after the exception";
  }
}

// ---- Hostile documents.

TEST(Hostile, ExternalDocumentTypeIsNeverLoaded) {
  TempDir dir;
  // Were this read, the document would fail: it is no document type at all.
  const std::string dtd = dir.Write("vtxmlops.dtd", "this is not a document type");
  for (const std::string& id : {std::string("http://gateway.vtoe.korven.example/dtds/vtxmlops20.dtd"),
                                std::string("http://unreachable.invalid/vtxmlops.dtd"), dtd,
                                "file://" + dtd}) {
    const Outcome o = Parse("<?xml version=\"1.0\" ?>\r\n<!DOCTYPE VTXML SYSTEM \"" + id +
                            "\">\r\n<VTXML><Name>x</Name></VTXML>");
    EXPECT_TRUE(o.parsed) << id << ": " << o.error;
    EXPECT_EQ(o.calls, (std::vector<std::string>{"Agg(1368)", "Elem(801,x)", "End(1368)"})) << id;
  }
}

TEST(Hostile, LocalFilesNamedByEntitiesAreNeverRead) {
  TempDir dir;
  const std::string secret = dir.Write("secret.txt", kSecret);
  const struct {
    const char* name;
    std::string document;
    std::string reference;  // the error is reported where it ends
  } cases[] = {
      {"path", "<!DOCTYPE VTXML [<!ENTITY s SYSTEM \"" + secret + "\">]><VTXML><Memo>&s;</Memo></VTXML>", "&s;"},
      {"file_url", "<!DOCTYPE VTXML [<!ENTITY s SYSTEM \"file://" + secret + "\">]><VTXML><Memo>&s;</Memo></VTXML>",
       "&s;"},
      {"public_id",
       "<!DOCTYPE VTXML [<!ENTITY s PUBLIC \"-//x//y\" \"" + secret + "\">]><VTXML><Memo>&s;</Memo></VTXML>",
       "&s;"},
      {"parameter_entity",
       "<!DOCTYPE VTXML [<!ENTITY % s SYSTEM \"" + secret + "\"> %s;]><VTXML><Memo>m</Memo></VTXML>", "%s;"},
      {"in_document_type", "<!DOCTYPE VTXML SYSTEM \"" + secret + "\" [<!ENTITY x \"y\">]><VTXML/>", ""},
  };
  for (const auto& c : cases) {
    const Outcome o = Parse(c.document);
    EXPECT_FALSE(MentionsSecret(o)) << c.name;
    if (c.reference.empty()) {
      // Without validation the external document type is not even asked for.
      EXPECT_TRUE(o.parsed) << c.name << ": " << o.error;
      continue;
    }
    EXPECT_FALSE(o.parsed) << c.name;
    const int column = static_cast<int>(c.document.find(c.reference) + c.reference.size() + 1);
    EXPECT_EQ(o.error, kRefused + At(1, column)) << c.name;
  }

  // A file naming its neighbour by a relative address.
  const std::string doc = dir.Write(
      "request.xml", "<!DOCTYPE VTXML [\n<!ENTITY s SYSTEM \"secret.txt\">\n]>\n<VTXML><Memo>&s;</Memo></VTXML>");
  Recorder r;
  auto manager = MakeParseManager();
  EXPECT_FALSE(manager->ParseFile(&r, doc));
  std::string error;
  EXPECT_TRUE(manager->GetLastError(error));
  EXPECT_EQ(error, kRefused + At(4, 17));
  for (const auto& c : r.calls) EXPECT_EQ(c.find(kSecret), std::string::npos);
}

TEST(Hostile, EntityExpansionIsBounded) {
  const std::string limit =
      "parser has encountered more than '1000' entity expansions in the document; this is the "
      "limit imposed by the application";
  const Outcome laughs = Parse(BillionLaughs());
  EXPECT_EQ(laughs.error.substr(0, limit.size()), limit);

  // The size is bounded too: no entity's text may exceed 1024 characters, so 1000 expansions
  // give at most 1,024,000 characters, in element text or attribute values.
  const std::string tooLarge =
      "Entity refused: the replacement text of an entity is limited to 1024 characters.";
  for (const std::string& use : {std::string("<VTXML><Memo>&big;</Memo></VTXML>"),
                                 std::string("<VTXML><Memo a=\"&big;&big;\"/></VTXML>"),
                                 std::string("<VTXML/>")}) {
    const Outcome refused =
        Parse("<!DOCTYPE VTXML [<!ENTITY big \"" + std::string(1025, 'b') + "\">]>" + use);
    EXPECT_FALSE(refused.parsed) << use;
    EXPECT_EQ(refused.error.substr(0, tooLarge.size()), tooLarge) << use;
    EXPECT_TRUE(refused.calls.empty()) << use;
  }
  const Outcome largest =
      Parse("<!DOCTYPE VTXML [<!ENTITY % p \"" + std::string(1025, 'p') + "\">]><VTXML/>");
  EXPECT_EQ(largest.error.substr(0, tooLarge.size()), tooLarge) << "parameter entities too";

  // The largest entity used many times: 1000 references are within the limit, 1001 are not.
  auto quadratic = [](int references) {
    std::string d = "<!DOCTYPE VTXML [<!ENTITY big \"" + std::string(1024, 'b') + "\">]><VTXML><Memo>";
    for (int i = 0; i < references; ++i) d += "&big;";
    return d + "</Memo></VTXML>";
  };
  const Outcome within = Parse(quadratic(1000));
  EXPECT_TRUE(within.parsed) << within.error;
  ASSERT_EQ(within.calls.size(), 3u);
  EXPECT_EQ(within.calls[1].size(), std::string("Elem(790,)").size() + 1000 * 1024);
  const Outcome beyond = Parse(quadratic(1001));
  EXPECT_FALSE(beyond.parsed);
  EXPECT_EQ(beyond.error.substr(0, limit.size()), limit);

  // The predefined entities and character references are not expansions.
  std::string many = "<Memo>";
  for (int i = 0; i < 5000; ++i) many += "&amp;&#65;";
  const Outcome plain = Parse(many + "</Memo>");
  EXPECT_TRUE(plain.parsed) << plain.error;
  std::string expected = "Elem(790,";
  for (int i = 0; i < 5000; ++i) expected += "&A";
  EXPECT_EQ(plain.calls, std::vector<std::string>{expected + ")"});
}

// Accepts every aggregate itself and only counts.
class Counter final : public SAXParseable {
 public:
  SAXParseable* HandleAggregate(int) override {
    ++aggregates;
    return refuse ? nullptr : this;
  }
  void HandleElement(int, const std::string* value) override {
    ++elements;
    last = *value;
  }
  void HandleAttribute(int, const std::string*) override { ++attributes; }
  void HandleEndAggregate(int) override { ++ends; }
  bool refuse = false;
  int aggregates = 0, elements = 0, attributes = 0, ends = 0;
  std::string last;
};

TEST(Hostile, DeepNestingParsesWithoutRecursion) {
  constexpr int kDepth = 100000;
  std::string d;
  d.reserve(kDepth * 20);
  for (int i = 0; i < kDepth; ++i) d += "<CustomerRet a=\"1\">";
  d += "deep";
  for (int i = 0; i < kDepth; ++i) d += "</CustomerRet>";

  Counter taking;
  Outcome o = ParseWith(&taking, d);
  EXPECT_TRUE(o.parsed) << o.error;
  EXPECT_EQ(taking.aggregates, kDepth - 1);
  EXPECT_EQ(taking.ends, kDepth - 1);
  EXPECT_EQ(taking.elements, 1);
  EXPECT_EQ(taking.attributes, kDepth);
  EXPECT_EQ(taking.last, "deep");

  // Refused at the top: the whole depth is skipped.
  Counter refusing;
  refusing.refuse = true;
  o = ParseWith(&refusing, d);
  EXPECT_TRUE(o.parsed) << o.error;
  EXPECT_EQ(refusing.aggregates, 1);
  EXPECT_EQ(refusing.elements + refusing.attributes + refusing.ends, 0);
}

TEST(Hostile, LargeTextInManyPieces) {
  constexpr int kPieces = 200000;
  std::string d = "<VTXML><Memo>";
  for (int i = 0; i < kPieces; ++i) d += "abc&lt;";
  d += "</Memo></VTXML>";
  Counter c;
  const Outcome o = ParseWith(&c, d);
  EXPECT_TRUE(o.parsed) << o.error;
  ASSERT_EQ(c.last.size(), 4u * kPieces);
  EXPECT_EQ(c.last.substr(c.last.size() - 8), "abc<abc<");
}

// ---- The envelope's root handler.

class FakeSignon final : public SignonTarget {
 public:
  SAXParseable* face = nullptr;
  std::vector<int> asked;
  SAXParseable* SignonFace(int tag) override {
    asked.push_back(tag);
    return face;
  }
};

// Which handler takes each envelope element; how a handler's answer steers the rest of a
// document is the mediator's (mediator_test.cpp).
TEST(VTXMLRootTest, RoutesEveryEnvelopeTag) {
  Recorder request, response, subscription, events, face;
  FakeSignon signon;
  signon.face = &face;
  VTXMLRoot full;
  full.msgSetRequest = &request;
  full.msgSetResponse = &response;
  full.subscriptionResponse = &subscription;
  full.events = &events;
  full.online = &signon;
  VTXMLRoot empty;
  FakeSignon noFace;
  VTXMLRoot faceless;
  faceless.online = &noFace;

  const struct {
    int tag;
    SAXParseable* withTargets;
    bool rootWithout;  // without targets: the root itself (true) or null
  } cases[] = {
      {tag::VTXML, &full, true},
      {tag::SignonMsgsRq, &full, true},
      {tag::SignonMsgsRs, &full, true},
      {tag::VTXMLMsgsRq, &request, false},
      {tag::VTXMLMsgsRs, &response, false},
      {tag::VTXMLSubscriptionMsgsRs, &subscription, false},
      {tag::VTXMLEvents, &events, false},
      {tag::SignonDesktopRq, &face, false},
      {tag::SignonTicketRq, &face, false},
      {tag::SignonDesktopRs, &face, false},
      {tag::SignonTicketRs, &face, false},
      {tag::CustomerRet, nullptr, false},
      {tag::VTXMLEventsMsgsRs, nullptr, false},
      {-1, nullptr, false},
      {tag::kCount, nullptr, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(full.HandleAggregate(c.tag), c.withTargets) << c.tag;
    EXPECT_EQ(empty.HandleAggregate(c.tag), c.rootWithout ? &empty : nullptr) << c.tag;
    EXPECT_EQ(faceless.HandleAggregate(c.tag), c.rootWithout ? &faceless : nullptr) << c.tag;
  }
  const std::vector<int> signonTags = {tag::SignonDesktopRq, tag::SignonTicketRq, tag::SignonDesktopRs,
                                       tag::SignonTicketRs};
  EXPECT_EQ(signon.asked, signonTags);
  EXPECT_EQ(noFace.asked, signonTags);
}

TEST(VTXMLRootTest, RefusesLeavesAndAttributes) {
  const struct {
    const char* document;
    const char* error;
  } cases[] = {
      {"<VTXML><Name>x</Name></VTXML>", "Error parsing. Message: VTXMLRoot: unexpected tag = 801 with value x."},
      {"<VTXML requestID=\"9\"><SignonMsgsRq/></VTXML>",
       "Error parsing. Message: VTXMLRoot: unexpected tag = 1428 with value 9."},
      {"<VTXML>t</VTXML>", "Error parsing. Message: VTXMLRoot: unexpected tag = 1368 with value t."},
      {"<VTXML><SignonMsgsRq><Bogus>b</Bogus></SignonMsgsRq></VTXML>",
       "Error parsing. Message: VTXMLRoot: unexpected tag = -1 with value b."},
  };
  for (const auto& c : cases) {
    VTXMLRoot root;
    const Outcome o = ParseWith(&root, c.document);
    EXPECT_FALSE(o.parsed) << c.document;
    EXPECT_EQ(o.error, c.error);
  }
  VTXMLRoot root;
  EXPECT_EQ(HandlerMessage([&] { root.HandleAttribute(5, nullptr); }),
            "VTXMLRoot: unexpected tag = 5 with value Unknown value.");
}

// ---- Files, buffers and names.

TEST(Sources, FilesAndBuffers) {
  TempDir dir;
  const std::string path = dir.Write("response.xml", "<?xml version=\"1.0\" ?>\r\n<Name a=\"1\">file</Name>\r\n");
  auto manager = MakeParseManager();
  Recorder r;
  EXPECT_TRUE(manager->ParseFile(&r, path));
  EXPECT_EQ(r.calls, std::vector<std::string>{"Elem(801,file)"});

  const std::string missing = dir.Path("missing.xml");
  EXPECT_FALSE(manager->ParseFile(&r, missing));
  std::string error;
  EXPECT_TRUE(manager->GetLastError(error));
  EXPECT_EQ(error, "unable to open primary document entity '" + missing + "'" + At(0, 0));

  // Only the bytes of the view are parsed: what follows it in memory is not the document's.
  const std::string bytes = "<Name>x</Name><Name>";
  r.calls.clear();
  EXPECT_TRUE(manager->ParseBuffer(&r, std::string_view(bytes).substr(0, 14), kVTXMLBufferId));
  EXPECT_EQ(r.calls, std::vector<std::string>{"Elem(801,x)"});
}

TEST(Sources, NamesLongerThanTheLimitAreRefusedBeforeParsing) {
  auto manager = MakeParseManager();
  Recorder r;
  std::string error;
  EXPECT_TRUE(manager->ParseBuffer(&r, "<Name>x</Name>", std::string(1023, 'i')));
  EXPECT_FALSE(manager->ParseBuffer(&r, "<Name>x</Name>", std::string(1024, 'i')));
  EXPECT_TRUE(manager->GetLastError(error));
  EXPECT_EQ(error, "Error parsing: the document name is too long.");
  EXPECT_FALSE(manager->ParseFile(&r, "/" + std::string(1023, 'p')));
  EXPECT_TRUE(manager->GetLastError(error));
  EXPECT_EQ(error, "Error parsing: the file path is too long.");
  EXPECT_EQ(r.calls, std::vector<std::string>{"Elem(801,x)"});
}

// ---- The thread's code page.

// Narrow text is read in the code page it was narrowed to, unless the document names its
// own encoding; names, texts and errors come back in the thread's code page.
TEST(CodePage, TextNamesAndErrorsInTheThreadsCodePage) {
  const std::string utf8 = "<Memo a=\"\xC3\xA9\">caf\xC3\xA9 \xE2\x82\xAC \xCE\xA9</Memo>";
  const std::string declared = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + utf8;
  std::vector<std::string> calls1252, declared1252, callsUtf8;
  std::string error1252, errorUtf8;
  std::thread([&] {
    calls1252 = Parse("<Memo a=\"\xE9\">caf\xE9 \x80</Memo>").calls;
    declared1252 = Parse(declared).calls;
    error1252 = Parse("<\xE9>x</A>").error;
  }).join();
  std::thread([&] {
    ASSERT_EQ(SetThreadCodePage("UTF-8"), S_OK);
    callsUtf8 = Parse(utf8).calls;
    errorUtf8 = Parse("<\xC3\xA9>x</A>").error;
  }).join();
  EXPECT_EQ(calls1252, std::vector<std::string>{"Elem(790,caf\xE9 \x80)"});
  // Windows-1252 holds é and € but not Ω.
  EXPECT_EQ(declared1252, std::vector<std::string>{"Elem(790,caf\xE9 \x80 ?)"});
  EXPECT_EQ(callsUtf8, std::vector<std::string>{"Elem(790,caf\xC3\xA9 \xE2\x82\xAC \xCE\xA9)"});
  EXPECT_EQ(error1252, "expected end of tag '\xE9'" + At(1, 7));
  EXPECT_EQ(errorUtf8, "expected end of tag '\xC3\xA9'" + At(1, 7));
}

TEST(Limits, LongNamesAndValuesAreLeftOut) {
  const std::string n511(511, 'N'), n512(512, 'N');
  const std::string a64(64, 'a'), a65(65, 'a');
  const std::string v399(399, 'v'), v400(400, 'v');
  const std::string e200 = [] {
    std::string s;
    for (int i = 0; i < 200; ++i) s += "\xC3\xA9";
    return s;
  }();
  const struct {
    const char* name;
    std::string document;
    bool utf8;
    std::vector<std::string> calls;
  } cases[] = {
      {"element_name_511", "<VTXML><" + n511 + ">t</" + n511 + "></VTXML>", false,
       {"Agg(1368)", "Elem(-1,t)", "End(1368)"}},
      {"element_name_512_leaf", "<VTXML><Name>a</Name><" + n512 + ">t</" + n512 + "></VTXML>", false,
       {"Agg(1368)", "Elem(801,a)", "End(1368)"}},
      // Its start and end are dropped alike: its children arrive as its parent's.
      {"element_name_512_aggregate", "<VTXML><" + n512 + " a=\"1\"><Name>x</Name></" + n512 + "></VTXML>", false,
       {"Agg(1368)", "Elem(801,x)", "End(1368)"}},
      {"attribute_limits",
       "<VTXML " + a64 + "=\"1\" " + a65 + "=\"2\" requestID=\"" + v399 + "\" onError=\"" + v400 +
           "\"><Name>x</Name></VTXML>",
       false, {"Agg(1368)", "Attr(-1,1)", "Attr(1428," + v399 + ")", "Elem(801,x)", "End(1368)"}},
      // The limits count the bytes of the thread's code page: 200 é are 200 bytes in
      // Windows-1252 and 400 in UTF-8.
      {"value_bytes_1252", "<VTXML requestID=\"" + std::string(200, '\xE9') + "\"><Name>x</Name></VTXML>", false,
       {"Agg(1368)", "Attr(1428," + std::string(200, '\xE9') + ")", "Elem(801,x)", "End(1368)"}},
      {"value_bytes_utf8", "<VTXML requestID=\"" + e200 + "\"><Name>x</Name></VTXML>", true,
       {"Agg(1368)", "Elem(801,x)", "End(1368)"}},
      {"value_bytes_utf8_399", "<VTXML requestID=\"v" + e200.substr(2) + "\"><Name>x</Name></VTXML>", true,
       {"Agg(1368)", "Attr(1428,v" + e200.substr(2) + ")", "Elem(801,x)", "End(1368)"}},
      // Text has no limit.
      {"long_text", "<Memo>" + std::string(100000, 't') + "</Memo>", false,
       {"Elem(790," + std::string(100000, 't') + ")"}},
  };
  for (const auto& c : cases) {
    Outcome o;
    std::thread([&] {
      if (c.utf8) {
        ASSERT_EQ(SetThreadCodePage("UTF-8"), S_OK);
      }
      o = Parse(c.document);
    }).join();
    EXPECT_TRUE(o.parsed) << c.name << ": " << o.error;
    EXPECT_EQ(o.calls, c.calls) << c.name;
  }
}

// ---- Several threads.

TEST(Threads, ManagersParseAtTheSameTime) {
  constexpr int kThreads = 4, kDocuments = 200;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      const bool utf8 = t % 2 == 1;
      if (utf8 && SetThreadCodePage("UTF-8") != S_OK) ++wrong;
      auto manager = MakeParseManager();
      for (int i = 0; i < kDocuments; ++i) {
        const std::string id = std::to_string(t) + "-" + std::to_string(i);
        Recorder r;
        std::string error;
        if (i % 10 == 9) {
          // Every tenth document is broken; its error belongs to this manager alone.
          const std::string broken = "<VTXML><Name>" + id + "</Memo></VTXML>";
          if (manager->ParseBuffer(&r, broken, kVTXMLBufferId) || !manager->GetLastError(error) ||
              error != "expected end of tag 'Name'" + At(1, static_cast<int>(16 + id.size())))
            ++wrong;
          continue;
        }
        const std::string document = "<VTXML>\r\n<CustomerRet requestID=\"" + id + "\">\r\n<Name>caf&#233; " +
                                     id + "</Name>\r\n</CustomerRet>\r\n</VTXML>\r\n";
        const std::vector<std::string> expected = {
            "Agg(1368)", "Agg(270)", "Attr(1428," + id + ")",
            "Elem(801,caf" + std::string(utf8 ? "\xC3\xA9" : "\xE9") + " " + id + ")", "End(270)", "End(1368)"};
        if (!manager->ParseBuffer(&r, document, kVTXMLBufferId) || manager->GetLastError(error) ||
            r.calls != expected)
          ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vtfc4
