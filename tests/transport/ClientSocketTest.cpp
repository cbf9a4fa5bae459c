// ClientSocket over real loopback TCP: connecting, retries, writes, and the agent going away.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/Trace.h"
#include "support/AgentListener.h"
#include "support/TraceCapture.h"
#include "transport/ClientSocket.h"
#include "util/StringBuffer.h"

namespace {

StringBuffer bufferOf(const std::string& text) { return StringBuffer(text.c_str()); }

// A TCP socket connected to port on 127.0.0.1, for a ClientSocket to adopt.
int connectedSocket(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  return fd;
}

TEST(ClientSocket, OpensAndExchangesMessagesWithTheAgent) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  ASSERT_TRUE(agent.accept());

  StringBuffer out = bufferOf("<hello/>\n");
  ASSERT_TRUE(socket.write(out));
  EXPECT_EQ("<hello/>\n", agent.readMessage());

  ASSERT_TRUE(agent.send("<dataRequest id=\"1\"/>\n<shutdown/>\n"));
  StringBuffer in;
  ASSERT_TRUE(socket.receive(in));
  EXPECT_STREQ("<dataRequest id=\"1\"/>", in.data());
  ASSERT_TRUE(socket.receive(in));
  EXPECT_STREQ("<shutdown/>", in.data());
}

TEST(ClientSocket, ConnectTraceShowsAddressAndPortUnderDetail) {
  AgentListener agent;
  TraceCapture trace(TRC_DETAIL);
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  EXPECT_TRUE(trace.has("ClientSocket initialized socket for ipaddr 127.0.0.1 port " + std::to_string(agent.port())));
  EXPECT_TRUE(trace.hasFragment("addr 127.0.0.1 port " + std::to_string(agent.port()))) << trace.dump();
}

TEST(ClientSocket, NothingListeningMeansFourAttemptsAndThirtyUnitsOfWaiting) {
  ScopedEnv unit("CP_SLEEP_UNIT_MS", "5");
  int port = AgentListener::unusedPort();
  TraceCapture trace(0);
  ClientSocket socket(port, "127.0.0.1");
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.open());
  auto waited = std::chrono::steady_clock::now() - started;

  std::string retrying =
      "Unable to connect to TCP socket for port " + std::to_string(port) + ", errno=111 - retrying....";
  EXPECT_EQ(4, trace.count(retrying)) << trace.dump();
  EXPECT_EQ(1, trace.count("Unable to connect to TCP socket, errno=111 - retry count exceeded.")) << trace.dump();
  EXPECT_EQ(5u, trace.lines().size());
  EXPECT_FALSE(socket.isOpen());
  // Waits of 2 + 4 + 8 + 16 units; a sleep is never shorter than asked.
  EXPECT_GE(waited, std::chrono::milliseconds(30 * 5));
}

TEST(ClientSocket, AgentClosingWhileAReadWaitsEndsTheReceive) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  ASSERT_TRUE(agent.accept());
  TraceCapture trace(TRC_ERROR);
  bool received = true;
  std::thread waiter([&] {
    StringBuffer message;
    received = socket.receive(message);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  agent.closeClient();
  waiter.join();
  EXPECT_FALSE(received);
  EXPECT_TRUE(trace.has("socket receive error: 0")) << trace.dump();
}

TEST(ClientSocket, ResetByTheAgentEndsTheReceive) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  ASSERT_TRUE(agent.accept());
  ASSERT_TRUE(agent.send("<partial"));
  agent.resetClient();
  StringBuffer message;
  EXPECT_FALSE(socket.receive(message));
}

