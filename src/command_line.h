// The command lines of the project's programs, read as Unix tools read theirs: --help and
// --version answer on standard output and end with 0, a usage error is told on standard error
// and ends with 2.
#ifndef VTFC4_SRC_COMMAND_LINE_H
#define VTFC4_SRC_COMMAND_LINE_H

#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <sstream>

namespace vtfc4 {

// Reads the arguments into `app`: nothing when the program goes on, else the status it ends with.
inline std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    std::fputs(out.str().c_str(), stdout);
    std::fputs(err.str().c_str(), stderr);
    return code == 0 ? 0 : 2;
  }
}

}  // namespace vtfc4

#endif  // VTFC4_SRC_COMMAND_LINE_H
