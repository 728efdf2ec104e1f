// The parent link's outbound path: the packets plugins raise as
// EVENT_TO_PARENT, queued and written to the parent in order, unchanged.
//
// DESIGN (threads): three owners, one class each. Any thread counts a packet
// against the byte limit (OutgoingLimit, atomics) and hands it over
// (OutgoingHandoff, under handoffMutex); the I/O thread takes what was handed
// over and writes it (ParentOutbound, GUARDED_BY g_ioThread). Before the I/O
// thread runs and after it is joined, the main thread stands in for it
// (Flush posts to it; DropUnsent runs after it).
#ifndef DVRCORE_IPC_PARENT_OUTBOUND_H
#define DVRCORE_IPC_PARENT_OUTBOUND_H

#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <vector>

#include "events/locks.h"
#include "ipc/packets.h"
#include "ipc/parent_socket.h"

// Bytes of packets for the parent that the core holds at most (accepted and
// not yet written). A parent that stops reading must not grow the core without
// bound: 8 MiB is 128 packets of the largest size, seconds of what plugins
// send to the parent, and a small part of the 190 MiB at which the core
// throttles video. Once full, packets are refused until half of it has gone
// out, so that the refusing and accepting log lines do not alternate.
constexpr size_t kOutgoingLimit = 8u << 20;

// Records one sendmmsg writes at most: descriptors only, no copy, so more
// than the receive side; a parent's socket buffer holds a few hundred small
// records. A batch also stops at four records of the largest size (but
// takes one record of any size): large packets then leave several to a
// system call, as many as a socket buffer of the usual size takes (one a
// call made a full socket cost two or three calls a packet, where a
// blocking send costs one). A packet counts against kOutgoingLimit until the
// sendmmsg that writes it returns, while the parent may already be reading
// it, and that overlap stays at most one batch. A raiser that keeps that
// much below the limit, counting what the parent has read, is never
// refused.
constexpr unsigned kSendBatch = 64;
constexpr size_t kSendBatchBytes = 4 * kIpcMaxPacket;

// A packet on its way to the parent: a malloc'd buffer, owned until written.
struct OutgoingPacket {
  struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
  };
  std::unique_ptr<void, FreeDeleter> buffer;
  size_t length = 0;
};

// Bytes of packets accepted and not yet written (or freed at shutdown):
// added by a raiser on any thread, taken off on the I/O thread. Lock-free:
// atomics alone.
class OutgoingLimit {
 public:
  // Counts `length` bytes more, or refuses them (false) while the limit is
  // reached or refusing has not ended.
  bool Reserve(uint32_t length) {
    size_t bytes = outgoingBytes.load();
    if (refusingOutgoing.load()) {
      // Also checked here, not only as packets leave: if the queue emptied
      // while refusing began, no write would ever come to end it.
      if (bytes > kOutgoingLimit / 2) return false;
      Resume();
    }
    do {
      if (bytes + length > kOutgoingLimit) {
        if (!refusingOutgoing.exchange(true)) SayRefusing(bytes);
        return false;
      }
    } while (!outgoingBytes.compare_exchange_weak(bytes, bytes + length));
    return true;
  }
  // `length` bytes were written or freed; refusing ends at half the limit.
  void Release(uint32_t length) {
    if (outgoingBytes.fetch_sub(length) - length <= kOutgoingLimit / 2) Resume();
  }
  // Shutdown: bytes freed unwritten, with nobody left to accept.
  void Forget(size_t length) { outgoingBytes -= length; }
  bool Empty() const { return outgoingBytes.load() == 0; }
  size_t Bytes() const { return outgoingBytes.load(std::memory_order_relaxed); }
  bool Refusing() const { return refusingOutgoing.load(std::memory_order_relaxed); }

 private:
  // Inline, as the packet paths call them for every packet; the log lines
  // are out of line.
  void Resume() {
    if (refusingOutgoing.load() && refusingOutgoing.exchange(false)) SayAccepting();
  }
  static void SayRefusing(size_t bytes);
  static void SayAccepting();

  std::atomic<size_t> outgoingBytes{0};
  // While set, every packet is refused.
  std::atomic<bool> refusingOutgoing{false};
};

