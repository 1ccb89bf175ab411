#include "cli/documents.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace vtfc4::cli {
namespace {

// Where element `name` first opens, or npos.
size_t FindElement(std::string_view xml, std::string_view name) {
  for (size_t at = xml.find(name); at != std::string_view::npos; at = xml.find(name, at + 1)) {
    const size_t after = at + name.size();
    if (at > 0 && xml[at - 1] == '<' && after < xml.size() &&
        (xml[after] == '>' || xml[after] == '/' || xml[after] == ' ' || xml[after] == '\t' || xml[after] == '\r' ||
         xml[after] == '\n'))
      return at;
  }
  return std::string_view::npos;
}

// "4.0", "CA3.0" into the info; false when the text is no version.
bool ReadVersion(std::string_view text, DocumentInfo& info) {
  std::string country = "US";
  if (text.compare(0, 2, "CA") == 0) {
    country = "CA";
    text.remove_prefix(2);
  }
  const size_t dot = text.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == text.size() || text.size() > 9) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (i != dot && (text[i] < '0' || text[i] > '9')) return false;
  info.country = country;
  info.major = static_cast<short>(std::stoi(std::string(text.substr(0, dot))));
  info.minor = static_cast<short>(std::stoi(std::string(text.substr(dot + 1))));
  info.versioned = true;
  return true;
}

}  // namespace

DocumentInfo Inspect(std::string_view xml) {
  DocumentInfo info;
  static constexpr std::pair<const char*, DocumentKind> kRoots[] = {
      {"VTXMLMsgsRq", DocumentKind::request},
      {"VTXMLMsgsRs", DocumentKind::response},
      {"VTXMLSubscriptionMsgsRq", DocumentKind::subscriptionRequest},
      {"VTXMLSubscriptionMsgsRs", DocumentKind::subscriptionResponse},
      {"VTXMLEvents", DocumentKind::events},
  };
  size_t first = std::string_view::npos;
  for (const auto& [name, kind] : kRoots)
    if (const size_t at = FindElement(xml, name); at < first) {
      first = at;
      info.kind = kind;
    }
  // The version: <?vtxml version="4.0"?>, or a document type of the first versions
  // ("-//KORVEN//DTD VTXML VTD 1.1//EN").
  const std::string_view prologue = xml.substr(0, first == std::string_view::npos ? xml.size() : first);
  if (const size_t pi = prologue.find("<?vtxml"); pi != std::string_view::npos) {
    const size_t open = prologue.find('"', pi);
    const size_t close = open == std::string_view::npos ? open : prologue.find('"', open + 1);
    if (close != std::string_view::npos) ReadVersion(prologue.substr(open + 1, close - open - 1), info);
  } else if (const size_t dtd = prologue.find("DTD VTXML "); dtd != std::string_view::npos) {
    const size_t from = prologue.find(' ', dtd + 10);
    const size_t to = from == std::string_view::npos ? from : prologue.find("//", from);
    if (to != std::string_view::npos) ReadVersion(prologue.substr(from + 1, to - from - 1), info);
  }
  return info;
}

std::string Indent(std::string_view xml) {
  std::string out;
  out.reserve(xml.size() + xml.size() / 4);
  int depth = 0;
  auto line = [&](std::string_view text, int level) {
    if (!out.empty()) out += '\n';
    out.append(static_cast<size_t>(std::max(level, 0)) * 2, ' ');
    out.append(text);
  };
  // The end of the markup that starts at `at` ('<'): past '>' outside quotes, or of a comment,
  // a CDATA section or a processing instruction.
  auto markupEnd = [&](size_t at) {
    std::string_view close = ">";
    if (xml.compare(at, 4, "<!--") == 0) close = "-->";
    else if (xml.compare(at, 9, "<![CDATA[") == 0) close = "]]>";
    else if (xml.compare(at, 2, "<?") == 0) close = "?>";
    if (close != ">") {
      const size_t end = xml.find(close, at);
      return end == std::string_view::npos ? xml.size() : end + close.size();
    }
    char quote = 0;
    for (size_t i = at + 1; i < xml.size(); ++i) {
      if (quote) {
        if (xml[i] == quote) quote = 0;
      } else if (xml[i] == '"' || xml[i] == '\'') {
        quote = xml[i];
      } else if (xml[i] == '>') {
        return i + 1;
      }
    }
    return xml.size();
  };
  auto blank = [](std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; };
  size_t at = 0;
  while (at < xml.size()) {
    if (xml[at] != '<' || xml.compare(at, 9, "<![CDATA[") == 0) {
      // Text between markup: blank text is layout; other text stays on its own line.
      size_t end = xml.find('<', at);
      while (end != std::string_view::npos && xml.compare(end, 9, "<![CDATA[") == 0) end = xml.find('<', markupEnd(end));
      if (end == std::string_view::npos) end = xml.size();
      const std::string_view text = xml.substr(at, end - at);
      if (!blank(text)) line(text, depth);
      at = end;
      continue;
    }
    const size_t end = markupEnd(at);
    const std::string_view tag = xml.substr(at, end - at);
    if (tag.compare(0, 2, "</") == 0) {
      line(tag, --depth);
    } else if (tag.compare(0, 2, "<?") == 0 || tag.compare(0, 2, "<!") == 0 || tag.size() < 2 ||
               tag[tag.size() - 2] == '/') {
      line(tag, depth);
    } else {
      // An element whose content is text only stays on one line: <Name>Ames</Name>.
      const size_t textEnd = xml.find('<', end);
      if (textEnd != std::string_view::npos && xml.compare(textEnd, 2, "</") == 0 &&
          xml.compare(textEnd, 9, "<![CDATA[") != 0) {
        const size_t closeEnd = markupEnd(textEnd);
        line(xml.substr(at, closeEnd - at), depth);
        at = closeEnd;
        continue;
      }
      line(tag, depth++);
    }
    at = end;
  }
  out += '\n';
  return out;
}

std::string ReadInput(const std::string& path) {
  if (path == "-") {
    std::ostringstream text;
    text << std::cin.rdbuf();
    if (std::cin.bad()) throw BadInput("cannot read standard input");
    return text.str();
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw BadInput("cannot read " + path + ": it is a folder");
  std::ifstream file(path, std::ios::binary);
  if (!file) throw BadInput("cannot read " + path + ": " + std::strerror(errno));
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) throw BadInput("cannot read " + path + ": " + std::strerror(errno));
  return text;
}

}  // namespace vtfc4::cli
