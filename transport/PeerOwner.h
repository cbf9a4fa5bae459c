// Which user owns the far end of a loopback TCP connection, told by the kernel's
// socket diagnostics, so that a provider can refuse a listener that another local
// user has put on the agent's port.
#ifndef CPCLIENT_TRANSPORT_PEEROWNER_H
#define CPCLIENT_TRANSPORT_PEEROWNER_H

#include <sys/types.h>

// The uid that owns the socket at the other end of fd, a connected IPv4 TCP socket
// whose peer is on this host: the listener's owner, also before the peer has
// accepted. True with *owner; false (errno says why: ENOENT when the kernel knows
// no such socket) when it cannot be told. Blocks at most a second; any thread.
bool peerSocketOwner(int fd, uid_t* owner);

#endif  // CPCLIENT_TRANSPORT_PEEROWNER_H
