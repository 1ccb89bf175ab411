#include "src/core/xml_builder.h"

#include <array>
#include <cstdio>
#include <string>

#include "src/com/text.h"

namespace vtfc4 {
namespace {

// For every byte: 0 = written as itself, 1 = one of the five specials, 2 = a byte 0x80 to
// 0xFF written as "&#N;" with its value in the thread's code page, 3 = NUL (end of text).
constexpr std::array<uint8_t, 256> MakeEscapeClass() {
  std::array<uint8_t, 256> t{};
  t['"'] = t['&'] = t['\''] = t['<'] = t['>'] = 1;
  for (int b = 0x80; b <= 0xFF; ++b) t[b] = 2;
  t[0] = 3;
  return t;
}
constexpr std::array<uint8_t, 256> kEscapeClass = MakeEscapeClass();

// Bytes 0x80 to 0xFF of a multi-byte code page, as "&#N;" per character with N its Unicode
// code point. A byte the page cannot read becomes the character of the same number, as
// everywhere narrow text is widened.
template <class Out>
void AppendCodePointReferences(Out& out, std::string_view bytes) {
  const std::u16string wide = ToWide(bytes);
  char ref[16];
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = wide[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00u);
    const int n = std::snprintf(ref, sizeof ref, "&#%u;", static_cast<unsigned>(c));
    out.append(ref, static_cast<size_t>(n));
  }
}

template <class Out>
void AppendEscapedTo(Out& out, std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    // Copy the longest run of bytes that need no escaping in one go.
    const char* run = p;
    while (p < end && kEscapeClass[static_cast<unsigned char>(*p)] == 0) ++p;
    out.append(run, static_cast<size_t>(p - run));
    if (p == end) break;
    unsigned char c = static_cast<unsigned char>(*p++);
    switch (kEscapeClass[c]) {
      case 1:
        switch (c) {
          case '"': out.append("&quot;"); break;
          case '&': out.append("&amp;"); break;
          case '\'': out.append("&apos;"); break;
          case '<': out.append("&lt;"); break;
          default: out.append("&gt;"); break;
        }
        break;
      case 2: {
        if (ThreadCodePageIsMultiByte()) {
          // A character of several bytes is written as the reference of its code point: the
          // byte rule below would split it into characters of one byte each.
          const char* first = p - 1;
          while (p < end && kEscapeClass[static_cast<unsigned char>(*p)] == 2) ++p;
          AppendCodePointReferences(out, std::string_view(first, static_cast<size_t>(p - first)));
          break;
        }
        char ref[8] = {'&', '#', char('0' + c / 100), char('0' + c / 10 % 10), char('0' + c % 10), ';'};
        out.append(ref, 6);
        break;
      }
      default:  // NUL: the narrow text ends here.
        return;
    }
  }
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text) { AppendEscapedTo(out, text); }
void AppendEscaped(OutputText& out, std::string_view text) { AppendEscapedTo(out, text); }

std::string EscapeXML(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

XMLBuilder::XMLBuilder(int16_t major, int16_t minor, int32_t country) {
  char version[32];
  if (country == 2)
    std::snprintf(version, sizeof version, "CA%d.%d", major, minor);
  else
    std::snprintf(version, sizeof version, "%d.%d", major, minor);
  Append("<?xml version=\"1.0\" ?>\r\n");
  if (country == 1) {
    Append("<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VT0 ");
    Append(version);
    Append("//EN' '");
    Append(kOnlineDtdLocation);
    Append("'>\r\n");
  } else if (major < 2) {
    Append("<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VTD ");
    Append(version);
    Append("//EN' '");
    Append(kDesktopDtdLocation);
    Append("'>\r\n");
  } else {
    Append("<?vtxml version=\"");
    Append(version);
    Append("\"?>\r\n");
  }
}

void XMLBuilder::Append(std::string_view text) { out_.append(text); }

void XMLBuilder::Flush() {
  if (!pending_) return;
  out_.push_back('<');
  out_.append(pendingName_);
  out_.append(pendingAttributes_);
  out_.append(">\r\n");
  pendingName_.clear();
  pendingAttributes_.clear();
  pending_ = false;
}

void XMLBuilder::WriteElement(std::string_view name, std::string_view value) {
  Flush();
  out_.push_back('<');
  out_.append(name);
  if (value.empty()) {
    out_.append("/>\r\n");
    return;
  }
  out_.push_back('>');
  AppendEscaped(out_, value);
  out_.append("</");
  out_.append(name);
  out_.append(">\r\n");
}

void XMLBuilder::AddAttribute(std::string_view name, std::string_view value) {
  pendingAttributes_.push_back(' ');
  pendingAttributes_.append(name);
  pendingAttributes_.append(" = \"");
  AppendEscaped(pendingAttributes_, value);
  pendingAttributes_.push_back('"');
}

void XMLBuilder::StartElement(std::string_view name) {
  Flush();
  pendingName_.assign(name);
  pending_ = true;
}

void XMLBuilder::CloseEmptyElement() {
  if (!pending_) return;
  out_.push_back('<');
  out_.append(pendingName_);
  out_.append(pendingAttributes_);
  out_.append("/>\r\n");
  pendingName_.clear();
  pendingAttributes_.clear();
  pending_ = false;
}

void XMLBuilder::EndElement(std::string_view name) {
  if (pending_) {
    CloseEmptyElement();
    return;
  }
  out_.append("</");
  out_.append(name);
  out_.append(">\r\n");
}

std::string_view XMLBuilder::Output() {
  Flush();
  return out_.view();
}

void XMLBuilder::GetXML(std::string& out) { out.assign(Output()); }

}  // namespace vtfc4
