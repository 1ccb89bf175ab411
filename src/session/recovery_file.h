// Internal: the error-recovery file on disk. A record is replaced whole: the new text goes to
// a temporary file in the same folder, is flushed, and is renamed over the record, so that a
// crash at any moment leaves the old record or the new one, never a torn one. Records are
// readable by their owner only (mode 0600), in a folder that is the user's own and closed to
// others (a record is neither written nor read elsewhere). Writers and readers of the records
// in one folder take its lock without waiting: a writer alone, readers together.
#ifndef VTFC4_SRC_SESSION_RECOVERY_FILE_H
#define VTFC4_SRC_SESSION_RECOVERY_FILE_H

#include <string>
#include <string_view>

namespace vtfc4 {

// How writing a record ended: done; the record could not be created (or its folder is being
// read or written); the text could not be written or flushed in full; the new record could
// not take the old one's place.
enum class WriteResult { kDone, kCannotCreate, kCannotWrite, kCannotReplace };

// How reading a record ended: done; it could not be opened (or its folder is being written);
// a read failed.
enum class ReadResult { kDone, kCannotOpen, kCannotRead };

WriteResult WriteRecordFile(const std::string& path, std::string_view content);

// The file's bytes, each block of 10240 bytes taken up to its first NUL. A missing record is
// created empty, as the reader of the record opens it.
ReadResult ReadRecordFile(const std::string& path, std::string& text);

// A folder on the way to the records, made when missing (its parent must exist). A `shared`
// one (the two parents of the identifiers' folders) may be shared, but must be owned by the
// user or root and writable by nobody else unless sticky; an identifier's folder must be the
// user's own and closed to others. False when it cannot be used; `why` then names the folder
// and what is wrong with it when it exists but cannot be trusted, and is empty otherwise.
bool EnsureRecordFolder(const std::string& path, bool shared, std::string& why);

bool RecordExists(const std::string& path);
bool DeleteRecord(const std::string& path);

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_RECOVERY_FILE_H
