// Writes two documents through the library and the same bytes through a bare std::string
// builder reserved up front, escaping included: 100,000 leaf elements of mixed value types
// (4,000 records of 25 values: texts, numbers, booleans, dates, date-times with and without
// zone, enumerations) through the library's aggregates and builder, and a message set of
// 1,000 invoice adds of 10 lines each through the catalogue's classes and the set's writer.
// The figure that counts is the ratio of the two byte rates.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <array>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "src/core/aggregate_object.h"
#include "src/core/calendar.h"
#include "src/core/dates.h"
#include "src/core/enums.h"
#include "src/core/values.h"
#include "src/core/xml_builder.h"
#include "src/xml/tag_table.h"
#include "src/com/text.h"
#include "src/msgset/msgset_request.h"
#include "src/session/session_manager.h"
#include "vtfc4/comptr.h"
#include "vtfc4/vtfc4.h"

using namespace vtfc4;

namespace {

constexpr int kRecords = 4000;
enum class Kind { kText, kBool, kAmount, kQuan, kPrice, kPercent, kInt, kDate, kDateTime, kEnum };
struct Field {
  int tag;
  Kind kind;
};
constexpr Field kFields[] = {
    {tag::Name, Kind::kText},        {tag::CompanyName, Kind::kText},
    {tag::FirstName, Kind::kText},   {tag::LastName, Kind::kText},
    {tag::Phone, Kind::kText},       {tag::Fax, Kind::kText},
    {tag::Email, Kind::kText},       {tag::Contact, Kind::kText},
    {tag::AccountNumber, Kind::kText}, {tag::JobDesc, Kind::kText},
    {tag::Memo, Kind::kText},        {tag::IsActive, Kind::kBool},
    {tag::IsTaxable, Kind::kBool},   {tag::Balance, Kind::kAmount},
    {tag::TotalBalance, Kind::kAmount}, {tag::CreditLimit, Kind::kAmount},
    {tag::Quantity, Kind::kQuan},    {tag::Rate, Kind::kPrice},
    {tag::RatePercent, Kind::kPercent}, {tag::Sublevel, Kind::kInt},
    {tag::TimeCreated, Kind::kDateTime}, {tag::TimeModified, Kind::kDateTime},
    {tag::JobStartDate, Kind::kDate},  {tag::JobStatus, Kind::kEnum},
    {tag::DeliveryMethod, Kind::kEnum},
};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

constexpr auto MakeMembers() {
  std::array<MemberDescriptor, kFieldCount> m{};
  for (size_t i = 0; i < kFieldCount; ++i) m[i] = AddValueElement(kFields[i].tag);
  return m;
}
constexpr auto kMembers = MakeMembers();
constexpr ClassInfo kRecord{"CustomerRet", 223, kPlain, kMembers.data(), kFieldCount};

class Record final : public AggregateObject<IVTBase> {
 public:
  Record() : AggregateObject(kRecord) { InitMode(true, nullptr); }
  template <class I>
  ComPtr<I> Member(size_t i) {
    ComPtr<I> v;
    GetMember(i, v.Put(), [i] {
      switch (kFields[i].kind) {
        case Kind::kText: return NewStringValue(kNoLimit);
        case Kind::kBool: return NewBoolValue();
        case Kind::kAmount: return NewAmountValue();
        case Kind::kQuan: return NewQuanValue();
        case Kind::kPrice: return NewPriceValue();
        case Kind::kPercent: return NewPercentValue();
        case Kind::kDate: return NewDateValue();
        case Kind::kDateTime: return NewDateTimeValue(false);
        case Kind::kEnum:
          return NewEnumValue(kFields[i].tag == tag::JobStatus ? EnumId::ENJobStatus
                                                                : EnumId::ENDeliveryMethod);
        default: return NewIntValue(kNoLimit, kNoLimit);
      }
    });
    return v;
  }
};

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// What the bare builder writes for a date: the calendar text, computed once at setup.
std::string DateText(double date, bool withTime) {
  CalendarFields f;
  DateToFields(date, f);
  return withTime ? FormatDateTime(f) : FormatDate(f);
}

struct Document {
  std::vector<ComPtr<Record>> records;
  std::vector<std::array<std::string, kFieldCount>> texts;  // what the bare builder writes

