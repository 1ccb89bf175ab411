// The generated catalogue through its public interfaces: request documents byte for byte, the
// country and version gates of members and of request kinds, the OR choice, verification,
// and request documents parsed back into the same objects.
#include <gtest/gtest.h>

#include "support.h"

#include <functional>
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

ComPtr<CMsgSetRequest> NewSet(int16_t major = 4, int16_t minor = 0, int32_t country = kCountryUS) {
  auto set = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
  set->Init(major, minor, country);
  return set;
}

std::string Xml(IMsgSetRequest* set) {
  Bstr text;
  EXPECT_EQ(set->ToXMLString(text.Put()), S_OK);
  return ToNarrow(text.Get());
}

std::string Report(IMsgSetRequest* set) {
  Bstr text;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(set->Verify(text.Put(), &ok), S_OK);
  return ok == VARIANT_TRUE ? "ok" : ToNarrow(text.Get());
}

// The member a getter (or an append) hands out; the call must succeed.
template <class O, class C, class M>
ComPtr<M> Member(const ComPtr<O>& object, HRESULT (C::*get)(M**)) {
  ComPtr<M> member;
  EXPECT_EQ((object.Get()->*get)(member.Put()), S_OK);
  return member;
}

void Set(const ComPtr<IVTStringType>& v, const char16_t* text) {
  ASSERT_TRUE(v);
  ASSERT_EQ(v->SetValue(Bstr(text).Get()), S_OK);
}

// The body of one request document: everything between the message set element's lines.
std::string Body(const std::string& doc) {
  const std::string open = "<VTXMLMsgsRq onError = \"stopOnError\">\r\n";
  size_t a = doc.find(open);
  size_t b = doc.find("</VTXMLMsgsRq>");
  if (a == std::string::npos || b == std::string::npos) return "<no body> " + doc;
  return doc.substr(a + open.size(), b - a - open.size());
}

const std::string kProlog40 = "<?xml version=\"1.0\" ?>\r\n<?vtxml version=\"4.0\"?>\r\n";

TEST(Catalogue, CustomerAddDocument) {
  auto set = NewSet();
  auto add = Member(set, &IMsgSetRequest::AppendCustomerAddRq);
  auto name = Member(add, &ICustomerAdd::get_Name);
  Set(name, u"Ames & Sons");
  Set(Member(Member(add, &ICustomerAdd::get_BillAddress), &IAddress::get_City), u"Lyon");
  Member(add, &ICustomerAdd::get_ShipAddress);  // asked for, never filled: not written
  auto include = Member(add, &ICustomerAdd::get_IncludeRetElementList);
  include->Add(Bstr(u"ListID").Get());
  include->Add(Bstr(u"EditSequence").Get());
  EXPECT_EQ(Body(Xml(set.Get())),
            "<CustomerAddRq requestID = \"0\">\r\n<CustomerAdd>\r\n<Name>Ames &amp; Sons</Name>\r\n"
            "<BillAddress>\r\n<City>Lyon</City>\r\n</BillAddress>\r\n</CustomerAdd>\r\n"
            "<IncludeRetElement>ListID</IncludeRetElement>\r\n"
            "<IncludeRetElement>EditSequence</IncludeRetElement>\r\n</CustomerAddRq>\r\n");
  EXPECT_EQ(Report(set.Get()), "ok");
  EXPECT_EQ(Member(add, &ICustomerAdd::get_Name).Get(), name.Get()) << "a getter hands out one object";
}

TEST(Catalogue, CustomerModDocument) {
  auto set = NewSet();
  auto mod = Member(set, &IMsgSetRequest::AppendCustomerModRq);
  EXPECT_EQ(Report(set.Get()),
            "CustomerMod\r\nListID: required field is missing\r\nEditSequence: required field is "
            "missing\r\nEnd of CustomerMod\r\n");
  ASSERT_EQ(Member(mod, &ICustomerMod::get_ListID)->SetValue(Bstr(u"80000001-1234567890").Get()), S_OK);
  Set(Member(mod, &ICustomerMod::get_EditSequence), u"1234567890");
  Set(Member(mod, &ICustomerMod::get_Phone), u"555-0100");
  ASSERT_EQ(Member(mod, &ICustomerMod::get_Fax)->SetEmpty(), S_OK);  // clears the stored fax
  auto email = Member(mod, &ICustomerMod::get_Email);
  Set(email, u"x@example.org");
  ASSERT_EQ(email->Unset(), S_OK);  // left unchanged: not written
  EXPECT_EQ(Body(Xml(set.Get())),
            "<CustomerModRq requestID = \"0\">\r\n<CustomerMod>\r\n"
            "<ListID>80000001-1234567890</ListID>\r\n<EditSequence>1234567890</EditSequence>\r\n"
            "<Phone>555-0100</Phone>\r\n<Fax/>\r\n</CustomerMod>\r\n</CustomerModRq>\r\n");
  EXPECT_EQ(Report(set.Get()), "ok");
}

