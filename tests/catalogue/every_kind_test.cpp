// Every request kind and every answer kind of the catalogue, driven from the catalogue's own
// tables: a request of each kind filled in every member its edition has, verified, written,
// read back and written again to the same bytes; an answer of each kind with every member of
// its record read into the typed objects and written back to the same bytes.
#include <gtest/gtest.h>

#include "support.h"

#include <fstream>
#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "src/catalogue/engine.h"
#include "src/core/enums.h"
#include "src/core/xml_builder.h"
#include "src/msgset/msgset_request.h"
#include "src/msgset/msgset_response.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {
namespace {

// The rows of one of the project's tab-separated tables.
std::vector<std::map<std::string, std::string>> Table(const std::string& relative) {
  std::ifstream in(std::string(VTFC4_SOURCE_DIR) + "/" + relative);
  std::string line;
  std::getline(in, line);
  std::vector<std::string> header;
  std::istringstream h(line);
  for (std::string cell; std::getline(h, cell, '\t');) header.push_back(cell);
  std::vector<std::map<std::string, std::string>> rows;
  while (std::getline(in, line)) {
    std::istringstream r(line);
    std::map<std::string, std::string> row;
    size_t i = 0;
    for (std::string cell; std::getline(r, cell, '\t') && i < header.size();) row[header[i++]] = cell;
    rows.push_back(row);
  }
  return rows;
}

bool InEdition(const MemberRule& rule, int32_t country) {
  if (rule.country == kNotCA) return country != kCountryCA;
  if (rule.country == kCAOnly) return country == kCountryCA;
  return true;
}

const char* FirstWord(const MemberRule& rule) { return EnumTableOf(static_cast<EnumId>(rule.ref)).words[0]; }

// ---- Requests: every member a client may set, set.

// Fills `object`; `used` holds the elements already written into the element the object writes
// in (its own, or its parent's for a choice or group), which two choices may share (a line's
// ORRate and ORRatePriceLevel both offer Rate): a second one takes another alternative.
void Fill(CatalogueBase& object, int depth, std::set<int>& used);

template <class I>
ComPtr<I> MemberOf(CatalogueBase& object, size_t i) {
  ComPtr<I> member;
  EXPECT_EQ(object.GetMemberCom(i, iid_of<I>(), member.PutVoid()), S_OK) << object.Info().name << " " << i;
  return member;
}

void FillMember(CatalogueBase& object, size_t i, int depth, std::set<int>& used) {
  const MemberRule& rule = object.Class().rules[i];
  const int tag = object.Info().members[i].tag;
  const std::string text = "x";
  switch (rule.type) {
    case ValueType::kString:
      EXPECT_EQ(MemberOf<IVTStringType>(object, i)->SetValue(Bstr(u"x").Get()), S_OK);
      break;
    case ValueType::kInt:
      EXPECT_EQ(MemberOf<IVTIntType>(object, i)->SetValue(rule.first > 1 ? rule.first : 1), S_OK);
      break;
    case ValueType::kAmount: EXPECT_EQ(MemberOf<IVTAmountType>(object, i)->SetValue(12.5), S_OK); break;
    case ValueType::kPrice: EXPECT_EQ(MemberOf<IVTPriceType>(object, i)->SetValue(2.25), S_OK); break;
    case ValueType::kPercent: EXPECT_EQ(MemberOf<IVTPercentType>(object, i)->SetValue(7.5), S_OK); break;
    case ValueType::kQuan: EXPECT_EQ(MemberOf<IVTQuanType>(object, i)->SetValue(3), S_OK); break;
    case ValueType::kFloat: EXPECT_EQ(MemberOf<IVTFloatType>(object, i)->SetValue(1.5f), S_OK); break;
    case ValueType::kBool: EXPECT_EQ(MemberOf<IVTBoolType>(object, i)->SetValue(VARIANT_TRUE), S_OK); break;
    case ValueType::kDate: EXPECT_EQ(MemberOf<IVTDateType>(object, i)->SetValue(38289), S_OK); break;
    case ValueType::kDateTime:
      EXPECT_EQ(MemberOf<IVTDateTimeType>(object, i)->SetValue(38289.5, VARIANT_FALSE), S_OK);
      break;
    case ValueType::kInterval:
      EXPECT_EQ(MemberOf<IVTTimeIntervalType>(object, i)->SetValue(1, 30, 0), S_OK);
      break;
    case ValueType::kID: EXPECT_EQ(MemberOf<IVTIDType>(object, i)->SetValue(Bstr(u"80000001-1").Get()), S_OK); break;
    case ValueType::kGUID:
      EXPECT_EQ(MemberOf<IVTGUIDType>(object, i)->SetValue(Bstr(u"{6B29FC40-CA47-1067-B31D-00DD010662DA}").Get()), S_OK);
      break;
    case ValueType::kEnum: {
      MemberOf<IUnknown>(object, i);
      object.Slot(i)->AsValue()->SetXMLValue(FirstWord(rule));
      break;
    }
    case ValueType::kRef: {
      ComPtr<IVTStringType> name;
      ASSERT_EQ(MemberOf<IVTBaseRef>(object, i)->get_FullName(name.Put()), S_OK);
      EXPECT_EQ(name->SetValue(Bstr(u"x").Get()), S_OK);
      break;
    }
    case ValueType::kAggregate: {
      MemberOf<IUnknown>(object, i);
      auto* inner = dynamic_cast<CatalogueBase*>(object.Slot(i)->AsParseable());
      std::set<int> own;
      Fill(*inner, depth + 1, inner->Info().choice == kPlain ? own : used);
      break;
    }
    case ValueType::kStringList:
    case ValueType::kGUIDList:
    case ValueType::kEnumList: {
      MemberOf<IUnknown>(object, i);
      const std::string entry = rule.type == ValueType::kEnumList ? FirstWord(rule)
                                : rule.type == ValueType::kGUIDList ? "{6B29FC40-CA47-1067-B31D-00DD010662DA}"
                                                                    : text;
      object.Slot(i)->AsParseable()->HandleElement(tag, &entry);
      break;
    }
    case ValueType::kRefList: {
      MemberOf<IUnknown>(object, i);
      SAXParseable* ref = object.Slot(i)->AsParseable()->HandleAggregate(tag);
      ref->HandleElement(tag::FullName, &text);
      break;
    }
    case ValueType::kAggregateList: {
      MemberOf<IUnknown>(object, i);
      const CatalogueList& list = kCatalogueLists[rule.ref];
      const CatalogueClass& item = kCatalogue[list.item];
      // An entry of a list of OR choices is made by its first alternative's element.
      const int entryTag = list.parseMode == 1 ? item.info.members[0].tag : tag;
      SAXParseable* entry = object.Slot(i)->AsParseable()->HandleAggregate(entryTag);
      std::set<int> own;
      if (auto* record = dynamic_cast<CatalogueBase*>(entry)) Fill(*record, depth + 1, own);
      break;
    }
  }
}

// The element tags a member writes directly into the element it stands in.
std::set<int> TagsOf(const CatalogueClass& c, size_t i) {
  const MemberRule& rule = c.rules[i];
  if (rule.type == ValueType::kAggregate && kCatalogue[rule.ref].info.choice != kPlain) {
    std::set<int> tags;
    for (size_t k = 0; k < kCatalogue[rule.ref].info.memberCount; ++k) {
      const std::set<int> inner = TagsOf(kCatalogue[rule.ref], k);
      tags.insert(inner.begin(), inner.end());
    }
    return tags;
  }
  return {c.info.members[i].tag};
}

// Every member the object's edition and version have; of an OR choice, the first of them whose
// elements are not taken yet.
void Fill(CatalogueBase& object, int depth, std::set<int>& used) {
  ASSERT_LT(depth, 20) << object.Info().name;
  for (size_t i = 0; i < object.Info().memberCount; ++i) {
    if (!object.Available(i)) continue;
    // A choice in this element picks among its own alternatives; anything else is skipped when
    // its element is taken.
    const MemberRule& rule = object.Class().rules[i];
    const bool choice = rule.type == ValueType::kAggregate && kCatalogue[rule.ref].info.choice != kPlain;
    if (!choice) {
      const std::set<int> tags = TagsOf(object.Class(), i);
      if (std::any_of(tags.begin(), tags.end(), [&](int t) { return used.count(t) > 0; })) continue;
      used.insert(tags.begin(), tags.end());
    }
    FillMember(object, i, depth, used);
    if (object.Info().choice == kORChoice) break;
  }
}

struct Edition {
  int16_t major, minor;
  int32_t country;
};

TEST(EveryKind, RequestsAreWrittenVerifiedAndReadBack) {
  int served = 0;
  for (const auto& row : Table("src/msgset/requests.tsv")) {
    const CatalogueClass* cls = FindCatalogueClass(row.at("name"));
    if (!cls) continue;  // a kind whose body the catalogue does not hold yet
    const Edition e = row.at("country_condition") == "CA only" ? Edition{3, 0, kCountryCA} : Edition{4, 0, kCountryUS};
    SCOPED_TRACE(row.at("request_element"));
    auto set = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
    set->Init(e.major, e.minor, e.country);
    ObjectRoot* made = cls->factory(true, set->Context());
    ASSERT_TRUE(made);
    ASSERT_EQ(set->AppendRequest(TagIdOf(row.at("request_element")), made), S_OK);
    std::set<int> used;
    Fill(*dynamic_cast<CatalogueBase*>(made->AsParseable()), 0, used);
    made->ReleaseRoot();
    Bstr report, written;
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(set->Verify(report.Put(), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE) << ToNarrow(report.Get());
    ASSERT_EQ(set->ToXMLString(written.Put()), S_OK);
    ComPtr<IMsgSetRequest> parsed;
    ASSERT_EQ(ParseMsgSetRequest(ToNarrow(written.Get()), e.country, e.major, e.minor, OnlineSignon{}, parsed.Put()),
              S_OK)
        << TakeErrorDescription() << "\n" << ToNarrow(written.Get());
    Bstr again;
    ASSERT_EQ(parsed->ToXMLString(again.Put()), S_OK);
    EXPECT_EQ(ToNarrow(again.Get()), ToNarrow(written.Get()));
    ++served;
  }
  EXPECT_GE(served, 100) << "the list families at least";
}

// ---- Answers: a record of every member, as the application would send it.

void Sample(const CatalogueClass& c, const std::string& element, int32_t country, std::string& out);

void SampleMember(const CatalogueClass& c, size_t i, int32_t country, std::string& out) {
  const MemberRule& rule = c.rules[i];
  const std::string name = TagName(c.info.members[i].tag);
  auto leaf = [&](const std::string& value) { out += "<" + name + ">" + value + "</" + name + ">\r\n"; };
  switch (rule.type) {
    case ValueType::kString:
    case ValueType::kStringList: leaf("x"); break;
    case ValueType::kInt: leaf("1"); break;
    case ValueType::kAmount: leaf("12.50"); break;
    case ValueType::kPrice: leaf("2.25"); break;
    case ValueType::kPercent: leaf("7.5"); break;
    case ValueType::kQuan: leaf("3"); break;
    case ValueType::kFloat: leaf("1.5"); break;
    case ValueType::kBool: leaf("1"); break;
    case ValueType::kDate: leaf("2004-10-29"); break;
    case ValueType::kDateTime: leaf("2004-10-29T12:00:00"); break;
    case ValueType::kInterval: leaf("PT1H30M"); break;
    case ValueType::kID: leaf("80000001-1"); break;
    case ValueType::kGUID:
    case ValueType::kGUIDList: leaf("{6B29FC40-CA47-1067-B31D-00DD010662DA}"); break;
    case ValueType::kEnum:
    case ValueType::kEnumList: leaf(FirstWord(rule)); break;
    case ValueType::kRef:
    case ValueType::kRefList: out += "<" + name + ">\r\n<ListID>1-1</ListID>\r\n<FullName>x</FullName>\r\n</" + name + ">\r\n"; break;
    case ValueType::kAggregate: Sample(kCatalogue[rule.ref], name, country, out); break;
    case ValueType::kAggregateList: {
      const CatalogueList& list = kCatalogueLists[rule.ref];
      Sample(kCatalogue[list.item], name, country, out);
      break;
    }
  }
}

void Sample(const CatalogueClass& c, const std::string& element, int32_t country, std::string& out) {
  std::string attributes, body;
  for (size_t i = 0; i < c.info.memberCount; ++i) {
    if (!InEdition(c.rules[i], country)) continue;
    if (c.info.members[i].attribute) {
      attributes += std::string(" ") + TagName(c.info.members[i].tag) + " = \"" + FirstWord(c.rules[i]) + "\"";
      continue;
    }
    SampleMember(c, i, country, body);
    if (c.info.choice == kORChoice) break;
  }
  if (c.info.choice != kPlain) {
    out += body;
  } else if (body.empty()) {
    out += "<" + element + attributes + "/>\r\n";
  } else {
    out += "<" + element + attributes + ">\r\n" + body + "</" + element + ">\r\n";
  }
}

TEST(EveryKind, AnswersAreReadIntoTheirObjects) {
  int read = 0;
  for (const auto& row : Table("src/msgset/detail_factory.tsv")) {
    const std::string rs = row.at("message_element"), detail = row.at("detail_class");
    if (!rs.ends_with("Rs") || row.at("set_kind") != "0" || detail == "-") continue;
    const bool list = detail.ends_with("List") && FindCatalogueClass(detail.substr(0, detail.size() - 4));
    const CatalogueClass* cls = FindCatalogueClass(list ? detail.substr(0, detail.size() - 4) : detail);
    if (!cls || cls->info.choice == kGroup) continue;
    SCOPED_TRACE(rs);
    for (int32_t country : {kCountryUS, kCountryCA}) {
      std::string record;
      Sample(*cls, cls->info.name, country, record);
      const std::string head = country == kCountryCA ? "CA3.0" : "4.0";
      const std::string text = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"" + head + "\"?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n<" +
                               rs + " requestID=\"0\" statusCode=\"0\">\r\n" + record + "</" + rs +
                               ">\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n";
      ComPtr<IMsgSetResponse> set;
      ASSERT_EQ(ParseMsgSetResponse(text, country, country == kCountryCA ? 3 : 4, 0, nullptr, set.Put()), S_OK)
          << TakeErrorDescription() << "\n" << text;
      ComPtr<IResponseList> responses;
      set->get_ResponseList(responses.Put());
      ComPtr<IResponse> response;
      ASSERT_EQ(responses->GetAt(0, response.Put()), S_OK);
      ComPtr<IVTBase> parsed;
      ASSERT_EQ(response->get_Detail(parsed.Put()), S_OK);
      ASSERT_TRUE(parsed);
      XMLBuilder builder(4, 0, kCountryUS);
      const size_t prolog = builder.Output().size();
      dynamic_cast<ObjectRoot*>(parsed.Get())->AsBuildable()->Build("", builder);
      EXPECT_EQ(std::string(builder.Output().substr(prolog)), record);
    }
    ++read;
  }
  EXPECT_GE(read, 100);
}

}  // namespace
}  // namespace vtfc4
