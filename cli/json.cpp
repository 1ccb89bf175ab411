#include "cli/json.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "cli/late.h"

namespace vtfc4::cli {

// ---- The writer.

void Json::NewLine() {
  out_ += '\n';
  out_.append(first_.size() * 2, ' ');
}

void Json::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (first_.empty()) return;
  if (!first_.back()) out_ += ',';
  first_.back() = false;
  NewLine();
}

void Json::Open(char bracket) {
  BeforeValue();
  out_ += bracket;
  first_.push_back(true);
}

void Json::Close(char bracket) {
  const bool empty = first_.back();
  first_.pop_back();
  if (!empty) NewLine();
  out_ += bracket;
  if (first_.empty()) out_ += '\n';
}

void Json::Key(std::string_view key) {
  BeforeValue();
  Quoted(key);
  out_ += ": ";
  afterKey_ = true;
}

void Json::String(std::string_view utf8) {
  BeforeValue();
  Quoted(utf8);
}

void Json::Quoted(std::string_view utf8) {
  out_ += '"';
  for (const char c : utf8) {
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out_ += escaped;
        } else {
          out_ += c;
        }
    }
  }
  out_ += '"';
}

namespace {

// The text as a JSON number ("12.50", "-3", ".5" as "0.5", "+2" as "2", "007" as "7"); "" when
// it is none.
std::string JsonNumber(std::string_view text) {
  auto digits = [&](size_t& i) {
    const size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return text.substr(from, i - from);
  };
  std::string out;
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    if (text[i] == '-') out += '-';
    ++i;
  }
  std::string_view whole = digits(i);
  std::string_view fraction;
  if (i < text.size() && text[i] == '.') fraction = digits(++i);
  if (i != text.size() || (whole.empty() && fraction.empty())) return "";
  while (whole.size() > 1 && whole.front() == '0') whole.remove_prefix(1);
  out += whole.empty() ? std::string_view("0") : whole;
  if (!fraction.empty()) out.append(".").append(fraction);
  return out;
}

}  // namespace

void Json::Number(std::string_view text) {
  const std::string number = JsonNumber(text);
  if (number.empty()) return String(text);
  BeforeValue();
  out_ += number;
}

void Json::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
}

void Json::Null() {
  BeforeValue();
  out_ += "null";
}

// ---- The walk.

namespace {

// Classes without an element of their own, whose members the document writes into the
// enclosing element: the catalogue's groups (generated) and every OR choice.
const std::set<std::string, std::less<>>& GroupInterfaces() {
  static const std::set<std::string, std::less<>> groups = {
#include "cli_group_interfaces.inc"
  };
  return groups;
}

bool Flattened(const Shape& shape) {
  return (shape.name.compare(0, 3, "IOR") == 0 || GroupInterfaces().count(shape.name) > 0) && !shape.IsList();
}

// What a member of another edition or version answers.
constexpr HRESULT kNotInThisVersion = static_cast<HRESULT>(0x8004030B);

enum class Kind { text, integer, decimal, boolean, date, dateTime, interval, enumeration, object };

Kind KindOf(const Shape& shape) {
  static const std::map<std::string, Kind, std::less<>> values = {
      {"IVTStringType", Kind::text},     {"IVTIDType", Kind::text},          {"IVTGUIDType", Kind::text},
      {"IVTIntType", Kind::integer},     {"IVTFloatType", Kind::decimal},    {"IVTAmountType", Kind::decimal},
      {"IVTPriceType", Kind::decimal},   {"IVTPercentType", Kind::decimal},  {"IVTQuanType", Kind::decimal},
      {"IVTBoolType", Kind::boolean},    {"IVTDateType", Kind::date},        {"IVTDateTimeType", Kind::dateTime},
      {"IVTTimeIntervalType", Kind::interval}};
  if (const auto it = values.find(shape.name); it != values.end()) return it->second;
  // An enumeration's value interface is IVT<ENName>Type.
  const std::string_view name = shape.name;
  if (name.size() > 9 && name.compare(0, 5, "IVTEN") == 0 && name.compare(name.size() - 4, 4, "Type") == 0)
    return Kind::enumeration;
  return Kind::object;
}

std::string DateText(const Date& d) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", d.year, d.month, d.day);
  return text;
}

std::string DateTimeText(const DateTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%sT%02d:%02d:%02d", DateText(t.date).c_str(), t.hour, t.minute, t.second);
  std::string out = text;
  if (t.zone) {
    const long minutes = static_cast<long>(t.zone->count());
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", minutes < 0 ? '-' : '+', std::labs(minutes) / 60,
                  std::labs(minutes) % 60);
    out += text;
  }
  return out;
}

