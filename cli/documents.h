// The documents the vtfc4 command reads: what kind each is, the edition and version its
// prologue names, and an indented copy for people to read.
#ifndef VTFC4_CLI_DOCUMENTS_H
#define VTFC4_CLI_DOCUMENTS_H

#include <stdexcept>
#include <string>
#include <string_view>

namespace vtfc4::cli {

enum class DocumentKind { request, response, subscriptionRequest, subscriptionResponse, events, unknown };

struct DocumentInfo {
  DocumentKind kind = DocumentKind::unknown;
  std::string country = "US";  // "CA" when the version says so
  short major = 4, minor = 0;  // 4.0 when the prologue names none
  bool versioned = false;      // the prologue named a version
};

DocumentInfo Inspect(std::string_view xml);

// The document with one element a line, indented by two blanks a level; text, attributes and
// the prologue as they are. Meant for documents the library has parsed (well-formed ones).
std::string Indent(std::string_view xml);

// Input that cannot be read, or is not the kind of document asked for.
struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The whole of a file, or of standard input for "-". Throws BadInput saying why.
std::string ReadInput(const std::string& path);

}  // namespace vtfc4::cli

#endif  // VTFC4_CLI_DOCUMENTS_H
