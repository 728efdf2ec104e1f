// The reply slots of event threads on their own, without a core object.
#include "events/reply_slots.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "events/testing.h"
#include "tests/support/raising.h"

namespace {

TEST(ReplySlots, OnlyEventThreadsClaimAndOnlyForIdsNotCancelled) {
  const struct { const char* name; std::vector<uint32_t> cancel; bool eventThread, accepted; } cases[] = {
      {"event thread", {}, true, true},
      {"thread that is no event thread", {}, false, false},
      {"cancelled ID", {7}, true, false},
      {"other IDs cancelled", {8, 0}, true, true}};
  for (const auto& c : cases) {
    ReplySlots slots;
    for (uint32_t id : c.cancel) slots.Cancel(id);
    // Another event thread exists throughout: a claim is judged by the
    // claiming thread, not by whether any is registered.
    ReplySlots::Registration other(slots);
    int data = 0;
    for (void* answer : {static_cast<void*>(&data), static_cast<void*>(nullptr)}) {
      const bool accepted = std::async(std::launch::async, [&] {
        std::unique_ptr<ReplySlots::Registration> self;
        if (c.eventThread) self = std::make_unique<ReplySlots::Registration>(slots);
        return slots.Claim(7, answer) != nullptr;
      }).get();
      EXPECT_EQ(accepted, c.accepted) << c.name << (answer ? " with data" : " without data");
    }
  }
}

// However an event thread ends, its registration goes with it, also while an
// answer of it is in flight (a slot left behind would dangle).
TEST(ReplySlots, RegistrationEndsWithTheThreadHoweverItEnds) {
  const std::pair<const char*, void (*)()> ends[] = {
      {"exception", [] { throw std::runtime_error("out"); }},
      {"pthread_exit", [] { pthread_exit(nullptr); }}};
  for (const auto& end : ends) {
    ReplySlots slots;
    int answer = 0;
    size_t inside = 0;
    std::thread([&] {
      try {
        ReplySlots::Registration registration(slots);
        inside = ReplySlotsTesting::EventThreadCount(slots);
        EXPECT_NE(slots.Claim(1, &answer), nullptr);
        end.second();
      } catch (const std::runtime_error&) {}
    }).join();
    EXPECT_EQ(inside, 1u) << end.first;
    EXPECT_EQ(ReplySlotsTesting::EventThreadCount(slots), 0u) << end.first;
  }
}

// True while thread `tid` of this process sleeps (state S): blocked in a wait.
bool Sleeping(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  return std::string(std::istreambuf_iterator<char>(stat), {}).find(") S ") != std::string::npos;
}

// An event thread's second answer waits while its first is held, until the
// first is cleared (the claim then holds the second) or the stop ends the
// wait (the claim is refused). Clearing another buffer does not end it.
TEST(ReplySlots, SecondAnswerWaitsUntilTheFirstIsClearedOrTheStop) {
  for (bool stop : {false, true}) {
    ReplySlots slots;
    int first = 0, second = 0, other = 0;
    std::promise<long> firstHeld;
    auto answer = std::async(std::launch::async, [&] {
      ReplySlots::Registration registration(slots);
      ReplySlot* slot = slots.Claim(3, &first);
      firstHeld.set_value(syscall(SYS_gettid));
      ReplySlot* again = slots.Claim(3, &second);
      if (again == nullptr) return false;
      MutexLock lock(again->mutex);
      return again == slot && again->pendingReply == &second;
    });
    const long waiter = firstHeld.get_future().get();
    EXPECT_TRUE(Eventually([&] { return Sleeping(waiter); }));  // in the wait: nothing else blocks it
    slots.Clear(&other);
    stop ? slots.Stop() : slots.Clear(&first);
    const bool ended = answer.wait_for(kPatience) == std::future_status::ready;
    EXPECT_TRUE(ended) << (stop ? "the stop" : "clearing") << " did not end the wait";
    if (!ended) slots.Clear(&first);  // lets the thread go, so that the test ends
    EXPECT_EQ(answer.get(), !stop) << (stop ? "stop" : "clear");
  }
}

}  // namespace
