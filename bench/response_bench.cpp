// Parses CustomerQueryRs answers of about 10 MB and 100 MB (customer records of about 30
// fields each, with nested addresses and references, CR LF between elements) into the
// response tree, walks every value, and compares with a bare Xerces pass over the same
// buffer. Reports, in one process: bytes per second of both and their ratio, and the peak of
// the heap during a parse and walk against the document's size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <vector>

#include "bench/bare_xerces.h"
#include "bench/ratio_reporter.h"
#include "src/catalogue/engine.h"
#include "src/core/aggregate.h"
#include "src/msgset/msgset_response.h"
#include "vtfc4/vtfc4.h"

// ---- Peak memory, as the system counts it: the resident set's high-water mark, reset just
// before a parse, against the resident set at that moment (with the heap's free memory
// returned first, so that memory the parse reuses counts as new).
namespace {
size_t StatusKilobytes(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  size_t value = 0;
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, length) == 0) value = std::strtoull(line + length, nullptr, 10);
  std::fclose(f);
  return value;
}

bool ResetPeak() {
  malloc_trim(0);
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  const bool done = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && done;
}
}  // namespace

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

// Reads one value through its typed interface, as a client does; the bytes read.
template <class I, class V>
size_t ReadValue(CatalogueBase& record, size_t i) {
  ComPtr<I> value;
  record.GetMemberCom(i, iid_of<I>(), value.PutVoid());
  if (!value) return 0;
  V v{};
  return SUCCEEDED(value->GetValue(&v)) ? sizeof v : 0;
}

size_t ReadText(CatalogueBase& record, size_t i) {
  ComPtr<IVTStringType> value;
  record.GetMemberCom(i, IID_IVTStringType, value.PutVoid());
  Bstr text;
  return value && SUCCEEDED(value->GetValue(text.Put())) ? text.Length() : 0;
}

size_t ReadReference(IVTBaseRef* ref) {
  ComPtr<IVTIDType> id;
  ComPtr<IVTStringType> name;
  Bstr a, b;
  if (SUCCEEDED(ref->get_ListID(id.Put())) && id) id->GetValue(a.Put());
  if (SUCCEEDED(ref->get_FullName(name.Put())) && name) name->GetValue(b.Put());
  return a.Length() + b.Length();
}

// Reads every value of a record and of the records it holds, through the getters: each value
// is made from its kept text as it is read.
size_t Walk(CatalogueBase& record) {
  size_t bytes = 0;
  const CatalogueClass& c = record.Class();
  for (size_t i = 0; i < c.info.memberCount; ++i) {
    // A client reads what the edition of its answer has.
    if (!record.Available(i)) continue;
    switch (c.rules[i].type) {
      case ValueType::kString: bytes += ReadText(record, i); break;
      case ValueType::kID: bytes += ReadText(record, i); break;
      case ValueType::kInt: bytes += ReadValue<IVTIntType, LONG>(record, i); break;
      case ValueType::kAmount: bytes += ReadValue<IVTAmountType, double>(record, i); break;
      case ValueType::kBool: bytes += ReadValue<IVTBoolType, VARIANT_BOOL>(record, i); break;
      case ValueType::kDate: bytes += ReadValue<IVTDateType, DATE>(record, i); break;
      case ValueType::kDateTime: bytes += ReadValue<IVTDateTimeType, DATE>(record, i); break;
      case ValueType::kEnum: {
        ComPtr<IBasicPropertyType> value;
        record.GetMemberCom(i, IID_IBasicPropertyType, value.PutVoid());
        VARIANT_BOOL set = VARIANT_FALSE;
        if (value) value->IsSet(&set);
        bytes += set ? 1 : 0;
        break;
      }
      case ValueType::kRef: {
        ComPtr<IVTBaseRef> ref;
        record.GetMemberCom(i, IID_IVTBaseRef, ref.PutVoid());
        if (ref) bytes += ReadReference(ref.Get());
        break;
      }
      case ValueType::kAggregate:
        // Every aggregate member of a catalogue record is a catalogue record.
        if (ObjectRoot* inner = record.Slot(i)) bytes += Walk(*static_cast<CatalogueBase*>(inner->AsParseable()));
        break;
      default:
        break;
    }
  }
  return bytes;
}

