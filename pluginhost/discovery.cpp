// Plugin discovery: candidate files from a directory, and their load order.
//
// The order decides which plugin loads first and, through the plugin table,
// the order of opening, delivery and reporting: files carrying the marker
// "Nvrxpr" anywhere in their path first, then paths compared element by
// element as byte strings.
//
// DESIGN: boost::filesystem::path defines what the elements of a path are
// and how a directory's entries are spelt, but taking paths apart with it
// costs several allocations per element, paid for every candidate at every
// start. Almost every path the core meets is plain: not empty, no repeated
// separator, no trailing one (see IsPlainPath). The elements of a plain path
// are the root "/" when it is absolute, then the text between separators, so
// scanning and comparing work on its text directly. Any other spelling (a
// directory named on the inspector's command line, say) goes through
// boost::filesystem itself, so that its peculiarities (root names, trailing
// "." elements, the spelling of entries) remain boost's own.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <boost/filesystem/operations.hpp>

#include "events/raise.h"
#include "pluginhost/discovery.h"
#include "pluginhost/testing.h"

namespace fs = boost::filesystem;

namespace {

constexpr const char* kOrderMarker = "Nvrxpr";

bool CarriesMarker(const std::string& text) {
  return text.find(kOrderMarker) != std::string::npos;
}

// Byte-wise comparison of one path element (unsigned bytes, shorter first on a
// common prefix); std::string::compare uses char_traits<char>, which compares
// as unsigned char.
int CompareElement(const fs::path& a, const fs::path& b) {
  return a.native().compare(b.native());
}

// Whether boost::filesystem takes `text` apart as described above: not
// empty, no "//" (which would also start a root name), no trailing separator
// (which adds a "." element) except in "/" itself. The first `known` bytes
// are known to hold no "//".
bool IsPlainPath(const std::string& text, size_t known = 0) {
  const size_t size = text.size();
  if (size == 0) return false;
  if (size > 1 && text[size - 1] == '/') return false;
  // A plain byte loop: string::find calls memchr and memcmp for every
  // separator, several times the cost on a path of a few dozen bytes.
  for (size_t i = std::max<size_t>(known, 1); i < size; i++) {
    if (text[i] == '/' && text[i - 1] == '/') return false;
  }
  return true;
}

// The scan through boost::filesystem, for directories that are not plain.
// boost reports neither a missing path nor one that is not a directory as an
// error, as FindPluginFiles wants.
boost::system::error_code FindThroughBoost(const fs::path& directory,
                                           const std::string& extension,
                                           std::vector<fs::path>& candidates) {
  boost::system::error_code error;
  if (!fs::is_directory(directory, error) || error) return error;

  fs::directory_iterator it(directory, error);
  for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
    try {
      boost::system::error_code statusError;
      fs::file_status status = it->status(statusError);  // follows links
      if (statusError || !fs::is_regular_file(status)) continue;
      const fs::path& path = it->path();
      if (path.filename().extension().native() != extension) continue;
      candidates.push_back(path);
    } catch (const std::exception&) {
      // One bad entry is skipped; the scan goes on.
    }
  }
  return error;
}

// Whether the last extension of the file name `name` (from its last dot;
// none without a dot) is exactly `extension`. Never called for "." or "..".
bool HasExtension(const char* name, const std::string& extension) {
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return extension.empty();
  return std::strcmp(dot, extension.c_str()) == 0;
}

// One candidate being sorted: the marker, and the text its order depends on.
struct SortKey {
  bool marked;
  const char* text;  // the path's text, or its element encoding
  size_t size;
  size_t index;  // its position in the unsorted candidates
};

// Element order of two plain paths from their text, both at least `from`
// bytes long and equal before it. A separator ends an element, so it sorts
// below every other byte; the leading "/" of an absolute path, though, is
// an element of its own, compared as text with a relative path's first.
bool PlainTextLess(const SortKey& a, const SortKey& b, size_t from) {
  const size_t common = std::min(a.size, b.size);
  size_t i = from;
  while (i < common && a.text[i] == b.text[i]) i++;
  if (i == common) return a.size < b.size;
  unsigned char ca = static_cast<unsigned char>(a.text[i]);
  unsigned char cb = static_cast<unsigned char>(b.text[i]);
  if (i > 0) {
    if (ca == '/') ca = 0;
    if (cb == '/') cb = 0;
  }
  return ca < cb;
}

// Byte order of two element encodings (each element followed by a NUL, which
// no element contains), equal before `from`: that is the element order.
bool EncodedLess(const SortKey& a, const SortKey& b, size_t from) {
  const size_t common = std::min(a.size, b.size);
  int c = std::memcmp(a.text + from, b.text + from, common - from);
  return c != 0 ? c < 0 : a.size < b.size;
}

// The length of the prefix that all keys share. Once it has shrunk to the
// folder, it rarely shrinks again: one memcmp per key tells so.
size_t CommonPrefix(const std::vector<SortKey>& keys) {
  if (keys.empty()) return 0;
  const char* first = keys.front().text;
  size_t length = keys.front().size;
  for (const SortKey& key : keys) {
    length = std::min(length, key.size);
    if (std::memcmp(key.text, first, length) == 0) continue;
    size_t i = 0;
    while (key.text[i] == first[i]) i++;
    length = i;
  }
  return length;
}

}  // namespace

