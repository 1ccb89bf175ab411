// The channel to the out-of-process request processor and what it trusts: frames decoded from
// bytes alone, a daemon that neither a flood of garbage nor a shortage of descriptors brings
// down or makes spin, clients that never wait unboundedly and get a reason when turned away,
// a socket folder that no other user can have made or can open, each end talking only to its
// own user; and the sandbox's session tickets as other clients need them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <future>
#include <regex>
#include <sstream>
#include <vector>

#include "session/sandbox_folder.h"
#include "src/session/processor_proxy.h"
#include "src/session/wire.h"

namespace vtfc4 {
namespace {

using namespace std::chrono_literals;

constexpr HRESULT kServerUnavailable = VTFC4_HR(0x800706BA);
constexpr HRESULT kServerTooBusy = VTFC4_HR(0x800706BB);
constexpr HRESULT kDisconnected = VTFC4_HR(0x80010108);
constexpr HRESULT kAccessDenied = VTFC4_HR(0x80070005);
constexpr uid_t kOtherUser = 65534;  // nobody

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

std::string Length(uint32_t n) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>(n >> (8 * i) & 0xFF);
  return out;
}

std::string Frame(const wire::Message& m) {
  std::string out;
  EXPECT_TRUE(wire::EncodeFrame(m, out));
  return out;
}

bool SendAll(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// True when the daemon greeted the connection as one it serves.
bool Greeted(int fd, std::chrono::milliseconds within = 5s) {
  wire::Message hello;
  return wire::Receive(fd, hello, within) == wire::Result::kDone && hello.size() == 3 && hello[0] == "0";
}

// True when the peer closes the connection (within a bounded wait) without sending anything.
bool ClosedByPeer(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return poll(&p, 1, 10000) == 1 && recv(fd, &c, 1, 0) == 0;
}

// The CPU time a process has used, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class Channel : public SandboxFolder<> {
 protected:
  void TearDown() override {
    for (pid_t pid : children_) kill(pid, SIGKILL);
    SandboxFolder::TearDown();
    for (pid_t pid : children_) waitpid(pid, nullptr, 0);
  }

  // Starts the daemon on the test's socket in the foreground (its log in daemon.log), with a
  // resource limit when one is given; waits until it listens.
  pid_t StartDaemon(std::vector<std::string> options, int resource = -1, rlim_t limit = 0) {
    std::vector<std::string> args{VTFC4_SANDBOX_DAEMON, "--socket", socket_, "--foreground"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = folder_ + "/daemon.log";
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(out, 2);
      closefrom(3);
      const rlimit bound{limit, limit};
      if (resource >= 0 && setrlimit(resource, &bound) != 0) _exit(120);
      execv(argv[0], argv.data());
      _exit(121);
    }
    children_.push_back(pid);
    Eventually([&] { return PidFile(socket_) == pid || waitpid(pid, nullptr, WNOHANG) == pid; }, 10s, 10ms);
    EXPECT_EQ(PidFile(socket_), pid) << "the daemon listens: " << Log();
    return pid;
  }
  void StopDaemon(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::erase(children_, pid);
  }
  std::string Log() const {
    std::ifstream in(folder_ + "/daemon.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Something of another kind listening on the socket, in a process of its own: it runs as
  // `uid`, greets every connection as the daemon does, and answers the first call with
  // `answer`.
  void FakeDaemon(uid_t uid, const std::string& answer) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_.c_str(), socket_.size() + 1);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string greeting = Frame({"0", "", ""});
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      // A listener's credentials are those it has when it starts listening.
      if ((uid != geteuid() && seteuid(uid) != 0) || listen(listener, 8) != 0) _exit(3);
      bool written = write(ready[1], "r", 1) == 1;
      for (;;) {
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        written = write(client, greeting.data(), greeting.size()) > 0;
        char call[256];
        if (written && read(client, call, sizeof call) > 0) written = write(client, answer.data(), answer.size()) > 0;
      }
    }
    children_.push_back(pid);
    close(listener);
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "the fake daemon listens";
    close(ready[0]);
  }

