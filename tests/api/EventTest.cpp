// Events, event errors and task responses byte for byte, and answers from several threads.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/ApiFixture.h"
#include "api/DataResponse.h"
#include "api/EventsAndTasks.h"
#include "api/Registration.h"
#include "host/Trace.h"
#include "support/TraceCapture.h"
#include "util/HashTable.h"

namespace {

class Events : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    openRegistered({{"Procs", 7}, {"Disks", 9}});
  }
  void task(const char* id) {
    cpdll_FreeRequest(requestFor(std::string("<taskRequest id=\"") + id + "\"><task command=\"c\"/></taskRequest>\n"));
  }
};

struct EventCase {
  const char* name;
  std::vector<const char*> values;
  const char* subnode;
  const char* expected;
};

const EventCase kEvents[] = {
    {"RowWithoutSubnode",
     {"init", "1"},
     nullptr,
     "<pureEvent><attrGroup name=\"Procs\"><in><al><a v=\"init\"/><a v=\"1\"/></al></in></attrGroup></pureEvent>\n"},
    {"RowWithSubnode",
     {"a & b"},
     "Sub1",
     "<pureEvent subnode=\"Sub1\"><attrGroup name=\"Procs\"><in><al><a v=\"a &amp; "
     "b\"/></al></in></attrGroup></pureEvent>\n"},
    {"EmptySubnodeIsWritten",
     {"x"},
     "",
     "<pureEvent subnode=\"\"><attrGroup name=\"Procs\"><in><al><a v=\"x\"/></al></in></attrGroup></pureEvent>\n"},
    {"SubnodeIsWrittenUnescaped",
     {"x"},
     "a\"b",
     "<pureEvent subnode=\"a\"b\"><attrGroup name=\"Procs\"><in><al><a v=\"x\"/></al></in></attrGroup></pureEvent>\n"},
    {"NoValues", {}, nullptr, "<pureEvent><attrGroup name=\"Procs\"><in><al></al></in></attrGroup></pureEvent>\n"},
    {"NullValue",
     {nullptr},
     nullptr,
     "<pureEvent><attrGroup name=\"Procs\"><in><al><a v=\"\"/></al></in></attrGroup></pureEvent>\n"},
};

class EventBytes : public Events, public ::testing::WithParamInterface<EventCase> {};

TEST_P(EventBytes, AreSentByteForByte) {
  const EventCase& c = GetParam();
  char** values = const_cast<char**>(c.values.data());
  int count = static_cast<int>(c.values.size());
  int rc = c.subnode ? cpdll_SendSubnodeEventData(values, count, 7, c.subnode) : cpdll_SendEventData(values, count, 7);
  ASSERT_EQ(CP_OK, rc);
  EXPECT_EQ(c.expected, agent_.readMessage());
}

INSTANTIATE_TEST_SUITE_P(Rows, EventBytes, ::testing::ValuesIn(kEvents),
                         [](const ::testing::TestParamInfo<EventCase>& info) { return info.param.name; });

TEST_F(Events, EventErrorsCarryTheCodeWithOrWithoutSubnode) {
  ASSERT_EQ(CP_OK, cpdll_SendEventError(3, 9));
  ASSERT_EQ(CP_OK, cpdll_SendSubnodeEventError(-1, 7, "Sub1"));
  EXPECT_EQ("<pureEvent><attrGroup name=\"Disks\"><error rc=\"3\"/></attrGroup></pureEvent>\n", agent_.readMessage());
  EXPECT_EQ("<pureEvent subnode=\"Sub1\"><attrGroup name=\"Procs\"><error rc=\"-1\"/></attrGroup></pureEvent>\n",
            agent_.readMessage());
}

TEST_F(Events, UnknownGroupNumberSendsNothingAndTracesOnlyEvents) {
  TraceCapture trace(TRC_ERROR | TRC_DETAIL);
  EXPECT_EQ(CP_UNKNOWN_GROUP, cpdll_SendEventData(nullptr, 0, 8));
  EXPECT_EQ(CP_UNKNOWN_GROUP, cpdll_SendSubnodeEventError(1, 8, "S"));
  EXPECT_TRUE(trace.lines().empty()) << trace.dump();
  EXPECT_EQ("", agent_.readAll(100));
}

TEST_F(Events, WrongStateIsRefusedWithItsLine) {
  cpdll_CloseConnection();
  openConnected();
  TraceCapture trace(TRC_ERROR);
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_SendEventData(nullptr, 0, 7));
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_SendEventError(1, 7));
  EXPECT_EQ(2, trace.count("Called with illegal state.  Expected 2 (REG_COMPLETE_STATE), got 1.")) << trace.dump();
}

