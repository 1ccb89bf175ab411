// Internal: the faces that every object of the model offers to the writer and the parser.
#ifndef VTFC4_SRC_CORE_ELEMENT_H
#define VTFC4_SRC_CORE_ELEMENT_H

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "vtfc4/com.h"

namespace vtfc4 {

class XMLBuilderInterface;

// The no-limit marker for text lengths and integer bounds.
inline constexpr int32_t kNoLimit = -1111111111;

// Country codes of the version context.
enum CountryCode : int32_t { kCountryUS = 0, kCountryOnline = 1, kCountryCA = 2 };

// Kinds of message set, as the detail factory tells them apart.
enum SetKind : int32_t { kSetRequestResponse = 0, kSetSubscription = 1, kSetEvents = 2 };

// An append-only store of texts in large blocks, freed all at once.
class TextArena {
 public:
  TextArena() = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;
  ~TextArena();
  // `size` bytes aligned to `align` (a power of two, at most a pointer's alignment); throws
  // std::bad_alloc when memory runs out.
  void* Allocate(size_t size, size_t align = alignof(void*));

 private:
  struct Block;
  Block* blocks_ = nullptr;
  char* next_ = nullptr;
  size_t left_ = 0;
  size_t blockSize_ = 64 * 1024;
};

class BasicPropertyType;

// What holds the values a client is reading from a parsed answer without a reference of its
// own (see CatalogueBase). When the client lets such a value go, the holder either hands it to
// its aggregate for good (the client changed it) or forgets it, since the answer's kept text
// still says the same.
class WeakHolder {
 public:
  virtual ~WeakHolder() = default;
  // The last reference to `value` went. True when the value was taken over (with a
  // reference), false when it is to be deleted.
  virtual bool Keep(BasicPropertyType* value) = 0;
};

// The vtXML version and country of a message set, shared by pointer with every object made
// under the set. Objects hold it by shared ownership: a client may keep a detail object after
// it has released the set.
struct VersionContext {
  int16_t major = 3;
  int16_t minor = 0;
  int32_t country = kCountryUS;
  int32_t setKind = kSetRequestResponse;
  // The texts of a parsed answer's values until they are read; they live as long as any
  // object of the answer does.
  std::unique_ptr<TextArena> texts;
  // The values made from those texts that clients hold now.
  std::unique_ptr<WeakHolder> held;
};
using VersionContextPtr = std::shared_ptr<VersionContext>;

// Thrown by parse handlers for content they cannot take; the parse manager turns its text
// into the error of the whole parse.
class SAXParseHandlerException : public std::exception {
 public:
  explicit SAXParseHandlerException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// printf-style formatting into a std::string (the handler and verification texts).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writing face of aggregates and lists.
class XMLBuildable {
 public:
  virtual ~XMLBuildable() = default;
  // Writes the object under `name`; an empty name means the object's own element name.
  virtual void Build(std::string_view name, XMLBuilderInterface& builder) = 0;
  // True when anything below the object is set.
  virtual bool HasContent() = 0;
  // Checks required members, appending the reasons to `errors`; true when nothing failed.
  virtual bool Verify(bool required, std::string& errors) = 0;
};

// Parsing face: the mediator calls it with tag ids of the elements and attributes it meets.
class SAXParseable {
 public:
  virtual ~SAXParseable() = default;
  // A child element that has children begins; returns the handler of its content.
  virtual SAXParseable* HandleAggregate(int tag) = 0;
  // A leaf element with its text (null when there is no text).
  virtual void HandleElement(int tag, const std::string* value) = 0;
  // An attribute of this object's element.
  virtual void HandleAttribute(int tag, const std::string* value) = 0;
  // Called after a child aggregate with `tag` has ended.
  virtual void HandleEndAggregate(int tag) = 0;
};

// Base of every value object: the set state and the text that is written to vtXML.
class BasicPropertyType {
 public:
  virtual ~BasicPropertyType() = default;

  // The text to write: `out` views the value's own text, or `scratch` when the text is made
  // on the fly; false when there is nothing to write (not set). The writer calls this once
  // per value, so the common case copies nothing.
  virtual bool XMLText(std::string& scratch, std::string_view& out) const;
  // The same text as a copy.
  bool GetXMLValue(std::string& out) const {
    std::string scratch;
    std::string_view view;
    if (!XMLText(scratch, view)) return false;
    out.assign(view);
    return true;
  }
  // Stores parsed text unchecked; the value becomes set and not empty.
  virtual bool SetXMLValue(std::string_view text);
  virtual bool IsSet() const { return state_ == 1; }
  virtual bool HasValue() const { return state_ == 1 && empty_ == 0; }
  virtual bool IsUseMacro() const { return false; }

  bool IsEmptyValue() const { return empty_ != 0; }
  // The common read rule: S_OK when the value can be read, else the status of "not set" or
  // "empty" (with the error description when `describe` is true).
  HRESULT CheckReadable(bool describe) const;
  const std::string& Text() const { return text_; }
  // The aggregate that holds this value weakly, or null.
  WeakHolder* Holder() const { return holder_; }
  void SetHolder(WeakHolder* holder) { holder_ = holder; }
  // A successful typed set: set, not empty, with this text.
  void Assign(std::string_view text) {
    text_.assign(text);
    state_ = 1;
    empty_ = 0;
  }

 protected:
  // The shared operations of IBasicPropertyType; classes with more state extend them.
  virtual void DoUnset() {
    state_ = 0;
    empty_ = 0;
  }
  virtual void DoSetEmpty() {
    state_ = 1;
    empty_ = 1;
    text_.clear();
  }
  // A successful typed set: set, not empty, with this text.
  void Store(std::string text) {
    text_ = std::move(text);
    state_ = 1;
    empty_ = 0;
  }

  int32_t state_ = 0;
  int32_t empty_ = 0;
  std::string text_;
  WeakHolder* holder_ = nullptr;
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_ELEMENT_H
