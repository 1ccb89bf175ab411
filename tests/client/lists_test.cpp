// Walking lists with items() and answers with responses(): lists of records, lists whose entries
// are OR choices, line lists, lists of texts and of enumerations, absent and empty lists.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "client/client_fixture.h"

namespace vtfc4 {
namespace {

std::string Customer(const std::string& name) {
  return "<CustomerRet><ListID>" + name + "-1</ListID><Name>" + name + "</Name><FullName>" + name +
         "</FullName></CustomerRet>";
}

TEST(ClientLists, RecordsOfAListInOrder) {
  auto answer = Answer("<CustomerQueryRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">" +
                       Customer("Ames") + Customer("B\xC3\xA9ranger") + Customer("Chen") + "</CustomerQueryRs>\r\n");
  auto list = responses(answer).at(0).as<ICustomerRetList>();
  ASSERT_TRUE(list);
  std::vector<std::string> names;
  for (auto& customer : items(list)) {
    static_assert(std::is_same_v<std::decay_t<decltype(customer)>, ComPtr<ICustomerRet>>);
    names.push_back(get(customer, &ICustomerRet::get_FullName).value_or("?"));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Ames", "B\xC3\xA9ranger", "Chen"}));
  const auto range = items(list.Get());  // a plain pointer does as well
  EXPECT_EQ(range.size(), 3);
  EXPECT_EQ(std::distance(range.begin(), range.end()), 3);
  EXPECT_EQ(get(range[2], &ICustomerRet::get_Name), "Chen");
  EXPECT_EQ(Thrown([&] { range.at(3); }).hr(), DISP_E_BADINDEX);
  EXPECT_EQ(Thrown([&] { range.at(-1); }).hr(), DISP_E_BADINDEX);
}

TEST(ClientLists, OrEntriesAndTheLineListsOfAGroup) {
  auto answer = Answer(
      "<InvoiceQueryRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">"
      "<InvoiceRet><TxnID>1C-1</TxnID><CustomerRef><FullName>Ames</FullName></CustomerRef><TxnDate>2024-03-01</TxnDate>"
      "<InvoiceLineRet><TxnLineID>L-1</TxnLineID><Desc>Machine service</Desc><Amount>240.00</Amount></InvoiceLineRet>"
      "<InvoiceLineGroupRet><TxnLineID>G-1</TxnLineID><ItemGroupRef><FullName>Kit</FullName></ItemGroupRef>"
      "<Desc>Descaling kit</Desc><TotalAmount>35.50</TotalAmount>"
      "<InvoiceLineRet><TxnLineID>G-1a</TxnLineID><Desc>Descaler</Desc><Amount>20.50</Amount></InvoiceLineRet>"
      "<InvoiceLineRet><TxnLineID>G-1b</TxnLineID><Desc>Gasket</Desc><Amount>15.00</Amount></InvoiceLineRet>"
      "</InvoiceLineGroupRet>"
      "<InvoiceLineRet><TxnLineID>L-2</TxnLineID><Desc>Travel</Desc><Amount>12.00</Amount></InvoiceLineRet>"
      "</InvoiceRet></InvoiceQueryRs>\r\n");
  auto invoice = items(responses(answer).at(0).as<IInvoiceRetList>()).at(0);
  ASSERT_TRUE(invoice);
  std::vector<std::string> seen;
  for (const auto& entry : items(get(invoice, &IInvoiceRet::get_ORInvoiceLineRetList))) {
    static_assert(std::is_same_v<std::decay_t<decltype(entry)>, ComPtr<IORInvoiceLineRet>>);
    if (choice(entry) == orilrInvoiceLineRet) {
      auto line = get(entry, &IORInvoiceLineRet::get_InvoiceLineRet);
      EXPECT_FALSE(get(entry, &IORInvoiceLineRet::get_InvoiceLineGroupRet)) << "the choice not taken is absent";
      seen.push_back(get(line, &IInvoiceLineRet::get_Desc).value_or("?") + " " +
                     std::to_string(get(line, &IInvoiceLineRet::get_Amount).value_or(-1)));
    } else {
      ASSERT_EQ(choice(entry), orilrInvoiceLineGroupRet);
      auto group = get(entry, &IORInvoiceLineRet::get_InvoiceLineGroupRet);
      seen.push_back("group " + get(group, &IInvoiceLineGroupRet::get_Desc).value_or("?"));
      for (auto& line : items(get(group, &IInvoiceLineGroupRet::get_InvoiceLineRetList)))
        seen.push_back("  " + get(line, &IInvoiceLineRet::get_TxnLineID).value_or("?"));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Machine service 240.000000", "group Descaling kit", "  G-1a", "  G-1b",
                                            "Travel 12.000000"}));
}

TEST(ClientLists, TextsEnumerationsAndAbsentLists) {
  auto manager = LooseManager();
  ComPtr<IMsgSetRequest> rq;
  check(manager->CreateMsgSetRequest(toBstr("US").Get(), 4, 0, rq.Put()));
  auto query = append(rq, &IMsgSetRequest::AppendCustomerQueryRq);
  auto ids = get(get(query, &ICustomerQuery::get_ORCustomerListQuery), &IORCustomerListQuery::get_FullNameList);
  EXPECT_TRUE(items(ids).empty()) << "a new request list is empty";
  add(ids, "Ames");
  add(ids, std::string("\xE6\x9D\xB1\xE4\xBA\xAC Trading"));
  add(ids, u"Zo\u00EB");
  std::vector<std::string> texts;
  for (auto& text : items(ids)) texts.push_back(text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Ames", "\xE6\x9D\xB1\xE4\xBA\xAC Trading", "Zo\xC3\xAB"}));

  // A list of enumerations, by value and by text.
  auto accounts = append(rq, &IMsgSetRequest::AppendAccountQueryRq);
  auto types = get(get(get(accounts, &IAccountQuery::get_ORAccountListQuery), &IORAccountListQuery::get_AccountListFilter),
                   &IAccountListFilter::get_AccountTypeList);
  add(types, atBank);
  add(types, "Income");
  std::vector<ENAccountType> kinds;
  for (auto kind : items(types)) kinds.push_back(kind);
  EXPECT_EQ(kinds, (std::vector<ENAccountType>{atBank, atIncome}));
  EXPECT_EQ(Thrown([&] { add(types, "Nothing"); }).hr(), VTFC4_HR(0x80040302));

  // An answer without records, and a record without a list that may be absent.
  auto none = Answer(
      "<CustomerQueryRs requestID=\"0\" statusCode=\"1\" statusSeverity=\"Info\" statusMessage=\"No match\"/>\r\n"
      "<InvoiceQueryRs requestID=\"1\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">"
      "<InvoiceRet><TxnID>1C-1</TxnID></InvoiceRet></InvoiceQueryRs>\r\n");
  auto answers = responses(none);
  ASSERT_EQ(answers.size(), 2);
  EXPECT_FALSE(answers.at(0).detail());
  EXPECT_TRUE(items(answers.at(0).as<ICustomerRetList>()).empty()) << "an absent list has no entries";
  auto lines = get(items(answers.at(1).as<IInvoiceRetList>()).at(0), &IInvoiceRet::get_ORInvoiceLineRetList);
  int count = 0;
  for (auto& line : items(lines)) count += line ? 1 : 100;
  EXPECT_EQ(count, 0);
}

TEST(ClientLists, ResponsesWithTheirStatus) {
  auto answer = Answer(
      "<CustomerAddRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">" +
      Customer("Ames") + "</CustomerAddRs>\r\n"
      "<CustomerAddRs requestID=\"1\" statusCode=\"3100\" statusSeverity=\"Error\" "
      "statusMessage=\"The name &quot;Ames&quot; of the list element is already in use.\"/>\r\n"
      "<CustomerQueryRs requestID=\"2\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"Status OK\">" +
      Customer("Ames") + "</CustomerQueryRs>\r\n");
  struct Expected {
    LONG code;
    std::string severity, message, type;
    bool record, list;
  };
  const std::vector<Expected> expected = {
      {0, "Info", "Status OK", "CustomerAddRs", true, false},
      {3100, "Error", "The name \"Ames\" of the list element is already in use.", "CustomerAddRs", false, false},
      {0, "Info", "Status OK", "CustomerQueryRs", false, true},
  };
  size_t i = 0;
  for (auto& r : responses(answer)) {
    ASSERT_LT(i, expected.size());
    SCOPED_TRACE(i);
    EXPECT_EQ(r.statusCode(), expected[i].code);
    EXPECT_EQ(r.ok(), expected[i].code == 0);
    EXPECT_EQ(r.statusSeverity(), expected[i].severity);
    EXPECT_EQ(r.statusMessage(), expected[i].message);
    EXPECT_EQ(r.type(), expected[i].type);
    EXPECT_EQ(static_cast<bool>(r.as<ICustomerRet>()), expected[i].record);
    EXPECT_EQ(static_cast<bool>(r.as<ICustomerRetList>()), expected[i].list);
    ++i;
  }
  EXPECT_EQ(i, expected.size());
  EXPECT_EQ(get(responses(answer).at(0).as<ICustomerRet>(), &ICustomerRet::get_ListID), "Ames-1");
}

}  // namespace
}  // namespace vtfc4