TEST(Catalogue, CustomerQueryWritesFlat) {
  auto set = NewSet();
  auto query = Member(set, &IMsgSetRequest::AppendCustomerQueryRq);
  EXPECT_EQ(Body(Xml(set.Get())), "<CustomerQueryRq requestID = \"0\"/>\r\n") << "an empty query";
  EXPECT_EQ(Report(set.Get()), "ok");

  Member(query, &ICustomerQuery::get_metaData)->SetValue(mdMetaDataAndResponseData);
  auto filter = Member(Member(query, &ICustomerQuery::get_ORCustomerListQuery),
                       &IORCustomerListQuery::get_CustomerListFilter);
  Member(filter, &ICustomerListFilter::get_MaxReturned)->SetValue(25);
  auto nameFilter = Member(Member(filter, &ICustomerListFilter::get_ORNameFilter), &IORNameFilter::get_NameFilter);
  Member(nameFilter, &INameFilter::get_MatchCriterion)->SetValue(mcStartsWith);
  Set(Member(nameFilter, &INameFilter::get_Name), u"Am");
  Member(query, &ICustomerQuery::get_IncludeRetElementList)->Add(Bstr(u"FullName").Get());
  Member(query, &ICustomerQuery::get_OwnerIDList)->Add(Bstr(u"0").Get());
  EXPECT_EQ(Body(Xml(set.Get())),
            "<CustomerQueryRq requestID = \"0\" metaData = \"MetaDataAndResponseData\">\r\n"
            "<MaxReturned>25</MaxReturned>\r\n<NameFilter>\r\n<MatchCriterion>StartsWith</MatchCriterion>\r\n"
            "<Name>Am</Name>\r\n</NameFilter>\r\n<IncludeRetElement>FullName</IncludeRetElement>\r\n"
            "<OwnerID>0</OwnerID>\r\n</CustomerQueryRq>\r\n");
  EXPECT_EQ(Report(set.Get()), "ok");
}

TEST(Catalogue, InvoiceQueryWithAFilter) {
  auto set = NewSet(2, 1);
  auto query = Member(set, &IMsgSetRequest::AppendInvoiceQueryRq);
  auto filter = Member(Member(query, &IInvoiceQuery::get_ORInvoiceQuery), &IORInvoiceQuery::get_InvoiceFilter);
  Set(Member(Member(Member(filter, &IInvoiceFilter::get_EntityFilter), &IEntityFilter::get_OREntityFilter),
             &IOREntityFilter::get_FullNameWithChildren),
      u"Ames");
  auto dates = Member(Member(filter, &IInvoiceFilter::get_ORDateRangeFilter), &IORDateRangeFilter::get_TxnDateRangeFilter);
  Member(Member(dates, &ITxnDateRangeFilter::get_ORTxnDateRangeFilter), &IORTxnDateRangeFilter::get_DateMacro)
      ->SetValue(dmThisMonth);
  Member(filter, &IInvoiceFilter::get_PaidStatus)->SetValue(psNotPaidOnly);
  Member(query, &IInvoiceQuery::get_IncludeLineItems)->SetValue(VARIANT_TRUE);
  EXPECT_EQ(Body(Xml(set.Get())),
            "<InvoiceQueryRq requestID = \"0\">\r\n<TxnDateRangeFilter>\r\n<DateMacro>ThisMonth</DateMacro>\r\n"
            "</TxnDateRangeFilter>\r\n<EntityFilter>\r\n<FullNameWithChildren>Ames</FullNameWithChildren>\r\n"
            "</EntityFilter>\r\n<PaidStatus>NotPaidOnly</PaidStatus>\r\n<IncludeLineItems>1</IncludeLineItems>\r\n"
            "</InvoiceQueryRq>\r\n");
  // A filter with a required choice, created and left empty, is not verified: only what holds
  // something is.
  Member(Member(Member(filter, &IInvoiceFilter::get_AccountFilter), &IAccountFilter::get_ORAccountFilter),
         &IORAccountFilter::get_ListIDList);
  EXPECT_EQ(Report(set.Get()), "ok");
}

