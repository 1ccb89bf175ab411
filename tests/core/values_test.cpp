// The value classes: text, whole numbers, floats, amounts, prices, percentages, quantities
// and booleans.
#include "src/core/dates.h"
#include "src/core/values.h"

#include <gtest/gtest.h>

#include "support.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "src/com/error.h"
#include "vtfc4/com.h"
#include "vtfc4/values.h"

namespace vtfc4 {
namespace {

constexpr HRESULT kNotSetStatus = VTFC4_HR(0x80040300);
constexpr HRESULT kEmptyStatus = VTFC4_HR(0x80040306);
constexpr HRESULT kFormatStatus = VTFC4_HR(0x80040305);
constexpr HRESULT kRangeStatus = VTFC4_HR(0x80040303);
constexpr HRESULT kTooLongStatus = VTFC4_HR(0x80040304);

// ---- Test helpers: BSTR <-> ASCII text, and the thread's current error object.

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::string_view text) {
    std::u16string wide(text.begin(), text.end());
    p_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(p_); }
  BSTR get() const { return p_; }
  BSTR* put() {
    SysFreeString(p_);
    p_ = nullptr;
    return &p_;
  }
  bool null() const { return p_ == nullptr; }
  std::string str() const {
    std::string out;
    for (UINT i = 0, n = SysStringLen(p_); i < n; ++i) out.push_back(static_cast<char>(p_[i]));
    return out;
  }

 private:
  BSTR p_ = nullptr;
};

void ClearErrorObject() { TakeError(); }

// Owns one reference to a freshly made object of class T.
template <class T>
class Made {
 public:
  template <class... Args>
  explicit Made(Args... args) : p_(MakeObject<T>(args...)) {}
  explicit Made(ObjectRoot* root) : p_(dynamic_cast<T*>(root)) {}
  Made(const Made&) = delete;
  Made& operator=(const Made&) = delete;
  ~Made() {
    if (p_) p_->ReleaseRoot();
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  BasicPropertyType* value() const { return p_->AsValue(); }

 private:
  T* p_;
};

// The written text, or "<not written>".
std::string XmlText(BasicPropertyType* value) {
  std::string out;
  if (!value->GetXMLValue(out)) return "<not written>";
  return out;
}

// ---- Uniform access to the four decimal classes (the same methods on four interfaces).

enum class Dec { kAmount, kPrice, kPercent, kQuan };

const char* Name(Dec kind) {
  switch (kind) {
    case Dec::kAmount: return "amount";
    case Dec::kPrice: return "price";
    case Dec::kPercent: return "percent";
    case Dec::kQuan: return "quantity";
  }
  return "?";
}

class AnyDecimal {
 public:
  virtual ~AnyDecimal() = default;
  virtual HRESULT SetValue(double v) = 0;
  virtual HRESULT GetValue(double* out) = 0;
  virtual HRESULT SetAsString(BSTR v) = 0;
  virtual HRESULT GetAsString(BSTR* out) = 0;
  virtual HRESULT SetEmpty() = 0;
  virtual HRESULT Unset() = 0;
  virtual BasicPropertyType* value() = 0;
};

template <class T, class I>
class DecimalOf : public AnyDecimal {
 public:
  explicit DecimalOf(ObjectRoot* root) : made_(root) {}
  HRESULT SetValue(double v) override { return itf()->SetValue(v); }
  HRESULT GetValue(double* out) override { return itf()->GetValue(out); }
  HRESULT SetAsString(BSTR v) override { return itf()->SetAsString(v); }
  HRESULT GetAsString(BSTR* out) override { return itf()->GetAsString(out); }
  HRESULT SetEmpty() override { return itf()->SetEmpty(); }
  HRESULT Unset() override { return itf()->Unset(); }
  BasicPropertyType* value() override { return made_.value(); }

 private:
  I* itf() const { return made_.get(); }
  Made<T> made_;
};

std::unique_ptr<AnyDecimal> MakeDecimal(Dec kind) {
  switch (kind) {
    case Dec::kAmount:
      return std::make_unique<DecimalOf<CVTAmountType, IVTAmountType>>(NewAmountValue());
    case Dec::kPrice:
      return std::make_unique<DecimalOf<CVTPriceType, IVTPriceType>>(NewPriceValue());
    case Dec::kPercent:
      return std::make_unique<DecimalOf<CVTPercentType, IVTPercentType>>(NewPercentValue());
    case Dec::kQuan:
      return std::make_unique<DecimalOf<CVTQuanType, IVTQuanType>>(NewQuanValue());
  }
  return nullptr;
}

const char* Message(Dec kind) {
  switch (kind) {
    case Dec::kAmount: return "Invalid Amount format.";
    case Dec::kPrice: return "Invalid Price value.";
    case Dec::kPercent: return "Invalid Percent value.";
    case Dec::kQuan: return "Invalid Quantity value.";
  }
  return "?";
}

class ValuesTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearErrorObject(); }
  void TearDown() override { ClearErrorObject(); }
};

