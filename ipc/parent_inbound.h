// The parent link's inbound path: records from the parent, split into
// packets, each handled where it lies: identification, stop, or relayed to
// the addressed plugin's IOCTL.
//
// DESIGN (threads): everything here is the I/O thread's (GUARDED_BY
// g_ioThread); the main thread's start-up stands in for it for the first
// StartReceive. The identification goes to ParentIdentification, under its
// own lock.
#ifndef DVRCORE_IPC_PARENT_INBOUND_H
#define DVRCORE_IPC_PARENT_INBOUND_H

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <boost/system/error_code.hpp>

#include "events/locks.h"
#include "ipc/packets.h"
#include "ipc/parent_identification.h"
#include "ipc/parent_socket.h"
#include "pluginhost/plugin_table.h"

// One whole packet of the largest size fits.
constexpr size_t kIpcBufferSize = kIpcMaxPacket;

// Records one recvmmsg takes at most. The first lands behind the bytes the
// buffer holds, as a single receive would; each other needs a slot of
// kIpcBufferSize of its own, since a record is cut short when it does not fit
// (7 x 64 KiB, allocated at the first receive and resident only as far as
// records have filled it). Eight records spread the cost of a wake-up and a
// system call thin enough; more only hold the I/O thread longer in one go.
constexpr unsigned kReceiveBatch = 8;

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

class ParentInbound {
 public:
  ParentInbound(ParentSocket& link, PluginTable& plugins, ParentLinkHost& host,
                ParentIdentification& identity)
      : link(link), plugins(plugins), host(host), identity(identity) {}
  ParentInbound(const ParentInbound&) = delete;
  ParentInbound& operator=(const ParentInbound&) = delete;

  // Waits for records from the parent; once they are there, takes a batch of
  // them and hands each to the host, then waits again.
  void StartReceive() REQUIRES(g_ioThread);
  // For the host: handles every complete packet of the buffered bytes and the
  // record just received (`bytes` of it); an error or an empty record loses
  // the link.
  void Received(const boost::system::error_code& error, unsigned int bytes) REQUIRES(g_ioThread);

 private:
  // One recvmmsg, each record to the host, then the next wait.
  void ReceiveBatch() REQUIRES(g_ioThread);
  // The link is lost: the core stops and the socket is closed. Out of line,
  // so that Received stays as lean as a packet needs.
  __attribute__((noinline, cold)) void LoseLink() REQUIRES(g_ioThread);
  // One packet from the parent.
  void HandlePacket(const uint8_t* packet, uint32_t length) REQUIRES(g_ioThread);
  void RelayToPlugin(const IpcPacketHeader& header, const uint8_t* packet, uint32_t length)
      REQUIRES(g_ioThread);

  ParentSocket& link;
  PluginTable& plugins;
  ParentLinkHost& host;
  ParentIdentification& identity;

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
};

#endif  // DVRCORE_IPC_PARENT_INBOUND_H
