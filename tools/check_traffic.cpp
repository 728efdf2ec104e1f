// The driver plugin's traffic: the events a device gives the checked plugin,
// and with --fuzz the seeded cases of tools/check_cases.h. Runs on the
// driver's worker thread until the driver's Close.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "events/events.h"
#include "tools/check_cases.h"

namespace {

constexpr uint32_t kDriverId = 0x00470000u;

// Raises one event; data (when any) is copied by the core before it returns.
int32_t Raise(PluginEventFunction raise, uint32_t source, uint32_t type, uint32_t flags,
              uint32_t correlationId, const void* data, uint32_t length, uint32_t level = 0) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.sourceId = source;
  in.eventType = type;
  in.eventFlags = flags;
  in.correlationId = correlationId;
  in.data = const_cast<void*>(data);
  in.dataLength = length;
  in.level = level;
  _EventParmsOut out = {sizeof out, 1, 0};
  raise(&in, &out);
  return out.result;
}

// Every flag word of one bit (and none) whose key the mask takes, for one path.
std::vector<uint32_t> AcceptedFlags(uint32_t mask, bool queued) {
  std::vector<uint32_t> flags = {0};
  for (unsigned bit = 0; bit < 32; bit++) {
    const uint32_t flag = 1u << bit;
    const uint32_t key = queued ? EventQueuedKey(flag) : EventImmediateKey(flag);
    if (key != 0 && (key & ~mask) == 0) flags.push_back(flag);
  }
  return flags;
}

// One round: a queued and an immediate event of every class, with the next
// flag each mask takes; now and then a document, a log line and a cancelled
// correlation ID.
void TrafficRound(PluginEventFunction raise, const uint32_t masks[EVENT_CLASS_COUNT], bool writes,
                  bool reader, unsigned round) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "dvrcore-plugin-check %u", round) + 1;
  for (unsigned i = 0; i < EVENT_CLASS_COUNT; i++) {
    if (writes) {
      const std::vector<uint32_t> flags = AcceptedFlags(masks[i], true);
      Raise(raise, kDriverId, dvrcheck::kClassBits[i], flags[round % flags.size()], 0, text,
            static_cast<uint32_t>(length));
    }
    if (reader) {
      const std::vector<uint32_t> flags = AcceptedFlags(masks[i], false);
      Raise(raise, 0, dvrcheck::kClassBits[i], flags[round % flags.size()], round, text,
            static_cast<uint32_t>(length));
    }
  }
  if (round % 10 == 0) {
    static const char kDocument[] = "<?xml ?><Nvrx><Check Round=\"0\" /></Nvrx>";
    Raise(raise, kDriverId, EVENT_CONFIG, EVENT_FLAG_XML, 0, kDocument, sizeof kDocument - 1);
  }
  if (round % 40 == 0) {
    Raise(raise, kDriverId, EVENT_LOG, EVENT_FLAG_TEXT, 0, text, static_cast<uint32_t>(length), 25);
  }
  if (reader && round % 10 == 5) {
    // Cancelled, then asked again: answers in between are refused.
    const uint32_t correlationId = 0x40000000u | round;
    Raise(raise, 0, EVENT_CANCEL, 0, correlationId, nullptr, 0);
    Raise(raise, 0, dvrcheck::kClassBits[round % EVENT_CLASS_COUNT], 0, correlationId, text,
          static_cast<uint32_t>(length));
  }
}

// Data for a case: on the heap, or so that it ends where an unmapped page
// begins, so that a read past its end faults at once.
class CaseData {
 public:
  explicit CaseData(const dvrcheck::EventCase& c) {
    if (c.nullData || c.length == 0) return;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t pages = (c.length + page - 1) / page + 1;
    if (c.atPageEnd) {
      void* area = mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
      if (area != MAP_FAILED) {
        area_ = area;
        areaBytes_ = pages * page;
        mprotect(static_cast<char*>(area) + (pages - 1) * page, page, PROT_NONE);
        data_ = static_cast<unsigned char*>(area) + (pages - 1) * page - c.length;
      }
    }
    if (data_ == nullptr) {
      heap_.resize(c.length);
      data_ = heap_.data();
    }
    dvrcheck::FillCaseData(c.fill, data_, c.length);
  }
  ~CaseData() {
    if (area_ != nullptr) munmap(area_, areaBytes_);
  }
  CaseData(const CaseData&) = delete;
  CaseData& operator=(const CaseData&) = delete;
  const void* Data() const { return data_; }

 private:
  void* area_ = nullptr;
  size_t areaBytes_ = 0;
  std::vector<unsigned char> heap_;
  unsigned char* data_ = nullptr;
};

}  // namespace

void RunTraffic(PluginEventFunction raise, const uint32_t masks[EVENT_CLASS_COUNT], bool writes,
                bool reader, const std::atomic<bool>& closed) {
  for (unsigned round = 0; !closed.load(); round++) {
    TrafficRound(raise, masks, writes, reader, round);
    usleep(25000);
  }
}

// Raises event case `number`: its record says which case it is (specific0,
// marked in specific1), so that the driver's own Write can tell the tool
// which case the main loop is delivering.
void RaiseFuzzCase(PluginEventFunction raise, unsigned long long seed, uint64_t number,
                   const uint32_t masks[EVENT_CLASS_COUNT], uint32_t caseMark,
                   void (*report)(const std::string&)) {
  const dvrcheck::EventCase c = dvrcheck::MakeEventCase(seed, number, masks);
  const CaseData data(c);
  char line[160];
  std::snprintf(line, sizeof line,
                "raised e%llu %s type 0x%08X flags 0x%08X correlation 0x%08X length %u",
                static_cast<unsigned long long>(number), dvrcheck::EventCaseKindName(c.kind),
                c.type, c.flags, c.correlationId, c.length);
  report(line);
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.eventType = c.type;
  in.eventFlags = c.flags;
  in.data = const_cast<void*>(data.Data());
  in.dataLength = c.length;
  in.specific0 = static_cast<uint32_t>(number);
  in.specific1 = caseMark;
  in.level = c.kind == dvrcheck::EventCaseKind::kLog ? 25 : 0;
  const bool queued = c.kind == dvrcheck::EventCaseKind::kQueued ||
                      c.kind == dvrcheck::EventCaseKind::kConfig ||
                      c.kind == dvrcheck::EventCaseKind::kLog;
  in.sourceId = queued ? kDriverId : 0;
  _EventParmsOut out = {sizeof out, 1, 0};
  if (c.kind == dvrcheck::EventCaseKind::kCancelled && c.correlationId != 0) {
    Raise(raise, 0, EVENT_CANCEL, 0, c.correlationId, nullptr, 0);
  }
  in.correlationId = c.correlationId;
  raise(&in, &out);
}

void RunFuzz(PluginEventFunction raise, unsigned long long seed, long long onlyCase,
             const uint32_t masks[EVENT_CLASS_COUNT], uint32_t caseMark,
             void (*report)(const std::string&), const std::atomic<bool>& closed) {
  if (onlyCase < -1) return;  // a packet case is replayed: no events
  if (onlyCase >= 0) {
    RaiseFuzzCase(raise, seed, static_cast<uint64_t>(onlyCase), masks, caseMark, report);
    return;
  }
  for (uint64_t number = 0; !closed.load(); number++) {
    RaiseFuzzCase(raise, seed, number, masks, caseMark, report);
    usleep(1000);
  }
}