TEST(Catalogue, MemberGates) {
  struct Case {
    const char* what;
    int16_t major, minor;
    int32_t country;
    std::function<HRESULT(ICustomerAdd*)> get;
    HRESULT expected;
  };
  auto taxCode = [](ICustomerAdd* a) { ComPtr<IVTBaseRef> r; return a->get_TaxCodeRef(r.Put()); };
  auto currency = [](ICustomerAdd* a) { ComPtr<IVTBaseRef> r; return a->get_CurrencyRef(r.Put()); };
  auto salesTax = [](ICustomerAdd* a) { ComPtr<IVTBaseRef> r; return a->get_SalesTaxCodeRef(r.Put()); };
  auto itemTax = [](ICustomerAdd* a) { ComPtr<IVTBaseRef> r; return a->get_ItemSalesTaxRef(r.Put()); };
  auto priceLevel = [](ICustomerAdd* a) { ComPtr<IVTBaseRef> r; return a->get_PriceLevelRef(r.Put()); };
  auto notes = [](ICustomerAdd* a) { ComPtr<IVTStringType> v; return a->get_Notes(v.Put()); };
  auto taxCodeFlag = [](ICustomerAdd* a) { ComPtr<IVTBoolType> v; return a->get_IsUsingCustomerTaxCode(v.Put()); };
  const Case cases[] = {
      {"TaxCodeRef in US", 4, 0, kCountryUS, taxCode, kNotSupported},
      {"TaxCodeRef in CA 2.0", 2, 0, kCountryCA, taxCode, S_OK},
      {"TaxCodeRef online", 4, 0, kCountryOnline, taxCode, kNotSupported},
      {"CurrencyRef in US", 4, 0, kCountryUS, currency, kNotSupported},
      {"CurrencyRef in CA 3.0", 3, 0, kCountryCA, currency, S_OK},
      {"SalesTaxCodeRef in CA", 3, 0, kCountryCA, salesTax, kNotSupported},
      {"SalesTaxCodeRef online", 4, 0, kCountryOnline, salesTax, S_OK},
      {"ItemSalesTaxRef in CA", 3, 0, kCountryCA, itemTax, kNotSupported},
      {"PriceLevelRef in CA", 3, 0, kCountryCA, priceLevel, kNotSupported},
      {"PriceLevelRef in US 3.0", 3, 0, kCountryUS, priceLevel, kNotSupported},
      {"PriceLevelRef in US 4.0", 4, 0, kCountryUS, priceLevel, S_OK},
      {"Notes in US 2.1", 2, 1, kCountryUS, notes, kNotSupported},
      {"Notes in US 3.0", 3, 0, kCountryUS, notes, S_OK},
      {"IsUsingCustomerTaxCode in CA 2.0", 2, 0, kCountryCA, taxCodeFlag, kNotSupported},
      {"IsUsingCustomerTaxCode in CA 3.0", 3, 0, kCountryCA, taxCodeFlag, S_OK},
  };
  for (const auto& c : cases) {
    auto set = NewSet(c.major, c.minor, c.country);
    ComPtr<ICustomerAdd> add;
    ASSERT_EQ(set->AppendCustomerAddRq(add.Put()), S_OK) << c.what;
    EXPECT_EQ(c.get(add.Get()), c.expected) << c.what;
    EXPECT_EQ(TakeErrorDescription(), c.expected == S_OK ? ""
                                              : "This feature is not supported in the specified "
                                                "version of vtXML.")
        << c.what;
  }
  // metaData: refused before 4.0; from 4.0 written as an attribute of the request element.
  auto old = NewSet(3, 0);
  ComPtr<ICustomerQuery> q;
  old->AppendCustomerQueryRq(q.Put());
  ComPtr<IVTENmetaDataType> meta;
  EXPECT_EQ(q->get_metaData(meta.Put()), kNotSupported);
  EXPECT_FALSE(meta);
}

TEST(Catalogue, TextLimitsFollowTheEdition) {
  struct Case {
    int32_t country;
    int length;
    HRESULT expected;
  };
  const Case cases[] = {{kCountryUS, 41, S_OK}, {kCountryUS, 42, kStringTooLong},
                        {kCountryOnline, 100, S_OK}, {kCountryOnline, 101, kStringTooLong}};
  for (const auto& c : cases) {
    auto set = NewSet(4, 0, c.country);
    ComPtr<ICustomerAdd> add;
    set->AppendCustomerAddRq(add.Put());
    ComPtr<IVTStringType> name;
    add->get_Name(name.Put());
    std::u16string text(static_cast<size_t>(c.length), u'n');
    EXPECT_EQ(name->SetValue(Bstr(text.c_str()).Get()), c.expected) << c.country << " " << c.length;
  }
}

