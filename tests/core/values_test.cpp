// The value classes of text, whole numbers, floats, amounts, prices, percentages, quantities
// and booleans; and, in one table, the rules every value class shares (dates, identifiers and
// enumerations included).
#include "src/core/values.h"

#include <gtest/gtest.h>

#include "support.h"

#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "src/core/dates.h"
#include "src/core/enums.h"
#include "src/core/identifiers.h"
#include "vtfc4/com.h"
#include "vtfc4/values.h"

namespace vtfc4 {
namespace {

class ValuesTest : public WithoutErrorObject {};

// ---- The rules every value class shares.

// A read through the class's own getter, or into a null pointer; a failed read hands out zero
// whatever the variable held (`zeroes`: the enumerations' GetValue leaves it as it was).
template <class I, class T>
std::function<HRESULT(ObjectRoot*, bool)> Read(HRESULT (I::*get)(T*), bool zeroes = true) {
  return [get, zeroes](ObjectRoot* root, bool nullOut) {
    static OLECHAR stale[] = u"stale";
    T v;
    if constexpr (std::is_same_v<T, BSTR>) v = stale; else v = static_cast<T>(7);
    const HRESULT hr = (Face<I>(root)->*get)(nullOut ? nullptr : &v);
    if (!nullOut && FAILED(hr) && zeroes) {
      EXPECT_TRUE(v == T{}) << "a failed read hands out zero";
    }
    if constexpr (std::is_same_v<T, BSTR>) {
      if (v != stale) SysFreeString(v);
    }
    return hr;
  };
}

// A set through the class's own setter.
using SetFn = std::function<HRESULT(ObjectRoot*)>;
template <class I, class T>
SetFn Set(HRESULT (I::*set)(T), std::type_identity_t<T> value) {
  return [set, value](ObjectRoot* root) { return (Face<I>(root)->*set)(value); };
}
template <class I>
SetFn SetText(HRESULT (I::*set)(BSTR), std::string text) {
  return [set, text](ObjectRoot* root) { return (Face<I>(root)->*set)(Wide(text).Get()); };
}
SetFn SetDateTime(DATE value) {
  return [value](ObjectRoot* r) { return Face<IVTDateTimeType>(r)->SetValue(value, VARIANT_FALSE); };
}
SetFn SetInterval(SHORT h, SHORT m, SHORT s) {
  return [=](ObjectRoot* r) { return Face<IVTTimeIntervalType>(r)->SetValue(h, m, s); };
}

// The interval's three outs: each one null in turn gives E_POINTER.
HRESULT ReadInterval(ObjectRoot* root, bool nullOut) {
  IVTTimeIntervalType* interval = Face<IVTTimeIntervalType>(root);
  SHORT h = 7, m = 7, s = 7;
  if (nullOut) {
    for (HRESULT hr : {interval->GetValue(nullptr, &m, &s), interval->GetValue(&h, nullptr, &s),
                       interval->GetValue(&h, &m, nullptr)})
      if (hr != E_POINTER) return hr;
    return E_POINTER;
  }
  const HRESULT hr = interval->GetValue(&h, &m, &s);
  if (FAILED(hr)) {
    EXPECT_TRUE(h == 0 && m == 0 && s == 0) << "a failed read hands out zero";
  }
  return hr;
}

struct ValueClass {
  const char* name;
  ObjectRoot* (*make)();
  const IID* own;
  bool supportsErrorInfo;  // offers ISupportErrorInfo, and describes a refused set
  bool describesReads;     // a read that fails sets a description
  const char* parsed;      // a text a response may hold, readable
  std::function<HRESULT(ObjectRoot*, bool)> read;
  SetFn set;               // a set that is taken,
  const char* written;     // and what the value writes then
  SetFn refused;           // a set that is refused (none: every value is taken)
  HRESULT refusedStatus;
};

std::vector<ValueClass> ValueClasses() {
  const std::string tooLongID(37, 'I');
  return {
      {"string", [] { return NewStringValue(5); }, &IID_IVTStringType, true, true, "1",
       Read(&IVTStringType::GetValue), SetText(&IVTStringType::SetValue, "abc"), "abc",
       SetText(&IVTStringType::SetValue, "too long"), kTooLongStatus},
      {"int", [] { return NewIntValue(1, 12); }, &IID_IVTIntType, true, true, "1",
       Read(&IVTIntType::GetValue), Set(&IVTIntType::SetValue, 7), "7",
       Set(&IVTIntType::SetValue, 13), kRangeStatus},
      {"float GetValue", NewFloatValue, &IID_IVTFloatType, false, false, "1",
       Read(&IVTFloatType::GetValue), Set(&IVTFloatType::SetValue, 1.5f), "1.500000",
       Set(&IVTFloatType::SetValue, 1e9f), kFormatStatus},
      {"float GetAsString", NewFloatValue, &IID_IVTFloatType, false, false, "1",
       Read(&IVTFloatType::GetAsString), SetText(&IVTFloatType::SetAsString, "2.5"), "2.5",
       SetText(&IVTFloatType::SetAsString, "1e5"), kFormatStatus},
      {"amount GetValue", NewAmountValue, &IID_IVTAmountType, true, true, "1",
       Read(&IVTAmountType::GetValue), Set(&IVTAmountType::SetValue, 12), "12.00",
       Set(&IVTAmountType::SetValue, 12.345), kFormatStatus},
      {"amount GetAsString", NewAmountValue, &IID_IVTAmountType, true, true, "1",
       Read(&IVTAmountType::GetAsString), SetText(&IVTAmountType::SetAsString, "-.50"), "-.50",
       SetText(&IVTAmountType::SetAsString, "12.5"), kFormatStatus},
      {"price GetValue", NewPriceValue, &IID_IVTPriceType, true, true, "1",
       Read(&IVTPriceType::GetValue), Set(&IVTPriceType::SetValue, 12.5), "12.50",
       Set(&IVTPriceType::SetValue, 1e8), kFormatStatus},
      {"price GetAsString", NewPriceValue, &IID_IVTPriceType, true, true, "1",
       Read(&IVTPriceType::GetAsString), SetText(&IVTPriceType::SetAsString, "12"), "12",
       SetText(&IVTPriceType::SetAsString, "1.123456"), kFormatStatus},
      {"percent GetValue", NewPercentValue, &IID_IVTPercentType, true, true, "1",
       Read(&IVTPercentType::GetValue), Set(&IVTPercentType::SetValue, 12), "12.0",
       Set(&IVTPercentType::SetValue, 1e7), kFormatStatus},
      {"percent GetAsString", NewPercentValue, &IID_IVTPercentType, true, true, "1",
       Read(&IVTPercentType::GetAsString), SetText(&IVTPercentType::SetAsString, "0001234"),
       "0001234", SetText(&IVTPercentType::SetAsString, "12345678.5"), kFormatStatus},
      {"quantity GetValue", NewQuanValue, &IID_IVTQuanType, true, true, "1",
       Read(&IVTQuanType::GetValue), Set(&IVTQuanType::SetValue, -3), "-3",
       Set(&IVTQuanType::SetValue, -1e7), kFormatStatus},
      // The quantity's text is read without a description, unlike its other failures.
      {"quantity GetAsString", NewQuanValue, &IID_IVTQuanType, true, false, "1",
       Read(&IVTQuanType::GetAsString), SetText(&IVTQuanType::SetAsString, "-5"), "-5",
       SetText(&IVTQuanType::SetAsString, "5x"), kFormatStatus},
      {"bool", NewBoolValue, &IID_IVTBoolType, true, true, "1", Read(&IVTBoolType::GetValue),
       Set(&IVTBoolType::SetValue, VARIANT_TRUE), "1", nullptr, S_OK},
      {"date", NewDateValue, &IID_IVTDateType, true, true, "2004-10-29",
       Read(&IVTDateType::GetValue), Set(&IVTDateType::SetValue, 38289), "2004-10-29",
       Set(&IVTDateType::SetValue, 2958465.5), kFormatStatus},
      {"date-time", [] { return NewDateTimeValue(false); }, &IID_IVTDateTimeType, true, true,
       "2004-10-29", Read(&IVTDateTimeType::GetValue), SetDateTime(38289.5),
       "2004-10-29T12:00:00", SetDateTime(-657434.5), kFormatStatus},
      {"date-only date-time", [] { return NewDateTimeValue(true); }, &IID_IVTDateTimeType, true,
       true, "2004-10-29", Read(&IVTDateTimeType::GetValue), SetDateTime(38289.5), "2004-10-29",
       SetDateTime(std::numeric_limits<double>::quiet_NaN()), kFormatStatus},
      {"interval", NewTimeIntervalValue, &IID_IVTTimeIntervalType, true, true, "PT1H",
       ReadInterval, SetInterval(1, 2, 3), "PT1H2M3S", SetInterval(0, 0, -1), kRangeStatus},
      {"identifier", [] { return NewIDValue(true); }, &IID_IVTIDType, true, true, "1",
       Read(&IVTIDType::GetValue), SetText(&IVTIDType::SetValue, "80000001-1"), "80000001-1",
       SetText(&IVTIDType::SetValue, tooLongID), kTooLongStatus},
      {"GUID", NewGUIDValue, &IID_IVTGUIDType, true, true, "0", Read(&IVTGUIDType::GetValue),
       SetText(&IVTGUIDType::SetValue, "0"), "0", SetText(&IVTGUIDType::SetValue, "1"),
       kFormatStatus},
      {"enumeration GetValue", [] { return NewEnumValue(EnumId::ENAccountType); },
       &IID_IVTENAccountTypeType, false, false, "Bank", Read(&IVTENAccountTypeType::GetValue, false),
       Set(&IVTENAccountTypeType::SetValue, atIncome), "Income",
       Set(&IVTENAccountTypeType::SetValue, static_cast<ENAccountType>(16)), kEnumOutOfRange},
      {"enumeration GetAsString", [] { return NewEnumValue(EnumId::ENAccountType); },
       &IID_IVTENAccountTypeType, false, false, "Bank", Read(&IVTENAccountTypeType::GetAsString),
       SetText(&IVTENAccountTypeType::SetAsString, "Equity"), "Equity",
       SetText(&IVTENAccountTypeType::SetAsString, "bank"), kEnumOutOfRange},
  };
}

// Never set, empty, set, parsed and unset, with the reads of each state; a refused set leaves
// every state as it was; the interfaces.
TEST_F(ValuesTest, EveryClassSharesTheRules) {
  const IID* faces[] = {&IID_IVTStringType,   &IID_IVTIntType,          &IID_IVTFloatType,
                        &IID_IVTAmountType,   &IID_IVTPriceType,        &IID_IVTPercentType,
                        &IID_IVTQuanType,     &IID_IVTBoolType,         &IID_IVTDateType,
                        &IID_IVTDateTimeType, &IID_IVTTimeIntervalType, &IID_IVTIDType,
                        &IID_IVTGUIDType,     &IID_IVTENAccountTypeType, &IID_IVTBase,
                        &IID_IObjectType,     &IID_IClassFactory,       &IID_IErrorInfo};
  for (const ValueClass& c : ValueClasses()) {
    SCOPED_TRACE(c.name);
    ObjectRoot* root = c.make();
    ASSERT_NE(root, nullptr);
    const BasicPropertyType& value = *root->AsValue();
    IBasicPropertyType* basic = Face<IBasicPropertyType>(root);
    ASSERT_NE(basic, nullptr);
    auto states = [&] {  // IsSet and IsEmpty as a client reads them
      VARIANT_BOOL set = 5, empty = 5;
      EXPECT_EQ(basic->IsSet(&set), S_OK);
      EXPECT_EQ(basic->IsEmpty(&empty), S_OK);
      auto flag = [](VARIANT_BOOL b, const char* yes, const char* no) {
        return b == VARIANT_TRUE ? yes : b == VARIANT_FALSE ? no : "<not a VARIANT_BOOL>";
      };
      return std::string(flag(set, "set", "unset")) + flag(empty, ", empty", "");
    };
    auto refuse = [&] {  // a refused set, in any state, changes nothing
      if (!c.refused) return;
      const std::string before = states(), written = XmlText(value);
      EXPECT_EQ(c.refused(root), c.refusedStatus);
      EXPECT_EQ(TakeError() != kNoErrorObject, c.supportsErrorInfo) << "described";
      EXPECT_EQ(states(), before);
      EXPECT_EQ(XmlText(value), written);
    };
    const std::string noValue = c.describesReads ? "No value has been set." : kNoErrorObject;

    EXPECT_EQ(c.read(root, false), kNotSetStatus);
    EXPECT_EQ(TakeError(), noValue);
    EXPECT_EQ(states(), "unset");
    EXPECT_EQ(XmlText(value), kNotWritten);
    refuse();

    EXPECT_EQ(basic->SetEmpty(), S_OK);
    EXPECT_EQ(states(), "set, empty");
    EXPECT_EQ(c.read(root, false), kEmptyStatus);
    EXPECT_EQ(TakeError(), c.describesReads ? "Value is empty." : kNoErrorObject);
    EXPECT_EQ(XmlText(value), "");
    refuse();

    EXPECT_EQ(c.set(root), S_OK);
    EXPECT_EQ(states(), "set");
    EXPECT_EQ(XmlText(value), c.written);
    EXPECT_EQ(c.read(root, false), S_OK);
    EXPECT_EQ(c.read(root, true), E_POINTER);
    refuse();

    EXPECT_TRUE(root->AsValue()->SetXMLValue(c.parsed));
    EXPECT_EQ(c.read(root, false), S_OK);
    EXPECT_EQ(TakeError(), kNoErrorObject);
    EXPECT_EQ(basic->Unset(), S_OK);
    EXPECT_EQ(states(), "unset");
    EXPECT_EQ(c.read(root, false), kNotSetStatus);
    EXPECT_EQ(TakeError(), noValue);
    EXPECT_EQ(XmlText(value), kNotWritten);
    EXPECT_EQ(basic->IsSet(nullptr), E_POINTER);
    EXPECT_EQ(basic->IsEmpty(nullptr), E_POINTER);

    // IUnknown, IDispatch, IBasicPropertyType and the own interface are one face.
    IUnknown* unknown = nullptr;
    ASSERT_EQ(root->QueryRoot(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IBasicPropertyType, c.own}) {
      void* p = nullptr;
      EXPECT_EQ(unknown->QueryInterface(*iid, &p), S_OK);
      EXPECT_EQ(p, static_cast<void*>(unknown));
      if (p) static_cast<IUnknown*>(p)->Release();
    }
    for (const IID* iid : faces) {
      if (iid == c.own) continue;
      void* p = reinterpret_cast<void*>(1);
      EXPECT_EQ(unknown->QueryInterface(*iid, &p), E_NOINTERFACE);
      EXPECT_EQ(p, nullptr);
    }
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    ISupportErrorInfo* support = nullptr;
    const HRESULT hr = unknown->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support));
    if (c.supportsErrorInfo) {
      ASSERT_EQ(hr, S_OK);
      EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.own), S_OK);
      for (const IID* other : {&IID_IBasicPropertyType, &IID_IUnknown, &IID_IDispatch})
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(*other), S_FALSE);
      support->Release();
    } else {
      EXPECT_EQ(hr, E_NOINTERFACE);
      EXPECT_EQ(support, nullptr);
    }
    unknown->Release();
    EXPECT_EQ(root->ReleaseRoot(), 0u);
  }
}

