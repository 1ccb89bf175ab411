// Reads a request document of 10,000 customer queries into the message set request and its
// query objects (manager, adapter, mediator, the catalogue's parse routes), and the same bytes
// through a bare Xerces SAX1 pass with empty callbacks and the same parser settings. The figure that counts is the ratio of
// the two byte rates: what the pipeline adds on top of the parser itself.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bare_xerces.h"
#include "bench/ratio_reporter.h"
#include "src/com/text.h"
#include "src/msgset/msgset_request.h"
#include "vtfc4/vtfc4.h"

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

// Parses the document into the message set request and its query objects.
ComPtr<IMsgSetRequest> ParseThroughPipeline() {
  ComPtr<IMsgSetRequest> set;
  if (FAILED(ParseMsgSetRequest(Document(), kCountryUS, 4, 0, OnlineSignon{}, set.Put()))) return {};
  return set;
}

// The objects must hold what the document says before anything is timed.
bool CheckObjects(IMsgSetRequest* set) {
  ComPtr<IRequestList> list;
  set->get_RequestList(list.Put());
  LONG count = 0;
  if (!list || FAILED(list->get_Count(&count)) || count != kRequests) return false;
  for (LONG i : {0, kRequests - 1}) {
    ComPtr<IRequest> request;
    ComPtr<IVTBase> detail;
    ComPtr<ICustomerQuery> query;
    ComPtr<IORCustomerListQuery> choice;
    ComPtr<IBSTRList> names;
    Bstr name;
    if (FAILED(list->GetAt(i, request.Put())) || FAILED(request->get_Detail(detail.Put())) ||
        FAILED(detail.As(&query)) || FAILED(query->get_ORCustomerListQuery(choice.Put())) || !choice ||
        FAILED(choice->get_FullNameList(names.Put())) || !names || FAILED(names->GetAt(0, name.Put())))
      return false;
    if (ToNarrow(name.Get()) != "Smith & Sons " + std::to_string(i)) return false;
  }
  return true;
}

void BM_Pipeline(benchmark::State& state) {
  for (auto _ : state) {
    ComPtr<IMsgSetRequest> set = ParseThroughPipeline();
    if (!set) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(set.Get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(Document().size()) * state.iterations());
}

void BM_BareXerces(benchmark::State& state) {
  for (auto _ : state) ParseBare(Document());
  state.SetBytesProcessed(static_cast<int64_t>(Document().size()) * state.iterations());
}

BENCHMARK(BM_Pipeline)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BareXerces)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  // The library initialises Xerces at its first parse; the bare pass may run first.
  xercesc::XMLPlatformUtils::Initialize();
  ComPtr<IMsgSetRequest> set = ParseThroughPipeline();
  if (!set || !CheckObjects(set.Get())) {
    std::fprintf(stderr, "the pipeline does not read the document as written\n");
    return 1;
  }
  std::printf("document: %zu bytes, %d requests\n", Document().size(), kRequests);
  PairedRounds("requests read against the bare pass", 15, [] { ParseBare(Document()); },
               [] { benchmark::DoNotOptimize(ParseThroughPipeline().Get()); });
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter("BM_Pipeline", "BM_BareXerces");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