TEST(Catalogue, RequestKindGates) {
  // One kind of each availability class that the catalogue holds, and its gate.
  struct Case {
    const char* what;
    int16_t major, minor;
    int32_t country;
    std::function<HRESULT(IMsgSetRequest*)> append;
    HRESULT expected;
  };
  auto customerQuery = [](IMsgSetRequest* s) { ComPtr<ICustomerQuery> d; return s->AppendCustomerQueryRq(d.Put()); };
  auto preferences = [](IMsgSetRequest* s) { ComPtr<IPreferencesQuery> d; return s->AppendPreferencesQueryRq(d.Put()); };
  auto billPayment = [](IMsgSetRequest* s) { ComPtr<IBillPaymentCheckQuery> d; return s->AppendBillPaymentCheckQueryRq(d.Put()); };
  auto taxCheck = [](IMsgSetRequest* s) { ComPtr<ISalesTaxPaymentCheckQuery> d; return s->AppendSalesTaxPaymentCheckQueryRq(d.Put()); };
  auto salesOrder = [](IMsgSetRequest* s) { ComPtr<ISalesOrderQuery> d; return s->AppendSalesOrderQueryRq(d.Put()); };
  auto template_ = [](IMsgSetRequest* s) { ComPtr<ITemplateQuery> d; return s->AppendTemplateQueryRq(d.Put()); };
  auto priceLevel = [](IMsgSetRequest* s) { ComPtr<IPriceLevelQuery> d; return s->AppendPriceLevelQueryRq(d.Put()); };
  auto itemTax = [](IMsgSetRequest* s) { ComPtr<IItemSalesTaxQuery> d; return s->AppendItemSalesTaxQueryRq(d.Put()); };
  auto currency = [](IMsgSetRequest* s) { ComPtr<ICurrencyQuery> d; return s->AppendCurrencyQueryRq(d.Put()); };
  const Case cases[] = {
      {"A in US 1.0", 1, 0, kCountryUS, customerQuery, S_OK},
      {"A in CA 2.0", 2, 0, kCountryCA, customerQuery, S_OK},
      {"B in US 1.0", 1, 0, kCountryUS, preferences, kNotSupported},
      {"B in US 1.1", 1, 1, kCountryUS, preferences, S_OK},
      {"C in US 1.1", 1, 1, kCountryUS, billPayment, kNotSupported},
      {"C in CA 2.0", 2, 0, kCountryCA, billPayment, S_OK},
      {"D in US 2.0", 2, 0, kCountryUS, taxCheck, S_OK},
      {"D in CA 3.0", 3, 0, kCountryCA, taxCheck, kNotSupported},
      {"E in US 2.0", 2, 0, kCountryUS, salesOrder, kNotSupported},
      {"E in US 2.1", 2, 1, kCountryUS, salesOrder, S_OK},
      {"F in US 2.1", 2, 1, kCountryUS, template_, kNotSupported},
      {"F in CA 3.0", 3, 0, kCountryCA, template_, S_OK},
      {"H in US 3.0", 3, 0, kCountryUS, priceLevel, kNotSupported},
      {"H online 4.0", 4, 0, kCountryOnline, priceLevel, S_OK},
      {"I in US 1.0", 1, 0, kCountryUS, itemTax, S_OK},
      {"I in CA 3.0", 3, 0, kCountryCA, itemTax, kNotSupported},
      {"J in US 4.0", 4, 0, kCountryUS, currency, kNotSupported},
      {"J in CA 2.0", 2, 0, kCountryCA, currency, S_OK},
  };
  for (const auto& c : cases) {
    auto set = NewSet(c.major, c.minor, c.country);
    EXPECT_EQ(c.append(set.Get()), c.expected) << c.what;
    ComPtr<IRequestList> list;
    set->get_RequestList(list.Put());
    LONG count = -1;
    list->get_Count(&count);
    EXPECT_EQ(count, c.expected == S_OK ? 1 : 0) << c.what << ": a refused kind appends nothing";
    if (c.expected != S_OK) {
      EXPECT_EQ(TakeErrorDescription(), "This request is not supported in the specified vtXML version.") << c.what;
    }
  }
  // Class G (not CA, from 3.0) has no body class yet: every kind's gate still answers.
  struct Gate {
    size_t kind;  // index in the order of the append methods
    int16_t major, minor;
    int32_t country;
    HRESULT expected;
  };
  // ItemSalesTaxGroupModRq is dispatch id 97, ItemSalesTaxModRq 135 (kind = dispatch id - 7).
  const Gate gates[] = {{90, 3, 0, kCountryUS, S_OK},    {90, 2, 1, kCountryUS, kNotSupported},
                        {90, 3, 0, kCountryCA, kNotSupported}, {128, 4, 0, kCountryOnline, S_OK},
                        {0, 2, 0, kCountryUS, S_OK},     {0, 1, 1, kCountryUS, kNotSupported}};
  for (const auto& g : gates) {
    auto set = NewSet(g.major, g.minor, g.country);
    EXPECT_EQ(set->CheckRequestSupported(g.kind), g.expected) << g.kind;
  }
}

