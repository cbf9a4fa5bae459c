// Framing of inbound messages, with every read boundary fixed by a packet socket pair.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/Trace.h"
#include "support/TraceCapture.h"
#include "transport/ClientSocket.h"
#include "util/StringBuffer.h"

namespace {

// Each element of reads arrives as exactly one read of the socket.
class PacketAgent {
 public:
  PacketAgent() : socket_(0, "127.0.0.1") {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds));
    socket_.adopt(fds[0]);
    peer_ = fds[1];
  }
  ~PacketAgent() {
    if (peer_ >= 0) close(peer_);
  }
  void sendReads(const std::vector<std::string>& reads) {
    for (const std::string& r : reads) ASSERT_EQ(static_cast<ssize_t>(r.size()), send(peer_, r.data(), r.size(), 0));
  }
  void hangUp() {
    close(peer_);
    peer_ = -1;
  }
  ClientSocket& socket() { return socket_; }

 private:
  ClientSocket socket_;
  int peer_;
};

std::vector<std::string> receiveAll(ClientSocket& socket) {
  std::vector<std::string> messages;
  StringBuffer message;
  while (socket.receive(message)) messages.emplace_back(message.data(), message.length());
  return messages;
}

struct FramingCase {
  const char* name;
  std::vector<std::string> reads;
  std::vector<std::string> messages;
};

const std::string kLong(4000, 'x');

const FramingCase kFramingCases[] = {
    {"OneMessageInOneRead", {"<a/>\n"}, {"<a/>"}},
    {"TwoMessagesInOneRead", {"<a/>\n<b/>\n"}, {"<a/>", "<b/>"}},
    {"MessageAndStartOfNext", {"<a/>\n<b", "/>\n"}, {"<a/>", "<b/>"}},
    {"TerminatorSplitAcrossReads", {"<a/>", "\n<b/>\n"}, {"<a/>", "<b/>"}},
    {"TerminatorSplitAndNothingAfter", {"<a/>", "\n"}, {"<a/>"}},
    {"TerminatorSplitThreeWays", {"<a/", ">", "\n"}, {"<a/>"}},
    {"LeftOverEndsWithGreaterThan", {"<a/>\n<b/>", "\n<c/>\n"}, {"<a/>", "<b/>", "<c/>"}},
    {"GreaterThanAtEndOfReadWithoutLineFeed", {"<a>", "<b/>\n"}, {"<a><b/>"}},
    {"LineFeedNotAfterGreaterThanStaysInMessage", {"<a v=\"1\n2\"/>\n"}, {"<a v=\"1\n2\"/>"}},
    {"LineFeedAtStartOfFirstReadIsText", {"\n<a/>\n"}, {"\n<a/>"}},
    {"BytesAfterNulInOneReadAreDropped", {std::string("<a\0junk", 7), "/>\n"}, {"<a/>"}},
    {"MessageLongerThanOneRead",
     {"<m v=\"" + kLong, kLong, kLong + "\"/>\n"},
     {"<m v=\"" + kLong + kLong + kLong + "\"/>"}},
    {"ThreeMessagesInOneRead", {"<a/>\n<b/>\n<c/>\n"}, {"<a/>", "<b/>", "<c/>"}},
    {"IncompleteMessageAtCloseIsNotDelivered", {"<a/>\n<b"}, {"<a/>"}},
};

class ClientSocketFraming : public ::testing::TestWithParam<FramingCase> {};

TEST_P(ClientSocketFraming, DeliversEachMessageThroughItsGreaterThan) {
  const FramingCase& c = GetParam();
  PacketAgent agent;
  agent.sendReads(c.reads);
  agent.hangUp();
  EXPECT_EQ(c.messages, receiveAll(agent.socket()));
}

INSTANTIATE_TEST_SUITE_P(Reads, ClientSocketFraming, ::testing::ValuesIn(kFramingCases),
                         [](const ::testing::TestParamInfo<FramingCase>& info) { return info.param.name; });

TEST(ClientSocketFramingTrace, SecondMessageOfOneReadIsServedWithoutReading) {
  PacketAgent agent;
  agent.sendReads({"<a/>\n<b/>\n"});
  TraceCapture trace(TRC_DETAIL | TRC_ERROR);
  StringBuffer message;
  ASSERT_TRUE(agent.socket().receive(message));
  EXPECT_TRUE(trace.has("Have leftover data after a complete message-- saving for next time")) << trace.dump();
  trace.clear();
  ASSERT_TRUE(agent.socket().receive(message));
  EXPECT_STREQ("<b/>", message.data());
  EXPECT_TRUE(trace.has("Have left over data from previous read, processing that"));
  EXPECT_TRUE(trace.has("Left over data contains a complete message, not reading any further this time"));
}

TEST(ClientSocketFramingTrace, IncompleteLeftOverIsCompletedByTheNextRead) {
  PacketAgent agent;
  agent.sendReads({"<a/>\n<b", "/>\n"});
  TraceCapture trace(TRC_DETAIL);
  StringBuffer message;
  ASSERT_TRUE(agent.socket().receive(message));
  trace.clear();
  ASSERT_TRUE(agent.socket().receive(message));
  EXPECT_STREQ("<b/>", message.data());
  EXPECT_TRUE(trace.has("Have left over data, but it is not complete.  Will read rest of message")) << trace.dump();
}

TEST(ClientSocketFramingTrace, ReadEndingAtLineFeedKeepsNoLeftOver) {
  PacketAgent agent;
  agent.sendReads({"<a/>\n", "<b/>\n"});
  TraceCapture trace(TRC_DETAIL);
  StringBuffer message;
  ASSERT_TRUE(agent.socket().receive(message));
  ASSERT_TRUE(agent.socket().receive(message));
  EXPECT_EQ(0, trace.count("Have leftover data after a complete message-- saving for next time"));
  EXPECT_EQ(0, trace.count("Have left over data from previous read, processing that"));
}

TEST(ClientSocketFramingTrace, EachReadWithoutTerminatorSaysSo) {
  PacketAgent agent;
  agent.sendReads({"<m v=\"" + kLong, kLong, "\"/>\n"});
  TraceCapture trace(TRC_DETAIL);
  StringBuffer message;
  ASSERT_TRUE(agent.socket().receive(message));
  EXPECT_EQ(2, trace.count("Did not find newline, continue reading"));
  EXPECT_EQ(static_cast<int>(kLong.size() * 2 + 9), message.length());
}

TEST(ClientSocketFramingTrace, ReceivedMessageIsDumpedUnderDetailOnly) {
  PacketAgent agent;
  agent.sendReads({"<a/>\n", "<b/>\n"});
  {
    TraceCapture quiet(TRC_ERROR);
    StringBuffer message;
    ASSERT_TRUE(agent.socket().receive(message));
    EXPECT_TRUE(quiet.lines().empty()) << quiet.dump();
  }
  TraceCapture trace(TRC_DETAIL);
  StringBuffer message;
  ASSERT_TRUE(agent.socket().receive(message));
  EXPECT_TRUE(trace.hasFragment("receive on socket")) << trace.dump();
}

TEST(ClientSocketFramingTrace, PeerCloseIsAReceiveErrorUnderErrorBit) {
  PacketAgent agent;
  agent.hangUp();
  TraceCapture trace(TRC_ERROR);
  StringBuffer message;
  EXPECT_FALSE(agent.socket().receive(message));
  EXPECT_TRUE(trace.hasFragment("socket receive error: ")) << trace.dump();
}

}  // namespace
