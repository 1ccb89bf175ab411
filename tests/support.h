// Helpers shared by the test suites.
#ifndef VTFC4_TESTS_SUPPORT_H
#define VTFC4_TESTS_SUPPORT_H

#include <string>

#include "src/com/text.h"
#include "vtfc4/comptr.h"

namespace vtfc4 {

// The description of the calling thread's current error object, which is taken (so the next
// check starts clean); the empty text when there is none.
inline std::string TakeErrorDescription() {
  ComPtr<IErrorInfo> info;
  Bstr description;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
  return ToNarrow(description.Get());
}

}  // namespace vtfc4

#endif  // VTFC4_TESTS_SUPPORT_H
