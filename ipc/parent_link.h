// The parent link: one sequenced-packet socket to the parent daemon brevad.
//
// Packets from the parent are identification (type 7 with a payload), stop
// (type 8) or plugin packets, which are relayed to the addressed plugin's
// IOCTL. Packets that plugins raise as EVENT_TO_PARENT are queued and written
// in order, unchanged. The link talks back to the core through
// ParentLinkHost.
//
// DESIGN (system calls): each record costs the parent one system call; the
// core does not spend one Asio operation on each (a speculative receive or
// write, its completion, the scheduler's lock). One wake-up of the I/O thread
// takes every record waiting, up to kReceiveBatch, with one recvmmsg, and
// every queued packet goes out, up to kSendBatch records, with one sendmmsg.
// Both are bounded so that a parent that never pauses cannot hold the I/O
// thread: a full batch posts the next one behind whatever else is ready.
// Every record is one receive to dvrcore::ProcessIPC and one packet
// (or, past 65536 bytes, one 65536-byte piece of it) on the way up.
//
// DESIGN (threads): the socket, the receive buffer and the outgoing queue
// belong to the I/O thread (GUARDED_BY(g_ioThread)); before it runs, the
// main thread's start-up stands in for it (Adopt, the first StartReceive),
// and after it is joined, the main thread's shutdown (DropUnsent). Other
// threads reach the link only through Send (which counts the bytes
// atomically and posts the packet to the I/O thread), IsOpen, and the
// parent's identity, which has a lock of its own.
#ifndef DVRCORE_IPC_PARENT_LINK_H
#define DVRCORE_IPC_PARENT_LINK_H

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
#include <string>
#include <vector>

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_service.hpp>

#include "events/locks.h"
#include "ipc/packets.h"
#include "pluginhost/plugin_table.h"

// Bytes of packets for the parent that the core holds at most (accepted and
// not yet written). A parent that stops reading must not grow the core without
// bound: 8 MiB is 128 packets of the largest size, seconds of what plugins
// send to the parent, and a small part of the 190 MiB at which the core
// throttles video. Once full, packets are refused until half of it has gone
// out, so that the refusing and accepting log lines do not alternate.
constexpr size_t kOutgoingLimit = 8u << 20;

// One whole packet of the largest size fits.
constexpr size_t kIpcBufferSize = kIpcMaxPacket;

// Records one recvmmsg takes at most. The first lands behind the bytes the
// buffer holds, as a single receive would; each other needs a slot of
// kIpcBufferSize of its own, since a record is cut short when it does not fit
// (7 x 64 KiB, allocated at the first receive and resident only as far as
// records have filled it). Eight records spread the cost of a wake-up and a
// system call thin enough; more only hold the I/O thread longer in one go.
constexpr unsigned kReceiveBatch = 8;
// Records one sendmmsg writes at most: descriptors only, no copy, so more
// than the receive side; a parent's socket buffer holds a few hundred small
// records. A batch also stops at 65536 bytes (but takes one record of any
// size): a packet counts against kOutgoingLimit until the sendmmsg that
// writes it returns, while the parent may already be reading it, and that
// overlap stays at most one packet of the largest size. A raiser that keeps
// that much below the limit, counting what the parent has read, is never
// refused.
constexpr unsigned kSendBatch = 64;
constexpr size_t kSendBatchBytes = kIpcMaxPacket;

// What the link needs of the core.
class ParentLinkHost {
 public:
  // I/O thread: a record was received, or the link failed
  // (dvrcore::ProcessIPC, which hands it back to ParentLink::Received); once
  // per record, in order.
  virtual void ReceiveCompleted(const boost::system::error_code& error, unsigned int bytes) = 0;
  // I/O thread: the parent sent a stop packet, or (`linkLost`) the link is
  // gone and the core stops, after a pause unless a stop was already asked
  // for; the host says so in the log.
  virtual void ParentStops(bool linkLost) = 0;

 protected:
  ~ParentLinkHost() = default;
};

class ParentLink {
 public:
  ParentLink(boost::asio::io_service& ioService, PluginTable& plugins, ParentLinkHost& host);
  ParentLink(const ParentLink&) = delete;
  ParentLink& operator=(const ParentLink&) = delete;

