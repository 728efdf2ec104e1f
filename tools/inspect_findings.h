// Where an inspecting child of dvrcore-inspect puts what it learns: lines on
// stdout for a person, or records for the tool's JSON document (see DESIGN
// in dvrcore_inspect.cpp).
#ifndef DVRCORE_TOOLS_INSPECT_FINDINGS_H
#define DVRCORE_TOOLS_INSPECT_FINDINGS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace dvrinspect {

// Any thread: a plugin may log from threads of its own.
class Findings {
 public:
  // `recordFd` is the memory file for JSON records, or -1 for text.
  explicit Findings(int recordFd) : recordFd_(recordFd) {}

  bool Json() const { return recordFd_ >= 0; }
  // A line of the text report only.
  void Line(const std::string& line) {
    if (!Json()) std::printf("%s\n", line.c_str());  // one printf per line: no interleaving
  }
  // A member of the file's JSON object only.
  void Member(const char* key, const std::string& json) {
    if (!Json()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Record(key, json);
  }
  // One fact in both forms.
  void Add(const char* key, const std::string& line, const std::string& json) {
    Line(line);
    Member(key, json);
  }

  // A message raised through the dispatch: the core's own, or a plugin's log.
  void Message(uint32_t sourceId, unsigned level, const char* text);

  // The key of the records that the parent gathers into "messages".
  static constexpr const char* kMessageKey = "message";
  // At most this many bytes of messages are recorded (1 MiB); the rest is
  // dropped and said to be.
  static constexpr size_t kMaxMessageBytes = 1 << 20;

 private:
  void Record(const char* key, const std::string& json);

  const int recordFd_;
  std::mutex mutex_;                // guards the two below and the file's offset
  size_t messageBytes_ = 0;         // recorded so far; any thread, under mutex_
  bool truncated_ = false;          // any thread, under mutex_
};

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_FINDINGS_H
