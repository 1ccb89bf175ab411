// Internal: the vtXML writer. Every element line ends with CR LF, leaf elements stand on one
// line, nothing is indented, and a start tag stays pending until the next operation so that
// an element without content can be closed as an empty element.
#ifndef VTFC4_SRC_CORE_XML_BUILDER_H
#define VTFC4_SRC_CORE_XML_BUILDER_H

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

namespace vtfc4 {

// Appends `text` to `out` with the five XML specials as entity references and every byte
// 0x80 to 0xFF as a decimal character reference of its byte value. Stops at a NUL byte.
class OutputText;
void AppendEscaped(std::string& out, std::string_view text);
void AppendEscaped(OutputText& out, std::string_view text);
std::string EscapeXML(std::string_view text);

// The writer's output text. It grows geometrically: when an append does not fit, the new
// capacity is the old capacity plus the larger of the appended length and the old capacity.
// Growth goes through realloc, which moves large blocks by remapping pages, not by copying.
class OutputText {
 public:
  OutputText() = default;
  OutputText(const OutputText&) = delete;
  OutputText& operator=(const OutputText&) = delete;
  ~OutputText() { std::free(data_); }

  void append(const char* text, size_t length) {
    if (length > capacity_ - size_) Grow(length);
    __builtin_memcpy(data_ + size_, text, length);
    size_ += length;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void push_back(char c) {
    if (size_ == capacity_) Grow(1);
    data_[size_++] = c;
  }
  std::string_view view() const { return {data_, size_}; }
  size_t size() const { return size_; }

 private:
  void Grow(size_t length) {
    size_t capacity = capacity_ + (length > capacity_ ? length : capacity_);
    if (capacity < 256) capacity = 256;
    char* p = static_cast<char*>(std::realloc(data_, capacity));
    if (!p) throw std::bad_alloc();
    data_ = p;
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class XMLBuilderInterface {
 public:
  virtual ~XMLBuilderInterface() = default;
  virtual void WriteElement(std::string_view name, std::string_view value) = 0;
  virtual void AddAttribute(std::string_view name, std::string_view value) = 0;
  virtual void StartElement(std::string_view name) = 0;
  virtual void CloseEmptyElement() = 0;
  virtual void EndElement(std::string_view name) = 0;
  virtual void GetXML(std::string& out) = 0;
};

class XMLBuilder final : public XMLBuilderInterface {
 public:
  // Writes the document prolog for the version and country (country code 1 is the online
  // edition).
  XMLBuilder(int16_t major, int16_t minor, int32_t country);
  // A builder without prolog, for writing fragments.
  XMLBuilder() = default;

  void WriteElement(std::string_view name, std::string_view value) override;
  void AddAttribute(std::string_view name, std::string_view value) override;
  void StartElement(std::string_view name) override;
  void CloseEmptyElement() override;
  void EndElement(std::string_view name) override;
  void GetXML(std::string& out) override;

  // The output so far, flushed; valid until the next write.
  std::string_view Output();

 private:
  void Flush();
  void Append(std::string_view text);

  std::string pendingName_;
  std::string pendingAttributes_;
  bool pending_ = false;
  OutputText out_;
};

// The document type addresses written in the prolog of online and early desktop documents.
inline constexpr const char* kDesktopDtdLocation = "http://developer.korven.example/";
inline constexpr const char* kOnlineDtdLocation =
    "http://gateway.vtoe.korven.example/dtds/vtxmlops20.dtd";

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_XML_BUILDER_H
