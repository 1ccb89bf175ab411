// vtfc4/client.hpp: a header-only C++17 layer over the COM-style interface of vtFC4, for clients
// that would rather write
//
//   vtfc4::DesktopSession session("books.vtc", "My app");
//   auto set = session.newRequest();
//   auto add = vtfc4::append(set, &IMsgSetRequest::AppendCustomerAddRq);
//   vtfc4::set(add, &ICustomerAdd::get_Name, "Zoë Åström");
//   for (auto& r : vtfc4::responses(session.send(set)))
//     if (auto customer = r.as<ICustomerRet>())
//       std::cout << vtfc4::get(customer, &ICustomerRet::get_ListID).value_or("?") << "\n";
//
// than check every HRESULT, convert every text and walk every list by index. It is built only on
// the public headers (vtfc4/vtfc4.h) and changes nothing in them: both can be used side by side,
// and every wrapper hands out the interface it holds.
//
// What it gives:
//   - Text: UTF-8 std::string and std::u16string to and from BSTR (toBstr, toUtf8, toUtf16).
//     Every call the layer makes runs with the thread's code page set to UTF-8 (Utf8CodePage,
//     an RAII guard that restores the previous one), so any text round-trips.
//   - Errors: every failing call through the layer throws vtfc4::Error, with the HRESULT and the
//     description and source of the thread's error object (check(hr) does it for a call of the
//     client's own).
//   - Members: get(holder, &IX::get_Member) reads any member of any class of the catalogue, the
//     value type deduced from the getter's signature: text, identifiers and GUIDs as
//     std::optional<std::string>; integers, floats and the decimal types as optional numbers;
//     booleans as optional<bool>; dates as optional<Date>; date-times as optional<DateTime>
//     (with their zone); intervals as optional<std::chrono::seconds>; enumerations as an
//     optional of the enumeration; aggregates, references and lists as a ComPtr that is null
//     when the element is absent. Because the type comes from the getter, the layer covers every
//     class of the catalogue by construction: a value interface it did not know would fail to
//     compile, never read wrongly. set(request, &IX::get_Member, value) sets text, numbers,
//     booleans, dates, date-times, intervals and enumerations the same way.
//   - Absent and empty: an absent element (a getter's S_OK with a null pointer) and a value that
//     was never set read as std::nullopt; a text element without text (<Phone/>, or a value made
//     empty with SetEmpty) reads as ""; a decimal or float without text has no value (nullopt).
//     presence() tells absent, unset, empty (SetEmpty) and set apart.
//   - Sessions: DesktopSession and OnlineSession open and close everything in their constructor
//     and destructor.
//   - Lists: items(list) is a range over any list interface that has get_Count and GetAt: lists
//     of records, lists whose entries are OR choices, line lists, lists of texts and of
//     enumerations. responses(answer) is a range over the responses of an answer.
//   - Dates: Date {year, month, day} and DateTime {date, time of day, optional zone}, with
//     std::chrono conversions (sys_days below, and system_clock::time_point).
//   - Reports: ReportGrid, the columns and rows of an IReportRet.
//
// The header needs C++17 and links against libvtfc4 like any client.
#ifndef VTFC4_CLIENT_HPP
#define VTFC4_CLIENT_HPP

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "vtfc4/vtfc4.h"

namespace vtfc4 {

// ============================================================================================
// Text
// ============================================================================================

// UTF-8 to UTF-16. A byte sequence that is not UTF-8 becomes U+FFFD, one per bad byte.
inline std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    char32_t c = 0xFFFD;
    size_t length = 1;
    if (b < 0x80) {
      c = b;
    } else {
      size_t more = 0;
      char32_t lowest = 0;
      if ((b & 0xE0) == 0xC0) {
        more = 1, c = b & 0x1F, lowest = 0x80;
      } else if ((b & 0xF0) == 0xE0) {
        more = 2, c = b & 0x0F, lowest = 0x800;
      } else if ((b & 0xF8) == 0xF0) {
        more = 3, c = b & 0x07, lowest = 0x10000;
      }
      bool good = more > 0;
      for (size_t k = 1; good && k <= more; ++k) {
        if (i + k >= n || (s[i + k] & 0xC0) != 0x80)
          good = false;
        else
          c = (c << 6) | (s[i + k] & 0x3F);
      }
      // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
      if (good && (c < lowest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) good = false;
      if (good)
        length = more + 1;
      else
        c = 0xFFFD;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += length;
  }
  return out;
}

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
inline std::string toUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A BSTR's text (all of it: a BSTR may hold NULs); a null BSTR gives the empty text.
inline std::u16string toU16(BSTR text) { return text ? std::u16string(text, SysStringLen(text)) : std::u16string(); }
inline std::string toUtf8(BSTR text) { return toUtf8(std::u16string_view(text ? text : u"", SysStringLen(text))); }
inline std::string toUtf8(const Bstr& text) { return toUtf8(text.Get()); }

class Error;
[[noreturn]] inline void fail(HRESULT hr, const std::string& context);

// A new BSTR holding the text (never null: the empty text gives an empty BSTR).
inline Bstr toBstr(std::u16string_view text) {
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!s) fail(E_OUTOFMEMORY, "SysAllocStringLen");
  return Bstr::Adopt(s);
}
inline Bstr toBstr(std::string_view utf8) { return toBstr(std::u16string_view(toUtf16(utf8))); }
inline Bstr toBstr(const char* utf8) { return toBstr(std::string_view(utf8 ? utf8 : "")); }
inline Bstr toBstr(const std::string& utf8) { return toBstr(std::string_view(utf8)); }
inline Bstr toBstr(const std::u16string& text) { return toBstr(std::u16string_view(text)); }
inline Bstr toBstr(const char16_t* text) { return toBstr(std::u16string_view(text ? text : u"")); }

