// What the session suite's tests share: a folder of their own with a registry naming the
// sandbox's processors, a company file and the daemon's socket; bounded waits; connections.
#ifndef VTFC4_TESTS_SESSION_SANDBOX_FOLDER_H
#define VTFC4_TESTS_SESSION_SANDBOX_FOLDER_H

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "processor/sandbox_engine.h"
#include "src/com/registry.h"
#include "support.h"
#include "vtfc4/processor.h"

namespace vtfc4 {

// Waits, boundedly, until `done` holds (tried every `pause` for at least `within`); whether it did.
template <class Done>
bool Eventually(Done done, std::chrono::milliseconds within = std::chrono::seconds(5),
                std::chrono::milliseconds pause = std::chrono::milliseconds(5)) {
  for (const auto end = std::chrono::steady_clock::now() + within;; std::this_thread::sleep_for(pause)) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
  }
}

// The pid a daemon writes beside its socket; 0 when there is none.
inline pid_t PidFile(const std::string& socket) {
  std::ifstream in(socket + ".pid");
  long pid = 0;
  in >> pid;
  return static_cast<pid_t>(pid);
}

// A connection to the Unix-domain socket at `path`; -1 (with errno) when there is none.
inline int Connect(const std::string& path, bool blocking = true) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

// Each test has a folder of its own (0700): a registry naming the sandbox's two processors, a
// company file and the socket. A daemon still serving the socket at the end is killed.
template <class Base = ::testing::Test>
class SandboxFolder : public Base {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-session-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    folder_ = pattern;
    socket_ = folder_ + "/sandbox.sock";
    company_ = folder_ + "/books.vtc";
    setenv("VTFC4_REGISTRY", (folder_ + "/registry").c_str(), 1);
    setenv("VTFC4_SANDBOX_SOCKET", socket_.c_str(), 1);
    Registry registry;
    std::string error;
    ASSERT_TRUE(registry.Load(error)) << error;
    registry.Set("CLSID\\" + GuidText(CLSID_VTXMLRP2) + "\\InprocServer32", "", VTFC4_SANDBOX_MODULE);
    registry.Set("CLSID\\" + GuidText(CLSID_VTXMLRP2e) + "\\LocalServer32", "", VTFC4_SANDBOX_DAEMON);
    ASSERT_TRUE(registry.Save(error)) << error;
    ASSERT_TRUE(sandbox::CompanyFile::Create(company_, error)) << error;
    TakeError();
  }
  void TearDown() override {
    if (const pid_t pid = PidFile(socket_); pid > 0) {
      kill(pid, SIGCONT);
      kill(pid, SIGKILL);
    }
    for (const char* name : {"VTFC4_SANDBOX_SOCKET", "VTFC4_REGISTRY", "VTFC4_COMMON_APPDATA", "VTFC4_PROCESSOR_TIMEOUT_MS"})
      unsetenv(name);
    std::system(("rm -rf '" + folder_ + "'").c_str());
  }

  std::string folder_, socket_, company_;
};

}  // namespace vtfc4

#endif  // VTFC4_TESTS_SESSION_SANDBOX_FOLDER_H
