// The message set request: documents written byte for byte, the verification report,
// numbering, the attribute set, and request documents parsed back into objects.
#include <gtest/gtest.h>

#include "support.h"

#include <functional>
#include <initializer_list>
#include <vector>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/aggregate.h"
#include "src/msgset/msgset_request.h"
#include "src/xml/tag_table.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {
namespace {

class MsgSetRequestTest : public ::testing::Test {
 public:
  static ComPtr<CMsgSetRequest> NewSet(int16_t major = 4, int16_t minor = 0, int32_t country = kCountryUS) {
    auto set = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
    set->Init(major, minor, country);
    return set;
  }
  // A customer add, with its Name when one is given.
  static ComPtr<ICustomerAdd> Add(IMsgSetRequest* set, const char* name = nullptr) {
    const ComPtr<ICustomerAdd> add = Field(set, &IMsgSetRequest::AppendCustomerAddRq);
    if (name) { EXPECT_EQ(SetField(add.Get(), &ICustomerAdd::get_Name, name), S_OK); }
    return add;
  }
  // A customer query, with metaData, MaxReturned and IncludeRetElement entries when given.
  static ComPtr<ICustomerQuery> Query(IMsgSetRequest* set, int metaData = -1, LONG max = 0,
                                      std::initializer_list<const char*> include = {}) {
    const ComPtr<ICustomerQuery> q = Field(set, &IMsgSetRequest::AppendCustomerQueryRq);
    if (metaData >= 0) {
      EXPECT_EQ(Field(q.Get(), &ICustomerQuery::get_metaData)->SetValue(static_cast<ENmetaData>(metaData)), S_OK);
    }
    if (max) {
      const auto filter = Field(Field(q.Get(), &ICustomerQuery::get_ORCustomerListQuery).Get(),
                                &IORCustomerListQuery::get_CustomerListFilter);
      EXPECT_EQ(Field(filter.Get(), &ICustomerListFilter::get_MaxReturned)->SetValue(max), S_OK);
    }
    for (const char* name : include)
      EXPECT_EQ(Field(q.Get(), &ICustomerQuery::get_IncludeRetElementList)->Add(Wide(name).Get()), S_OK);
    return q;
  }
  static std::string Xml(IMsgSetRequest* set) { return FieldText(set, &IMsgSetRequest::ToXMLString); }
  static std::pair<bool, std::string> Verified(IMsgSetRequest* set) {
    Bstr report;
    VARIANT_BOOL ok = 7;
    EXPECT_EQ(set->Verify(report.Put(), &ok), S_OK);
    EXPECT_TRUE(ok == VARIANT_TRUE || ok == VARIANT_FALSE);
    EXPECT_EQ(ok == VARIANT_TRUE, report.IsNull()) << "the report is written only on failure";
    return {ok == VARIANT_TRUE, ToNarrow(report.Get())};
  }
};

const std::string kProlog40 = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n";

TEST_F(MsgSetRequestTest, DocumentShapes) {
  struct Case {
    const char* what;
    int16_t major, minor;
    int32_t country;
    std::function<void(CMsgSetRequest*)> fill;
    std::string expected;
    bool verifies;
  };
  const std::string dtd11 = std::string("<?xml version=\"1.0\" ?>\r\n<!DOCTYPE VTXML PUBLIC "
                                        "'-//KORVEN//DTD VTXML VTD 1.1//EN' '") +
                            kDesktopDtdLocation + "'>\r\n";
  const std::vector<Case> cases = {
      {"one query, every member", 4, 0, kCountryUS,
       [](CMsgSetRequest* s) { Query(s, mdMetaDataOnly, 10, {"Name"}); },
       kProlog40 + "<VTXML>\r\n<VTXMLMsgsRq onError = \"stopOnError\">\r\n"
                   "<CustomerQueryRq requestID = \"0\" metaData = \"MetaDataOnly\">\r\n<MaxReturned>10</MaxReturned>\r\n"
                   "<IncludeRetElement>Name</IncludeRetElement>\r\n</CustomerQueryRq>\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n",
       true},
      {"no requests", 4, 0, kCountryUS, [](CMsgSetRequest*) {},
       kProlog40 + "<VTXML>\r\n<VTXMLMsgsRq onError = \"stopOnError\"/>\r\n</VTXML>\r\n", true},
      {"CA 3.0, empty query written bare", 3, 0, kCountryCA,
       [](CMsgSetRequest* s) { Query(s); },
       "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"CA3.0\"?>\r\n<VTXML>\r\n"
       "<VTXMLMsgsRq onError = \"stopOnError\">\r\n<CustomerQueryRq requestID = \"0\"/>\r\n"
       "</VTXMLMsgsRq>\r\n</VTXML>\r\n",
       true},
      {"US 1.1 document type form", 1, 1, kCountryUS,
       [](CMsgSetRequest* s) { Add(s, "A&B"); },
       dtd11 + "<VTXML>\r\n<VTXMLMsgsRq onError = \"stopOnError\">\r\n"
               "<CustomerAddRq requestID = \"0\">\r\n<CustomerAdd>\r\n<Name>A&amp;B</Name>\r\n"
               "</CustomerAdd>\r\n</CustomerAddRq>\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n",
       true},
      {"two requests without onError: no attribute", 4, 0, kCountryUS,
       [](CMsgSetRequest* s) {
         Query(s);
         Query(s);
       },
       kProlog40 + "<VTXML>\r\n<VTXMLMsgsRq>\r\n<CustomerQueryRq requestID = \"0\"/>\r\n"
                   "<CustomerQueryRq requestID = \"1\"/>\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n",
       false},
      {"every attribute", 4, 0, kCountryUS,
       [](CMsgSetRequest* s) {
         const ComPtr<IAttributesRqSet> a = Field(s, &IMsgSetRequest::get_Attributes);
         a->put_OnError(roeRollback);
         a->put_OldMessageSetID(Bstr(u"old<1>").Get());
         a->put_NewMessageSetID(Bstr(u"new").Get());
         a->put_ResponseData(rrdIncludeNone);
       },
       kProlog40 + "<VTXML>\r\n<VTXMLMsgsRq onError = \"rollbackOnError\" oldMessageSetID = "
                   "\"old&lt;1&gt;\" newMessageSetID = \"new\" responseData = \"includeNone\"/>\r\n"
                   "</VTXML>\r\n",
       true},
      {"empty identifiers are not written", 4, 0, kCountryUS,
       [](CMsgSetRequest* s) {
         const ComPtr<IAttributesRqSet> a = Field(s, &IMsgSetRequest::get_Attributes);
         a->put_OldMessageSetID(Bstr(u"").Get());
         a->put_NewMessageSetID(nullptr);
         a->put_OnError(roeContinue);
       },
       kProlog40 + "<VTXML>\r\n<VTXMLMsgsRq onError = \"continueOnError\"/>\r\n</VTXML>\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto set = NewSet(c.major, c.minor, c.country);
    c.fill(set.Get());
    EXPECT_EQ(Xml(set.Get()), c.expected);
    EXPECT_EQ(Verified(set.Get()).first, c.verifies);
  }
}

TEST_F(MsgSetRequestTest, VerificationReport) {
  auto set = NewSet();
  Add(set.Get(), "first");
  Add(set.Get());  // the second has no Name
  Add(set.Get(), "third");
  EXPECT_EQ(Verified(set.Get()),
            std::make_pair(false, std::string("Missing 'onError' attribute. \r\n"
                                              "Request[1]: CustomerAddRq\r\nCustomerAdd\r\n"
                                              "Name: required field is missing\r\n"
                                              "End of CustomerAdd\r\n")));
  Field(set.Get(), &IMsgSetRequest::get_Attributes)->put_OnError(roeStop);
  EXPECT_EQ(Verified(set.Get()).second,
            "Request[1]: CustomerAddRq\r\nCustomerAdd\r\nName: required field is missing\r\n"
            "End of CustomerAdd\r\n");
  // One request: no request line before its block.
  auto single = NewSet();
  Add(single.Get());
  EXPECT_EQ(Verified(single.Get()).second,
            "CustomerAdd\r\nName: required field is missing\r\nEnd of CustomerAdd\r\n");
}

// The numbers and kinds of a set's requests, read back; parsed sets keep the numbers their
// text gives (a request without one takes its place).
std::vector<std::pair<LONG, std::string>> Requests(IMsgSetRequest* set) {
  std::vector<std::pair<LONG, std::string>> out;
  const ComPtr<IRequestList> list = Field(set, &IMsgSetRequest::get_RequestList);
  for (LONG i = 0, n = CountOf(list.Get()); i < n; ++i) {
    ComPtr<IRequest> r;
    EXPECT_EQ(list->GetAt(i, r.Put()), S_OK);
    LONG id = -5;
    EXPECT_EQ(r->get_RequestID(&id), S_OK);
    const ComPtr<IRequestType> type = Field(r.Get(), &IRequest::get_Type);
    SHORT value = 0;
    EXPECT_EQ(type->GetValue(&value), S_OK);
    EXPECT_EQ(value, rtCustomerQueryRq);
    out.emplace_back(id, FieldText(type.Get(), &IRequestType::GetAsString));
  }
  ComPtr<IRequest> none;
  EXPECT_EQ(list->GetAt(static_cast<LONG>(out.size()), none.Put()), kOutOfRange);
  EXPECT_EQ(list->GetAt(-1, none.Put()), kOutOfRange);
  return out;
}

TEST_F(MsgSetRequestTest, NumberingAndClearing) {
  auto set = NewSet();
  Query(set.Get());
  Query(set.Get());
  const ComPtr<IAttributesRqSet> a = Field(set.Get(), &IMsgSetRequest::get_Attributes);
  a->put_OnError(roeContinue);
  a->put_NewMessageSetID(Bstr(u"id").Get());
  ASSERT_EQ(set->ClearRequests(), S_OK);
  ENRqOnError onError;
  EXPECT_EQ(a->get_OnError(&onError), kNoValue) << "the attribute set is reset, and kept";
  Bstr id;
  ASSERT_EQ(a->get_NewMessageSetID(id.Put()), S_OK);
  EXPECT_TRUE(id.IsNull());
  Query(set.Get());
  Query(set.Get());
  const std::vector<std::pair<LONG, std::string>> two = {{0, "CustomerQueryRq"}, {1, "CustomerQueryRq"}};
  EXPECT_EQ(Requests(set.Get()), two);
}

TEST_F(MsgSetRequestTest, AttributeSetCodes) {
  auto set = NewSet(1, 1);
  ComPtr<IAttributesRqSet> a = Field(set.Get(), &IMsgSetRequest::get_Attributes);
  ENRqOnError onError;
  ENRqResponseData data;
  EXPECT_EQ(a->get_OnError(&onError), kNoValue);
  EXPECT_EQ(a->put_OnError(static_cast<ENRqOnError>(3)), kEnumOutOfRange);
  EXPECT_EQ(a->put_OnError(static_cast<ENRqOnError>(-1)), kEnumOutOfRange);
  EXPECT_EQ(a->put_ResponseData(rrdIncludeAll), kNotSupported) << "responseData exists from 2.0";
  auto set2 = NewSet(2, 0);
  a = Field(set2.Get(), &IMsgSetRequest::get_Attributes);
  EXPECT_EQ(a->get_ResponseData(&data), kNoValue);
  EXPECT_EQ(a->put_ResponseData(static_cast<ENRqResponseData>(2)), kEnumOutOfRange);
  EXPECT_EQ(a->put_ResponseData(rrdIncludeNone), S_OK);
  ASSERT_EQ(a->get_ResponseData(&data), S_OK);
  EXPECT_EQ(data, rrdIncludeNone);
  // None of these codes comes with an error description.
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(GetErrorInfo(0, info.Put()), S_FALSE);
}

TEST(Validation, CountryAndVersion) {
  struct Case {
    const char16_t* country;
    int16_t major, minor;
    HRESULT expected;
    const char* message;
  };
  const char* version = "Unsupported vtXML version.";
  const char* country = "The Country value is invalid.";
  const Case cases[] = {
      {u"US", 4, 0, S_OK, ""},    {u"US", 2, 1, S_OK, ""},    {u"US", 1, 0, S_OK, ""},
      {nullptr, 3, 0, S_OK, ""},  {u"CA", 3, 0, S_OK, ""},    {u"CA", 2, 0, S_OK, ""},
      {u"CA", 4, 0, kUnsupportedVersion, version},            {u"CA", 2, 1, kUnsupportedVersion, version},
      {u"US", 5, 0, kUnsupportedVersion, version},            {u"US", 3, 1, kUnsupportedVersion, version},
      {u"us", 4, 0, kInvalidCountry, country},                {u"UK", 4, 0, kInvalidCountry, country},
      {u"", 4, 0, kInvalidCountry, country},
  };
  for (const auto& c : cases) {
    int32_t code = -1;
    HRESULT hr = ValidateCountry(Bstr(c.country).Get(), &code);
    if (SUCCEEDED(hr)) hr = ValidateVersion(code, c.major, c.minor);
    EXPECT_EQ(hr, c.expected) << c.major << "." << c.minor;
    EXPECT_EQ(TakeErrorDescription(), c.message);
  }
  EXPECT_EQ(ValidateVersion(kCountryOnline, 4, 0), kInvalidCountry);
}

// ---- The sign-on section of an online set, through a test double of the online manager.
class FakeSignon final : public ComObject<IUnknown>, public SignonWriter {
 public:
  HRESULT BuildSignonMsgs(XMLBuilderInterface& b, std::string& errors, bool verifyOnly) override {
    calls.push_back(verifyOnly);
    if (failWith != S_OK) {
      if (failWith == kVerifyFailed) errors += "AppID: required field is missing\r\n";
      return failWith;
    }
    if (!verifyOnly) {
      b.StartElement("SignonMsgsRq");
      b.WriteElement("AppID", "app");
      b.EndElement("SignonMsgsRq");
    }
    return S_OK;
  }
  HRESULT failWith = S_OK;
  std::vector<bool> calls;
};

TEST_F(MsgSetRequestTest, OnlineSetsCarryTheSignonSection) {
  auto fake = ComPtr<FakeSignon>::Adopt(MakeObject<FakeSignon>());
  auto set = NewSet(4, 0, kCountryOnline);
  set->AttachOnline({ComPtr<IUnknown>(fake.Get()), fake.Get(), nullptr});
  EXPECT_EQ(Xml(set.Get()),
            std::string("<?xml version=\"1.0\" ?>\r\n<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML "
                        "VT0 4.0//EN' '") +
                kOnlineDtdLocation +
                "'>\r\n<VTXML>\r\n<SignonMsgsRq>\r\n<AppID>app</AppID>\r\n</SignonMsgsRq>\r\n"
                "<VTXMLMsgsRq onError = \"stopOnError\"/>\r\n</VTXML>\r\n");
  EXPECT_TRUE(Verified(set.Get()).first);
  fake->failWith = kVerifyFailed;
  EXPECT_EQ(Verified(set.Get()),
            std::make_pair(false, std::string("VTOESessionManager:\r\nAppID: required field is missing\r\n")));
  fake->failWith = E_FAIL;
  Bstr text;
  VARIANT_BOOL ok = 7;
  EXPECT_EQ(set->Verify(text.Put(), &ok), E_FAIL);
  EXPECT_EQ(ok, 7) << "outputs untouched";
  EXPECT_EQ(set->ToXMLString(text.Put()), E_FAIL);
  EXPECT_TRUE(text.IsNull());
  EXPECT_EQ(fake->calls, (std::vector<bool>{false, true, true, true, false}));
}

// The version and country gate comes before anything else, also for a kind whose body class
// the library does not hold yet.
TEST_F(MsgSetRequestTest, TheGateComesFirst) {
  auto old = NewSet(1, 1);
  ICustomSummaryReportQuery* report = reinterpret_cast<ICustomSummaryReportQuery*>(&old);
  EXPECT_EQ(old->AppendCustomSummaryReportQueryRq(&report), kNotSupported);
  EXPECT_EQ(report, nullptr);
  EXPECT_EQ(TakeErrorDescription(), "This request is not supported in the specified vtXML version.");
  auto current = NewSet(4, 0);
  EXPECT_EQ(current->AppendCustomSummaryReportQueryRq(&report), S_OK);
  ASSERT_NE(report, nullptr);
  report->Release();
}

TEST_F(MsgSetRequestTest, DetailsOutliveTheSet) {
  ComPtr<ICustomerQuery> kept = Query(NewSet(2, 0).Get());
  auto* q = dynamic_cast<VTCoreBase*>(kept.Get());
  ASSERT_TRUE(q && q->Context());
  EXPECT_EQ(q->Context()->major, 2);
  EXPECT_EQ(q->CheckMinVersion(3, 0), kNotSupported);
}

// ---- Parsing.

HRESULT Parse(const std::string& text, ComPtr<IMsgSetRequest>& out, int16_t major = 4) {
  return ParseMsgSetRequest(text, kCountryUS, major, 0, OnlineSignon{}, out.Put());
}

TEST_F(MsgSetRequestTest, RoundTripsThroughText) {
  auto set = NewSet();
  const ComPtr<IAttributesRqSet> a = Field(set.Get(), &IMsgSetRequest::get_Attributes);
  a->put_OnError(roeContinue);
  a->put_NewMessageSetID(Bstr(u"20261205120000abc").Get());
  ASSERT_EQ(Field(Add(set.Get(), "Smith & Sons").Get(), &ICustomerAdd::get_Phone)->SetEmpty(), S_OK);
  Query(set.Get(), mdNoMetaData, 5, {"ListID", "Name"});
  Query(set.Get());
  const std::string text = Xml(set.Get());

  ComPtr<IMsgSetRequest> parsed;
  ASSERT_EQ(Parse(text, parsed), S_OK) << TakeErrorDescription();
  EXPECT_EQ(Xml(parsed.Get()), text);
  ComPtr<IRequest> second;
  ASSERT_EQ(Field(parsed.Get(), &IMsgSetRequest::get_RequestList)->GetAt(1, second.Put()), S_OK);
  ComPtr<ICustomerQuery> query;
  ASSERT_EQ(Field(second.Get(), &IRequest::get_Detail).As(&query), S_OK);
  ASSERT_NE(dynamic_cast<VTCoreBase*>(query.Get()), nullptr);
  EXPECT_FALSE(dynamic_cast<VTCoreBase*>(query.Get())->IsRequest()) << "parsed details are made in response mode";
  EXPECT_EQ(CountOf(Field(query.Get(), &ICustomerQuery::get_IncludeRetElementList).Get()), 2);
}

TEST_F(MsgSetRequestTest, ParsedRequestIdsAreKept) {
  ComPtr<IMsgSetRequest> parsed;
  ASSERT_EQ(Parse(kProlog40 + "<VTXML><VTXMLMsgsRq onError=\"stopOnError\">"
                              "<CustomerQueryRq requestID=\"7\"/><CustomerQueryRq/></VTXMLMsgsRq></VTXML>",
                  parsed),
            S_OK)
      << TakeErrorDescription();
  const std::vector<std::pair<LONG, std::string>> kept = {{7, "CustomerQueryRq"}, {1, "CustomerQueryRq"}};
  EXPECT_EQ(Requests(parsed.Get()), kept);
}

TEST_F(MsgSetRequestTest, ParseFailures) {
  const std::string head = kProlog40 + "<VTXML><VTXMLMsgsRq";
  struct Case {
    std::string body;
    std::string message;
  };
  const std::string onError = std::to_string(tag::onError);
  const Case cases[] = {
      {" onError=\"stopOnErrors\"/></VTXML>",
       "Error parsing. Message: MsgSetRequest:unexpected Attribute value, tag = " + onError +
           " with value stopOnErrors."},
      {" retCount=\"1\"/></VTXML>", "Error parsing. Message: MsgSetRequest:unexpected tag = " +
                                        std::to_string(tag::retCount) + " with value 1."},
      {"><Memo>x</Memo></VTXMLMsgsRq></VTXML>",
       "Error parsing. Message: MsgSetRequest: unexpected tag = " + std::to_string(tag::Memo) +
           " with value x."},
      {"><CustomerQueryRq requestID=\"0\" statusCode=\"1\"/></VTXMLMsgsRq></VTXML>",
       "Error parsing. Message: Request:unexpected tag = " + std::to_string(tag::statusCode) +
           " with value 1."},
      {"><AlertAddRq><Memo>x</Memo></AlertAddRq></VTXMLMsgsRq></VTXML>",
       "Error parsing. Message: Internal error.Cannot create detail object for Request."},
      {"><CustomerAddRq><CustomerAdd><ListID>1</ListID></CustomerAdd></CustomerAddRq></VTXMLMsgsRq></VTXML>",
       "Error parsing. Message: class CustomerAdd got unexpected tag id " + std::to_string(tag::ListID) +
           " (ListID) with value 1."},
  };
  for (const auto& c : cases) {
    ComPtr<IMsgSetRequest> parsed;
    EXPECT_EQ(Parse(head + c.body, parsed), kParseFailed) << c.body;
    EXPECT_FALSE(parsed);
    EXPECT_EQ(TakeErrorDescription(), c.message) << c.body;
  }
}

}  // namespace
}  // namespace vtfc4
