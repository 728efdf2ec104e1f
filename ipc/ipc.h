// The parent link: the layer that speaks to the parent daemon brevad.
//
// What it offers, one header per component:
//   parent_link.h            ParentLink: the link, composed of the parts
//                            below (parent_link.cpp)
//   parent_socket.h          ParentSocket: the socket both directions use
//   parent_inbound.h         ParentInbound: receiving, relaying packets to
//                            plugins (parent_inbound.cpp)
//   parent_outbound.h        ParentOutbound: sending theirs to the parent,
//                            OutgoingHandoff, OutgoingLimit
//                            (parent_outbound.cpp)
//   parent_identification.h  ParentIdentification: the parent's identity
//                            (parent_identification.cpp)
//   packets.h                the packet format and its splitting
#ifndef DVRCORE_IPC_IPC_H
#define DVRCORE_IPC_IPC_H

#include "ipc/packets.h"
#include "ipc/parent_link.h"

#endif  // DVRCORE_IPC_IPC_H
