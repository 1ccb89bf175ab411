// Enumerated values and enum lists: every generated class against the project's word table,
// and the behaviour shared by all of them, told on a few.
#include <gtest/gtest.h>

#include "support.h"

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "src/com/text.h"
#include "src/core/enums.h"
#include "src/core/xml_builder.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {

namespace {


// The constants of the public header are the documented ones.
static_assert(sizeof(ENAccountType) == 4);
static_assert(atAccountsPayable == 0 && atBank == 2 && atOtherIncome == 15);
static_assert(jrt == 6 && jrtItemProfitability == 1);
static_assert(dtFLOATTYPE == 13 && rttaxCode == 25 && ldtTaxCode == 31 && tvtVendorCredit == 14);
static_assert(omDontCare == 2 && ctRemoteVTOE == 4 && rlRelease == 3 && pdptNotNeeded == 3);
static_assert(roeStop == 0 && roeContinue == 1 && roeRollback == 2 && rrdIncludeNone == 1);
static_assert(orila1NA == -1 && orilaInvoiceLineGroupAdd == 1 && orirItemGroupRet == 11);
static_assert(rtNA == -1 && rtCustomerAddRq == 1317 && rtCustomerAddRs == 1016 &&
              rtVTXMLEvents == 1180 && rtThisIsNotTheLast_MoreToComeInTheFuture == 1384);
static_assert(otNA == -1 && otCustomerAdd == 277 && otENAccountTypeList == 102 &&
              otThisIsNotTheLast_MoreToComeInTheFuture == 845);

template <class I>
ComPtr<I> Query(ObjectRoot* made, const IID& iid) {
  ComPtr<I> p;
  EXPECT_EQ(made->QueryRoot(iid, reinterpret_cast<void**>(p.Put())), S_OK);
  made->ReleaseRoot();
  return p;
}


struct TableRow {
  std::string prefix;
  std::vector<std::string> words;
};

// The project's own copy of the word tables, read as a client of the files would.
std::map<std::string, TableRow> ReadWordTables() {
  std::ifstream in(VTFC4_SOURCE_DIR "/src/catalogue/enums.tsv");
  std::map<std::string, TableRow> tables;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) cells.push_back(cell);
    if (cells.size() == 4) cells.emplace_back();  // the one empty word
    TableRow& row = tables[cells[0]];
    row.prefix = cells[1];
    EXPECT_EQ(std::stoi(cells[2]), static_cast<int>(row.words.size())) << line;
    row.words.push_back(cells[4]);
  }
  return tables;
}

// Checks one value class against its row of the word table, through its own interface.
template <class Interface, class Enum>
void CheckValueClass(EnumId id, const TableRow& row) {
  const EnumTable& t = EnumTableOf(id);
  SCOPED_TRACE(t.name);
  ASSERT_EQ(t.count, static_cast<int32_t>(row.words.size()));
  EXPECT_EQ(t.words[t.count], nullptr);
  auto v = Query<Interface>(NewEnumValue(id), iid_of<Interface>());
  ASSERT_TRUE(v);
  for (int32_t i = 0; i < t.count; ++i) {
    const std::string& word = row.words[static_cast<size_t>(i)];
    ASSERT_EQ(v->SetValue(static_cast<Enum>(i)), S_OK) << i;
    Bstr text;
    ASSERT_EQ(v->GetAsString(text.Put()), S_OK);
    EXPECT_EQ(Narrow(text), word) << i;
    ASSERT_EQ(v->SetAsString(Wide(word).Get()), S_OK) << word;
    Enum back{};
    ASSERT_EQ(v->GetValue(&back), S_OK);
    EXPECT_EQ(back, static_cast<Enum>(i)) << word;
  }
  EXPECT_EQ(v->SetValue(static_cast<Enum>(t.count)), kEnumOutOfRange);
  EXPECT_EQ(v->SetValue(static_cast<Enum>(-1)), kEnumOutOfRange);
}

template <class Interface, class Enum>
void CheckListClass(EnumId id, const TableRow& row) {
  const EnumTable& t = EnumTableOf(id);
  SCOPED_TRACE(t.name);
  auto l = Query<Interface>(NewEnumList(id), iid_of<Interface>());
  ASSERT_TRUE(l);
  const int32_t last = static_cast<int32_t>(row.words.size()) - 1;
  EXPECT_EQ(l->Add(static_cast<Enum>(last)), S_OK);
  EXPECT_EQ(l->Add(static_cast<Enum>(last + 1)), kEnumOutOfRange);
  Bstr text;
  ASSERT_EQ(l->GetAtAsString(0, text.Put()), S_OK);
  EXPECT_EQ(Narrow(text), row.words.back());
  ComPtr<IObjectType> type;
  ASSERT_EQ(l->get_Type(type.Put()), S_OK);
  Bstr typeName;
  type->GetAsString(typeName.Put());
  EXPECT_EQ(Narrow(typeName), std::string(t.name) + "List");
}

TEST(Enums, EveryClassSpeaksItsWordTable) {
  const auto tables = ReadWordTables();
  ASSERT_EQ(tables.size(), 102u);
  for (const auto& [name, row] : tables) ASSERT_NE(FindEnumTable(name), nullptr) << name;
  int valueClasses = 0, listClasses = 0;
#define VTFC4_ENUM_VALUE_CLASS(Name) \
  ++valueClasses;                    \
  CheckValueClass<IVT##Name##Type, Name>(EnumId::Name, tables.at(#Name));
#define VTFC4_ENUM_LIST_CLASS(Name) \
  ++listClasses;                    \
  CheckListClass<I##Name##List, Name>(EnumId::Name, tables.at(#Name));
#include "vtfc4/gen/enum_classes.inc"
#undef VTFC4_ENUM_VALUE_CLASS
#undef VTFC4_ENUM_LIST_CLASS
  EXPECT_EQ(valueClasses, 94);
  EXPECT_EQ(listClasses, 16);
}

