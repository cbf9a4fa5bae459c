// Messages four times as long cost about four times as much to parse and gather, not sixteen.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "xml/ClientRequestXMLHandler.h"
#include "xml/XMLParser.h"

namespace {

// CPU time of this thread to parse xml into a fresh handler, the best of five runs;
// documents are copied outside the timing.
double bestParseSeconds(const std::string& xml, int* filters) {
  double best = 1e9;
  for (int run = 0; run < 5; run++) {
    std::string text = xml;
    ClientRequestXMLHandler handler;
    timespec start{}, stop{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    EXPECT_TRUE(XMLParser(&handler).parse(&text[0]));
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stop);
    best = std::min(best, static_cast<double>(stop.tv_sec - start.tv_sec) +
                              static_cast<double>(stop.tv_nsec - start.tv_nsec) * 1e-9);
    *filters = 0;
    for (RequestInfo* node = handler.getRequestInfo(); node; node = node->next) (*filters)++;
  }
  return best;
}

struct Case {
  const char* name;
  std::string (*document)(int size);
  int filtersPerSize;  // request filters the handler must have gathered, per unit of size
};

const Case kCases[] = {
    {"ManyRequestFilters",
     [](int size) {
       std::string xml = "<dataRequest id=\"1\"><attrGroup name=\"G\"/>";
       for (int i = 0; i < size; i++) xml += "<requestInfo name=\"n\" value=\"v\" op=\"EQ\"/>";
       return xml + "</dataRequest>\n";
     },
     1},
    {"SmallTagsAfterOneWideTag",
     [](int size) {
       std::string xml = "<wide";
       for (int i = 0; i < size; i++) xml += " a" + std::to_string(i) + "=\"\"";
       xml += "/>";
       for (int i = 0; i < 4 * size; i++) xml += "<t x=\"\"/>";  // each clears the wide tag's table
       return xml;
     },
     0},
};

// Linear work gives a ratio near 4, work that grows with the square near 16.
TEST(XMLGrowth, FourTimesTheInputCostsLessThanEightTimesTheTime) {
  constexpr int SMALL = 20000;
  constexpr double BOUND = 8;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    int smallFilters = -1, largeFilters = -1;
    double small = bestParseSeconds(c.document(SMALL), &smallFilters);
    double large = bestParseSeconds(c.document(4 * SMALL), &largeFilters);
    EXPECT_EQ(c.filtersPerSize * SMALL, smallFilters);
    EXPECT_EQ(c.filtersPerSize * 4 * SMALL, largeFilters);
    EXPECT_LT(large, BOUND * small) << small << " s for " << SMALL << ", " << large << " s for " << 4 * SMALL;
  }
}

}  // namespace