TEST_F(Events, GroupLookupTakesTheFirstInRegistryOrder) {
  EXPECT_STREQ("Procs", getAttrGroup(7));
  EXPECT_STREQ("Disks", getAttrGroup(9));
  EXPECT_EQ(nullptr, getAttrGroup(0));
}

TEST_F(Events, GroupLookupAgreesWithTheRegistryWhenNumbersRepeat) {
  cpdll_CloseConnection();
  openConnected();
  for (int i = 0; i < 100; i++) ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup(("G" + std::to_string(i)).c_str(), 1, i % 7));
  ASSERT_EQ(CP_OK, cpdll_RegistrationComplete());
  for (int id = -1; id <= 7; id++) {
    const char* first = nullptr;
    for (HashTableIterator it = cpContext.registry->iterator(); it.hasNext() && !first;) {
      it.next();
      if (static_cast<AGPTR*>(it.value())->groupId == id) first = it.key();
    }
    EXPECT_EQ(first, getAttrGroup(id)) << id;
  }
}

// Events around the size of the block on the stack that they are built in, and
// one whose head alone is larger.
TEST_F(Events, EventsLargerThanTheirFirstBlockAreSentWhole) {
  for (size_t length = 3000; length < 4500; length += 61) {
    std::string value(length, 'v'), subnode(length % 2 ? 5000 : 0, 's');
    const char* row[] = {value.c_str(), "&"};
    const char* sub = subnode.empty() ? nullptr : subnode.c_str();
    ASSERT_EQ(CP_OK, cpdll_SendSubnodeEventData(const_cast<char**>(row), 2, 7, sub));
    EXPECT_EQ("<pureEvent" + (sub ? " subnode=\"" + subnode + "\"" : std::string()) +
                  "><attrGroup name=\"Procs\"><in><al><a v=\"" + value +
                  "\"/><a v=\"&amp;\"/></al></in></attrGroup></pureEvent>\n",
              agent_.readMessage())
        << length;
  }
}

struct TaskCase {
  const char* name;
  int rc;
  std::vector<const char*> values;
  std::vector<const char*> insts;
  int valueCount;  // -1: the size of values
  const char* expected;
};

const TaskCase kTasks[] = {
    {"NoOutputs", 0, {}, {}, -1, "<taskResponse id=\"17\" rc=\"0\"/>"},
    {"NegativeCode", -2, {}, {}, -1, "<taskResponse id=\"17\" rc=\"-2\"/>"},
    {"OutputsWithAndWithoutInstance",
     2,
     {"a & b", "c"},
     {"x"},
     -1,
     "<taskResponse id=\"17\" rc=\"2\"><output value=\"a &amp; b\" inst=\"x\"/><output value=\"c\"/></taskResponse>"},
    {"NullValueAndNullInstance",
     1,
     {nullptr, "v"},
     {"i<1", nullptr},
     -1,
     "<taskResponse id=\"17\" rc=\"1\"><output value=\"\" inst=\"i&lt;1\"/><output value=\"v\"/></taskResponse>"},
    {"ValuesGivenButCountZero", 0, {"v"}, {}, 0, "<taskResponse id=\"17\" rc=\"0\"/>"},
};

class TaskResponse : public Events, public ::testing::WithParamInterface<TaskCase> {};

TEST_P(TaskResponse, EndsWithoutLineFeedAndEndsTheTask) {
  const TaskCase& c = GetParam();
  task("17");
  int valueCount = c.valueCount < 0 ? static_cast<int>(c.values.size()) : c.valueCount;
  char** values = c.values.empty() ? nullptr : const_cast<char**>(c.values.data());
  char** insts = c.insts.empty() ? nullptr : const_cast<char**>(c.insts.data());
  ASSERT_EQ(CP_OK, cp_SendTaskRC(c.rc, "17", insts, static_cast<int>(c.insts.size()), values, valueCount));
  std::string expected = c.expected;
  EXPECT_EQ(expected, agent_.readBytes(expected.size()));
  EXPECT_EQ("", agent_.readAll(50));  // nothing follows, not even a line feed
  EXPECT_FALSE(isPending("17"));
}

// The extension takes one count for values and instances: fewer instances are null ones.
TEST_P(TaskResponse, AreTheSameThroughTheOutputExtension) {
  const TaskCase& c = GetParam();
  task("17");
  int count = c.valueCount < 0 ? static_cast<int>(c.values.size()) : c.valueCount;
  std::vector<const char*> insts = c.insts;
  insts.resize(std::max(insts.size(), c.values.size()), nullptr);
  ASSERT_EQ(CP_OK, cpdll_SendTaskOutput(c.rc, "17", c.values.empty() ? nullptr : c.values.data(),
                                        c.insts.empty() ? nullptr : insts.data(), count));
  std::string expected = c.expected;
  EXPECT_EQ(expected, agent_.readBytes(expected.size()));
  EXPECT_FALSE(isPending("17"));
}