// While it lives, the calling thread's code page is UTF-8; the one before comes back after.
// Nested guards cost nothing. Every call of the layer runs under one.
class Utf8CodePage {
 public:
  Utf8CodePage() {
    const char* now = GetThreadCodePage();
    if (now && std::strcmp(now, "UTF-8") == 0) return;
    saved_ = now ? now : "WINDOWS-1252";
    changed_ = SUCCEEDED(SetThreadCodePage("UTF-8"));
  }
  ~Utf8CodePage() {
    if (changed_) SetThreadCodePage(saved_.c_str());
  }
  Utf8CodePage(const Utf8CodePage&) = delete;
  Utf8CodePage& operator=(const Utf8CodePage&) = delete;

 private:
  std::string saved_;
  bool changed_ = false;
};

// ============================================================================================
// Errors
// ============================================================================================

// A failed call: its HRESULT, and the description and source of the error object the call left
// on the thread (empty when it left none). what() reads "context: description (0x80040304)".
class Error : public std::runtime_error {
 public:
  Error(HRESULT hr, std::string description, std::string source = {}, const std::string& context = {})
      : std::runtime_error(Compose(hr, description, context)),
        hr_(hr),
        description_(std::move(description)),
        source_(std::move(source)) {}
  HRESULT hr() const noexcept { return hr_; }
  const std::string& description() const noexcept { return description_; }
  const std::string& source() const noexcept { return source_; }

 private:
  static std::string Compose(HRESULT hr, const std::string& description, const std::string& context) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    std::string text = context.empty() ? std::string() : context + ": ";
    text += description.empty() ? std::string("the call failed") : description;
    return text + " (" + code + ")";
  }

  HRESULT hr_;
  std::string description_;
  std::string source_;
};

// Throws Error for `hr`, taking the thread's error object (so the next failure starts clean).
[[noreturn]] inline void fail(HRESULT hr, const std::string& context) {
  std::string description, source;
  {
    Utf8CodePage utf8;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) {
      Bstr text;
      if (SUCCEEDED(info->GetDescription(text.Put()))) description = toUtf8(text);
      if (SUCCEEDED(info->GetSource(text.Put()))) source = toUtf8(text);
    }
  }
  throw Error(hr, std::move(description), std::move(source), context);
}

// Returns a succeeding `hr` (S_OK, S_FALSE...) and throws Error for a failing one.
inline HRESULT check(HRESULT hr, const char* context = nullptr) {
  if (FAILED(hr)) fail(hr, context ? context : "");
  return hr;
}

namespace detail {
// Drops an error object a client left on the thread, so that a failure is told with its own.
inline void clearError() { SetErrorInfo(0, nullptr); }
}  // namespace detail

// ============================================================================================
// Pointers
// ============================================================================================

// Every interface is held by vtfc4::ComPtr (vtfc4/comptr.h); the functions of this layer take
// either a ComPtr or a plain interface pointer wherever they take an object.
namespace detail {
template <class T>
struct Raw {
  static_assert(sizeof(T) == 0, "expected an interface pointer or a vtfc4::ComPtr");
};
template <class T>
struct Raw<T*> {
  using type = T;
  static T* get(T* p) { return p; }
};
template <class T>
struct Raw<ComPtr<T>> {
  using type = T;
  static T* get(const ComPtr<T>& p) { return p.Get(); }
};
template <class P>
auto* raw(const P& p) {
  return Raw<std::decay_t<P>>::get(p);
}
template <class P>
using RawType = typename Raw<std::decay_t<P>>::type;
}  // namespace detail

// The object as interface I (QueryInterface); null when it is null or does not have I.
template <class I, class P>
ComPtr<I> as(const P& object) {
  auto* p = detail::raw(object);
  ComPtr<I> out;
  if (!p) return out;
  const HRESULT hr = p->QueryInterface(iid_of<I>(), out.PutVoid());
  if (hr == E_NOINTERFACE) return ComPtr<I>();
  check(hr, "QueryInterface");
  return out;
}

// ============================================================================================
// Dates
// ============================================================================================

// Days as std::chrono durations and time points (what C++20 calls std::chrono::days and
// std::chrono::sys_days).
using days = std::chrono::duration<int32_t, std::ratio<86400>>;
using sys_days = std::chrono::time_point<std::chrono::system_clock, days>;

// A calendar date of the proleptic Gregorian calendar.
struct Date {
  int year = 1970;
  unsigned month = 1;
  unsigned day = 1;

  static bool isLeap(int y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }
  static unsigned daysInMonth(int y, unsigned m) {
    static const unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : lengths[(m - 1) % 12];
  }
  bool valid() const { return month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month); }

  // Days since 1970-01-01 (negative before).
  static Date fromDays(sys_days d) {
    // The civil calendar from a day count, in eras of 400 years.
    const int64_t z = static_cast<int64_t>(d.time_since_epoch().count()) + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t dd = doy - (153 * mp + 2) / 5 + 1;
    const int64_t mm = mp < 10 ? mp + 3 : mp - 9;
    return Date{static_cast<int>(yoe + era * 400 + (mm <= 2)), static_cast<unsigned>(mm), static_cast<unsigned>(dd)};
  }
  sys_days toDays() const {
    const int64_t y = static_cast<int64_t>(year) - (month <= 2);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = month > 2 ? month - 3 : month + 9;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return sys_days(days(static_cast<int32_t>(era * 146097 + doe - 719468)));
  }

  friend bool operator==(const Date& a, const Date& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
  }
  friend bool operator!=(const Date& a, const Date& b) { return !(a == b); }
  friend bool operator<(const Date& a, const Date& b) { return a.toDays() < b.toDays(); }
};