// ---- Decimal SetValue.

struct DecimalSetCase {
  Dec kind;
  double value;
  const char* text;  // null: refused
};

TEST_F(ValuesTest, DecimalSetValueTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const DecimalSetCase cases[] = {
      {Dec::kAmount, 0, "0.00"},
      {Dec::kAmount, -0.0, "0.00"},
      {Dec::kPrice, 0, "0.00"},
      {Dec::kPercent, 0, "0.0"},
      {Dec::kQuan, 0, "0"},
      {Dec::kAmount, 99999999.99, "99999999.99"},
      {Dec::kAmount, -99999999.99, "-99999999.99"},
      {Dec::kAmount, 100000000, nullptr},
      {Dec::kAmount, -100000000, nullptr},
      {Dec::kAmount, 12.345, nullptr},
      {Dec::kAmount, 1.10, "1.10"},
      {Dec::kAmount, 1.005, nullptr},
      {Dec::kAmount, 12, "12.00"},
      {Dec::kAmount, nan, nullptr},
      {Dec::kAmount, inf, nullptr},
      {Dec::kPrice, 12.345, "12.345"},
      {Dec::kPrice, 12.5, "12.50"},
      {Dec::kPrice, 12, "12.00"},
      {Dec::kPrice, 12.3456789, nullptr},
      {Dec::kPrice, 99999999.99999, "99999999.99999"},
      {Dec::kPrice, 100000000, nullptr},
      {Dec::kPercent, 12.5, "12.5"},
      {Dec::kPercent, 12, "12.0"},
      {Dec::kPercent, 0.12345, "0.12345"},
      {Dec::kPercent, 9999999.99999, "9999999.99999"},
      {Dec::kPercent, 10000000, nullptr},
      {Dec::kPercent, 1.000001, nullptr},
      {Dec::kQuan, 12.5, "12.5"},
      {Dec::kQuan, 100, "100"},
      {Dec::kQuan, -3, "-3"},
      {Dec::kQuan, 0.00001, "0.00001"},
      {Dec::kQuan, -9999999.99999, "-9999999.99999"},
      {Dec::kQuan, -10000000, nullptr},
      {Dec::kQuan, nan, nullptr},
  };
  for (const DecimalSetCase& c : cases) {
    SCOPED_TRACE(testing::Message() << Name(c.kind) << " SetValue(" << c.value << ")");
    auto obj = MakeDecimal(c.kind);
    ASSERT_TRUE(obj);
    ClearErrorObject();
    HRESULT hr = obj->SetValue(c.value);
    if (c.text) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(XmlText(obj->value()), c.text);
      EXPECT_EQ(TakeError(), kNoErrorObject);
      double back = -1;
      EXPECT_EQ(obj->GetValue(&back), S_OK);
      EXPECT_EQ(back, c.value);
    } else {
      EXPECT_EQ(hr, kFormatStatus);
      EXPECT_EQ(TakeError(), Message(c.kind));
      EXPECT_EQ(XmlText(obj->value()), "<not written>");
    }
  }
}

// ---- Decimal SetAsString.

struct DecimalTextCase {
  Dec kind;
  const char* text;
  bool accepted;
};

