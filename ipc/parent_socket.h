// The socket to the parent, which both directions of the parent link use.
//
// DESIGN (threads): the socket belongs to the I/O thread once it runs (the
// main thread stands in for it before, Adopt, and after, at shutdown); other
// threads see only `ipcOpen`.
#ifndef DVRCORE_IPC_PARENT_SOCKET_H
#define DVRCORE_IPC_PARENT_SOCKET_H

#include <atomic>

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_service.hpp>

#include "events/locks.h"

struct ParentSocket {
  explicit ParentSocket(boost::asio::io_service& ioService)
      : ioService(ioService), ipcSocket(ioService) {}

  boost::asio::io_service& ioService;
  // I/O thread once it runs (main thread: Adopt before, shutdown after).
  boost::asio::basic_stream_socket<boost::asio::generic::seq_packet_protocol> ipcSocket
      GUARDED_BY(g_ioThread);
  // Mirrors ipcSocket.is_open() for other threads: set by Adopt, cleared on
  // the I/O thread when the link is lost.
  std::atomic<bool> ipcOpen{false};
};

#endif  // DVRCORE_IPC_PARENT_SOCKET_H