// The OLE Automation day 0 (DATE 0.0) is 1899-12-30, 25569 days before 1970-01-01.
inline constexpr int32_t kOleDateEpoch = 25569;

// A date and a time of day, with the zone the value carries (the offset east of UTC: +05:30 is
// 330 minutes, -08:00 is -480); the time is the clock time in that zone, as the document has it.
struct DateTime {
  Date date;
  int hour = 0;
  int minute = 0;
  int second = 0;
  std::optional<std::chrono::minutes> zone;

  bool valid() const {
    return date.valid() && hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
  }
  // The instant, when the zone is known.
  std::optional<std::chrono::system_clock::time_point> toUtc() const {
    if (!zone) return std::nullopt;
    const auto local = std::chrono::time_point_cast<std::chrono::seconds>(date.toDays());
    return std::chrono::system_clock::time_point(local + std::chrono::hours(hour) + std::chrono::minutes(minute) +
                                                 std::chrono::seconds(second) - *zone);
  }
  // The clock time of an instant in the zone `offset`, to the second below.
  static DateTime fromUtc(std::chrono::system_clock::time_point instant, std::chrono::minutes offset) {
    using namespace std::chrono;
    const auto local = time_point_cast<seconds>(instant) + offset;
    sys_days day = time_point_cast<days>(local);
    if (day > local) day -= days(1);  // floor for instants before 1970
    const auto rest = duration_cast<seconds>(local - day).count();
    return DateTime{Date::fromDays(day), static_cast<int>(rest / 3600),
                    static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60), offset};
  }

  friend bool operator==(const DateTime& a, const DateTime& b) {
    return a.date == b.date && a.hour == b.hour && a.minute == b.minute && a.second == b.second && a.zone == b.zone;
  }
  friend bool operator!=(const DateTime& a, const DateTime& b) { return !(a == b); }
};

// DATE numbers: the whole part counts days from 1899-12-30 (backwards for negative numbers), the
// magnitude of the fraction is the time of day. Rounded to the second.
inline DateTime fromOleDate(DATE value) {
  if (!std::isfinite(value)) throw Error(E_INVALIDARG, "not a date");
  const double rounded = value >= 0 ? value + 0.5 / 86400 : value - 0.5 / 86400;
  const double whole = std::trunc(rounded);
  int64_t day = static_cast<int64_t>(whole);
  int64_t seconds = static_cast<int64_t>(std::fabs(rounded - whole) * 86400 + 1e-6);
  if (seconds >= 86400) seconds -= 86400, ++day;
  DateTime out;
  out.date = Date::fromDays(sys_days(days(static_cast<int32_t>(day - kOleDateEpoch))));
  out.hour = static_cast<int>(seconds / 3600);
  out.minute = static_cast<int>(seconds / 60 % 60);
  out.second = static_cast<int>(seconds % 60);
  return out;
}
inline DATE toOleDate(const Date& date) {
  if (!date.valid()) throw Error(E_INVALIDARG, "not a calendar date");
  return static_cast<DATE>(date.toDays().time_since_epoch().count() + kOleDateEpoch);
}
inline DATE toOleDate(const DateTime& value) {
  if (!value.valid()) throw Error(E_INVALIDARG, "not a date and time of day");
  const double day = toOleDate(value.date);
  const double time = (value.hour * 3600 + value.minute * 60 + value.second) / 86400.0;
  return day < 0 ? day - time : day + time;
}

// ============================================================================================
// Values
// ============================================================================================

// The four states of a value member: the element is absent (a null member), present but never
// given a value, present and empty, or set.
enum class Presence { absent, unset, empty, set };

inline Presence presence(IBasicPropertyType* value) {
  if (!value) return Presence::absent;
  Utf8CodePage utf8;
  detail::clearError();
  VARIANT_BOOL flag = VARIANT_FALSE;
  check(value->IsSet(&flag), "IsSet");
  if (!flag) return Presence::unset;
  check(value->IsEmpty(&flag), "IsEmpty");
  return flag ? Presence::empty : Presence::set;
}