  // Main thread, Init: takes the inherited descriptor as the link. False when
  // it is not a socket or cannot be registered (the caller logs).
  bool Adopt(int descriptor) REQUIRES(g_mainThread);
  // Any thread: the link is open (set by Adopt, cleared when it is lost).
  bool IsOpen() const { return ipcOpen.load(); }

  // Waits for records from the parent; once they are there, takes a batch of
  // them and hands each to the host, then waits again. I/O thread (or the
  // main thread standing in for it before it runs).
  void StartReceive() REQUIRES(g_ioThread);
  // I/O thread, for the host: handles every complete packet of the buffered
  // bytes and the record just received (`bytes` of it); an error or an empty
  // record loses the link.
  void Received(const boost::system::error_code& error, unsigned int bytes) REQUIRES(g_ioThread);

  // Any thread: takes `buffer` (malloc'd, `length` bytes) to write to the
  // parent, or says why it is refused; a refused buffer is freed. Throws
  // std::bad_alloc, with the buffer freed, when the hand-over cannot
  // allocate.
  enum class SendResult {
    kAccepted,
    kEmpty,    // no data
    kNoLink,   // no link to the parent, or it is lost
    kFull,     // the outgoing limit is reached: the parent is not reading
    kClosing,  // the core is stopping (Flush has begun)
  };
  SendResult Send(void* buffer, uint32_t length);
  // Any thread: bytes accepted and not yet written, and whether packets are
  // being refused for the outgoing limit.
  size_t BytesWaiting() const { return outgoingBytes.load(std::memory_order_relaxed); }
  bool Refusing() const { return refusingOutgoing.load(std::memory_order_relaxed); }

  // Main thread: waits until the parent has identified itself (also before
  // the wait), StopWaiting is called, or `timeout` has passed.
  void WaitForIdentification(std::chrono::steady_clock::duration timeout)
      REQUIRES(g_mainThread) EXCLUDES(identityMutex);
  // Any thread: ends that wait for good.
  void StopWaiting() EXCLUDES(identityMutex);
  // Any thread: the parent's library file name and version, as a pair.
  struct Identity {
    std::string libraryFilename;
    std::string libraryVersion;
  };
  Identity ParentIdentity() EXCLUDES(identityMutex);

  // Main thread, stopping, with the I/O thread still running: packets are
  // refused from now on, and every packet accepted before is written unless
  // the link fails or `bound` passes first.
  void Flush(std::chrono::steady_clock::duration bound) REQUIRES(g_mainThread)
      EXCLUDES(handoffMutex);
  // Main thread, after the I/O thread is joined: frees what was never
  // written, saying how many packets that was.
  void DropUnsent() REQUIRES(g_mainThread);

 private:
  friend struct ParentLinkTesting;
  // A packet on its way to the parent: a malloc'd buffer, owned until written.
  struct OutgoingPacket {
    struct FreeDeleter {
      void operator()(void* p) const { std::free(p); }
    };
    std::unique_ptr<void, FreeDeleter> buffer;
    size_t length = 0;
  };

  // I/O thread: one packet from the parent.
  void HandlePacket(const uint8_t* packet, uint32_t length) REQUIRES(g_ioThread);
  void TakeIdentification(const uint8_t* packet, uint32_t length) REQUIRES(g_ioThread)
      EXCLUDES(identityMutex);
  void RelayToPlugin(const IpcPacketHeader& header, const uint8_t* packet, uint32_t length)
      REQUIRES(g_ioThread);
  // I/O thread: moves what raisers handed over behind outgoingPackets;
  // false, with takeDue cleared, when there is nothing to write.
  bool TakeHandedOver() REQUIRES(g_ioThread) EXCLUDES(handoffMutex);
  // Send could not post the take: frees the packet of `buffer` and lets the
  // next Send post one.
  void WithdrawHandedOver(void* buffer) EXCLUDES(handoffMutex);
  // I/O thread: one recvmmsg, each record to the host, then the next wait.
  void ReceiveBatch() REQUIRES(g_ioThread);
  // I/O thread: takes what was handed over, then one sendmmsg of the records
  // at the front of outgoingPackets, then whatever comes next: a wait for
  // room, the next batch, or nothing.
  void SendQueued() REQUIRES(g_ioThread);
  void WaitUntilWritable() REQUIRES(g_ioThread);
  // I/O thread: the write of the front packet failed (or the link closed
  // under it): it is freed and nothing more is written.
  void FailFrontPacket() REQUIRES(g_ioThread);
  // I/O thread: ends a flush once nothing more can be written.
  void FinishFlushIfIdle() REQUIRES(g_ioThread);
  bool ReserveOutgoing(uint32_t length);
  void ReleaseOutgoing(uint32_t length);
  void ResumeOutgoing();