// Packets raisers accepted and the I/O thread has not taken yet, in order.
// takeDue is set while the I/O thread will take them without being told: a
// take is posted, or it is writing, and every batch it writes takes what was
// handed over first. Only the raiser that finds it clear posts a take, so a
// burst costs one post, and packets raised while the socket is full cost
// none: the wait for room takes them.
class OutgoingHandoff {
 public:
  // Any thread: appends `packet` unless closing (false, the packet still
  // owns its buffer); `post` says whether the caller must post the take.
  // Throws std::bad_alloc, with `packet` still owning its buffer.
  bool Push(OutgoingPacket& packet, bool& post) EXCLUDES(handoffMutex) {
    MutexLock lock(handoffMutex);
    if (closing) return false;
    handedOver.push_back(std::move(packet));  // on failure `packet` still owns the buffer
    post = !takeDue;
    takeDue = true;
    return true;
  }
  // Any thread: the take for `buffer` could not be posted: its packet is
  // freed and the next Push posts one.
  void Withdraw(void* buffer) EXCLUDES(handoffMutex);
  // Main thread, stopping: Push refuses from now on.
  void Close() EXCLUDES(handoffMutex);
  // I/O thread: swaps what was handed over into `into` (empty); clears
  // takeDue when there is nothing to write (`queueEmpty` and nothing taken).
  void Take(std::vector<OutgoingPacket>& into, bool queueEmpty) EXCLUDES(handoffMutex);

 private:
  Mutex handoffMutex;
  std::vector<OutgoingPacket> handedOver GUARDED_BY(handoffMutex);
  bool takeDue GUARDED_BY(handoffMutex) = false;
  // Set by Close: Push refuses from then on.
  bool closing GUARDED_BY(handoffMutex) = false;
};

class ParentOutbound {
 public:
  explicit ParentOutbound(ParentSocket& link) : link(link) {}
  ParentOutbound(const ParentOutbound&) = delete;
  ParentOutbound& operator=(const ParentOutbound&) = delete;

  enum class SendResult {
    kAccepted,
    kEmpty,    // no data
    kNoLink,   // no link to the parent, or it is lost
    kFull,     // the outgoing limit is reached: the parent is not reading
    kClosing,  // the core is stopping (Flush has begun)
  };
  // Any thread: see ParentLink::Send.
  SendResult Send(void* buffer, uint32_t length);
  size_t BytesWaiting() const { return limit.Bytes(); }
  bool Refusing() const { return limit.Refusing(); }
  // Main thread: see ParentLink::Flush and ParentLink::DropUnsent.
  void Flush(std::chrono::steady_clock::duration bound) REQUIRES(g_mainThread);
  void DropUnsent() REQUIRES(g_mainThread);

 private:
  // Moves what raisers handed over behind outgoingPackets; false when there
  // is nothing to write.
  bool TakeHandedOver() REQUIRES(g_ioThread);
  // Takes what was handed over, then one sendmmsg of the records at the
  // front of outgoingPackets, then whatever comes next: a wait for room, the
  // next batch, or nothing.
  void SendQueued() REQUIRES(g_ioThread);
  // Fills sendHeaders and sendPieces from the front of outgoingPackets;
  // returns the number of records.
  // Both inline: SendQueued's own steps, as one function as far as the
  // packet path's instructions go.
  __attribute__((always_inline)) inline unsigned FillBatch() REQUIRES(g_ioThread);
  // `sent` records of the batch were written: drops the packets done.
  __attribute__((always_inline)) inline void RetireSent(int sent) REQUIRES(g_ioThread);
  void WaitUntilWritable() REQUIRES(g_ioThread);
  // The write of the front packet failed (or the link closed under it): it
  // is freed and nothing more is written.
  void FailFrontPacket() REQUIRES(g_ioThread);
  // Ends a flush once nothing more can be written.
  void FinishFlushIfIdle() REQUIRES(g_ioThread);

  ParentSocket& link;
  OutgoingLimit limit;      // any thread; atomics
  OutgoingHandoff handoff;  // any thread; its handoffMutex

  // The I/O thread's side of the swap, kept so that both keep their room.
  std::vector<OutgoingPacket> taken GUARDED_BY(g_ioThread);
  // While it holds packets, the link is open and no write failed, exactly
  // one wait for room or posted batch is outstanding to write them.
  std::deque<OutgoingPacket> outgoingPackets GUARDED_BY(g_ioThread);
  // Bytes of the front packet already written: a packet longer than 65536
  // bytes leaves in several records, and a batch may end between them.
  size_t frontWritten GUARDED_BY(g_ioThread) = 0;
  // A sendmmsg's records, each pointing into a queued packet.
  mmsghdr sendHeaders[kSendBatch] GUARDED_BY(g_ioThread) = {};
  iovec sendPieces[kSendBatch] GUARDED_BY(g_ioThread) = {};
  // A write to the parent failed: nothing more is written.
  bool ipcSendFailed GUARDED_BY(g_ioThread) = false;
  // A flush is waiting for the queue to empty; flushDone is set once it has,
  // on the I/O thread, and waited for by the main thread (the promise and its
  // future are the hand-over, so no role guards it).
  bool flushing GUARDED_BY(g_ioThread) = false;
  std::promise<void> flushDone;
};

#endif  // DVRCORE_IPC_PARENT_OUTBOUND_H
