#include "src/core/dates.h"

#include <new>

#include "src/com/error.h"
#include "src/core/calendar.h"

namespace vtfc4 {

// ---- Factories.

ObjectRoot* NewDateValue() { return MakeObject<CVTDateType>(); }
ObjectRoot* NewDateTimeValue(bool dateOnlyMember) {
  return MakeObject<CVTDateTimeType>(dateOnlyMember);
}
ObjectRoot* NewTimeIntervalValue() { return MakeObject<CVTTimeIntervalType>(); }

// ---- Dates.

HRESULT CVTDateType::SetValue(DATE value) {
  CalendarFields fields;
  if (!DateToFields(value, fields)) return ReportError(kMsgInvalidDate, kInvalidFormat);
  try {
    Store(FormatDate(fields));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTDateType::GetValue(DATE* out) {
  if (!out) return E_POINTER;
  *out = 0;
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  *out = ParseDateText(text_.c_str());
  return S_OK;
}

// ---- Date-times.

HRESULT CVTDateTimeType::SetValue(DATE value, VARIANT_BOOL asDateOnly) {
  CalendarFields fields;
  if (!DateToFields(value, fields)) return ReportError(kMsgInvalidDate, kInvalidFormat);
  // Only VARIANT_TRUE itself asks for the date alone: other nonzero values are not "true"
  // for an automation client.
  const bool dateOnly = dateOnlyMember_ || asDateOnly == VARIANT_TRUE;
  try {
    Store(dateOnly ? FormatDate(fields) : FormatDateTime(fields));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  dateOnlyValue_ = dateOnly;
  return S_OK;
}

HRESULT CVTDateTimeType::GetValue(DATE* out) {
  if (!out) return E_POINTER;
  *out = 0;
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  *out = ParseDateTimeText(text_.c_str());
  return S_OK;
}

HRESULT CVTDateTimeType::SetTimeZone(SHORT hours, SHORT minutes) {
  if (!ZoneIsValid(hours, minutes)) return ReportError(kMsgInvalidTimeZone, kInvalidFormat);
  zoneHours_ = hours;
  zoneMinutes_ = minutes;
  return S_OK;
}

HRESULT CVTDateTimeType::GetTimeZone(SHORT* hours, SHORT* minutes) {
  if (!hours || !minutes) return E_POINTER;
  *hours = 0;
  *minutes = 0;
  if (!HasZone()) return ReportError(kMsgNoValue, kNoValue);
  *hours = zoneHours_;
  *minutes = zoneMinutes_;
  return S_OK;
}

bool CVTDateTimeType::XMLText(std::string& scratch, std::string_view& out) const {
  if (state_ != 1) return false;
  if (empty_) {
    out = std::string_view();
  } else if (dateOnlyValue_ || !HasZone()) {
    // A plain date never carries a zone.
    out = text_;
  } else {
    scratch.assign(text_);
    scratch += FormatZoneSuffix(zoneHours_, zoneMinutes_);
    out = scratch;
  }
  return true;
}

// A response writes the zone as a suffix of the date-time ("2004-10-29T12:00:00+05:30"). The
// zone goes to the zone fields and the stored text is the clock time WITHOUT the suffix: the
// writer appends the zone itself, so a parsed value written back carries its zone exactly
// once, in the canonical "+HH:MM"/"-HH:MM" form ("+5:30" comes back as "+05:30"). Whatever
// the application sends is taken as it stands: the limits belong to SetTimeZone, and real
// answers carry zones such as +13:00 and +14:00. A text without 'T' is a plain date and is
// written without zone, as a date set with asDateOnly is; a date with a zone suffix
// ("2004-10-29-08:00") therefore keeps the zone readable but writes the date alone.
bool CVTDateTimeType::SetXMLValue(std::string_view text) {
  std::string stored(text);
  int hours = 0;
  int minutes = 0;
  const bool zone = ParseZoneSuffix(stored.c_str(), hours, minutes);
  if (zone) {
    // The suffix starts at the sign ParseZoneSuffix read from: the last '+' or '-' of the
    // text as a C string.
    stored.resize(std::string_view(stored.c_str()).find_last_of("+-"));
  }
  const bool plainDate = stored.find('T') == std::string::npos;
  text_ = std::move(stored);
  state_ = 1;
  empty_ = 0;
  dateOnlyValue_ = plainDate;
  if (zone) {
    zoneHours_ = static_cast<int16_t>(hours);
    zoneMinutes_ = static_cast<int16_t>(minutes);
  } else {
    ClearZone();
  }
  return true;
}

void CVTDateTimeType::DoUnset() {
  ValueObject::DoUnset();
  ClearZone();
}

void CVTDateTimeType::DoSetEmpty() {
  ValueObject::DoSetEmpty();
  ClearZone();
}

// ---- Time intervals.

HRESULT CVTTimeIntervalType::SetValue(SHORT hours, SHORT minutes, SHORT seconds) {
  if (hours < 0 || minutes < 0 || seconds < 0)
    return ReportError(kMsgNegativeInterval, kOutOfRange);
  try {
    Store(FormatDuration(hours, minutes, seconds));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTTimeIntervalType::GetValue(SHORT* hours, SHORT* minutes, SHORT* seconds) {
  if (!hours || !minutes || !seconds) return E_POINTER;
  *hours = 0;
  *minutes = 0;
  *seconds = 0;
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  int16_t h = 0;
  int16_t m = 0;
  int16_t s = 0;
  // A duration with days or fractions cannot be handed out in three whole numbers; the
  // system reports it as having no value.
  if (!ParseDuration(text_.c_str(), h, m, s)) return ReportError(kMsgNoValue, kNoValue);
  *hours = h;
  *minutes = m;
  *seconds = s;
  return S_OK;
}

}  // namespace vtfc4