  boost::asio::io_service& ioService;
  PluginTable& plugins;
  ParentLinkHost& host;
  // I/O thread once it runs (main thread: Adopt before, shutdown after).
  boost::asio::basic_stream_socket<boost::asio::generic::seq_packet_protocol> ipcSocket
      GUARDED_BY(g_ioThread);
  // Mirrors ipcSocket.is_open() for other threads: set by Adopt, cleared on
  // the I/O thread when the link is lost.
  std::atomic<bool> ipcOpen{false};

  // Receive buffer: bytes[0, count) hold received data not yet handled,
  // starting at a packet boundary. Plugins get every packet at an address
  // aligned as malloc aligns (32-bit ARM faults on some wider loads from odd
  // addresses): one at the start of `bytes` is, one behind another in the
  // same receive is copied to `aligned` first, allocated when first needed.
  //
  // A batch brings its first record behind `count` in `bytes`; every other
  // in a slot of `slots` (kReceiveBatch - 1 slots of kIpcBufferSize, aligned
  // like `bytes`), which Received takes it from (`slotRecord`, null for the
  // first). Packets of a slot are handled where they lie when nothing was
  // pending; what is left of a packet moves to `bytes`.
  //
  // `bytes` is left unfilled, like `slots`: only [0, count) is ever read, and
  // filling 64 KiB at construction would cost every start a pass over it and
  // sixteen pages made resident before any record arrives.
  struct IpcBuffer {
    alignas(std::max_align_t) uint8_t bytes[kIpcBufferSize];
    uint32_t count = 0;
    std::unique_ptr<std::max_align_t[]> aligned;
    std::unique_ptr<std::max_align_t[]> slots;
    uint8_t* slotRecord = nullptr;
    mmsghdr headers[kReceiveBatch] = {};
    iovec pieces[kReceiveBatch] = {};
  };
  IpcBuffer ipcBuffer GUARDED_BY(g_ioThread);
  // The plugins' IOCTL entries in table order, as of the table's change
  // routesSeen (PluginTable::CopyIoctlRoutes).
  std::vector<PluginTable::IoctlTarget> routes GUARDED_BY(g_ioThread);
  unsigned routesSeen GUARDED_BY(g_ioThread) = 0;

  // Packets raisers accepted and the I/O thread has not taken yet, in
  // order. takeDue is set while the I/O thread will take them without being
  // told: a take is posted, or it is writing, and every batch it writes
  // takes what was handed over first. Only the raiser that finds it clear
  // posts a take, so a burst costs one post, and packets raised while the
  // socket is full cost none: the wait for room takes them.
  Mutex handoffMutex;
  std::vector<OutgoingPacket> handedOver GUARDED_BY(handoffMutex);
  bool takeDue GUARDED_BY(handoffMutex) = false;
  // Set by Flush: Send refuses from then on.
  bool closing GUARDED_BY(handoffMutex) = false;
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
  // Bytes of packets accepted and not yet written (or freed at shutdown):
  // added by Send on any thread, taken off on the I/O thread. While
  // refusingOutgoing is set, every packet is refused.
  std::atomic<size_t> outgoingBytes{0};
  std::atomic<bool> refusingOutgoing{false};

  Mutex identityMutex;
  CondVar identityChanged;  // only WaitForIdentification waits on it
  std::string libraryFilename GUARDED_BY(identityMutex);
  std::string libraryVersion GUARDED_BY(identityMutex);
  bool identified GUARDED_BY(identityMutex) = false;
  bool waitAbandoned GUARDED_BY(identityMutex) = false;
};

#endif  // DVRCORE_IPC_PARENT_LINK_H
