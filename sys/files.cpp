// Files written whole; see files.h.
#include "sys/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

int FileWrite::Errno() const { return error != 0 ? error : EIO; }

namespace {

// A stream on `fd`, which it then owns; null with errno set (and `fd`
// closed) on failure.
FILE* StreamOn(int fd, const char* mode) {
  FILE* file = fdopen(fd, mode);
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

// Whether the open file `fd` holds exactly `size` bytes equal to `text`.
bool ReadsExactly(int fd, const std::string& text) {
  // One byte more than expected, so that a file that grew meanwhile differs.
  std::string content(text.size() + 1, '\0');
  size_t got = 0;
  for (ssize_t n; got < content.size() &&
                  (n = read(fd, &content[got], content.size() - got)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return got == text.size() && content.compare(0, got, text) == 0;
}

}  // namespace

FILE* CreateAnew(const std::string& path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return nullptr;
  const int fd = open(path.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return StreamOn(fd, "wb");
}

FileWrite WriteFileAnew(const std::string& path, const std::string& text, NewFile how) {
  FILE* file = CreateAnew(path);
  if (file == nullptr) return {FileStep::kCreate, errno, 0};
  FileWrite result;
  errno = 0;
  if (how.mode >= 0 && fchmod(fileno(file), static_cast<mode_t>(how.mode)) != 0) {
    result = {FileStep::kMode, errno, 0};
  } else {
    result.written = fwrite(text.data(), 1, text.size(), file);
    if (fflush(file) != 0 || ferror(file)) {
      result.failed = FileStep::kWrite;
      result.error = errno;
    } else if (how.sync && fsync(fileno(file)) != 0 && errno != EINVAL) {
      // EINVAL: the file system cannot sync at all; there is nothing to wait for.
      result.failed = FileStep::kSync;
      result.error = errno;
    }
  }
  if (fclose(file) != 0 && result) {
    result.failed = FileStep::kClose;
    result.error = errno;
  }
  if (result && result.written != text.size()) result.failed = FileStep::kShort;
  return result;
}

std::string PendingName(const std::string& path) { return path + ".pending"; }

FileWrite ReplaceFile(const std::string& path, const std::string& text, NewFile how) {
  const std::string pending = PendingName(path);
  FileWrite result = WriteFileAnew(pending, text, how);
  if (result && std::rename(pending.c_str(), path.c_str()) != 0) {
    result.failed = FileStep::kRename;
    result.error = errno;
  }
  if (!result && result.failed != FileStep::kCreate) std::remove(pending.c_str());
  return result;
}

FileWrite ReplaceFileSafely(const std::string& path, const std::string& text) {
  const std::string pending = PendingName(path);
  const std::string backup = path + ".bak";
  // Nothing to make durable, so no write and no fsync (a normal start saves
  // the same text again). Leftovers of an interrupted replacement go, as a
  // rewrite would remove them.
  if (FileHoldsExactly(path, text)) {
    std::remove(pending.c_str());
    std::remove(backup.c_str());
    return {};
  }
  FileWrite result = WriteFileAnew(pending, text, NewFile{true});
  if (!result) {
    std::remove(pending.c_str());
    return result;
  }
  // Swap. Until the file has moved aside nothing needs undoing; once it has,
  // a failure puts the backup back.
  bool swapped = false;
  bool restore = false;
  if ((std::remove(backup.c_str()) == 0 || errno == ENOENT) &&
      (std::rename(path.c_str(), backup.c_str()) == 0 || errno == ENOENT)) {
    swapped = std::rename(pending.c_str(), path.c_str()) == 0;
    restore = !swapped;
  }
  if (swapped) {
    std::remove(backup.c_str());
  } else {
    std::remove(pending.c_str());
    if (restore) std::rename(backup.c_str(), path.c_str());
  }
  SyncDirectoryOf(path);
  if (!swapped) result.failed = FileStep::kSwap;
  return result;
}

bool FileHoldsExactly(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  const bool same = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    status.st_uid == geteuid() && (status.st_mode & 077) == 0 &&
                    static_cast<uint64_t>(status.st_size) == text.size() &&
                    ReadsExactly(fd, text);
  close(fd);
  return same;
}

FILE* OpenRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  return StreamOn(fd, "rb");
}

void SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
