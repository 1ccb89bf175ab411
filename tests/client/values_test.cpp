// Members through get() and set(): every kind of value on request objects and on answers read
// from text, absent against empty, and the errors the value objects raise.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "client/client_fixture.h"

namespace vtfc4 {
namespace {

using std::chrono::hours;
using std::chrono::minutes;

const std::string kBeyondAscii = "Zo\xC3\xAB \xC3\x85str\xC3\xB6m \xE2\x80\x94 \xE6\x9D\xB1\xE4\xBA\xAC";  // Zoë Åström — 東京

class ClientValues : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = LooseManager();
    set_ = NewSet("US");
  }
  // A request set through the interface itself, its failure told by check().
  ComPtr<IMsgSetRequest> NewSet(const char* country) {
    Utf8CodePage utf8;
    ComPtr<IMsgSetRequest> set;
    check(manager_->CreateMsgSetRequest(toBstr(country).Get(), 4, 0, set.Put()), "CreateMsgSetRequest");
    return set;
  }
  ComPtr<IVTSessionManager> manager_;
  ComPtr<IMsgSetRequest> set_;
};

TEST_F(ClientValues, EveryKindOfValueSetAndReadBack) {
  auto add = append(set_, &IMsgSetRequest::AppendCustomerAddRq);
  set(add, &ICustomerAdd::get_Name, kBeyondAscii);
  set(add, &ICustomerAdd::get_Phone, u"555\u20110100");  // UTF-16 too
  set(add, &ICustomerAdd::get_IsActive, false);
  set(add, &ICustomerAdd::get_OpenBalance, 1234.5);
  set(add, &ICustomerAdd::get_CreditLimit, "2500.75");  // a decimal's exact text
  set(add, &ICustomerAdd::get_OpenBalanceDate, Date{2024, 2, 29});
  set(add, &ICustomerAdd::get_JobStartDate, sys_days(Date{2024, 3, 1}.toDays()));
  set(add, &ICustomerAdd::get_JobStatus, jsInProgress);
  set(get(add, &ICustomerAdd::get_BillAddress), &IAddress::get_City, "Lyon");

  EXPECT_EQ(get(add, &ICustomerAdd::get_Name), kBeyondAscii);
  EXPECT_EQ(get(add, &ICustomerAdd::get_Phone), "555\xE2\x80\x91" "0100");
  EXPECT_EQ(get(add, &ICustomerAdd::get_IsActive), false);
  EXPECT_EQ(get(add, &ICustomerAdd::get_OpenBalance), 1234.5);
  EXPECT_EQ(get(add, &ICustomerAdd::get_CreditLimit), 2500.75);
  EXPECT_EQ(get(add, &ICustomerAdd::get_OpenBalanceDate), (Date{2024, 2, 29}));
  EXPECT_EQ(get(add, &ICustomerAdd::get_JobStartDate), (Date{2024, 3, 1}));
  EXPECT_EQ(get(add, &ICustomerAdd::get_JobStatus), jsInProgress);
  EXPECT_EQ(get(get(add, &ICustomerAdd::get_BillAddress), &IAddress::get_City), "Lyon");

  // What the set writes carries all of it, the text beyond ASCII included.
  Bstr xml;
  {
    Utf8CodePage utf8;
    check(set_->ToXMLString(xml.Put()));
  }
  const std::string written = toUtf8(xml);
  EXPECT_NE(written.find("<Name>Zo&#235; &#197;str&#246;m &#8212; &#26481;&#20140;</Name>"), std::string::npos) << written;
  EXPECT_NE(written.find("<CreditLimit>2500.75</CreditLimit>"), std::string::npos) << written;
  EXPECT_NE(written.find("<JobStatus>InProgress</JobStatus>"), std::string::npos) << written;

  // An enumeration by its text, an integer, an interval.
  auto query = append(set_, &IMsgSetRequest::AppendCustomerQueryRq);
  auto filter = get(get(query, &ICustomerQuery::get_ORCustomerListQuery), &IORCustomerListQuery::get_CustomerListFilter);
  set(filter, &ICustomerListFilter::get_ActiveStatus, "InactiveOnly");
  EXPECT_EQ(get(filter, &ICustomerListFilter::get_ActiveStatus), asInactiveOnly);
  set(filter, &ICustomerListFilter::get_MaxReturned, 25);
  EXPECT_EQ(get(filter, &ICustomerListFilter::get_MaxReturned), 25);
  auto time = append(set_, &IMsgSetRequest::AppendTimeTrackingAddRq);
  set(time, &ITimeTrackingAdd::get_Duration, hours(1) + minutes(30) + std::chrono::seconds(5));
  EXPECT_EQ(get(time, &ITimeTrackingAdd::get_Duration), std::chrono::seconds(5405));
  set(time, &ITimeTrackingAdd::get_Duration, std::chrono::milliseconds(90'000));
  EXPECT_EQ(get(time, &ITimeTrackingAdd::get_Duration), std::chrono::seconds(90));
}

TEST_F(ClientValues, TextTheClientsCodePageCannotHoldSurvives) {
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
  auto add = append(set_, &IMsgSetRequest::AppendCustomerAddRq);
  // Straight through the interface, the library keeps text in the thread's code page...
  auto name = member(add, &ICustomerAdd::get_Name);
  ASSERT_EQ(name->SetValue(toBstr("\xE6\x9D\xB1\xE4\xBA\xAC").Get()), S_OK);
  Bstr back;
  ASSERT_EQ(name->GetValue(back.Put()), S_OK);
  EXPECT_EQ(toUtf8(back), "??") << "Windows-1252 has no such characters";
  // ...so the layer makes it UTF-8 for each of its calls, and gives the client's back after.
  set(add, &ICustomerAdd::get_Name, kBeyondAscii);
  EXPECT_EQ(get(add, &ICustomerAdd::get_Name), kBeyondAscii);
  EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252");
}

TEST_F(ClientValues, DateTimesKeepTheirZone) {
  auto filter = get(get(append(set_, &IMsgSetRequest::AppendCustomerQueryRq), &ICustomerQuery::get_ORCustomerListQuery),
                    &IORCustomerListQuery::get_CustomerListFilter);
  struct Case {
    const char* name;
    DateTime value;
    const char* written;
  };
  const Case cases[] = {
      {"India", {{2024, 3, 1}, 10, 15, 0, hours(5) + minutes(30)}, "2024-03-01T10:15:00+05:30"},
      {"Pacific", {{2024, 12, 31}, 23, 59, 59, -hours(8)}, "2024-12-31T23:59:59-08:00"},
      {"Newfoundland", {{2024, 7, 4}, 6, 0, 0, -(hours(3) + minutes(30))}, "2024-07-04T06:00:00-03:30"},
      {"no zone", {{2024, 1, 2}, 8, 0, 0, {}}, "2024-01-02T08:00:00<"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set(filter, &ICustomerListFilter::get_FromModifiedDate, c.value);
    EXPECT_EQ(get(filter, &ICustomerListFilter::get_FromModifiedDate), c.value);
    Bstr xml;
    check(set_->ToXMLString(xml.Put()));
    EXPECT_NE(toUtf8(xml).find(std::string("<FromModifiedDate>") + c.written), std::string::npos) << toUtf8(xml);
  }
  // A zone outside the valid range is the value object's refusal.
  const Error e = Thrown([&] {
    set(filter, &ICustomerListFilter::get_ToModifiedDate, DateTime{{2024, 1, 1}, 0, 0, 0, hours(13)});
  });
  EXPECT_EQ(e.hr(), VTFC4_HR(0x80040305));
}

TEST_F(ClientValues, RefusalsThrowWithTheirErrorObject) {
  auto add = append(set_, &IMsgSetRequest::AppendCustomerAddRq);
  // Name holds at most 41 characters.
  const Error tooLong = Thrown([&] { set(add, &ICustomerAdd::get_Name, std::string(42, 'x')); });
  EXPECT_EQ(tooLong.hr(), VTFC4_HR(0x80040304));
  EXPECT_EQ(tooLong.description(), "String too long.");
  EXPECT_NE(std::string(tooLong.what()).find("String too long. (0x80040304)"), std::string::npos) << tooLong.what();
  EXPECT_EQ(get(add, &ICustomerAdd::get_Name), std::nullopt) << "the refused value was not kept";
  set(add, &ICustomerAdd::get_Name, std::string(41, 'x'));  // the limit itself is taken
  // 41 characters beyond ASCII are 41 UTF-16 units, however many UTF-8 bytes.
  std::string wide;
  for (int i = 0; i < 41; ++i) wide += "\xC3\xA5";
  set(add, &ICustomerAdd::get_Name, wide);
  EXPECT_EQ(get(add, &ICustomerAdd::get_Name), wide);

  const Error country = Thrown([&] { NewSet("XX"); });
  EXPECT_EQ(country.hr(), VTFC4_HR(0x80040312));
  EXPECT_EQ(country.description(), "The Country value is invalid.");

  EXPECT_EQ(Thrown([&] { set(add, &ICustomerAdd::get_OpenBalance, "twelve"); }).hr(), VTFC4_HR(0x80040305));
  EXPECT_EQ(Thrown([&] { set(add, &ICustomerAdd::get_OpenBalanceDate, Date{2023, 2, 29}); }).hr(), E_INVALIDARG);
  auto filter = get(get(append(set_, &IMsgSetRequest::AppendCustomerQueryRq), &ICustomerQuery::get_ORCustomerListQuery),
                    &IORCustomerListQuery::get_CustomerListFilter);
  EXPECT_EQ(Thrown([&] { set(filter, &ICustomerListFilter::get_MaxReturned, 3'000'000'000LL); }).hr(), E_INVALIDARG);
  EXPECT_EQ(Thrown([&] { set(filter, &ICustomerListFilter::get_ActiveStatus, "Sometimes"); }).hr(), VTFC4_HR(0x80040302));

  // check() tells a failure by the error object the call left, and takes it.
  auto leave = [](const char16_t* description) {
    ComPtr<ICreateErrorInfo> made;
    ASSERT_EQ(CreateErrorInfo(made.Put()), S_OK);
    made->SetDescription(const_cast<LPOLESTR>(description));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(made.As(&info), S_OK);
    SetErrorInfo(0, info.Get());
  };
  leave(u"the client's own failure \u2014 described");
  const Error own = Thrown([&] { check(E_ABORT, "mine"); });
  EXPECT_EQ(own.hr(), E_ABORT);
  EXPECT_EQ(own.description(), "the client's own failure \xE2\x80\x94 described");
  EXPECT_STREQ(own.what(), "mine: the client's own failure \xE2\x80\x94 described (0x80004004)");
  EXPECT_EQ(check(S_FALSE), S_FALSE) << "success codes pass";
  // An error object left over from a call of the client's own does not describe the layer's
  // next failure.
  leave(u"stale");
  EXPECT_EQ(Thrown([&] { set(add, &ICustomerAdd::get_Name, std::string(50, 'y')); }).description(), "String too long.");
  ComPtr<IErrorInfo> left;
  EXPECT_EQ(GetErrorInfo(0, left.Put()), S_FALSE) << "a thrown Error takes the thread's error object";
}

TEST_F(ClientValues, AbsentUnsetEmptyAndSet) {
  auto answer = Answer(
      "<CustomerQueryRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">"
      "<CustomerRet><ListID>80000001-1700000000</ListID><Name>Ames</Name><FullName>Ames</FullName>"
      "<Phone></Phone><Email/><Balance></Balance></CustomerRet>"
      "</CustomerQueryRs>\r\n");
  auto customer = items(responses(answer).at(0).as<ICustomerRetList>()).at(0);
  ASSERT_TRUE(customer);
  struct Case {
    const char* name;
    HRESULT (ICustomerRet::*member)(IVTStringType**);
    Presence state;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {"Name", &ICustomerRet::get_Name, Presence::set, "Ames"},
      {"Phone", &ICustomerRet::get_Phone, Presence::set, ""},  // an element without text
      {"Email", &ICustomerRet::get_Email, Presence::set, ""},
      {"Fax", &ICustomerRet::get_Fax, Presence::absent, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(presence(customer, c.member), c.state);
    EXPECT_EQ(get(customer, c.member), c.text);
    EXPECT_EQ(text(member(customer, c.member)), c.text);
  }
  // An amount without text has no value (the interface itself reads it as 0); an absent
  // aggregate is a null pointer, and members of it are absent in turn.
  EXPECT_EQ(presence(customer, &ICustomerRet::get_Balance), Presence::set);
  EXPECT_EQ(get(customer, &ICustomerRet::get_Balance), std::nullopt);
  EXPECT_FALSE(get(customer, &ICustomerRet::get_BillAddress));
  EXPECT_EQ(get(get(customer, &ICustomerRet::get_BillAddress), &IAddress::get_City), std::nullopt);
  EXPECT_EQ(get(customer, &ICustomerRet::get_TimeCreated), std::nullopt);

  // A request object's member exists but is not set until given a value; Unset takes it back.
  auto add = append(set_, &IMsgSetRequest::AppendCustomerAddRq);
  EXPECT_EQ(presence(add, &ICustomerAdd::get_Phone), Presence::unset);
  EXPECT_EQ(get(add, &ICustomerAdd::get_Phone), std::nullopt);
  set(add, &ICustomerAdd::get_Phone, "");
  EXPECT_EQ(presence(add, &ICustomerAdd::get_Phone), Presence::set);
  EXPECT_EQ(get(add, &ICustomerAdd::get_Phone), "");
  // SetEmpty asks for an empty element (a modification that clears the field): empty text, and
  // no value for a number.
  check(member(add, &ICustomerAdd::get_Phone)->SetEmpty());
  EXPECT_EQ(presence(add, &ICustomerAdd::get_Phone), Presence::empty);
  EXPECT_EQ(get(add, &ICustomerAdd::get_Phone), "");
  set(add, &ICustomerAdd::get_CreditLimit, 10);
  check(member(add, &ICustomerAdd::get_CreditLimit)->SetEmpty());
  EXPECT_EQ(presence(add, &ICustomerAdd::get_CreditLimit), Presence::empty);
  EXPECT_EQ(get(add, &ICustomerAdd::get_CreditLimit), std::nullopt);
  check(member(add, &ICustomerAdd::get_Phone)->Unset());
  EXPECT_EQ(get(add, &ICustomerAdd::get_Phone), std::nullopt);
}

TEST_F(ClientValues, AnswerValuesOfEveryKind) {
  auto answer = Answer(
      "<InvoiceQueryRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">"
      "<InvoiceRet><TxnID>1C-1700000000</TxnID><TimeCreated>2024-03-01T10:15:00-08:00</TimeCreated>"
      "<TimeModified>2024-03-02T09:00:00</TimeModified><EditSequence>1700000000</EditSequence>"
      "<TxnNumber>7</TxnNumber><CustomerRef><FullName>Zo\xC3\xAB</FullName></CustomerRef>"
      "<TxnDate>2024-03-01</TxnDate><RefNumber>INV-1</RefNumber><IsPending>true</IsPending>"
      "<Subtotal>275.50</Subtotal><SalesTaxPercentage>7.25</SalesTaxPercentage><IsPaid>false</IsPaid>"
      "</InvoiceRet></InvoiceQueryRs>\r\n");
  auto invoice = responses(answer).at(0).as<IInvoiceRetList>();
  ASSERT_TRUE(invoice);
  auto inv = items(invoice).at(0);
  EXPECT_EQ(get(inv, &IInvoiceRet::get_TxnID), "1C-1700000000");
  EXPECT_EQ(get(inv, &IInvoiceRet::get_TimeCreated), (DateTime{{2024, 3, 1}, 10, 15, 0, -hours(8)}));
  EXPECT_EQ(get(inv, &IInvoiceRet::get_TimeModified), (DateTime{{2024, 3, 2}, 9, 0, 0, {}}));
  EXPECT_EQ(get(inv, &IInvoiceRet::get_TxnNumber), 7);
  EXPECT_EQ(get(get(inv, &IInvoiceRet::get_CustomerRef), &IVTBaseRef::get_FullName), "Zo\xC3\xAB");
  EXPECT_EQ(get(get(inv, &IInvoiceRet::get_CustomerRef), &IVTBaseRef::get_ListID), std::nullopt);
  EXPECT_EQ(get(inv, &IInvoiceRet::get_TxnDate), (Date{2024, 3, 1}));
  EXPECT_EQ(get(inv, &IInvoiceRet::get_IsPending), true);
  EXPECT_EQ(get(inv, &IInvoiceRet::get_IsPaid), false);
  EXPECT_EQ(get(inv, &IInvoiceRet::get_Subtotal), 275.5);
  EXPECT_EQ(get(inv, &IInvoiceRet::get_SalesTaxPercentage), 7.25);
  EXPECT_EQ(get(inv, &IInvoiceRet::get_DueDate), std::nullopt);
  const auto created = get(inv, &IInvoiceRet::get_TimeCreated);
  ASSERT_TRUE(created && created->toUtc());
  EXPECT_EQ(DateTime::fromUtc(*created->toUtc(), std::chrono::minutes(0)), (DateTime{{2024, 3, 1}, 18, 15, 0, minutes(0)}));
}

}  // namespace
}  // namespace vtfc4
