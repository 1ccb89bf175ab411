// The subscription sets and the events set: requests numbered and written in their own
// document, the gate of vtXML 3.0, verification; answers whose details only the subscription
// rows make; event documents read into their choice, and what the readers refuse.
#include <gtest/gtest.h>

#include "support.h"

#include <string>

#include "src/com/error.h"
#include "src/msgset/msgset_response.h"
#include "src/msgset/subscription_sets.h"
#include "src/xml/tag_table.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {
namespace {

constexpr char kSubscriber[] = "{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}";

ComPtr<CSubscriptionMsgSetRequest> NewSet(int16_t major, int16_t minor) {
  auto set = ComPtr<CSubscriptionMsgSetRequest>::Adopt(MakeObject<CSubscriptionMsgSetRequest>());
  set->Init(major, minor);
  return set;
}

std::string Text(ISubscriptionMsgSetRequest* set) {
  Bstr text;
  EXPECT_EQ(set->ToXMLString(text.Put()), S_OK);
  return Narrow(text);
}

std::string Head(const char* version) {
  return std::string("<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"") + version + "\"?>\r\n<VTXML>\r\n";
}

TEST(SubscriptionSet, RequestsAreNumberedAndWrittenInTheirOwnDocument) {
  ComPtr<CSubscriptionMsgSetRequest> set = NewSet(3, 0);
  ComPtr<IUIEventSubscriptionQuery> query = Field(set.Get(), &ISubscriptionMsgSetRequest::AppendUIEventSubscriptionQueryRq);
  ASSERT_EQ(SetField(query.Get(), &IUIEventSubscriptionQuery::get_SubscriberID, kSubscriber), S_OK);
  ComPtr<ISubscriptionDel> del = Field(set.Get(), &ISubscriptionMsgSetRequest::AppendSubscriptionDelRq);
  ASSERT_EQ(SetField(del.Get(), &ISubscriptionDel::get_SubscriberID, kSubscriber), S_OK);
  auto type = Field(del.Get(), &ISubscriptionDel::get_SubscriptionType);
  ASSERT_EQ(type->SetValue(stData), S_OK);
  EXPECT_EQ(Text(set.Get()),
            Head("3.0") + "<VTXMLSubscriptionMsgsRq>\r\n<UIEventSubscriptionQueryRq requestID = \"0\">\r\n"
                          "<SubscriberID>" + kSubscriber + "</SubscriberID>\r\n</UIEventSubscriptionQueryRq>\r\n"
                          "<SubscriptionDelRq requestID = \"1\">\r\n<SubscriberID>" + kSubscriber +
                "</SubscriberID>\r\n<SubscriptionType>Data</SubscriptionType>\r\n</SubscriptionDelRq>\r\n"
                "</VTXMLSubscriptionMsgsRq>\r\n</VTXML>\r\n");

  // Cleared, it is the empty set, and numbering starts again.
  ASSERT_EQ(set->ClearRequests(), S_OK);
  EXPECT_EQ(Text(set.Get()), Head("3.0") + "<VTXMLSubscriptionMsgsRq/>\r\n</VTXML>\r\n");
  Bstr report;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(set->Verify(report.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE) << "an empty set verifies";
  del = Field(set.Get(), &ISubscriptionMsgSetRequest::AppendSubscriptionDelRq);
  EXPECT_NE(Text(set.Get()).find("<SubscriptionDelRq requestID = \"0\""), std::string::npos) << Text(set.Get());
}

TEST(SubscriptionSet, OnlyFromVersionThreeAndVerified) {
  // Below 3.0 no subscription request is taken.
  ComPtr<CSubscriptionMsgSetRequest> old = NewSet(2, 1);
  ComPtr<IDataEventSubscriptionAdd> refused;
  ExpectStatus("2.1", old->AppendDataEventSubscriptionAddRq(refused.Put()), kNotSupported,
               "This request is not supported in the specified vtXML version.");
  EXPECT_FALSE(refused);
  EXPECT_EQ(old->Count(), 0u);

  // Verification names the request when there is more than one.
  ComPtr<CSubscriptionMsgSetRequest> set = NewSet(4, 0);
  ComPtr<IDataEventSubscriptionQuery> query = Field(set.Get(), &ISubscriptionMsgSetRequest::AppendDataEventSubscriptionQueryRq);
  Bstr report;
  VARIANT_BOOL ok = VARIANT_TRUE;
  ASSERT_EQ(set->Verify(report.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  const std::string alone = Narrow(report);
  EXPECT_EQ(alone.rfind("DataEventSubscriptionQuery\r\n", 0), 0u) << alone;
  EXPECT_NE(alone.find("SubscriberID"), std::string::npos) << alone;
  ASSERT_EQ(SetField(query.Get(), &IDataEventSubscriptionQuery::get_SubscriberID, kSubscriber), S_OK);
  Field(set.Get(), &ISubscriptionMsgSetRequest::AppendSubscriptionDelRq);
  ASSERT_EQ(set->Verify(report.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(Narrow(report).rfind("Request[1]: SubscriptionDelRq\r\nSubscriptionDel\r\n", 0), 0u) << Narrow(report);
}

constexpr char kAddAnswer[] =
    "<DataEventSubscriptionAddRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"OK\">\r\n"
    "<DataEventSubscriptionRet>\r\n<SubscriberID>{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}</SubscriberID>\r\n"
    "</DataEventSubscriptionRet>\r\n</DataEventSubscriptionAddRs>\r\n";

TEST(SubscriptionAnswer, OnlyTheSubscriptionRowsMakeDetails) {
  const std::string text = Head("4.0") + "<VTXMLSubscriptionMsgsRs>\r\n" + kAddAnswer +
                           "<SubscriptionDelRs requestID=\"1\" statusCode=\"0\" statusSeverity=\"Info\" "
                           "statusMessage=\"OK\"/>\r\n</VTXMLSubscriptionMsgsRs>\r\n</VTXML>\r\n";
  ComPtr<ISubscriptionMsgSetResponse> answer;
  ASSERT_EQ(ParseSubscriptionMsgSetResponse(text, 4, 0, answer.Put()), S_OK) << TakeErrorDescription();
  EXPECT_EQ(FieldText(answer.Get(), &ISubscriptionMsgSetResponse::ToXMLString), text);
  ComPtr<IResponseList> list = Field(answer.Get(), &ISubscriptionMsgSetResponse::get_ResponseList);
  ASSERT_EQ(CountOf(list.Get()), 2);
  ComPtr<IResponse> added, deleted;
  ASSERT_EQ(list->GetAt(0, added.Put()), S_OK);
  ComPtr<IVTBase> detail = Field(added.Get(), &IResponse::get_Detail);
  ComPtr<IDataEventSubscriptionRet> ret;
  ASSERT_EQ(detail.As(&ret), S_OK);
  EXPECT_EQ(FieldText(ret.Get(), &IDataEventSubscriptionRet::get_SubscriberID), kSubscriber);
  ASSERT_EQ(list->GetAt(1, deleted.Put()), S_OK);
  EXPECT_FALSE(Field(deleted.Get(), &IResponse::get_Detail)) << "a delete has no detail";

  // The same answer inside an ordinary message set is not one of its rows.
  ComPtr<IMsgSetResponse> ordinary;
  EXPECT_EQ(ParseMsgSetResponse(Head("4.0") + "<VTXMLMsgsRs>\r\n" + kAddAnswer + "</VTXMLMsgsRs>\r\n</VTXML>\r\n",
                                kCountryUS, 4, 0, nullptr, ordinary.Put()),
            kParseFailed);
  TakeError();

  // The set element holds answers only.
  ComPtr<ISubscriptionMsgSetResponse> refused;
  ExpectStatus("attribute",
               ParseSubscriptionMsgSetResponse(Head("4.0") + "<VTXMLSubscriptionMsgsRs retCount=\"1\"/>\r\n</VTXML>\r\n",
                                               4, 0, refused.Put()),
               kParseFailed,
               "Error parsing. Message: SubscriptionMsgSetResponse: unexpected tag = " +
                   std::to_string(tag::retCount) + " with value 1.");
  ComPtr<ISubscriptionMsgSetResponse> none;
  ExpectStatus("no text", ParseSubscriptionMsgSetResponse("", 4, 0, none.Put()), S_OK);
  EXPECT_FALSE(none);
}

std::string Events(const std::string& body) {
  return Head("4.0") + "<VTXMLEvents>\r\n" + body + "</VTXMLEvents>\r\n</VTXML>\r\n";
}

constexpr char kHost[] =
    "<HostInfo>\r\n<ProductName>Sandbox</ProductName>\r\n<MajorVersion>1</MajorVersion>\r\n"
    "<MinorVersion>0</MinorVersion>\r\n<Country>US</Country>\r\n</HostInfo>\r\n";

std::string DataEvent(const std::string& listID) {
  return std::string("<DataEvent>\r\n<CompanyFilePath>/books.vtc</CompanyFilePath>\r\n") + kHost +
         "<ListEvent>\r\n<ListEventType>Customer</ListEventType>\r\n<ListEventOperation>Add</ListEventOperation>\r\n"
         "<ListID>" + listID + "</ListID>\r\n</ListEvent>\r\n</DataEvent>\r\n";
}

TEST(EventsSet, EachKindOfEventIsItsChoice) {
  ComPtr<IEventsMsgSet> set;
  const std::string data = Events(DataEvent("80000001-1") + DataEvent("80000002-1"));
  ASSERT_EQ(ParseEventsMsgSet(data, 4, 0, set.Put()), S_OK) << TakeErrorDescription();
  EXPECT_EQ(FieldText(set.Get(), &IEventsMsgSet::ToXMLString), data);
  ComPtr<IOREvent> event = Field(set.Get(), &IEventsMsgSet::get_OREvent);
  ENOREvent kind = orevNA;
  ASSERT_EQ(event->get_ortype(&kind), S_OK);
  EXPECT_EQ(kind, orevDataEvent);
  ComPtr<IDataEventList> list = Field(event.Get(), &IOREvent::get_DataEventList);
  ASSERT_EQ(CountOf(list.Get()), 2);
  ComPtr<IDataEvent> second;
  ASSERT_EQ(list->GetAt(1, second.Put()), S_OK);
  ComPtr<IORListTxnEvent> which = Field(second.Get(), &IDataEvent::get_ORListTxnEvent);
  ComPtr<IListEvent> listEvent = Field(which.Get(), &IORListTxnEvent::get_ListEvent);
  EXPECT_EQ(FieldText(listEvent.Get(), &IListEvent::get_ListID), "80000002-1");
  ENListEventOperation operation = leoDelete;
  ASSERT_EQ(Field(listEvent.Get(), &IListEvent::get_ListEventOperation)->GetValue(&operation), S_OK);
  EXPECT_EQ(operation, leoAdd);

  // A value directly inside the events element is refused.
  set.Reset();
  ExpectStatus("value", ParseEventsMsgSet(Events("<EventTag>x</EventTag>\r\n"), 4, 0, set.Put()), kParseFailed,
               "Error parsing. Message: EventsMsgSet: unexpected tag = " + std::to_string(tag::EventTag) +
                   " with value x.");
  EXPECT_FALSE(set);
}

}  // namespace
}  // namespace vtfc4