TEST_F(ValuesTest, DecimalSetAsStringTable) {
  const DecimalTextCase cases[] = {
      {Dec::kAmount, "12", false},
      {Dec::kAmount, "12.5", false},
      {Dec::kAmount, "12.", false},
      {Dec::kAmount, "12.500", false},
      {Dec::kAmount, "12.50", true},
      {Dec::kAmount, "-.50", true},
      {Dec::kAmount, "+0.01", true},
      {Dec::kAmount, "+1.00", true},
      {Dec::kAmount, "12345678.00", true},
      {Dec::kAmount, "00000000.00", true},
      {Dec::kAmount, "123456789.00", false},
      {Dec::kAmount, "000000000.00", false},
      {Dec::kAmount, "1-2.00", false},
      {Dec::kAmount, "--1.00", false},
      {Dec::kAmount, "+-1.00", false},
      {Dec::kAmount, "1.0.0", false},
      {Dec::kAmount, " 1.00", false},
      {Dec::kAmount, "1.00 ", false},
      {Dec::kAmount, "1,00", false},
      {Dec::kAmount, "1e2.00", false},
      {Dec::kPrice, "12345678.5", true},
      {Dec::kPrice, "12345678.12345", true},
      {Dec::kPrice, "123456789", false},
      {Dec::kPrice, "1.123456", false},
      {Dec::kPrice, "12", true},
      {Dec::kPrice, "-12.", true},
      {Dec::kPercent, "12345678.5", false},
      {Dec::kPercent, "1234567.5", true},
      {Dec::kPercent, "1234567.123456", false},
      {Dec::kPercent, "0001234", true},
      {Dec::kQuan, "1234567.12345", true},
      {Dec::kQuan, "12345678", false},
      {Dec::kQuan, "-5", true},
      {Dec::kQuan, "5x", false},
  };
  for (const DecimalTextCase& c : cases) {
    SCOPED_TRACE(testing::Message() << Name(c.kind) << " SetAsString(\"" << c.text << "\")");
    auto obj = MakeDecimal(c.kind);
    ASSERT_TRUE(obj);
    ClearErrorObject();
    Bstr text(c.text);
    HRESULT hr = obj->SetAsString(text.get());
    if (c.accepted) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(TakeError(), kNoErrorObject);
      EXPECT_EQ(XmlText(obj->value()), c.text);  // stored unchanged
      Bstr back;
      EXPECT_EQ(obj->GetAsString(back.put()), S_OK);
      EXPECT_EQ(back.str(), c.text);
      double number = -1;
      EXPECT_EQ(obj->GetValue(&number), S_OK);
      EXPECT_EQ(number, std::atof(c.text));
    } else {
      EXPECT_EQ(hr, kFormatStatus);
      EXPECT_EQ(TakeError(), Message(c.kind));
      EXPECT_EQ(XmlText(obj->value()), "<not written>");
    }
  }
}

TEST_F(ValuesTest, DecimalSetAsStringRefusesEmptyText) {
  for (Dec kind : {Dec::kAmount, Dec::kPrice, Dec::kPercent, Dec::kQuan}) {
    SCOPED_TRACE(Name(kind));
    auto obj = MakeDecimal(kind);
    Bstr empty("");
    ASSERT_FALSE(empty.null());
    EXPECT_EQ(obj->SetAsString(empty.get()), kFormatStatus);
    EXPECT_EQ(TakeError(),
              "Empty numeric value. Use SetEmpty() to clear a value in Mod requests.");
    EXPECT_EQ(obj->SetAsString(nullptr), kFormatStatus);
    EXPECT_EQ(TakeError(),
              "Empty numeric value. Use SetEmpty() to clear a value in Mod requests.");
    EXPECT_EQ(XmlText(obj->value()), "<not written>");
  }
}

TEST_F(ValuesTest, DecimalFailedSetLeavesPreviousValue) {
  for (Dec kind : {Dec::kAmount, Dec::kPrice, Dec::kPercent, Dec::kQuan}) {
    SCOPED_TRACE(Name(kind));
    auto obj = MakeDecimal(kind);
    Bstr good("1.25");
    ASSERT_EQ(obj->SetAsString(good.get()), S_OK);
    EXPECT_EQ(obj->SetValue(1e12), kFormatStatus);
    Bstr bad("x");
    EXPECT_EQ(obj->SetAsString(bad.get()), kFormatStatus);
    EXPECT_EQ(obj->SetAsString(nullptr), kFormatStatus);
    EXPECT_EQ(XmlText(obj->value()), "1.25");
    EXPECT_TRUE(obj->value()->HasValue());

    // An empty value stays empty.
    obj->SetEmpty();
    EXPECT_EQ(obj->SetValue(1e12), kFormatStatus);
    EXPECT_EQ(obj->SetAsString(bad.get()), kFormatStatus);
    EXPECT_TRUE(obj->value()->IsSet());
    EXPECT_TRUE(obj->value()->IsEmptyValue());
    EXPECT_EQ(XmlText(obj->value()), "");

    // A value that is not set stays not set.
    obj->Unset();
    EXPECT_EQ(obj->SetValue(1e12), kFormatStatus);
    EXPECT_FALSE(obj->value()->IsSet());
    EXPECT_EQ(XmlText(obj->value()), "<not written>");
  }
}

