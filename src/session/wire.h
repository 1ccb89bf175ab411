// Internal, header only (the sandbox's daemon uses it too): the frames in which calls to the
// out-of-process request processor travel over its Unix-domain socket. A frame is a 4-byte
// little-endian length and that many bytes: a sequence of texts, each a 4-byte length and its
// bytes. A call is [operation, arguments...]; an answer is [status, description, source,
// results...]. Every wait is bounded: a peer that stops answering or goes away ends the call.
#ifndef VTFC4_SRC_SESSION_WIRE_H
#define VTFC4_SRC_SESSION_WIRE_H

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vtfc4::wire {

using Message = std::vector<std::string>;

// The largest frame either side accepts: a request document of a few hundred megabytes.
inline constexpr uint32_t kMaxFrame = 1u << 30;

enum class Result { kDone, kClosed, kTimedOut, kFailed, kTooLarge };

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

inline Result ReadExactly(int fd, char* out, size_t size, std::chrono::steady_clock::time_point deadline) {
  while (size) {
    if (Result r = Wait(fd, POLLIN, deadline); r != Result::kDone) return r;
    const ssize_t n = recv(fd, out, size, 0);
    if (n == 0) return Result::kClosed;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == ECONNRESET ? Result::kClosed : Result::kFailed;
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return Result::kDone;
}

}  // namespace detail

inline Result Send(int fd, const Message& message, std::chrono::milliseconds timeout) {
  std::string frame;
  size_t total = 0;
  for (const std::string& part : message) total += 4 + part.size();
  if (total > kMaxFrame) return Result::kTooLarge;
  frame.reserve(4 + total);
  detail::PutLength(frame, static_cast<uint32_t>(total));
  for (const std::string& part : message) {
    detail::PutLength(frame, static_cast<uint32_t>(part.size()));
    frame += part;
  }
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

inline Result Receive(int fd, Message& message, std::chrono::milliseconds timeout) {
  message.clear();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char head[4];
  if (Result r = detail::ReadExactly(fd, head, 4, deadline); r != Result::kDone) return r;
  const uint32_t total = detail::GetLength(head);
  if (total > kMaxFrame) return Result::kTooLarge;
  std::string body(total, '\0');
  if (Result r = detail::ReadExactly(fd, body.data(), total, deadline); r != Result::kDone) return r;
  for (size_t at = 0; at < body.size();) {
    if (body.size() - at < 4) return Result::kFailed;
    const uint32_t n = detail::GetLength(body.data() + at);
    at += 4;
    if (n > body.size() - at) return Result::kFailed;
    message.emplace_back(body, at, n);
    at += n;
  }
  return Result::kDone;
}

}  // namespace vtfc4::wire

#endif  // VTFC4_SRC_SESSION_WIRE_H