namespace detail {

template <class M>
struct MethodArg;
template <class H, class T>
struct MethodArg<HRESULT (H::*)(T*)> {
  using holder = H;
  using type = T;
};

// The entry type of a list's GetAt.
template <class M>
struct GetAtArg;
template <class L, class T>
struct GetAtArg<HRESULT (L::*)(LONG, T*)> {
  using type = T;
};
template <class X>
struct IsDuration : std::false_type {};
template <class R, class P>
struct IsDuration<std::chrono::duration<R, P>> : std::true_type {};

// What a value interface V reads as and how: read() is called on a value that is set.
template <class V, class = void>
struct ValueKind {
  static constexpr bool known = false;
};

template <class V>
struct TextKind {
  static constexpr bool known = true;
  using type = std::string;
  static type read(V* v) {
    Bstr text;
    check(v->GetValue(text.Put()), "GetValue");
    return toUtf8(text);
  }
  static type readEmpty() { return std::string(); }
  template <class X>
  static constexpr bool accepts = std::is_convertible_v<const X&, std::string_view> ||
                                  std::is_convertible_v<const X&, std::u16string_view>;
  template <class X>
  static void write(V* v, const X& x) {
    if constexpr (std::is_convertible_v<const X&, std::string_view>)
      check(v->SetValue(toBstr(std::string_view(x)).Get()), "SetValue");
    else
      check(v->SetValue(toBstr(std::u16string_view(x)).Get()), "SetValue");
  }
};
template <>
struct ValueKind<IVTStringType> : TextKind<IVTStringType> {};
template <>
struct ValueKind<IVTIDType> : TextKind<IVTIDType> {};
template <>
struct ValueKind<IVTGUIDType> : TextKind<IVTGUIDType> {};

// Numbers; a decimal member also takes its exact text ("275.50"), and one present without text
// has no value.
template <class V, class N, bool decimal>
struct NumberKind {
  static constexpr bool known = true;
  using type = N;
  static std::optional<type> read(V* v) {
    if constexpr (decimal) {
      Bstr text;
      check(v->GetAsString(text.Put()), "GetAsString");
      if (text.Length() == 0) return std::nullopt;
    }
    N n{};
    check(v->GetValue(&n), "GetValue");
    return n;
  }
  template <class X>
  static constexpr bool accepts =
      (std::is_arithmetic_v<X> && !std::is_same_v<X, bool>) || (decimal && std::is_convertible_v<const X&, std::string_view>);
  template <class X>
  static void write(V* v, const X& x) {
    if constexpr (std::is_arithmetic_v<X>) {
      if constexpr (std::is_integral_v<N>) {
        if constexpr (std::is_floating_point_v<X>) {
          if (!(x >= static_cast<X>(INT32_MIN) && x <= static_cast<X>(INT32_MAX)) || std::trunc(x) != x)
            throw Error(E_INVALIDARG, "not a 32-bit integer");
        } else if constexpr (std::is_signed_v<X>) {
          if (static_cast<int64_t>(x) < INT32_MIN || static_cast<int64_t>(x) > INT32_MAX)
            throw Error(E_INVALIDARG, "not a 32-bit integer");
        } else if (static_cast<uint64_t>(x) > static_cast<uint64_t>(INT32_MAX)) {
          throw Error(E_INVALIDARG, "not a 32-bit integer");
        }
      }
      check(v->SetValue(static_cast<N>(x)), "SetValue");
    } else {
      check(v->SetAsString(toBstr(std::string_view(x)).Get()), "SetAsString");
    }
  }
};
template <>
struct ValueKind<IVTIntType> : NumberKind<IVTIntType, LONG, false> {};
template <>
struct ValueKind<IVTFloatType> : NumberKind<IVTFloatType, float, true> {};
template <>
struct ValueKind<IVTAmountType> : NumberKind<IVTAmountType, double, true> {};
template <>
struct ValueKind<IVTPriceType> : NumberKind<IVTPriceType, double, true> {};
template <>
struct ValueKind<IVTPercentType> : NumberKind<IVTPercentType, double, true> {};
template <>
struct ValueKind<IVTQuanType> : NumberKind<IVTQuanType, double, true> {};

template <>
struct ValueKind<IVTBoolType> {
  static constexpr bool known = true;
  using type = bool;
  static type read(IVTBoolType* v) {
    VARIANT_BOOL b = VARIANT_FALSE;
    check(v->GetValue(&b), "GetValue");
    return b != VARIANT_FALSE;
  }
  template <class X>
  static constexpr bool accepts = std::is_same_v<X, bool>;
  static void write(IVTBoolType* v, bool x) { check(v->SetValue(x ? VARIANT_TRUE : VARIANT_FALSE), "SetValue"); }
};

template <>
struct ValueKind<IVTDateType> {
  static constexpr bool known = true;
  using type = Date;
  static type read(IVTDateType* v) {
    DATE d = 0;
    check(v->GetValue(&d), "GetValue");
    return fromOleDate(d).date;
  }
  template <class X>
  static constexpr bool accepts = std::is_same_v<X, Date> || std::is_same_v<X, sys_days>;
  static void write(IVTDateType* v, const Date& x) { check(v->SetValue(toOleDate(x)), "SetValue"); }
  static void write(IVTDateType* v, sys_days x) { write(v, Date::fromDays(x)); }
};

// A date-time: its clock time and its zone. A Date sets the date alone.
template <>
struct ValueKind<IVTDateTimeType> {
  static constexpr bool known = true;
  using type = DateTime;
  static type read(IVTDateTimeType* v) {
    DATE d = 0;
    check(v->GetValue(&d), "GetValue");
    DateTime out = fromOleDate(d);
    SHORT hours = 0, minutes = 0;
    // A value without a zone says so with a failing GetTimeZone and an error object.
    if (SUCCEEDED(v->GetTimeZone(&hours, &minutes)))
      out.zone = std::chrono::hours(hours) + std::chrono::minutes(minutes);
    else
      detail::clearError();
    return out;
  }
  template <class X>
  static constexpr bool accepts = std::is_same_v<X, DateTime> || std::is_same_v<X, Date>;
  static void write(IVTDateTimeType* v, const DateTime& x) {
    const DATE d = toOleDate(x);
    // Unset clears the zone of an earlier value; the zone may be given before the value.
    if (!x.zone) check(v->Unset(), "Unset");
    if (x.zone) {
      const auto total = x.zone->count();
      check(v->SetTimeZone(static_cast<SHORT>(total / 60), static_cast<SHORT>(total % 60)), "SetTimeZone");
    }
    check(v->SetValue(d, VARIANT_FALSE), "SetValue");
  }
  static void write(IVTDateTimeType* v, const Date& x) { check(v->SetValue(toOleDate(x), VARIANT_TRUE), "SetValue"); }
};

template <>
struct ValueKind<IVTTimeIntervalType> {
  static constexpr bool known = true;
  using type = std::chrono::seconds;
  static type read(IVTTimeIntervalType* v) {
    SHORT h = 0, m = 0, s = 0;
    check(v->GetValue(&h, &m, &s), "GetValue");
    return std::chrono::hours(h) + std::chrono::minutes(m) + std::chrono::seconds(s);
  }
  template <class X>
  static constexpr bool accepts = IsDuration<X>::value;
  static void write(IVTTimeIntervalType* v, std::chrono::seconds x) {
    const auto total = x.count();
    if (total < 0 || total / 3600 > 32767) throw Error(E_INVALIDARG, "not an interval of 0 to 32767 hours");
    check(v->SetValue(static_cast<SHORT>(total / 3600), static_cast<SHORT>(total / 60 % 60), static_cast<SHORT>(total % 60)),
          "SetValue");
  }
};

// The value interfaces of the enumerations (IVTEN...Type): their GetValue takes the enum.
template <class V>
struct ValueKind<V, std::enable_if_t<std::is_base_of_v<IBasicPropertyType, V> &&
                                     std::is_enum_v<typename MethodArg<decltype(&V::GetValue)>::type>>> {
  static constexpr bool known = true;
  using type = typename MethodArg<decltype(&V::GetValue)>::type;
  static type read(V* v) {
    type e{};
    check(v->GetValue(&e), "GetValue");
    return e;
  }
  template <class X>
  static constexpr bool accepts = std::is_same_v<X, type> || std::is_convertible_v<const X&, std::string_view>;
  template <class X>
  static void write(V* v, const X& x) {
    if constexpr (std::is_same_v<X, type>)
      check(v->SetValue(x), "SetValue");
    else
      check(v->SetAsString(toBstr(std::string_view(x)).Get()), "SetAsString");
  }
};

template <class V>
constexpr bool isValue = std::is_base_of_v<IBasicPropertyType, V>;

}  // namespace detail