TEST(ClientSocket, InterruptOnAnotherThreadWakesABlockedReceive) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  ASSERT_TRUE(agent.accept());
  bool received = true;
  std::thread waiter([&] {
    StringBuffer message;
    received = socket.receive(message);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  socket.interrupt();
  waiter.join();
  EXPECT_FALSE(received);
  socket.close();
  EXPECT_FALSE(socket.isOpen());
}

TEST(ClientSocket, WriteAfterTheAgentClosedFailsWithoutSignal) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  ASSERT_TRUE(agent.accept());
  agent.closeClient();
  TraceCapture trace(0);
  StringBuffer message = bufferOf("<pureEvent/>\n");
  // The first send may still be taken by the kernel; the reset it draws fails a later one.
  bool failed = false;
  for (int i = 0; i < 100 && !failed; i++) {
    failed = !socket.write(message);
    if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(trace.has("socket write error:32") || trace.has("socket write error:104")) << trace.dump();
}

TEST(ClientSocket, WriteOnAClosedSocketFails) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  socket.close();
  TraceCapture trace(0);
  StringBuffer message = bufferOf("<a/>\n");
  EXPECT_FALSE(socket.write(message));
  EXPECT_TRUE(trace.has("socket write error:9")) << trace.dump();
}

TEST(ClientSocket, WriteSendsTheBytesUnchangedAndDumpsThemUnderDetail) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  ASSERT_TRUE(agent.accept());
  TraceCapture trace(TRC_DETAIL);
  StringBuffer message = bufferOf("<taskResponse id=\"1\" rc=\"0\"/>");
  ASSERT_TRUE(socket.write(message));
  EXPECT_EQ("<taskResponse id=\"1\" rc=\"0\"/>", agent.readBytes(message.length()));
  EXPECT_TRUE(trace.hasFragment("send on socket ")) << trace.dump();
}

TEST(ClientSocket, ConcurrentWritesNeverInterleave) {
  AgentListener agent;
  ClientSocket socket(agent.port(), "127.0.0.1");
  ASSERT_TRUE(socket.open());
  ASSERT_TRUE(agent.accept());
  constexpr int kThreads = 4;
  constexpr int kMessagesEach = 20;
  constexpr size_t kBody = 100000;  // larger than a socket buffer, so sends are partial
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; t++) {
    writers.emplace_back([&socket, t] {
      std::string text = "<m t=\"" + std::string(kBody, static_cast<char>('a' + t)) + "\"/>\n";
      for (int i = 0; i < kMessagesEach; i++) {
        StringBuffer message(text.c_str());
        EXPECT_TRUE(socket.write(message));
      }
    });
  }
  int seen[kThreads] = {};
  for (int i = 0; i < kThreads * kMessagesEach; i++) {
    std::string message = agent.readMessage(10000);
    ASSERT_EQ(kBody + 10, message.size()) << "message " << i;
    char mark = message[6];
    ASSERT_GE(mark, 'a');
    ASSERT_LT(mark, 'a' + kThreads);
    EXPECT_EQ(kBody + 6, message.find_first_not_of(mark, 6)) << "message " << i;
    seen[mark - 'a']++;
  }
  for (std::thread& w : writers) w.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(kMessagesEach, seen[t]);
}

// A send that gives up after part of a message went out leaves the stream with no
// place where a next message could start: the connection ends, the waiting thread
// sees it, and nothing more is written.
TEST(ClientSocket, MessageCutShortOnTheWireEndsTheConnection) {
  AgentListener agent;
  int fd = connectedSocket(agent.port());
  timeval timeout{0, 100000};
  ASSERT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout));
  ClientSocket socket(0, "127.0.0.1");
  socket.adopt(fd);
  ASSERT_TRUE(agent.accept());
  std::atomic<bool> waitEnded{false};
  std::thread waiter([&] {
    StringBuffer message;
    EXPECT_FALSE(socket.receive(message));
    waitEnded = true;
  });
  TraceCapture quiet(0);
  StringBuffer big = bufferOf("<big v=\"" + std::string(32 << 20, 'x') + "\"/>\n");
  EXPECT_FALSE(socket.write(big));  // the agent reads nothing yet: the send times out part way
  for (int i = 0; i < 500 && !waitEnded; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(waitEnded);
  if (!waitEnded) socket.interrupt();
  waiter.join();

  std::string stream;
  std::thread reader([&] { stream = agent.readAll(1000); });
  StringBuffer next = bufferOf("<next/>\n");
  EXPECT_FALSE(socket.write(next));
  reader.join();
  EXPECT_LT(stream.size(), static_cast<size_t>(big.length()));
  EXPECT_EQ(std::string::npos, stream.find("<next/>"));
}

}  // namespace
