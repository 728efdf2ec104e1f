// The parent link: one sequenced-packet socket to the parent daemon brevad.
//
// Packets from the parent are identification (type 7 with a payload), stop
// (type 8) or plugin packets, which are relayed to the addressed plugin's
// IOCTL. Packets that plugins raise as EVENT_TO_PARENT are queued and written
// one at a time, unchanged. The link talks back to the core through
// ParentLinkHost.
//
// DESIGN (threads): the socket, the receive buffer and the outgoing queue
// belong to the I/O thread once it runs (before it, to the main thread's
// start-up; after it is joined, to the main thread's shutdown), so they need
// no lock. Other threads reach the link only through Send (which counts the
// bytes atomically and posts the packet to the I/O thread), IsOpen, and the
// parent's identity, which has a lock of its own.
#ifndef DVRCORE_IPC_PARENT_LINK_H
#define DVRCORE_IPC_PARENT_LINK_H

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

// What the link needs of the core.
class ParentLinkHost {
 public:
  // I/O thread: a receive completed (dvrcore::ProcessIPC, which hands it
  // back to ParentLink::Received).
  virtual void ReceiveCompleted(const boost::system::error_code& error, unsigned int bytes) = 0;
  // I/O thread: the parent sent a stop packet, or (`linkLost`) the link is
  // gone and the core stops after a pause.
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
  bool Adopt(int descriptor);
  // Any thread: the link is open (set by Adopt, cleared when it is lost).
  bool IsOpen() const { return ipcOpen.load(); }

  // Starts one receive into the buffer behind what it holds; its completion
  // goes to the host. Main thread before the I/O thread runs, then I/O thread.
  void StartReceive();
  // I/O thread: handles every complete packet received, then receives again;
  // an error or an empty receive loses the link.
  void Received(const boost::system::error_code& error, unsigned int bytes);

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
  void WaitForIdentification(std::chrono::steady_clock::duration timeout) EXCLUDES(identityMutex);
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
  void Flush(std::chrono::steady_clock::duration bound) EXCLUDES(handoffMutex);
  // Main thread, after the I/O thread is joined: frees what was never
  // written, saying how many packets that was.
  void DropUnsent();

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

  void HandlePacket(const uint8_t* packet, uint32_t length);
  void TakeIdentification(const uint8_t* packet, uint32_t length) EXCLUDES(identityMutex);
  void RelayToPlugin(const IpcPacketHeader& header, const uint8_t* packet, uint32_t length);
  // I/O thread: moves what raisers handed over into outgoingPackets.
  void TakeHandedOver() EXCLUDES(handoffMutex);
  // Send could not post the take: frees the packet of `buffer` and lets the
  // next Send post one.
  void WithdrawHandedOver(void* buffer) EXCLUDES(handoffMutex);
  void SendFrontPacket();
  // I/O thread: ends a flush once nothing more can be written.
  void FinishFlushIfIdle();
  bool ReserveOutgoing(uint32_t length);
  void ReleaseOutgoing(uint32_t length);
  void ResumeOutgoing();

  boost::asio::io_service& ioService;
  PluginTable& plugins;
  ParentLinkHost& host;
  // I/O thread once it runs (main thread: Adopt before, shutdown after).
  boost::asio::basic_stream_socket<boost::asio::generic::seq_packet_protocol> ipcSocket;
  // Mirrors ipcSocket.is_open() for other threads: set by Adopt, cleared on
  // the I/O thread when the link is lost.
  std::atomic<bool> ipcOpen{false};

  // Receive buffer: bytes[0, count) hold received data not yet handled,
  // starting at a packet boundary. Plugins get every packet at an address
  // aligned as malloc aligns (32-bit ARM faults on some wider loads from odd
  // addresses): one at the start of `bytes` is, one behind another in the
  // same receive is copied to `aligned` first, allocated when first needed.
  struct IpcBuffer {
    alignas(std::max_align_t) uint8_t bytes[kIpcBufferSize] = {};
    uint32_t count = 0;
    std::unique_ptr<std::max_align_t[]> aligned;
  };
  IpcBuffer ipcBuffer;  // I/O thread only
  // The plugins' IOCTL entries in table order, as of the table's change
  // routesSeen (PluginTable::CopyIoctlRoutes). I/O thread only.
  std::vector<PluginTable::IoctlTarget> routes;
  unsigned routesSeen = 0;

  // Packets raisers accepted and the I/O thread has not taken yet, in
  // order. Only the raiser that finds the list without a pending take posts
  // one, so that a burst of packets costs one post, not one each.
  Mutex handoffMutex;
  std::vector<OutgoingPacket> handedOver GUARDED_BY(handoffMutex);
  bool takePosted GUARDED_BY(handoffMutex) = false;
  // Set by Flush: Send refuses from then on.
  bool closing GUARDED_BY(handoffMutex) = false;
  // The I/O thread's side of the swap, kept so that both keep their room.
  std::vector<OutgoingPacket> taken;  // I/O thread only

  std::deque<OutgoingPacket> outgoingPackets;  // I/O thread; main thread after the join
  bool ipcSendFailed = false;  // a write to the parent failed: nothing more is written
  // A flush is waiting for the queue to empty (I/O thread only); flushDone is
  // set once it has, on the I/O thread, and waited for by the main thread.
  bool flushing = false;
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
