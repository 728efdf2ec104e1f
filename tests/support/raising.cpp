#include "tests/support/raising.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

size_t RaceStopAgainstRaisers(uint32_t raisers,
                              const std::function<bool(uint32_t, uint32_t)>& raise,
                              const std::function<void()>& run,
                              const std::function<void()>& stop) {
  // The cap only ends raisers that are never refused (a fault).
  constexpr uint32_t kMaxRaises = 100000;
  std::atomic<size_t> accepted{0};
  std::thread loop(run);
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < raisers; t++) {
    threads.emplace_back([&, t] {
      for (uint32_t n = 0; n < kMaxRaises && raise(t, n); n++) accepted++;
    });
  }
  EXPECT_TRUE(Eventually([&] { return accepted.load() >= 1000; }));
  stop();
  loop.join();
  for (std::thread& thread : threads) thread.join();
  return accepted.load();
}

_EventParmsIn MakeEvent(uint32_t sourceId, uint32_t eventType, uint32_t eventFlags,
                        const void* data, uint32_t dataLength, uint32_t correlationId,
                        uint32_t level) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.sourceId = sourceId;
  in.eventType = eventType;
  in.eventFlags = eventFlags;
  in.data = const_cast<void*>(data);
  in.dataLength = dataLength;
  in.correlationId = correlationId;
  in.level = level;
  return in;
}
