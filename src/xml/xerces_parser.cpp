// The parse manager over Xerces-C's SAX1 parser, and the adapter that turns its UTF-16
// callbacks into narrow text in the thread's code page for the mediator.
//
// Xerces is initialised once per process, at the first parse, and never terminated: the
// library cannot know whether another thread is parsing, or whether the client program uses
// Xerces itself, when it would terminate it. What the initialisation allocates stays
// reachable from Xerces' globals until the process ends.
//
// Every document is read as untrusted input: no external entity or external document type is
// ever read, entity expansion is bounded, and nothing here recurses per nesting level (the
// mediator keeps its handler stack on the heap; Xerces keeps its element stack there too).
#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/sax/AttributeList.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "src/com/text.h"
#include "src/xml/tag_table.h"
#include "src/xml/sax.h"

namespace vtfc4 {
namespace {

// Xerces' characters are the library's wide characters, so its text goes through the same
// conversion as every BSTR.
static_assert(std::is_same_v<XMLCh, char16_t> && std::is_same_v<XMLCh, OLECHAR>,
              "Xerces must be built with char16_t characters");

// Sizes of the narrow buffers the parse has always had: a name or value that does not fit is
// not passed on.
constexpr size_t kElementNameLimit = 511;
constexpr size_t kAttributeNameLimit = 64;
constexpr size_t kAttributeValueLimit = 399;
// Error messages, document names and paths.
constexpr size_t kTextLimit = 1023;

// vtXML declares no entities of its own; a document that expands more than this many is an
// attack (nested or repeated expansion of declared entities), not a request or a response.
// The five predefined entities and character references do not count.
constexpr XMLSize_t kEntityExpansionLimit = 1000;
// Each expansion pushes at most one entity's replacement text, so with this limit on the text
// of one entity a document's entities expand to at most 1,024,000 characters in all, in
// element text and attribute values alike (where the parser expands before any callback).
constexpr XMLSize_t kEntityTextLimit = 1024;

constexpr char16_t kExternalEntityRefused[] =
    u"External entity refused: vtXML documents are read without external entities.";
constexpr char16_t kLargeEntityRefused[] =
    u"Entity refused: the replacement text of an entity is limited to 1024 characters.";

void InitializeXerces() {
  // A function-local static: one initialisation per process, even with several threads at
  // their first parse. When Initialize throws, the next parse tries again.
  static const bool initialized = [] {
    xercesc::XMLPlatformUtils::Initialize();
    return true;
  }();
  (void)initialized;
}

// `text` narrowed into `out`, reusing its buffer. Nearly all vtXML text is ASCII: that is a
// plain narrowing copy; any other text goes through the thread's code page. The test and the
// copy are separate loops without early exits: no branch per character in the copy.
void Narrow(const XMLCh* text, size_t length, std::string& out) {
  // One pass for the usual ASCII text: copy and watch for anything beyond it.
  out.resize(length);
  char* p = out.data();
  XMLCh any = 0;
  for (size_t i = 0; i < length; ++i) {
    any = static_cast<XMLCh>(any | text[i]);
    p[i] = static_cast<char>(text[i]);
  }
  if (any >= 0x80) out.assign(ToNarrow(text, length));
}

// Narrows a null-terminated name or value into `out`; false when it does not fit in `limit`
// bytes. Text longer than twice the limit cannot fit in any code page the library accepts
// (only a surrogate pair narrows to fewer bytes than units, and never to less than one byte),
// so it is not converted at all.
bool NarrowLimited(const XMLCh* text, size_t limit, std::string& out) {
  if (!text) return false;
  const size_t length = xercesc::XMLString::stringLen(text);
  if (length > 2 * limit) return false;
  Narrow(text, length, out);
  return out.size() <= limit;
}

// A document name or file path in UTF-16 for Xerces; false when it is longer than the limit.
bool WidenLimited(const std::string& narrow, std::u16string& out) {
  // Every code page takes at most four bytes per UTF-16 unit.
  if (narrow.size() > 4 * kTextLimit) return false;
  out = ToWide(narrow);
  return out.size() <= kTextLimit;
}

// True when some byte of `text` lies beyond ASCII; 64 bytes at a time, which the compiler
// turns into vector instructions.
bool HasByteBeyondAscii(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  for (; n >= 64; p += 64, n -= 64) {
    uint64_t any = 0;
    for (int i = 0; i < 8; ++i) {
      uint64_t word;
      std::memcpy(&word, p + 8 * i, 8);
      any |= word;
    }
    if (any & 0x8080808080808080u) return true;
  }
  for (; n; ++p, --n)
    if (static_cast<unsigned char>(*p) >= 0x80) return true;
  return false;
}

// True when the document opens with an XML declaration that names its encoding.
bool DeclaresEncoding(std::string_view text) {
  if (text.substr(0, 5) != "<?xml") return false;
  const size_t end = text.find("?>");
  return text.substr(0, end).find("encoding") != std::string_view::npos;
}

int ClampToInt(XMLFileLoc value) {
  return value > static_cast<XMLFileLoc>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

class XercesSAXParseAdapter : public xercesc::HandlerBase {
 public:
  explicit XercesSAXParseAdapter(SAXParseMediatorInterface& mediator) : mediator_(mediator) {}

  void setDocumentLocator(const xercesc::Locator* const locator) override { locator_ = locator; }

  void startElement(const XMLCh* const name, xercesc::AttributeList& attrs) override {
    int tag;
    if (!TagOf(name, tag)) return;
    // The texts are filled first and the views made afterwards: growing the vector of texts
    // moves short strings, whose characters live inside them.
    const XMLSize_t count = attrs.getLength();
    if (attributeTexts_.size() < count) attributeTexts_.resize(count);
    size_t kept = 0;
    for (XMLSize_t i = 0; i < count; ++i) {
      auto& [attrName, attrValue] = attributeTexts_[kept];
      if (NarrowLimited(attrs.getName(i), kAttributeNameLimit, attrName) &&
          NarrowLimited(attrs.getValue(i), kAttributeValueLimit, attrValue))
        ++kept;
    }
    attributes_.resize(kept);
    for (size_t i = 0; i < kept; ++i)
      attributes_[i] = SAXAttribute{attributeTexts_[i].first, attributeTexts_[i].second};
    afterEndTag_ = false;
    mediator_.OnStartElement(tag, attributes_);
  }

  void endElement(const XMLCh* const name) override {
    int tag;
    if (!TagOf(name, tag)) return;
    afterEndTag_ = true;
    mediator_.OnEndElement(tag);
  }

  void characters(const XMLCh* const chars, const XMLSize_t length) override {
    // After an end tag no element is pending in the mediator, and text can only ever reach a
    // handler as the text of a pending element: the line breaks between elements (and any
    // other text there) are dropped here unconverted. Text after a start tag is converted,
    // whitespace included, because <Memo>  </Memo> is a leaf whose text is the whitespace.
    if (afterEndTag_) return;
    Narrow(chars, length, text_);
    mediator_.OnCharacters(text_);
  }

  void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) override {
    // Reported only while validating against a document type that declares element content.
    Narrow(chars, length, text_);
    mediator_.OnIgnorableWhitespace(text_);
  }

  // Every diagnostic ends the parse, a warning included.
  void warning(const xercesc::SAXParseException& e) override { throw e; }
  void error(const xercesc::SAXParseException& e) override { throw e; }
  void fatalError(const xercesc::SAXParseException& e) override { throw e; }

  // Refuses every external entity: external parameter entities, external general entities
  // and the external document type when validation would load it.
  xercesc::InputSource* resolveEntity(const XMLCh* const, const XMLCh* const) override {
    Refuse(kExternalEntityRefused);
  }

  [[noreturn]] void Refuse(const char16_t* why) const {
    if (locator_) throw xercesc::SAXParseException(why, *locator_);
    throw xercesc::SAXException(why);
  }

 private:
  // The tag id of an element name; false when the name is too long to be passed on. The
  // parser hands every start and end tag of one element name the same stored name, so names
  // are remembered by that address, with their text, which is compared on every hit so that a
  // reused address can never give a wrong tag. After its first tag a name costs one probe and
  // one comparison within one slot, not a conversion and a table lookup.
  bool TagOf(const XMLCh* name, int& tag) {
    if (!name) return false;
    const size_t home = (reinterpret_cast<uintptr_t>(name) >> 4) * 0x9E3779B97F4A7C15u >> (64 - kNameSlotBits);
    for (size_t probe = 0; probe < kNameProbes; ++probe) {
      const KnownName& slot = names_[(home + probe) & (kNameSlots - 1)];
      if (!slot.address) break;
      if (slot.address == name && slot.Holds(name)) {
        tag = slot.tag;
        return true;
      }
    }
    if (!NarrowLimited(name, kElementNameLimit, name_)) return false;
    tag = LookupTag(name_);
    // Remembered in the first free slot of its probe run. A name longer than a slot holds (no
    // vtXML name is), or one whose run is full (a document with that many distinct names is
    // not vtXML), is converted each time.
    const size_t length = xercesc::XMLString::stringLen(name);
    if (length > kNameChars) return true;
    for (size_t probe = 0; probe < kNameProbes; ++probe) {
      KnownName& slot = names_[(home + probe) & (kNameSlots - 1)];
      if (slot.address && slot.address != name) continue;
      slot.address = name;
      slot.tag = tag;
      slot.length = static_cast<uint32_t>(length);
      std::copy_n(name, length, slot.text);
      break;
    }
    return true;
  }

  static constexpr size_t kNameChars = 40;
  struct KnownName {
    const XMLCh* address = nullptr;
    int32_t tag = -1;
    uint32_t length = 0;
    char16_t text[kNameChars];

    // True when the null-terminated `name` is exactly this slot's text.
    bool Holds(const XMLCh* name) const {
      for (uint32_t i = 0; i < length; ++i)
        if (name[i] != text[i]) return false;
      return name[length] == 0;
    }
  };
  static constexpr unsigned kNameSlotBits = 10;
  static constexpr size_t kNameSlots = size_t{1} << kNameSlotBits;
  static constexpr size_t kNameProbes = 8;

  SAXParseMediatorInterface& mediator_;
  const xercesc::Locator* locator_ = nullptr;
  bool afterEndTag_ = false;
  std::vector<KnownName> names_ = std::vector<KnownName>(kNameSlots);
  // Reused from callback to callback: after the first elements a callback allocates nothing.
  std::string name_;
  std::string text_;
  std::vector<std::pair<std::string, std::string>> attributeTexts_;
  std::vector<SAXAttribute> attributes_;
};

// The SAX1 parser, which sees every entity declaration (it is told of them because the adapter
// is its DTD handler too) and refuses one whose replacement text is too long to expand.
class BoundedSAXParser final : public xercesc::SAXParser {
 public:
  explicit BoundedSAXParser(const XercesSAXParseAdapter& adapter) : adapter_(adapter) {}

