// Internal: the library's side of the out-of-process request processor. Its objects answer
// IRequestProcessorEx2 (and the preferences interface) by sending each call to the server's
// daemon over a Unix-domain socket, starting the daemon when none serves the socket.
#ifndef VTFC4_SRC_SESSION_PROCESSOR_PROXY_H
#define VTFC4_SRC_SESSION_PROCESSOR_PROXY_H

#include <string>
#include <vector>

#include "vtfc4/com.h"

namespace vtfc4 {

// The socket the sandbox daemon serves: VTFC4_SANDBOX_SOCKET, else sandbox.sock in
// $XDG_RUNTIME_DIR/vtfc4 (or /tmp/vtfc4-<uid>). Its folder is made when missing (0700) and must
// be the user's own and closed to others; false, with a sentence naming it, when it is not.
bool ProcessorSocketPath(std::string& path, std::string& error);

// The daemon's answer to a call, [status, description, source, results...] (at least three
// texts): its status, with the daemon's failure reported under its own description and
// source, and on success its results.
HRESULT TakeAnswer(const std::vector<std::string>& answer, std::vector<std::string>& results);

// A new object of the local server `clsid` whose executable is `server`.
HRESULT CreateLocalServerObject(REFCLSID clsid, const std::string& server, REFIID riid, void** out);

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_PROCESSOR_PROXY_H
