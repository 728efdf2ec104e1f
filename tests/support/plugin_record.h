// Reading what a copy of the test plugin (tests/plugins/test_plugin.cpp)
// recorded in its "<stem>.events" file: one line per call it received and per
// action it did, "<word> key=value ...".
#ifndef DVRCORE_TESTS_SUPPORT_PLUGIN_RECORD_H
#define DVRCORE_TESTS_SUPPORT_PLUGIN_RECORD_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dvrtest {

// One recorded line.
struct PluginCall {
  struct Field {
    std::string key;
    std::string value;   // decoded
    bool quoted = false;  // a data text, as opposed to a word such as null
  };
  std::string word;  // "load", "write", "raised", ...
  std::vector<Field> fields;  // in line order

  bool Has(const std::string& key) const;
  // The decoded value; an empty string when absent.
  std::string Get(const std::string& key) const;
  // A decimal or 0x-hex field as a number; fails the test when absent or malformed.
  int64_t Number(const std::string& key) const;
  // The data bytes; nullopt when the data pointer was null or the field is absent.
  std::optional<std::string> Data() const;
  // The line as read, for failure messages.
  std::string line;
};

// Parses the contents of an .events file. Only complete lines count. A
// "config-error" line fails the test: the plugin refused its configuration.
std::vector<PluginCall> ParsePluginRecord(const std::string& text);

// One installed copy of the test plugin.
struct TestPlugin {
  std::string path;        // the .so
  std::string configPath;  // <stem>.conf
  std::string eventsPath;  // <stem>.events

  std::vector<PluginCall> Calls() const;
  // Calls whose word is `word`, in record order.
  std::vector<PluginCall> Calls(const std::string& word) const;
  // Bounded waits; each fails the test on timeout, showing the record.
  // Until `done` holds for the whole record.
  bool WaitUntil(const std::function<bool(const std::vector<PluginCall>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // The first recorded line that satisfies `match`.
  std::optional<PluginCall> WaitFor(const std::function<bool(const PluginCall&)>& match,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  std::optional<PluginCall> WaitFor(const std::string& word,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // Until at least `count` lines have the word `word`.
  bool WaitForCount(const std::string& word, size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
};

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_PLUGIN_RECORD_H