// ---- The four decimal classes: one implementation, one scheme of limits each.

enum class Dec { kAmount, kPrice, kPercent, kQuan };
const char* const kDecName[] = {"amount", "price", "percent", "quantity"};
const char* const kDecMessage[] = {"Invalid Amount format.", "Invalid Price value.",
                                   "Invalid Percent value.", "Invalid Quantity value."};

// Calls `check` with a new object of the kind's class.
template <class F>
void WithDecimal(Dec kind, F&& check) {
  switch (kind) {
    case Dec::kAmount: return check(Own<CVTAmountType>(NewAmountValue()).get());
    case Dec::kPrice: return check(Own<CVTPriceType>(NewPriceValue()).get());
    case Dec::kPercent: return check(Own<CVTPercentType>(NewPercentValue()).get());
    case Dec::kQuan: return check(Own<CVTQuanType>(NewQuanValue()).get());
  }
}

struct DecimalSetCase {
  Dec kind;
  double value;
  const char* text;  // null: refused
};

TEST_F(ValuesTest, DecimalSetValueTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const DecimalSetCase cases[] = {
      {Dec::kAmount, 0, "0.00"},          {Dec::kAmount, -0.0, "0.00"},
      {Dec::kPrice, 0, "0.00"},           {Dec::kPercent, 0, "0.0"},
      {Dec::kQuan, 0, "0"},               {Dec::kAmount, 99999999.99, "99999999.99"},
      {Dec::kAmount, -99999999.99, "-99999999.99"},
      {Dec::kAmount, 100000000, nullptr}, {Dec::kAmount, -100000000, nullptr},
      {Dec::kAmount, 12.345, nullptr},    {Dec::kAmount, 1.10, "1.10"},
      {Dec::kAmount, 1.005, nullptr},     {Dec::kAmount, 12, "12.00"},
      {Dec::kAmount, nan, nullptr},       {Dec::kAmount, inf, nullptr},
      {Dec::kPrice, 12.345, "12.345"},    {Dec::kPrice, 12.5, "12.50"},
      {Dec::kPrice, 12, "12.00"},         {Dec::kPrice, 12.3456789, nullptr},
      {Dec::kPrice, 99999999.99999, "99999999.99999"},
      {Dec::kPrice, 100000000, nullptr},  {Dec::kPercent, 12.5, "12.5"},
      {Dec::kPercent, 12, "12.0"},        {Dec::kPercent, 0.12345, "0.12345"},
      {Dec::kPercent, 9999999.99999, "9999999.99999"},
      {Dec::kPercent, 10000000, nullptr}, {Dec::kPercent, 1.000001, nullptr},
      {Dec::kQuan, 12.5, "12.5"},         {Dec::kQuan, 100, "100"},
      {Dec::kQuan, -3, "-3"},             {Dec::kQuan, 0.00001, "0.00001"},
      {Dec::kQuan, -9999999.99999, "-9999999.99999"},
      {Dec::kQuan, -10000000, nullptr},   {Dec::kQuan, nan, nullptr},
  };
  for (const DecimalSetCase& c : cases) {
    const int k = static_cast<int>(c.kind);
    SCOPED_TRACE(testing::Message() << kDecName[k] << " SetValue(" << c.value << ")");
    WithDecimal(c.kind, [&](auto* obj) {
      const HRESULT hr = obj->SetValue(c.value);
      if (c.text) {
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(XmlText(*obj), c.text);
        EXPECT_EQ(TakeError(), kNoErrorObject);
        double back = -1;
        EXPECT_EQ(obj->GetValue(&back), S_OK);
        EXPECT_EQ(back, c.value);
      } else {
        EXPECT_EQ(hr, kFormatStatus);
        EXPECT_EQ(TakeError(), kDecMessage[k]);
      }
    });
  }
}

