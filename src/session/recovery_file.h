// Internal: the error-recovery file on disk. A record is replaced whole: the new text goes to
// a temporary file in the same folder, is flushed, and is renamed over the record, so that a
// crash at any moment leaves the old record or the new one, never a torn one. Records are
// readable by their owner only (mode 0600). Writers and readers of the records in one folder
// take its lock without waiting: a writer alone, readers together.
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

bool RecordExists(const std::string& path);
bool DeleteRecord(const std::string& path);

}  // namespace vtfc4

#endif  // VTFC4_SRC_SESSION_RECOVERY_FILE_H
