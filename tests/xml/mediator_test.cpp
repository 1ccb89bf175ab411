// The mediator's dispatch, driven through the real parse manager: which handler gets which
// call, in which order, for aggregates, leaves, empty elements, attributes, text in pieces,
// whitespace and refused aggregates.
#include "src/xml/sax.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "src/xml/tag_table.h"

namespace vtfc4 {
namespace {

// The calls of every handler of one parse, in order, as "handler:Call(...)". A handler is
// named after the aggregate it was made for ("root" for the root handler); tags are written by
// name, or as #id when they have none.
struct Log {
  std::vector<std::string> calls;
  std::vector<std::unique_ptr<SAXParseable>> handlers;
};

std::string Name(int tag) {
  const char* name = TagName(tag);
  return name ? name : "#" + std::to_string(tag);
}

// Takes every aggregate with a new recorder, except: tags of values (HandleAggregate throws,
// as the object model's value members do) and unknown tags (answers null, as the object model
// does for elements it has no member for).
class Recorder final : public SAXParseable {
 public:
  Recorder(Log& log, std::string name) : log_(log), name_(std::move(name)) {}

  SAXParseable* HandleAggregate(int tag) override {
    log_.calls.push_back(name_ + ":Agg(" + Name(tag) + ")");
    if (tag == tag::Name || tag == tag::Memo || tag == tag::FullName)
      throw SAXParseHandlerException("not an aggregate");
    if (tag < 0) return nullptr;
    log_.handlers.push_back(std::make_unique<Recorder>(log_, Name(tag)));
    return log_.handlers.back().get();
  }
  void HandleElement(int tag, const std::string* value) override {
    log_.calls.push_back(name_ + ":Elem(" + Name(tag) + "," + (value ? *value : "null") + ")");
  }
  void HandleAttribute(int tag, const std::string* value) override {
    log_.calls.push_back(name_ + ":Attr(" + Name(tag) + "," + (value ? *value : "null") + ")");
  }
  void HandleEndAggregate(int tag) override { log_.calls.push_back(name_ + ":End(" + Name(tag) + ")"); }

