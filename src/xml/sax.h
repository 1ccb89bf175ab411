// Internal: the parse pipeline every vtXML document goes through. A parse manager runs the
// XML parser over a document; an adapter turns the parser's callbacks into narrow text in the
// thread's code page; the mediator decides for each element whether it is an aggregate or a
// leaf, turns names into tag ids and drives a stack of SAXParseable handlers, starting from a
// root handler that connects the document's envelope to the objects being filled.
#ifndef VTFC4_SRC_XML_SAX_H
#define VTFC4_SRC_XML_SAX_H

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/core/element.h"

namespace vtfc4 {

// One attribute of a start tag, as narrow text.
struct SAXAttribute {
  std::string_view name;
  std::string_view value;
};

class SAXParseMediatorInterface {
 public:
  virtual ~SAXParseMediatorInterface() = default;
  virtual void SetRootHandler(SAXParseable* handler) = 0;
  // Elements come by tag id (-1 for a name outside the tag table); their attributes by name.
  virtual void OnStartElement(int tag, const std::vector<SAXAttribute>& attributes) = 0;
  // The mediator may take the text's buffer and leave one of its own in exchange.
  virtual void OnCharacters(std::string& text) = 0;
  virtual void OnIgnorableWhitespace(std::string_view text) = 0;
  virtual void OnEndElement(int tag) = 0;
};

// Decides aggregate or leaf at the next tag, dispatches attributes late, offers empty elements
// as aggregates first, and joins text that arrives in pieces. It keeps its handler stack on
// the heap: a deeply nested document never recurses in the library's code.
class SAXParseMediator final : public SAXParseMediatorInterface {
 public:
  void SetRootHandler(SAXParseable* handler) override { current_ = handler; }
  void OnStartElement(int tag, const std::vector<SAXAttribute>& attributes) override;
  void OnCharacters(std::string& text) override;
  void OnIgnorableWhitespace(std::string_view) override {}
  void OnEndElement(int tag) override;

 private:
  void DispatchAttributes();

  bool elementPending_ = false;
  bool textSeen_ = false;
  std::string text_;
  int pendingTag_ = -1;
  std::vector<std::pair<std::string, std::string>> pendingAttributes_;
  // The pending attributes are the first this many entries; the entries beyond keep their
  // strings' capacity for later start tags.
  size_t pendingAttributeCount_ = 0;
  SAXParseable* current_ = nullptr;
  std::deque<SAXParseable*> stack_;
  // Elements below a handler that answered an aggregate with none are skipped whole: this
  // counts how deep inside such an element the parse is (0 when not skipping).
  size_t skipDepth_ = 0;
};

class SAXParseManagerInterface {
 public:
  virtual ~SAXParseManagerInterface() = default;
  // No informational text is kept: always false.
  virtual bool GetInfoText(std::string& out) = 0;
  virtual void SetValidation(bool validate) = 0;
  virtual bool ParseFile(SAXParseable* root, const std::string& path) = 0;
  virtual bool ParseBuffer(SAXParseable* root, std::string_view text, const std::string& bufferId) = 0;
  // Copies the last error text; false when there is none.
  virtual bool GetLastError(std::string& out) = 0;
};

// A parse manager for one parse; null when it cannot be made.
std::unique_ptr<SAXParseManagerInterface> MakeParseManager();

// The document's envelope: VTXML and the sign-on and message-set elements, handed to the
// objects being filled. Every target is optional and not owned.
class SignonTarget {
 public:
  virtual ~SignonTarget() = default;
  // The parse face of the sign-on object for SignonDesktopRq, SignonTicketRq, SignonDesktopRs
  // or SignonTicketRs; null when there is none.
  virtual SAXParseable* SignonFace(int tag) = 0;
};

class VTXMLRoot final : public SAXParseable {
 public:
  SAXParseable* msgSetResponse = nullptr;
  SAXParseable* subscriptionResponse = nullptr;
  SAXParseable* events = nullptr;
  SignonTarget* online = nullptr;
  SAXParseable* msgSetRequest = nullptr;

  SAXParseable* HandleAggregate(int tag) override;
  void HandleElement(int tag, const std::string* value) override;
  void HandleAttribute(int tag, const std::string* value) override;
  void HandleEndAggregate(int) override {}
};

// The buffer id every caller gives ParseBuffer.
inline constexpr const char* kVTXMLBufferId = "vtxmlops.dtd";

}  // namespace vtfc4

#endif  // VTFC4_SRC_XML_SAX_H
