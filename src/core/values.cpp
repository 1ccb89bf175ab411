#include "src/core/values.h"

#include <cstdlib>
#include <new>

#include "src/com/error.h"
#include "src/com/text.h"

namespace vtfc4 {

namespace {

// The range and text limits of the float class.
constexpr double kFloatLowest = -99999999.99999;
constexpr double kFloatHighest = 99999999.99999;
constexpr int kFloatIntegerDigits = 8;
constexpr int kFloatDecimals = 5;

// The narrow text of a BSTR; a null BSTR is the empty text.
std::string NarrowOf(BSTR value) { return value ? ToNarrow(value) : std::string(); }

// A bound or length as handed out: empty text for the no-limit marker, else decimal.
HRESULT HandOutLimit(int32_t limit, BSTR* out) {
  if (limit == kNoLimit) return HandOutText(std::string_view(), out);
  return HandOutText(Format("%d", limit), out);
}

// The text SetValue stores for `value`, or false when the value cannot be held exactly.
bool FormatDecimal(const DecimalScheme& s, double value, std::string& text) {
  if (value > s.highest || value < s.lowest) return false;
  if (value == 0) {
    text = s.zeroText;
  } else {
    text = Format(s.format, value);
    size_t keep = text.size();
    for (int removed = 0;
         keep > 0 && text[keep - 1] == '0' && (s.maxTrimmedZeros == kAllZeros ||
                                               removed < s.maxTrimmedZeros);
         ++removed)
      --keep;
    if (s.trimPoint && keep > 0 && text[keep - 1] == '.') --keep;
    text.resize(keep);
  }
  return std::atof(text.c_str()) == value;
}

}  // namespace

bool CheckDecimalText(std::string_view text, int maxIntegerDigits, int minDecimals,
                      int maxDecimals) {
  int integerDigits = 0;
  int decimals = 0;
  bool point = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      ++(point ? decimals : integerDigits);
    } else if (c == '.') {
      if (point) return false;
      point = true;
    } else if ((c == '+' || c == '-') && i == 0) {
      // a sign standing first
    } else {
      return false;
    }
  }
  return integerDigits <= maxIntegerDigits && decimals >= minDecimals &&
         decimals <= maxDecimals;
}

// ---- Factories.

ObjectRoot* NewStringValue(int32_t maxLength) { return MakeObject<CVTStringType>(maxLength); }
ObjectRoot* NewIntValue(int32_t minimum, int32_t maximum) {
  return MakeObject<CVTIntType>(minimum, maximum);
}
ObjectRoot* NewFloatValue() { return MakeObject<CVTFloatType>(); }
ObjectRoot* NewAmountValue() { return MakeObject<CVTAmountType>(); }
ObjectRoot* NewPriceValue() { return MakeObject<CVTPriceType>(); }
ObjectRoot* NewPercentValue() { return MakeObject<CVTPercentType>(); }
ObjectRoot* NewQuanValue() { return MakeObject<CVTQuanType>(); }
ObjectRoot* NewBoolValue() { return MakeObject<CVTBoolType>(); }

// ---- Text.