std::string IntervalText(std::chrono::seconds s) {
  const long long total = s.count();
  return "PT" + std::to_string(total / 3600) + "H" + std::to_string(total / 60 % 60) + "M" +
         std::to_string(total % 60) + "S";
}

std::string TextOf(IDispatch* object, const char* function) {
  Var result;
  Call(object, ShapeOf(object).Find(function), DISPATCH_METHOD, {}, &result.v, function);
  return result.v.vt == VT_BSTR ? toUtf8(result.v.bstrVal) : "";
}

template <class V>
ComPtr<V> As(IDispatch* object) {
  ComPtr<V> typed;
  check(object->QueryInterface(iid_of<V>(), typed.PutVoid()), "QueryInterface");
  return typed;
}

class Walker {
 public:
  explicit Walker(Json& json) : json_(json) {}

  // Whether an object would write anything: an absent member or a value never set writes
  // nothing, so that the JSON holds what the document holds.
  static bool Present(IDispatch* object, Kind kind) {
    if (kind == Kind::object) return true;
    return presence(As<IBasicPropertyType>(object).Get()) != Presence::unset;
  }

  void Value(IDispatch* object) {
    const Shape& shape = ShapeOf(object);
    const Kind kind = KindOf(shape);
    if (kind == Kind::object) return shape.IsList() ? List(object, shape) : Record(object, shape);
    const Presence state = presence(As<IBasicPropertyType>(object).Get());
    if (state == Presence::empty) return kind == Kind::text ? json_.String("") : json_.Null();
    switch (kind) {
      case Kind::text:
        return json_.String(TextOf(object, "GetValue"));
      case Kind::integer:
        return json_.Number(std::to_string(value(As<IVTIntType>(object)).value_or(0)));
      case Kind::decimal:
        return json_.Number(TextOf(object, "GetAsString"));
      case Kind::boolean:
        return json_.Bool(value(As<IVTBoolType>(object)).value_or(false));
      case Kind::date:
        return json_.String(DateText(*value(As<IVTDateType>(object))));
      case Kind::dateTime:
        return json_.String(DateTimeText(*value(As<IVTDateTimeType>(object))));
      case Kind::interval:
        return json_.String(IntervalText(*value(As<IVTTimeIntervalType>(object))));
      case Kind::enumeration:
        return json_.String(TextOf(object, "GetAsString"));
      case Kind::object:
        break;
    }
  }

  // The members of a record, or of a class without an element of its own, into the object
  // being written.
  void Members(IDispatch* object, const Shape& shape) {
    for (const auto& [name, id] : shape.getters) {
      if (name == "Type") continue;  // the object type, not a member of the document
      ComPtr<IDispatch> member;
      try {
        member = GetObject(object, id, name);
      } catch (const Error& e) {
        // A member of another edition or of a later version than the document's: the document
        // cannot hold it.
        if (e.hr() == kNotInThisVersion) continue;
        throw;
      }
      if (!member) continue;
      const Shape& memberShape = ShapeOf(member.Get());
      if (Flattened(memberShape)) {
        Members(member.Get(), memberShape);
        continue;
      }
      if (!Present(member.Get(), KindOf(memberShape))) continue;
      // A list is written under its entries' element name.
      const bool list = memberShape.IsList() && name.size() > 4 && name.compare(name.size() - 4, 4, "List") == 0;
      json_.Key(list ? name.substr(0, name.size() - 4) : name);
      Value(member.Get());
    }
  }

  void Record(IDispatch* object, const Shape& shape) {
    json_.BeginObject();
    Members(object, shape);
    json_.EndObject();
  }

  void List(IDispatch* object, const Shape& shape) {
    Var count;
    Call(object, shape.Find("Count"), DISPATCH_PROPERTYGET, {}, &count.v, "Count");
    const LONG n = count.v.vt == VT_I4 ? count.v.lVal : 0;
    // An enumeration's list gives its entries by name.
    const DISPID asText = shape.Find("GetAtAsString");
    json_.BeginArray();
    for (LONG i = 0; i < n; ++i) {
      VARIANT index;
      VariantInit(&index);
      index.vt = VT_I4;
      index.lVal = i;
      Var entry;
      Call(object, asText != DISPID_UNKNOWN ? asText : shape.Find("GetAt"), DISPATCH_METHOD, {index}, &entry.v,
           "GetAt");
      if (entry.v.vt == VT_BSTR) {
        json_.String(toUtf8(entry.v.bstrVal));
      } else if (entry.v.vt == VT_DISPATCH && entry.v.pdispVal) {
        const Shape& entryShape = ShapeOf(entry.v.pdispVal);
        if (Flattened(entryShape))
          Record(entry.v.pdispVal, entryShape);  // an OR entry: {"InvoiceLineRet": {...}}
        else
          Value(entry.v.pdispVal);
      } else if (entry.v.vt == VT_I4) {
        json_.Number(std::to_string(entry.v.lVal));
      } else {
        json_.Null();
      }
    }
    json_.EndArray();
  }

