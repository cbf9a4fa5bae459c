// The stream parser holds only the bytes it still needs, and its items do not depend on how the stream is cut.
#include <gtest/gtest.h>

#include <algorithm>

#include "StreamParser.h"

namespace {

const std::string EVENT = "<pureEvent><attrGroup name=\"G\"><in><al><a v=\"1\"/></al></in></attrGroup></pureEvent>\n";
// Longer than an excerpt and spread over many reads before the tag that breaks it.
const std::string BROKEN =
    "<dataResponse id=\"9\"><attrGroup name=\"G\"><in><al><a v=\"" + std::string(300, 'v') + "\"/></al></in></x>\n";

TEST(StreamParser, KeepsNoMoreBytesAfterManyMessagesAndReportsExactItemsAtAnyReadSize) {
  const std::size_t events = 5000;
  std::string stream;
  for (std::size_t i = 0; i < events; i++) stream += EVENT;
  const std::size_t unterminatedEnd = stream.size() + EVENT.size() - 1;
  stream += EVENT.substr(0, EVENT.size() - 1) + BROKEN;
  // expat places a mismatched tag at its name.
  const std::size_t brokenStart = unterminatedEnd, badTag = brokenStart + BROKEN.find("</x>") + 2;
  for (std::size_t readSize : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    SCOPED_TRACE(readSize);
    StreamParser parser;
    std::vector<StreamItem> items;
    std::size_t keptMost = 0;
    for (std::size_t at = 0; at < stream.size(); at += readSize) {
      parser.feed(stream.data() + at, std::min(readSize, stream.size() - at));
      for (auto& item : parser.take()) items.push_back(std::move(item));
      if (at < events * EVENT.size()) keptMost = std::max(keptMost, parser.bytesKept());
    }
    // At most the unparsed part of one message and an excerpt's head, however many messages went by.
    EXPECT_LT(keptMost, 2 * EVENT.size());
    EXPECT_EQ(stream.size(), parser.bytesSeen());
    ASSERT_EQ(events + 3, items.size());
    for (std::size_t i = 0; i <= events; i++) {
      ASSERT_EQ(StreamItem::MESSAGE, items[i].kind);
      ASSERT_EQ(i * EVENT.size(), items[i].offset);
    }
    EXPECT_EQ(StreamItem::FRAMING, items[events + 1].kind);
    EXPECT_EQ("the message that ends at byte " + std::to_string(unterminatedEnd) + " is not followed by a line feed",
              items[events + 1].text);
    EXPECT_EQ(StreamItem::MALFORMED, items[events + 2].kind);
    EXPECT_EQ(badTag, items[events + 2].offset);
    EXPECT_EQ("mismatched tag at byte " + std::to_string(badTag) + ", in the message that starts at byte " +
                  std::to_string(brokenStart) + ": " + BROKEN.substr(0, 60) + "...",
              items[events + 2].text);
  }
}

// A message of the limit's length is taken; one byte more stops the parsing at once, wherever the
// message stands, at any read size, and no more than the limit is held. A long value parsed
// byte by byte stays linear in time.
TEST(StreamParser, MessagePastTheLimitStopsTheParsingAtItsFirstByteBeyond) {
  const std::size_t LIMIT = 4096, NONE = std::string::npos;
  auto value = [](std::size_t length, const char* end) { return "<e v=\"" + std::string(length, 'v') + end; };
  std::string groups = EVENT + "<r>";
  while (groups.size() < 3 * LIMIT) groups += "<g n=\"1\"/>";
  const struct {
    std::size_t limit;
    std::string stream;
    std::size_t start;  // of the message too long
  } CASES[] = {{LIMIT, value(LIMIT - 9, "\"/>\n") + EVENT, NONE},
               {LIMIT, value(LIMIT - 8, "\"/>\n"), 0},
               {LIMIT, EVENT + value(2 * LIMIT, ""), EVENT.size()},
               {LIMIT, groups, EVENT.size()},
               {1 << 20, value(200000, "\"/>\n") + EVENT, NONE}};
  for (const auto& c : CASES) {
    for (std::size_t readSize : {std::size_t{1}, std::size_t{4096}, c.stream.size()}) {
      SCOPED_TRACE(c.stream.substr(0, 100) + " read by " + std::to_string(readSize));
      StreamParser parser(c.limit);
      std::vector<StreamItem> items;
      std::size_t keptMost = 0;
      for (std::size_t at = 0; at < c.stream.size(); at += readSize) {
        parser.feed(c.stream.data() + at, std::min(readSize, c.stream.size() - at));
        for (auto& item : parser.take()) items.push_back(std::move(item));
        keptMost = std::max(keptMost, parser.bytesKept());
      }
      EXPECT_LE(keptMost, c.limit + 64);
      EXPECT_EQ(c.stream.size(), parser.bytesSeen());
      ASSERT_EQ(c.start == NONE ? 2 : 1 + (c.start > 0), items.size());
      if (c.start == NONE) continue;
      EXPECT_EQ(StreamItem::TOO_LONG, items.back().kind);
      EXPECT_EQ(c.start + c.limit, items.back().offset);
      EXPECT_EQ("the message that starts at byte " + std::to_string(c.start) + " is longer than 4096 bytes " +
                    "(--max-message): " + c.stream.substr(c.start, 60) + "...",
                items.back().text);
      EXPECT_EQ(0u, parser.bytesKept());
    }
  }
}

}  // namespace