HRESULT CVTStringType::SetValue(BSTR value) {
  if (maxLength_ != 0 && SysStringLen(value) > static_cast<UINT>(maxLength_))
    return ReportError(kMsgStringTooLong, kStringTooLong);
  try {
    Store(NarrowOf(value));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTStringType::GetValue(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  return HandOutText(text_, out);
}

HRESULT CVTStringType::GetMaxLength(BSTR* out) {
  if (!out) return E_POINTER;
  return HandOutLimit(maxLength_, out);
}

bool CVTStringType::HasValue() const { return state_ == 1 && empty_ == 0 && !text_.empty(); }

void CVTStringType::DoUnset() {
  ValueObject::DoUnset();
  text_.clear();
}

// ---- Whole numbers.

HRESULT CVTIntType::SetValue(LONG value) {
  if ((minimum_ != kNoLimit && value < minimum_) || (maximum_ != kNoLimit && value > maximum_))
    return ReportError(kMsgIntegerOutOfRange, kOutOfRange);
  try {
    Store(Format("%d", static_cast<int>(value)));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTIntType::GetValue(LONG* out) {
  if (!out) return E_POINTER;
  *out = 0;
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  *out = static_cast<LONG>(std::atol(text_.c_str()));
  return S_OK;
}

HRESULT CVTIntType::GetMinValue(BSTR* out) {
  if (!out) return E_POINTER;
  return HandOutLimit(minimum_, out);
}

HRESULT CVTIntType::GetMaxValue(BSTR* out) {
  if (!out) return E_POINTER;
  return HandOutLimit(maximum_, out);
}

void CVTIntType::DoUnset() {
  ValueObject::DoUnset();
  text_.clear();
}

// ---- Floats (no error descriptions).

HRESULT CVTFloatType::SetValue(float value) {
  double d = value;
  if (!(d >= kFloatLowest && d <= kFloatHighest)) return kInvalidFormat;
  try {
    Store(Format("%f", d));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTFloatType::GetValue(float* out) {
  if (!out) return E_POINTER;
  *out = 0;
  if (HRESULT hr = CheckReadable(false); FAILED(hr)) return hr;
  *out = static_cast<float>(std::atof(text_.c_str()));
  return S_OK;
}

HRESULT CVTFloatType::SetAsString(BSTR value) {
  if (SysStringLen(value) == 0) return kInvalidFormat;
  try {
    std::string text = NarrowOf(value);
    if (!CheckDecimalText(text, kFloatIntegerDigits, 0, kFloatDecimals)) return kInvalidFormat;
    Store(std::move(text));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTFloatType::GetAsString(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (HRESULT hr = CheckReadable(false); FAILED(hr)) return hr;
  return HandOutText(text_, out);
}

// ---- Amounts, prices, percentages and quantities.

template <class Interface, const DecimalScheme& Scheme>
HRESULT DecimalValue<Interface, Scheme>::SetValue(double value) {
  try {
    std::string text;
    if (!FormatDecimal(Scheme, value, text)) return ReportError(Scheme.message, kInvalidFormat);
    this->Store(std::move(text));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

template <class Interface, const DecimalScheme& Scheme>
HRESULT DecimalValue<Interface, Scheme>::GetValue(double* out) {
  if (!out) return E_POINTER;
  *out = 0;
  if (HRESULT hr = this->CheckReadable(true); FAILED(hr)) return hr;
  *out = std::atof(this->text_.c_str());
  return S_OK;
}

template <class Interface, const DecimalScheme& Scheme>
HRESULT DecimalValue<Interface, Scheme>::SetAsString(BSTR value) {
  if (SysStringLen(value) == 0) return ReportError(kMsgEmptyNumeric, kInvalidFormat);
  try {
    std::string text = NarrowOf(value);
    if (!CheckDecimalText(text, Scheme.maxIntegerDigits, Scheme.minDecimals,
                          Scheme.maxDecimals))
      return ReportError(Scheme.message, kInvalidFormat);
    this->Store(std::move(text));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

template <class Interface, const DecimalScheme& Scheme>
HRESULT DecimalValue<Interface, Scheme>::GetAsString(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (HRESULT hr = this->CheckReadable(Scheme.describeGetAsString); FAILED(hr)) return hr;
  return HandOutText(this->text_, out);
}

template class DecimalValue<IVTAmountType, kAmountScheme>;
template class DecimalValue<IVTPriceType, kPriceScheme>;
template class DecimalValue<IVTPercentType, kPercentScheme>;
template class DecimalValue<IVTQuanType, kQuanScheme>;

// ---- Booleans.

HRESULT CVTBoolType::SetValue(VARIANT_BOOL value) {
  value_ = value == VARIANT_TRUE ? 1 : 0;
  state_ = 1;
  empty_ = 0;
  return S_OK;
}

HRESULT CVTBoolType::GetValue(VARIANT_BOOL* out) {
  if (!out) return E_POINTER;
  *out = VARIANT_FALSE;
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  *out = value_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

bool CVTBoolType::XMLText(std::string&, std::string_view& out) const {
  if (state_ != 1) return false;
  out = empty_ ? std::string_view() : std::string_view(value_ ? "1" : "0");
  return true;
}

bool CVTBoolType::SetXMLValue(std::string_view text) {
  state_ = 1;
  empty_ = 0;
  value_ = (text == "1" || text == "true") ? 1 : 0;
  return true;
}

}  // namespace vtfc4
