// Parser of the test plugin's record files.
#include "tests/support/plugin_record.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_dir.h"

namespace dvrtest {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes a quoted value starting at line[at] (the opening quote); leaves `at`
// after the closing quote. False on a malformed value.
bool ReadQuoted(const std::string& line, size_t& at, std::string& value) {
  value.clear();
  for (at++; at < line.size(); at++) {
    char c = line[at];
    if (c == '"') {
      at++;
      return true;
    }
    if (c != '\\') {
      value += c;
      continue;
    }
    if (++at == line.size()) return false;
    switch (line[at]) {
      case '"': value += '"'; break;
      case '\\': value += '\\'; break;
      case 'n': value += '\n'; break;
      case 'r': value += '\r'; break;
      case 't': value += '\t'; break;
      case 'x': {
        if (at + 2 >= line.size()) return false;
        int high = HexDigit(line[at + 1]);
        int low = HexDigit(line[at + 2]);
        if (high < 0 || low < 0) return false;
        value += static_cast<char>(high * 16 + low);
        at += 2;
        break;
      }
      default: return false;
    }
  }
  return false;
}

bool ParseLine(const std::string& line, PluginCall& call) {
  call.line = line;
  size_t at = line.find(' ');
  call.word = line.substr(0, at);
  while (at != std::string::npos && at < line.size()) {
    at++;
    size_t equals = line.find('=', at);
    if (equals == std::string::npos) return false;
    PluginCall::Field field;
    field.key = line.substr(at, equals - at);
    at = equals + 1;
    if (at < line.size() && line[at] == '"') {
      field.quoted = true;
      if (!ReadQuoted(line, at, field.value)) return false;
    } else {
      size_t end = line.find(' ', at);
      field.value = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end;
    }
    call.fields.push_back(std::move(field));
    if (at != std::string::npos && at < line.size() && line[at] != ' ') return false;
  }
  return true;
}

const PluginCall::Field* FindField(const PluginCall& call, const std::string& key) {
  for (const auto& field : call.fields) {
    if (field.key == key) return &field;
  }
  return nullptr;
}

}  // namespace

bool PluginCall::Has(const std::string& key) const { return FindField(*this, key) != nullptr; }

std::string PluginCall::Get(const std::string& key) const {
  const auto* field = FindField(*this, key);
  return field ? field->value : std::string();
}

int64_t PluginCall::Number(const std::string& key) const {
  const auto* field = FindField(*this, key);
  if (field == nullptr) {
    ADD_FAILURE() << "no field " << key << " in: " << line;
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(field->value.c_str(), &end, 0);
  if (errno != 0 || field->value.empty() || *end != '\0') {
    ADD_FAILURE() << "field " << key << " is not a number in: " << line;
  }
  return value;
}

std::optional<std::string> PluginCall::Data() const {
  const auto* field = FindField(*this, "data");
  if (field == nullptr || !field->quoted) return std::nullopt;
  return field->value;
}

std::vector<PluginCall> ParsePluginRecord(const std::string& text) {
  std::vector<PluginCall> calls;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    PluginCall call;
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!ParseLine(line, call)) {
      ADD_FAILURE() << "malformed plugin record line: " << line;
      continue;
    }
    if (call.word == "config-error") ADD_FAILURE() << "test plugin rejected its configuration: " << line;
    calls.push_back(std::move(call));
  }
  return calls;
}

std::vector<PluginCall> TestPlugin::Calls() const { return ParsePluginRecord(ReadTextFile(eventsPath)); }

std::vector<PluginCall> TestPlugin::Calls(const std::string& word) const {
  std::vector<PluginCall> matching;
  for (PluginCall& call : Calls()) {
    if (call.word == word) matching.push_back(std::move(call));
  }
  return matching;
}

bool TestPlugin::WaitUntil(const std::function<bool(const std::vector<PluginCall>&)>& done,
                           std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (done(Calls())) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the record " << eventsPath << " did not reach the expected state within "
                << timeout.count() << " ms:\n"
                << ReadTextFile(eventsPath);
  return false;
}

std::optional<PluginCall> TestPlugin::WaitFor(const std::function<bool(const PluginCall&)>& match,
                                              std::chrono::milliseconds timeout) const {
  std::optional<PluginCall> found;
  WaitUntil(
      [&](const std::vector<PluginCall>& calls) {
        for (const PluginCall& call : calls) {
          if (match(call)) {
            found = call;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

std::optional<PluginCall> TestPlugin::WaitFor(const std::string& word,
                                              std::chrono::milliseconds timeout) const {
  return WaitFor([&word](const PluginCall& call) { return call.word == word; }, timeout);
}

bool TestPlugin::WaitForCount(const std::string& word, size_t count,
                              std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [&](const std::vector<PluginCall>& calls) {
        return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const PluginCall& call) {
                 return call.word == word;
               })) >= count;
      },
      timeout);
}

}  // namespace dvrtest