// The value of a value object: std::nullopt when the pointer is null (absent) or the value is
// not set; for text, "" when it is empty (SetEmpty; other types have no empty value: nullopt).
template <class V, class = std::enable_if_t<detail::isValue<V>>>
std::optional<typename detail::ValueKind<V>::type> value(V* v) {
  static_assert(detail::ValueKind<V>::known, "a value interface this layer does not read");
  switch (presence(v)) {
    case Presence::absent:
    case Presence::unset:
      return std::nullopt;
    case Presence::empty:
      if constexpr (std::is_same_v<typename detail::ValueKind<V>::type, std::string>) return std::string();
      return std::nullopt;
    case Presence::set:
      break;
  }
  Utf8CodePage utf8;
  detail::clearError();
  return detail::ValueKind<V>::read(v);
}
template <class V, class = std::enable_if_t<detail::isValue<V>>>
auto value(const ComPtr<V>& v) {
  return value(v.Get());
}

inline std::optional<std::string> text(IVTStringType* v) { return value(v); }
inline std::optional<std::string> text(const ComPtr<IVTStringType>& v) { return value(v.Get()); }

namespace detail {
// What get() gives for a getter's out parameter T*.
template <class T, class = void>
struct Read {
  // Plain values (get_ortype, get_Count, get_StatusCode...): the value itself.
  using type = T;
  static constexpr bool plain = true;
};
template <>
struct Read<BSTR> {
  // A text handed out directly: nullopt for a null BSTR.
  using type = std::optional<std::string>;
  static constexpr bool plain = false;
  static type convert(BSTR s) { return s ? std::optional<std::string>(toUtf8(s)) : std::nullopt; }
};
template <class V>
struct Read<V*, std::enable_if_t<std::is_class_v<V> && isValue<V>>> {
  using type = std::optional<typename ValueKind<V>::type>;
  static constexpr bool plain = false;
};
template <class A>
struct Read<A*, std::enable_if_t<std::is_class_v<A> && !isValue<A>>> {
  // Aggregates, references, lists, request and response objects: the object, null when absent.
  using type = ComPtr<A>;
  static constexpr bool plain = false;
};
}  // namespace detail

// The member a getter reads, its type deduced from the getter (see the top of this file). A null
// holder (an absent aggregate) gives an absent member, so reads can be chained:
//   get(get(customer, &ICustomerRet::get_BillAddress), &IAddress::get_City)
// A getter of a plain value (an OR choice's get_ortype, a count) gives the value itself and needs
// a holder.
template <class P, class H, class T>
typename detail::Read<T>::type get(const P& holder, HRESULT (H::*getter)(T*)) {
  H* h = detail::raw(holder);
  using R = detail::Read<T>;
  if (!h) {
    if constexpr (R::plain) {
      throw Error(E_POINTER, "the object is absent");
    } else {
      return typename R::type();
    }
  }
  Utf8CodePage utf8;
  detail::clearError();
  if constexpr (R::plain) {
    T out{};
    check((h->*getter)(&out), "get");
    return out;
  } else if constexpr (std::is_same_v<T, BSTR>) {
    Bstr out;
    check((h->*getter)(out.Put()), "get");
    return R::convert(out.Get());
  } else {
    using V = std::remove_pointer_t<T>;
    ComPtr<V> member;
    check((h->*getter)(member.Put()), "get");
    if constexpr (detail::isValue<V>)
      return value(member.Get());
    else
      return member;
  }
}

// The value object itself (a ComPtr, null when absent): for presence(), Unset(), GetMaxLength()...
template <class P, class H, class V>
ComPtr<V> member(const P& holder, HRESULT (H::*getter)(V**)) {
  H* h = detail::raw(holder);
  if (!h) return ComPtr<V>();
  Utf8CodePage utf8;
  detail::clearError();
  ComPtr<V> out;
  check((h->*getter)(out.Put()), "get");
  return out;
}

// The state of a value member.
template <class P, class H, class V, class = std::enable_if_t<detail::isValue<V>>>
Presence presence(const P& holder, HRESULT (H::*getter)(V**)) {
  return presence(member(holder, getter).Get());
}