TEST(Catalogue, ORChoice) {
  auto set = NewSet();
  auto choice = Member(Member(set, &IMsgSetRequest::AppendCustomerQueryRq), &ICustomerQuery::get_ORCustomerListQuery);
  ENORCustomerListQuery type;
  ASSERT_EQ(choice->get_ortype(&type), S_OK);
  EXPECT_EQ(type, orclqNA);
  Member(choice, &IORCustomerListQuery::get_ListIDList)->Add(Bstr(u"1-1").Get());
  choice->get_ortype(&type);
  EXPECT_EQ(type, orclqListID);
  auto filter = Member(choice, &IORCustomerListQuery::get_CustomerListFilter);
  auto max = Member(filter, &ICustomerListFilter::get_MaxReturned);
  max->SetValue(3);
  choice->get_ortype(&type);
  EXPECT_EQ(type, orclqCustomerListFilter) << "the member created last";
  EXPECT_EQ(Report(set.Get()),
            "CustomerQuery\r\nORCustomerListQuery:\r\nOR object has multiple values\r\n"
            "End of ORCustomerListQuery\r\nEnd of CustomerQuery\r\n");
  EXPECT_EQ(max->SetValue(0), kOutOfRange) << "MaxReturned is at least 1";

  auto names = Member(filter, &ICustomerListFilter::get_ORNameFilter);
  ENORNameFilter nameType;
  names->get_ortype(&nameType);
  EXPECT_EQ(nameType, ornfNA);
  Member(names, &IORNameFilter::get_NameRangeFilter);
  names->get_ortype(&nameType);
  EXPECT_EQ(nameType, ornfNameRangeFilter);
}

TEST(Catalogue, RequiredMembersOfFilters) {
  auto set = NewSet();
  auto filter = Member(Member(Member(set, &IMsgSetRequest::AppendCustomerQueryRq), &ICustomerQuery::get_ORCustomerListQuery),
                       &IORCustomerListQuery::get_CustomerListFilter);
  Set(Member(Member(Member(filter, &ICustomerListFilter::get_ORNameFilter), &IORNameFilter::get_NameFilter),
             &INameFilter::get_Name),
      u"A");
  EXPECT_EQ(Report(set.Get()),
            "CustomerQuery\r\nORCustomerListQuery:\r\nCustomerListFilter:\r\nORNameFilter:\r\nNameFilter:\r\n"
            "MatchCriterion: required field is missing\r\nEnd of NameFilter\r\nEnd of ORNameFilter\r\n"
            "End of CustomerListFilter\r\nEnd of ORCustomerListQuery\r\nEnd of CustomerQuery\r\n");
}

// ---- Parsing request documents back.

HRESULT Parse(const std::string& text, ComPtr<IMsgSetRequest>& out, int32_t country = kCountryUS) {
  return ParseMsgSetRequest(text, country, 4, 0, OnlineSignon{}, out.Put());
}

template <class I>
ComPtr<I> Detail(IMsgSetRequest* set, LONG index) {
  ComPtr<IRequestList> list;
  set->get_RequestList(list.Put());
  ComPtr<IRequest> request;
  EXPECT_EQ(list->GetAt(index, request.Put()), S_OK);
  ComPtr<IVTBase> detail;
  request->get_Detail(detail.Put());
  ComPtr<I> typed;
  EXPECT_EQ(detail.As(&typed), S_OK);
  return typed;
}

TEST(Catalogue, QueryParsedThroughItsGroupsAndChoices) {
  const std::string text = kProlog40 +
                           "<VTXML><VTXMLMsgsRq onError = \"stopOnError\">"
                           "<CustomerQueryRq requestID = \"0\" metaData = \"MetaDataOnly\">"
                           "<MaxReturned>10</MaxReturned>"
                           "<NameFilter><MatchCriterion>Contains</MatchCriterion><Name>mes</Name></NameFilter>"
                           "<IncludeRetElement>Name</IncludeRetElement>"
                           "</CustomerQueryRq></VTXMLMsgsRq></VTXML>";
  ComPtr<IMsgSetRequest> set;
  ASSERT_EQ(Parse(text, set), S_OK) << TakeErrorDescription();
  auto query = Detail<ICustomerQuery>(set.Get(), 0);
  auto choice = Member(query, &ICustomerQuery::get_ORCustomerListQuery);
  ASSERT_TRUE(choice);
  ENORCustomerListQuery type;
  choice->get_ortype(&type);
  EXPECT_EQ(type, orclqCustomerListFilter);
  LONG value = 0;
  ASSERT_EQ(Member(Member(choice, &IORCustomerListQuery::get_CustomerListFilter), &ICustomerListFilter::get_MaxReturned)
                ->GetValue(&value),
            S_OK);
  EXPECT_EQ(value, 10);
  ENmetaData md;
  ASSERT_EQ(Member(query, &ICustomerQuery::get_metaData)->GetValue(&md), S_OK);
  EXPECT_EQ(md, mdMetaDataOnly);
  // Members the document did not hold stay absent on the parsed objects.
  EXPECT_FALSE(Member(query, &ICustomerQuery::get_OwnerIDList));
}

