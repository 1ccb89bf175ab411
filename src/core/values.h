// Internal: the value classes of text, whole numbers, floats, money amounts, prices,
// percentages, quantities and booleans, and the factories aggregates create members with.
//
// Every class but the boolean one keeps its value as the text that is written to vtXML
// (BasicPropertyType::text_). Typed sets check and format; parsed text is stored unchecked by
// the shared BasicPropertyType::SetXMLValue, and typed reads convert it with atof/atol.
#ifndef VTFC4_SRC_CORE_VALUES_H
#define VTFC4_SRC_CORE_VALUES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "src/com/error.h"
#include "src/com/object.h"
#include "src/core/element.h"
#include "src/core/value_object.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// ---- Factories: a new object holding one reference, or null when memory runs out.
ObjectRoot* NewStringValue(int32_t maxLength /* kNoLimit = none */);
ObjectRoot* NewIntValue(int32_t minimum, int32_t maximum /* kNoLimit = none */);
ObjectRoot* NewFloatValue();
ObjectRoot* NewAmountValue();
ObjectRoot* NewPriceValue();
ObjectRoot* NewPercentValue();
ObjectRoot* NewQuanValue();
ObjectRoot* NewBoolValue();

// ---- Text with an optional maximum length in UTF-16 code units (0 or kNoLimit: none).
class CVTStringType : public ValueObject<IVTStringType> {
 public:
  explicit CVTStringType(int32_t maxLength = kNoLimit) : maxLength_(maxLength) {}

  HRESULT SetValue(BSTR value) override;
  HRESULT GetValue(BSTR* out) override;
  HRESULT GetMaxLength(BSTR* out) override;

  // Set, not empty, and the text is not empty.
  bool HasValue() const override;
  int32_t MaxLength() const { return maxLength_; }

 protected:
  void DoUnset() override;

 private:
  const int32_t maxLength_;
};

// ---- Whole numbers with optional bounds (kNoLimit: unbounded on that side).
class CVTIntType : public ValueObject<IVTIntType> {
 public:
  explicit CVTIntType(int32_t minimum = kNoLimit, int32_t maximum = kNoLimit)
      : minimum_(minimum), maximum_(maximum) {}

  HRESULT SetValue(LONG value) override;
  HRESULT GetValue(LONG* out) override;
  HRESULT GetMinValue(BSTR* out) override;
  HRESULT GetMaxValue(BSTR* out) override;

  int32_t Minimum() const { return minimum_; }
  int32_t Maximum() const { return maximum_; }

 protected:
  void DoUnset() override;

 private:
  const int32_t minimum_;
  const int32_t maximum_;
};

// ---- Floats: the same status codes as the others, never an error description.
class CVTFloatType : public ValueObject<IVTFloatType, false> {
 public:
  HRESULT SetValue(float value) override;
  HRESULT GetValue(float* out) override;
  HRESULT SetAsString(BSTR value) override;
  HRESULT GetAsString(BSTR* out) override;
};

// ---- The decimal classes (amount, price, percent, quantity): one implementation, driven by
// a table of constants per class.
inline constexpr int kAllZeros = -1;

struct DecimalScheme {
  double lowest;               // SetValue range, inclusive
  double highest;
  const char* format;          // printf format of SetValue
  const char* zeroText;        // SetValue(0) text
  int maxTrimmedZeros;         // at most this many trailing '0' are removed (kAllZeros: all)
  bool trimPoint;              // then a final '.' is removed too
  int maxIntegerDigits;        // SetAsString: digits left of the point, leading zeros counted
  int minDecimals;             // SetAsString: digits right of the point
  int maxDecimals;
  UINT message;                // the description of every refused set
  bool describeGetAsString;    // GetAsString reports the read failures with a description
};

inline constexpr DecimalScheme kAmountScheme{
    -99999999.99, 99999999.99, "%.2f", "0.00", 0, false, 8, 2, 2, kMsgInvalidAmount, true};
inline constexpr DecimalScheme kPriceScheme{
    -99999999.99999, 99999999.99999, "%.5f", "0.00", 3, false, 8, 0, 5, kMsgInvalidPrice, true};
inline constexpr DecimalScheme kPercentScheme{
    -9999999.99999, 9999999.99999, "%.5f", "0.0", 4, false, 7, 0, 5, kMsgInvalidPercent, true};
inline constexpr DecimalScheme kQuanScheme{
    -9999999.99999, 9999999.99999, "%.5f", "0", kAllZeros, true, 7, 0, 5, kMsgInvalidQuantity, false};

template <class Interface, const DecimalScheme& Scheme>
class DecimalValue : public ValueObject<Interface> {
 public:
  HRESULT SetValue(double value) override;
  HRESULT GetValue(double* out) override;
  HRESULT SetAsString(BSTR value) override;
  HRESULT GetAsString(BSTR* out) override;

  static constexpr const DecimalScheme& scheme() { return Scheme; }
};

// Defined in values.cpp.
extern template class DecimalValue<IVTAmountType, kAmountScheme>;
extern template class DecimalValue<IVTPriceType, kPriceScheme>;
extern template class DecimalValue<IVTPercentType, kPercentScheme>;
extern template class DecimalValue<IVTQuanType, kQuanScheme>;

class CVTAmountType : public DecimalValue<IVTAmountType, kAmountScheme> {};
class CVTPriceType : public DecimalValue<IVTPriceType, kPriceScheme> {};
class CVTPercentType : public DecimalValue<IVTPercentType, kPercentScheme> {};
class CVTQuanType : public DecimalValue<IVTQuanType, kQuanScheme> {};

// ---- Booleans: a 32-bit boolean instead of text; written as "1" or "0".
class CVTBoolType : public ValueObject<IVTBoolType> {
 public:
  HRESULT SetValue(VARIANT_BOOL value) override;
  HRESULT GetValue(VARIANT_BOOL* out) override;

  // False when not set; "" when empty; else "1" or "0".
  bool XMLText(std::string& scratch, std::string_view& out) const override;
  // Set and not empty; true only for exactly "1" or "true".
  bool SetXMLValue(std::string_view text) override;

  bool Value() const { return value_ != 0; }

 private:
  int32_t value_ = 0;
};

// Checks decimal text: digits, at most one '.', and '+' or '-' only as the first character,
// with the digit counts in the given limits. Shared by the float and decimal classes.
bool CheckDecimalText(std::string_view text, int maxIntegerDigits, int minDecimals,
                      int maxDecimals);

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_VALUES_H
