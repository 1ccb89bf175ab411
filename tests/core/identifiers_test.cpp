// Record identifiers with their macro form, GUIDs, and the two lists of text values.
#include "src/core/identifiers.h"

#include <gtest/gtest.h>

#include "support.h"

#include <functional>
#include <string>
#include <vector>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/aggregate_object.h"
#include "src/core/xml_builder.h"
#include "src/xml/tag_table.h"
#include "vtfc4/comptr.h"

namespace vtfc4 {
namespace {

constexpr HRESULT kIndexStatus = kRangeStatus;
constexpr const char* kGuidMessage =
    "Invalid GUID format. Must use zero for Custom Fields, or a GUID generated with GuidGen.exe "
    "for private data extensions.";

Bstr Wide16(const std::u16string& s) { return Bstr(s.c_str()); }

class IDAndGUIDTest : public WithoutErrorObject {};

// ---- Identifiers.

TEST_F(IDAndGUIDTest, IDLengthIsCountedInUTF16Units) {
  const std::u16string pair = u"\U0001F600";  // two UTF-16 code units
  struct Case {
    std::u16string value;
    HRESULT hr;
    std::string stored;  // the text read back; for a refused set, the value before it
  };
  auto pairs = [&](int n, std::u16string text) {
    for (int i = 0; i < n; ++i) text += pair;
    return text;
  };
  const Case cases[] = {
      {std::u16string(36, u'A'), S_OK, std::string(36, 'A')},
      {std::u16string(37, u'A'), kTooLongStatus, "prev"},
      {std::u16string(), S_OK, ""},
      // A character outside the code page is stored as '?'.
      {pairs(18, u""), S_OK, std::string(18, '?')},
      {pairs(18, u"A"), kTooLongStatus, "prev"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value.size() << " units");
    Own<CVTIDType> id(NewIDValue(true));
    ASSERT_EQ(id->SetValue(Wide16(u"prev").Get()), S_OK);
    EXPECT_EQ(id->SetValue(Wide16(c.value).Get()), c.hr);
    EXPECT_EQ(TakeError(), c.hr == S_OK ? kNoErrorObject : "String too long.");
    Bstr read;
    ASSERT_EQ(id->GetValue(read.Put()), S_OK);
    EXPECT_EQ(Narrow(read), c.stored);
  }
}

TEST_F(IDAndGUIDTest, ValueAndMacroStates) {
  struct Case {
    const char* what;
    std::function<void(IVTIDType*)> steps;
    HRESULT getValue;
    const char* valueOrError;  // the text read, or the description of the failure
    HRESULT getMacro;
    const char* macroOrError;
    VARIANT_BOOL isSetUseMacro, comIsSet, comIsEmpty;
    bool isSet, hasValue;
    const char* xml;
  };
  auto ok = [](HRESULT hr) { ASSERT_EQ(hr, S_OK); };
  const char* noValue = "No value has been set.";
  const Case cases[] = {
      {"value",
       [&](IVTIDType* p) { ok(p->SetValue(Bstr(u"80000001-1").Get())); },
       S_OK, "80000001-1", kNotSetStatus, noValue,
       VARIANT_FALSE, VARIANT_TRUE, VARIANT_FALSE, true, true, "80000001-1"},
      {"macro after value clears the value",
       [&](IVTIDType* p) {
         ok(p->SetValue(Bstr(u"V").Get()));
         ok(p->SetValueUseMacro(Bstr(u"TxnID:1").Get()));
       },
       kNotSetStatus, noValue, S_OK, "TxnID:1",
       VARIANT_TRUE, VARIANT_FALSE, VARIANT_FALSE, true, true, "TxnID:1"},
      {"value after macro clears the macro",
       [&](IVTIDType* p) {
         ok(p->SetValueUseMacro(Bstr(u"M").Get()));
         ok(p->SetValue(Bstr(u"V").Get()));
       },
       S_OK, "V", kNotSetStatus, noValue,
       VARIANT_FALSE, VARIANT_TRUE, VARIANT_FALSE, true, true, "V"},
      {"empty after macro",
       [&](IVTIDType* p) {
         ok(p->SetValueUseMacro(Bstr(u"M").Get()));
         ok(p->SetEmpty());
       },
       kEmptyStatus, "Value is empty.", kNotSetStatus, noValue,
       VARIANT_FALSE, VARIANT_TRUE, VARIANT_TRUE, true, false, ""},
      {"unset after value and macro",
       [&](IVTIDType* p) {
         ok(p->SetValue(Bstr(u"V").Get()));
         ok(p->SetValueUseMacro(Bstr(u"M").Get()));
         ok(p->Unset());
       },
       kNotSetStatus, noValue, kNotSetStatus, noValue,
       VARIANT_FALSE, VARIANT_FALSE, VARIANT_FALSE, false, false, kNotWritten},
      {"empty text is set but holds nothing",
       [&](IVTIDType* p) { ok(p->SetValue(Bstr(u"").Get())); },
       S_OK, "", kNotSetStatus, noValue,
       VARIANT_FALSE, VARIANT_TRUE, VARIANT_FALSE, true, false, ""},
      {"an empty macro is no macro and still clears the value",
       [&](IVTIDType* p) {
         ok(p->SetValue(Bstr(u"V").Get()));
         ok(p->SetValueUseMacro(Bstr(u"").Get()));
       },
       kNotSetStatus, noValue, kNotSetStatus, noValue,
       VARIANT_FALSE, VARIANT_FALSE, VARIANT_FALSE, false, false, kNotWritten},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Own<CVTIDType> id(NewIDValue(true));
    c.steps(id.get());
    Bstr value;
    EXPECT_EQ(id->GetValue(value.Put()), c.getValue);
    EXPECT_EQ(c.getValue == S_OK ? Narrow(value) : TakeError(), c.valueOrError);
    Bstr macro;
    EXPECT_EQ(id->GetValueUseMacro(macro.Put()), c.getMacro);
    EXPECT_EQ(c.getMacro == S_OK ? Narrow(macro) : TakeError(), c.macroOrError);
    VARIANT_BOOL b = 1;
    ASSERT_EQ(id->IsSetUseMacro(&b), S_OK);
    EXPECT_EQ(b, c.isSetUseMacro);
    ASSERT_EQ(id->IsSet(&b), S_OK);
    EXPECT_EQ(b, c.comIsSet) << "the COM IsSet reports the value's own state";
    ASSERT_EQ(id->IsEmpty(&b), S_OK);
    EXPECT_EQ(b, c.comIsEmpty);
    const BasicPropertyType& inner = *id->AsValue();
    EXPECT_EQ(inner.IsSet(), c.isSet);
    EXPECT_EQ(inner.HasValue(), c.hasValue);
    EXPECT_EQ(inner.IsUseMacro(), c.isSetUseMacro == VARIANT_TRUE);
    EXPECT_EQ(XmlText(inner), c.xml);
  }
}

TEST_F(IDAndGUIDTest, MacroRefusedWhereNotAllowed) {
  Own<CVTIDType> id(NewIDValue(false));
  ASSERT_EQ(id->SetValue(Bstr(u"80000001-1").Get()), S_OK);
  EXPECT_EQ(id->SetValueUseMacro(Bstr(u"M").Get()), kNotSetStatus);
  EXPECT_EQ(TakeError(), "Setting UseMacro is not allowed for this field.");
  Bstr value;
  ASSERT_EQ(id->GetValue(value.Put()), S_OK);
  EXPECT_EQ(Narrow(value), "80000001-1") << "the refused macro changes nothing";
  VARIANT_BOOL macro = 1;
  ASSERT_EQ(id->IsSetUseMacro(&macro), S_OK);
  EXPECT_EQ(macro, VARIANT_FALSE);
}

// A hand-written aggregate with one required identifier member, as a linked transaction.
constexpr MemberDescriptor kLinkedTxnMembers[] = {AddValueElement(tag::TxnID, true)};
constexpr ClassInfo kLinkedTxn{"LinkedTxn", 0, kPlain, kLinkedTxnMembers, 1};

class LinkedTxn final : public AggregateObject<IVTBase> {
 public:
  LinkedTxn() : AggregateObject(kLinkedTxn) { InitMode(true, nullptr); }
  ComPtr<IVTIDType> TxnID() {
    ComPtr<IVTIDType> out;
    EXPECT_EQ(GetMember(0, out.Put(), [] { return NewIDValue(true); }), S_OK);
    return out;
  }
};

TEST_F(IDAndGUIDTest, AggregateWritesMacroAsAttributeOfEmptyElement) {
  struct Case {
    const char* what;
    std::function<void(IVTIDType*)> steps;
    const char* xml;
    const char* report;
  };
  const char* missing = "TxnID: required field is missing\r\n";
  const Case cases[] = {
      {"macro", [](IVTIDType* p) { ASSERT_EQ(p->SetValueUseMacro(Bstr(u"m").Get()), S_OK); },
       "<LinkedTxn>\r\n<TxnID useMacro = \"m\"/>\r\n</LinkedTxn>\r\n", ""},
      {"macro then unset",
       [](IVTIDType* p) {
         ASSERT_EQ(p->SetValueUseMacro(Bstr(u"m").Get()), S_OK);
         ASSERT_EQ(p->Unset(), S_OK);
       },
       "", missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Own<LinkedTxn> txn(MakeObject<LinkedTxn>());
    c.steps(txn->TxnID().Get());
    EXPECT_EQ(Written(txn.get()), c.xml);
    EXPECT_EQ(VerifyReport(txn.get(), txn.get()), c.report);
  }
}

// ---- GUIDs.

TEST_F(IDAndGUIDTest, GUIDValues) {
  struct Case {
    const char16_t* value;  // null: a null BSTR
    bool accepted;
  };
  const Case cases[] = {
      {u"0", true},
      {u"{6B29FC40-CA47-1067-B31D-00DD010662DA}", true},
      {u"{6b29fc40-ca47-1067-b31d-00dd010662da}", true},
      {u"{6b29FC40-Ca47-1067-B31D-00DD010662dA}", true},
      {u"6B29FC40-CA47-1067-B31D-00DD010662DA", false},
      {u"{6B29FC40-CA47-1067-B31D-00DD010662DG}", false},
      {u"{6B29FC40-CA47-1067-B31D-00DD010662DA}0", false},
      {u"{6B29FC40CA47-1067-B31D-00DD010662DA0}", false},
      {u"1", false},
      {u"00", false},
      {u" 0", false},
      {u"", false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    const std::string given = c.value ? ToNarrow(c.value, std::u16string_view(c.value).size())
                                      : "<null>";
    SCOPED_TRACE(given);
    Own<CVTGUIDType> guid(NewGUIDValue());
    EXPECT_EQ(guid->SetValue(Bstr(c.value).Get()), c.accepted ? S_OK : kFormatStatus);
    EXPECT_EQ(TakeError(), c.accepted ? kNoErrorObject : kGuidMessage);
    Bstr read;
    if (c.accepted) {
      ASSERT_EQ(guid->GetValue(read.Put()), S_OK);
      EXPECT_EQ(Narrow(read), given) << "kept as given";
      EXPECT_EQ(XmlText(*guid->AsValue()), given);
      EXPECT_TRUE(guid->HasValue());
    } else {
      EXPECT_EQ(guid->GetValue(read.Put()), kNotSetStatus);
      EXPECT_EQ(TakeError(), "No value has been set.");
      EXPECT_EQ(XmlText(*guid->AsValue()), kNotWritten);
    }
  }
}

// ---- Lists of text values.

// The list operations the two list interfaces share, by object.
struct AnyList {
  std::function<HRESULT(BSTR)> add;
  std::function<HRESULT(LONG*)> count;
  std::function<HRESULT(LONG, BSTR*)> getAt;
  IVTBase* com;
  XMLBuildable* buildable;
};

template <class T>
AnyList ListOf(T* list) {
  return {[list](BSTR v) { return list->Add(v); }, [list](LONG* n) { return list->get_Count(n); },
          [list](LONG i, BSTR* out) { return list->GetAt(i, out); }, list, list};
}

// Counting, reading by index (out of range without a description), writing one element per
// entry, verifying, the type; neither list offers error descriptions.
TEST_F(IDAndGUIDTest, ListsShareTheRules) {
  Own<CBSTRList> texts(NewBSTRList(kNoLimit));
  Own<CGUIDList> guids(NewGUIDList());
  struct Case {
    const char* what;
    AnyList list;
    std::vector<const char16_t*> entries;
    const char* element;
    const char* written;
    SHORT type;
    const char16_t* typeName;
  };
  const Case cases[] = {
      // An empty entry is still an entry: written as an empty element, and enough for a
      // required list.
      {"BSTRList", ListOf(texts.get()), {u"", u"Name", u"C&D"}, "IncludeRetElement",
       "<IncludeRetElement/>\r\n<IncludeRetElement>Name</IncludeRetElement>\r\n"
       "<IncludeRetElement>C&amp;D</IncludeRetElement>\r\n",
       101, u"BSTRList"},
      {"GUIDList", ListOf(guids.get()), {u"0", u"{6B29FC40-CA47-1067-B31D-00DD010662DA}"},
       "OwnerID",
       "<OwnerID>0</OwnerID>\r\n<OwnerID>{6B29FC40-CA47-1067-B31D-00DD010662DA}</OwnerID>\r\n",
       100, u"GUIDList"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectObjectType(c.list.com, c.type, c.typeName);
    ComPtr<IUnknown> support;
    EXPECT_EQ(c.list.com->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), E_NOINTERFACE);
    LONG n = -1;
    ASSERT_EQ(c.list.count(&n), S_OK);
    EXPECT_EQ(n, 0);
    Bstr out;
    EXPECT_EQ(c.list.getAt(0, out.Put()), kIndexStatus) << "an empty list has no index 0";
    EXPECT_EQ(Written(c.list.buildable, c.element), "");
    EXPECT_EQ(VerifyReport(c.list.buildable, nullptr, false), "");
    EXPECT_EQ(VerifyReport(c.list.buildable, nullptr), "List is empty \r\n");
    // The client's Verify of a list never fails and never writes the message.
    VARIANT_BOOL ok = 0;
    Bstr message;
    ASSERT_EQ(c.list.com->Verify(message.Put(), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_TRUE(message.IsNull());

    ASSERT_EQ(c.list.add(Bstr(c.entries[0]).Get()), S_OK);
    EXPECT_EQ(VerifyReport(c.list.buildable, nullptr), "");
    for (size_t i = 1; i < c.entries.size(); ++i) ASSERT_EQ(c.list.add(Bstr(c.entries[i]).Get()), S_OK);
    ASSERT_EQ(c.list.count(&n), S_OK);
    ASSERT_EQ(n, static_cast<LONG>(c.entries.size()));
    for (LONG bad : {LONG{-1}, n, INT32_MIN, INT32_MAX}) {
      EXPECT_EQ(c.list.getAt(bad, out.Put()), kIndexStatus) << bad;
      EXPECT_TRUE(out.IsNull()) << bad;
      EXPECT_EQ(TakeError(), kNoErrorObject) << bad;
    }
    for (LONG i = n - 1; i >= 0; --i) {
      ASSERT_EQ(c.list.getAt(i, out.Put()), S_OK);
      EXPECT_EQ(std::u16string(out.Get()), c.entries[static_cast<size_t>(i)]);
    }
    EXPECT_EQ(Written(c.list.buildable, c.element), c.written);
  }
}

// Lengths count UTF-16 code units; 0 and kNoLimit are no limit, and only kNoLimit is handed out
// as the empty text. A refused entry has no description.
TEST_F(IDAndGUIDTest, BSTRListLengthLimit) {
  const std::u16string pair = u"\U0001F600";
  auto pairs = [&](int n, std::u16string tail) {
    for (int i = 0; i < n; ++i) tail += pair;
    return tail;
  };
  struct Case {
    int32_t limit;
    std::u16string value;
    HRESULT hr;
    const char16_t* maxLength;
  };
  const Case cases[] = {
      {50, std::u16string(50, u'x'), S_OK, u"50"},
      {50, std::u16string(51, u'x'), kTooLongStatus, u"50"},
      {50, pairs(25, u""), S_OK, u"50"},
      {50, pairs(25, u"x"), kTooLongStatus, u"50"},  // 51 code units in 26 characters
      {50, u"", S_OK, u"50"},
      {1, u"\u00e9", S_OK, u"1"},
      {kNoLimit, std::u16string(5000, u'x'), S_OK, u""},
      {0, std::u16string(5000, u'x'), S_OK, u"0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "limit " << c.limit << ", " << c.value.size() << " units");
    Own<CBSTRList> list(NewBSTRList(c.limit));
    EXPECT_EQ(list->Add(Wide16(c.value).Get()), c.hr);
    EXPECT_EQ(TakeError(), kNoErrorObject);
    LONG n = -1;
    ASSERT_EQ(list->get_Count(&n), S_OK);
    EXPECT_EQ(n, c.hr == S_OK ? 1 : 0);
    Bstr text;
    ASSERT_EQ(list->GetMaxLength(text.Put()), S_OK);
    ASSERT_FALSE(text.IsNull());
    EXPECT_EQ(std::u16string(text.Get()), c.maxLength);
  }
}

// The rule is the GUID value's (GUIDValues); a refused entry has no description.
TEST_F(IDAndGUIDTest, GUIDListAddsOnlyGUIDs) {
  Own<CGUIDList> list(NewGUIDList());
  const std::pair<const char16_t*, HRESULT> cases[] = {
      {u"{6b29fc40-ca47-1067-b31d-00dd010662da}", S_OK},
      {u"6B29FC40-CA47-1067-B31D-00DD010662DA", kFormatStatus},
      {nullptr, kFormatStatus}};
  for (const auto& [value, hr] : cases) {
    EXPECT_EQ(list->Add(Bstr(value).Get()), hr);
    EXPECT_EQ(TakeError(), kNoErrorObject);
  }
  EXPECT_EQ(list->Values(), (std::vector<std::string>{"{6b29fc40-ca47-1067-b31d-00dd010662da}"}));
}

TEST_F(IDAndGUIDTest, ListHandlerMessages) {
  Own<CBSTRList> texts(NewBSTRList(kNoLimit));
  Own<CGUIDList> guids(NewGUIDList());
  const std::string v = "v";
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case cases[] = {
      {[&] { texts->HandleAggregate(tag::ListID); },
       "CBSTRList::HandleAggregate() unexpected agg tag id 778."},
      {[&] { guids->HandleAggregate(-1); }, "CGUIDList::HandleAggregate() unexpected agg tag id -1."},
      {[&] { texts->HandleAttribute(7, &v); }, "unexpected tag = 7 with value v."},
      {[&] { texts->HandleAttribute(7, nullptr); }, "unexpected tag = 7 with value Unknown value."},
      {[&] { guids->HandleAttribute(8, &v); }, "unexpected tag = 8 with value v."},
      {[&] { texts->HandleEndAggregate(tag::ListID); }, "no exception"},
  };
  ASSERT_EQ(tag::ListID, 778);
  for (const Case& c : cases) EXPECT_EQ(HandlerMessage(c.call), c.message);
}

TEST_F(IDAndGUIDTest, ParsedEntriesPassTheSameRules) {
  // Parsed text is measured in UTF-16 code units, not bytes: "é" is two bytes in UTF-8.
  ASSERT_EQ(SetThreadCodePage("UTF-8"), S_OK);
  Own<CBSTRList> texts(NewBSTRList(3));
  const std::string values[] = {"abc", "abcd", "\xC3\xA9\xC3\xA9\xC3\xA9", "ab"};
  for (const std::string& v : values) texts->HandleElement(tag::IncludeRetElement, &v);
  texts->HandleElement(tag::Name, nullptr);  // the tag is not looked at
  EXPECT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
  EXPECT_EQ(texts->Values(),
            (std::vector<std::string>{"abc", "\xC3\xA9\xC3\xA9\xC3\xA9", "ab", ""}));

  Own<CGUIDList> guids(NewGUIDList());
  const std::string entries[] = {"{6B29FC40-CA47-1067-B31D-00DD010662DA}", "x", "0", ""};
  for (const std::string& v : entries) guids->HandleElement(tag::OwnerID, &v);
  guids->HandleElement(tag::OwnerID, nullptr);
  EXPECT_EQ(guids->Values(),
            (std::vector<std::string>{"{6B29FC40-CA47-1067-B31D-00DD010662DA}", "0"}));
  EXPECT_EQ(TakeError(), kNoErrorObject);
}

}  // namespace
}  // namespace vtfc4