struct DecimalTextCase {
  Dec kind;
  const char* text;  // null: a null BSTR
  bool accepted;
};

TEST_F(ValuesTest, DecimalSetAsStringTable) {
  const DecimalTextCase cases[] = {
      {Dec::kAmount, "12", false},           {Dec::kAmount, "12.5", false},
      {Dec::kAmount, "12.", false},          {Dec::kAmount, "12.500", false},
      {Dec::kAmount, "12.50", true},         {Dec::kAmount, "-.50", true},
      {Dec::kAmount, "+0.01", true},         {Dec::kAmount, "+1.00", true},
      {Dec::kAmount, "12345678.00", true},   {Dec::kAmount, "00000000.00", true},
      {Dec::kAmount, "123456789.00", false}, {Dec::kAmount, "000000000.00", false},
      {Dec::kAmount, "1-2.00", false},       {Dec::kAmount, "--1.00", false},
      {Dec::kAmount, "+-1.00", false},       {Dec::kAmount, "1.0.0", false},
      {Dec::kAmount, " 1.00", false},        {Dec::kAmount, "1.00 ", false},
      {Dec::kAmount, "1,00", false},         {Dec::kAmount, "1e2.00", false},
      {Dec::kPrice, "12345678.5", true},     {Dec::kPrice, "12345678.12345", true},
      {Dec::kPrice, "123456789", false},     {Dec::kPrice, "1.123456", false},
      {Dec::kPrice, "12", true},             {Dec::kPrice, "-12.", true},
      {Dec::kPercent, "12345678.5", false},  {Dec::kPercent, "1234567.5", true},
      {Dec::kPercent, "1234567.123456", false}, {Dec::kPercent, "0001234", true},
      {Dec::kQuan, "1234567.12345", true},   {Dec::kQuan, "12345678", false},
      {Dec::kQuan, "-5", true},              {Dec::kQuan, "5x", false},
      // No text at all has a message of its own.
      {Dec::kAmount, "", false},             {Dec::kPrice, nullptr, false},
  };
  for (const DecimalTextCase& c : cases) {
    const int k = static_cast<int>(c.kind);
    SCOPED_TRACE(testing::Message() << kDecName[k] << " SetAsString(" << (c.text ? c.text : "null") << ")");
    WithDecimal(c.kind, [&](auto* obj) {
      const HRESULT hr = obj->SetAsString(c.text ? Wide(c.text).Get() : nullptr);
      if (c.accepted) {
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(TakeError(), kNoErrorObject);
        EXPECT_EQ(XmlText(*obj), c.text);  // stored unchanged
        Bstr back;
        EXPECT_EQ(obj->GetAsString(back.Put()), S_OK);
        EXPECT_EQ(Narrow(back), c.text);
        double number = -1;
        EXPECT_EQ(obj->GetValue(&number), S_OK);
        EXPECT_EQ(number, std::atof(c.text));
      } else {
        EXPECT_EQ(hr, kFormatStatus);
        EXPECT_EQ(TakeError(), c.text && *c.text
                                   ? kDecMessage[k]
                                   : "Empty numeric value. Use SetEmpty() to clear a value in Mod requests.");
      }
    });
  }
}

