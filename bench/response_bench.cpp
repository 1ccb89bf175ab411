// Parses CustomerQueryRs answers of about 10 MB and 100 MB (customer records of about 30
// fields each, with nested addresses and references, CR LF between elements) into the
// response tree, walks every value, and compares with a bare Xerces pass over the same
// buffer. Reports, in one process: bytes per second of both and their ratio, and the peak of
// the heap during a parse and walk against the document's size.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "bench/bare_xerces.h"
#include "bench/ratio_reporter.h"
#include "src/catalogue/engine.h"
#include "src/core/aggregate.h"
#include "src/msgset/msgset_response.h"
#include "vtfc4/vtfc4.h"

// ---- Heap accounting: every allocation of the process goes through these, so the peak of
// live bytes during a parse is known (the parser's own buffers included).
namespace {
std::atomic<size_t> gLive{0};
std::atomic<size_t> gPeak{0};
// The peak is followed only while the memory is measured, so that timing is not disturbed.
std::atomic<bool> gTracking{false};

void* Allocate(size_t size) {
  void* p = std::malloc(size + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<size_t*>(p) = size;
  size_t live = gLive.fetch_add(size, std::memory_order_relaxed) + size;
  if (gTracking.load(std::memory_order_relaxed)) {
    size_t peak = gPeak.load(std::memory_order_relaxed);
    while (live > peak && !gPeak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
  }
  return static_cast<char*>(p) + 16;
}

void Free(void* p) noexcept {
  if (!p) return;
  char* block = static_cast<char*>(p) - 16;
  gLive.fetch_sub(*reinterpret_cast<size_t*>(block), std::memory_order_relaxed);
  std::free(block);
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }
void operator delete[](void* p, size_t) noexcept { Free(p); }

using namespace vtfc4;

namespace {

std::string Record(int i) {
  const std::string n = std::to_string(i);
  std::string r = "<CustomerRet>\r\n";
  auto leaf = [&r](const char* name, const std::string& value) {
    r += "<";
    r += name;
    r += ">" + value + "</";
    r += name;
    r += ">\r\n";
  };
  leaf("ListID", "80000" + n + "-1071522" + n);
  leaf("TimeCreated", "2004-10-29T12:00:00-08:00");
  leaf("TimeModified", "2005-01-04T09:30:15-08:00");
  leaf("EditSequence", "109" + n);
  leaf("Name", "Ames &amp; Sons " + n);
  leaf("FullName", "Ames &amp; Sons " + n);
  leaf("IsActive", "true");
  leaf("Sublevel", "0");
  leaf("CompanyName", "Ames Trading Company");
  leaf("FirstName", "Remy");
  leaf("LastName", "Ames");
  r += "<BillAddress>\r\n";
  leaf("Addr1", "12 Rue de l'Eglise");
  leaf("Addr2", "Suite " + n);
  leaf("City", "Lyon");
  leaf("State", "RH");
  leaf("PostalCode", "69002");
  leaf("Country", "France");
  r += "</BillAddress>\r\n<ShipAddress>\r\n";
  leaf("Addr1", "1 Quai Est");
  leaf("City", "Lyon");
  leaf("PostalCode", "69003");
  r += "</ShipAddress>\r\n";
  leaf("Phone", "555-0100");
  leaf("Fax", "555-0101");
  leaf("Email", "remy" + n + "@ames.example");
  leaf("Contact", "Remy Ames");
  r += "<CustomerTypeRef>\r\n";
  leaf("ListID", "20000-1071500");
  leaf("FullName", "Wholesale");
  r += "</CustomerTypeRef>\r\n<TermsRef>\r\n";
  leaf("ListID", "30000-1071501");
  leaf("FullName", "Net 30");
  r += "</TermsRef>\r\n";
  leaf("Balance", std::to_string(i % 9000) + ".25");
  leaf("TotalBalance", std::to_string(i % 9000) + ".25");
  leaf("AccountNumber", "A-" + n);
  leaf("CreditLimit", "5000.00");
  leaf("JobStatus", "InProgress");
  leaf("Notes", "Prefers deliveries in the morning.");
  r += "</CustomerRet>\r\n";
  return r;
}

std::string MakeAnswer(size_t targetBytes) {
  std::string d = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n"
                  "<CustomerQueryRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" "
                  "statusMessage=\"Status OK\">\r\n";
  d.reserve(targetBytes + 4096);
  for (int i = 0; d.size() < targetBytes; ++i) d += Record(i);
  d += "</CustomerQueryRs>\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n";
  return d;
}

const std::string& Answer(int megabytes) {
  static const std::string ten = MakeAnswer(10u << 20);
  static const std::string hundred = MakeAnswer(100u << 20);
  return megabytes == 10 ? ten : hundred;
}

// Reads every value of every object below `object`, as a client walking the answer would:
// values through their getters, which make each one from the kept text as it is read.
size_t Walk(ObjectRoot* object) {
  if (BasicPropertyType* v = object->AsValue()) return v->Text().size() + 1;
  size_t bytes = 0;
  if (auto* record = dynamic_cast<CatalogueBase*>(object)) {
    for (size_t i = 0; i < record->Info().memberCount; ++i) {
      // A client reads what the edition of its answer has.
      if (!record->Available(i)) continue;
      if (record->Info().members[i].kind == MemberKind::kValue) {
        ComPtr<IUnknown> value;
        record->GetMemberCom(i, IID_IUnknown, value.PutVoid());
        if (value) bytes += Walk(dynamic_cast<ObjectRoot*>(value.Get()));
      } else if (ObjectRoot* m = record->Slot(i)) {
        bytes += Walk(m);
      }
    }
    return bytes;
  }
  if (auto* aggregate = dynamic_cast<VTCoreBase*>(object)) {  // references
    for (size_t i = 0; i < aggregate->Info().memberCount; ++i)
      if (ObjectRoot* m = aggregate->Slot(i)) bytes += Walk(m);
    return bytes;
  }
  // A list: its entries through the list interface.
  ComPtr<IVTBase> base;
  if (FAILED(object->QueryRoot(IID_IVTBase, reinterpret_cast<void**>(base.Put())))) return 0;
  ComPtr<ICustomerRetList> customers;
  if (SUCCEEDED(base.As(&customers))) {
    LONG count = 0;
    customers->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
      ComPtr<ICustomerRet> record;
      customers->GetAt(i, record.Put());
      bytes += Walk(dynamic_cast<ObjectRoot*>(record.Get()));
    }
  }
  return bytes;
}

// Parses the answer and walks it; the number of value bytes read (0 on a failure).
size_t ParseAndWalk(const std::string& text) {
  ComPtr<IMsgSetResponse> set;
  if (FAILED(ParseMsgSetResponse(text, kCountryUS, 4, 0, nullptr, set.Put()))) return 0;
  ComPtr<IResponseList> list;
  set->get_ResponseList(list.Put());
  ComPtr<IResponse> response;
  list->GetAt(0, response.Put());
  ComPtr<IVTBase> detail;
  response->get_Detail(detail.Put());
  return Walk(dynamic_cast<ObjectRoot*>(detail.Get()));
}

void BM_ParseAndWalk(benchmark::State& state) {
  const std::string& text = Answer(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    size_t read = ParseAndWalk(text);
    if (read == 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
}

void BM_BareXerces(benchmark::State& state) {
  const std::string& text = Answer(static_cast<int>(state.range(0)));
  for (auto _ : state) ParseBare(text);
  state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
}

BENCHMARK(BM_ParseAndWalk)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareXerces)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  xercesc::XMLPlatformUtils::Initialize();
  for (int mb : {10, 100}) {
    const std::string& text = Answer(mb);
    const size_t before = gLive.load();
    gPeak.store(before);
    gTracking.store(true);
    size_t read = ParseAndWalk(text);
    gTracking.store(false);
    if (read == 0) {
      std::fprintf(stderr, "the answer of %d MB does not parse\n", mb);
      return 1;
    }
    const double peak = static_cast<double>(gPeak.load() - before);
    std::printf("answer %d MB: %zu bytes, %zu value bytes read; peak heap during parse and walk "
                "%.1f MB = %.2f times the document\n",
                mb, text.size(), read, peak / 1e6, peak / static_cast<double>(text.size()));
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter("BM_ParseAndWalk", "BM_BareXerces");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
