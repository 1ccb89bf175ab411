// Internal, header only (the sandbox's daemon uses it too): the frames in which calls to the
// out-of-process request processor travel over its Unix-domain socket. A frame is a 4-byte
// little-endian length and that many bytes: a sequence of texts, each a 4-byte length and its
// bytes. A call is [operation, arguments...]; an answer is [status, description, source,
// results...]. On a new connection the daemon speaks first, with an answer without results:
// status 0 when it serves the client, a failure when it turns it away.
//
// Every wait is bounded, and a frame is taken in as its bytes arrive, so what a connection
// holds follows what its peer has sent, never what a header announces. The decoding itself
// is a function of bytes alone (DecodeFrame), which both sides and any test drive alike.
#ifndef VTFC4_SRC_SESSION_WIRE_H
#define VTFC4_SRC_SESSION_WIRE_H

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vtfc4::wire {

using Message = std::vector<std::string>;

// The largest frame either side takes in: 256 MiB, far beyond any request document or answer
// of a sandbox company file. A connection holds at most one frame being read and its texts.
inline constexpr uint32_t kMaxFrame = 256u << 20;
// The most texts in one frame: a call has a few, an answer a few results (the vtXML versions).
// Each text costs a string besides its bytes, so a frame of empty texts is bounded too.
inline constexpr uint32_t kMaxTexts = 4096;
// How much is read from the socket at a time.
inline constexpr size_t kChunk = 64 * 1024;

enum class Result { kDone, kClosed, kTimedOut, kFailed, kTooLarge, kMalformed };

// What the bytes at hand make of a frame: more are needed, a whole frame, or a frame that is
// refused (announced beyond kMaxFrame; texts that do not fill it exactly, or too many).
enum class Decoded { kNeedMore, kDone, kTooLarge, kMalformed };

struct Decoding {
  Decoded state;
  // The frame's whole size in bytes as far as it is known: 4 until the header is in, then
  // 4 and the length it announces.
  size_t frameSize;
};

namespace detail {

inline void PutLength(std::string& out, uint32_t n) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(n >> (8 * i) & 0xFF);
}

inline uint32_t GetLength(const char* p) {
  uint32_t n = 0;
  for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(p[i]);
  return n;
}

// Waits until `fd` is ready for `events` or the deadline passes.
inline Result Wait(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Result::kTimedOut;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left.count() > 60000 ? 60000 : left.count()));
    if (n > 0) return Result::kDone;
    if (n < 0 && errno != EINTR) return Result::kFailed;
  }
}

}  // namespace detail

// The frame at the start of `bytes`. On kDone `message` holds its texts and the frame took
// `frameSize` bytes; otherwise `message` is left empty.
inline Decoding DecodeFrame(std::string_view bytes, Message& message) {
  message.clear();
  if (bytes.size() < 4) return {Decoded::kNeedMore, 4};
  const uint32_t total = detail::GetLength(bytes.data());
  const size_t size = 4 + size_t{total};
  if (total > kMaxFrame) return {Decoded::kTooLarge, size};
  if (bytes.size() < size) return {Decoded::kNeedMore, size};
  const std::string_view body = bytes.substr(4, total);
  size_t texts = 0;
  for (size_t at = 0; at < body.size();) {
    if (body.size() - at < 4 || ++texts > kMaxTexts) return {Decoded::kMalformed, size};
    const uint32_t n = detail::GetLength(body.data() + at);
    at += 4;
    if (n > body.size() - at) return {Decoded::kMalformed, size};
    at += n;
  }
  message.reserve(texts);
  for (size_t at = 0; at < body.size();) {
    const uint32_t n = detail::GetLength(body.data() + at);
    message.emplace_back(body.substr(at + 4, n));
    at += 4 + size_t{n};
  }
  return {Decoded::kDone, size};
}

// The frame of `message`; false when it would pass the limits.
inline bool EncodeFrame(const Message& message, std::string& frame) {
  frame.clear();
  if (message.size() > kMaxTexts) return false;
  size_t total = 0;
  for (const std::string& part : message) total += 4 + part.size();
  if (total > kMaxFrame) return false;
  frame.reserve(4 + total);
  detail::PutLength(frame, static_cast<uint32_t>(total));
  for (const std::string& part : message) {
    detail::PutLength(frame, static_cast<uint32_t>(part.size()));
    frame += part;
  }
  return true;
}

inline Result Send(int fd, const Message& message, std::chrono::milliseconds timeout) {
  std::string frame;
  if (!EncodeFrame(message, frame)) return Result::kTooLarge;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const char* p = frame.data();
  size_t left = frame.size();
  while (left) {
    if (Result r = detail::Wait(fd, POLLOUT, deadline); r != Result::kDone) return r;
    const ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == EPIPE || errno == ECONNRESET ? Result::kClosed : Result::kFailed;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return Result::kDone;
}

// Reads one frame, chunk by chunk as its bytes arrive, never past its end (the next frame
// stays in the socket).
inline Result Receive(int fd, Message& message, std::chrono::milliseconds timeout) {
  message.clear();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string bytes;
  for (;;) {
    const Decoding d = DecodeFrame(bytes, message);
    if (d.state == Decoded::kDone) return Result::kDone;
    if (d.state == Decoded::kTooLarge) return Result::kTooLarge;
    if (d.state == Decoded::kMalformed) return Result::kMalformed;
    if (Result r = detail::Wait(fd, POLLIN, deadline); r != Result::kDone) return r;
    const size_t had = bytes.size();
    bytes.resize(had + std::min(d.frameSize - had, kChunk));
    const ssize_t n = recv(fd, bytes.data() + had, bytes.size() - had, 0);
    const int error = errno;
    bytes.resize(had + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n == 0) return Result::kClosed;
    if (n < 0 && error != EINTR && error != EAGAIN) return error == ECONNRESET ? Result::kClosed : Result::kFailed;
  }
}

// The user the peer of a connected socket runs as (its credentials when it connected or
// listened); false when the system cannot say.
inline bool PeerUser(int fd, uid_t& uid) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) return false;
  uid = peer.uid;
  return true;
}

}  // namespace vtfc4::wire

#endif  // VTFC4_SRC_SESSION_WIRE_H
