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

constexpr HRESULT kNotSetStatus = VTFC4_HR(0x80040300);
constexpr HRESULT kIndexStatus = VTFC4_HR(0x80040303);
constexpr HRESULT kTooLongStatus = VTFC4_HR(0x80040304);
constexpr HRESULT kFormatStatus = VTFC4_HR(0x80040305);
constexpr HRESULT kEmptyStatus = VTFC4_HR(0x80040306);
constexpr const char* kNotWritten = "<not written>";
constexpr const char* kGuidMessage =
    "Invalid GUID format. Must use zero for Custom Fields, or a GUID generated with GuidGen.exe "
    "for private data extensions.";

std::string Text(const Bstr& b) { return b.IsNull() ? "<null>" : ToNarrow(b.Get()); }
Bstr Wide(const std::u16string& s) { return Bstr(s.c_str()); }

// Owns the one reference a factory hands over.
template <class T>
class Own {
 public:
  explicit Own(ObjectRoot* made) : ref_(made) {
    if (made) made->ReleaseRoot();
  }
  T* operator->() const { return get(); }
  T* get() const { return dynamic_cast<T*>(ref_.Get()); }

 private:
  RootRef ref_;
};

std::string XmlText(const BasicPropertyType& value) {
  std::string out;
  return value.GetXMLValue(out) ? out : kNotWritten;
}

class IDAndGUIDTest : public ::testing::Test {
 protected:
  void SetUp() override { TakeError(); }
  void TearDown() override { TakeError(); }
};

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
    ASSERT_EQ(id->SetValue(Wide(u"prev").Get()), S_OK);
    EXPECT_EQ(id->SetValue(Wide(c.value).Get()), c.hr);
    EXPECT_EQ(TakeError(), c.hr == S_OK ? kNoErrorObject : "String too long.");
    Bstr read;
    ASSERT_EQ(id->GetValue(read.Put()), S_OK);
    EXPECT_EQ(Text(read), c.stored);
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
    EXPECT_EQ(c.getValue == S_OK ? Text(value) : TakeError(), c.valueOrError);
    Bstr macro;
    EXPECT_EQ(id->GetValueUseMacro(macro.Put()), c.getMacro);
    EXPECT_EQ(c.getMacro == S_OK ? Text(macro) : TakeError(), c.macroOrError);
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
  EXPECT_EQ(Text(value), "80000001-1") << "the refused macro changes nothing";
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
      {"value", [](IVTIDType* p) { ASSERT_EQ(p->SetValue(Bstr(u"v").Get()), S_OK); },
       "<LinkedTxn>\r\n<TxnID>v</TxnID>\r\n</LinkedTxn>\r\n", ""},
      {"empty value", [](IVTIDType* p) { ASSERT_EQ(p->SetEmpty(), S_OK); },
       "<LinkedTxn>\r\n<TxnID/>\r\n</LinkedTxn>\r\n", missing},
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
    XMLBuilder builder;
    txn->Build("", builder);
    EXPECT_EQ(builder.Output(), c.xml);
    std::string report;
    EXPECT_EQ(txn->Verify(true, report), *c.report == '\0');
    EXPECT_EQ(report, c.report);
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
      EXPECT_EQ(Text(read), given) << "kept as given";
      EXPECT_EQ(XmlText(*guid->AsValue()), given);
      EXPECT_TRUE(guid->HasValue());
    } else {
      EXPECT_EQ(guid->GetValue(read.Put()), kNotSetStatus);
      EXPECT_EQ(TakeError(), "No value has been set.");
      EXPECT_EQ(XmlText(*guid->AsValue()), kNotWritten);
    }
  }
}

TEST_F(IDAndGUIDTest, GUIDEmptyAndUnset) {
  Own<CVTGUIDType> guid(NewGUIDValue());
  ASSERT_EQ(guid->SetValue(Bstr(u"0").Get()), S_OK);
  ASSERT_EQ(guid->SetEmpty(), S_OK);
  EXPECT_FALSE(guid->HasValue());
  EXPECT_EQ(XmlText(*guid->AsValue()), "");
  Bstr read;
  EXPECT_EQ(guid->GetValue(read.Put()), kEmptyStatus);
  EXPECT_EQ(TakeError(), "Value is empty.");

  ASSERT_EQ(guid->SetValue(Bstr(u"0").Get()), S_OK);
  ASSERT_EQ(guid->Unset(), S_OK);
  EXPECT_FALSE(guid->HasValue());
  EXPECT_EQ(guid->Text(), "") << "Unset forgets the text";
  EXPECT_EQ(XmlText(*guid->AsValue()), kNotWritten);
}

