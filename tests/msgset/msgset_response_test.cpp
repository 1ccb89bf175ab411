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

// A query answer of `records` customers (`each` is the inside of one, given its number).
template <class Each>
std::string Customers(int records, Each each, const std::string& attributes = " statusCode=\"0\"") {
  std::string body = "<CustomerQueryRs requestID=\"0\"" + attributes + ">\r\n";
  for (int i = 0; i < records; ++i) body += "<CustomerRet>\r\n" + each(i) + "</CustomerRet>\r\n";
  return Doc(body + "</CustomerQueryRs>\r\n");
}

ComPtr<IMsgSetResponse> Parse(const std::string& text) {
  ComPtr<IMsgSetResponse> set;
  EXPECT_EQ(ParseMsgSetResponse(text, kCountryUS, 4, 0, nullptr, set.Put()), S_OK) << TakeErrorDescription();
  return set;
}

ComPtr<IResponse> At(IMsgSetResponse* set, LONG i) {
  const ComPtr<IResponseList> list = Field(set, &IMsgSetResponse::get_ResponseList);
  ComPtr<IResponse> r;
  if (list) { EXPECT_EQ(list->GetAt(i, r.Put()), S_OK) << i; }
  return r;
}

// The detail of the i-th response as I.
template <class I>
ComPtr<I> DetailAs(IMsgSetResponse* set, LONG i) {
  const ComPtr<IVTBase> detail = Field(At(set, i).Get(), &IResponse::get_Detail);
  ComPtr<I> as;
  if (detail) { EXPECT_EQ(detail.As(&as), S_OK); }
  return as;
}

// The text of a response that was parsed: exactly that, prolog and line ends included.
std::string TextOf(IMsgSetResponse* set) { return FieldText(set, &IMsgSetResponse::ToXMLString); }

// An error answer has no detail; an unknown response kind without children is kept with its
// status but has no type. The text handed back is exactly the text parsed.
TEST(MsgSetResponse, StatusesWithoutDetail) {
  const std::string text = Doc(
      "<CustomerAddRs requestID=\"0\" statusCode=\"3100\" statusSeverity=\"Error\" "
      "statusMessage=\"The name &quot;Ames&quot; of the list element is already in use.\"/>\r\n"
      "<NoSuchRs requestID=\"1\" statusCode=\"0\"/>\r\n");
  auto set = Parse(text);
  auto r = At(set.Get(), 0);
  LONG code = 0;
  ASSERT_EQ(r->get_StatusCode(&code), S_OK);
  EXPECT_EQ(code, 3100);
  EXPECT_EQ(FieldText(r.Get(), &IResponse::get_StatusSeverity), "Error");
  EXPECT_EQ(FieldText(r.Get(), &IResponse::get_StatusMessage), "The name \"Ames\" of the list element is already in use.");
  EXPECT_FALSE(Field(r.Get(), &IResponse::get_Detail));
  EXPECT_EQ(r->get_retCount(&code), kNoValue);
  SHORT value = 0;
  ASSERT_EQ(Field(r.Get(), &IResponse::get_Type)->GetValue(&value), S_OK);
  EXPECT_EQ(value, rtCustomerAddRs);
  EXPECT_EQ(TextOf(set.Get()), text);

  ComPtr<IResponseType> type;
  EXPECT_EQ(At(set.Get(), 1)->get_Type(type.Put()), kNoValue);
  EXPECT_EQ(At(set.Get(), 1)->get_StatusCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST(MsgSetResponse, QueryAnswersWithZeroOneAndThreeRecords) {
  auto none = Parse(Doc("<CustomerQueryRs requestID=\"0\" statusCode=\"1\" statusSeverity=\"Info\" statusMessage=\"none\"/>\r\n"));
  EXPECT_FALSE(Field(At(none.Get(), 0).Get(), &IResponse::get_Detail)) << "an answer without records has no detail";
  for (int records : {1, 3}) {
    SCOPED_TRACE(records);
    auto set = Parse(Customers(
        records,
        [](int i) {
          return "<ListID>80-" + std::to_string(i) + "</ListID>\r\n<Name>C" + std::to_string(i) + "</Name>\r\n";
        },
        " statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\" retCount=\"" + std::to_string(records) +
            "\""));
    auto list = DetailAs<ICustomerRetList>(set.Get(), 0);
    ASSERT_TRUE(list);
    EXPECT_EQ(CountOf(list.Get()), records);
    ComPtr<ICustomerRet> last, beyond;
    ASSERT_EQ(list->GetAt(records - 1, last.Put()), S_OK);
    EXPECT_EQ(FieldText(last.Get(), &ICustomerRet::get_Name), "C" + std::to_string(records - 1));
    EXPECT_EQ(list->GetAt(records, beyond.Put()), kOutOfRange);
    // A response's list is read-only.
    ComPtr<ICustomerRet> appended;
    EXPECT_EQ(list->Append(appended.Put()), S_OK);
    EXPECT_FALSE(appended);
    EXPECT_EQ(CountOf(list.Get()), records);
    LONG ret = -1;
    ASSERT_EQ(At(set.Get(), 0)->get_retCount(&ret), S_OK);
    EXPECT_EQ(ret, records);
  }
}

// An answer of several megabytes: its text and its kept values outgrow the small blocks and
// move to the large ones, and some values are too long to keep as text. The text comes back
// byte for byte and every record keeps its own values.
TEST(MsgSetResponse, LargeAnswerKeepsEveryByteAndValue) {
  const int records = 12000;
  const auto notes = [](int i) { return std::string((i % 7 ? 200 : 1500) + i % 50, 'n'); };
  const std::string text = Customers(records, [&](int i) {
    return "<ListID>80-" + std::to_string(i) + "</ListID>\r\n<Name>Customer &amp; " + std::to_string(i) +
           "</Name>\r\n<Notes>" + notes(i) + "</Notes>\r\n";
  });
  ASSERT_GT(text.size(), size_t{3} << 20);
  auto set = Parse(text);
  EXPECT_TRUE(TextOf(set.Get()) == text) << "the text handed back differs";
  auto list = DetailAs<ICustomerRetList>(set.Get(), 0);
  ASSERT_EQ(CountOf(list.Get()), records);
  for (int i : {0, 1, 7, records / 2, records - 1}) {
    ComPtr<ICustomerRet> c;
    ASSERT_EQ(list->GetAt(i, c.Put()), S_OK);
    EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_ListID), "80-" + std::to_string(i));
    EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Name), "Customer & " + std::to_string(i));
    EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Notes), notes(i));
  }
}