  void entityDecl(const xercesc::DTDEntityDecl& decl, const bool isPEDecl, const bool isIgnored) override {
    if (decl.getValueLen() > kEntityTextLimit) adapter_.Refuse(kLargeEntityRefused);
    xercesc::SAXParser::entityDecl(decl, isPEDecl, isIgnored);
  }

 private:
  const XercesSAXParseAdapter& adapter_;
};

class XercesSAXParseManager final : public SAXParseManagerInterface {
 public:
  bool GetInfoText(std::string&) override { return false; }
  void SetValidation(bool validate) override { validate_ = validate; }

  bool ParseFile(SAXParseable* root, const std::string& path) override {
    lastError_.clear();
    std::u16string widePath;
    if (!Widen(path, widePath, "Error parsing: the file path is too long.")) return false;
    return Parse(root, [&]() -> std::unique_ptr<xercesc::InputSource> {
      return std::make_unique<xercesc::LocalFileInputSource>(widePath.c_str());
    });
  }

  bool ParseBuffer(SAXParseable* root, std::string_view text, const std::string& bufferId) override {
    lastError_.clear();
    std::u16string wideId;
    if (!Widen(bufferId, wideId, "Error parsing: the document name is too long.")) return false;
    return Parse(root, [&]() -> std::unique_ptr<xercesc::InputSource> {
      // Parsed in place: the caller's bytes are neither copied nor adopted.
      auto source = std::make_unique<xercesc::MemBufInputSource>(
          reinterpret_cast<const XMLByte*>(text.data()), text.size(), wideId.c_str(), false);
      source->setCopyBufToStream(false);
      // The text is in the thread's code page, which the parser is told, unless the document
      // names its own encoding. ASCII reads alike in every code page, so most documents are
      // left to the parser's own fast path.
      if (HasByteBeyondAscii(text) && !DeclaresEncoding(text))
        source->setEncoding(ToWide(GetThreadCodePage()).c_str());
      return source;
    });
  }

