// Parses answers of about 10 MB and 100 MB into the response tree, walks every value, and
// compares with a bare Xerces pass over the same buffer. Two shapes: a CustomerQueryRs
// (customer records of about 35 values with nested addresses and references) and an
// InvoiceQueryRs (invoices with linked transactions, lines and line groups: deeper nesting and
// OR lists); CR LF between elements. Reports, in one process: the ratio of both speeds in
// paired rounds and by Google Benchmark, and the peak memory of a parse and walk against the
// document's size.
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

void Leaf(std::string& r, const char* name, const std::string& value);

std::string Record(int i) {
  const std::string n = std::to_string(i);
  std::string r = "<CustomerRet>\r\n";
  auto leaf = [&r](const char* name, const std::string& value) { Leaf(r, name, value); };
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

// Appends <name>value</name> and a line end.
void Leaf(std::string& r, const char* name, const std::string& value) {
  r += '<';
  r += name;
  r += '>';
  r += value;
  r += "</";
  r += name;
  r += ">\r\n";
}

void Reference(std::string& r, const char* name, const std::string& id, const std::string& full) {
  r += '<';
  r += name;
  r += ">\r\n";
  Leaf(r, "ListID", id);
  Leaf(r, "FullName", full);
  r += "</";
  r += name;
  r += ">\r\n";
}

std::string Money(int cents) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%02d", cents / 100, cents % 100);
  return text;
}

void InvoiceLine(std::string& r, int i, int line) {
  const std::string n = std::to_string(i) + "-" + std::to_string(line);
  r += "<InvoiceLineRet>\r\n";
  Leaf(r, "TxnLineID", "5A1-" + n);
  Reference(r, "ItemRef", "80000" + std::to_string(line % 7) + "-1071500", "Services:Consulting " + std::to_string(line % 7));
  Leaf(r, "Desc", "Consulting, hour " + n);
  Leaf(r, "Quantity", std::to_string(1 + line % 4));
  Leaf(r, "Rate", Money(7500 + line * 125));
  Leaf(r, "Amount", Money((1 + line % 4) * (7500 + line * 125)));
  Reference(r, "SalesTaxCodeRef", "10000-999", "Tax");
  r += "</InvoiceLineRet>\r\n";
}

// An invoice of two linked payments, four lines and a group of two lines between them.
std::string InvoiceRecord(int i) {
  const std::string n = std::to_string(i);
  std::string r = "<InvoiceRet>\r\n";
  Leaf(r, "TxnID", "1A2B-" + n);
  Leaf(r, "TimeCreated", "2004-10-29T12:00:00-08:00");
  Leaf(r, "TimeModified", "2005-01-04T09:30:15-08:00");
  Leaf(r, "EditSequence", "109" + n);
  Leaf(r, "TxnNumber", n);
  Reference(r, "CustomerRef", "80000" + std::to_string(i % 500) + "-1071522", "Ames &amp; Sons " + std::to_string(i % 500));
  Reference(r, "ARAccountRef", "40000-1071501", "Accounts Receivable");
  Leaf(r, "TxnDate", "2005-01-04");
  Leaf(r, "RefNumber", "INV-" + n);
  r += "<BillAddress>\r\n";
  Leaf(r, "Addr1", "12 Rue de l'Eglise");
  Leaf(r, "City", "Lyon");
  Leaf(r, "PostalCode", "69002");
  r += "</BillAddress>\r\n";
  Leaf(r, "IsPending", "false");
  Leaf(r, "PONumber", "PO-" + n);
  Reference(r, "TermsRef", "30000-1071501", "Net 30");
  Leaf(r, "DueDate", "2005-02-03");
  Leaf(r, "Subtotal", "1250.00");
  Leaf(r, "SalesTaxPercentage", "7.75");
  Leaf(r, "SalesTaxTotal", "96.88");
  Leaf(r, "AppliedAmount", "-500.00");
  Leaf(r, "BalanceRemaining", "846.88");
  Leaf(r, "Memo", "Thank you for your business.");
  Leaf(r, "IsPaid", "false");
  Leaf(r, "IsToBePrinted", "true");
  for (int p = 0; p < 2; ++p) {
    r += "<LinkedTxn>\r\n";
    Leaf(r, "TxnID", "2C3D-" + n + "-" + std::to_string(p));
    Leaf(r, "TxnType", "ReceivePayment");
    Leaf(r, "TxnDate", "2005-01-1" + std::to_string(p));
    Leaf(r, "RefNumber", "PAY-" + n);
    Leaf(r, "LinkType", "AMTTYPE");
    Leaf(r, "Amount", "-250.00");
    r += "</LinkedTxn>\r\n";
  }
  for (int line = 0; line < 2; ++line) InvoiceLine(r, i, line);
  r += "<InvoiceLineGroupRet>\r\n";
  Leaf(r, "TxnLineID", "5B1-" + n);
  Reference(r, "ItemGroupRef", "90000-1071502", "Installation kit");
  Leaf(r, "Desc", "Installation kit");
  Leaf(r, "Quantity", "1");
  Leaf(r, "IsPrintItemsInGroup", "true");
  Leaf(r, "TotalAmount", "300.00");
  for (int line = 10; line < 12; ++line) InvoiceLine(r, i, line);
  r += "</InvoiceLineGroupRet>\r\n";
  for (int line = 2; line < 4; ++line) InvoiceLine(r, i, line);
  r += "</InvoiceRet>\r\n";
  return r;
}

