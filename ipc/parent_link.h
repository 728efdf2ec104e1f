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
// DESIGN (threads): the link is composed of parts, each owned by one thread
// or lock:
//   ParentSocket          the socket, the I/O thread's (g_ioThread); other
//                         threads see whether it is open (an atomic)
//   ParentInbound         receive buffer, splitting, relay to plugins: the
//                         I/O thread's
//   ParentOutbound        writing the queued packets: the I/O thread's; the
//                         hand-over from raisers under its handoffMutex, the
//                         byte limit in atomics
//   ParentIdentification  the parent's identity, under its identityMutex
// Before the I/O thread runs, the main thread's start-up stands in for it
// (Adopt, the first StartReceive), and after it is joined, the main thread's
// shutdown (DropUnsent). Other threads reach the link only through Send,
// IsOpen and the parent's identity.
#ifndef DVRCORE_IPC_PARENT_LINK_H
#define DVRCORE_IPC_PARENT_LINK_H

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <boost/asio/io_service.hpp>

#include "events/locks.h"
#include "ipc/packets.h"
#include "ipc/parent_identification.h"
#include "ipc/parent_inbound.h"
#include "ipc/parent_outbound.h"
#include "ipc/parent_socket.h"
#include "pluginhost/plugin_table.h"

class ParentLink {
 public:
  ParentLink(boost::asio::io_service& ioService, PluginTable& plugins, ParentLinkHost& host)
      : socket(ioService), inbound(socket, plugins, host, identity), outbound(socket) {}
  ParentLink(const ParentLink&) = delete;
  ParentLink& operator=(const ParentLink&) = delete;

  // Main thread, Init: takes the inherited descriptor as the link. False when
  // it is not a socket or cannot be registered (the caller logs).
  bool Adopt(int descriptor) REQUIRES(g_mainThread);
  // Any thread: the link is open (set by Adopt, cleared when it is lost).
  bool IsOpen() const { return socket.ipcOpen.load(); }

  // Waits for records from the parent; once they are there, takes a batch of
  // them and hands each to the host, then waits again. I/O thread (or the
  // main thread standing in for it before it runs).
  void StartReceive() REQUIRES(g_ioThread) { inbound.StartReceive(); }
  // I/O thread, for the host: handles every complete packet of the buffered
  // bytes and the record just received (`bytes` of it); an error or an empty
  // record loses the link.
  void Received(const boost::system::error_code& error, unsigned int bytes) REQUIRES(g_ioThread) {
    inbound.Received(error, bytes);
  }

  // Any thread: takes `buffer` (malloc'd, `length` bytes) to write to the
  // parent, or says why it is refused; a refused buffer is freed. Throws
  // std::bad_alloc, with the buffer freed, when the hand-over cannot
  // allocate.
  using SendResult = ParentOutbound::SendResult;
  SendResult Send(void* buffer, uint32_t length) { return outbound.Send(buffer, length); }
  // Any thread: bytes accepted and not yet written, and whether packets are
  // being refused for the outgoing limit.
  size_t BytesWaiting() const { return outbound.BytesWaiting(); }
  bool Refusing() const { return outbound.Refusing(); }

  // Main thread: waits until the parent has identified itself (also before
  // the wait), StopWaiting is called, or `timeout` has passed.
  void WaitForIdentification(std::chrono::steady_clock::duration timeout) REQUIRES(g_mainThread) {
    identity.WaitFor(timeout);
  }
  // Any thread: ends that wait for good.
  void StopWaiting() { identity.StopWaiting(); }
  // Any thread: the parent's library file name and version, as a pair.
  using Identity = ParentIdentification::Identity;
  Identity ParentIdentity() { return identity.Get(); }

  // Main thread, stopping, with the I/O thread still running: packets are
  // refused from now on, and every packet accepted before is written unless
  // the link fails or `bound` passes first.
  void Flush(std::chrono::steady_clock::duration bound) REQUIRES(g_mainThread) {
    outbound.Flush(bound);
  }
  // Main thread, after the I/O thread is joined: frees what was never
  // written, saying how many packets that was.
  void DropUnsent() REQUIRES(g_mainThread) { outbound.DropUnsent(); }

 private:
  ParentSocket socket;
  ParentIdentification identity;
  ParentInbound inbound;
  ParentOutbound outbound;
};

#endif  // DVRCORE_IPC_PARENT_LINK_H