// Sets a value member of a request object: text (UTF-8 or UTF-16), an integer, a number or the
// exact text of a decimal, a bool, a Date (or sys_days), a DateTime (its zone too; a Date sets the
// date alone), an interval (any std::chrono duration, to the second), an enumeration (its value
// or its text). Refusals of the value object (a text too long, a date out of range...) throw.
template <class P, class H, class V, class X>
void set(const P& holder, HRESULT (H::*getter)(V**), const X& x) {
  static_assert(detail::isValue<V>, "set() takes a value member; aggregates are filled through their own members");
  using Kind = detail::ValueKind<V>;
  static_assert(Kind::known, "a value interface this layer does not write");
  using Arg = std::conditional_t<std::is_array_v<X>, const std::remove_extent_t<X>*, X>;
  static_assert(Kind::template accepts<Arg>, "this value type cannot be set from that type");
  H* h = detail::raw(holder);
  if (!h) throw Error(E_POINTER, "the object is absent");
  Utf8CodePage utf8;
  detail::clearError();
  ComPtr<V> v;
  check((h->*getter)(v.Put()), "get");
  if (!v) throw Error(E_POINTER, "the member is absent");
  if constexpr (detail::IsDuration<Arg>::value)
    Kind::write(v.Get(), std::chrono::duration_cast<std::chrono::seconds>(x));
  else
    Kind::write(v.Get(), static_cast<const Arg&>(x));
}

// Calls a method that makes and hands out a new object (AppendCustomerAddRq, a list's Append...).
template <class P, class H, class A>
ComPtr<A> append(const P& holder, HRESULT (H::*method)(A**)) {
  H* h = detail::raw(holder);
  if (!h) throw Error(E_POINTER, "the object is absent");
  Utf8CodePage utf8;
  detail::clearError();
  ComPtr<A> out;
  check((h->*method)(out.Put()), "append");
  return out;
}

// Adds a text to a list of texts (IBSTRList, IGUIDList) or a value to a list of enumerations.
template <class P, class X>
void add(const P& list, const X& x) {
  auto* l = detail::raw(list);
  if (!l) throw Error(E_POINTER, "the list is absent");
  Utf8CodePage utf8;
  detail::clearError();
  using E = typename detail::GetAtArg<decltype(&detail::RawType<P>::GetAt)>::type;
  if constexpr (std::is_same_v<E, BSTR>) {
    if constexpr (std::is_convertible_v<const X&, std::string_view>)
      check(l->Add(toBstr(std::string_view(x)).Get()), "Add");
    else
      check(l->Add(toBstr(std::u16string_view(x)).Get()), "Add");
  } else if constexpr (std::is_same_v<X, E>) {
    check(l->Add(x), "Add");
  } else {
    check(l->AddAsString(toBstr(std::string_view(x)).Get()), "AddAsString");
  }
}

// The OR choice an object holds (its get_ortype): which member is the chosen one.
template <class P>
auto choice(const P& orObject) {
  return get(orObject, &detail::RawType<P>::get_ortype);
}

// ============================================================================================
// Lists
// ============================================================================================

namespace detail {
template <class T, class = void>
struct Entry {
  using type = T;  // enumerations
  static type convert(T t) { return t; }
};
template <>
struct Entry<BSTR> {
  using type = std::string;
};
template <class A>
struct Entry<A*, std::enable_if_t<std::is_class_v<A>>> {
  using type = ComPtr<A>;
};
struct Identity {
  template <class T>
  T operator()(T t) const {
    return t;
  }
};
}  // namespace detail

// The entries of a list interface (anything with get_Count and GetAt), in order, as ComPtr for
// objects, std::string for texts and the enumeration for lists of enumerations. Read lazily;
// the count is read once. A null list (an absent element) has no entries. `Wrap` turns each
// entry into what the range gives (responses() gives Response).
template <class L, class Wrap = detail::Identity>
class ListRange {
  using Raw = typename detail::GetAtArg<decltype(&L::GetAt)>::type;
  using EntryType = typename detail::Entry<Raw>::type;

 public:
  using value_type = std::decay_t<decltype(std::declval<Wrap>()(std::declval<EntryType>()))>;

  explicit ListRange(ComPtr<L> list) : list_(std::move(list)) {
    if (!list_) return;
    Utf8CodePage utf8;
    detail::clearError();
    LONG n = 0;
    check(list_->get_Count(&n), "get_Count");
    count_ = n < 0 ? 0 : n;
  }

  // The entry at `index` (0-based); an index out of range throws Error.
  value_type at(LONG index) const {
    if (!list_ || index < 0 || index >= count_) throw Error(DISP_E_BADINDEX, "no entry at that index");
    Utf8CodePage utf8;
    detail::clearError();
    if constexpr (std::is_same_v<Raw, BSTR>) {
      Bstr text;
      check(list_->GetAt(index, text.Put()), "GetAt");
      return Wrap()(toUtf8(text));
    } else if constexpr (std::is_pointer_v<Raw>) {
      EntryType entry;
      check(list_->GetAt(index, entry.Put()), "GetAt");
      return Wrap()(std::move(entry));
    } else {
      Raw entry{};
      check(list_->GetAt(index, &entry), "GetAt");
      return Wrap()(entry);
    }
  }
  value_type operator[](LONG index) const { return at(index); }
  LONG size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const ComPtr<L>& list() const { return list_; }

  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = typename ListRange::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = value_type*;
    using reference = value_type&;

    iterator() = default;
    iterator(const ListRange* range, LONG index) : range_(range), index_(index) {}
    // The entry is fetched on first access and kept until the iterator moves on, so that
    // `for (auto& entry : items(list))` binds to it.
    reference operator*() const {
      if (!current_) current_ = range_->at(index_);
      return *current_;
    }
    pointer operator->() const { return &**this; }
    iterator& operator++() {
      ++index_;
      current_.reset();
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.index_ == b.index_; }
    friend bool operator!=(const iterator& a, const iterator& b) { return a.index_ != b.index_; }

