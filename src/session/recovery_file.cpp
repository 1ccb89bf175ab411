#include "src/session/recovery_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "src/session/trusted_folder.h"

namespace vtfc4 {

namespace {

// A descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder's lock, taken without waiting (shared for readers, exclusive for writers); an
// invalid descriptor when it is held the other way, when the folder cannot be opened, or when
// it is not the user's own and closed to others (as it was made): a record goes only where
// nobody else can put or replace a file.
Descriptor LockFolder(const std::string& path, bool exclusive) {
  Descriptor folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return Descriptor();
  struct stat info;
  if (fstat(folder.Get(), &info) != 0 || info.st_uid != geteuid() || (info.st_mode & 077) != 0) return Descriptor();
  while (flock(folder.Get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
    if (errno != EINTR) return Descriptor();
  return folder;
}

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    content.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

WriteResult WriteRecordFile(const std::string& path, std::string_view content) {
  const Descriptor lock = LockFolder(path, true);
  if (!lock) return WriteResult::kCannotCreate;
  std::vector<char> temporary(path.begin(), path.end());
  static constexpr char kSuffix[] = ".XXXXXX";
  temporary.insert(temporary.end(), kSuffix, kSuffix + sizeof kSuffix);  // with the NUL
  // mkstemp makes the file with mode 0600.
  Descriptor file(mkostemp(temporary.data(), O_CLOEXEC));
  if (!file) return WriteResult::kCannotCreate;
  if (!WriteAll(file.Get(), content) || fsync(file.Get()) != 0) {
    unlink(temporary.data());
    return WriteResult::kCannotWrite;
  }
  if (rename(temporary.data(), path.c_str()) != 0) {
    unlink(temporary.data());
    return WriteResult::kCannotReplace;
  }
  // The rename itself is made durable with the folder.
  const Descriptor folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) fsync(folder.Get());
  return WriteResult::kDone;
}

ReadResult ReadRecordFile(const std::string& path, std::string& text) {
  text.clear();
  const Descriptor lock = LockFolder(path, false);
  if (!lock) return ReadResult::kCannotOpen;
  const Descriptor file(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
  if (!file) return ReadResult::kCannotOpen;
  char block[10240];
  for (;;) {
    const ssize_t n = read(file.Get(), block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadResult::kCannotRead;
    if (n == 0) return ReadResult::kDone;
    const void* nul = std::memchr(block, '\0', static_cast<size_t>(n));
    text.append(block, nul ? static_cast<const char*>(nul) - block : n);
  }
}

bool EnsureRecordFolder(const std::string& path, bool shared, std::string& why) {
  const FolderCheck check = CheckFolder(path, shared ? FolderKind::kShared : FolderKind::kOwn);
  why = check.state == FolderCheck::kUntrusted ? check.why : std::string();
  return static_cast<bool>(check);
}

bool RecordExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DeleteRecord(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace vtfc4