  Document() {
    for (int r = 0; r < kRecords; ++r) {
      auto rec = ComPtr<Record>::Adopt(MakeObject<Record>());
      std::array<std::string, kFieldCount> t;
      for (size_t i = 0; i < kFieldCount; ++i) {
        switch (kFields[i].kind) {
          case Kind::kText: {
            std::string v = (i % 3 == 0) ? "Smith & Sons <" + std::to_string(r) + ">"
                                         : "Customer number " + std::to_string(r * 7 + i);
            rec->Member<IVTStringType>(i)->SetValue(Bstr(Wide(v).c_str()).Get());
            t[i] = v;
            break;
          }
          case Kind::kBool:
            rec->Member<IVTBoolType>(i)->SetValue(r % 2 ? VARIANT_TRUE : VARIANT_FALSE);
            t[i] = r % 2 ? "1" : "0";
            break;
          case Kind::kAmount:
            rec->Member<IVTAmountType>(i)->SetAsString(Bstr(Wide(std::to_string(r) + ".25").c_str()).Get());
            t[i] = std::to_string(r) + ".25";
            break;
          case Kind::kQuan:
            rec->Member<IVTQuanType>(i)->SetValue(r + 0.5);
            t[i] = std::to_string(r) + ".5";
            break;
          case Kind::kPrice:
            rec->Member<IVTPriceType>(i)->SetValue(r + 0.125);
            t[i] = std::to_string(r) + ".125";
            break;
          case Kind::kPercent:
            rec->Member<IVTPercentType>(i)->SetValue(12.5);
            t[i] = "12.5";
            break;
          case Kind::kInt:
            rec->Member<IVTIntType>(i)->SetValue(r);
            t[i] = std::to_string(r);
            break;
          case Kind::kDate:
            rec->Member<IVTDateType>(i)->SetValue(38289 + r % 365);  // from 2004-10-29
            t[i] = DateText(38289 + r % 365, false);
            break;
          case Kind::kDateTime: {
            auto v = rec->Member<IVTDateTimeType>(i);
            v->SetValue(38289.5 + r % 365, VARIANT_FALSE);
            t[i] = DateText(38289.5 + r % 365, true);
            if (kFields[i].tag == tag::TimeCreated) {
              v->SetTimeZone(-8, 0);
              t[i] += "-08:00";
            }
            break;
          }
          case Kind::kEnum:
            if (kFields[i].tag == tag::JobStatus) {
              rec->Member<IVTENJobStatusType>(i)->SetValue(static_cast<ENJobStatus>(r % 6));
              t[i] = EnumTableOf(EnumId::ENJobStatus).words[r % 6];
            } else {
              rec->Member<IVTENDeliveryMethodType>(i)->SetValue(static_cast<ENDeliveryMethod>(r % 3));
              t[i] = EnumTableOf(EnumId::ENDeliveryMethod).words[r % 3];
            }
            break;
        }
      }
      records.push_back(std::move(rec));
      texts.push_back(std::move(t));
    }
  }
};

const Document& Doc() {
  static const Document d;
  return d;
}

void WriteThroughLibrary(XMLBuilder& b) {
  b.StartElement("CustomerQueryRs");
  for (const auto& r : Doc().records) r->Build("", b);
  b.EndElement("CustomerQueryRs");
}

std::string WriteThroughLibrary() {
  XMLBuilder b(4, 0, 0);
  WriteThroughLibrary(b);
  return std::string(b.Output());
}

void NaiveEscape(std::string& out, const std::string& v) {
  for (unsigned char c : v) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (c >= 0x80) {
          out += "&#" + std::to_string(c) + ";";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
}

std::string WriteBare(size_t reserve) {
  std::string out;
  out.reserve(reserve);
  out += "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<CustomerQueryRs>\r\n";
  for (const auto& t : Doc().texts) {
    out += "<CustomerRet>\r\n";
    for (size_t i = 0; i < kFieldCount; ++i) {
      const char* name = TagName(kFields[i].tag);
      out += '<';
      out += name;
      out += '>';
      NaiveEscape(out, t[i]);
      out += "</";
      out += name;
      out += ">\r\n";
    }
    out += "</CustomerRet>\r\n";
  }
  out += "</CustomerQueryRs>\r\n";
  return out;
}

// ---- A message set of 1,000 invoice adds of 10 lines each.

constexpr int kInvoices = 1000;
constexpr int kLinesPerInvoice = 10;

struct InvoiceLineTexts {
  std::string item, desc, quantity, rate, amount;
};
struct InvoiceTexts {
  std::string customer, date, refNumber, addr1, city, poNumber, memo;
  std::vector<InvoiceLineTexts> lines;
};

Bstr Text(const std::string& s) { return Bstr::Adopt(ToBstr(s)); }

struct InvoiceSet {
  ComPtr<IVTSessionManager> manager;
  ComPtr<IMsgSetRequest> set;
  std::vector<InvoiceTexts> texts;  // what the bare builder writes

  InvoiceSet() {
    CreateSessionManager(nullptr, IID_IVTSessionManager, manager.PutVoid());
    manager->CreateMsgSetRequest(Text("US").Get(), 4, 0, set.Put());
    ComPtr<IAttributesRqSet> attributes;
    set->get_Attributes(attributes.Put());
    attributes->put_OnError(roeStop);
    for (int i = 0; i < kInvoices; ++i) {
      InvoiceTexts t;
      t.customer = "Ames & Sons " + std::to_string(i % 500);
      t.date = DateText(38356 + i % 28, false);  // from 2005-01-04
      t.refNumber = "INV-" + std::to_string(i);
      t.addr1 = "12 Rue de l'Eglise";
      t.city = "Lyon";
      t.poNumber = "PO-" + std::to_string(i);
      t.memo = "Thank you for your business.";
      ComPtr<IInvoiceAdd> add;
      set->AppendInvoiceAddRq(add.Put());
      ComPtr<IVTBaseRef> customer;
      ComPtr<IVTStringType> text;
      add->get_CustomerRef(customer.Put());
      customer->get_FullName(text.Put());
      text->SetValue(Text(t.customer).Get());
      ComPtr<IVTDateType> date;
      add->get_TxnDate(date.Put());
      date->SetValue(38356 + i % 28);
      add->get_RefNumber(text.Put());
      text->SetValue(Text(t.refNumber).Get());
      ComPtr<IAddress> address;
      add->get_BillAddress(address.Put());
      address->get_Addr1(text.Put());
      text->SetValue(Text(t.addr1).Get());
      address->get_City(text.Put());
      text->SetValue(Text(t.city).Get());
      add->get_PONumber(text.Put());
      text->SetValue(Text(t.poNumber).Get());
      add->get_Memo(text.Put());
      text->SetValue(Text(t.memo).Get());
      ComPtr<IORInvoiceLineAddList> lines;
      add->get_ORInvoiceLineAddList(lines.Put());
      for (int k = 0; k < kLinesPerInvoice; ++k) {
        const int quantity = 1 + k % 4;
        const int rateCents = 7500 + k * 125;
        const InvoiceLineTexts& l = t.lines.emplace_back(InvoiceLineTexts{
            "Services:Consulting " + std::to_string(k), "Consulting, hour " + std::to_string(i) + "-" + std::to_string(k),
            std::to_string(quantity), Cents(rateCents), Cents(quantity * rateCents)});
        ComPtr<IORInvoiceLineAdd> choice;
        lines->Append(choice.Put());
        ComPtr<IInvoiceLineAdd> line;
        choice->get_InvoiceLineAdd(line.Put());
        ComPtr<IVTBaseRef> item;
        line->get_ItemRef(item.Put());
        item->get_FullName(text.Put());
        text->SetValue(Text(l.item).Get());
        line->get_Desc(text.Put());
        text->SetValue(Text(l.desc).Get());
        ComPtr<IVTQuanType> q;
        line->get_Quantity(q.Put());
        q->SetAsString(Text(l.quantity).Get());
        ComPtr<IORRate> orRate;
        line->get_ORRate(orRate.Put());
        ComPtr<IVTPriceType> rate;
        orRate->get_Rate(rate.Put());
        rate->SetAsString(Text(l.rate).Get());
        ComPtr<IVTAmountType> amount;
        line->get_Amount(amount.Put());
        amount->SetAsString(Text(l.amount).Get());
      }
      texts.push_back(std::move(t));
    }
  }

  static std::string Cents(int cents) { return std::to_string(cents / 100) + "." + std::to_string(cents % 100 / 10) + std::to_string(cents % 10); }
};

const InvoiceSet& Invoices() {
  static const InvoiceSet s;
  return s;
}

// Writes the set; the text is the writer's own buffer, seen by `use` while it lasts.
template <class Use>
void WriteInvoicesThroughLibrary(Use use) {
  static_cast<CMsgSetRequest*>(Invoices().set.Get())->WriteDocument([&](std::string_view text) {
    use(text);
    return S_OK;
  });
}

std::string WriteInvoicesThroughLibrary() {
  std::string out;
  WriteInvoicesThroughLibrary([&](std::string_view text) { out = text; });
  return out;
}

void Leaf(std::string& out, const char* name, const std::string& value) {
  out += '<';
  out += name;
  out += '>';
  NaiveEscape(out, value);
  out += "</";
  out += name;
  out += ">\r\n";
}

void FullNameRef(std::string& out, const char* name, const std::string& fullName) {
  out += '<';
  out += name;
  out += ">\r\n";
  Leaf(out, "FullName", fullName);
  out += "</";
  out += name;
  out += ">\r\n";
}

std::string WriteInvoicesBare(size_t reserve) {
  std::string out;
  out.reserve(reserve);
  out += "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n<VTXMLMsgsRq onError = \"stopOnError\">\r\n";
  int id = 0;
  for (const InvoiceTexts& t : Invoices().texts) {
    out += "<InvoiceAddRq requestID = \"";
    out += std::to_string(id++);
    out += "\">\r\n<InvoiceAdd>\r\n";
    FullNameRef(out, "CustomerRef", t.customer);
    Leaf(out, "TxnDate", t.date);
    Leaf(out, "RefNumber", t.refNumber);
    out += "<BillAddress>\r\n";
    Leaf(out, "Addr1", t.addr1);
    Leaf(out, "City", t.city);
    out += "</BillAddress>\r\n";
    Leaf(out, "PONumber", t.poNumber);
    Leaf(out, "Memo", t.memo);
    for (const InvoiceLineTexts& l : t.lines) {
      out += "<InvoiceLineAdd>\r\n";
      FullNameRef(out, "ItemRef", l.item);
      Leaf(out, "Desc", l.desc);
      Leaf(out, "Quantity", l.quantity);
      Leaf(out, "Rate", l.rate);
      Leaf(out, "Amount", l.amount);
      out += "</InvoiceLineAdd>\r\n";
    }
    out += "</InvoiceAdd>\r\n</InvoiceAddRq>\r\n";
  }
  out += "</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  return out;
}

void BM_LibraryWriter(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) {
    XMLBuilder b(4, 0, 0);
    WriteThroughLibrary(b);
    std::string_view s = b.Output();
    bytes = s.size();
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}

void BM_BareBuilder(benchmark::State& state) {
  const size_t size = WriteThroughLibrary().size();
  for (auto _ : state) {
    std::string s = WriteBare(size);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}

void BM_LibraryWriterInvoices(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) {
    WriteInvoicesThroughLibrary([&](std::string_view s) {
      bytes = s.size();
      benchmark::DoNotOptimize(s.data());
    });
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}

void BM_BareBuilderInvoices(benchmark::State& state) {
  const size_t size = WriteInvoicesThroughLibrary().size();
  for (auto _ : state) {
    std::string s = WriteInvoicesBare(size);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}

BENCHMARK(BM_LibraryWriter)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BareBuilder)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LibraryWriterInvoices)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BareBuilderInvoices)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  std::string library = WriteThroughLibrary();
  if (library != WriteBare(library.size())) {
    std::fprintf(stderr, "the two builders do not write the same bytes\n");
    return 1;
  }
  std::printf("document: %zu bytes, %d leaf elements\n", library.size(),
              kRecords * static_cast<int>(kFieldCount));
  PairedRounds("the library's writer against the reserved builder", 15,
               [&] { benchmark::DoNotOptimize(WriteBare(library.size()).data()); },
               [] {
                 XMLBuilder b(4, 0, 0);
                 WriteThroughLibrary(b);
                 benchmark::DoNotOptimize(b.Output().data());
               });
  const std::string invoices = WriteInvoicesThroughLibrary();
  if (invoices != WriteInvoicesBare(invoices.size())) {
    std::fprintf(stderr, "the two builders do not write the same invoices\n");
    return 1;
  }
  std::printf("invoices: %zu bytes, %d invoice adds of %d lines\n", invoices.size(), kInvoices, kLinesPerInvoice);
  PairedRounds("the library's writer against the reserved builder, invoices", 15,
               [&] { benchmark::DoNotOptimize(WriteInvoicesBare(invoices.size()).data()); },
               [] { WriteInvoicesThroughLibrary([](std::string_view s) { benchmark::DoNotOptimize(s.data()); }); });
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter("BM_LibraryWriter", "BM_BareBuilder");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
