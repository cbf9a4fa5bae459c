// Framing of the agent's stream, read by read, without a socket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/MessageFraming.h"
#include "util/StringBuffer.h"

namespace {

// The messages that receive would deliver for these reads, in order: the left-over
// bytes first, then one read after another until a message is whole.
std::vector<std::string> frame(const std::vector<std::string>& reads) {
  MessageFramer framer;
  StringBuffer message;
  std::vector<std::string> messages;
  size_t nextRead = 0;
  for (;;) {
    message.setLength(0);
    Frame step = framer.next(message);
    while (step == Frame::INCOMPLETE && nextRead < reads.size()) {
      const std::string& read = reads[nextRead++];
      step = framer.feed(read.c_str(), static_cast<int>(read.size()), message);
    }
    if (step == Frame::INCOMPLETE) return messages;  // the stream ends inside a message
    EXPECT_NE(Frame::LOST, step);
    messages.emplace_back(message.data(), message.length());
  }
}

struct Case {
  const char* name;
  std::vector<std::string> reads;
  std::vector<std::string> messages;
};

const Case kCases[] = {
    {"OneMessage", {"<a/>\n"}, {"<a/>"}},
    {"ThreeInOneRead", {"<a/>\n<b/>\n<c/>\n"}, {"<a/>", "<b/>", "<c/>"}},
    {"LeftOverCompletedByNextRead", {"<a/>\n<b", "/>\n"}, {"<a/>", "<b/>"}},
    {"TerminatorSplitAfterLeftOver", {"<a/>\n<b/>", "\n<c/>\n"}, {"<a/>", "<b/>", "<c/>"}},
    {"GreaterThanEndingAReadWithoutLineFeedAfter", {"<a>", "<b/>\n"}, {"<a><b/>"}},
    {"LineFeedStartingTheStreamIsText", {"\n<a/>\n"}, {"\n<a/>"}},
    {"LineFeedAfterAWholeMessageStartsTheNext", {"<a/>\n", "\n<b/>\n"}, {"<a/>", "\n<b/>"}},
    {"LineFeedStartingALeftOverMessageIsText", {"<a/>\n<b/>\n\n<c/>\n"}, {"<a/>", "<b/>", "\n<c/>"}},
    {"BytesBehindANulInOneReadAreDropped", {std::string("<a\0x>\n", 6), "/>\n"}, {"<a/>"}},
    {"OnlyNulsBehindTheLineFeedAreNoLeftOver", {std::string("<a/>\n\0\0", 7), "<b/>\n"}, {"<a/>", "<b/>"}},
    {"DoubledGreaterThanEndsAtTheSecond", {"<a/>>", "\n"}, {"<a/>>"}},
    {"UnfinishedMessageIsNone", {"<a/>\n<b"}, {"<a/>"}},
};

class MessageFramerReads : public ::testing::TestWithParam<Case> {};

TEST_P(MessageFramerReads, YieldEachMessageThroughItsGreaterThan) {
  EXPECT_EQ(GetParam().messages, frame(GetParam().reads));
}

INSTANTIATE_TEST_SUITE_P(Table, MessageFramerReads, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// Cut into three reads at every pair of points, the stream yields the same three
// messages: terminators split across reads, a read ending at any byte of a message.
TEST(MessageFramer, EverySplitOfThreeMessagesYieldsTheSameMessages) {
  const std::string stream = "<a v=\"1\n2>\"/>\n<b>&gt;\n</b>\n<c/>\n";
  const std::vector<std::string> messages = {"<a v=\"1\n2>\"/>", "<b>&gt;\n</b>", "<c/>"};
  for (size_t first = 1; first < stream.size(); first++) {
    for (size_t second = first; second < stream.size(); second++) {
      SCOPED_TRACE("reads end at " + std::to_string(first) + " and " + std::to_string(second));
      std::vector<std::string> reads = {stream.substr(0, first), stream.substr(first, second - first),
                                        stream.substr(second)};
      if (second == first) reads.erase(reads.begin() + 1);
      ASSERT_EQ(messages, frame(reads));
    }
  }
}

}  // namespace