TEST(MsgSetResponse, RequestIdOrder) {
  const struct {
    std::string body;
    std::vector<std::string> severities;  // in GetAt order
  } cases[] = {
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
    std::vector<std::string> severities;
    for (LONG i = 0, n = CountOf(Field(set.Get(), &IMsgSetResponse::get_ResponseList).Get()); i < n; ++i)
      severities.push_back(FieldText(At(set.Get(), i).Get(), &IResponse::get_StatusSeverity));
    EXPECT_EQ(severities, c.severities) << c.body;
  }
}

TEST(MsgSetResponse, SetAttributes) {
  auto set = Parse(Doc("", " newMessageSetID=\"2026120512\" messageSetStatusCode=\"9001\""));
  const ComPtr<IAttributesRsSet> a = Field(set.Get(), &IMsgSetResponse::get_Attributes);
  EXPECT_EQ(FieldText(a.Get(), &IAttributesRsSet::get_NewMessageSetID), "2026120512");
  EXPECT_EQ(FieldText(a.Get(), &IAttributesRsSet::get_MessageSetStatusCode), "9001");
  auto none = Parse(Doc(""));
  EXPECT_FALSE(Field(none.Get(), &IMsgSetResponse::get_Attributes));
  EXPECT_FALSE(Field(none.Get(), &IMsgSetResponse::get_ResponseList));
}