// ---- Text, whole numbers, floats and booleans.

TEST_F(ValuesTest, StringLimitAndEmptyText) {
  Own<CVTStringType> text(NewStringValue(41));
  Bstr limit;
  ASSERT_EQ(text->GetMaxLength(limit.Put()), S_OK);
  EXPECT_EQ(Narrow(limit), "41");
  EXPECT_EQ(text->GetMaxLength(nullptr), E_POINTER);
  EXPECT_EQ(text->SetValue(Wide(std::string(41, 'a')).Get()), S_OK);
  EXPECT_EQ(TakeError(), kNoErrorObject);
  EXPECT_EQ(text->SetValue(Wide(std::string(42, 'b')).Get()), kTooLongStatus);
  EXPECT_EQ(TakeError(), "String too long.");
  // 0, kNoLimit and the default are no limit; kNoLimit hands out the empty text.
  const std::pair<ObjectRoot*, const char*> unlimited[] = {
      {NewStringValue(kNoLimit), ""}, {NewStringValue(0), "0"}, {MakeObject<CVTStringType>(), ""}};
  for (const auto& [made, shown] : unlimited) {
    Own<CVTStringType> any(made);
    EXPECT_EQ(any->SetValue(Wide(std::string(100000, 'x')).Get()), S_OK);
    EXPECT_EQ(any->Text().size(), 100000u);
    ASSERT_EQ(any->GetMaxLength(limit.Put()), S_OK);
    EXPECT_EQ(Narrow(limit), shown);
  }
  // The empty text (and a null one) is set but holds no value; Unset forgets the text.
  EXPECT_EQ(text->SetValue(Wide("").Get()), S_OK);
  EXPECT_TRUE(text->IsSet());
  EXPECT_FALSE(text->IsEmptyValue());
  EXPECT_FALSE(text->HasValue());
  Bstr back;
  EXPECT_EQ(text->GetValue(back.Put()), S_OK);
  EXPECT_EQ(Narrow(back), "");
  EXPECT_EQ(XmlText(*text), "");
  EXPECT_EQ(text->SetValue(nullptr), S_OK);
  EXPECT_TRUE(text->IsSet());
  EXPECT_FALSE(text->HasValue());
  EXPECT_EQ(text->SetValue(Wide("abc").Get()), S_OK);
  EXPECT_TRUE(text->HasValue());
  EXPECT_EQ(text->Unset(), S_OK);
  EXPECT_EQ(text->Text(), "");
}

