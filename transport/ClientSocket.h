// The one TCP connection to the agent: bounded connect retries, whole writes, framed reads.
//
// Calling order: construct, open (once), any number of write and receive, close,
// destroy. receive is used by one thread at a time (the waiting thread); write may
// be called from any thread, also while another thread is blocked in receive, and
// concurrent writes are serialised so the bytes of two messages never interleave.
//
// Once the connection has ended (the agent closed or reset it, a read failed, a
// message was cut short on the wire, or the framing ran out of memory) it stays
// ended: every later write fails and every later receive fails without reading or
// serving what was kept, until close. After interrupt receives fail the same way,
// while writes go on.
#ifndef CPCLIENT_TRANSPORT_CLIENTSOCKET_H
#define CPCLIENT_TRANSPORT_CLIENTSOCKET_H

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "transport/MessageFraming.h"

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

  using TimePoint = std::chrono::steady_clock::time_point;
  // The deadline of a call without a time limit.
  static constexpr TimePoint NO_DEADLINE = TimePoint::max();

  // Connects to ipaddr:port with up to 4 attempts, each on a fresh socket, sleeping
  // 2, 4, 8 and 16 sleep units after the failures. True when connected.
  bool open() { return open(NO_DEADLINE) == Opened::CONNECTED; }
  // What an open gave.
  enum class Opened { CONNECTED, FAILED, TIMED_OUT };
  // As open, but never past deadline: a wait that would pass it is cut to end there
  // and no attempt follows (TIMED_OUT, the socket closed). FAILED when the four
  // attempts failed first, or the socket could not be created.
  Opened open(TimePoint deadline);
  // Accepts a connection only when the socket at its far end belongs to uid (see
  // peerSocketOwner): any other is closed at once, traced with its owner, and
  // counts as a failed attempt. Call before open.
  void requireOwner(uid_t uid) { requiredOwner = static_cast<long long>(uid); }
  // Takes over an already connected stream socket instead of opening one, so that
  // tests and tools can play the agent over a socket pair.
  void adopt(int fd);
  // Stops receiving, for a close: wakes a receive blocked on another thread and
  // makes it and every later one give ENDED without reading or serving kept bytes.
  // Writes go on working, so that messages under way on other threads still reach
  // the agent whole before close ends the connection. Safe from any thread. Writes no trace.
  void interrupt();
  // Closes the socket in order: ends the sending side, then reads and discards what
  // the agent still sends until it ends its stream, everything written has been
  // acknowledged, or CLOSE_LIMIT_MS pass; only then releases the handle, so the
  // kernel never answers unread bytes with a reset that would drop what was written.
  // The left-over bytes stay until destruction. No other call may be running on the
  // socket: interrupt, and let it return, first. Writes no trace.
  void close();
  // Shuts the sending side down: a send blocked on an agent that reads nothing fails,
  // and so does every later one. For a close that must not wait on a stuck writer;
  // safe while another thread writes. Writes no trace.
  void endSending();
  // Sends all of message's bytes, retrying partial sends and interrupted calls.
  // False (with "socket write error:%d") when a send fails, also when the agent has
  // closed the connection: it never raises SIGPIPE. A send that fails after part of
  // the message went out ends the connection (the agent could never find where the
  // next message starts); so does one that shows the connection gone. After the
  // connection has ended it fails at once. Adds no terminator.
  bool write(StringBuffer& message);
  // What a receive gave.
  enum class Receipt {
    MESSAGE,    // message holds the next inbound message
    TIMED_OUT,  // no whole message arrived in time; the part that did is kept for the next receive
    ENDED,      // the connection has ended
  };
  // Empties message and fills it with the next inbound message, through its '>'
  // and without the line feed. ENDED when the connection has ended: closed or reset
  // by the agent, a failed read, or a message or its left-over bytes that could not
  // be kept for want of memory (which ends the connection, so the stream never
  // resumes inside a dropped message); message then holds no message. TIMED_OUT
  // once deadline has passed without a whole message (a deadline already past
  // takes only what has arrived).
  Receipt receive(StringBuffer& message, TimePoint deadline);
  // receive without a time limit: true with a message, false when the connection has ended.
  bool receive(StringBuffer& message) { return receive(message, NO_DEADLINE) == Receipt::MESSAGE; }

  bool isOpen() const { return sock != INVALID_SOCKET; }
  // True once the connection has ended (see above); false again only for a new object.
  bool hasEnded() const { return ended.load(std::memory_order_acquire); }

  static constexpr int INVALID_SOCKET = -1;
  // The longest close waits for the agent to take in what was written.
  static constexpr int CLOSE_LIMIT_MS = 1000;

 private:
  // Marks the connection ended with error (0 for an orderly end) and wakes a blocked
  // receive; with shutDown also shuts the socket down, so the agent sees the end.
  void end(int error, bool shutDown);
  // Wakes a receive blocked in waitReadable through the wake descriptor.
  void wakeReceive();
  // True once receives must fail: the connection has ended or was interrupted.
  bool receivingOver() const { return hasEnded() || interrupted.load(std::memory_order_seq_cst); }
  // Blocks until the socket is readable or the connection is ended from another
  // thread (true), or until deadline has passed (false; NO_DEADLINE never does).
  bool waitReadable(TimePoint deadline);
  // Sends the total bytes at data under the write lock; returns 0, or the errno of the
  // send that failed (EPIPE once the connection has ended).
  int sendAll(const char* data, size_t total);
  // Reads at most size - 1 bytes of the stream into chunk and puts a NUL behind them;
  // returns how many, 0 when deadline passed first (see waitReadable), or -1 with
  // the errno that ends this receive in *error. midMessage: the receive holds part
  // of a message already. It reads first, so that bytes already queued cost one
  // call, unless a read would most likely find nothing (see lastReadShort and
  // waitFirstReceives): then it waits first, and a wait costs two calls, not three.
  int readChunk(char* chunk, int size, int* error, TimePoint deadline, bool midMessage);
  // True when the far end of the connected sock may be the agent: no owner is
  // required, or the required one owns it. Traces a refusal.
  bool farEndAccepted();
  // Creates the descriptor that interrupt uses to wake a blocked receive.
  void createWakeDescriptor();
  // Reads and discards inbound bytes until the agent ends its stream, everything
  // written has been acknowledged, or CLOSE_LIMIT_MS pass.
  void drainBeforeClose();

  sockaddr_in address;
  int port;
  const char* ipaddr;
  int sock;
  long long requiredOwner;        // the uid the agent's socket must belong to; -1: any
  MessageFramer framer;           // holds the bytes that followed the last message delivered
  std::mutex writeMutex;          // serialises write; held only for the sends of one message
  int wakeFd;                     // an eventfd that interrupt and end signal; -1 if none could be made
  std::atomic<bool> ended;        // see hasEnded
  std::atomic<bool> interrupted;  // set by interrupt: receives fail, writes go on
  std::atomic<int> endError;      // the errno that ended the connection, for the trace
  // Of the receiving thread alone. The last read emptied the socket: it took less
  // than it asked for. The rest of a message begun then is most likely still on its
  // way, and so is the next message while waitFirstReceives lasts.
  bool lastReadShort;
  // Receives whose first read waits first, set when a receive's first read found
  // nothing (the agent then sends only once we wait). One receive in
  // WAIT_FIRST_RECEIVES + 1 reads first, and finds the messages of an agent that
  // sends ahead of the answers (or of one that runs between them on our processor).
  int waitFirstReceives;
};

#endif  // CPCLIENT_TRANSPORT_CLIENTSOCKET_H