INSTANTIATE_TEST_SUITE_P(Outputs, TaskResponse, ::testing::ValuesIn(kTasks),
                         [](const ::testing::TestParamInfo<TaskCase>& info) { return info.param.name; });

TEST(ResultText, NamesEveryResultAndNothingElse) {
  const std::set<int> results = {CP_OK,           CP_NO_PORT,        CP_CONNECT_FAILED, CP_ILLEGAL_STATE,
                                 CP_WRITE_FAILED, CP_UNKNOWN_GROUP,  CP_ID_NOT_PENDING, CP_NO_MEMORY,
                                 CP_TIMED_OUT,    CP_AGENT_SHUTDOWN, CP_CONNECTION_LOST};
  std::set<std::string> texts;
  for (int result = -20; result <= 5; result++) {
    std::string text = cpdll_ResultText(result);
    EXPECT_EQ(results.count(result) == 0, text == "unknown result") << result;
    if (results.count(result)) texts.insert(text);
  }
  EXPECT_EQ(results.size(), texts.size());  // no two results share a text
  EXPECT_STREQ("the request id is not pending", cpdll_ResultText(CP_ID_NOT_PENDING));
}

TEST_F(Events, SameTaskAnsweredTwiceGivesOkThenNotPending) {
  task("t1");
  EXPECT_EQ(CP_OK, cpdll_SendTaskRC(0, "t1"));
  TraceCapture trace(TRC_ERROR);
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SendTaskRC(0, "t1"));
  EXPECT_TRUE(trace.has("Did not find id t1")) << trace.dump();
  EXPECT_EQ("<taskResponse id=\"t1\" rc=\"0\"/>", agent_.readAll(100));
}

TEST_F(Events, TaskResponseAcceptsAPendingDataRequestId) {
  cpdll_FreeRequest(requestFor("<dataRequest id=\"d\"><attrGroup name=\"Procs\"/></dataRequest>\n"));
  EXPECT_EQ(CP_OK, cpdll_SendTaskRC(4, "d"));
  EXPECT_FALSE(isPending("d"));
  EXPECT_NE(nullptr, cpContext.registry->get("Procs"));
}

TEST_F(Events, TaskResponseInStateOneTracesOnlyEvents) {
  cpdll_CloseConnection();
  openConnected();
  TraceCapture trace(TRC_ERROR | TRC_EVENTS);
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_SendTaskRC(0, "1"));
  for (const CapturedLine& line : trace.lines())
    EXPECT_EQ('<' == line.text[0] || '>' == line.text[0], true) << line.text;
  EXPECT_TRUE(trace.has("< exit rc=-4")) << trace.dump();
}

TEST_F(Events, TaskResponseWithEventTraceWritesOneMessage) {
  task("5");
  TraceCapture trace(TRC_EVENTS);
  EXPECT_EQ(CP_OK, cpdll_SendTaskRC(1, "5"));
  EXPECT_EQ("<taskResponse id=\"5\" rc=\"1\"/>", agent_.readAll(100));
  EXPECT_GE(trace.count("< exit rc=0"), 2) << trace.dump();
}

TEST_F(Events, FailedTaskWriteStillEndsTheTask) {
  task("5");
  TraceCapture quiet(0);
  agent_.resetClient();
  int rc = CP_OK;
  for (int i = 0; i < 50 && rc == CP_OK; i++) {
    usleep(5000);
    rc = cpdll_SendEventError(0, 7);
  }
  ASSERT_EQ(CP_WRITE_FAILED, rc);
  EXPECT_EQ(CP_WRITE_FAILED, cpdll_SendTaskRC(0, "5"));
  EXPECT_FALSE(isPending("5"));
}

// One thread waits for requests while workers answer them, one worker per group
// plus one for tasks, and other threads send events; every message must reach the
// agent whole.
struct Load {
  int groups;
  int requestsPerGroup;
  int eventThreads;
  int eventsPerThread;
};

