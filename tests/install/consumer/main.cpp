// A client built only from the installed SDK: headers, shared library and package files.
#include <vtfc4/vtfc4.h>

#include <cstdio>

int main() {
  CLSID id;
  if (CLSIDFromString(u"{6B29FC40-CA47-1067-B31D-00DD010662DA}", &id) != S_OK) return 1;
  OLECHAR text[39];
  if (StringFromGUID2(id, text, 39) != 39) return 2;
  vtfc4::Bstr copy(text);
  if (copy.Length() != 38 || !IsEqualGUID(IID_IVTStringType, IID_IVTStringType)) return 3;
  if (SetThreadCodePage("UTF-8") != S_OK) return 4;
  std::puts("consumer ok");
  return 0;
}
