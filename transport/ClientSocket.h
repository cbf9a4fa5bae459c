// The one TCP connection to the agent: bounded connect retries, whole writes, framed reads.
//
// Calling order: construct, open (once), any number of write and receive, close,
// destroy. receive is used by one thread at a time (the waiting thread); write may
// be called from any thread, also while another thread is blocked in receive, and
// concurrent writes are serialised so the bytes of two messages never interleave.
#ifndef CPCLIENT_TRANSPORT_CLIENTSOCKET_H
#define CPCLIENT_TRANSPORT_CLIENTSOCKET_H

#include <netinet/in.h>

#include <mutex>

class StringBuffer;

class ClientSocket {
 public:
  // Stores the target; does not connect. ipaddr is kept, not copied: it must
  // outlive the object.
  ClientSocket(int port, const char* ipaddr);
  // Closes the socket if it is still open and releases the left-over bytes.
  ~ClientSocket();
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  // Connects to ipaddr:port with up to 4 attempts, each on a fresh socket, sleeping
  // 2, 4, 8 and 16 sleep units after the failures. True when connected.
  bool open();
  // Takes over an already connected stream socket instead of opening one, so that
  // tests and tools can play the agent over a socket pair.
  void adopt(int fd);
  // Wakes a receive blocked on another thread (it returns false) and makes later
  // reads and writes fail, without giving up the socket handle. Writes no trace.
  void interrupt();
  // Closes the socket; the left-over bytes stay until destruction. No other call
  // may be running on the socket: interrupt, and let it return, first. Writes no trace.
  void close();
  // Sends all of message's bytes, retrying partial sends and interrupted calls.
  // False (with "socket write error:%d") when a send fails, also when the agent has
  // closed the connection: it never raises SIGPIPE. Adds no terminator.
  bool write(StringBuffer& message);
  // Empties message and fills it with the next inbound message, through its '>'
  // and without the line feed. False when the connection failed or was closed by
  // the agent, or message ran out of memory; message then holds no message.
  bool receive(StringBuffer& message);

  bool isOpen() const { return sock != INVALID_SOCKET; }

  static constexpr int INVALID_SOCKET = -1;

 private:
  sockaddr_in address;
  int port;
  const char* ipaddr;
  int sock;
  StringBuffer* leftover;
  std::mutex writeMutex;  // serialises write; held only for the sends of one message
};

#endif  // CPCLIENT_TRANSPORT_CLIENTSOCKET_H