struct IntCase {
  int32_t minimum, maximum;
  LONG value;
  bool accepted;
};

TEST_F(ValuesTest, IntRangeTable) {
  const IntCase cases[] = {
      {1, 12, 0, false},         {1, 12, 13, false},      {1, 12, 1, true},
      {1, 12, 12, true},         {kNoLimit, 12, -2147483647 - 1, true},
      {kNoLimit, 12, 13, false}, {1, kNoLimit, 2147483647, true},
      {1, kNoLimit, 0, false},   {kNoLimit, kNoLimit, kNoLimit, true},
      {kNoLimit, kNoLimit, -5, true},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "[" << c.minimum << ", " << c.maximum << "] SetValue("
                                    << c.value << ")");
    Own<CVTIntType> integer(NewIntValue(c.minimum, c.maximum));
    const HRESULT hr = integer->SetValue(c.value);
    if (c.accepted) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(XmlText(*integer), std::to_string(c.value));
      LONG back = 0;
      EXPECT_EQ(integer->GetValue(&back), S_OK);
      EXPECT_EQ(back, c.value);
    } else {
      EXPECT_EQ(hr, kRangeStatus);
      EXPECT_EQ(TakeError(), "Integer value is out of range.");
    }
  }
}

TEST_F(ValuesTest, IntBoundsAsText) {
  Own<CVTIntType> bounded(NewIntValue(1, 12)), unbounded(NewIntValue(kNoLimit, kNoLimit));
  Bstr minText, maxText;
  ASSERT_EQ(bounded->GetMinValue(minText.Put()), S_OK);
  ASSERT_EQ(bounded->GetMaxValue(maxText.Put()), S_OK);
  EXPECT_EQ(Narrow(minText) + " " + Narrow(maxText), "1 12");
  ASSERT_EQ(unbounded->GetMinValue(minText.Put()), S_OK);
  ASSERT_EQ(unbounded->GetMaxValue(maxText.Put()), S_OK);
  EXPECT_EQ(Narrow(minText) + " " + Narrow(maxText), " ") << "no bound is the empty text, not null";
  EXPECT_EQ(bounded->GetMinValue(nullptr), E_POINTER);
  EXPECT_EQ(bounded->GetMaxValue(nullptr), E_POINTER);
  ASSERT_EQ(bounded->SetValue(7), S_OK);
  bounded->Unset();
  EXPECT_EQ(bounded->Text(), "") << "Unset forgets the text";
}

