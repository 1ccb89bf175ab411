// References to list records by ListID or FullName, and lists of them.
#include "src/core/references.h"

#include <gtest/gtest.h>

#include "support.h"

#include <functional>
#include <string>
#include <vector>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/xml_builder.h"
#include "src/xml/tag_table.h"
#include "vtfc4/comptr.h"

namespace vtfc4 {
namespace {

constexpr const char* kObjectEmpty = "Required object is empty\r\n";
constexpr const char* kListEmpty = "List is empty \r\n";

Own<CVTBaseRef> NewRef(bool isRequest, int32_t limit = kNoLimit) {
  return Own<CVTBaseRef>(NewVTBaseRef(limit, isRequest, nullptr));
}

// The text of a member as a client reads it: "<no member>" when the getter hands out null.
template <class I>
std::string MemberText(IVTBaseRef* ref, HRESULT (IVTBaseRef::*get)(I**)) {
  ComPtr<I> member;
  EXPECT_EQ((ref->*get)(member.Put()), S_OK);
  if (!member) return "<no member>";
  Bstr value;
  if (member->GetValue(value.Put()) != S_OK) return "<not set: " + TakeError() + ">";
  return Narrow(value);
}
std::string ListIDOf(IVTBaseRef* ref) { return MemberText(ref, &IVTBaseRef::get_ListID); }
std::string FullNameOf(IVTBaseRef* ref) { return MemberText(ref, &IVTBaseRef::get_FullName); }

class ReferencesTest : public WithoutErrorObject {};

// ---- One reference.

// The refusal itself is the identifier's (identifiers_test.cpp): here, that ListID takes none.
TEST_F(ReferencesTest, ListIDTakesNoMacro) {
  Own<CVTBaseRef> ref = NewRef(true);
  ComPtr<IVTIDType> id, again;
  ASSERT_EQ(ref->get_ListID(id.Put()), S_OK);
  EXPECT_EQ(id->SetValueUseMacro(Bstr(u"m").Get()), kNotSetStatus);
  ASSERT_EQ(ref->get_ListID(again.Put()), S_OK);
  EXPECT_EQ(again.Get(), id.Get());
}

// The reference hands its limit to FullName (the limit's own rule is the text value's).
TEST_F(ReferencesTest, FullNameTakesTheLimit) {
  Own<CVTBaseRef> ref = NewRef(true, 41);
  ComPtr<IVTStringType> name;
  ASSERT_EQ(ref->get_FullName(name.Put()), S_OK);
  Bstr maxLength;
  ASSERT_EQ(name->GetMaxLength(maxLength.Put()), S_OK);
  EXPECT_EQ(Narrow(maxLength), "41");
  EXPECT_EQ(name->SetValue(Wide(std::string(41, 'n')).Get()), S_OK);
  EXPECT_EQ(name->SetValue(Wide(std::string(42, 'n')).Get()), kTooLongStatus);
  EXPECT_EQ(TakeError(), "String too long.");
}

TEST_F(ReferencesTest, VerifyNeedsListIDOrFullName) {
  struct Case {
    const char* what;
    bool required;
    std::function<void(IVTBaseRef*)> steps;
    const char* report;
  };
  auto listID = [](IVTBaseRef* r) {
    ComPtr<IVTIDType> id;
    EXPECT_EQ(r->get_ListID(id.Put()), S_OK);
    return id;
  };
  auto fullName = [](IVTBaseRef* r) {
    ComPtr<IVTStringType> name;
    EXPECT_EQ(r->get_FullName(name.Put()), S_OK);
    return name;
  };
  const Case cases[] = {
      {"nothing created", true, [](IVTBaseRef*) {}, kObjectEmpty},
      {"ListID read but never set", true, [&](IVTBaseRef* r) { listID(r); }, kObjectEmpty},
      {"FullName set", true,
       [&](IVTBaseRef* r) { ASSERT_EQ(fullName(r)->SetValue(Bstr(u"Abel").Get()), S_OK); }, ""},
      {"ListID set", true,
       [&](IVTBaseRef* r) { ASSERT_EQ(listID(r)->SetValue(Bstr(u"80000001-1").Get()), S_OK); },
       ""},
      {"FullName set empty", true, [&](IVTBaseRef* r) { ASSERT_EQ(fullName(r)->SetEmpty(), S_OK); },
       kObjectEmpty},
      {"FullName set to empty text", true,
       [&](IVTBaseRef* r) { ASSERT_EQ(fullName(r)->SetValue(Bstr(u"").Get()), S_OK); },
       kObjectEmpty},
      {"ListID set then unset, FullName read", true,
       [&](IVTBaseRef* r) {
         ASSERT_EQ(listID(r)->SetValue(Bstr(u"1").Get()), S_OK);
         ASSERT_EQ(listID(r)->Unset(), S_OK);
         fullName(r);
       },
       kObjectEmpty},
      {"not required and empty", false, [](IVTBaseRef*) {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Own<CVTBaseRef> ref = NewRef(true);
    c.steps(ref.get());
    EXPECT_EQ(VerifyReport(ref.get(), ref.get(), c.required), c.report);
  }
}

TEST_F(ReferencesTest, WritesListIDThenFullName) {
  Own<CVTBaseRef> ref = NewRef(true);
  EXPECT_EQ(Written(ref.get(), "CustomerRef"), "");
  ComPtr<IVTStringType> name;
  ASSERT_EQ(ref->get_FullName(name.Put()), S_OK);
  ASSERT_EQ(name->SetValue(Bstr(u"Abel & Co:Job 1").Get()), S_OK);
  ComPtr<IVTIDType> id;
  ASSERT_EQ(ref->get_ListID(id.Put()), S_OK);
  ASSERT_EQ(id->SetValue(Bstr(u"80000001-1234567890").Get()), S_OK);
  EXPECT_EQ(Written(ref.get(), "CustomerRef"),
            "<CustomerRef>\r\n<ListID>80000001-1234567890</ListID>\r\n"
            "<FullName>Abel &amp; Co:Job 1</FullName>\r\n</CustomerRef>\r\n");
  EXPECT_EQ(Written(ref.get(), ""),
            "<VTBaseRef>\r\n<ListID>80000001-1234567890</ListID>\r\n"
            "<FullName>Abel &amp; Co:Job 1</FullName>\r\n</VTBaseRef>\r\n");
}

TEST_F(ReferencesTest, ParsedIntoResponseReference) {
  Own<CVTBaseRef> ref = NewRef(false, 5);
  EXPECT_EQ(ListIDOf(ref.get()), "<no member>") << "a response reference hands out null";
  const std::string id = "80000001-1", name = "Abel:Job longer than the limit";
  ref->HandleElement(tag::ListID, &id);
  EXPECT_EQ(ListIDOf(ref.get()), "80000001-1");
  EXPECT_EQ(FullNameOf(ref.get()), "<no member>") << "the parse flag is lowered again";
  ref->HandleElement(tag::FullName, &name);
  EXPECT_EQ(FullNameOf(ref.get()), name) << "parsed text is stored unchecked";
  ref->HandleElement(tag::ListID, nullptr);
  EXPECT_EQ(ListIDOf(ref.get()), "") << "an element without text";
  ref->HandleEndAggregate(tag::CustomerRef);

  const std::string v = "v";
  EXPECT_EQ(HandlerMessage([&] { ref->HandleElement(tag::Name, &v); }),
            "class VTBaseRef got unexpected tag id " + std::to_string(tag::Name) +
                " (Name) with value v.");
  EXPECT_EQ(HandlerMessage([&] { ref->HandleAggregate(tag::CustomerRef); }),
            "class VTBaseRef got unexpected agg tag id " + std::to_string(tag::CustomerRef) +
                " (CustomerRef).");
  Own<CVTBaseRef> untouched = NewRef(false);
  HandlerMessage([&] { untouched->HandleElement(tag::Name, &v); });
  EXPECT_EQ(ListIDOf(untouched.get()), "<no member>") << "a refused tag raises no parse flag";
}

// ---- Lists of references.

TEST_F(ReferencesTest, AppendOnRequestAndResponseLists) {
  Own<CVTBaseRefList> request(NewVTBaseRefList(41, true));
  ComPtr<IVTBaseRef> first, second;
  ASSERT_EQ(request->Append(first.Put()), S_OK);
  ASSERT_EQ(request->Append(second.Put()), S_OK);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.Get(), second.Get());
  LONG n = 0;
  ASSERT_EQ(request->get_Count(&n), S_OK);
  EXPECT_EQ(n, 2);
  ComPtr<IVTBaseRef> at;
  ASSERT_EQ(request->GetAt(1, at.Put()), S_OK);
  EXPECT_EQ(at.Get(), second.Get());
  // New entries take the list's FullName limit.
  ComPtr<IVTStringType> name;
  ASSERT_EQ(first->get_FullName(name.Put()), S_OK);
  EXPECT_EQ(name->SetValue(Bstr(std::u16string(42, u'n').c_str()).Get()), kTooLongStatus);
  EXPECT_EQ(TakeError(), "String too long.");

  Own<CVTBaseRefList> response(NewVTBaseRefList(41, false));
  ComPtr<IVTBaseRef> none;
  EXPECT_EQ(response->Append(none.Put()), S_OK);
  EXPECT_FALSE(none);
  ASSERT_EQ(response->get_Count(&n), S_OK);
  EXPECT_EQ(n, 0);
}

TEST_F(ReferencesTest, GetAtOutOfRangeWithoutDescription) {
  Own<CVTBaseRefList> list(NewVTBaseRefList(kNoLimit, true));
  ComPtr<IVTBaseRef> out;
  EXPECT_EQ(list->GetAt(0, out.Put()), kRangeStatus);
  ASSERT_EQ(list->Append(out.Put()), S_OK);
  for (LONG bad : {LONG{-1}, LONG{1}, INT32_MIN}) {
    EXPECT_EQ(list->GetAt(bad, out.Put()), kRangeStatus) << bad;
    EXPECT_FALSE(out) << bad;
    EXPECT_EQ(TakeError(), kNoErrorObject) << bad;
  }
  ComPtr<IUnknown> support;
  EXPECT_EQ(list->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), E_NOINTERFACE);
}

TEST_F(ReferencesTest, ParsedIntoResponseList) {
  Own<CVTBaseRefList> list(NewVTBaseRefList(kNoLimit, false));
  const std::string ids[] = {"80000001-1", "80000002-2"};
  for (const std::string& id : ids) {
    SAXParseable* entry = list->HandleAggregate(tag::CustomerRef);
    ASSERT_NE(entry, nullptr);
    entry->HandleElement(tag::ListID, &id);
    list->HandleEndAggregate(tag::CustomerRef);
  }
  LONG n = 0;
  ASSERT_EQ(list->get_Count(&n), S_OK);
  ASSERT_EQ(n, 2);
  for (LONG i = 0; i < n; ++i) {
    ComPtr<IVTBaseRef> ref;
    ASSERT_EQ(list->GetAt(i, ref.Put()), S_OK);
    EXPECT_EQ(ListIDOf(ref.Get()), ids[i]);
    // Entries are made as request objects, so their other member is handed out too.
    EXPECT_EQ(FullNameOf(ref.Get()), "<not set: No value has been set.>");
  }

  const std::string v = "v";
  EXPECT_EQ(HandlerMessage([&] { list->HandleElement(tag::ListID, &v); }),
            "CVTBaseRefList::HandleElement unexpected tag = " + std::to_string(tag::ListID) +
                " with value v.");
  EXPECT_EQ(HandlerMessage([&] { list->HandleElement(3, nullptr); }),
            "CVTBaseRefList::HandleElement unexpected tag = 3 with value Unknown value.");
}

TEST_F(ReferencesTest, ListWritesEachReferenceUnderTheOwnersName) {
  Own<CVTBaseRefList> list(NewVTBaseRefList(kNoLimit, true));
  EXPECT_FALSE(list->HasContent());
  // Empty references, before and between the others, write nothing and are no content.
  bool content = false;
  for (const char16_t* id : std::vector<const char16_t*>{nullptr, u"A-1", nullptr, u"B-2"}) {
    ComPtr<IVTBaseRef> ref;
    ASSERT_EQ(list->Append(ref.Put()), S_OK);
    ComPtr<IVTIDType> listID;
    ASSERT_EQ(ref->get_ListID(listID.Put()), S_OK);
    if (id) {
      ASSERT_EQ(listID->SetValue(Bstr(id).Get()), S_OK);
      content = true;
    }
    EXPECT_EQ(list->HasContent(), content);
  }
  EXPECT_TRUE(list->HasContent());
  EXPECT_EQ(Written(list.get(), "CustomerRef"),
            "<CustomerRef>\r\n<ListID>A-1</ListID>\r\n</CustomerRef>\r\n"
            "<CustomerRef>\r\n<ListID>B-2</ListID>\r\n</CustomerRef>\r\n");
}

TEST_F(ReferencesTest, ListVerify) {
  struct Case {
    const char* what;
    bool content;  // one reference with a ListID
    bool emptyEntry;  // one reference with nothing set
    bool required;
    const char* report;
  };
  const Case cases[] = {
      {"required, no entries", false, false, true, kListEmpty},
      {"required, only an empty entry", false, true, true, kListEmpty},
      {"required, with content", true, true, true, ""},
      {"not required, no entries", false, false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Own<CVTBaseRefList> list(NewVTBaseRefList(kNoLimit, true));
    ComPtr<IVTBaseRef> ref;
    if (c.emptyEntry) {
      ASSERT_EQ(list->Append(ref.Put()), S_OK);
    }
    if (c.content) {
      ASSERT_EQ(list->Append(ref.Put()), S_OK);
      ComPtr<IVTIDType> id;
      ASSERT_EQ(ref->get_ListID(id.Put()), S_OK);
      ASSERT_EQ(id->SetValue(Bstr(u"1").Get()), S_OK);
    }
    EXPECT_EQ(VerifyReport(list.get(), list.get(), c.required), c.report);
    EXPECT_EQ(TakeError(), kNoErrorObject);
  }
}

TEST_F(ReferencesTest, Types) {
  ExpectObjectType(NewRef(true).get(), 103, u"VTBaseRef");
  ExpectObjectType(Own<CVTBaseRefList>(NewVTBaseRefList(kNoLimit, true)).get(), 104, u"VTBaseRefList");
}

}  // namespace
}  // namespace vtfc4