TEST_F(ValuesTest, AmountWritesSignedTextAsGiven) {
  Made<CVTAmountType> amount;
  Bstr text("+1.00");
  ASSERT_EQ(amount->SetAsString(text.get()), S_OK);
  std::string xml;
  ASSERT_TRUE(amount.value()->GetXMLValue(xml));
  EXPECT_EQ(xml, "+1.00");
  double v = 0;
  EXPECT_EQ(amount->GetValue(&v), S_OK);
  EXPECT_EQ(v, 1.0);
}

// ---- The common read rule, for every class.

struct ReadRuleCase {
  const char* name;
  std::function<ObjectRoot*()> make;
  // Reads the value; the result status.
  std::function<HRESULT(ObjectRoot*)> read;
  bool describes;
};

template <class I>
I* As(ObjectRoot* root) {
  void* p = nullptr;
  if (root->QueryRoot(iid_of<I>(), &p) != S_OK) return nullptr;
  root->ReleaseRoot();  // the caller's reference keeps the object alive
  return static_cast<I*>(p);
}

std::vector<ReadRuleCase> ReadRuleCases() {
  auto bstrRead = [](auto getter) {
    return [getter](ObjectRoot* root) {
      Bstr out;
      return getter(root, out.put());
    };
  };
  return {
      {"string GetValue", [] { return NewStringValue(kNoLimit); },
       bstrRead([](ObjectRoot* r, BSTR* o) { return As<IVTStringType>(r)->GetValue(o); }), true},
      {"int GetValue", [] { return NewIntValue(kNoLimit, kNoLimit); },
       [](ObjectRoot* r) {
         LONG v;
         return As<IVTIntType>(r)->GetValue(&v);
       },
       true},
      {"float GetValue", [] { return NewFloatValue(); },
       [](ObjectRoot* r) {
         float v;
         return As<IVTFloatType>(r)->GetValue(&v);
       },
       false},
      {"float GetAsString", [] { return NewFloatValue(); },
       bstrRead([](ObjectRoot* r, BSTR* o) { return As<IVTFloatType>(r)->GetAsString(o); }),
       false},
      {"amount GetValue", [] { return NewAmountValue(); },
       [](ObjectRoot* r) {
         double v;
         return As<IVTAmountType>(r)->GetValue(&v);
       },
       true},
      {"amount GetAsString", [] { return NewAmountValue(); },
       bstrRead([](ObjectRoot* r, BSTR* o) { return As<IVTAmountType>(r)->GetAsString(o); }),
       true},
      {"price GetValue", [] { return NewPriceValue(); },
       [](ObjectRoot* r) {
         double v;
         return As<IVTPriceType>(r)->GetValue(&v);
       },
       true},
      {"price GetAsString", [] { return NewPriceValue(); },
       bstrRead([](ObjectRoot* r, BSTR* o) { return As<IVTPriceType>(r)->GetAsString(o); }),
       true},
      {"percent GetValue", [] { return NewPercentValue(); },
       [](ObjectRoot* r) {
         double v;
         return As<IVTPercentType>(r)->GetValue(&v);
       },
       true},
      {"percent GetAsString", [] { return NewPercentValue(); },
       bstrRead([](ObjectRoot* r, BSTR* o) { return As<IVTPercentType>(r)->GetAsString(o); }),
       true},
      {"quantity GetValue", [] { return NewQuanValue(); },
       [](ObjectRoot* r) {
         double v;
         return As<IVTQuanType>(r)->GetValue(&v);
       },
       true},
      {"quantity GetAsString", [] { return NewQuanValue(); },
       bstrRead([](ObjectRoot* r, BSTR* o) { return As<IVTQuanType>(r)->GetAsString(o); }),
       false},
      {"bool GetValue", [] { return NewBoolValue(); },
       [](ObjectRoot* r) {
         VARIANT_BOOL v;
         return As<IVTBoolType>(r)->GetValue(&v);
       },
       true},
  };
}