// Parses the answer and walks it; the number of bytes of values read (0 on a failure).
size_t ParseAndWalk(const std::string& text) {
  ComPtr<IMsgSetResponse> set;
  if (FAILED(ParseMsgSetResponse(text, kCountryUS, 4, 0, nullptr, set.Put()))) return 0;
  ComPtr<IResponseList> list;
  set->get_ResponseList(list.Put());
  ComPtr<IResponse> response;
  list->GetAt(0, response.Put());
  ComPtr<IVTBase> detail;
  response->get_Detail(detail.Put());
  ComPtr<ICustomerRetList> customers;
  if (FAILED(detail.As(&customers))) return 0;
  LONG count = 0;
  customers->get_Count(&count);
  size_t bytes = 0;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<ICustomerRet> record;
    customers->GetAt(i, record.Put());
    bytes += Walk(*dynamic_cast<CatalogueBase*>(record.Get()));
  }
  return bytes;
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

// An answer of many small responses, in reverse requestID order, read one by one in order:
// the time per response must not grow with their number.
void BM_ReadManyResponses(benchmark::State& state) {
  const LONG n = static_cast<LONG>(state.range(0));
  std::string text = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n";
  for (LONG i = n - 1; i >= 0; --i)
    text += "<CustomerAddRs requestID=\"" + std::to_string(i) + "\" statusCode=\"3100\" statusSeverity=\"Error\"/>\r\n";
  text += "</VTXMLMsgsRs>\r\n</VTXML>\r\n";
  ComPtr<IMsgSetResponse> set;
  if (FAILED(ParseMsgSetResponse(text, kCountryUS, 4, 0, nullptr, set.Put()))) state.SkipWithError("parse failed");
  ComPtr<IResponseList> list;
  if (set) set->get_ResponseList(list.Put());
  for (auto _ : state) {
    for (LONG i = 0; list && i < n; ++i) {
      ComPtr<IResponse> r;
      list->GetAt(i, r.Put());
      benchmark::DoNotOptimize(r.Get());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(n) * state.iterations());
}

BENCHMARK(BM_ReadManyResponses)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndWalk)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareXerces)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  xercesc::XMLPlatformUtils::Initialize();
  for (int mb : {10, 100}) {
    const std::string& text = Answer(mb);
    const bool reset = ResetPeak();
    const size_t before = StatusKilobytes("VmRSS:");
    size_t read = ParseAndWalk(text);
    const size_t peak = StatusKilobytes("VmHWM:");
    if (read == 0) {
      std::fprintf(stderr, "the answer of %d MB does not parse\n", mb);
      return 1;
    }
    if (!reset || peak < before) {
      std::printf("answer %d MB: %zu bytes; the peak memory cannot be read on this system\n", mb, text.size());
      continue;
    }
    const double grown = static_cast<double>(peak - before) * 1024;
    std::printf("answer %d MB: %zu bytes, %zu bytes of values read; peak memory during parse and walk "
                "%.1f MB = %.2f times the document\n",
                mb, text.size(), read, grown / 1e6, grown / static_cast<double>(text.size()));
  }
  for (int mb : {10, 100}) {
    const std::string& text = Answer(mb);
    const std::string what = "answer " + std::to_string(mb) + " MB, parse and walk against the bare pass";
    PairedRounds(what.c_str(), mb == 10 ? 15 : 5, [&] { ParseBare(text); },
                 [&] { benchmark::DoNotOptimize(ParseAndWalk(text)); });
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter("BM_ParseAndWalk", "BM_BareXerces");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
