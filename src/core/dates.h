// Internal: the value classes of calendar dates, date-times with an optional time zone, and
// time intervals, and the factories aggregates create members with.
//
// Like the text and number classes, each keeps its value as the text that is written to
// vtXML (BasicPropertyType::text_). Typed sets check and format through the conversions of
// calendar.h; typed reads convert the stored text back. Parsed text of dates and intervals is
// stored unchecked by the shared BasicPropertyType::SetXMLValue; the date-time class parses
// its own, since the zone suffix of a response is kept apart from the clock time.
#ifndef VTFC4_SRC_CORE_DATES_H
#define VTFC4_SRC_CORE_DATES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "src/com/object.h"
#include "src/core/element.h"
#include "src/core/value_object.h"
#include "vtfc4/values.h"

namespace vtfc4 {

// ---- Factories: a new object holding one reference, or null when memory runs out.
ObjectRoot* NewDateValue();
// `dateOnlyMember`: the member is declared as a date, so every typed set stores the date alone.
ObjectRoot* NewDateTimeValue(bool dateOnlyMember);
ObjectRoot* NewTimeIntervalValue();

// ---- Calendar dates, written "YYYY-MM-DD".
class CVTDateType : public ValueObject<IVTDateType> {
 public:
  HRESULT SetValue(DATE value) override;
  // An unreadable or impossible stored text reads as DATE 0, without an error.
  HRESULT GetValue(DATE* out) override;
};

// ---- Date-times "YYYY-MM-DDThh:mm:ss", or plain dates, with an optional zone suffix.
class CVTDateTimeType : public ValueObject<IVTDateTimeType> {
 public:
  // The zone field value that means "no zone".
  static constexpr int16_t kNoZone = 100;

  explicit CVTDateTimeType(bool dateOnlyMember = false) : dateOnlyMember_(dateOnlyMember) {}

  // Stores the date alone when the member is date-only or asDateOnly is exactly VARIANT_TRUE;
  // the zone is kept as it is.
  HRESULT SetValue(DATE value, VARIANT_BOOL asDateOnly) override;
  // The clock time as written; the zone is not applied.
  HRESULT GetValue(DATE* out) override;
  // Does not make the value set: the zone may come before or after the value.
  HRESULT SetTimeZone(SHORT hours, SHORT minutes) override;
  HRESULT GetTimeZone(SHORT* hours, SHORT* minutes) override;

  // False when not set; "" when empty; the stored text, followed by the zone suffix when a
  // zone is set and the value is not a plain date.
  bool XMLText(std::string& scratch, std::string_view& out) const override;
  // Set and not empty; the zone is taken from the text's suffix (see dates.cpp).
  bool SetXMLValue(std::string_view text) override;

  bool DateOnlyMember() const { return dateOnlyMember_; }
  bool IsDateOnlyValue() const { return dateOnlyValue_; }
  bool HasZone() const { return zoneHours_ != kNoZone && zoneMinutes_ != kNoZone; }

 protected:
  void DoUnset() override;
  void DoSetEmpty() override;

 private:
  void ClearZone() {
    zoneHours_ = kNoZone;
    zoneMinutes_ = kNoZone;
  }

  const bool dateOnlyMember_;
  int16_t zoneHours_ = kNoZone;
  int16_t zoneMinutes_ = kNoZone;
  // The stored text is a plain date: it is written without the zone.
  bool dateOnlyValue_ = false;
};

// ---- Durations in hours, minutes and seconds, written "PT<h>H<m>M[<s>S]".
class CVTTimeIntervalType : public ValueObject<IVTTimeIntervalType> {
 public:
  // Negative parts are refused; there is no upper limit (90 minutes stay 90 minutes).
  HRESULT SetValue(SHORT hours, SHORT minutes, SHORT seconds) override;
  // A stored text that is not a duration this class can express (days, fractions) reads as
  // "no value", although the value is set.
  HRESULT GetValue(SHORT* hours, SHORT* minutes, SHORT* seconds) override;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_DATES_H