// The float class reports its failures by status alone.
TEST_F(ValuesTest, FloatSetTable) {
  const DecimalTextCase cases[] = {
      {Dec::kAmount, "123456", true},  {Dec::kAmount, "12345678.12345", true},
      {Dec::kAmount, "-1.5", true},    {Dec::kAmount, "123456789", false},
      {Dec::kAmount, "1.123456", false}, {Dec::kAmount, "1e5", false},
      {Dec::kAmount, "1.2.3", false},  {Dec::kAmount, "", false},
      {Dec::kAmount, nullptr, false},
  };
  for (const DecimalTextCase& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "null");
    Own<CVTFloatType> real(NewFloatValue());
    const HRESULT hr = real->SetAsString(c.text ? Wide(c.text).Get() : nullptr);
    EXPECT_EQ(TakeError(), kNoErrorObject);
    if (c.accepted) {
      EXPECT_EQ(hr, S_OK);
      Bstr back;
      EXPECT_EQ(real->GetAsString(back.Put()), S_OK);
      EXPECT_EQ(Narrow(back), c.text);
      float v = 0;
      EXPECT_EQ(real->GetValue(&v), S_OK);
      EXPECT_EQ(v, static_cast<float>(std::atof(c.text)));
    } else {
      EXPECT_EQ(hr, kFormatStatus);
    }
  }
  Own<CVTFloatType> real(NewFloatValue());
  EXPECT_EQ(real->SetValue(1.5f), S_OK);
  EXPECT_EQ(XmlText(*real), "1.500000");
  float v = 0;
  EXPECT_EQ(real->GetValue(&v), S_OK);
  EXPECT_EQ(v, 1.5f);
  for (float refused : {1e9f, -1e9f, std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN()})
    EXPECT_EQ(real->SetValue(refused), kFormatStatus) << refused;
  EXPECT_EQ(TakeError(), kNoErrorObject);
}