// ---- Lists of text values.

// The list operations the two list interfaces share, by object.
struct AnyList {
  std::function<HRESULT(BSTR)> add;
  std::function<HRESULT(LONG*)> count;
  std::function<HRESULT(LONG, BSTR*)> getAt;
  ObjectRoot* root;
};

template <class T>
AnyList ListOf(T* list) {
  return {[list](BSTR v) { return list->Add(v); }, [list](LONG* n) { return list->get_Count(n); },
          [list](LONG i, BSTR* out) { return list->GetAt(i, out); }, list};
}

TEST_F(IDAndGUIDTest, ListsIndexOutOfRangeWithoutDescription) {
  Own<CBSTRList> texts(NewBSTRList(kNoLimit));
  Own<CGUIDList> guids(NewGUIDList());
  struct Case {
    const char* what;
    AnyList list;
    const char16_t* first;
    const char16_t* second;
  };
  const Case cases[] = {
      {"BSTRList", ListOf(texts.get()), u"Name", u"ListID"},
      {"GUIDList", ListOf(guids.get()), u"0", u"{6B29FC40-CA47-1067-B31D-00DD010662DA}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LONG n = -1;
    ASSERT_EQ(c.list.count(&n), S_OK);
    EXPECT_EQ(n, 0);
    Bstr out;
    EXPECT_EQ(c.list.getAt(0, out.Put()), kIndexStatus) << "an empty list has no index 0";
    ASSERT_EQ(c.list.add(Bstr(c.first).Get()), S_OK);
    ASSERT_EQ(c.list.add(Bstr(c.second).Get()), S_OK);
    ASSERT_EQ(c.list.count(&n), S_OK);
    ASSERT_EQ(n, 2);
    for (LONG bad : {LONG{-1}, n, INT32_MIN, INT32_MAX}) {
      EXPECT_EQ(c.list.getAt(bad, out.Put()), kIndexStatus) << bad;
      EXPECT_TRUE(out.IsNull()) << bad;
      EXPECT_EQ(TakeError(), kNoErrorObject) << bad;
    }
    ASSERT_EQ(c.list.getAt(1, out.Put()), S_OK);
    EXPECT_EQ(std::u16string(out.Get()), c.second);
    ASSERT_EQ(c.list.getAt(0, out.Put()), S_OK);
    EXPECT_EQ(std::u16string(out.Get()), c.first);
    // Neither list offers error descriptions.
    ComPtr<IUnknown> support;
    EXPECT_EQ(c.list.root->QueryRoot(IID_ISupportErrorInfo, support.PutVoid()), E_NOINTERFACE);
  }
}

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
  };
  const Case cases[] = {
      {50, std::u16string(50, u'x'), S_OK},
      {50, std::u16string(51, u'x'), kTooLongStatus},
      {50, pairs(25, u""), S_OK},
      {50, pairs(25, u"x"), kTooLongStatus},  // 51 code units in 26 characters
      {50, u"", S_OK},
      {1, u"\u00e9", S_OK},
      {kNoLimit, std::u16string(5000, u'x'), S_OK},
      {0, std::u16string(5000, u'x'), S_OK},  // 0 is no limit either
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "limit " << c.limit << ", " << c.value.size() << " units");
    Own<CBSTRList> list(NewBSTRList(c.limit));
    EXPECT_EQ(list->Add(Wide(c.value).Get()), c.hr);
    EXPECT_EQ(TakeError(), kNoErrorObject);
    LONG n = -1;
    ASSERT_EQ(list->get_Count(&n), S_OK);
    EXPECT_EQ(n, c.hr == S_OK ? 1 : 0);
  }
}

TEST_F(IDAndGUIDTest, BSTRListMaxLength) {
  struct Case {
    int32_t limit;
    const char16_t* text;
  };
  const Case cases[] = {{kNoLimit, u""}, {50, u"50"}, {0, u"0"}, {1, u"1"}};
  for (const Case& c : cases) {
    Own<CBSTRList> list(NewBSTRList(c.limit));
    Bstr text;
    ASSERT_EQ(list->GetMaxLength(text.Put()), S_OK);
    ASSERT_FALSE(text.IsNull()) << "no limit is an empty text, not a null one";
    EXPECT_EQ(std::u16string(text.Get()), c.text) << c.limit;
  }
}