   private:
    const ListRange* range_ = nullptr;
    LONG index_ = 0;
    mutable std::optional<value_type> current_;
  };
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, count_); }

 private:
  ComPtr<L> list_;
  LONG count_ = 0;
};

template <class P>
ListRange<detail::RawType<P>> items(const P& list) {
  return ListRange<detail::RawType<P>>(ComPtr<detail::RawType<P>>(detail::raw(list)));
}

// ============================================================================================
// Responses
// ============================================================================================

// One response of an answer: its status and its detail.
class Response {
 public:
  explicit Response(ComPtr<IResponse> response) : r_(std::move(response)) {}
  // The status code (0: success; 500 to 599 warnings such as "no records"; others errors).
  LONG statusCode() const { return get(r_, &IResponse::get_StatusCode); }
  std::string statusSeverity() const { return get(r_, &IResponse::get_StatusSeverity).value_or(""); }
  std::string statusMessage() const { return get(r_, &IResponse::get_StatusMessage).value_or(""); }
  bool ok() const { return statusCode() == 0; }
  // The element name of the response ("CustomerAddRs").
  std::string type() const {
    ComPtr<IResponseType> t = get(r_, &IResponse::get_Type);
    return t ? get(t, &IResponseType::GetAsString).value_or("") : std::string();
  }
  // The detail object (a record, a list of records, a report), null when there is none.
  ComPtr<IVTBase> detail() const { return get(r_, &IResponse::get_Detail); }
  // The detail as I; null when there is none or it is not an I.
  template <class I>
  ComPtr<I> as() const {
    return vtfc4::as<I>(detail());
  }
  IResponse* com() const { return r_.Get(); }

 private:
  ComPtr<IResponse> r_;
};

namespace detail {
struct ToResponse {
  Response operator()(ComPtr<IResponse> r) const { return Response(std::move(r)); }
};
}  // namespace detail

// The responses of an answer, in the order of the requests.
template <class P>
ListRange<IResponseList, detail::ToResponse> responses(const P& answer) {
  auto* a = detail::raw(answer);
  if (!a) throw Error(E_POINTER, "no answer");
  return ListRange<IResponseList, detail::ToResponse>(get(a, &std::decay_t<decltype(*a)>::get_ResponseList));
}

// ============================================================================================
// Sessions
// ============================================================================================

// How a session makes its manager: from the library linked into the program (DllGetClassObject,
// as the quickstart does: nothing to register), or through the registry file by class identifier
// (CoCreateInstance: the library must have been registered, e.g. with vtfc4-regsvr).
enum class Activation { linked, registered };

namespace detail {
template <class I>
ComPtr<I> createManager(const CLSID& clsid, Activation how) {
  detail::clearError();
  ComPtr<I> manager;
  if (how == Activation::registered) {
    check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid_of<I>(), manager.PutVoid()), "CoCreateInstance");
  } else {
    ComPtr<IClassFactory> factory;
    check(DllGetClassObject(clsid, IID_IClassFactory, factory.PutVoid()), "DllGetClassObject");
    check(factory->CreateInstance(nullptr, iid_of<I>(), manager.PutVoid()), "CreateInstance");
  }
  return manager;
}
}  // namespace detail

// What both sessions share: the manager, new request sets and sending them. A client that
// takes either edition can hold its session as a std::unique_ptr<SessionBase>.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  SessionBase(const SessionBase&) = delete;
  SessionBase& operator=(const SessionBase&) = delete;

  IVTSessionManager* manager() const { return manager_.Get(); }
  // A new, empty request set for the edition `country` and a vtXML version.
  ComPtr<IMsgSetRequest> newRequest(const std::string& country = "US", SHORT major = 4, SHORT minor = 0) const {
    Utf8CodePage utf8;
    detail::clearError();
    ComPtr<IMsgSetRequest> set;
    check(manager_->CreateMsgSetRequest(toBstr(country).Get(), major, minor, set.Put()), "CreateMsgSetRequest");
    return set;
  }
  // Sends the set; the answer's responses carry each request's status.
  template <class P>
  ComPtr<IMsgSetResponse> send(const P& set) const {
    Utf8CodePage utf8;
    detail::clearError();
    ComPtr<IMsgSetResponse> answer;
    check(manager_->DoRequests(detail::raw(set), answer.Put()), "DoRequests");
    return answer;
  }

 protected:
  SessionBase() = default;
  ComPtr<IVTSessionManager> manager_;
};

// A session on a company file of the desktop application: the constructor makes the manager,
// opens the connection and begins the session (throwing Error on any failure, with nothing left
// open); the destructor ends the session and closes the connection, never throwing, also while
// an exception unwinds.
class DesktopSession : public SessionBase {
 public:
  DesktopSession(const std::string& companyFile, const std::string& appName, ENOpenMode mode = omDontCare,
                 Activation how = Activation::linked, const std::string& appID = "") {
    Utf8CodePage utf8;
    manager_ = detail::createManager<IVTSessionManager>(CLSID_VTSessionManager, how);
    check(manager_->OpenConnection(toBstr(appID).Get(), toBstr(appName).Get()), "OpenConnection");
    try {
      check(manager_->BeginSession(toBstr(companyFile).Get(), mode), "BeginSession");
    } catch (...) {
      manager_->CloseConnection();
      detail::clearError();
      throw;
    }
  }
  ~DesktopSession() override {
    try {
      Utf8CodePage utf8;
      const HRESULT ended = manager_->EndSession();
      const HRESULT closed = manager_->CloseConnection();
      if (FAILED(ended) || FAILED(closed)) detail::clearError();
    } catch (...) {
    }
  }
  // The company file the session is on.
  std::string companyFile() const { return get(manager_, &IVTSessionManager::GetCurrentCompanyFileName).value_or(""); }
};