TEST(Catalogue, DocumentsRoundTrip) {
  // A set with an add, a mod and two queries is written, parsed and written again.
  auto set = NewSet();
  Member(set, &IMsgSetRequest::get_Attributes)->put_OnError(roeContinue);
  auto add = Member(set, &IMsgSetRequest::AppendCustomerAddRq);
  Set(Member(add, &ICustomerAdd::get_Name), u"R\u00E9my & Co");
  Set(Member(Member(add, &ICustomerAdd::get_TermsRef), &IVTBaseRef::get_FullName), u"Net 30");
  Member(add, &ICustomerAdd::get_JobStartDate)->SetValue(38289);
  Member(add, &ICustomerAdd::get_CreditLimit)->SetValue(1500.25);
  auto mod = Member(set, &IMsgSetRequest::AppendCustomerModRq);
  Member(mod, &ICustomerMod::get_ListID)->SetValue(Bstr(u"80-1").Get());
  Member(mod, &ICustomerMod::get_Phone)->SetEmpty();
  auto refs = Member(Member(Member(set, &IMsgSetRequest::AppendInvoiceQueryRq), &IInvoiceQuery::get_ORInvoiceQuery),
                     &IORInvoiceQuery::get_RefNumberList);
  refs->Add(Bstr(u"1001").Get());
  refs->Add(Bstr(u"1002").Get());
  Member(set, &IMsgSetRequest::AppendItemQueryRq);
  const std::string text = Xml(set.Get());

  ComPtr<IMsgSetRequest> parsed;
  ASSERT_EQ(Parse(text, parsed), S_OK) << TakeErrorDescription();
  EXPECT_EQ(Xml(parsed.Get()), text);
  ENORInvoiceQuery type;
  Member(Detail<IInvoiceQuery>(parsed.Get(), 2), &IInvoiceQuery::get_ORInvoiceQuery)->get_ortype(&type);
  EXPECT_EQ(type, oriqRefNumber);
}

TEST(Catalogue, ParseRefusesWhatTheEditionLacks) {
  const std::string text = kProlog40 +
                           "<VTXML><VTXMLMsgsRq><CustomerAddRq><CustomerAdd><Name>n</Name>"
                           "<TaxCodeRef><FullName>G</FullName></TaxCodeRef></CustomerAdd></CustomerAddRq>"
                           "</VTXMLMsgsRq></VTXML>";
  ComPtr<IMsgSetRequest> set;
  EXPECT_EQ(Parse(text, set), kParseFailed);
  EXPECT_EQ(TakeErrorDescription(), "Error parsing. Message: class CustomerAdd got unexpected agg tag id " +
                             std::to_string(tag::TaxCodeRef) + " (TaxCodeRef).");
  ComPtr<IMsgSetRequest> ca;
  EXPECT_EQ(Parse(text, ca, kCountryCA), S_OK) << TakeErrorDescription();
}

TEST(Catalogue, EveryClassHasItsObjectTypeAndIsMade) {
  for (size_t i = 0; i < kCatalogueSize; ++i) {
    const CatalogueClass& c = kCatalogue[i];
    ObjectRoot* made = c.factory(true, std::make_shared<VersionContext>());
    ASSERT_NE(made, nullptr) << c.info.name;
    ComPtr<IVTBase> base;
    ASSERT_EQ(made->QueryRoot(IID_IVTBase, reinterpret_cast<void**>(base.Put())), S_OK);
    made->ReleaseRoot();
    ComPtr<IObjectType> type;
    base->get_Type(type.Put());
    Bstr name;
    type->GetAsString(name.Put());
    EXPECT_EQ(ToNarrow(name.Get()), c.info.name);
    EXPECT_EQ(FindCatalogueClass(c.info.name), &c);
    // Late binding knows it: its type information is its own interface's.
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(base->GetTypeInfo(0, 0, info.Put()), S_OK) << c.info.name;
    Bstr interfaceName;
    info->GetDocumentation(MEMBERID_NIL, interfaceName.Put(), nullptr, nullptr, nullptr);
    EXPECT_EQ(ToNarrow(interfaceName.Get()), std::string("I") + c.info.name);
  }
  EXPECT_EQ(FindCatalogueClass("NoSuchClass"), nullptr);
}

// ---- Reports.

template <class O, class C>
LONG IntOf(O* object, HRESULT (C::*get)(IVTIntType**)) {
  ComPtr<IVTIntType> value;
  LONG n = -1;
  if (SUCCEEDED((object->*get)(value.Put())) && value) value->GetValue(&n);
  return n;
}