// The states, reads and refusals every value class shares are in values_test.cpp.
ComPtr<IVTENAccountTypeType> NewAccountType() {
  return Query<IVTENAccountTypeType>(NewEnumValue(EnumId::ENAccountType), IID_IVTENAccountTypeType);
}

TEST(Enums, WordsAsWrittenAndParsed) {
  auto account = NewAccountType();
  auto* raw = dynamic_cast<BasicPropertyType*>(account.Get());
  account->SetValue(atBank);
  EXPECT_EQ(XmlText(*raw), "Bank");
  EXPECT_EQ(account->SetAsString(nullptr), kEnumOutOfRange);
  // A word the table does not know, from a response: kept, readable as text, written back.
  raw->SetXMLValue("AccountsOfTheFuture");
  ENAccountType out;
  EXPECT_EQ(account->GetValue(&out), kEnumOutOfRange);
  Bstr text;
  ASSERT_EQ(account->GetAsString(text.Put()), S_OK);
  EXPECT_EQ(Narrow(text), "AccountsOfTheFuture");
  EXPECT_EQ(XmlText(*raw), "AccountsOfTheFuture");

  // The job report type's last value has the empty word: an empty element, still set.
  auto job = Query<IVTENJobReportTypeType>(NewEnumValue(EnumId::ENJobReportType),
                                           IID_IVTENJobReportTypeType);
  ASSERT_EQ(job->SetValue(jrt), S_OK);
  XMLBuilder b;
  std::string scratch;
  std::string_view view;
  ASSERT_TRUE(dynamic_cast<BasicPropertyType*>(job.Get())->XMLText(scratch, view));
  b.WriteElement("JobReportType", view);
  EXPECT_EQ(b.Output(), "<JobReportType/>\r\n");
  ENJobReportType back;
  ASSERT_EQ(job->GetValue(&back), S_OK);
  EXPECT_EQ(back, jrt);
}

TEST(Enums, Lists) {
  auto list = Query<IENAccountTypeList>(NewEnumList(EnumId::ENAccountType), IID_IENAccountTypeList);
  auto* core = dynamic_cast<EnumListCore*>(list.Get());
  EXPECT_EQ(list->Add(atBank), S_OK);
  EXPECT_EQ(list->AddAsString(Bstr(u"Income").Get()), S_OK);
  EXPECT_EQ(list->AddAsString(Bstr(u"income").Get()), kEnumOutOfRange);
  EXPECT_EQ(list->Add(static_cast<ENAccountType>(-1)), kEnumOutOfRange);
  XMLBuilder b;
  core->Build("AccountType", b);
  EXPECT_EQ(b.Output(), "<AccountType>Bank</AccountType>\r\n<AccountType>Income</AccountType>\r\n");

  // Parsed words: known ones become values, unknown ones are dropped.
  const std::string words[] = {"Equity", "Nonsense", "OtherAsset"};
  for (const auto& w : words) core->HandleElement(tag::AccountType, &w);
  LONG count = 0;
  ASSERT_EQ(list->get_Count(&count), S_OK);
  EXPECT_EQ(count, 4);
  ENAccountType at;
  ASSERT_EQ(list->GetAt(3, &at), S_OK);
  EXPECT_EQ(at, atOtherAsset);
  Bstr text;
  ASSERT_EQ(list->GetAtAsString(2, text.Put()), S_OK);
  EXPECT_EQ(Narrow(text), "Equity");
  EXPECT_EQ(list->GetAt(-1, &at), kOutOfRange);
  EXPECT_EQ(list->GetAt(4, &at), kOutOfRange);
  EXPECT_EQ(list->GetAtAsString(4, text.Put()), kOutOfRange);

  // Verification: a list of words is always valid through COM; required and empty fails.
  Bstr message;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(list->Verify(message.Put(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  auto empty = Query<IENTxnDelTypeList>(NewEnumList(EnumId::ENTxnDelType), IID_IENTxnDelTypeList);
  auto* emptyCore = dynamic_cast<EnumListCore*>(empty.Get());
  EXPECT_EQ(VerifyReport(emptyCore, nullptr, false), "");
  EXPECT_EQ(VerifyReport(emptyCore, nullptr), "List is empty \r\n");

  ExpectObjectType(list.Get(), otENAccountTypeList, u"ENAccountTypeList");
}

TEST(Enums, ListHandlerTexts) {
  auto list = Query<IENListDelTypeList>(NewEnumList(EnumId::ENListDelType), IID_IENListDelTypeList);
  auto* core = dynamic_cast<EnumListCore*>(list.Get());
  const std::string v = "x";
  EXPECT_EQ(HandlerMessage([&] { core->HandleAggregate(7); }),
            "CENListDelTypeList::HandleAggregate() unexpected agg tag id 7.");
  EXPECT_EQ(HandlerMessage([&] { core->HandleAttribute(9, nullptr); }),
            "unexpected tag = 9 with value Unknown value.");
  EXPECT_EQ(HandlerMessage([&] { core->HandleAttribute(9, &v); }), "unexpected tag = 9 with value x.");
}

}  // namespace
}  // namespace vtfc4