  // A response's or request's detail under its element's name: a list under its entries' name.
  void Detail(IDispatch* object) {
    const Shape& shape = ShapeOf(object);
    std::string key = shape.name.substr(1);
    if (shape.IsList() && key.size() > 4 && key.compare(key.size() - 4, 4, "List") == 0) key.resize(key.size() - 4);
    if (Flattened(shape)) return Members(object, shape);
    json_.Key(key);
    Value(object);
  }

 private:
  Json& json_;
};

template <class P, class Getter>
std::optional<std::string> TextMember(P* holder, Getter getter) {
  Bstr text;
  if (FAILED((holder->*getter)(text.Put())) || text.IsNull()) {
    detail::clearError();
    return std::nullopt;
  }
  return toUtf8(text);
}

std::string TypeText(IObjectType* type) {
  Bstr text;
  if (!type || FAILED(type->GetAsString(text.Put()))) return "";
  return toUtf8(text);
}

}  // namespace

std::string AnswerJson(IResponseList* responses, IAttributesRsSet* attributes) {
  Utf8CodePage utf8;
  Json json;
  Walker walker(json);
  json.BeginObject();
  if (attributes) {
    if (auto code = TextMember(attributes, &IAttributesRsSet::get_MessageSetStatusCode)) {
      json.Key("messageSetStatusCode");
      json.Number(*code);
    }
    if (auto id = TextMember(attributes, &IAttributesRsSet::get_NewMessageSetID)) {
      json.Key("newMessageSetID");
      json.String(*id);
    }
  }
  json.Key("responses");
  json.BeginArray();
  for (auto& response : items(responses)) {
    json.BeginObject();
    LONG code = 0;
    if (SUCCEEDED(response->get_StatusCode(&code))) {
      json.Key("statusCode");
      json.Number(std::to_string(code));
    }
    if (auto severity = TextMember(response.Get(), &IResponse::get_StatusSeverity)) {
      json.Key("statusSeverity");
      json.String(*severity);
    }
    if (auto message = TextMember(response.Get(), &IResponse::get_StatusMessage)) {
      json.Key("statusMessage");
      json.String(*message);
    }
    detail::clearError();
    ComPtr<IResponseType> type;
    if (SUCCEEDED(response->get_Type(type.Put())) && type) {
      json.Key("type");
      json.String(TypeText(type.Get()));
    }
    LONG count = 0;
    if (SUCCEEDED(response->get_retCount(&count)) && count > 0) {
      json.Key("retCount");
      json.Number(std::to_string(count));
    }
    detail::clearError();
    ComPtr<IVTBase> body;
    check(response->get_Detail(body.Put()), "Detail");
    if (body) walker.Detail(body.Get());
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  return json.Text();
}

std::string RequestsJson(IMsgSetRequest* requests) {
  Utf8CodePage utf8;
  Json json;
  Walker walker(json);
  json.BeginObject();
  ComPtr<IAttributesRqSet> attributes;
  check(requests->get_Attributes(attributes.Put()), "Attributes");
  ENRqOnError onError{};
  if (SUCCEEDED(attributes->get_OnError(&onError))) {
    json.Key("onError");
    json.String(onError == roeStop ? "stopOnError" : onError == roeContinue ? "continueOnError" : "rollbackOnError");
  }
  detail::clearError();
  ComPtr<IRequestList> list;
  check(requests->get_RequestList(list.Put()), "RequestList");
  json.Key("requests");
  json.BeginArray();
  for (auto& request : items(list)) {
    json.BeginObject();
    ComPtr<IRequestType> type;
    if (SUCCEEDED(request->get_Type(type.Put())) && type) {
      json.Key("type");
      json.String(TypeText(type.Get()));
    }
    ComPtr<IVTBase> body;
    check(request->get_Detail(body.Put()), "Detail");
    if (body) walker.Detail(body.Get());
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  return json.Text();
}

std::string EventsJson(IEventsMsgSet* events) {
  Utf8CodePage utf8;
  Json json;
  Walker walker(json);
  json.BeginObject();
  ComPtr<IOREvent> event;
  check(events->get_OREvent(event.Put()), "OREvent");
  if (event) walker.Members(event.Get(), ShapeOf(event.Get()));
  json.EndObject();
  return json.Text();
}

}  // namespace vtfc4::cli
