// The message set response: statuses, requestID order, details made by the factory (returned
// records and their lists), the exact text, and answers the parser refuses.
#include <gtest/gtest.h>

#include "support.h"

#include <string>
#include <vector>

#include "src/catalogue/engine.h"
#include "src/com/error.h"
#include "src/com/text.h"
#include "src/msgset/msgset_request.h"
#include "src/msgset/msgset_response.h"
#include "src/xml/tag_table.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {
namespace {

const std::string kHead = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n<VTXML>\r\n";

std::string Doc(const std::string& body, const std::string& attributes = "") {
  // An element holding only a line break is a leaf: an empty set is an empty element.
  if (body.empty()) return kHead + "<VTXMLMsgsRs" + attributes + "/>\r\n</VTXML>\r\n";
  return kHead + "<VTXMLMsgsRs" + attributes + ">\r\n" + body + "</VTXMLMsgsRs>\r\n</VTXML>\r\n";
}

ComPtr<IMsgSetResponse> Parse(const std::string& text, int32_t country = kCountryUS) {
  ComPtr<IMsgSetResponse> set;
  EXPECT_EQ(ParseMsgSetResponse(text, country, 4, 0, nullptr, set.Put()), S_OK) << TakeErrorDescription();
  return set;
}

ComPtr<IResponse> At(IMsgSetResponse* set, LONG i) {
  ComPtr<IResponseList> list;
  set->get_ResponseList(list.Put());
  ComPtr<IResponse> r;
  if (list) {
    EXPECT_EQ(list->GetAt(i, r.Put()), S_OK) << i;
  }
  return r;
}

std::string Text(HRESULT (IResponse::*get)(BSTR*), IResponse* r) {
  Bstr b;
  HRESULT hr = (r->*get)(b.Put());
  return SUCCEEDED(hr) ? ToNarrow(b.Get()) : "<" + std::to_string(hr) + ">";
}

TEST(MsgSetResponse, ErrorStatusWithoutDetail) {
  const std::string text = Doc(
      "<CustomerAddRs requestID=\"0\" statusCode=\"3100\" statusSeverity=\"Error\" "
      "statusMessage=\"The name &quot;Ames&quot; of the list element is already in use.\"/>\r\n");
  auto set = Parse(text);
  auto r = At(set.Get(), 0);
  LONG code = 0;
  ASSERT_EQ(r->get_StatusCode(&code), S_OK);
  EXPECT_EQ(code, 3100);
  EXPECT_EQ(Text(&IResponse::get_StatusSeverity, r.Get()), "Error");
  EXPECT_EQ(Text(&IResponse::get_StatusMessage, r.Get()),
            "The name \"Ames\" of the list element is already in use.");
  ComPtr<IVTBase> detail;
  ASSERT_EQ(r->get_Detail(detail.Put()), S_OK);
  EXPECT_FALSE(detail);
  LONG ret = 0;
  EXPECT_EQ(r->get_retCount(&ret), kNoValue);
  ComPtr<IResponseType> type;
  ASSERT_EQ(r->get_Type(type.Put()), S_OK);
  SHORT value = 0;
  type->GetValue(&value);
  EXPECT_EQ(value, rtCustomerAddRs);
  // The text handed back is exactly the text parsed, prolog and line ends included.
  Bstr back;
  ASSERT_EQ(set->ToXMLString(back.Put()), S_OK);
  EXPECT_EQ(ToNarrow(back.Get()), text);
}

TEST(MsgSetResponse, QueryAnswersWithZeroOneAndThreeRecords) {
  for (int records : {0, 1, 3}) {
    std::string body = "<CustomerQueryRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" "
                       "statusMessage=\"Status OK\" retCount=\"" +
                       std::to_string(records) + "\">\r\n";
    for (int i = 0; i < records; ++i)
      body += "<CustomerRet>\r\n<ListID>80-" + std::to_string(i) + "</ListID>\r\n<Name>C" +
              std::to_string(i) + "</Name>\r\n</CustomerRet>\r\n";
    body += "</CustomerQueryRs>\r\n";
    if (records == 0) body = "<CustomerQueryRs requestID=\"0\" statusCode=\"1\" statusSeverity=\"Info\" statusMessage=\"none\"/>\r\n";
    auto set = Parse(Doc(body));
    auto r = At(set.Get(), 0);
    ComPtr<IVTBase> detail;
    r->get_Detail(detail.Put());
    if (records == 0) {
      EXPECT_FALSE(detail) << "an answer without records has no detail";
      continue;
    }
    ComPtr<ICustomerRetList> list;
    ASSERT_EQ(detail.As(&list), S_OK);
    LONG count = 0;
    list->get_Count(&count);
    EXPECT_EQ(count, records);
    ComPtr<ICustomerRet> last;
    ASSERT_EQ(list->GetAt(records - 1, last.Put()), S_OK);
    ComPtr<IVTStringType> name;
    last->get_Name(name.Put());
    Bstr n;
    ASSERT_EQ(name->GetValue(n.Put()), S_OK);
    EXPECT_EQ(ToNarrow(n.Get()), "C" + std::to_string(records - 1));
    ComPtr<ICustomerRet> none;
    EXPECT_EQ(list->GetAt(records, none.Put()), kOutOfRange);
    // A response's list is read-only.
    ComPtr<ICustomerRet> appended;
    EXPECT_EQ(list->Append(appended.Put()), S_OK);
    EXPECT_FALSE(appended);
    list->get_Count(&count);
    EXPECT_EQ(count, records);
    LONG ret = -1;
    ASSERT_EQ(r->get_retCount(&ret), S_OK);
    EXPECT_EQ(ret, records);
  }
}

// An answer of several megabytes: its text and its kept values outgrow the small blocks and
// move to the large ones. The text comes back byte for byte and every record keeps its own
// values.
TEST(MsgSetResponse, LargeAnswerKeepsEveryByteAndValue) {
  const int records = 12000;
  std::string body = "<CustomerQueryRs requestID=\"0\" statusCode=\"0\">\r\n";
  for (int i = 0; i < records; ++i)
    body += "<CustomerRet>\r\n<ListID>80-" + std::to_string(i) + "</ListID>\r\n<Name>Customer &amp; " +
            std::to_string(i) + "</Name>\r\n<Notes>" + std::string(200 + i % 50, 'n') +
            "</Notes>\r\n</CustomerRet>\r\n";
  body += "</CustomerQueryRs>\r\n";
  const std::string text = Doc(body);
  ASSERT_GT(text.size(), size_t{3} << 20);
  auto set = Parse(text);
  Bstr back;
  ASSERT_EQ(set->ToXMLString(back.Put()), S_OK);
  EXPECT_TRUE(ToNarrow(back.Get()) == text) << "the text handed back differs";
  ComPtr<IVTBase> detail;
  At(set.Get(), 0)->get_Detail(detail.Put());
  ComPtr<ICustomerRetList> list;
  ASSERT_EQ(detail.As(&list), S_OK);
  LONG count = 0;
  list->get_Count(&count);
  ASSERT_EQ(count, records);
  for (int i : {0, 1, records / 2, records - 1}) {
    ComPtr<ICustomerRet> c;
    ASSERT_EQ(list->GetAt(i, c.Put()), S_OK);
    ComPtr<IVTStringType> name, notes;
    c->get_Name(name.Put());
    c->get_Notes(notes.Put());
    ASSERT_TRUE(name && notes) << i;
    Bstr n, m;
    name->GetValue(n.Put());
    notes->GetValue(m.Put());
    EXPECT_EQ(ToNarrow(n.Get()), "Customer & " + std::to_string(i));
    EXPECT_EQ(ToNarrow(m.Get()), std::string(200 + i % 50, 'n'));
  }
}

TEST(MsgSetResponse, RequestIdOrder) {
  struct Case {
    std::string body;
    std::vector<std::string> severities;  // in GetAt order
  };
  const Case cases[] = {
      {"<CustomerAddRs requestID=\"1\" statusSeverity=\"B\"/><CustomerAddRs requestID=\"0\" statusSeverity=\"A\"/>",
       {"A", "B"}},
      {"<CustomerAddRs statusSeverity=\"A\"/><CustomerAddRs statusSeverity=\"B\"/>", {"A", "B"}},
      // A second answer under a requestID already taken is dropped.
      {"<CustomerAddRs requestID=\"0\" statusSeverity=\"A\"/><CustomerAddRs requestID=\"0\" statusSeverity=\"B\"/>",
       {"A"}},
      // Numbers that are not 0, 1, 2...: GetAt goes by position in requestID order.
      {"<CustomerAddRs requestID=\"7\" statusSeverity=\"B\"/><CustomerAddRs requestID=\"3\" statusSeverity=\"A\"/>",
       {"A", "B"}},
  };
  for (const auto& c : cases) {
    auto set = Parse(Doc(c.body));
    ComPtr<IResponseList> list;
    set->get_ResponseList(list.Put());
    LONG count = 0;
    list->get_Count(&count);
    ASSERT_EQ(count, static_cast<LONG>(c.severities.size())) << c.body;
    for (LONG i = 0; i < count; ++i)
      EXPECT_EQ(Text(&IResponse::get_StatusSeverity, At(set.Get(), i).Get()), c.severities[static_cast<size_t>(i)])
          << c.body;
  }
}

TEST(MsgSetResponse, SetAttributes) {
  auto set = Parse(Doc("", " newMessageSetID=\"2026120512\" messageSetStatusCode=\"9001\""));
  ComPtr<IAttributesRsSet> a;
  ASSERT_EQ(set->get_Attributes(a.Put()), S_OK);
  Bstr id, code;
  a->get_NewMessageSetID(id.Put());
  a->get_MessageSetStatusCode(code.Put());
  EXPECT_EQ(ToNarrow(id.Get()), "2026120512");
  EXPECT_EQ(ToNarrow(code.Get()), "9001");
  auto none = Parse(Doc(""));
  ComPtr<IAttributesRsSet> absent;
  ASSERT_EQ(none->get_Attributes(absent.Put()), S_OK);
  EXPECT_FALSE(absent);
  ComPtr<IResponseList> list;
  none->get_ResponseList(list.Put());
  EXPECT_FALSE(list);
}

TEST(MsgSetResponse, RefusedAnswers) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {Doc("", " onError=\"stopOnError\""),
       "Error parsing. Message: MsgSetResponse:unexpected tag = " + std::to_string(tag::onError) +
           " with value stopOnError."},
      {Doc("<Memo>x</Memo>"),
       "Error parsing. Message: MsgSetResponse: unexpected tag = " + std::to_string(tag::Memo) + " with value x."},
      {Doc("<CustomerAddRs requestID=\"0\" metaData=\"x\"/>"),
       "Error parsing. Message: Response:unexpected tag = " + std::to_string(tag::metaData) + " with value x."},
      // Subscription answers belong to subscription sets.
      {Doc("<DataEventSubscriptionAddRs requestID=\"0\"><DataEventSubscriptionRet/></DataEventSubscriptionAddRs>"),
       "Error parsing. Message: Internal error.Cannot create detail object for Response."},
      {Doc("<NoSuchRs><Memo>x</Memo></NoSuchRs>"),
       "Error parsing. Message: Internal error.Cannot create detail object for Response."},
      {Doc("<CustomerQueryRs><CustomerRet><OpenBalance>1.00</OpenBalance></CustomerRet></CustomerQueryRs>"),
       "Error parsing. Message: class CustomerRet got unexpected tag id " + std::to_string(tag::OpenBalance) +
           " (OpenBalance) with value 1.00."},
      {Doc("<CustomerQueryRs><CustomerRet><BillAddress>x</BillAddress></CustomerRet></CustomerQueryRs>"),
       "Error parsing. Message: class CustomerRet got unexpected tag id " + std::to_string(tag::BillAddress) +
           " (BillAddress) with value x."},
      {Doc("<CustomerQueryRs><Name>x</Name></CustomerQueryRs>"),
       "Error parsing. Message: CCustomerRetList::HandleElement unexpected tag = " + std::to_string(tag::Name) +
           " with value x."},
      {Doc("<CustomerQueryRs><CustomerRet><CurrencyRef><FullName>CAD</FullName></CurrencyRef></CustomerRet></CustomerQueryRs>"),
       "Error parsing. Message: class CustomerRet got unexpected agg tag id " + std::to_string(tag::CurrencyRef) +
           " (CurrencyRef)."},
      {kHead + "<VTXMLMsgsRs><CustomerAddRs>", ""},  // truncated: the parser's own text
  };
  for (const auto& c : cases) {
    ComPtr<IMsgSetResponse> set;
    EXPECT_EQ(ParseMsgSetResponse(c.text, kCountryUS, 4, 0, nullptr, set.Put()), kParseFailed) << c.text;
    EXPECT_FALSE(set);
    const std::string error = TakeErrorDescription();
    if (c.message.empty())
      EXPECT_NE(error.find("SAXParseException: error at line"), std::string::npos) << error;
    else
      EXPECT_EQ(error, c.message);
  }
  ComPtr<IMsgSetResponse> nothing;
  EXPECT_EQ(ParseMsgSetResponse("", kCountryUS, 4, 0, nullptr, nothing.Put()), S_OK);
  EXPECT_FALSE(nothing);
}