TEST_F(ValuesTest, ReadRuleTable) {
  for (const ReadRuleCase& c : ReadRuleCases()) {
    SCOPED_TRACE(c.name);
    ObjectRoot* root = c.make();
    ASSERT_NE(root, nullptr);
    BasicPropertyType* value = root->AsValue();
    ASSERT_NE(value, nullptr);
    IBasicPropertyType* basic = As<IBasicPropertyType>(root);
    ASSERT_NE(basic, nullptr);

    // Never set.
    EXPECT_EQ(c.read(root), kNotSetStatus);
    EXPECT_EQ(TakeError(), c.describes ? "No value has been set." : kNoErrorObject);

    // Empty.
    VARIANT_BOOL flag = 0;
    EXPECT_EQ(basic->SetEmpty(), S_OK);
    EXPECT_EQ(basic->IsSet(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
    EXPECT_EQ(basic->IsEmpty(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
    EXPECT_EQ(c.read(root), kEmptyStatus);
    EXPECT_EQ(TakeError(), c.describes ? "Value is empty." : kNoErrorObject);
    EXPECT_EQ(XmlText(value), "");

    // Parsed text, then Unset.
    EXPECT_TRUE(value->SetXMLValue("1"));
    EXPECT_EQ(c.read(root), S_OK);
    EXPECT_EQ(TakeError(), kNoErrorObject);
    EXPECT_EQ(basic->Unset(), S_OK);
    EXPECT_EQ(basic->IsSet(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_FALSE);
    EXPECT_EQ(basic->IsEmpty(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_FALSE);
    EXPECT_EQ(c.read(root), kNotSetStatus);
    EXPECT_EQ(TakeError(), c.describes ? "No value has been set." : kNoErrorObject);
    EXPECT_EQ(XmlText(value), "<not written>");

    root->ReleaseRoot();
  }
}

TEST_F(ValuesTest, NullOutPointers) {
  Made<CVTStringType> text;
  Made<CVTIntType> integer;
  Made<CVTFloatType> real;
  Made<CVTAmountType> amount;
  Made<CVTQuanType> quan;
  Made<CVTBoolType> boolean;
  Bstr v("1");
  text->SetValue(v.get());
  integer->SetValue(1);
  real->SetValue(1);
  amount->SetValue(1);
  quan->SetValue(1);
  boolean->SetValue(VARIANT_TRUE);
  EXPECT_EQ(text->GetValue(nullptr), E_POINTER);
  EXPECT_EQ(text->GetMaxLength(nullptr), E_POINTER);
  EXPECT_EQ(integer->GetValue(nullptr), E_POINTER);
  EXPECT_EQ(integer->GetMinValue(nullptr), E_POINTER);
  EXPECT_EQ(integer->GetMaxValue(nullptr), E_POINTER);
  EXPECT_EQ(real->GetValue(nullptr), E_POINTER);
  EXPECT_EQ(real->GetAsString(nullptr), E_POINTER);
  EXPECT_EQ(amount->GetValue(nullptr), E_POINTER);
  EXPECT_EQ(amount->GetAsString(nullptr), E_POINTER);
  EXPECT_EQ(quan->GetAsString(nullptr), E_POINTER);
  EXPECT_EQ(boolean->GetValue(nullptr), E_POINTER);
  EXPECT_EQ(boolean->IsSet(static_cast<VARIANT_BOOL*>(nullptr)), E_POINTER);
  EXPECT_EQ(boolean->IsEmpty(nullptr), E_POINTER);
}

// ---- Text.

TEST_F(ValuesTest, StringMaxLength) {
  Made<CVTStringType> text(NewStringValue(41));
  ASSERT_TRUE(text.get());
  Bstr limit;
  ASSERT_EQ(text->GetMaxLength(limit.put()), S_OK);
  EXPECT_EQ(limit.str(), "41");

  Bstr fits(std::string(41, 'a'));
  EXPECT_EQ(text->SetValue(fits.get()), S_OK);
  EXPECT_EQ(TakeError(), kNoErrorObject);

  Bstr tooLong(std::string(42, 'b'));
  EXPECT_EQ(text->SetValue(tooLong.get()), kTooLongStatus);
  EXPECT_EQ(TakeError(), "String too long.");
  Bstr back;
  ASSERT_EQ(text->GetValue(back.put()), S_OK);
  EXPECT_EQ(back.str(), std::string(41, 'a'));  // the failed set changed nothing
}

TEST_F(ValuesTest, StringWithoutLimit) {
  for (int32_t limit : {kNoLimit, 0}) {
    SCOPED_TRACE(limit);
    Made<CVTStringType> text(limit);
    Bstr longText(std::string(100000, 'x'));
    EXPECT_EQ(text->SetValue(longText.get()), S_OK);
    EXPECT_EQ(text.value()->Text().size(), 100000u);
    Bstr max;
    ASSERT_EQ(text->GetMaxLength(max.put()), S_OK);
    ASSERT_FALSE(max.null());
    EXPECT_EQ(max.str(), limit == kNoLimit ? "" : "0");
  }
  Made<CVTStringType> byDefault;
  Bstr max;
  ASSERT_EQ(byDefault->GetMaxLength(max.put()), S_OK);
  EXPECT_EQ(max.str(), "");
}

TEST_F(ValuesTest, StringEmptyTextAndUnset) {
  Made<CVTStringType> text(5);
  Bstr empty("");
  EXPECT_EQ(text->SetValue(empty.get()), S_OK);
  EXPECT_TRUE(text.value()->IsSet());
  EXPECT_FALSE(text.value()->IsEmptyValue());
  EXPECT_FALSE(text.value()->HasValue());  // no text
  Bstr back;
  EXPECT_EQ(text->GetValue(back.put()), S_OK);
  EXPECT_FALSE(back.null());
  EXPECT_EQ(back.str(), "");
  EXPECT_EQ(XmlText(text.value()), "");

  EXPECT_EQ(text->SetValue(nullptr), S_OK);
  EXPECT_TRUE(text.value()->IsSet());
  EXPECT_FALSE(text.value()->HasValue());

  Bstr abc("abc");
  EXPECT_EQ(text->SetValue(abc.get()), S_OK);
  EXPECT_TRUE(text.value()->HasValue());
  EXPECT_EQ(text->Unset(), S_OK);
  EXPECT_EQ(text.value()->Text(), "");
  EXPECT_FALSE(text.value()->HasValue());
}

// ---- Whole numbers.

struct IntCase {
  int32_t minimum, maximum;
  LONG value;
  bool accepted;
};

TEST_F(ValuesTest, IntRangeTable) {
  const IntCase cases[] = {
      {1, 12, 0, false},
      {1, 12, 13, false},
      {1, 12, 1, true},
      {1, 12, 12, true},
      {kNoLimit, 12, -2147483647 - 1, true},
      {kNoLimit, 12, 13, false},
      {1, kNoLimit, 2147483647, true},
      {1, kNoLimit, 0, false},
      {kNoLimit, kNoLimit, kNoLimit, true},
      {kNoLimit, kNoLimit, -5, true},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "[" << c.minimum << ", " << c.maximum << "] SetValue("
                                    << c.value << ")");
    Made<CVTIntType> integer(NewIntValue(c.minimum, c.maximum));
    ASSERT_TRUE(integer.get());
    HRESULT hr = integer->SetValue(c.value);
    if (c.accepted) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(XmlText(integer.value()), std::to_string(c.value));
      LONG back = 0;
      EXPECT_EQ(integer->GetValue(&back), S_OK);
      EXPECT_EQ(back, c.value);
    } else {
      EXPECT_EQ(hr, kRangeStatus);
      EXPECT_EQ(TakeError(), "Integer value is out of range.");
      EXPECT_FALSE(integer.value()->IsSet());
    }
  }
}

TEST_F(ValuesTest, IntBoundsAndUnset) {
  Made<CVTIntType> integer(1, 12);
  Bstr minText, maxText;
  ASSERT_EQ(integer->GetMinValue(minText.put()), S_OK);
  ASSERT_EQ(integer->GetMaxValue(maxText.put()), S_OK);
  EXPECT_EQ(minText.str(), "1");
  EXPECT_EQ(maxText.str(), "12");

  Made<CVTIntType> unbounded;
  ASSERT_EQ(unbounded->GetMinValue(minText.put()), S_OK);
  ASSERT_EQ(unbounded->GetMaxValue(maxText.put()), S_OK);
  EXPECT_FALSE(minText.null());
  EXPECT_EQ(minText.str(), "");
  EXPECT_EQ(maxText.str(), "");

  ASSERT_EQ(integer->SetValue(7), S_OK);
  EXPECT_EQ(integer->SetValue(13), kRangeStatus);
  LONG back = 0;
  EXPECT_EQ(integer->GetValue(&back), S_OK);
  EXPECT_EQ(back, 7);
  integer->Unset();
  EXPECT_EQ(integer.value()->Text(), "");
}

// ---- Floats.

TEST_F(ValuesTest, FloatSetAsStringTable) {
  const DecimalTextCase cases[] = {
      {Dec::kAmount, "123456", true},
      {Dec::kAmount, "12345678.12345", true},
      {Dec::kAmount, "-1.5", true},
      {Dec::kAmount, "123456789", false},
      {Dec::kAmount, "1.123456", false},
      {Dec::kAmount, "1e5", false},
      {Dec::kAmount, "1.2.3", false},
  };
  for (const DecimalTextCase& c : cases) {
    SCOPED_TRACE(c.text);
    Made<CVTFloatType> real(NewFloatValue());
    ASSERT_TRUE(real.get());
    Bstr text(c.text);
    HRESULT hr = real->SetAsString(text.get());
    EXPECT_EQ(TakeError(), kNoErrorObject);
    if (c.accepted) {
      EXPECT_EQ(hr, S_OK);
      Bstr back;
      EXPECT_EQ(real->GetAsString(back.put()), S_OK);
      EXPECT_EQ(back.str(), c.text);
      float v = 0;
      EXPECT_EQ(real->GetValue(&v), S_OK);
      EXPECT_EQ(v, static_cast<float>(std::atof(c.text)));
    } else {
      EXPECT_EQ(hr, kFormatStatus);
      EXPECT_FALSE(real.value()->IsSet());
    }
  }
  Made<CVTFloatType> real;
  Bstr empty("");
  EXPECT_EQ(real->SetAsString(empty.get()), kFormatStatus);
  EXPECT_EQ(real->SetAsString(nullptr), kFormatStatus);
  EXPECT_EQ(TakeError(), kNoErrorObject);
}

TEST_F(ValuesTest, FloatSetValue) {
  Made<CVTFloatType> real;
  EXPECT_EQ(real->SetValue(1.5f), S_OK);
  EXPECT_EQ(XmlText(real.value()), "1.500000");
  float v = 0;
  EXPECT_EQ(real->GetValue(&v), S_OK);
  EXPECT_EQ(v, 1.5f);

  EXPECT_EQ(real->SetValue(1e9f), kFormatStatus);
  EXPECT_EQ(real->SetValue(-1e9f), kFormatStatus);
  EXPECT_EQ(real->SetValue(std::numeric_limits<float>::infinity()), kFormatStatus);
  EXPECT_EQ(real->SetValue(std::numeric_limits<float>::quiet_NaN()), kFormatStatus);
  EXPECT_EQ(TakeError(), kNoErrorObject);
  EXPECT_EQ(XmlText(real.value()), "1.500000");  // failed sets changed nothing
}

// ---- Booleans.

TEST_F(ValuesTest, BoolSetValueTable) {
  const struct {
    VARIANT_BOOL in;
    VARIANT_BOOL out;
    const char* xml;
  } cases[] = {
      {VARIANT_TRUE, VARIANT_TRUE, "1"},
      {VARIANT_FALSE, VARIANT_FALSE, "0"},
      {1, VARIANT_FALSE, "0"},
      {2, VARIANT_FALSE, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    Made<CVTBoolType> flag(NewBoolValue());
    ASSERT_TRUE(flag.get());
    EXPECT_EQ(flag->SetValue(c.in), S_OK);
    VARIANT_BOOL back = 5;
    EXPECT_EQ(flag->GetValue(&back), S_OK);
    EXPECT_EQ(back, c.out);
    EXPECT_EQ(XmlText(flag.value()), c.xml);
  }
}

TEST_F(ValuesTest, BoolParseTable) {
  const struct {
    const char* text;
    VARIANT_BOOL value;
  } cases[] = {
      {"true", VARIANT_TRUE}, {"1", VARIANT_TRUE},   {"TRUE", VARIANT_FALSE},
      {"True", VARIANT_FALSE}, {"0", VARIANT_FALSE}, {"false", VARIANT_FALSE},
      {"", VARIANT_FALSE},     {" 1", VARIANT_FALSE}, {"yes", VARIANT_FALSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Made<CVTBoolType> flag;
    EXPECT_TRUE(flag.value()->SetXMLValue(c.text));
    EXPECT_TRUE(flag.value()->HasValue());
    VARIANT_BOOL back = 5;
    EXPECT_EQ(flag->GetValue(&back), S_OK);
    EXPECT_EQ(back, c.value);
    EXPECT_EQ(XmlText(flag.value()), c.value ? "1" : "0");
  }
}

TEST_F(ValuesTest, BoolEmptyAndUnset) {
  Made<CVTBoolType> flag;
  EXPECT_EQ(XmlText(flag.value()), "<not written>");
  flag->SetValue(VARIANT_TRUE);
  flag->SetEmpty();
  EXPECT_EQ(XmlText(flag.value()), "");
  VARIANT_BOOL v;
  EXPECT_EQ(flag->GetValue(&v), kEmptyStatus);
  EXPECT_EQ(TakeError(), "Value is empty.");
  flag->Unset();
  EXPECT_EQ(XmlText(flag.value()), "<not written>");
  EXPECT_EQ(flag->GetValue(&v), kNotSetStatus);
  EXPECT_EQ(TakeError(), "No value has been set.");
}

// ---- Parsed response values are stored unchecked.

TEST_F(ValuesTest, ParsedTextIsStoredUnchanged) {
  Made<CVTAmountType> amount;
  EXPECT_TRUE(amount.value()->SetXMLValue("12.3456"));
  double d = 0;
  EXPECT_EQ(amount->GetValue(&d), S_OK);
  EXPECT_EQ(d, 12.3456);
  Bstr text;
  EXPECT_EQ(amount->GetAsString(text.put()), S_OK);
  EXPECT_EQ(text.str(), "12.3456");

  Made<CVTIntType> integer(1, 12);
  EXPECT_TRUE(integer.value()->SetXMLValue("400"));
  LONG l = 0;
  EXPECT_EQ(integer->GetValue(&l), S_OK);
  EXPECT_EQ(l, 400);

  Made<CVTStringType> shortText(2);
  EXPECT_TRUE(shortText.value()->SetXMLValue("longer than two"));
  EXPECT_EQ(shortText->GetValue(text.put()), S_OK);
  EXPECT_EQ(text.str(), "longer than two");

  Made<CVTQuanType> quan;
  EXPECT_TRUE(quan.value()->SetXMLValue("abc"));
  EXPECT_EQ(quan->GetValue(&d), S_OK);
  EXPECT_EQ(d, 0.0);
}

// ---- Interfaces.

struct InterfaceCase {
  const char* name;
  std::function<ObjectRoot*()> make;
  const IID* own;
  bool describes;
};

TEST_F(ValuesTest, QueryInterfaceTable) {
  const InterfaceCase cases[] = {
      {"string", [] { return NewStringValue(kNoLimit); }, &IID_IVTStringType, true},
      {"int", [] { return NewIntValue(kNoLimit, kNoLimit); }, &IID_IVTIntType, true},
      {"float", [] { return NewFloatValue(); }, &IID_IVTFloatType, false},
      {"amount", [] { return NewAmountValue(); }, &IID_IVTAmountType, true},
      {"price", [] { return NewPriceValue(); }, &IID_IVTPriceType, true},
      {"percent", [] { return NewPercentValue(); }, &IID_IVTPercentType, true},
      {"quantity", [] { return NewQuanValue(); }, &IID_IVTQuanType, true},
      {"bool", [] { return NewBoolValue(); }, &IID_IVTBoolType, true},
      {"date", [] { return NewDateValue(); }, &IID_IVTDateType, true},
      {"date-time", [] { return NewDateTimeValue(false); }, &IID_IVTDateTimeType, true},
      {"date-only date-time", [] { return NewDateTimeValue(true); }, &IID_IVTDateTimeType, true},
      {"interval", [] { return NewTimeIntervalValue(); }, &IID_IVTTimeIntervalType, true},
  };
  const IID* all[] = {&IID_IVTStringType,  &IID_IVTIntType,     &IID_IVTFloatType,
                      &IID_IVTAmountType,  &IID_IVTPriceType,   &IID_IVTPercentType,
                      &IID_IVTQuanType,    &IID_IVTBoolType,    &IID_IVTDateType,
                      &IID_IVTDateTimeType, &IID_IVTTimeIntervalType, &IID_IVTBase,
                      &IID_IObjectType,    &IID_IClassFactory,  &IID_IErrorInfo};
  for (const InterfaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    ObjectRoot* root = c.make();
    ASSERT_NE(root, nullptr);
    ASSERT_NE(root->AsValue(), nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(root->QueryRoot(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);

    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IBasicPropertyType, c.own}) {
      void* p = nullptr;
      EXPECT_EQ(unknown->QueryInterface(*iid, &p), S_OK);
      ASSERT_NE(p, nullptr);
      // IUnknown, IDispatch, IBasicPropertyType and the own interface are one face.
      EXPECT_EQ(p, static_cast<void*>(unknown));
      static_cast<IUnknown*>(p)->Release();
    }
    for (const IID* iid : all) {
      if (iid == c.own) continue;
      void* p = reinterpret_cast<void*>(1);
      EXPECT_EQ(unknown->QueryInterface(*iid, &p), E_NOINTERFACE);
      EXPECT_EQ(p, nullptr);
    }
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    ISupportErrorInfo* support = nullptr;
    HRESULT hr =
        unknown->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support));
    if (c.describes) {
      ASSERT_EQ(hr, S_OK);
      EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.own), S_OK);
      EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IBasicPropertyType), S_FALSE);
      EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
      EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
      support->Release();
    } else {
      EXPECT_EQ(hr, E_NOINTERFACE);
      EXPECT_EQ(support, nullptr);
    }

    unknown->Release();
    EXPECT_EQ(root->ReleaseRoot(), 0u);
  }
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