 private:
  Log& log_;
  std::string name_;
};

struct DispatchCase {
  const char* name;
  std::string document;
  std::vector<std::string> calls;
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, CallsInOrder) {
  Log log;
  Recorder root(log, "root");
  auto manager = MakeParseManager();
  ASSERT_TRUE(manager);
  const bool parsed = manager->ParseBuffer(&root, GetParam().document, kVTXMLBufferId);
  std::string error;
  EXPECT_FALSE(manager->GetLastError(error));
  EXPECT_TRUE(parsed) << error;
  EXPECT_EQ(log.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, Dispatch,
    ::testing::Values(
        // An element is an aggregate when its first child starts: the enclosing handler is
        // asked then, and told of the end after the aggregate's end tag.
        DispatchCase{"leaf_in_aggregate",
                     "<CustomerRet><Name>x</Name></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Elem(Name,x)", "root:End(CustomerRet)"}},
        // An aggregate's attributes go to its own handler, before its children.
        DispatchCase{"aggregate_attributes",
                     "<CustomerRet requestID=\"1\"><Name>y</Name></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Attr(requestID,1)",
                      "CustomerRet:Elem(Name,y)", "root:End(CustomerRet)"}},
        // A leaf's attributes go to the enclosing handler after the leaf, at the next tag.
        DispatchCase{"leaf_attributes_at_aggregate_end",
                     "<CustomerRet><Name requestID=\"2\">y</Name></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Elem(Name,y)",
                      "CustomerRet:Attr(requestID,2)", "root:End(CustomerRet)"}},
        DispatchCase{"leaf_attributes_at_next_sibling",
                     "<CustomerRet><Name requestID=\"2\">y</Name><Memo>z</Memo></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Elem(Name,y)",
                      "CustomerRet:Attr(requestID,2)", "CustomerRet:Elem(Memo,z)",
                      "root:End(CustomerRet)"}},
        DispatchCase{"attributes_in_document_order",
                     "<VTXML onError=\"stopOnError\" requestID=\"7\" bogus=\"b\"><Name>x</Name></VTXML>",
                     {"root:Agg(VTXML)", "VTXML:Attr(onError,stopOnError)", "VTXML:Attr(requestID,7)",
                      "VTXML:Attr(#-1,b)", "VTXML:Elem(Name,x)", "root:End(VTXML)"}},
        // An empty element (<Memo/> or <Memo></Memo>, which the parser reports alike) is offered
        // as an aggregate first; a handler that throws for the tag gets it as a leaf with empty
        // text.
        DispatchCase{"empty_value_self_closing",
                     "<CustomerRet><Memo/></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Agg(Memo)", "CustomerRet:Elem(Memo,)",
                      "root:End(CustomerRet)"}},
        DispatchCase{"empty_value_attributes_stay_with_the_enclosing_handler",
                     "<CustomerRet><Memo requestID=\"3\"/></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Agg(Memo)", "CustomerRet:Elem(Memo,)",
                      "CustomerRet:Attr(requestID,3)", "root:End(CustomerRet)"}},
        // An empty element taken as an aggregate: its handler gets its attributes, and the
        // enclosing handler the end.
        DispatchCase{"empty_aggregate",
                     "<CustomerRet><NameFilter requestID=\"4\" onError=\"x\"/><Name>n</Name></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Agg(NameFilter)",
                      "NameFilter:Attr(requestID,4)", "NameFilter:Attr(onError,x)",
                      "CustomerRet:End(NameFilter)", "CustomerRet:Elem(Name,n)",
                      "root:End(CustomerRet)"}},
        DispatchCase{"empty_root", "<VTXML/>", {"root:Agg(VTXML)", "root:End(VTXML)"}},
        // Text the parser delivers in pieces arrives as one value.
        DispatchCase{"text_around_entity_references",
                     "<CustomerRet><Name>a&amp;b&lt;c&#233;&gt;</Name></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Elem(Name,a&b<c\xE9>)",
                      "root:End(CustomerRet)"}},
        DispatchCase{"text_with_cdata",
                     "<CustomerRet><Memo>x<![CDATA[<y>&amp;]]>z</Memo></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Elem(Memo,x<y>&amp;z)",
                      "root:End(CustomerRet)"}},
        // Whitespace alone is a leaf's text; line ends come normalised to LF.
        DispatchCase{"whitespace_leaf",
                     "<CustomerRet><Memo>  \t </Memo><Name>\r\n</Name></CustomerRet>",
                     {"root:Agg(CustomerRet)", "CustomerRet:Elem(Memo,  \t )",
                      "CustomerRet:Elem(Name,\n)", "root:End(CustomerRet)"}},
        DispatchCase{"whitespace_root_leaf", "<Memo> </Memo>", {"root:Elem(Memo, )"}},
        DispatchCase{"whitespace_and_stray_text_between_elements",
                     "<VTXML>\r\n  <CustomerRet>\r\n    <Name>x</Name>\r\n    stray\r\n"
                     "    <Memo> m </Memo>\r\n  </CustomerRet>\r\n</VTXML>\r\n",
                     {"root:Agg(VTXML)", "VTXML:Agg(CustomerRet)", "CustomerRet:Elem(Name,x)",
                      "CustomerRet:Elem(Memo, m )", "VTXML:End(CustomerRet)", "root:End(VTXML)"}},
        // An unknown element with children is refused: nothing of it reaches any handler,
        // and what follows it goes where it belongs.
        DispatchCase{"refused_aggregate_skipped_whole",
                     "<VTXML><Bogus requestID=\"5\"><Name>n</Name><CustomerRet><Memo>m</Memo>"
                     "<Bogus><Bogus/></Bogus></CustomerRet></Bogus><Name>after</Name>"
                     "<CustomerRet><Memo>c</Memo></CustomerRet></VTXML>",
                     {"root:Agg(VTXML)", "VTXML:Agg(#-1)", "VTXML:Elem(Name,after)",
                      "VTXML:Agg(CustomerRet)", "CustomerRet:Elem(Memo,c)", "VTXML:End(CustomerRet)",
                      "root:End(VTXML)"}},
        DispatchCase{"refused_aggregate_deep_inside",
                     "<VTXML><CustomerRet><Bogus><Bogus><Name>x</Name></Bogus></Bogus>"
                     "<Name>y</Name></CustomerRet></VTXML>",
                     {"root:Agg(VTXML)", "VTXML:Agg(CustomerRet)", "CustomerRet:Agg(#-1)",
                      "CustomerRet:Elem(Name,y)", "VTXML:End(CustomerRet)", "root:End(VTXML)"}},
        DispatchCase{"refused_empty_element_drops_its_attributes",
                     "<VTXML><Bogus requestID=\"6\"/><Name>after</Name></VTXML>",
                     {"root:Agg(VTXML)", "VTXML:Agg(#-1)", "VTXML:Elem(Name,after)", "root:End(VTXML)"}},
        DispatchCase{"refused_root", "<Bogus a=\"1\"><Name>x</Name></Bogus>", {"root:Agg(#-1)"}},
        // An unknown leaf is not an aggregate: it is delivered with tag -1 for its handler
        // to judge.
        DispatchCase{"unknown_leaf",
                     "<VTXML><Bogus>t</Bogus></VTXML>",
                     {"root:Agg(VTXML)", "VTXML:Elem(#-1,t)", "root:End(VTXML)"}},
        // A root that is a leaf: its attributes would go to the enclosing handler at the next
        // tag, and there is none.
        DispatchCase{"root_leaf", "<Name requestID=\"1\">x</Name>", {"root:Elem(Name,x)"}},
        DispatchCase{"nested_envelope",
                     "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n"
                     "<VTXMLMsgsRq onError=\"stopOnError\">\r\n<CustomerQueryRq requestID=\"1\">\r\n"
                     "<MaxReturned>10</MaxReturned>\r\n<NameFilter>\r\n<MatchCriterion>StartsWith"
                     "</MatchCriterion>\r\n<Name>Ab</Name>\r\n</NameFilter>\r\n</CustomerQueryRq>\r\n"
                     "</VTXMLMsgsRq>\r\n</VTXML>\r\n",
                     {"root:Agg(VTXML)", "VTXML:Agg(VTXMLMsgsRq)", "VTXMLMsgsRq:Attr(onError,stopOnError)",
                      "VTXMLMsgsRq:Agg(CustomerQueryRq)", "CustomerQueryRq:Attr(requestID,1)",
                      "CustomerQueryRq:Elem(MaxReturned,10)", "CustomerQueryRq:Agg(NameFilter)",
                      "NameFilter:Elem(MatchCriterion,StartsWith)", "NameFilter:Elem(Name,Ab)",
                      "CustomerQueryRq:End(NameFilter)", "VTXMLMsgsRq:End(CustomerQueryRq)",
                      "VTXML:End(VTXMLMsgsRq)", "root:End(VTXML)"}}),
    [](const ::testing::TestParamInfo<DispatchCase>& p) { return std::string(p.param.name); });