TEST_F(ValuesTest, BoolSetAndParseTable) {
  // Only VARIANT_TRUE itself is true.
  const struct {
    VARIANT_BOOL in;
    VARIANT_BOOL out;
  } sets[] = {{VARIANT_TRUE, VARIANT_TRUE}, {VARIANT_FALSE, VARIANT_FALSE}, {1, VARIANT_FALSE},
              {2, VARIANT_FALSE}};
  for (const auto& c : sets) {
    SCOPED_TRACE(c.in);
    Own<CVTBoolType> flag(NewBoolValue());
    EXPECT_EQ(flag->SetValue(c.in), S_OK);
    VARIANT_BOOL back = 5;
    EXPECT_EQ(flag->GetValue(&back), S_OK);
    EXPECT_EQ(back, c.out);
    EXPECT_EQ(XmlText(*flag), c.out ? "1" : "0");
  }
  // Parsed text: only "1" and "true" are true.
  const struct {
    const char* text;
    VARIANT_BOOL value;
  } parsed[] = {
      {"true", VARIANT_TRUE},  {"1", VARIANT_TRUE},     {"TRUE", VARIANT_FALSE},
      {"True", VARIANT_FALSE}, {"0", VARIANT_FALSE},    {"false", VARIANT_FALSE},
      {"", VARIANT_FALSE},     {" 1", VARIANT_FALSE},   {"yes", VARIANT_FALSE},
  };
  for (const auto& c : parsed) {
    SCOPED_TRACE(c.text);
    Own<CVTBoolType> flag(NewBoolValue());
    EXPECT_TRUE(flag->SetXMLValue(c.text));
    EXPECT_TRUE(flag->HasValue());
    VARIANT_BOOL back = 5;
    EXPECT_EQ(flag->GetValue(&back), S_OK);
    EXPECT_EQ(back, c.value);
    EXPECT_EQ(XmlText(*flag), c.value ? "1" : "0");
  }
}

