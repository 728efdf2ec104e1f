// The main loop's queue on its own, without a core object.
#include "events/request_queue.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/raising.h"

namespace {

// Raisers append until the queue refuses them while the loop delivers and a
// stop comes in between: each raiser's accepted entries come out of Run once
// each, in its order, and nothing else does. Each round the stop lands
// somewhere else.
TEST(RequestQueue, AcceptedMeansDeliveredExactlyOnceAcrossAStop) {
  for (int round = 0; round < 20; round++) {
    RequestQueue queue;
    std::vector<std::vector<uint32_t>> accepted(4), delivered(4);
    auto append = [&](uint32_t raiser, uint32_t n) {
      if (!queue.Append(MakeEvent(raiser, EVENT_CLASS2, 0, nullptr, 0, n))) return false;
      accepted[raiser].push_back(n);
      return true;
    };
    auto record = [&](const _EventParmsIn& e) { delivered.at(e.sourceId).push_back(e.correlationId); };
    RaceStopAgainstRaisers(4, append, [&] { queue.Run(record); }, [&] { queue.RequestStop(); });
    EXPECT_EQ(delivered, accepted) << "round " << round;
  }
}

}  // namespace
