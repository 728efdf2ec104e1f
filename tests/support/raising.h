// What tests of event routing share, whichever layer they link: event
// records as a careful raiser fills them, raisers racing a stop, and the
// bounded wait for what the code under test must bring about.
#ifndef DVRCORE_TESTS_SUPPORT_RAISING_H
#define DVRCORE_TESTS_SUPPORT_RAISING_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "events/events.h"

// How long a test waits for what the code under test must bring about. Only
// a fault uses it up: it turns a hang into a failure.
constexpr std::chrono::seconds kPatience{30};

// Polls `done` until it holds (true) or kPatience has passed (false).
bool Eventually(const std::function<bool()>& done);

// `raisers` threads call `raise(thread, n)` for n = 0, 1, ... until it returns
// false (refused) while `run` delivers on a thread of its own; once a thousand
// were accepted, `stop` comes, racing the raisers. Returns how many were.
size_t RaceStopAgainstRaisers(uint32_t raisers,
                              const std::function<bool(uint32_t, uint32_t)>& raise,
                              const std::function<void()>& run,
                              const std::function<void()>& stop);

// A record for raising an event, zero-filled like a careful raiser does.
_EventParmsIn MakeEvent(uint32_t sourceId, uint32_t eventType, uint32_t eventFlags,
                        const void* data = nullptr, uint32_t dataLength = 0,
                        uint32_t correlationId = 0, uint32_t level = 0);

#endif  // DVRCORE_TESTS_SUPPORT_RAISING_H
