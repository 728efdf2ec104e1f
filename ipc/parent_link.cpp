// The parent link: taking the inherited socket; the rest is its parts'.
#include "ipc/parent_link.h"

#include <sys/socket.h>
#include <sys/stat.h>

bool ParentLink::Adopt(int descriptor) {
  RunsOn beforeIoThread(g_ioThread);  // Init: the I/O thread does not run yet
  // Boost.Asio accepts descriptors that epoll cannot watch (a regular file,
  // /dev/null) and would only fail at the first receive; the parent link
  // must be a socket, so anything else fails here.
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  boost::system::error_code error;
  socket.ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor, error);
  if (error) return false;
  socket.ipcOpen = true;
  return true;
}