boost::system::error_code FindPluginFiles(const fs::path& directory, const std::string& extension,
                                          std::vector<fs::path>& candidates) {
  const std::string& base = directory.native();
  if (!IsPlainPath(base)) return FindThroughBoost(directory, extension, candidates);
  // A missing folder is an installation without plugins of that kind, and a
  // file in its place has never been a folder of plugins: neither is a
  // failure. Anything else that keeps the folder closed (no permission for
  // the user the core runs as, descriptors used up) is, or the core would
  // start as if its plugins did not exist.
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) {
    const int why = errno;
    if (why == ENOENT || why == ENOTDIR) return {};
    return boost::system::error_code(why, boost::system::system_category());
  }
  // Each entry's path, as boost::filesystem spells it: the directory, one
  // separator, the entry's name. Built in place, so that only a candidate's
  // own copy allocates.
  std::string path = base;
  if (path != "/") path += '/';
  const size_t nameStart = path.size();
  // The 64-bit calls, as boost::filesystem makes them: on 32-bit ARM the
  // others fail on large inode numbers.
  // readdir64 tells the end from a failing read by errno alone.
  int readError = 0;
  for (;;) {
    errno = 0;
    const dirent64* entry = readdir64(dir);
    if (entry == nullptr) {
      readError = errno;  // a failing read ends the scan, keeping what it found
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!HasExtension(name, extension)) continue;
    try {
      path.resize(nameStart);
      path += name;
      struct stat64 status;  // stat follows links
      if (stat64(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
      candidates.emplace_back(path);
    } catch (const std::exception&) {
      // One bad entry is skipped; the scan goes on.
    }
  }
  closedir(dir);
  if (readError == 0) return {};
  return boost::system::error_code(readError, boost::system::system_category());
}

std::vector<UnreadableFolder> FindCorePluginFiles(const fs::path& directory,
                                                  std::vector<fs::path>& candidates) {
  std::vector<UnreadableFolder> unreadable;
  for (const char* folder : {"plugins", "protected-plugins"}) {
    fs::path path = directory / folder;
    const boost::system::error_code error = FindPluginFiles(path, kPluginExtension, candidates);
    if (error) unreadable.push_back({std::move(path), error});
  }
  SortPluginPaths(candidates);
  return unreadable;
}

void SortPluginPaths(std::vector<fs::path>& candidates) {
  // The same order as PluginPathLess, with each path's key worked out once,
  // and comparisons starting after the prefix all candidates share (their
  // plugin folder, as a rule).
  std::vector<SortKey> keys;
  keys.reserve(candidates.size());
  for (size_t i = 0; i < candidates.size(); i++) {
    const std::string& text = candidates[i].native();
    keys.push_back({CarriesMarker(text), text.data(), text.size(), i});
  }
  size_t from = CommonPrefix(keys);
  // Past the first path, only what follows the shared prefix needs a look.
  bool plain = true;
  for (size_t i = 0; plain && i < candidates.size(); i++) {
    plain = IsPlainPath(candidates[i].native(), i == 0 ? 0 : from);
  }
  std::vector<std::string> encodings;  // only for paths that are not all plain
  if (!plain) {
    encodings.reserve(candidates.size());
    for (SortKey& key : keys) {
      std::string& encoding = encodings.emplace_back();
      for (const fs::path& element : candidates[key.index]) {
        encoding += element.native();
        encoding += '\0';
      }
      key.text = encoding.data();
      key.size = encoding.size();
    }
    from = CommonPrefix(keys);
  }
  std::sort(keys.begin(), keys.end(), [plain, from](const SortKey& a, const SortKey& b) {
    if (a.marked != b.marked) return a.marked;
    return plain ? PlainTextLess(a, b, from) : EncodedLess(a, b, from);
  });

  std::vector<fs::path> sorted;
  sorted.reserve(candidates.size());
  for (const SortKey& key : keys) sorted.push_back(std::move(candidates[key.index]));
  candidates.swap(sorted);
}

bool PluginPathLess(const fs::path& a, const fs::path& b) {
  bool aMarked = CarriesMarker(a.native());
  bool bMarked = CarriesMarker(b.native());
  if (aMarked != bMarked) return aMarked;
  // Marked candidates among themselves follow the same element order, so the
  // ordering stays strict and weak.
  auto ai = a.begin(), bi = b.begin();
  for (; ai != a.end() && bi != b.end(); ++ai, ++bi) {
    int c = CompareElement(*ai, *bi);
    if (c != 0) return c < 0;
  }
  return ai == a.end() && bi != b.end();
}

std::string PluginFileName(const fs::path& path) {
  const std::string& text = path.native();
  // Without a trailing separator (a "." element, or the root) and a root name
  // ("//host"), the last element is the text after the last separator.
  const size_t size = text.size();
  if (size == 0 || text[size - 1] == '/' || (size > 1 && text[0] == '/' && text[1] == '/')) {
    return path.filename().string();
  }
  const char* separator = static_cast<const char*>(memrchr(text.data(), '/', size));
  const size_t start = separator == nullptr ? 0 : separator - text.data() + 1;
  return std::string(text, start);
}
