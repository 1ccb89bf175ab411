// The numbered message texts and the error-report convention.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "src/com/error.h"
#include "src/com/text.h"
#include "vtfc4/comptr.h"

namespace vtfc4 {
namespace {

struct Message {
  UINT id;
  const char* text;
};

// Generated from src/com/messages.tsv: {id, "text"}, texts exactly as the table has them
// (trailing blanks and CR LF kept).
constexpr Message kMessages[] = {
#include "vtfc4/gen/messages.inc"
};

constexpr size_t kMaxMessageText = 1024;

const char* Find(UINT id) {
  for (const Message& m : kMessages)
    if (m.id == id) return m.text;
  return nullptr;
}

}  // namespace

int LoadMessageString(UINT id, char* buffer, int max) {
  if (!buffer || max <= 0) return 0;
  const char* text = Find(id);
  if (!text) {
    buffer[0] = '\0';
    return 0;
  }
  const size_t n = std::min(std::strlen(text), static_cast<size_t>(max) - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

std::string MessageText(UINT id) {
  const char* text = Find(id);
  if (!text) return "Unknown Error";
  return std::string(text, strnlen(text, kMaxMessageText));
}

HRESULT ReportErrorText(std::string_view description, HRESULT status, const char* source) {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.Put()))) return status;
  create->SetGUID(GUID_NULL);
  Bstr text = Bstr::Adopt(ToBstr(description));
  create->SetDescription(text.Get());
  if (source) {
    Bstr sourceText = Bstr::Adopt(ToBstr(source));
    create->SetSource(sourceText.Get());
  }
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.Get());
  return status;
}

HRESULT ReportError(UINT messageId, HRESULT status, const char* source) {
  try {
    return ReportErrorText(MessageText(messageId), status, source);
  } catch (const std::bad_alloc&) {
    return status;
  }
}

}  // namespace vtfc4