TEST(MsgSetResponse, UnknownElementWithoutChildren) {
  auto set = Parse(Doc("<NoSuchRs requestID=\"0\" statusCode=\"0\"/>"));
  auto r = At(set.Get(), 0);
  ComPtr<IResponseType> type;
  EXPECT_EQ(r->get_Type(type.Put()), kNoValue);
  LONG code = -1;
  EXPECT_EQ(r->get_StatusCode(&code), S_OK);
}

TEST(MsgSetResponse, ReturnedRecords) {
  const std::string body =
      "<CustomerQueryRs requestID=\"0\" statusCode=\"0\">\r\n<CustomerRet>\r\n"
      "<ListID>80-1</ListID>\r\n<TimeCreated>2004-10-29T12:00:00-08:00</TimeCreated>\r\n"
      "<EditSequence>1098</EditSequence>\r\n<Name>Ames</Name>\r\n<IsActive>true</IsActive>\r\n"
      "<BillAddress>\r\n<City>Lyon</City>\r\n</BillAddress>\r\n<Notes/>\r\n"
      "<Balance>12.5</Balance>\r\n<JobStatus>Closed</JobStatus>\r\n"
      "<DataExtRet>\r\n<OwnerID>0</OwnerID>\r\n<DataExtName>Color</DataExtName>\r\n"
      "<DataExtType>STR255TYPE</DataExtType>\r\n<DataExtValue>blue</DataExtValue>\r\n</DataExtRet>\r\n"
      "</CustomerRet>\r\n</CustomerQueryRs>\r\n";
  auto set = Parse(Doc(body));
  ComPtr<IVTBase> detail;
  At(set.Get(), 0)->get_Detail(detail.Put());
  ComPtr<ICustomerRetList> list;
  ASSERT_EQ(detail.As(&list), S_OK);
  ComPtr<ICustomerRet> c;
  ASSERT_EQ(list->GetAt(0, c.Put()), S_OK);

  ComPtr<IVTStringType> fax, notes;
  ASSERT_EQ(c->get_Fax(fax.Put()), S_OK);
  EXPECT_FALSE(fax) << "absent from the answer: null";
  ASSERT_EQ(c->get_Notes(notes.Put()), S_OK);
  ASSERT_TRUE(notes) << "present but empty: a value with empty text";
  Bstr text;
  ASSERT_EQ(notes->GetValue(text.Put()), S_OK);
  EXPECT_EQ(ToNarrow(text.Get()), "");
  ComPtr<IVTBoolType> active;
  c->get_IsActive(active.Put());
  VARIANT_BOOL b = 0;
  active->GetValue(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  ComPtr<IVTDateTimeType> created;
  c->get_TimeCreated(created.Put());
  SHORT h = 0, m = 0;
  ASSERT_EQ(created->GetTimeZone(&h, &m), S_OK);
  EXPECT_EQ(h, -8);
  ComPtr<IVTAmountType> balance;
  c->get_Balance(balance.Put());
  double amount = 0;
  balance->GetValue(&amount);
  EXPECT_EQ(amount, 12.5);
  ComPtr<IVTENJobStatusType> job;
  c->get_JobStatus(job.Put());
  ENJobStatus status;
  ASSERT_EQ(job->GetValue(&status), S_OK);
  EXPECT_EQ(status, jsClosed);
  ComPtr<IAddress> bill;
  c->get_BillAddress(bill.Put());
  ComPtr<IVTStringType> city, addr1;
  bill->get_City(city.Put());
  bill->get_Addr1(addr1.Put());
  EXPECT_TRUE(city);
  EXPECT_FALSE(addr1);
  ComPtr<IDataExtRetList> extensions;
  c->get_DataExtRetList(extensions.Put());
  LONG count = 0;
  extensions->get_Count(&count);
  EXPECT_EQ(count, 1);
  // The country test still applies to records of a response.
  ComPtr<IVTBaseRef> currency;
  EXPECT_EQ(c->get_CurrencyRef(currency.Put()), kNotSupported);
  EXPECT_EQ(TakeErrorDescription(), "This feature is not supported in the specified version of vtXML.");
  ComPtr<IObjectType> type;
  list->get_Type(type.Put());
  SHORT value = 0;
  type->GetValue(&value);
  EXPECT_EQ(value, otCustomerRetList);
}

// A parsed value keeps its identity: the first read puts the object in its slot, so a change
// made through it is what every later read, Verify and the writer see, in answers and in
// requests read back from text alike.
TEST(MsgSetResponse, ParsedValuesKeepTheirIdentity) {
  auto set = Parse(Doc("<CustomerQueryRs requestID=\"0\" statusCode=\"0\">\r\n<CustomerRet>\r\n"
                       "<ListID>80-1</ListID>\r\n<Name>Ames</Name>\r\n<Phone>555</Phone>\r\n"
                       "</CustomerRet>\r\n</CustomerQueryRs>\r\n"));
  ComPtr<IVTBase> detail;
  At(set.Get(), 0)->get_Detail(detail.Put());
  ComPtr<ICustomerRetList> list;
  ASSERT_EQ(detail.As(&list), S_OK);
  ComPtr<ICustomerRet> c;
  ASSERT_EQ(list->GetAt(0, c.Put()), S_OK);
  auto read = [&](HRESULT (ICustomerRet::*get)(IVTStringType**)) {
    ComPtr<IVTStringType> v;
    EXPECT_EQ((c.Get()->*get)(v.Put()), S_OK);
    Bstr text;
    if (v) v->GetValue(text.Put());
    return ToNarrow(text.Get());
  };
  {
    ComPtr<IVTStringType> n1, n2;
    c->get_Name(n1.Put());
    c->get_Name(n2.Put());
    EXPECT_EQ(n1.Get(), n2.Get()) << "one object while it is held";
    ASSERT_EQ(n1->SetValue(Bstr(u"Zed").Get()), S_OK);
  }
  EXPECT_EQ(read(&ICustomerRet::get_Name), "Zed") << "a changed value is kept when let go";
  EXPECT_EQ(read(&ICustomerRet::get_Phone), "555");
  EXPECT_EQ(read(&ICustomerRet::get_Phone), "555") << "an unchanged value let go reads again";
  {
    ComPtr<IVTStringType> phone;
    c->get_Phone(phone.Put());
    phone->Unset();
  }
  ComPtr<IVTStringType> phone;
  c->get_Phone(phone.Put());
  VARIANT_BOOL isSet = VARIANT_TRUE;
  phone->IsSet(&isSet);
  EXPECT_EQ(isSet, VARIANT_FALSE) << "an unset value is a change too";
  BSTR report = nullptr;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(c->Verify(&report, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  SysFreeString(report);
  EXPECT_EQ(read(&ICustomerRet::get_Name), "Zed") << "writing and verifying keep what was read";
  // A record that outlives its answer's reader: the value a client still holds lives on.
  ComPtr<IVTIDType> id;
  c->get_ListID(id.Put());
  c.Reset();
  list.Reset();
  detail.Reset();
  set.Reset();
  Bstr text;
  ASSERT_EQ(id->GetValue(text.Put()), S_OK);
  EXPECT_EQ(ToNarrow(text.Get()), "80-1");
}

// A client holding many values at once: each stays itself, changed or not.
TEST(MsgSetResponse, ManyValuesHeldAtOnce) {
  std::string body = "<CustomerQueryRs requestID=\"0\" statusCode=\"0\">\r\n";
  for (int i = 0; i < 40; ++i) body += "<CustomerRet>\r\n<Name>N" + std::to_string(i) + "</Name>\r\n</CustomerRet>\r\n";
  auto set = Parse(Doc(body + "</CustomerQueryRs>\r\n"));
  ComPtr<IVTBase> detail;
  At(set.Get(), 0)->get_Detail(detail.Put());
  ComPtr<ICustomerRetList> list;
  ASSERT_EQ(detail.As(&list), S_OK);
  auto name = [&](LONG i) {
    ComPtr<ICustomerRet> c;
    list->GetAt(i, c.Put());
    ComPtr<IVTStringType> v;
    c->get_Name(v.Put());
    return v;
  };
  std::vector<ComPtr<IVTStringType>> held;
  for (LONG i = 0; i < 40; ++i) held.push_back(name(i));
  for (LONG i = 0; i < 40; i += 13) {
    EXPECT_EQ(name(i).Get(), held[static_cast<size_t>(i)].Get()) << i;
    ASSERT_EQ(held[static_cast<size_t>(i)]->SetValue(Bstr(u"changed").Get()), S_OK);
  }
  held.clear();
  for (LONG i = 0; i < 40; ++i) {
    Bstr text;
    name(i)->GetValue(text.Put());
    EXPECT_EQ(ToNarrow(text.Get()), i % 13 == 0 ? "changed" : "N" + std::to_string(i)) << i;
  }
}

TEST(MsgSetResponse, ACorrectedRequestIsWrittenCorrected) {
  const std::string text = kHead +
                           "<VTXMLMsgsRq onError=\"stopOnError\">\r\n<CustomerModRq>\r\n"
                           "<CustomerMod>\r\n<ListID>80-1</ListID>\r\n<EditSequence>7</EditSequence>\r\n"
                           "<Name>Ames</Name>\r\n<Phone>555</Phone>\r\n"
                           "</CustomerMod>\r\n</CustomerModRq>\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  ComPtr<IMsgSetRequest> parsed;
  ASSERT_EQ(ParseMsgSetRequest(text, kCountryUS, 4, 0, OnlineSession{}, parsed.Put()), S_OK)
      << TakeErrorDescription();
  ComPtr<IRequestList> requests;
  parsed->get_RequestList(requests.Put());
  ComPtr<IRequest> request;
  ASSERT_EQ(requests->GetAt(0, request.Put()), S_OK);
  ComPtr<IVTBase> body;
  request->get_Detail(body.Put());
  ComPtr<ICustomerMod> add;
  ASSERT_EQ(body.As(&add), S_OK);
  {
    ComPtr<IVTStringType> name;
    add->get_Name(name.Put());
    ASSERT_EQ(name->SetValue(Bstr(u"Ames & Co").Get()), S_OK);
  }
  Bstr written;
  ASSERT_EQ(parsed->ToXMLString(written.Put()), S_OK);
  const std::string out = ToNarrow(written.Get());
  EXPECT_NE(out.find("<Name>Ames &amp; Co</Name>"), std::string::npos) << out;
  EXPECT_NE(out.find("<Phone>555</Phone>"), std::string::npos) << out;
}

TEST(CatalogueLists, EntriesThatAreORChoicesTakeTheirKindFromTheElement) {
  const std::string body =
      "<TermsQueryRs requestID=\"0\" statusCode=\"0\">\r\n"
      "<StandardTermsRet>\r\n<Name>Net 30</Name>\r\n<StdDueDays>30</StdDueDays>\r\n</StandardTermsRet>\r\n"
      "<DateDrivenTermsRet>\r\n<Name>10th</Name>\r\n<DayOfMonthDue>10</DayOfMonthDue>\r\n</DateDrivenTermsRet>\r\n"
      "<StandardTermsRet>\r\n<Name>Net 60</Name>\r\n</StandardTermsRet>\r\n"
      "</TermsQueryRs>\r\n";
  auto set = Parse(Doc(body));
  ComPtr<IVTBase> detail;
  At(set.Get(), 0)->get_Detail(detail.Put());
  ComPtr<IORTermsRetList> list;
  ASSERT_EQ(detail.As(&list), S_OK);
  LONG count = 0;
  list->get_Count(&count);
  ASSERT_EQ(count, 3);
  std::vector<ENORTermsRet> kinds;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IORTermsRet> entry;
    ASSERT_EQ(list->GetAt(i, entry.Put()), S_OK);
    ENORTermsRet kind;
    entry->get_ortype(&kind);
    kinds.push_back(kind);
    ComPtr<IStandardTermsRet> standard;
    ComPtr<IDateDrivenTermsRet> dateDriven;
    entry->get_StandardTermsRet(standard.Put());
    entry->get_DateDrivenTermsRet(dateDriven.Put());
    EXPECT_NE(static_cast<bool>(standard), static_cast<bool>(dateDriven)) << "one member per entry";
  }
  EXPECT_EQ(kinds, (std::vector<ENORTermsRet>{ortrStandardTermsRet, ortrDateDrivenTermsRet,
                                              ortrStandardTermsRet}));
  // A leaf directly under a list of OR entries goes to a new entry, which refuses it.
  ComPtr<IMsgSetResponse> refused;
  EXPECT_EQ(ParseMsgSetResponse(Doc("<TermsQueryRs><Name>x</Name></TermsQueryRs>"), kCountryUS, 4, 0,
                                nullptr, refused.Put()),
            kParseFailed);
  EXPECT_EQ(TakeErrorDescription(), "Error parsing. Message: class ORTermsRet got unexpected tag id " +
                             std::to_string(tag::Name) + " (Name) with value x.");
}

TEST(CatalogueLists, VerificationNamesTheLastFailingEntry) {
  // A request-mode record with a list of data extensions (lists are verified like this in
  // transaction lines).
  ObjectRoot* made = FindCatalogueFactory("CustomerRet")(true, std::make_shared<VersionContext>());
  ComPtr<ICustomerRet> record;
  made->QueryRoot(IID_ICustomerRet, reinterpret_cast<void**>(record.Put()));
  made->ReleaseRoot();
  ComPtr<IDataExtRetList> list;
  ASSERT_EQ(record->get_DataExtRetList(list.Put()), S_OK);
  ComPtr<IDataExtRet> first, second, third;
  list->Append(first.Put());
  list->Append(second.Put());
  list->Append(third.Put());
  LONG count = 0;
  list->get_Count(&count);
  EXPECT_EQ(count, 3);
  auto fill = [](IDataExtRet* e, bool withValue) {
    ComPtr<IVTStringType> name, value;
    e->get_DataExtName(name.Put());
    name->SetValue(Bstr(u"Color").Get());
    ComPtr<IVTENDataExtTypeType> type;
    e->get_DataExtType(type.Put());
    type->SetValue(detSTR255TYPE);
    if (withValue) {
      e->get_DataExtValue(value.Put());
      value->SetValue(Bstr(u"blue").Get());
    }
  };
  fill(first.Get(), true);
  fill(second.Get(), false);
  fill(third.Get(), false);
  Bstr report;
  VARIANT_BOOL ok = VARIANT_TRUE;
  ASSERT_EQ(record->Verify(report.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(ToNarrow(report.Get()),
            "DataExtRetList:\r\nelement(2) - DataExtValue: required field is missing\r\n"
            "End of DataExtRetList\r\n");
}

}  // namespace
}  // namespace vtfc4
