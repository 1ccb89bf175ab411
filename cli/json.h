// JSON from objects of the model, walked by name through the type library: records as objects
// in the document's order, lists as arrays, numbers as numbers (amounts with the digits the
// document gives), booleans, dates and date-times as ISO 8601 text, statuses first.
#ifndef VTFC4_CLI_JSON_H
#define VTFC4_CLI_JSON_H

#include <string>
#include <string_view>
#include <vector>

#include "vtfc4/client.hpp"

namespace vtfc4::cli {

// Writes indented JSON (two blanks a level) as values are given.
class Json {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  void Key(std::string_view key);
  void String(std::string_view utf8);
  // A number given as its text; text that is not a JSON number is written as a string.
  void Number(std::string_view text);
  void Bool(bool value);
  void Null();
  const std::string& Text() const { return out_; }

 private:
  void Open(char bracket);
  void Close(char bracket);
  void BeforeValue();
  void Quoted(std::string_view utf8);
  void NewLine();
  std::string out_;
  std::vector<bool> first_;  // per open level: nothing written in it yet
  bool afterKey_ = false;
};

// The answer of a message set or of a subscription set: the set's attributes (when given),
// then each response with its status, type, count and detail.
std::string AnswerJson(IResponseList* responses, IAttributesRsSet* attributes);
// A request set: its error policy and each request with its detail.
std::string RequestsJson(IMsgSetRequest* requests);
// An events document: the event it carries.
std::string EventsJson(IEventsMsgSet* events);

}  // namespace vtfc4::cli

#endif  // VTFC4_CLI_JSON_H