  bool GetLastError(std::string& out) override {
    out = lastError_;
    return !lastError_.empty();
  }

 private:
  bool Widen(const std::string& narrow, std::u16string& wide, const char* tooLong) {
    try {
      if (WidenLimited(narrow, wide)) return true;
      lastError_ = tooLong;
    } catch (...) {
      SetError("Error parsing: Unexpected exception.");
    }
    return false;
  }

  void SetError(const char* text) {
    try {
      lastError_ = text;
    } catch (...) {
      lastError_.clear();
    }
  }

  template <class MakeSource>
  bool Parse(SAXParseable* root, MakeSource makeSource) {
    try {
      InitializeXerces();
      SAXParseMediator mediator;
      mediator.SetRootHandler(root);
      XercesSAXParseAdapter adapter(mediator);
      // Declared before the parser, which refers to it until it is destroyed.
      xercesc::SecurityManager security;
      security.setEntityExpansionLimit(kEntityExpansionLimit);
      BoundedSAXParser parser(adapter);
      parser.setValidationScheme(validate_ ? xercesc::SAXParser::Val_Always
                                           : xercesc::SAXParser::Val_Never);
      parser.setLoadExternalDTD(false);
      parser.setDoNamespaces(false);
      parser.setDisableDefaultEntityResolution(true);
      parser.setSecurityManager(&security);
      parser.setDocumentHandler(&adapter);
      parser.setDTDHandler(&adapter);
      parser.setErrorHandler(&adapter);
      parser.setEntityResolver(&adapter);
      const std::unique_ptr<xercesc::InputSource> source = makeSource();
      parser.parse(*source);
      return true;
    } catch (const xercesc::SAXParseException& e) {
      try {
        std::string message;
        if (!NarrowLimited(e.getMessage(), kTextLimit, message)) message.clear();
        lastError_ = message + Format("SAXParseException: error at line %d, column %d in XML data.",
                                      ClampToInt(e.getLineNumber()), ClampToInt(e.getColumnNumber()));
      } catch (...) {
        SetError("Error parsing: Unexpected exception.");
      }
    } catch (const SAXParseHandlerException& e) {
      try {
        lastError_ = std::string("Error parsing. Message: ") + e.what();
      } catch (...) {
        SetError("Error parsing: Unexpected exception.");
      }
    } catch (const xercesc::SAXException& e) {
      try {
        lastError_ = "Error parsing.";
        std::string message;
        if (NarrowLimited(e.getMessage(), kTextLimit, message)) lastError_ += "Message: " + message;
      } catch (...) {
        SetError("Error parsing: Unexpected exception.");
      }
    } catch (...) {
      SetError("Error parsing: Unexpected exception.");
    }
    return false;
  }

  bool validate_ = false;
  std::string lastError_;
};

}  // namespace

std::unique_ptr<SAXParseManagerInterface> MakeParseManager() {
  try {
    return std::make_unique<XercesSAXParseManager>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace vtfc4
