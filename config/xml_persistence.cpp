// XML persistence: the error state of XmlDocument, the safe save through
// ".pending" and ".bak" files, the load that falls back to the backup and
// promotes it, and the replacing save of a report. The files themselves are
// written and replaced by sys/files.h; what is left here is XML.
#include "config/xml_persistence.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "sys/files.h"

namespace {

enum class FileLoad { kLoaded, kMissingOrBroken, kUnopenable };

// Loads a named file with the library's load from an open file (which calls
// the virtual Parse, so the depth limit applies). Anything but a regular file
// cannot be opened: the library sizes its buffer by seeking to the end, which
// for a directory can ask for an absurd amount of memory. A file too large for
// memory is as unreadable as a missing one, and one without a root element
// (a declaration or a comment alone) is not a document.
FileLoad LoadRegularFile(XmlDocument& document, const std::string& fileName) {
  document.ClearErrorState();  // the library would keep an earlier error
  FILE* file = OpenRegularFile(fileName);
  if (file == nullptr) {
    const int error = errno;
    document.SetErrorState(TiXmlBase::TIXML_ERROR_OPENING_FILE,
                           error == EINVAL ? "not a regular file" : std::strerror(error));
    return error == ENOENT || error == ENOTDIR ? FileLoad::kMissingOrBroken : FileLoad::kUnopenable;
  }
  bool loaded = false;
  try {
    loaded = document.LoadFile(file);
  } catch (const std::bad_alloc&) {
    document.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr,
                      TIXML_ENCODING_UNKNOWN);
  }
  fclose(file);
  if (loaded && document.RootElement() == nullptr) {
    document.SetError(TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, nullptr, nullptr,
                      TIXML_ENCODING_UNKNOWN);
    loaded = false;
  }
  return loaded ? FileLoad::kLoaded : FileLoad::kMissingOrBroken;
}

// A failed save's words, as the core has always logged them ("create error
// 13"); the error number itself travels beside them (XmlDocument::SystemError).
std::string SaveFailureText(const FileWrite& write, size_t size) {
  switch (write.failed) {
    case FileStep::kCreate:
      return "create error " + std::to_string(write.error);
    case FileStep::kClose:
      return "close error " + std::to_string(write.error);
    case FileStep::kShort:
      return "only wrote " + std::to_string(write.written) + " of " + std::to_string(size) +
             " bytes";
    case FileStep::kSwap:
      return "xml file swap failed";
    default:
      return "write error " + std::to_string(write.error);
  }
}

}  // namespace

bool XmlDocument::Error() const { return ownErrorId_ != 0 || TiXmlDocument::Error(); }

int XmlDocument::ErrorId() const {
  return ownErrorId_ != 0 ? ownErrorId_ : TiXmlDocument::ErrorId();
}

const char* XmlDocument::ErrorDesc() const {
  return ownErrorId_ != 0 ? ownErrorDesc_.c_str() : TiXmlDocument::ErrorDesc();
}

void XmlDocument::SetErrorState(int id, const std::string& description, int systemError) {
  TiXmlDocument::ClearError();
  // The library asserts that its ids are in range; row and column stay unknown.
  const bool libraryId = id > TIXML_NO_ERROR && id < TIXML_ERROR_STRING_COUNT;
  TiXmlDocument::SetError(libraryId ? id : TIXML_ERROR, nullptr, nullptr,
                          TIXML_ENCODING_UNKNOWN);
  ownErrorId_ = id;
  ownErrorDesc_ = description;
  systemError_ = systemError;
}

void XmlDocument::ClearErrorState() {
  TiXmlDocument::ClearError();
  ownErrorId_ = 0;
  ownErrorDesc_.clear();
  systemError_ = kNoSystemError;
}

bool SaveFileSafely(XmlDocument& document, const char* fileName) {
  const std::string text = PrintFileLayout(document);
  const FileWrite saved = ReplaceFileSafely(fileName, text);
  if (saved) return true;
  const bool numbered = saved.failed != FileStep::kShort && saved.failed != FileStep::kSwap;
  document.SetErrorState(TiXmlBase::TIXML_ERROR_OPENING_FILE, SaveFailureText(saved, text.size()),
                         numbered ? saved.error : XmlDocument::kNoSystemError);
  return false;
}

bool LoadFileOrBackup(XmlDocument& document, const char* fileName, std::string* leftAlone) {
  const std::string file = fileName;
  const std::string backup = file + ".bak";
  if (leftAlone) leftAlone->clear();
  const FileLoad main = LoadRegularFile(document, file);
  if (main == FileLoad::kLoaded) {
    std::remove(backup.c_str());
    return true;
  }
  const FileLoad fallback =
      main == FileLoad::kUnopenable ? FileLoad::kUnopenable : LoadRegularFile(document, backup);
  if (fallback == FileLoad::kLoaded) {
    std::remove(file.c_str());
    std::rename(backup.c_str(), file.c_str());
    return true;
  }
  if (leftAlone && fallback == FileLoad::kUnopenable) {
    *leftAlone = main == FileLoad::kUnopenable ? file : backup;
  }
  return false;
}

bool SaveFileReplacing(const TiXmlDocument& document, const char* fileName,
                       std::string& failure) {
  // Printed first, so that a file that already holds the text is left as it
  // is, as the safe save leaves one. A start with the same plugins then
  // writes nothing, which spares a device's flash, and on ext4 a rename over
  // a file just written waits for its blocks to be written.
  const std::string text = PrintFileLayout(document);
  if (FileHoldsExactly(fileName, text)) {
    std::remove(PendingName(fileName).c_str());
    return true;
  }
  const FileWrite replaced = ReplaceFile(fileName, text);
  if (!replaced) failure = std::strerror(replaced.Errno());
  return static_cast<bool>(replaced);
}
