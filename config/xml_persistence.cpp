// XML persistence: the depth-limited parse of XmlDocument, the safe save
// through ".pending" and ".bak" files, the load that falls back to the backup
// and promotes it, and the two print layouts.
//
// DESIGN (depth scan): TinyXML parses an element by reading its start tag and
// then its content, calling itself for every child element; every other node
// (text, comment, CDATA, declaration, unknown tag) is read flat. The scan below
// keeps that shape but replaces the recursion by a stack of open end tags, and
// reads everything else with the library's own functions (white space, names,
// attributes, the leaf node parsers), so it stops exactly where the parser
// would stop and counts exactly the children the parser would create. Where
// the library reports an error the scan stops and lets the library report it:
// the parser never gets deeper than the scan has checked.
//
// DESIGN (save): the new text goes to F.pending, is flushed to the disk, and
// only then replaces F by renames, the old F waiting as F.bak until the new
// one is in place. Renames inside one directory reach the disk in the order
// they were made on the journalling file systems the recorder uses, so after a
// crash or a power loss F or F.bak holds a complete document; the directory is
// synced at the end so that the outcome itself survives a power loss.
#include "config/xml_persistence.h"
#include "config/testing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "sys/utf8.h"

namespace {

// TinyXML's tokenising functions are protected statics of TiXmlBase; this
// class only makes them reachable. Never instantiated.
class Tokens : public TiXmlBase {
 public:
  using TiXmlBase::IsAlpha;
  using TiXmlBase::ReadName;
  using TiXmlBase::SkipWhiteSpace;
  using TiXmlBase::StringEqual;
};

// The library steps over a multi-byte UTF-8 sequence as a whole, even when the
// text ends inside it, and then reads up to three bytes past the terminating
// zero. Every text is therefore scanned and parsed from a copy followed by that
// many more zeros.
constexpr size_t kOverreadPadding = 3;

std::string PaddedCopy(const char* text) {
  std::string copy(text);
  copy.append(kOverreadPadding, '\0');
  return copy;
}

enum class NodeKind { kNone, kDeclaration, kComment, kCData, kUnknown, kElement };

// TiXmlNode::Identify's decision (protected in the library), without the node.
NodeKind Identify(const char* p, TiXmlEncoding encoding) {
  p = Tokens::SkipWhiteSpace(p, encoding);
  if (!p || *p != '<') return NodeKind::kNone;
  if (Tokens::StringEqual(p, "<?xml", true, encoding)) return NodeKind::kDeclaration;
  if (Tokens::StringEqual(p, "<!--", false, encoding)) return NodeKind::kComment;
  if (Tokens::StringEqual(p, "<![CDATA[", false, encoding)) return NodeKind::kCData;
  if (Tokens::StringEqual(p, "<!", false, encoding)) return NodeKind::kUnknown;
  if (Tokens::IsAlpha(static_cast<unsigned char>(p[1]), encoding) || p[1] == '_') {
    return NodeKind::kElement;
  }
  return NodeKind::kUnknown;
}

// The encoding that TiXmlDocument::Parse adopts after a top-level declaration.
TiXmlEncoding DeclaredEncoding(const TiXmlDeclaration& declaration) {
  const char* name = declaration.Encoding();
  if (*name == 0 || Tokens::StringEqual(name, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
      Tokens::StringEqual(name, "UTF8", true, TIXML_ENCODING_UNKNOWN)) {
    return TIXML_ENCODING_UTF8;
  }
  return TIXML_ENCODING_LEGACY;
}

// Reads one node that cannot contain others with the library's parser for it.
// Returns where the library goes on, null after its error. A declaration at
// the top level may set `encoding`, as it does in the library.
const char* ReadLeaf(NodeKind kind, const char* p, bool topLevel, TiXmlEncoding& encoding) {
  switch (kind) {
    case NodeKind::kDeclaration: {
      TiXmlDeclaration declaration;
      p = declaration.Parse(p, nullptr, encoding);
      if (topLevel && encoding == TIXML_ENCODING_UNKNOWN) encoding = DeclaredEncoding(declaration);
      return p;
    }
    case NodeKind::kComment: {
      TiXmlComment comment;
      return comment.Parse(p, nullptr, encoding);
    }
    case NodeKind::kCData: {
      TiXmlText cdata("");
      cdata.SetCDATA(true);
      return cdata.Parse(p, nullptr, encoding);
    }
    default: {
      TiXmlUnknown unknown;
      return unknown.Parse(p, nullptr, encoding);
    }
  }
}

// Reads an element's start tag as TiXmlElement::Parse does. Returns the
// position after it, or null where the library reports an error. For a start
// tag that opens content ("<a ...>", not "<a .../>") the element's end tag
// "</a" is pushed onto `openEndTags`.
const char* ReadStartTag(const char* p, TiXmlEncoding encoding,
                         std::vector<std::string>& openEndTags) {
  p = Tokens::SkipWhiteSpace(p, encoding);
  if (!p || *p != '<') return nullptr;
  std::string name;
  p = Tokens::ReadName(Tokens::SkipWhiteSpace(p + 1, encoding), &name, encoding);
  if (!p || !*p) return nullptr;
  std::vector<std::string> attributeNames;  // the library refuses a repeated name
  for (;;) {
    p = Tokens::SkipWhiteSpace(p, encoding);
    if (!p || !*p) return nullptr;
    if (*p == '/') return p[1] == '>' ? p + 2 : nullptr;
    if (*p == '>') {
      openEndTags.push_back("</" + name);
      return p + 1;
    }
    TiXmlAttribute attribute;
    p = attribute.Parse(p, nullptr, encoding);
    if (!p || !*p) return nullptr;
    if (std::find(attributeNames.begin(), attributeNames.end(), attribute.NameTStr()) !=
        attributeNames.end()) {
      return nullptr;
    }
    attributeNames.push_back(attribute.NameTStr());
  }
}

// The depth scan over a padded text; see XmlDepthWithinLimit.
bool ScanDepth(const char* text, int maxDepth, TiXmlEncoding encoding) {
  if (!*text) return true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (encoding == TIXML_ENCODING_UNKNOWN && bytes[0] == 0xEF && bytes[1] == 0xBB &&
      bytes[2] == 0xBF) {
    encoding = TIXML_ENCODING_UTF8;  // the library's byte-order-mark detection
  }
  // End tags of the elements whose content is being read, innermost last; the
  // size is the level of the innermost one (the root element is level 1).
  std::vector<std::string> openEndTags;
  const char* p = Tokens::SkipWhiteSpace(text, encoding);
  const char* withWhiteSpace = p;  // where the text of an element's content starts
  while (p && *p) {
    if (openEndTags.empty()) {
      // Document level: its nodes are not counted; text ends the parse.
      const NodeKind kind = Identify(p, encoding);
      if (kind == NodeKind::kNone) return true;
      p = kind == NodeKind::kElement ? ReadStartTag(p, encoding, openEndTags)
                                     : ReadLeaf(kind, p, true, encoding);
    } else if (*p != '<') {
      TiXmlText textNode("");
      p = textNode.Parse(TiXmlBase::IsWhiteSpaceCondensed() ? p : withWhiteSpace, nullptr,
                         encoding);
    } else if (Tokens::StringEqual(p, "</", false, encoding)) {
      // The content ends at any end tag; only the open element's own one is valid.
      const std::string& endTag = openEndTags.back();
      if (!Tokens::StringEqual(p, endTag.c_str(), false, encoding)) return true;
      p = Tokens::SkipWhiteSpace(p + endTag.size(), encoding);
      if (!p || *p != '>') return true;
      ++p;
      openEndTags.pop_back();
    } else {
      // A child that begins with '<': counted from the open element up
      // through its ancestors to the document node.
      if (static_cast<int>(openEndTags.size()) + 1 > maxDepth) return false;
      const NodeKind kind = Identify(p, encoding);
      p = kind == NodeKind::kElement ? ReadStartTag(p, encoding, openEndTags)
                                     : ReadLeaf(kind, p, false, encoding);
    }
    withWhiteSpace = p;
    p = Tokens::SkipWhiteSpace(p, encoding);
  }
  return true;
}

enum class FileLoad { kLoaded, kMissingOrBroken, kUnopenable };

// Opens `fileName` for reading or, with `write`, creating or truncating it,
// without ever blocking: a FIFO would otherwise wait for its other end
// forever (and a FIFO without a reader refuses a writer with ENXIO). Reading
// takes regular files only (errno EINVAL for anything else). Returns the
// stream, or null with errno set.
FILE* OpenWithoutBlocking(const std::string& fileName, bool write) {
  const int flags = write ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
  const int fd = open(fileName.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat status;
  if (!write && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE* file = fdopen(fd, write ? "wb" : "rb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

// Loads a named file with the library's load from an open file (which calls
// the virtual Parse, so the depth limit applies). Anything but a regular file
// cannot be opened: the library sizes its buffer by seeking to the end, which
// for a directory can ask for an absurd amount of memory. A file too large for
// memory is as unreadable as a missing one, and one without a root element
// (a declaration or a comment alone) is not a document.
FileLoad LoadRegularFile(XmlDocument& document, const std::string& fileName) {
  document.ClearErrorState();  // the library would keep an earlier error
  FILE* file = OpenWithoutBlocking(fileName, false);
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

// Makes the renames in the directory of `fileName` durable. Failures are
// ignored: the renames themselves have been done, and there is nobody to tell.
void SyncDirectoryOf(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : fileName.substr(0, slash);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Creates `fileName` anew for writing: whatever had the name goes first, and
// the file is made exclusively, without following a link, so that a link
// placed under the name never leads the write to its target. Null with errno
// set on failure.
FILE* CreateAnew(const std::string& fileName) {
  if (unlink(fileName.c_str()) != 0 && errno != ENOENT) return nullptr;
  const int fd = open(fileName.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

// Writes `text` to `fileName`, created anew, and forces it to the disk.
// Returns the failure text, empty on success.
std::string WritePendingFile(const std::string& fileName, const std::string& text) {
  FILE* file = CreateAnew(fileName);
  if (!file) return "create error " + std::to_string(errno);
  std::string failure;
  const size_t written = fwrite(text.data(), 1, text.size(), file);
  if (fflush(file) != 0 || ferror(file)) {
    failure = "write error " + std::to_string(errno);
  } else if (fsync(fileno(file)) != 0 && errno != EINVAL) {
    // EINVAL: the file system cannot sync at all; there is nothing to wait for.
    failure = "write error " + std::to_string(errno);
  }
  if (fclose(file) != 0 && failure.empty()) failure = "close error " + std::to_string(errno);
  if (failure.empty() && written != text.size()) {
    failure = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) +
              " bytes";
  }
  return failure;
}

// Whether `fileName` is a regular file (not a link to one) of this process's
// user, for that user alone, holding exactly `text`: then a rewrite would
// leave what is there. A file of another user (written before privileges
// were dropped, say) or one others may read or write is rewritten, so that
// it becomes what a save makes it: this user's, mode 0600 under the core's
// umask. Anything unreadable counts as different, so that it is written.
bool HoldsExactly(const std::string& fileName, const std::string& text) {
  const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  bool same = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
              status.st_uid == geteuid() && (status.st_mode & 077) == 0 &&
              static_cast<uint64_t>(status.st_size) == text.size();
  if (same) {
    // One byte more than expected, so that a file that grew meanwhile differs.
    std::string content(text.size() + 1, '\0');
    size_t got = 0;
    for (ssize_t n; got < content.size() &&
                    (n = read(fd, &content[got], content.size() - got)) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        got = 0;
        break;
      }
      got += static_cast<size_t>(n);
    }
    same = got == text.size() && content.compare(0, got, text) == 0;
  }
  close(fd);
  return same;
}

}  // namespace

bool XmlDepthWithinLimit(const char* text, int maxDepth, TiXmlEncoding encoding) {
  return !text || ScanDepth(PaddedCopy(text).c_str(), maxDepth, encoding);
}

const char* XmlDocument::Parse(const char* p, TiXmlParsingData* data, TiXmlEncoding encoding) {
  ClearErrorState();
  if (!p) return TiXmlDocument::Parse(p, data, encoding);
  const std::string text = PaddedCopy(p);
  if (!ScanDepth(text.c_str(), maxParseDepth, encoding)) {
    SetErrorState(TIXML_ERROR_NESTED_TOO_DEEPLY, kNestedTooDeeplyText);
    return nullptr;
  }
  const char* end = TiXmlDocument::Parse(text.c_str(), data, encoding);
  if (!end) return nullptr;
  // The caller's pointer, never beyond the caller's terminating zero.
  const size_t length = text.size() - kOverreadPadding;
  return p + std::min(static_cast<size_t>(end - text.c_str()), length);
}

bool XmlDocument::Error() const { return ownErrorId_ != 0 || TiXmlDocument::Error(); }

int XmlDocument::ErrorId() const {
  return ownErrorId_ != 0 ? ownErrorId_ : TiXmlDocument::ErrorId();
}

const char* XmlDocument::ErrorDesc() const {
  return ownErrorId_ != 0 ? ownErrorDesc_.c_str() : TiXmlDocument::ErrorDesc();
}

void XmlDocument::SetErrorState(int id, const std::string& description) {
  TiXmlDocument::ClearError();
  // The library asserts that its ids are in range; row and column stay unknown.
  const bool libraryId = id > TIXML_NO_ERROR && id < TIXML_ERROR_STRING_COUNT;
  TiXmlDocument::SetError(libraryId ? id : TIXML_ERROR, nullptr, nullptr,
                          TIXML_ENCODING_UNKNOWN);
  ownErrorId_ = id;
  ownErrorDesc_ = description;
}

void XmlDocument::ClearErrorState() {
  TiXmlDocument::ClearError();
  ownErrorId_ = 0;
  ownErrorDesc_.clear();
}

bool SaveFileSafely(XmlDocument& document, const char* fileName) {
  const std::string text = PrintFileLayout(document);
  const std::string file = fileName;
  const std::string pending = file + ".pending";
  const std::string backup = file + ".bak";

  // A file that already holds the text is left as it is: nothing to make
  // durable, so no write and no fsync (a normal start saves the same text
  // again). Leftovers of an interrupted save go, as a rewrite would remove
  // them.
  if (HoldsExactly(file, text)) {
    std::remove(pending.c_str());
    std::remove(backup.c_str());
    return true;
  }

  const std::string failure = WritePendingFile(pending, text);
  if (!failure.empty()) {
    std::remove(pending.c_str());
    document.SetErrorState(TiXmlBase::TIXML_ERROR_OPENING_FILE, failure);
    return false;
  }

  // Swap. Until F has moved aside nothing needs undoing; once it has, a
  // failure puts the backup back.
  bool swapped = false;
  bool restore = false;
  if ((std::remove(backup.c_str()) == 0 || errno == ENOENT) &&
      (std::rename(file.c_str(), backup.c_str()) == 0 || errno == ENOENT)) {
    swapped = std::rename(pending.c_str(), file.c_str()) == 0;
    restore = !swapped;
  }
  if (swapped) {
    std::remove(backup.c_str());
  } else {
    std::remove(pending.c_str());
    if (restore) std::rename(backup.c_str(), file.c_str());
  }
  SyncDirectoryOf(file);
  if (swapped) return true;
  document.SetErrorState(TiXmlBase::TIXML_ERROR_OPENING_FILE, "xml file swap failed");
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

bool ReplaceFile(const char* fileName, const std::string& text, std::string& failure,
                 int mode) {
  const std::string pending = std::string(fileName) + ".pending";
  FILE* file = CreateAnew(pending);
  if (file == nullptr) {
    failure = std::strerror(errno);
    return false;
  }
  errno = 0;
  // On the open file, before the rename: a reader never finds F with the
  // mask's mode in between, and no other file by the name can be changed.
  bool saved = (mode < 0 || fchmod(fileno(file), static_cast<mode_t>(mode)) == 0) &&
               fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0 &&
               !ferror(file);
  int error = saved ? 0 : (errno != 0 ? errno : EIO);
  if (fclose(file) != 0 && saved) {
    saved = false;
    error = errno;
  }
  if (saved && std::rename(pending.c_str(), fileName) != 0) {
    saved = false;
    error = errno;
  }
  if (!saved) {
    std::remove(pending.c_str());
    failure = std::strerror(error);
  }
  return saved;
}

bool SaveFileReplacing(const TiXmlDocument& document, const char* fileName,
                       std::string& failure) {
  // Printed first, so that a file that already holds the text is left as it
  // is, as the safe save leaves one. A start with the same plugins then
  // writes nothing, which spares a device's flash, and on ext4 a rename over
  // a file just written waits for its blocks to be written.
  const std::string text = PrintFileLayout(document);
  if (HoldsExactly(fileName, text)) {
    std::remove((std::string(fileName) + ".pending").c_str());
    return true;
  }
  return ReplaceFile(fileName, text, failure);
}

std::string XmlAttributeText(const std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::string held;
  held.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t c = 0;
    const size_t size = DecodeUtf8(text.data() + i, text.size() - i, c);
    const bool xmlChar =
        c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c != 0xFFFE && c != 0xFFFF);
    if (size == 0 || !xmlChar) {
      held += kReplacement;
      i += size == 0 ? 1 : size;
    } else {
      held.append(text, i, size);
      i += size;
    }
  }
  return held;
}

std::string PrintFileLayout(const TiXmlNode& node) {
  TiXmlPrinter printer;
  printer.SetIndent("    ");
  printer.SetLineBreak("\n");
  node.Accept(&printer);
  return printer.Str();
}

std::string PrintCompact(const TiXmlNode& node) {
  std::string text;
  text << node;
  return text;
}