// Element names are remembered by the parser's address for them. A document with far more
// distinct names than are remembered, and with names longer than any vtXML name, still gets
// every tag right: the known names between the unknown ones keep their tags.
TEST(Dispatch, ManyDistinctAndLongNames) {
  std::string document = "<VTXML>";
  std::vector<std::string> expected = {"root:Agg(VTXML)"};
  const std::string longName(60, 'L');
  for (int i = 0; i < 3000; ++i) {
    const std::string unknown = (i % 7 == 0 ? longName : "Unknown") + std::to_string(i);
    document += "<" + unknown + ">u</" + unknown + "><Name>" + std::to_string(i) + "</Name>";
    expected.push_back("VTXML:Elem(#-1,u)");
    expected.push_back("VTXML:Elem(Name," + std::to_string(i) + ")");
  }
  document += "<Memo>end</Memo></VTXML>";
  expected.push_back("VTXML:Elem(Memo,end)");
  expected.push_back("root:End(VTXML)");
  Log log;
  Recorder root(log, "root");
  auto manager = MakeParseManager();
  ASSERT_TRUE(manager);
  ASSERT_TRUE(manager->ParseBuffer(&root, document, kVTXMLBufferId));
  EXPECT_EQ(log.calls, expected);
}

}  // namespace
}  // namespace vtfc4