TEST(Catalogue, ReportQueries) {
  // The report kind and the period: exactly those two elements inside the request element.
  auto set = NewSet();
  auto report = Member(set, &IMsgSetRequest::AppendGeneralSummaryReportQueryRq);
  ASSERT_EQ(Member(report, &IGeneralSummaryReportQuery::get_GeneralSummaryReportType)->SetValue(gsrtProfitAndLossStandard),
            S_OK);
  auto period = Member(report, &IGeneralSummaryReportQuery::get_ORReportPeriod);
  ASSERT_EQ(Member(period, &IORReportPeriod::get_ReportDateMacro)->SetValue(rdmThisMonth), S_OK);
  EXPECT_EQ(Body(Xml(set.Get())),
            "<GeneralSummaryReportQueryRq requestID = \"0\">\r\n"
            "<GeneralSummaryReportType>ProfitAndLossStandard</GeneralSummaryReportType>\r\n"
            "<ReportDateMacro>ThisMonth</ReportDateMacro>\r\n"
            "</GeneralSummaryReportQueryRq>\r\n");
  EXPECT_EQ(Report(set.Get()), "ok");
  // Both branches of the period refused; so are a missing report kind and the members a custom
  // report needs.
  auto dates = Member(period, &IORReportPeriod::get_ReportPeriod);
  ASSERT_EQ(Member(dates, &IReportPeriod::get_FromReportDate)->SetValue(45000.0), S_OK);
  EXPECT_NE(Report(set.Get()).find("OR object has multiple values\r\n"), std::string::npos) << Report(set.Get());
  auto custom = NewSet();
  auto detail = Member(custom, &IMsgSetRequest::AppendCustomDetailReportQueryRq);
  const std::string missing = Report(custom.Get());
  for (const char* line : {"CustomDetailReportType: required field is missing\r\n",
                           "SummarizeRowsBy: required field is missing\r\n", "IncludeColumnList: required list is empty\r\n"})
    EXPECT_NE(missing.find(line), std::string::npos) << line << "\n" << missing;
  // Members newer than the set's version.
  auto old = NewSet(2, 0);
  auto early = Member(old, &IMsgSetRequest::AppendGeneralSummaryReportQueryRq);
  ComPtr<IVTBoolType> display;
  EXPECT_EQ(early->get_DisplayReport(display.Put()), VTFC4_HR(0x8004030B));
  ComPtr<IVTENReportBasisType> basis;
  EXPECT_EQ(early->get_ReportBasis(basis.Put()), VTFC4_HR(0x8004030B));
  EXPECT_EQ(Member(NewSet(2, 1), &IMsgSetRequest::AppendGeneralSummaryReportQueryRq)->get_ReportBasis(basis.Put()),
            S_OK);
}