TEST(MsgSetResponse, RefusedAnswers) {
  const auto unexpected = [](const char* where, int tag, const std::string& rest) {
    return "Error parsing. Message: " + std::string(where) + std::to_string(tag) + rest;
  };
  const struct {
    std::string text;
    std::string message;  // empty: the parser's own text
  } cases[] = {
      {Doc("", " onError=\"stopOnError\""),
       unexpected("MsgSetResponse:unexpected tag = ", tag::onError, " with value stopOnError.")},
      {Doc("<Memo>x</Memo>"), unexpected("MsgSetResponse: unexpected tag = ", tag::Memo, " with value x.")},
      {Doc("<CustomerAddRs requestID=\"0\" metaData=\"x\"/>"),
       unexpected("Response:unexpected tag = ", tag::metaData, " with value x.")},
      // Subscription answers belong to subscription sets.
      {Doc("<DataEventSubscriptionAddRs requestID=\"0\"><DataEventSubscriptionRet/></DataEventSubscriptionAddRs>"),
       "Error parsing. Message: Internal error.Cannot create detail object for Response."},
      {Doc("<NoSuchRs><Memo>x</Memo></NoSuchRs>"),
       "Error parsing. Message: Internal error.Cannot create detail object for Response."},
      {Doc("<CustomerQueryRs><CustomerRet><OpenBalance>1.00</OpenBalance></CustomerRet></CustomerQueryRs>"),
       unexpected("class CustomerRet got unexpected tag id ", tag::OpenBalance, " (OpenBalance) with value 1.00.")},
      {Doc("<CustomerQueryRs><CustomerRet><BillAddress>x</BillAddress></CustomerRet></CustomerQueryRs>"),
       unexpected("class CustomerRet got unexpected tag id ", tag::BillAddress, " (BillAddress) with value x.")},
      {Doc("<CustomerQueryRs><Name>x</Name></CustomerQueryRs>"),
       unexpected("CCustomerRetList::HandleElement unexpected tag = ", tag::Name, " with value x.")},
      {Doc("<CustomerQueryRs><CustomerRet><CurrencyRef><FullName>CAD</FullName></CurrencyRef></CustomerRet></CustomerQueryRs>"),
       unexpected("class CustomerRet got unexpected agg tag id ", tag::CurrencyRef, " (CurrencyRef).")},
      // A leaf directly under a list of OR entries goes to a new entry, which refuses it.
      {Doc("<TermsQueryRs><Name>x</Name></TermsQueryRs>"),
       unexpected("class ORTermsRet got unexpected tag id ", tag::Name, " (Name) with value x.")},
      {kHead + "<VTXMLMsgsRs><CustomerAddRs>", ""},  // truncated
  };
  for (const auto& c : cases) {
    ComPtr<IMsgSetResponse> set;
    EXPECT_EQ(ParseMsgSetResponse(c.text, kCountryUS, 4, 0, nullptr, set.Put()), kParseFailed) << c.text;
    EXPECT_FALSE(set);
    const std::string error = TakeErrorDescription();
    if (c.message.empty()) {
      EXPECT_NE(error.find("SAXParseException: error at line"), std::string::npos) << error;
    } else {
      EXPECT_EQ(error, c.message);
    }
  }
  ComPtr<IMsgSetResponse> nothing;
  EXPECT_EQ(ParseMsgSetResponse("", kCountryUS, 4, 0, nullptr, nothing.Put()), S_OK);
  EXPECT_FALSE(nothing);
}

TEST(MsgSetResponse, ReturnedRecords) {
  auto set = Parse(Customers(1, [](int) -> std::string {
    return "<ListID>80-1</ListID>\r\n<TimeCreated>2004-10-29T12:00:00-08:00</TimeCreated>\r\n"
           "<EditSequence>1098</EditSequence>\r\n<Name>Ames</Name>\r\n<IsActive>true</IsActive>\r\n"
           "<BillAddress>\r\n<City>Lyon</City>\r\n</BillAddress>\r\n<Notes/>\r\n"
           "<Balance>12.5</Balance>\r\n<JobStatus>Closed</JobStatus>\r\n"
           "<DataExtRet>\r\n<OwnerID>0</OwnerID>\r\n<DataExtName>Color</DataExtName>\r\n"
           "<DataExtType>STR255TYPE</DataExtType>\r\n<DataExtValue>blue</DataExtValue>\r\n</DataExtRet>\r\n";
  }));
  auto list = DetailAs<ICustomerRetList>(set.Get(), 0);
  ASSERT_TRUE(list);
  ComPtr<ICustomerRet> c;
  ASSERT_EQ(list->GetAt(0, c.Put()), S_OK);
  EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Fax), kAbsent) << "absent from the answer: null";
  EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Notes), "") << "present but empty: a value with empty text";
  VARIANT_BOOL active = 0;
  ASSERT_EQ(Field(c.Get(), &ICustomerRet::get_IsActive)->GetValue(&active), S_OK);
  EXPECT_EQ(active, VARIANT_TRUE);
  SHORT h = 0, m = 0;
  ASSERT_EQ(Field(c.Get(), &ICustomerRet::get_TimeCreated)->GetTimeZone(&h, &m), S_OK);
  EXPECT_EQ(h, -8);
  double amount = 0;
  ASSERT_EQ(Field(c.Get(), &ICustomerRet::get_Balance)->GetValue(&amount), S_OK);
  EXPECT_EQ(amount, 12.5);
  ENJobStatus status;
  ASSERT_EQ(Field(c.Get(), &ICustomerRet::get_JobStatus)->GetValue(&status), S_OK);
  EXPECT_EQ(status, jsClosed);
  const ComPtr<IAddress> bill = Field(c.Get(), &ICustomerRet::get_BillAddress);
  EXPECT_EQ(FieldText(bill.Get(), &IAddress::get_City), "Lyon");
  EXPECT_EQ(FieldText(bill.Get(), &IAddress::get_Addr1), kAbsent);
  EXPECT_EQ(CountOf(Field(c.Get(), &ICustomerRet::get_DataExtRetList).Get()), 1);
  // The country test still applies to records of a response.
  ComPtr<IVTBaseRef> currency;
  EXPECT_EQ(c->get_CurrencyRef(currency.Put()), kNotSupported);
  EXPECT_EQ(TakeErrorDescription(), "This feature is not supported in the specified version of vtXML.");
  SHORT value = 0;
  ASSERT_EQ(Field(list.Get(), &ICustomerRetList::get_Type)->GetValue(&value), S_OK);
  EXPECT_EQ(value, otCustomerRetList);
}

