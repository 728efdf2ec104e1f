// Per-plugin figures; see figures.h.
#include "events/figures.h"

#include <time.h>

namespace {

// The index starts small (a device carries dozens of plugins) and doubles
// whenever it would be more than half full, so that a lookup probes one or
// two slots.
constexpr unsigned kInitialIndexBits = 6;

#if defined(__x86_64__) || defined(__i386__)
// The monotonic clock in seconds.
double MonotonicSeconds() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The two clocks at the first call of CallClockTicksPerSecond.
struct ClockOrigin {
  uint64_t ticks = CallClockTicks();
  double seconds = MonotonicSeconds();
};
#endif

}  // namespace

__thread PluginFigures* t_threadFigures = nullptr;

double CallClockTicksPerSecond() {
#if defined(__x86_64__) || defined(__i386__)
  static const ClockOrigin origin;
  const double seconds = MonotonicSeconds() - origin.seconds;
  const uint64_t ticks = CallClockTicks() - origin.ticks;
  // Until a measurable time has passed, a nominal gigahertz.
  return seconds > 0.01 ? static_cast<double>(ticks) / seconds : 1e9;
#elif defined(__aarch64__)
  uint64_t frequency;
  asm volatile("mrs %0, cntfrq_el0" : "=r"(frequency));
  return static_cast<double>(frequency);
#else
  return 1e9;  // nanoseconds of the monotonic clock
#endif
}

std::atomic<uint64_t> g_callBoundTicks[kCallBounds] = {};

void RefreshCallBounds() {
  const double ticksPerSecond = CallClockTicksPerSecond();
  for (unsigned i = 0; i < kCallBounds; i++) {
    g_callBoundTicks[i].store(static_cast<uint64_t>(kCallBoundSeconds[i] * ticksPerSecond),
                              std::memory_order_relaxed);
  }
}

uint64_t PluginFigures::CallTicks() const {
  uint64_t ticks = 0;
  for (const std::atomic<uint64_t>& entry : callTicks_) ticks += Get(entry);
  return ticks;
}

PluginFigures& UncountedFigures() {
  static PluginFigures uncounted("", "");
  return uncounted;
}

PluginFiguresBook::Index::Index(unsigned bits) : bits(bits), slots(new Slot[size_t{1} << bits]) {}

PluginFiguresBook::PluginFiguresBook() {
  // The counter's measurement starts here; until the first refresh, calls
  // (the plugins' Load) are sorted against a nominal rate.
  RefreshCallBounds();
  indexes_.push_back(std::make_unique<Index>(kInitialIndexBits));
  index_.store(indexes_.back().get(), std::memory_order_release);
}

PluginFiguresBook::~PluginFiguresBook() = default;

PluginFigures& PluginFiguresBook::Open(const std::string& fileName,
                                       const std::string& threadTag) {
  MutexLock lock(mutex_);
  return all_.emplace_back(fileName, threadTag);
}

void PluginFiguresBook::Publish(PluginFigures& figures, uint32_t id) {
  {
    MutexLock lock(mutex_);
    figures.id = id;
    listed_.push_back(&figures);
  }
  // ID 0 marks an empty slot; no event raised with it has a source anyway.
  if (id == 0) return;
  Index* index = indexes_.back().get();
  if ((indexed_ + 1) * 2 > (size_t{1} << index->bits)) {
    auto larger = std::make_unique<Index>(index->bits + 1);
    for (size_t i = 0; i < (size_t{1} << index->bits); ++i) {
      const uint32_t taken = index->slots[i].id.load(std::memory_order_relaxed);
      if (taken != 0) Insert(*larger, taken, index->slots[i].figures.load());
    }
    index = larger.get();
    indexes_.push_back(std::move(larger));
    index_.store(index, std::memory_order_release);
  }
  if (Insert(*index, id, &figures)) ++indexed_;
}

bool PluginFiguresBook::Insert(Index& index, uint32_t id, PluginFigures* figures) {
  const unsigned mask = (1u << index.bits) - 1;
  for (unsigned i = Home(id, index.bits);; i = (i + 1) & mask) {
    const uint32_t taken = index.slots[i].id.load(std::memory_order_relaxed);
    if (taken == id) return false;
    if (taken == 0) {
      index.slots[i].figures.store(figures, std::memory_order_relaxed);
      index.slots[i].id.store(id, std::memory_order_release);
      return true;
    }
  }
}

PluginFigures* PluginFiguresBook::FindFurther(const Index& index, uint32_t id) const {
  if (id == 0) return nullptr;
  const unsigned mask = (1u << index.bits) - 1;
  // Never more than half full, so an empty slot ends every search.
  for (unsigned i = (Home(id, index.bits) + 1) & mask;; i = (i + 1) & mask) {
    const uint32_t taken = index.slots[i].id.load(std::memory_order_acquire);
    if (taken == id) return index.slots[i].figures.load(std::memory_order_relaxed);
    if (taken == 0) return nullptr;
  }
}

std::vector<const PluginFigures*> PluginFiguresBook::Listed() const {
  MutexLock lock(mutex_);
  return {listed_.begin(), listed_.end()};
}

