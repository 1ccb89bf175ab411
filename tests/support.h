// Helpers shared by the test suites.
#ifndef VTFC4_TESTS_SUPPORT_H
#define VTFC4_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "src/com/text.h"
#include "vtfc4/comptr.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// What TakeError answers when the thread has no current error object.
inline constexpr const char* kNoErrorObject = "<no error object>";

// The description of the calling thread's current error object, which is taken (so the next
// check starts clean); kNoErrorObject when there is none.
inline std::string TakeError() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return kNoErrorObject;
  Bstr description;
  info->GetDescription(description.Put());
  return ToNarrow(description.Get());
}

// The same, with the empty text when there is no error object.
inline std::string TakeErrorDescription() {
  std::string description = TakeError();
  return description == kNoErrorObject ? std::string() : description;
}

// The object's type: made once and kept, with its ENObjectType value and name.
inline void ExpectObjectType(IVTBase* object, SHORT value, const char16_t* name) {
  ComPtr<IObjectType> type, again;
  ASSERT_EQ(object->get_Type(type.Put()), S_OK);
  ASSERT_EQ(object->get_Type(again.Put()), S_OK);
  EXPECT_EQ(type.Get(), again.Get()) << "made once and kept";
  SHORT got = 0;
  ASSERT_EQ(type->GetValue(&got), S_OK);
  EXPECT_EQ(got, value);
  Bstr text;
  ASSERT_EQ(type->GetAsString(text.Put()), S_OK);
  EXPECT_EQ(std::u16string(text.Get()), name);
}

}  // namespace vtfc4

#endif  // VTFC4_TESTS_SUPPORT_H