// A parsed value keeps its identity: the first read puts the object in its slot, so a change
// made through it is what every later read, Verify and the writer see, in answers and in
// requests read back from text alike.
TEST(MsgSetResponse, ParsedValuesKeepTheirIdentity) {
  auto set = Parse(Customers(1, [](int) -> std::string {
    return "<ListID>80-1</ListID>\r\n<Name>Ames</Name>\r\n<Phone>555</Phone>\r\n";
  }));
  auto list = DetailAs<ICustomerRetList>(set.Get(), 0);
  ASSERT_TRUE(list);
  ComPtr<ICustomerRet> c;
  ASSERT_EQ(list->GetAt(0, c.Put()), S_OK);
  {
    const auto n1 = Field(c.Get(), &ICustomerRet::get_Name), n2 = Field(c.Get(), &ICustomerRet::get_Name);
    EXPECT_EQ(n1.Get(), n2.Get()) << "one object while it is held";
    ASSERT_EQ(n1->SetValue(Bstr(u"Zed").Get()), S_OK);
  }
  EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Name), "Zed") << "a changed value is kept when let go";
  EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Phone), "555");
  EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Phone), "555") << "an unchanged value let go reads again";
  ASSERT_EQ(Field(c.Get(), &ICustomerRet::get_Phone)->Unset(), S_OK);
  VARIANT_BOOL isSet = VARIANT_TRUE;
  ASSERT_EQ(Field(c.Get(), &ICustomerRet::get_Phone)->IsSet(&isSet), S_OK);
  EXPECT_EQ(isSet, VARIANT_FALSE) << "an unset value is a change too";
  Bstr report;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(c->Verify(report.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(FieldText(c.Get(), &ICustomerRet::get_Name), "Zed") << "writing and verifying keep what was read";
  // A record that outlives its answer's reader: the value a client still holds lives on.
  const ComPtr<IVTIDType> id = Field(c.Get(), &ICustomerRet::get_ListID);
  c.Reset();
  list.Reset();
  set.Reset();
  EXPECT_EQ(ValueText(id.Get()), "80-1");
}

// A client holding many values at once: each stays itself, changed or not.
TEST(MsgSetResponse, ManyValuesHeldAtOnce) {
  auto set = Parse(Customers(40, [](int i) { return "<Name>N" + std::to_string(i) + "</Name>\r\n"; }));
  auto list = DetailAs<ICustomerRetList>(set.Get(), 0);
  ASSERT_TRUE(list);
  auto name = [&](LONG i) {
    ComPtr<ICustomerRet> c;
    list->GetAt(i, c.Put());
    return Field(c.Get(), &ICustomerRet::get_Name);
  };
  std::vector<ComPtr<IVTStringType>> held;
  for (LONG i = 0; i < 40; ++i) held.push_back(name(i));
  for (LONG i = 0; i < 40; i += 13) {
    EXPECT_EQ(name(i).Get(), held[static_cast<size_t>(i)].Get()) << i;
    ASSERT_EQ(held[static_cast<size_t>(i)]->SetValue(Bstr(u"changed").Get()), S_OK);
  }
  held.clear();
  for (LONG i = 0; i < 40; ++i)
    EXPECT_EQ(ValueText(name(i).Get()), i % 13 == 0 ? "changed" : "N" + std::to_string(i)) << i;
}

TEST(MsgSetResponse, ACorrectedRequestIsWrittenCorrected) {
  const std::string text = kHead +
                           "<VTXMLMsgsRq onError=\"stopOnError\">\r\n<CustomerModRq>\r\n"
                           "<CustomerMod>\r\n<ListID>80-1</ListID>\r\n<EditSequence>7</EditSequence>\r\n"
                           "<Name>Ames</Name>\r\n<Phone>555</Phone>\r\n"
                           "</CustomerMod>\r\n</CustomerModRq>\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n";
  ComPtr<IMsgSetRequest> parsed;
  ASSERT_EQ(ParseMsgSetRequest(text, kCountryUS, 4, 0, OnlineSignon{}, parsed.Put()), S_OK)
      << TakeErrorDescription();
  ComPtr<IRequest> request;
  ASSERT_EQ(Field(parsed.Get(), &IMsgSetRequest::get_RequestList)->GetAt(0, request.Put()), S_OK);
  ComPtr<ICustomerMod> mod;
  ASSERT_EQ(Field(request.Get(), &IRequest::get_Detail).As(&mod), S_OK);
  ASSERT_EQ(SetField(mod.Get(), &ICustomerMod::get_Name, "Ames & Co"), S_OK);
  const std::string out = FieldText(parsed.Get(), &IMsgSetRequest::ToXMLString);
  EXPECT_NE(out.find("<Name>Ames &amp; Co</Name>"), std::string::npos) << out;
  EXPECT_NE(out.find("<Phone>555</Phone>"), std::string::npos) << out;
}

TEST(CatalogueLists, EntriesThatAreORChoicesTakeTheirKindFromTheElement) {
  auto set = Parse(Doc("<TermsQueryRs requestID=\"0\" statusCode=\"0\">\r\n"
                       "<StandardTermsRet>\r\n<Name>Net 30</Name>\r\n<StdDueDays>30</StdDueDays>\r\n</StandardTermsRet>\r\n"
                       "<DateDrivenTermsRet>\r\n<Name>10th</Name>\r\n<DayOfMonthDue>10</DayOfMonthDue>\r\n</DateDrivenTermsRet>\r\n"
                       "<StandardTermsRet>\r\n<Name>Net 60</Name>\r\n</StandardTermsRet>\r\n"
                       "</TermsQueryRs>\r\n"));
  auto list = DetailAs<IORTermsRetList>(set.Get(), 0);
  ASSERT_EQ(CountOf(list.Get()), 3);
  std::vector<ENORTermsRet> kinds;
  for (LONG i = 0; i < 3; ++i) {
    ComPtr<IORTermsRet> entry;
    ASSERT_EQ(list->GetAt(i, entry.Put()), S_OK);
    kinds.push_back(ENORTermsRet{});
    EXPECT_EQ(entry->get_ortype(&kinds.back()), S_OK);
    EXPECT_NE(static_cast<bool>(Field(entry.Get(), &IORTermsRet::get_StandardTermsRet)),
              static_cast<bool>(Field(entry.Get(), &IORTermsRet::get_DateDrivenTermsRet)))
        << "one member per entry";
  }
  EXPECT_EQ(kinds, (std::vector<ENORTermsRet>{ortrStandardTermsRet, ortrDateDrivenTermsRet, ortrStandardTermsRet}));
}

TEST(CatalogueLists, VerificationNamesTheLastFailingEntry) {
  // A request-mode record with a list of data extensions (lists are verified like this in
  // transaction lines).
  ObjectRoot* made = FindCatalogueFactory("CustomerRet")(true, std::make_shared<VersionContext>());
  ComPtr<ICustomerRet> record;
  made->QueryRoot(IID_ICustomerRet, reinterpret_cast<void**>(record.Put()));
  made->ReleaseRoot();
  const ComPtr<IDataExtRetList> list = Field(record.Get(), &ICustomerRet::get_DataExtRetList);
  for (bool withValue : {true, false, false}) {
    const ComPtr<IDataExtRet> e = Field(list.Get(), &IDataExtRetList::Append);
    ASSERT_EQ(SetField(e.Get(), &IDataExtRet::get_DataExtName, "Color"), S_OK);
    ASSERT_EQ(Field(e.Get(), &IDataExtRet::get_DataExtType)->SetValue(detSTR255TYPE), S_OK);
    if (withValue) { ASSERT_EQ(SetField(e.Get(), &IDataExtRet::get_DataExtValue, "blue"), S_OK); }
  }
  EXPECT_EQ(CountOf(list.Get()), 3);
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
