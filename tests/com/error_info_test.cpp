// Error objects and the per-thread current error object.
#include <gtest/gtest.h>

#include <string_view>
#include <thread>

#include "src/com/object.h"
#include "support.h"
#include "vtfc4/com.h"
#include "vtfc4/comptr.h"

namespace {

using vtfc4::Bstr;
using vtfc4::ComPtr;
using vtfc4::CountingErrorInfo;

// Every test leaves the calling thread without a current error object.
class ErrorInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { SetErrorInfo(0, nullptr); }
  void TearDown() override { SetErrorInfo(0, nullptr); }
};

TEST_F(ErrorInfoTest, OneObjectAnswersBothFacesAndIUnknown) {
  const LONG before = vtfc4::ModuleLockCount().load();
  {
    ComPtr<ICreateErrorInfo> create;
    ASSERT_EQ(CreateErrorInfo(create.Put()), S_OK);
    ASSERT_TRUE(create);
    EXPECT_EQ(vtfc4::ModuleLockCount().load(), before + 1);

    ComPtr<IErrorInfo> info;
    ASSERT_EQ(create.As(&info), S_OK);
    ComPtr<IUnknown> fromCreate, fromInfo;
    ASSERT_EQ(create.As(&fromCreate), S_OK);
    ASSERT_EQ(info.As(&fromInfo), S_OK);
    EXPECT_EQ(fromCreate.Get(), fromInfo.Get()) << "one identity";
    ComPtr<ICreateErrorInfo> back;
    ASSERT_EQ(info.As(&back), S_OK);
    EXPECT_EQ(back.Get(), create.Get());

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(create->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(create->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // The reference count: this test holds create, info, fromCreate, fromInfo, back.
    EXPECT_EQ(create->AddRef(), 6u);
    EXPECT_EQ(create->Release(), 5u);
  }
  EXPECT_EQ(vtfc4::ModuleLockCount().load(), before) << "the object is gone";
  EXPECT_EQ(CreateErrorInfo(nullptr), E_POINTER);
}

// The texts are copies both ways. (The description is read throughout the other suites; a
// field that only hands back what was stored is not tested on its own.)
TEST_F(ErrorInfoTest, KeepsCopiesOfWhatIsSet) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.Put()), S_OK);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(create.As(&info), S_OK);
  GUID guid;
  ASSERT_EQ(info->GetGUID(&guid), S_OK);
  EXPECT_EQ(guid, GUID_NULL) << "nothing set yet";
  DWORD context = 7;
  ASSERT_EQ(info->GetHelpContext(&context), S_OK);
  EXPECT_EQ(context, 0u);
  Bstr text, again;
  ASSERT_EQ(info->GetSource(text.Put()), S_OK);
  EXPECT_TRUE(text.IsNull());

  OLECHAR source[] = u"vtFC4.Test";
  ASSERT_EQ(create->SetSource(source), S_OK);
  source[0] = u'X';  // the object keeps its own copy
  ASSERT_EQ(info->GetSource(text.Put()), S_OK);
  EXPECT_EQ(std::u16string_view(text.Get()), u"vtFC4.Test");
  ASSERT_EQ(info->GetSource(again.Put()), S_OK);
  EXPECT_NE(again.Get(), text.Get()) << "each Get hands out a new copy";
  ASSERT_EQ(create->SetSource(nullptr), S_OK);  // null clears
  ASSERT_EQ(info->GetSource(text.Put()), S_OK);
  EXPECT_TRUE(text.IsNull());

  EXPECT_EQ(info->GetDescription(nullptr), E_INVALIDARG);
  EXPECT_EQ(info->GetGUID(nullptr), E_INVALIDARG);
}

TEST_F(ErrorInfoTest, RefusedArguments) {
  IErrorInfo* out = reinterpret_cast<IErrorInfo*>(1);
  EXPECT_EQ(GetErrorInfo(0, &out), S_FALSE) << "no current object";
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
  // The reserved argument must be zero.
  CountingErrorInfo fake;
  EXPECT_EQ(SetErrorInfo(1, &fake), E_INVALIDARG);
  EXPECT_EQ(fake.refs, 1u);
  out = reinterpret_cast<IErrorInfo*>(1);
  EXPECT_EQ(GetErrorInfo(1, &out), E_INVALIDARG);
  EXPECT_EQ(out, nullptr);
}

// The slot holds one reference: Set takes it, Get hands it over, replacing releases the old.
TEST_F(ErrorInfoTest, TheSlotHoldsOneReference) {
  CountingErrorInfo first, second;
  ASSERT_EQ(SetErrorInfo(0, &first), S_OK);
  EXPECT_EQ(first.refs, 2u);
  ASSERT_EQ(SetErrorInfo(0, &first), S_OK);  // the same object again
  EXPECT_EQ(first.refs, 2u);
  ASSERT_EQ(SetErrorInfo(0, &second), S_OK);
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(second.refs, 2u);

  IErrorInfo* out = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &out), S_OK);
  EXPECT_EQ(out, &second);
  EXPECT_EQ(second.refs, 2u) << "the slot's reference went to the caller";
  out->Release();
  EXPECT_EQ(GetErrorInfo(0, &out), S_FALSE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(second.refs, 1u);

  ASSERT_EQ(SetErrorInfo(0, &first), S_OK);
  ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);
  EXPECT_EQ(first.refs, 1u);
}

TEST_F(ErrorInfoTest, EachThreadHasItsOwnSlot) {
  CountingErrorInfo mine, theirs;
  ASSERT_EQ(SetErrorInfo(0, &mine), S_OK);

  std::thread other([&] {
    IErrorInfo* out = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &out), S_FALSE) << "the main thread's object is not seen";
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(SetErrorInfo(0, &theirs), S_OK);
    EXPECT_EQ(theirs.refs, 2u);
    // Left set: thread exit must release it.
  });
  other.join();
  EXPECT_EQ(theirs.refs, 1u) << "released at thread exit";
  EXPECT_EQ(mine.refs, 2u) << "untouched by the other thread";

  IErrorInfo* out = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &out), S_OK);
  EXPECT_EQ(out, &mine);
  out->Release();
}

}  // namespace