  static HRESULT CreateProxy(ComPtr<IRequestProcessorEx2>& out) {
    return CoCreateInstance(CLSID_VTXMLRP2e, nullptr, CLSCTX_LOCAL_SERVER, IID_IRequestProcessorEx2, out.PutVoid());
  }
  // Creates the proxy again and again until the daemon takes it (a bounded wait).
  static bool ProxyTaken() {
    return Eventually(
        [] {
          ComPtr<IRequestProcessorEx2> p;
          if (CreateProxy(p) == S_OK) return true;
          TakeError();
          return false;
        },
        20s, 20ms);
  }

  std::vector<pid_t> children_;
};

TEST(WireFrames, DecodingIsAFunctionOfBytes) {
  const std::string whole = Frame({"ProcessRequest", "", "<VTXML/>"});
  struct Case {
    const char* name;
    std::string bytes;
    wire::Decoded state;
    size_t frameSize;
  } cases[] = {
      {"nothing yet", "", wire::Decoded::kNeedMore, 4},
      {"part of the header", whole.substr(0, 3), wire::Decoded::kNeedMore, 4},
      {"the header alone", whole.substr(0, 4), wire::Decoded::kNeedMore, whole.size()},
      {"all but a byte", whole.substr(0, whole.size() - 1), wire::Decoded::kNeedMore, whole.size()},
      {"a whole frame and the next one's start", whole + "\x05", wire::Decoded::kDone, whole.size()},
      {"an empty frame", Length(0), wire::Decoded::kDone, 4},
      {"announced beyond the limit", Length(wire::kMaxFrame + 1), wire::Decoded::kTooLarge, wire::kMaxFrame + 5},
      {"the largest length there is", Length(0xFFFFFFFFu), wire::Decoded::kTooLarge, 0x100000003u},
      {"a text overrunning its frame", Length(8) + Length(5) + "abcd", wire::Decoded::kMalformed, 12},
      {"a text's length cut short", Length(6) + Length(1) + "a" + "\x01", wire::Decoded::kMalformed, 10},
      {"more texts than a frame may hold", Length(4 * (wire::kMaxTexts + 1)) + std::string(4 * (wire::kMaxTexts + 1), '\0'),
       wire::Decoded::kMalformed, 4 + 4 * (wire::kMaxTexts + 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wire::Message m{"stale"};
    const wire::Decoding d = wire::DecodeFrame(c.bytes, m);
    EXPECT_EQ(d.state, c.state);
    EXPECT_EQ(d.frameSize, c.frameSize);
    if (c.state != wire::Decoded::kDone) {
      EXPECT_TRUE(m.empty());
    }
  }
  wire::Message m;
  ASSERT_EQ(wire::DecodeFrame(whole, m).state, wire::Decoded::kDone);
  EXPECT_EQ(m, (wire::Message{"ProcessRequest", "", "<VTXML/>"}));
  std::string frame;
  EXPECT_FALSE(wire::EncodeFrame(wire::Message(wire::kMaxTexts + 1), frame)) << "the sender keeps the limits too";
}

TEST_F(Channel, GarbageFramesNeitherExhaustNorEndTheDaemon) {
  // Under 2 GiB of address space, reading frames into buffers of the size their headers
  // announce would end the daemon within a few connections. (AddressSanitizer's shadow memory
  // needs more address space than that: there the daemon runs without the limit.)
  const pid_t daemon = StartDaemon({}, kAddressSanitizer ? -1 : RLIMIT_AS, rlim_t{2} << 30);
  std::vector<int> announced;
  for (int i = 0; i < 12; ++i) {
    const int fd = Connect(socket_);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    announced.push_back(fd);
    ASSERT_TRUE(Greeted(fd)) << Log();
    ASSERT_TRUE(SendAll(fd, Length(250u << 20) + "abcdef"));
  }
  // A frame the daemon refuses closes its connection, with a line in its log.
  struct Case {
    const char* name;
    std::string bytes;
    const char* logged;
  } refused[] = {
      {"announced beyond the limit", Length(1u << 30), "refused a frame larger than the limit of 256 MiB"},
      {"a text overrunning its frame", Length(8) + Length(100) + "abcd", "refused a malformed frame"},
      {"no operation", Length(0), "refused a malformed frame"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    const int fd = Connect(socket_);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(Greeted(fd));
    EXPECT_TRUE(SendAll(fd, c.bytes));
    EXPECT_TRUE(ClosedByPeer(fd));
    close(fd);
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
  }
  // The same daemon still serves a client.
  ComPtr<IRequestProcessorEx2> processor;
  ASSERT_EQ(CreateProxy(processor), S_OK) << TakeError();
  EXPECT_EQ(processor->OpenConnection(Wide("").Get(), Wide("channel").Get()), S_OK) << TakeError();
  EXPECT_EQ(waitpid(daemon, nullptr, WNOHANG), 0) << Log();
  for (int fd : announced) close(fd);
}

TEST_F(Channel, AnAnswerBeyondTheLimitEndsTheCallAtOnce) {
  setenv("VTFC4_PROCESSOR_TIMEOUT_MS", "5000", 1);
  FakeDaemon(geteuid(), Length(1u << 30));
  ComPtr<IRequestProcessorEx2> processor;
  ASSERT_EQ(CreateProxy(processor), S_OK) << TakeError();
  EXPECT_EQ(processor->OpenConnection(Wide("").Get(), Wide("channel").Get()), kDisconnected);
  EXPECT_EQ(TakeError(), "The out-of-process request processor sent an answer larger than the library takes during "
                         "OpenConnection.");
}

TEST_F(Channel, ConnectionsBeyondTheLimitAreTurnedAwayWithTheReason) {
  StartDaemon({"--max-connections", "2"});
  const int first = Connect(socket_), second = Connect(socket_);
  ASSERT_TRUE(Greeted(first));
  ASSERT_TRUE(Greeted(second));
  ComPtr<IRequestProcessorEx2> processor;
  EXPECT_EQ(CreateProxy(processor), kServerTooBusy);
  EXPECT_EQ(TakeError(),
            "The out-of-process request processor serves its limit of 2 connections; try again when a client has "
            "finished.");
  close(first);
  EXPECT_TRUE(ProxyTaken()) << "room again once a client has gone";
  close(second);
  EXPECT_NE(Log().find("refused a connection: 2 connections are being served, the limit"), std::string::npos);
}

TEST_F(Channel, OutOfDescriptorsTheDaemonRestsAndClientsWaitBoundedly) {
  const pid_t daemon = StartDaemon({"--max-connections", "200"}, RLIMIT_NOFILE, 16);
  // Connections until one is left waiting: the daemon has no descriptor to accept it with.
  std::vector<int> held;
  bool waiting = false;
  for (int i = 0; i < 32 && !waiting; ++i) {
    const int fd = Connect(socket_);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    held.push_back(fd);
    waiting = !Greeted(fd, 500ms);
  }
  ASSERT_TRUE(waiting);
  // It rests instead of trying the waiting connection again and again: a spinning daemon
  // would use the whole second (a busy machine can only make this look better).
  const double before = CpuSeconds(daemon);
  std::this_thread::sleep_for(1s);
  EXPECT_LT(CpuSeconds(daemon) - before, 0.5);
  EXPECT_NE(Log().find("out of descriptors"), std::string::npos) << Log();

  // Its queue of waiting connections full, a client's connect waits no longer than its calls.
  for (int i = 0; i < 1000; ++i) {
    const int fd = Connect(socket_, false);
    if (fd < 0) {
      ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
      break;
    }
    held.push_back(fd);
  }
  setenv("VTFC4_PROCESSOR_TIMEOUT_MS", "500", 1);
  auto attempt = std::async(std::launch::async, [] {
    ComPtr<IRequestProcessorEx2> processor;
    const HRESULT hr = CreateProxy(processor);
    return std::make_pair(hr, TakeError());
  });
  const bool bounded = attempt.wait_for(20s) == std::future_status::ready;
  if (!bounded) kill(daemon, SIGKILL);  // releases the blocked connect
  const auto [status, error] = attempt.get();
  ASSERT_TRUE(bounded) << "the client's connect blocked";
  EXPECT_EQ(status, kServerUnavailable);
  EXPECT_EQ(error, "The out-of-process request processor at " + socket_ + " did not take the connection in time.");

  // With descriptors again it serves.
  for (int fd : held) close(fd);
  unsetenv("VTFC4_PROCESSOR_TIMEOUT_MS");
  EXPECT_TRUE(ProxyTaken());
  EXPECT_EQ(waitpid(daemon, nullptr, WNOHANG), 0) << Log();
}

TEST_F(Channel, EachEndTalksOnlyToItsOwnUser) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  // A client of another user is turned away without a word. It reaches the socket with the
  // test's own file-system identity (the folder is closed to others), as another user.
  const pid_t daemon = StartDaemon({});
  const pid_t client = fork();
  if (client == 0) {
    if (seteuid(kOtherUser) != 0) _exit(3);
    setfsuid(0);
    const int fd = Connect(socket_);
    _exit(fd < 0 ? 4 : ClosedByPeer(fd) ? 0 : 1);
  }
  int status = 0;
  waitpid(client, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(Log().find("refused a connection of another user (uid 65534)"), std::string::npos) << Log();
  StopDaemon(daemon);

  // The library does not talk to a socket that another user serves.
  FakeDaemon(kOtherUser, "");
  ComPtr<IRequestProcessorEx2> processor;
  EXPECT_EQ(CreateProxy(processor), kAccessDenied);
  EXPECT_EQ(TakeError(), "The socket " + socket_ +
                             " is served by a process of another user (uid 65534); the library does not talk to it.");
}

TEST_F(Channel, TheSocketsFolderMustBeTheUsersOwnAndClosedToOthers) {
  const struct {
    const char* name;
    mode_t mode;  // 0: a link to a folder in its place
    uid_t owner;  // another user's: only root can make it so
    std::string why;
  } cases[] = {
      {"open to others", 0755, 0, " is open to other users (mode 0755); it is used only when closed to them (0700)."},
      {"readable by its group", 0740, 0,
       " is open to other users (mode 0740); it is used only when closed to them (0700)."},
      {"another user's", 0700, kOtherUser, " belongs to another user (uid 65534); it is not used."},
      {"a link", 0, 0, " is not a folder."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner && geteuid() != 0) continue;
    const std::string folder = folder_ + "/" + std::to_string(&c - cases);
    if (c.mode) {
      ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
      ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
      if (c.owner) { ASSERT_EQ(chown(folder.c_str(), c.owner, c.owner), 0); }
    } else {
      ASSERT_EQ(symlink(folder_.c_str(), folder.c_str()), 0);
    }
    setenv("VTFC4_SANDBOX_SOCKET", (folder + "/sandbox.sock").c_str(), 1);
    ComPtr<IRequestProcessorEx2> processor;
    ExpectStatus(c.name, CreateProxy(processor), kServerUnavailable, (c.mode ? "The folder " : "") + folder + c.why);
    EXPECT_NE(access((folder + "/sandbox.sock").c_str(), F_OK), 0) << "no daemon was started there";
  }

  // The default folder is made closed to others.
  unsetenv("VTFC4_SANDBOX_SOCKET");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = runtime ? runtime : "";
  setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
  std::string path, error;
  EXPECT_TRUE(ProcessorSocketPath(path, error)) << error;
  EXPECT_EQ(path, folder_ + "/vtfc4/sandbox.sock");
  struct stat made {};
  ASSERT_EQ(stat((folder_ + "/vtfc4").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0700u);
  EXPECT_EQ(made.st_uid, geteuid());
  if (runtime)
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(Channel, SessionTicketsDifferInTheirFirstNineCharacters) {
  ComPtr<IRequestProcessor2> processor;
  ASSERT_EQ(CoCreateInstance(CLSID_VTXMLRP2, nullptr, CLSCTX_INPROC_SERVER, IID_IRequestProcessor2,
                             processor.PutVoid()),
            S_OK);
  ASSERT_EQ(processor->OpenConnection(Wide("").Get(), Wide("channel").Get()), S_OK) << TakeError();
  const std::regex guid(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
  std::string tickets[2];
  for (std::string& ticket : tickets) {
    Bstr text;
    ASSERT_EQ(processor->BeginSession(Wide(company_).Get(), omDontCare, text.Put()), S_OK) << TakeError();
    ticket = ToNarrow(text.Get());
    EXPECT_TRUE(std::regex_match(ticket, guid)) << ticket;
  }
  // A message set identifier is the second and a ticket's first 9 characters.
  EXPECT_NE(tickets[0].substr(0, 9), tickets[1].substr(0, 9));
}

}  // namespace
}  // namespace vtfc4