TEST_F(IDAndGUIDTest, GUIDListAddsOnlyGUIDs) {
  Own<CGUIDList> list(NewGUIDList());
  struct Case {
    const char16_t* value;
    HRESULT hr;
  };
  const Case cases[] = {{u"0", S_OK},
                        {u"{6b29fc40-ca47-1067-b31d-00dd010662da}", S_OK},
                        {u"6B29FC40-CA47-1067-B31D-00DD010662DA", kFormatStatus},
                        {u"1", kFormatStatus},
                        {u"", kFormatStatus},
                        {nullptr, kFormatStatus}};
  for (const Case& c : cases) {
    EXPECT_EQ(list->Add(Bstr(c.value).Get()), c.hr);
    EXPECT_EQ(TakeError(), kNoErrorObject);
  }
  EXPECT_EQ(list->Values(),
            (std::vector<std::string>{"0", "{6b29fc40-ca47-1067-b31d-00dd010662da}"}));
}

TEST_F(IDAndGUIDTest, ListsWriteOneElementPerEntry) {
  Own<CBSTRList> list(NewBSTRList(kNoLimit));
  XMLBuilder empty;
  list->Build("IncludeRetElement", empty);
  EXPECT_EQ(empty.Output(), "");
  EXPECT_FALSE(list->HasContent());
  for (const char16_t* v : {u"A", u"B", u"", u"C&D"}) ASSERT_EQ(list->Add(Bstr(v).Get()), S_OK);
  EXPECT_TRUE(list->HasContent());
  XMLBuilder builder;
  list->Build("IncludeRetElement", builder);
  EXPECT_EQ(builder.Output(),
            "<IncludeRetElement>A</IncludeRetElement>\r\n"
            "<IncludeRetElement>B</IncludeRetElement>\r\n"
            "<IncludeRetElement/>\r\n"
            "<IncludeRetElement>C&amp;D</IncludeRetElement>\r\n");

  Own<CGUIDList> guids(NewGUIDList());
  ASSERT_EQ(guids->Add(Bstr(u"0").Get()), S_OK);
  XMLBuilder g;
  guids->Build("OwnerID", g);
  EXPECT_EQ(g.Output(), "<OwnerID>0</OwnerID>\r\n");
}

TEST_F(IDAndGUIDTest, ListsVerify) {
  Own<CBSTRList> texts(NewBSTRList(kNoLimit));
  Own<CGUIDList> guids(NewGUIDList());
  struct Case {
    XMLBuildable* list;
    IVTBase* com;
    std::function<void()> fill;
  };
  const Case cases[] = {
      {texts.get(), texts.get(), [&] { ASSERT_EQ(texts->Add(Bstr(u"").Get()), S_OK); }},
      {guids.get(), guids.get(), [&] { ASSERT_EQ(guids->Add(Bstr(u"0").Get()), S_OK); }},
  };
  for (const Case& c : cases) {
    std::string errors = "before\r\n";
    EXPECT_TRUE(c.list->Verify(false, errors));
    EXPECT_EQ(errors, "before\r\n");
    EXPECT_FALSE(c.list->Verify(true, errors));
    EXPECT_EQ(errors, "before\r\nList is empty \r\n");
    // The client's Verify of a list never fails and never writes the message.
    VARIANT_BOOL ok = 0;
    Bstr message;
    ASSERT_EQ(c.com->Verify(message.Put(), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_TRUE(message.IsNull());
    c.fill();
    errors.clear();
    EXPECT_TRUE(c.list->Verify(true, errors)) << "an empty entry is still an entry";
    EXPECT_EQ(errors, "");
  }
}

TEST_F(IDAndGUIDTest, ListTypes) {
  Own<CBSTRList> texts(NewBSTRList(kNoLimit));
  Own<CGUIDList> guids(NewGUIDList());
  struct Case {
    IVTBase* list;
    SHORT value;
    const char16_t* name;
  };
  const Case cases[] = {{texts.get(), 101, u"BSTRList"}, {guids.get(), 100, u"GUIDList"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.value));
    ExpectObjectType(c.list, c.value, c.name);
  }
}

std::string HandlerMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const SAXParseHandlerException& e) {
    return e.what();
  }
  return "no exception";
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
