// Reads a request document of 10,000 customer queries through the library's parse pipeline
// (manager, adapter, mediator, handlers) and the same bytes through a bare Xerces SAX1 pass
// with empty callbacks and the same parser settings. The figure that counts is the ratio of
// the two byte rates: what the pipeline adds on top of the parser itself.
#include <benchmark/benchmark.h>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/ratio_reporter.h"
#include "src/xml/sax.h"
#include "src/xml/tag_table.h"

using namespace vtfc4;

namespace {

constexpr int kRequests = 10000;

// The document as the writer lays it out: one element per line, CR LF after each.
std::string MakeDocument() {
  std::string d = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n"
                  "<VTXMLMsgsRq onError = \"stopOnError\">\r\n";
  for (int i = 0; i < kRequests; ++i) {
    const std::string n = std::to_string(i);
    d += "<CustomerQueryRq requestID = \"" + n + "\">\r\n";
    d += "<MaxReturned>10</MaxReturned>\r\n";
    d += "<FullName>Smith &amp; Sons " + n + "</FullName>\r\n";
    d += "<IncludeRetElement>Name</IncludeRetElement>\r\n";
    d += "<NameFilter>\r\n<MatchCriterion>StartsWith</MatchCriterion>\r\n<Name>Ab</Name>\r\n</NameFilter>\r\n";
    d += "</CustomerQueryRq>\r\n";
  }
  d += "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  return d;
}

const std::string& Document() {
  static const std::string d = MakeDocument();
  return d;
}

// A stand-in for the object model, which arrives later: one object per aggregate, taking
// every child aggregate and keeping the text of every leaf and attribute, so that the
// pipeline's output is made and stored as the real objects will.
class Node final : public SAXParseable {
 public:
  SAXParseable* HandleAggregate(int tag) override {
    children.push_back(std::make_unique<Node>());
    children.back()->tagId = tag;
    return children.back().get();
  }
  void HandleElement(int t, const std::string* value) override { values.emplace_back(t, *value); }
  void HandleAttribute(int t, const std::string* value) override { values.emplace_back(t, *value); }
  void HandleEndAggregate(int) override {}

  int tagId = -1;
  std::vector<std::pair<int, std::string>> values;
  std::vector<std::unique_ptr<Node>> children;
};

// Parses the document into a new tree under a message-set node; false on a parse error.
bool ParseThroughPipeline(Node& requests) {
  VTXMLRoot root;
  root.msgSetRequest = &requests;
  auto manager = MakeParseManager();
  return manager && manager->ParseBuffer(&root, Document(), kVTXMLBufferId);
}

// The same parser settings as the library's manager, with callbacks that do nothing.
class EmptyHandlers final : public xercesc::HandlerBase {};

void ParseBare() {
  EmptyHandlers handlers;
  xercesc::SecurityManager security;
  security.setEntityExpansionLimit(1000);
  xercesc::SAXParser parser;
  parser.setValidationScheme(xercesc::SAXParser::Val_Never);
  parser.setLoadExternalDTD(false);
  parser.setDoNamespaces(false);
  parser.setDisableDefaultEntityResolution(true);
  parser.setSecurityManager(&security);
  parser.setDocumentHandler(&handlers);
  parser.setErrorHandler(&handlers);
  parser.setEntityResolver(&handlers);
  const std::string& d = Document();
  xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(d.data()), d.size(), u"vtxmlops.dtd",
                                    false);
  source.setCopyBufToStream(false);
  parser.parse(source);
}

// The tree must hold what the document says before anything is timed.
bool CheckTree(const Node& requests) {
  if (requests.values.size() != 1 || requests.values[0].second != "stopOnError") return false;
  if (requests.children.size() != kRequests) return false;
  for (int i = 0; i < kRequests; ++i) {
    const Node& q = *requests.children[i];
    const std::vector<std::pair<int, std::string>> expected = {
        {tag::requestID, std::to_string(i)},
        {tag::MaxReturned, "10"},
        {tag::FullName, "Smith & Sons " + std::to_string(i)},
        {tag::IncludeRetElement, "Name"}};
    if (q.tagId != tag::CustomerQueryRq || q.values != expected || q.children.size() != 1) return false;
    const Node& f = *q.children[0];
    const std::vector<std::pair<int, std::string>> filter = {{tag::MatchCriterion, "StartsWith"},
                                                             {tag::Name, "Ab"}};
    if (f.tagId != tag::NameFilter || f.values != filter) return false;
  }
  return true;
}

void BM_Pipeline(benchmark::State& state) {
  for (auto _ : state) {
    Node requests;
    if (!ParseThroughPipeline(requests)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(requests.children.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(Document().size()) * state.iterations());
}

void BM_BareXerces(benchmark::State& state) {
  for (auto _ : state) ParseBare();
  state.SetBytesProcessed(static_cast<int64_t>(Document().size()) * state.iterations());
}

BENCHMARK(BM_Pipeline)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BareXerces)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  // The library initialises Xerces at its first parse; the bare pass may run first.
  xercesc::XMLPlatformUtils::Initialize();
  Node requests;
  if (!ParseThroughPipeline(requests) || !CheckTree(requests)) {
    std::fprintf(stderr, "the pipeline does not read the document as written\n");
    return 1;
  }
  std::printf("document: %zu bytes, %d requests\n", Document().size(), kRequests);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter("BM_Pipeline", "BM_BareXerces");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