// A report grid as the application sends it: columns with two title rows, rows of every kind,
// cells only where there is a value; and an attribute no class of the grid holds.
TEST(Catalogue, ReportGridsReadAsTheDocumentHoldsThem) {
  const std::string grid =
      "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n"
      "<GeneralSummaryReportQueryRs requestID=\"0\" statusCode=\"0\" statusSeverity=\"Info\" statusMessage=\"OK\">\r\n"
      "<ReportRet>\r\n<ReportTitle>Profit &amp; Loss</ReportTitle>\r\n<ReportSubtitle>December</ReportSubtitle>\r\n"
      "<ReportBasis>Accrual</ReportBasis>\r\n<NumRows>5</NumRows>\r\n<NumColumns>3</NumColumns>\r\n"
      "<NumColTitleRows>2</NumColTitleRows>\r\n"
      "<ColDesc colID=\"1\" dataType=\"STRTYPE\">\r\n<ColTitle titleRow=\"1\"/>\r\n<ColTitle titleRow=\"2\"/>\r\n"
      "<ColType>Label</ColType>\r\n</ColDesc>\r\n"
      "<ColDesc colID=\"2\" dataType=\"AMTTYPE\">\r\n<ColTitle titleRow=\"1\" value=\"Dec\"/>\r\n"
      "<ColTitle titleRow=\"2\" value=\"2024\"/>\r\n<ColType>Amount</ColType>\r\n</ColDesc>\r\n"
      "<ColDesc colID=\"3\" dataType=\"AMTTYPE\">\r\n<ColTitle titleRow=\"1\" value=\"TOTAL\"/>\r\n"
      "<ColType>Total</ColType>\r\n</ColDesc>\r\n"
      "<ReportData>\r\n<TextRow rowNumber=\"1\" value=\"Income\"/>\r\n"
      "<DataRow rowNumber=\"2\">\r\n<RowData rowType=\"account\" value=\"Sales\"/>\r\n"
      "<ColData colID=\"1\" value=\"Sales\"/>\r\n<ColData colID=\"3\" value=\"125.00\"/>\r\n</DataRow>\r\n"
      "<DataRow rowNumber=\"3\">\r\n<ColData colID=\"1\" value=\"Services\"/>\r\n</DataRow>\r\n"
      "<SubtotalRow rowNumber=\"4\">\r\n<ColData colID=\"3\" value=\"125.00\"/>\r\n</SubtotalRow>\r\n"
      "<TotalRow rowNumber=\"5\">\r\n<ColData colID=\"3\" value=\"125.00\" dataType=\"AMTTYPE\"/>\r\n</TotalRow>\r\n"
      "</ReportData>\r\n</ReportRet>\r\n</GeneralSummaryReportQueryRs>\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n";
  ComPtr<IMsgSetResponse> answer;
  ASSERT_EQ(ParseMsgSetResponse(grid, kCountryUS, 4, 0, nullptr, answer.Put()), S_OK) << TakeErrorDescription();
  ComPtr<IResponse> response;
  ASSERT_EQ(Member(answer, &IMsgSetResponse::get_ResponseList)->GetAt(0, response.Put()), S_OK);
  ComPtr<IVTBase> detail;
  ASSERT_EQ(response->get_Detail(detail.Put()), S_OK);
  ComPtr<IReportRet> report;
  ASSERT_EQ(detail->QueryInterface(IID_IReportRet, report.PutVoid()), S_OK);
  EXPECT_EQ(FieldText(report.Get(), &IReportRet::get_ReportTitle), "Profit & Loss");

  ComPtr<IColDesc> column;
  ASSERT_EQ(Member(report, &IReportRet::get_ColDescList)->GetAt(1, column.Put()), S_OK);
  EXPECT_EQ(IntOf(column.Get(), &IColDesc::get_colID), 2);
  auto titles = Member(column, &IColDesc::get_ColTitleList);
  ASSERT_EQ(CountOf(titles.Get()), 2);
  for (LONG i = 0; i < 2; ++i) {
    ComPtr<IColTitle> title;
    ASSERT_EQ(titles->GetAt(i, title.Put()), S_OK);
    EXPECT_EQ(IntOf(title.Get(), &IColTitle::get_titleRow), i + 1);
    EXPECT_EQ(FieldText(title.Get(), &IColTitle::get_value), i == 0 ? "Dec" : "2024");
  }

  auto rows = Member(Member(report, &IReportRet::get_ReportData), &IReportData::get_ORReportDataList);
  ASSERT_EQ(CountOf(rows.Get()), 5);
  const ENORReportData kinds[] = {orrdTextRow, orrdDataRow, orrdDataRow, orrdSubtotalRow, orrdTotalRow};
  for (LONG i = 0; i < 5; ++i) {
    ComPtr<IORReportData> row;
    ASSERT_EQ(rows->GetAt(i, row.Put()), S_OK);
    ENORReportData kind = orrdNA;
    ASSERT_EQ(row->get_ortype(&kind), S_OK);
    EXPECT_EQ(kind, kinds[i]) << i;
  }
  // The first data row: its label, and cells for columns 1 and 3 only.
  ComPtr<IORReportData> second;
  ASSERT_EQ(rows->GetAt(1, second.Put()), S_OK);
  auto row = Member(second, &IORReportData::get_DataRow);
  EXPECT_EQ(FieldText(Member(row, &IDataRow::get_RowData).Get(), &IRowData::get_value), "Sales");
  auto cells = Member(row, &IDataRow::get_ColDataList);
  ASSERT_EQ(CountOf(cells.Get()), 2);
  for (LONG i = 0; i < 2; ++i) {
    ComPtr<IColData> cell;
    ASSERT_EQ(cells->GetAt(i, cell.Put()), S_OK);
    EXPECT_EQ(IntOf(cell.Get(), &IColData::get_colID), i == 0 ? 1 : 3);
  }

  std::string odd = grid;
  odd.replace(odd.find("<ColData colID=\"1\" value=\"Sales\"/>"), 34,
              "<ColData colID=\"1\" value=\"Sales\" rowNumber=\"9\"/>");
  ComPtr<IMsgSetResponse> refused;
  EXPECT_EQ(ParseMsgSetResponse(odd, kCountryUS, 4, 0, nullptr, refused.Put()), VTFC4_HR(0x80040301));
  const std::string error = TakeErrorDescription();
  EXPECT_NE(error.find("class ColData got unexpected attrib = " + std::to_string(TagIdOf("rowNumber")) +
                       " with value 9."),
            std::string::npos)
      << error;
}

}  // namespace
}  // namespace vtfc4
