// Finding plugin files in the plugin directories and putting them in the
// order the core loads them. Main thread (and the inspection tool).
#ifndef DVRCORE_PLUGINHOST_DISCOVERY_H
#define DVRCORE_PLUGINHOST_DISCOVERY_H

#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// The extension of plugin files in the plugin directories.
constexpr const char* kPluginExtension = ".so";

// Appends every regular file (after following links) of `directory` whose last
// extension is exactly `extension` to `candidates`. A missing directory, or
// a path that is not a directory, adds nothing and is no error; a bad entry
// is skipped. Returns why the directory could not be opened or read to the
// end (a failing scan keeps what it found so far), or no error.
boost::system::error_code FindPluginFiles(const boost::filesystem::path& directory,
                                          const std::string& extension,
                                          std::vector<boost::filesystem::path>& candidates);

// Sorts candidates into their order (paths containing the marker "Nvrxpr"
// first, then element by element, byte-wise), working out each path's key
// only once.
void SortPluginPaths(std::vector<boost::filesystem::path>& candidates);

// A plugin folder that could not be read, and why.
struct UnreadableFolder {
  boost::filesystem::path folder;
  boost::system::error_code error;
};

// The plugin files of the core whose executable lies in `directory`, in the
// order it loads them: the ".so" files of its folders "plugins" and
// "protected-plugins", sorted as SortPluginPaths does. Appends them to
// `candidates` (and sorts the whole list); returns the folders that could not
// be read, in scanning order. The core and the inspection tool both take
// their list from here, so that the tool shows the order the core uses.
std::vector<UnreadableFolder> FindCorePluginFiles(const boost::filesystem::path& directory,
                                                  std::vector<boost::filesystem::path>& candidates);

// The last element of `path`, as path.filename() gives it, without building
// paths for the common case.
std::string PluginFileName(const boost::filesystem::path& path);

#endif  // DVRCORE_PLUGINHOST_DISCOVERY_H