// ---- Parsed response values are stored unchecked.

TEST_F(ValuesTest, ParsedTextIsStoredUnchanged) {
  Own<CVTAmountType> amount(NewAmountValue());
  EXPECT_TRUE(amount->SetXMLValue("12.3456"));
  double d = 0;
  EXPECT_EQ(amount->GetValue(&d), S_OK);
  EXPECT_EQ(d, 12.3456);
  Bstr text;
  EXPECT_EQ(amount->GetAsString(text.Put()), S_OK);
  EXPECT_EQ(Narrow(text), "12.3456");

  Own<CVTIntType> integer(NewIntValue(1, 12));
  EXPECT_TRUE(integer->SetXMLValue("400"));
  LONG l = 0;
  EXPECT_EQ(integer->GetValue(&l), S_OK);
  EXPECT_EQ(l, 400);

  Own<CVTStringType> shortText(NewStringValue(2));
  EXPECT_TRUE(shortText->SetXMLValue("longer than two"));
  EXPECT_EQ(shortText->GetValue(text.Put()), S_OK);
  EXPECT_EQ(Narrow(text), "longer than two");

  Own<CVTQuanType> quan(NewQuanValue());
  EXPECT_TRUE(quan->SetXMLValue("abc"));
  EXPECT_EQ(quan->GetValue(&d), S_OK);
  EXPECT_EQ(d, 0.0);
}

TEST(ValuesSchemeTest, DecimalSyntaxCounts) {
  EXPECT_TRUE(CheckDecimalText("", 8, 0, 5));
  EXPECT_TRUE(CheckDecimalText("-", 8, 0, 5));
  EXPECT_TRUE(CheckDecimalText(".", 8, 0, 5));
  EXPECT_FALSE(CheckDecimalText("..", 8, 0, 5));
  EXPECT_FALSE(CheckDecimalText("1+", 8, 0, 5));
  EXPECT_TRUE(CheckDecimalText("00000000.00000", 8, 0, 5));
  EXPECT_FALSE(CheckDecimalText("000000000", 8, 0, 5));
  EXPECT_FALSE(CheckDecimalText("1.5", 8, 2, 2));
}

}  // namespace
}  // namespace vtfc4
