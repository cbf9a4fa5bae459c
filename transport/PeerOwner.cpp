// The owner of a connection's far end through NETLINK_SOCK_DIAG.
#include "transport/PeerOwner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int REPLY_TIMEOUT_MS = 1000;
// A connection whose last handshake step the peer has not yet processed shows as
// a request socket without an owner; it becomes the full socket within moments.
constexpr int PENDING_TRIES = 50;
constexpr int PENDING_PAUSE_US = 1000;
constexpr int NEW_SYN_RECV_STATE = 12;  // the kernel's TCP_NEW_SYN_RECV

struct DiagQuery {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

// Asks the kernel about the socket of the 4-tuple in query; true with its owner and state.
bool ask(int diag, const DiagQuery& query, uid_t* owner, int* state) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(diag, &query, sizeof query, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0)
    return false;
  alignas(nlmsghdr) char reply[8192];
  ssize_t length = recv(diag, reply, sizeof reply, 0);
  if (length < 0) return false;
  auto size = static_cast<unsigned int>(length);
  for (auto* h = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(h, size); h = NLMSG_NEXT(h, size)) {
    if (h->nlmsg_type == NLMSG_ERROR) {
      const auto* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
      errno = failure->error < 0 ? -failure->error : ENOENT;
      return false;
    }
    if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      *owner = socketInfo->idiag_uid;
      *state = socketInfo->idiag_state;
      return true;
    }
  }
  errno = ENOENT;
  return false;
}

}  // namespace

bool peerSocketOwner(int fd, uid_t* owner) {
  sockaddr_in local{}, remote{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  length = sizeof remote;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0) return false;
  if (local.sin_family != AF_INET || remote.sin_family != AF_INET) {
    errno = EAFNOSUPPORT;
    return false;
  }
  int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) return false;
  timeval timeout{REPLY_TIMEOUT_MS / 1000, static_cast<suseconds_t>(REPLY_TIMEOUT_MS % 1000) * 1000};
  setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  // The far end's socket: its local address is our peer, its remote one is us.
  DiagQuery query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.request.sdiag_family = AF_INET;
  query.request.sdiag_protocol = IPPROTO_TCP;
  query.request.idiag_states = ~0U;
  query.request.id.idiag_sport = remote.sin_port;
  query.request.id.idiag_dport = local.sin_port;
  query.request.id.idiag_src[0] = remote.sin_addr.s_addr;
  query.request.id.idiag_dst[0] = local.sin_addr.s_addr;
  query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  bool known = false;
  int state = NEW_SYN_RECV_STATE;
  for (int tries = 0; tries < PENDING_TRIES && state == NEW_SYN_RECV_STATE; tries++) {
    if (tries > 0) usleep(PENDING_PAUSE_US);
    known = ask(diag, query, owner, &state);
    if (!known) break;
  }
  int error = errno;
  close(diag);
  if (known && state == NEW_SYN_RECV_STATE) {
    known = false;  // never completed: nobody can be said to own it
    error = EAGAIN;
  }
  errno = error;
  return known;
}
