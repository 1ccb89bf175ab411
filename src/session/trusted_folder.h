// Internal, header only (the sandbox's daemon uses it too): folders that the library and the
// daemon put things into only when no other user can have put something there first. The
// socket's folder and an error-recovery identifier's folder are the user's own; the two
// shared parents of the error-recovery folders may be shared, but only as /tmp is.
#ifndef VTFC4_SRC_SESSION_TRUSTED_FOLDER_H
#define VTFC4_SRC_SESSION_TRUSTED_FOLDER_H

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace vtfc4 {

enum class FolderKind {
  kOwn,     // owned by the user, nothing for group and others (made 0700)
  kShared,  // owned by the user or by root, writable by nobody else unless sticky (made 0755)
};

struct FolderCheck {
  enum State { kTrusted, kMissing, kUntrusted } state;
  std::string why;  // for kMissing and kUntrusted: a sentence naming the folder
  explicit operator bool() const { return state == kTrusted; }
};

// The folder `path` as it is on disk, never through a symbolic link; made when missing (its
// parent must exist).
inline FolderCheck CheckFolder(const std::string& path, FolderKind kind) {
  if (mkdir(path.c_str(), kind == FolderKind::kOwn ? 0700 : 0755) != 0 && errno != EEXIST)
    return {FolderCheck::kMissing, "The folder " + path + " cannot be made: " + std::strerror(errno) + "."};
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    return {FolderCheck::kMissing, path + " is not a folder."};
  const uid_t self = geteuid();
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  if (info.st_uid != self && !(kind == FolderKind::kShared && info.st_uid == 0))
    return {FolderCheck::kUntrusted, "The folder " + path + " belongs to another user (uid " +
                                         std::to_string(info.st_uid) + "); it is not used."};
  if (kind == FolderKind::kOwn && (info.st_mode & 077) != 0)
    return {FolderCheck::kUntrusted, "The folder " + path + " is open to other users (mode " + mode +
                                         "); it is used only when closed to them (0700)."};
  if (kind == FolderKind::kShared && (info.st_mode & 022) != 0 && !(info.st_mode & S_ISVTX))
    return {FolderCheck::kUntrusted, "The folder " + path + " is writable by other users (mode " + mode +
                                         ") without the sticky bit; it is not used."};
  return {FolderCheck::kTrusted, {}};
}

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_TRUSTED_FOLDER_H
