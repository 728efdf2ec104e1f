// The parent link: the layer that speaks to the parent daemon brevad.
//
// What it offers, one header per component:
//   parent_link.h  ParentLink: the socket, relaying packets to plugins,
//                  sending theirs to the parent (parent_link.cpp)
//   packets.h      the packet format and its splitting
#ifndef DVRCORE_IPC_IPC_H
#define DVRCORE_IPC_IPC_H

#include "ipc/packets.h"
#include "ipc/parent_link.h"

#endif  // DVRCORE_IPC_IPC_H
