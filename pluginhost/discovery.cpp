// Plugin discovery: candidate files from a directory, and their load order.
//
// The order decides which plugin loads first and, through the plugin table,
// the order of opening, delivery and reporting: files carrying the marker
// "Nvrxpr" anywhere in their path first, then paths compared element by
// element as byte strings.
#include <algorithm>
#include <cstring>

#include <boost/filesystem/operations.hpp>

#include "pluginhost/pluginhost.h"

namespace fs = boost::filesystem;

namespace {

constexpr const char* kOrderMarker = "Nvrxpr";

bool CarriesMarker(const fs::path& path) {
  return path.native().find(kOrderMarker) != std::string::npos;
}

// Byte-wise comparison of one path element (unsigned bytes, shorter first on a
// common prefix); std::string::compare uses char_traits<char>, which compares
// as unsigned char.
int CompareElement(const fs::path& a, const fs::path& b) {
  return a.native().compare(b.native());
}

}  // namespace

void FindPluginFiles(const fs::path& directory, const std::string& extension,
                     std::vector<fs::path>& candidates) {
  boost::system::error_code error;
  if (!fs::is_directory(directory, error) || error) return;

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
}

void SortPluginPaths(std::vector<fs::path>& candidates) {
  // The same order as PluginPathLess, with each path's key (marker, then its
  // elements) taken apart once instead of at every comparison.
  struct Keyed {
    bool marked;
    std::vector<std::string> elements;
    fs::path path;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(candidates.size());
  for (fs::path& path : candidates) {
    Keyed key{CarriesMarker(path), {}, std::move(path)};
    for (const fs::path& element : key.path) key.elements.push_back(element.native());
    keyed.push_back(std::move(key));
  }
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.marked != b.marked) return a.marked;
    return std::lexicographical_compare(a.elements.begin(), a.elements.end(), b.elements.begin(),
                                        b.elements.end());
  });
  candidates.clear();
  for (Keyed& key : keyed) candidates.push_back(std::move(key.path));
}

bool PluginPathLess(const fs::path& a, const fs::path& b) {
  bool aMarked = CarriesMarker(a);
  bool bMarked = CarriesMarker(b);
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