// The online edition: the manager of VTOESessionManager with its sign-on properties set. It has
// no connection or session to open; each send() goes to the gateway (VTFC4_GATEWAY_URL) and the
// first answer brings the session ticket the later ones sign on with.
class OnlineSession : public SessionBase {
 public:
  OnlineSession(const std::string& login, const std::string& connectionTicket, const std::string& appID,
                const std::string& appVer, const std::string& language = "English",
                Activation how = Activation::linked) {
    Utf8CodePage utf8;
    online_ = detail::createManager<IVTOESessionManager>(CLSID_VTOESessionManager, how);
    manager_ = ComPtr<IVTSessionManager>(online_.Get());
    set(online_, &IVTOESessionManager::get_AppID, appID);
    set(online_, &IVTOESessionManager::get_AppVer, appVer);
    set(online_, &IVTOESessionManager::get_Language, language);
    set(online_, &IVTOESessionManager::get_ApplicationLogin, login);
    set(online_, &IVTOESessionManager::get_ConnectionTicket, connectionTicket);
  }
  IVTOESessionManager* onlineManager() const { return online_.Get(); }
  // The session ticket of the last answer; nullopt before the first.
  std::optional<std::string> sessionTicket() const { return get(online_, &IVTOESessionManager::get_SessionTicket); }

 private:
  ComPtr<IVTOESessionManager> online_;
};

// ============================================================================================
// Reports
// ============================================================================================

// The grid of a report (IReportRet): its columns by colID and its rows in order.
struct ReportGrid {
  struct Column {
    LONG id = 0;
    std::vector<std::string> titles;  // by title row
    std::optional<ENColType> type;
    std::optional<ENdataType> dataType;
  };
  enum class RowKind { text, data, subtotal, total };
  struct Row {
    RowKind kind = RowKind::data;
    std::optional<LONG> number;         // rowNumber
    std::string label;                  // a text row's text; otherwise the first column's cell
    std::optional<ENrowType> rowType;   // RowData: what the row is about...
    std::string rowValue;               // ...and its name
    std::map<LONG, std::string> cells;  // by colID
    // The cell of a column; nullptr when the row has none there.
    const std::string* cell(LONG colID) const {
      const auto it = cells.find(colID);
      return it == cells.end() ? nullptr : &it->second;
    }
  };

  std::string title, subtitle;
  std::vector<Column> columns;
  std::vector<Row> rows;

  const Column* column(LONG colID) const {
    for (const Column& c : columns)
      if (c.id == colID) return &c;
    return nullptr;
  }

  template <class P>
  static ReportGrid read(const P& report) {
    IReportRet* r = detail::raw(report);
    if (!r) throw Error(E_POINTER, "no report");
    ReportGrid grid;
    grid.title = get(r, &IReportRet::get_ReportTitle).value_or("");
    grid.subtitle = get(r, &IReportRet::get_ReportSubtitle).value_or("");
    for (auto& c : items(get(r, &IReportRet::get_ColDescList))) {
      Column column;
      column.id = get(c, &IColDesc::get_colID).value_or(0);
      for (auto& t : items(get(c, &IColDesc::get_ColTitleList))) {
        const auto row = get(t, &IColTitle::get_titleRow).value_or(1);
        if (row >= 1 && static_cast<size_t>(row) > column.titles.size()) column.titles.resize(static_cast<size_t>(row));
        const std::string text = get(t, &IColTitle::get_value).value_or("");
        if (row >= 1) column.titles[static_cast<size_t>(row) - 1] = text;
      }
      column.type = get(c, &IColDesc::get_ColType);
      column.dataType = get(c, &IColDesc::get_dataType);
      grid.columns.push_back(std::move(column));
    }
    const LONG first = grid.columns.empty() ? 1 : grid.columns.front().id;
    for (auto& entry : items(get(get(r, &IReportRet::get_ReportData), &IReportData::get_ORReportDataList))) {
      Row row;
      switch (choice(entry)) {
        case orrdTextRow: {
          auto t = get(entry, &IORReportData::get_TextRow);
          row.kind = RowKind::text;
          row.number = get(t, &ITextRow::get_rowNumber);
          row.label = get(t, &ITextRow::get_value).value_or("");
          grid.rows.push_back(std::move(row));
          continue;
        }
        case orrdDataRow:
          row.kind = RowKind::data;
          readCells(get(entry, &IORReportData::get_DataRow), row);
          break;
        case orrdSubtotalRow:
          row.kind = RowKind::subtotal;
          readCells(get(entry, &IORReportData::get_SubtotalRow), row);
          break;
        case orrdTotalRow:
          row.kind = RowKind::total;
          readCells(get(entry, &IORReportData::get_TotalRow), row);
          break;
        default:
          continue;  // an entry that chose nothing
      }
      if (const std::string* label = row.cell(first)) row.label = *label;
      grid.rows.push_back(std::move(row));
    }
    return grid;
  }

 private:
  template <class R>
  static void readCells(const ComPtr<R>& source, Row& row) {
    if (!source) return;
    row.number = get(source, &R::get_rowNumber);
    auto data = get(source, &R::get_RowData);
    row.rowType = get(data, &IRowData::get_rowType);
    row.rowValue = get(data, &IRowData::get_value).value_or("");
    for (auto& cell : items(get(source, &R::get_ColDataList)))
      row.cells[get(cell, &IColData::get_colID).value_or(0)] = get(cell, &IColData::get_value).value_or("");
  }
};

}  // namespace vtfc4

#endif  // VTFC4_CLIENT_HPP
