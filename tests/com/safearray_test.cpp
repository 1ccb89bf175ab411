// SAFEARRAY of BSTR, and VARIANT clearing.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>

#include "vtfc4/com.h"
#include "support.h"
#include "vtfc4/comptr.h"

namespace {

using vtfc4::Bstr;

TEST(SafeArray, OnlyBstrVectorsAreMade) {
  for (VARTYPE vt : {VT_EMPTY, VT_I4, VT_R8, VT_VARIANT, VT_UNKNOWN, VT_DISPATCH}) {
    EXPECT_EQ(SafeArrayCreateVector(vt, 0, 3), nullptr) << vt;
  }
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 3);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(SafeArrayGetDim(a), 1u);
  EXPECT_EQ(a->cbElements, sizeof(BSTR));
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

struct BoundCase {
  LONG lower;
  ULONG count;
  LONG upper;
};

class SafeArrayBounds : public ::testing::TestWithParam<BoundCase> {};

TEST_P(SafeArrayBounds, LowerAndUpper) {
  const BoundCase& c = GetParam();
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, c.lower, c.count);
  ASSERT_NE(a, nullptr);
  LONG bound = 12345;
  ASSERT_EQ(SafeArrayGetLBound(a, 1, &bound), S_OK);
  EXPECT_EQ(bound, c.lower);
  ASSERT_EQ(SafeArrayGetUBound(a, 1, &bound), S_OK);
  EXPECT_EQ(bound, c.upper);
  // Every element starts null.
  for (LONG i = 0; i < static_cast<LONG>(c.count); ++i) {
    const LONG index = c.lower + i;
    BSTR element = reinterpret_cast<BSTR>(1);
    ASSERT_EQ(SafeArrayGetElement(a, &index, &element), S_OK);
    EXPECT_EQ(element, nullptr);
  }
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Cases, SafeArrayBounds,
                         ::testing::Values(BoundCase{0, 0, -1}, BoundCase{0, 1, 0},
                                           BoundCase{1, 3, 3}, BoundCase{-5, 2, -4},
                                           BoundCase{INT32_MAX, 1, INT32_MAX},
                                           BoundCase{INT32_MIN, 2, INT32_MIN + 1}));

TEST(SafeArray, PutStoresACopyAndGetHandsOutACopy) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 1, 2);
  ASSERT_NE(a, nullptr);
  const LONG one = 1, two = 2;
  {
    Bstr value(u"first");
    // Windows' semantics: the BSTR itself is passed, not its address.
    ASSERT_EQ(SafeArrayPutElement(a, &one, value.Get()), S_OK);
    EXPECT_NE(static_cast<BSTR*>(a->pvData)[0], value.Get()) << "the array keeps a copy";
  }  // the caller's string is gone; the array's copy remains

  Bstr got1, got2;
  ASSERT_EQ(SafeArrayGetElement(a, &one, got1.Put()), S_OK);
  ASSERT_EQ(SafeArrayGetElement(a, &one, got2.Put()), S_OK);
  EXPECT_EQ(std::u16string_view(got1.Get()), u"first");
  EXPECT_NE(got1.Get(), got2.Get()) << "each Get hands out a new copy";
  EXPECT_NE(got1.Get(), static_cast<BSTR*>(a->pvData)[0]);

  // Replacing frees the old element (ASan would see a leak otherwise).
  Bstr replacement(u"second");
  ASSERT_EQ(SafeArrayPutElement(a, &one, replacement.Get()), S_OK);
  ASSERT_EQ(SafeArrayGetElement(a, &one, got1.Put()), S_OK);
  EXPECT_EQ(std::u16string_view(got1.Get()), u"second");

  // The byte length is kept, odd lengths and embedded NULs included.
  Bstr odd = Bstr::Adopt(SysAllocStringByteLen("a\0b", 3));
  ASSERT_EQ(SafeArrayPutElement(a, &two, odd.Get()), S_OK);
  ASSERT_EQ(SafeArrayGetElement(a, &two, got2.Put()), S_OK);
  EXPECT_EQ(SysStringByteLen(got2.Get()), 3u);

  // A null BSTR is stored as null.
  ASSERT_EQ(SafeArrayPutElement(a, &two, nullptr), S_OK);
  ASSERT_EQ(SafeArrayGetElement(a, &two, got2.Put()), S_OK);
  EXPECT_TRUE(got2.IsNull());

  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

class SafeArrayBadIndex : public ::testing::TestWithParam<LONG> {};

TEST_P(SafeArrayBadIndex, IsRefused) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 1, 3);  // indices 1 to 3
  ASSERT_NE(a, nullptr);
  const LONG index = GetParam();
  Bstr value(u"x");
  EXPECT_EQ(SafeArrayPutElement(a, &index, value.Get()), DISP_E_BADINDEX);
  BSTR out = nullptr;
  EXPECT_EQ(SafeArrayGetElement(a, &index, &out), DISP_E_BADINDEX);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Indices, SafeArrayBadIndex,
                         ::testing::Values(0, 4, -1, 100, INT32_MIN, INT32_MAX));

TEST(SafeArray, RefusedArguments) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 2);
  LONG bound = 0;
  for (UINT dim : {0u, 2u, 100u}) {
    EXPECT_EQ(SafeArrayGetLBound(a, dim, &bound), DISP_E_BADINDEX) << dim;
    EXPECT_EQ(SafeArrayGetUBound(a, dim, &bound), DISP_E_BADINDEX) << dim;
  }
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &bound), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetUBound(nullptr, 1, &bound), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetLBound(a, 1, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  const LONG zero = 0;
  BSTR out = nullptr;
  EXPECT_EQ(SafeArrayPutElement(nullptr, &zero, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(a, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(nullptr, &zero, &out), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(a, nullptr, &out), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(a, &zero, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), E_INVALIDARG);
}

TEST(Variant, ClearFreesWhatItOwns) {
  VARIANT v;
  v.vt = VT_I4;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"owned");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  vtfc4::CountingErrorInfo unknown;
  unknown.AddRef();
  v.vt = VT_UNKNOWN;
  v.punkVal = &unknown;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(unknown.refs, 1u);
  EXPECT_EQ(v.vt, VT_EMPTY);

  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  const LONG zero = 0;
  Bstr element(u"element");
  ASSERT_EQ(SafeArrayPutElement(v.parray, &zero, element.Get()), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);

  // By reference: nothing is owned.
  BSTR kept = SysAllocString(u"kept");
  v.vt = VT_BYREF | VT_BSTR;
  v.byref = &kept;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(std::u16string_view(kept), u"kept");
  SysFreeString(kept);

  for (VARTYPE vt :
       {VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_DATE, VT_ERROR, VT_BOOL, VT_UI1}) {
    v.vt = vt;
    v.dblVal = 1.5;
    EXPECT_EQ(VariantClear(&v), S_OK) << vt;
    EXPECT_EQ(v.vt, VT_EMPTY) << vt;
  }
}

TEST(Variant, ClearRefusesUnknownTypes) {
  VARIANT v;
  for (VARTYPE vt : {VARTYPE{VT_VARIANT}, VARTYPE{0x7FF}, VARTYPE{VT_ARRAY | VT_I4}}) {
    v.vt = vt;
    v.lVal = 3;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(v.vt, vt) << "left as it was";
  }
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
