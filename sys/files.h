// Files the core writes whole and reads back: a file made anew and written,
// a file replaced under its name so that a reader sees the old contents or
// the new and never a part, the safe replacement that keeps a backup until
// the new file is in place, and the checks that go with them.
//
// Failures are errno values with the step that failed, not text: each caller
// words them the way its own log line or file has always worded them.
//
// Threads: no shared state; any thread.
#ifndef DVRCORE_SYS_FILES_H
#define DVRCORE_SYS_FILES_H

#include <cstddef>
#include <cstdio>
#include <string>

// The step of a file write that failed.
enum class FileStep {
  kNone,    // the file was written
  kCreate,  // it could not be made anew
  kMode,    // its mode could not be set
  kWrite,   // the data did not reach the file
  kSync,    // the data did not reach the disk
  kClose,   // closing it failed
  kShort,   // fewer bytes went in than given, without an error
  kRename,  // the pending file could not take the name
  kSwap,    // the safe replacement's renames failed (the old file is back)
};

struct FileWrite {
  FileStep failed = FileStep::kNone;
  int error = 0;       // errno of the failed step; 0 for kShort and kSwap
  size_t written = 0;  // bytes written (for kShort)
  explicit operator bool() const { return failed == FileStep::kNone; }
  // The errno value that stands for the failure: EIO where the step left none.
  int Errno() const;
};

// How a file is written anew.
struct NewFile {
  bool sync = false;  // force the data to the disk before closing
  // 0 to 07777: set on the open file, whatever the file creation mask, so that
  // no other file by the name can be changed and a reader never finds the
  // mask's mode in between; negative: the mode the mask gives (0600 in the core).
  int mode = -1;
};

// Creates `path` anew for writing: whatever had the name goes first, and the
// file is made exclusively, without following a link, so that a link placed
// under the name never leads the write to its target; never blocks on a FIFO.
// Null with errno set on failure.
FILE* CreateAnew(const std::string& path);

// Writes `text` to `path`, created anew as CreateAnew does. On failure the
// file may be left, partly written.
FileWrite WriteFileAnew(const std::string& path, const std::string& text, NewFile how = {});

// The name beside `path` that a replacement is written under first.
std::string PendingName(const std::string& path);

// Writes `text` to <path>.pending, made anew, which then replaces `path` by a
// rename: a reader of `path` sees the old contents or the new, never a part,
// and a link named `path` is replaced, not followed. On failure `path` is
// left as it was and the pending file removed.
FileWrite ReplaceFile(const std::string& path, const std::string& text, NewFile how = {});

// The safe replacement, for a file whose loss would lose settings: `text` goes
// to <path>.pending, is forced to the disk, and only then replaces `path` by
// renames, the old file waiting as <path>.bak until the new one is in place.
// Renames inside one directory reach the disk in the order they were made on
// the journalling file systems the recorder uses, so after a crash or a power
// loss `path` or its backup holds a complete text; the directory is synced at
// the end so that the outcome itself survives a power loss. A file that
// already holds the text (FileHoldsExactly) is left as it is, and the
// leftovers of an interrupted replacement are removed.
FileWrite ReplaceFileSafely(const std::string& path, const std::string& text);

// Whether `path` is a regular file (not a link to one) of this process's
// user, for that user alone, holding exactly `text`: then a rewrite would
// leave what is there. A file of another user (written before privileges
// were dropped, say) or one others may read or write counts as different, so
// that it is written and becomes what a write makes it: this user's, mode
// 0600 under the core's umask. Anything unreadable counts as different too.
bool FileHoldsExactly(const std::string& path, const std::string& text);

// Opens `path` for reading without ever blocking (a FIFO would otherwise wait
// for its other end forever), and regular files only: errno EINVAL for
// anything else. Null with errno set on failure.
FILE* OpenRegularFile(const std::string& path);

// Makes the renames in the directory of `path` durable. Failures are
// ignored: the renames themselves have been done, and there is nobody to tell.
void SyncDirectoryOf(const std::string& path);

#endif  // DVRCORE_SYS_FILES_H
