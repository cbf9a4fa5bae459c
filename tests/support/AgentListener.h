// Test fixture piece: a real TCP listener on 127.0.0.1 that plays the agent.
#ifndef CPCLIENT_TESTS_SUPPORT_AGENTLISTENER_H
#define CPCLIENT_TESTS_SUPPORT_AGENTLISTENER_H

#include <string>

// Listens on an ephemeral loopback port from construction. The library's connect
// completes through the listen backlog, so a test can open, then accept, on one
// thread. Every read waits at most timeoutMs and returns what it has by then.
class AgentListener {
 public:
  AgentListener();
  ~AgentListener();
  AgentListener(const AgentListener&) = delete;
  AgentListener& operator=(const AgentListener&) = delete;

  int port() const { return port_; }
  // Accepts the next connection (closing an earlier one). False on time-out.
  bool accept(int timeoutMs = 5000);
  // Sends bytes whole to the accepted connection.
  bool send(const std::string& bytes);
  // Sends every later piece at once rather than holding small ones back until
  // what went before is acknowledged (TCP_NODELAY), as an agent that streams does.
  void sendWithoutDelay();
  // Reads up to and including the first occurrence of terminator; keeps the rest.
  std::string readUntil(const std::string& terminator, int timeoutMs = 5000);
  // One message of the library: through its ">\n".
  std::string readMessage(int timeoutMs = 5000) { return readUntil(">\n", timeoutMs); }
  // Reads exactly count bytes, or fewer on time-out or close.
  std::string readBytes(size_t count, int timeoutMs = 5000);
  // What one read brings, waiting at most timeoutMs for it (empty on time-out or close).
  std::string readSome(int timeoutMs = 5000);
  // Everything that arrives until the peer closes or timeoutMs of silence passes.
  std::string readAll(int timeoutMs = 200);
  // Ends the agent's sending half: the library reads end of stream, and its
  // writes still arrive.
  void finishSending();
  // Closes the accepted connection in order (the library reads end of stream).
  void closeClient();
  // Closes the accepted connection with a reset.
  void resetClient();
  // Stops listening, so that connects to the port are refused.
  void stopListening();

  // A loopback port on which nothing listens (bound, then released).
  static int unusedPort();

 private:
  bool fill(int timeoutMs);
  int listenFd_;
  int clientFd_;
  int port_;
  std::string pending_;
};

#endif  // CPCLIENT_TESTS_SUPPORT_AGENTLISTENER_H