class ConcurrentConversation : public ApiTest {
 protected:
  void run(const Load& load) {
    std::vector<std::pair<std::string, int>> groups;
    for (int g = 0; g < load.groups; g++) groups.push_back({"G" + std::to_string(g), 100 + g});
    openRegistered(groups);

    std::mutex mutex;
    std::condition_variable ready;
    std::map<int, std::deque<std::string>> work;  // groupId (0: tasks) -> ids

    std::thread waiter([&] {
      for (;;) {
        CPREQUEST* r = nullptr;
        ASSERT_EQ(CP_OK, cpdll_WaitForRequest(&r));
        int type = r->requestType;
        {
          std::lock_guard<std::mutex> guard(mutex);
          if (type == DATA_REQUEST) work[r->groupId].push_back(r->id);
          if (type == TASK_REQUEST) work[0].push_back(r->id);
        }
        ready.notify_all();
        cpdll_FreeRequest(r);
        if (type == NO_REQUEST) return;
      }
    });
    auto worker = [&](int groupId) {
      for (int answered = 0; answered < load.requestsPerGroup; answered++) {
        std::string id;
        {
          std::unique_lock<std::mutex> lock(mutex);
          ready.wait(lock, [&] { return !work[groupId].empty(); });
          id = work[groupId].front();
          work[groupId].pop_front();
        }
        if (groupId == 0) {
          EXPECT_EQ(CP_OK, cpdll_SendTaskRC(answered, id.c_str()));
        } else {
          std::string big(500, static_cast<char>('a' + answered % 26));
          const char* row[] = {id.c_str(), big.c_str(), "<&>"};
          EXPECT_EQ(CP_OK, cp_SetAttributeValues(const_cast<char**>(row), 3, id.c_str()));
          EXPECT_EQ(CP_OK, cp_SetAttributeValues(const_cast<char**>(row), 3, id.c_str()));
          EXPECT_EQ(CP_OK, cpdll_SendData(id.c_str()));
        }
      }
    };
    std::vector<std::thread> threads;
    for (const auto& g : groups) threads.emplace_back(worker, g.second);
    threads.emplace_back(worker, 0);
    for (int t = 0; t < load.eventThreads; t++) {
      threads.emplace_back([&, t] {
        std::string value(300, static_cast<char>('0' + t));
        const char* row[] = {value.c_str()};
        for (int i = 0; i < load.eventsPerThread; i++)
          EXPECT_EQ(CP_OK, cpdll_SendSubnodeEventData(const_cast<char**>(row), 1, 100, "S"));
      });
    }

    std::thread requester([&] {
      for (int i = 0; i < load.requestsPerGroup; i++) {
        std::string requests;
        for (const auto& g : groups)
          requests += "<dataRequest id=\"" + g.first + "-" + std::to_string(i) + "\"><attrGroup name=\"" + g.first +
                      "\"/></dataRequest>\n";
        requests += "<taskRequest id=\"t" + std::to_string(i) + "\"><task command=\"c\"/></taskRequest>\n";
        ASSERT_TRUE(agent_.send(requests));
      }
    });

    int dataResponses = 0, tasks = 0, events = 0;
    std::string stream;
    const int expected = (load.groups + 1) * load.requestsPerGroup + load.eventThreads * load.eventsPerThread;
    while (dataResponses + tasks + events < expected) {
      std::string chunk = agent_.readSome(10000);
      ASSERT_FALSE(chunk.empty()) << "after " << dataResponses << " responses, " << tasks << " tasks, " << events
                                  << " events";
      stream += chunk;
      size_t at = 0;
      for (;;) {  // cut complete messages off the front of the stream
        size_t end;
        if (stream.compare(at, 13, "<taskResponse") == 0) {
          end = stream.find("/>", at);
          if (end == std::string::npos) break;
          end += 2;
          tasks++;
        } else {
          end = stream.find(">\n", at);
          if (end == std::string::npos) break;
          end += 2;
          if (stream.compare(at, 13, "<dataResponse") == 0) {
            std::string message = stream.substr(at, end - at);
            EXPECT_EQ(std::string::npos, message.find("<pureEvent")) << message;
            EXPECT_NE(std::string::npos, message.find("&lt;&amp;&gt;\"/></al></in><in><al>")) << message;
            dataResponses++;
          } else {
            static const std::string prefix = "<pureEvent subnode=\"S\"><attrGroup name=\"G0\"><in><al><a v=\"";
            std::string message = stream.substr(at, end - at);
            char mark = message.size() > prefix.size() ? message[prefix.size()] : '?';
            EXPECT_EQ(prefix + std::string(300, mark) + "\"/></al></in></attrGroup></pureEvent>\n", message);
            events++;
          }
        }
        at = end;
      }
      stream.erase(0, at);
    }
    EXPECT_EQ(load.groups * load.requestsPerGroup, dataResponses);
    EXPECT_EQ(load.requestsPerGroup, tasks);
    EXPECT_EQ(load.eventThreads * load.eventsPerThread, events);

    requester.join();
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(agent_.send("<shutdown/>\n"));
    waiter.join();
    EXPECT_EQ(0, cpContext.pending->entryCount());
  }
};

TEST_F(ConcurrentConversation, AnswersAndEventsFromSeveralThreadsWhileAWaitIsBlocked) { run({2, 40, 2, 100}); }

TEST_F(ConcurrentConversation, EightAnsweringThreadsAndAnEventThreadThousandsOfMessages) {
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    run({8, 300, 1, 2000});
    cpdll_CloseConnection();
    if (HasFailure()) return;
  }
}

}  // namespace