enum class Shape { kCustomers, kInvoices };

std::string MakeAnswer(Shape shape, size_t targetBytes) {
  const char* kind = shape == Shape::kCustomers ? "CustomerQueryRs" : "InvoiceQueryRs";
  std::string d = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n<";
  d += kind;
  d += " requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">\r\n";
  d.reserve(targetBytes + 8192);
  for (int i = 0; d.size() < targetBytes; ++i) d += shape == Shape::kCustomers ? Record(i) : InvoiceRecord(i);
  d += "</";
  d += kind;
  d += ">\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n";
  return d;
}

// The answers, made once each on first use.
const std::string& Answer(Shape shape, int megabytes) {
  static std::string made[2][2];
  std::string& text = made[shape == Shape::kInvoices][megabytes == 100];
  if (text.empty()) text = MakeAnswer(shape, static_cast<size_t>(megabytes) << 20);
  return text;
}

const char* ShapeName(Shape shape) { return shape == Shape::kCustomers ? "customers" : "invoices"; }

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
        // Every aggregate member of a catalogue record is a catalogue record (an OR choice
        // holds only the member chosen).
        if (ObjectRoot* inner = record.Slot(i)) bytes += Walk(*static_cast<CatalogueBase*>(inner->AsParseable()));
        break;
      case ValueType::kAggregateList:
        if (ObjectRoot* inner = record.Slot(i)) {
          const auto& list = *static_cast<CatalogueListCore*>(inner->AsParseable());
          for (size_t e = 0; e < list.Count(); ++e)
            bytes += Walk(*static_cast<CatalogueBase*>(list.Entry(e)->AsParseable()));
        }
        break;
      default:
        break;
    }
  }
  return bytes;
}

// Walks every record of a detail that is a list of IItem; 0 when it is not one.
template <class IList, class IItem>
size_t WalkRecords(IVTBase* detail) {
  ComPtr<IList> records;
  if (FAILED(detail->QueryInterface(iid_of<IList>(), records.PutVoid()))) return 0;
  LONG count = 0;
  records->get_Count(&count);
  size_t bytes = 0;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IItem> record;
    records->GetAt(i, record.Put());
    bytes += Walk(*dynamic_cast<CatalogueBase*>(record.Get()));
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
  return WalkRecords<ICustomerRetList, ICustomerRet>(detail.Get()) + WalkRecords<IInvoiceRetList, IInvoiceRet>(detail.Get());
}

// Arguments: the shape (0 customers, 1 invoices) and the size in MB.
const std::string& Answer(const benchmark::State& state) {
  return Answer(state.range(0) ? Shape::kInvoices : Shape::kCustomers, static_cast<int>(state.range(1)));
}

void BM_ParseAndWalk(benchmark::State& state) {
  const std::string& text = Answer(state);
  for (auto _ : state) {
    size_t read = ParseAndWalk(text);
    if (read == 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
}

void BM_BareXerces(benchmark::State& state) {
  const std::string& text = Answer(state);
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
BENCHMARK(BM_ParseAndWalk)
    ->ArgsProduct({{0, 1}, {10, 100}})
    ->ArgNames({"invoices", "MB"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_BareXerces)
    ->ArgsProduct({{0, 1}, {10, 100}})
    ->ArgNames({"invoices", "MB"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  xercesc::XMLPlatformUtils::Initialize();
  for (Shape shape : {Shape::kCustomers, Shape::kInvoices})
    for (int mb : {10, 100}) Answer(shape, mb);  // made before any peak is taken
  for (Shape shape : {Shape::kCustomers, Shape::kInvoices}) {
    for (int mb : {10, 100}) {
      const std::string& text = Answer(shape, mb);
      const bool reset = ResetPeak();
      const size_t before = StatusKilobytes("VmRSS:");
      size_t read = ParseAndWalk(text);
      const size_t peak = StatusKilobytes("VmHWM:");
      if (read == 0) {
        std::fprintf(stderr, "the answer of %s, %d MB, does not parse\n", ShapeName(shape), mb);
        return 1;
      }
      if (!reset || peak < before) {
        std::printf("answer of %s, %d MB: %zu bytes; the peak memory cannot be read on this system\n",
                    ShapeName(shape), mb, text.size());
        continue;
      }
      const double grown = static_cast<double>(peak - before) * 1024;
      std::printf("answer of %s, %d MB: %zu bytes, %zu bytes of values read; peak memory during parse and walk "
                  "%.1f MB = %.2f times the document\n",
                  ShapeName(shape), mb, text.size(), read, grown / 1e6, grown / static_cast<double>(text.size()));
    }
  }
  for (Shape shape : {Shape::kCustomers, Shape::kInvoices}) {
    for (int mb : {10, 100}) {
      const std::string& text = Answer(shape, mb);
      const std::string what =
          std::string("answer of ") + ShapeName(shape) + ", " + std::to_string(mb) + " MB, parse and walk against the bare pass";
      PairedRounds(what.c_str(), mb == 10 ? 15 : 5, [&] { ParseBare(text); },
                   [&] { benchmark::DoNotOptimize(ParseAndWalk(text)); });
    }
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter("BM_ParseAndWalk", "BM_BareXerces");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
