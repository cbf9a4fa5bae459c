/* A provider for the agentemu tests: well behaved, or faulty in the way argv[1] names.
 * Its "slow" mode answers every second data request a second late; its "changed",
 * "renamed", "narrow", "texted" and "no-rows" modes answer Procs with another row than
 * the default one (see CHANGED_ROWS).
 * Its "restart" mode answers well and survives the agent's restarts: when the
 * connection ends, it opens a new one and registers again; when none can be opened
 * within about a second, the agent has shut down and it exits. Through the library a
 * shutdown and a lost connection look alike (waits without a request).
 *
 * It talks through the library; the faults the library cannot make (a second answer,
 * an answer to an id never asked, broken XML) are written as raw bytes on the
 * library's own connection, which it finds as the socket whose peer is CP_PORT. */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <cpclient.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "../../examples/common/utf16.h"

enum { ECHO_GROUP = 1, FAIL_GROUP = 2, PROCS_GROUP = 7, MAX_VALUES = 16, MAX_TEXT = 512 };
/* Opens tried after a lost connection; with a sleep unit of 2 ms, a failing open takes 60 ms. */
enum { RECONNECT_OPENS = 20 };

static const char* mode = "";

static int is(const char* name) { return strcmp(mode, name) == 0; }

static void sleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

/* The library's connection to the agent: the socket whose peer port is CP_PORT. */
static int agentSocket(void) {
  const char* port = getenv("CP_PORT");
  for (int fd = 0; port && fd < 1024; fd++) {
    struct sockaddr_in peer;
    socklen_t length = sizeof peer;
    if (getpeername(fd, (struct sockaddr*)&peer, &length) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == atoi(port))
      return fd;
  }
  return -1;
}

static void rawSend(const char* text) {
  int fd = agentSocket();
  if (fd >= 0 && send(fd, text, strlen(text), MSG_NOSIGNAL) < 0) perror("test_provider: send");
}

/* Sends text one byte at a time, so that the agent sees every possible cut. */
static void rawDribble(const char* text) {
  int fd = agentSocket();
  for (size_t i = 0; fd >= 0 && text[i]; i++) {
    if (send(fd, text + i, 1, MSG_NOSIGNAL) < 0) return;
    sleepMs(1);
  }
}

/* Adds one row of count UTF-8 values to the response for id. */
static void addRow(const char* const* values, int count, const char* id) {
  static char16_t storage[MAX_VALUES][MAX_TEXT];
  char16_t* row[MAX_VALUES];
  char16_t id16[MAX_TEXT];
  for (int i = 0; i < count && i < MAX_VALUES; i++) {
    utf16FromUtf8(values[i] ? values[i] : "", storage[i], MAX_TEXT);
    row[i] = storage[i];
  }
  utf16FromUtf8(id, id16, MAX_TEXT);
  cpdll_SetAttributeValues(row, count, id16);
}

static const char* orEmpty(const char* text) { return text ? text : ""; }

/* Answers id (one of agentemu's short ids) with a value that holds elements nested 500,000 deep. */
static void sendDeepAnswer(const char* id) {
  enum { LEVELS = 500000 };
  char *text = malloc(LEVELS * 7 + 256), *end = text;
  if (!text) return;
  end += sprintf(end, "<dataResponse id=\"%.64s\"><attrGroup name=\"Procs\"><in><al><a v=\"deep\">", id);
  for (int i = 0; i < LEVELS; i++) end += sprintf(end, "<x>");
  for (int i = 0; i < LEVELS; i++) end += sprintf(end, "</x>");
  strcpy(end, "</a></al></in></attrGroup></dataResponse>\n");
  rawSend(text);
  free(text);
}

/* Sends a registration that never ends, in its "endless-value" mode one attribute value
 * that never closes, else groups without end, until a send fails (the agent has closed
 * the connection); ENDLESS_CAP bytes stand in for "never", so that no run fills memory. */
static void sendEndless(void) {
  enum { ENDLESS_CAP = 32 << 20 };
  const char* unit = is("endless-value") ? "xxxxxxxx" : "<attrGroup name=\"G\" ver=\"1\"/>";
  const char* head = is("endless-value") ? "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\""
                                         : "<vexaRegister ver=\"5\"><attrGroupList>";
  static char chunk[65536];
  size_t used = 0, unitLength = strlen(unit);
  for (; used + unitLength <= sizeof chunk; used += unitLength) memcpy(chunk + used, unit, unitLength);
  int fd = agentSocket();
  if (fd < 0 || send(fd, head, strlen(head), MSG_NOSIGNAL) < 0) return;
  for (size_t sent = 0; sent < ENDLESS_CAP; sent += used)
    if (send(fd, chunk, used, MSG_NOSIGNAL) < 0) return;
}

/* Echo rows: the request's own facts, then one row per filter. */
static void answerEcho(const CPREQUEST* r) {
  const char* facts[] = {r->id, orEmpty(r->requestStartedID), orEmpty(r->subnode)};
  addRow(facts, 3, r->id);
  for (const RequestInfo* info = r->requestInfo; info; info = info->next) {
    const char* filter[] = {info->name, info->value, orEmpty(info->op), orEmpty(info->logOp)};
    addRow(filter, 4, r->id);
  }
  cpdll_SendData(r->id);
}

/* The Procs row of the modes that change it: a number that moves, a text renamed, a column
 * lost, a number become text, no row at all. */
static const struct {
  const char* mode;
  const char* values[2];
  int count;
} CHANGED_ROWS[] = {{"changed", {"init", "2"}, 2},
                    {"renamed", {"initd", "1"}, 2},
                    {"narrow", {"init", NULL}, 1},
                    {"texted", {"init", "one"}, 2},
                    {"no-rows", {NULL, NULL}, 0}};

static void answerProcs(const CPREQUEST* r, int dataRequests) {
  static const char* const ROW[] = {"init", "1"};
  static char previousId[64];
  char text[256];
  if (is("duplicate") && previousId[0]) {
    /* The earlier request is answered a second time, before this one is answered. */
    snprintf(text, sizeof text,
             "<dataResponse id=\"%s\"><attrGroup name=\"Procs\"><in><al><a v=\"again\"/></al></in></attrGroup>"
             "</dataResponse>\n",
             previousId);
    rawSend(text);
  }
  snprintf(previousId, sizeof previousId, "%s", r->id);
  if (is("unknown-id") || is("wrong-group") || is("framing")) {
    const char* id = is("unknown-id") ? "999" : r->id;
    const char* group = is("wrong-group") ? "Other" : "Procs";
    const char* end = is("framing") ? "" : "\n";
    snprintf(text, sizeof text,
             "<dataResponse id=\"%s\"><attrGroup name=\"%s\"><in><al><a v=\"raw\"/></al></in></attrGroup>"
             "</dataResponse>%s",
             id, group, end);
    rawSend(text);
    if (!is("unknown-id")) return; /* an unknown id comes before the real answer */
  }
  if (is("malformed-message")) {
    snprintf(text, sizeof text,
             "<dataResponse id=\"%s\"><attrGroup name=\"Procs\"><in><al><a v=\"x\"/></al></in></dataResponse>\n",
             r->id);
    rawSend(text);
    return;
  }
  if (is("dribble")) {
    snprintf(text, sizeof text,
             "<dataResponse id=\"%s\"><attrGroup name=\"Procs\"><in><al><a v=\"a&amp;b\"/><a v=\"2\"/></al></in>"
             "</attrGroup></dataResponse>\n",
             r->id);
    rawDribble(text);
    return;
  }
  if (is("deep-nesting")) {
    sendDeepAnswer(r->id);
    return;
  }
  if (is("task-for-data")) {
    cpdll_SendTaskRC(0, r->id); /* the library takes a data id for a task answer */
    return;
  }
  if (is("slow") && dataRequests % 2 == 0) sleepMs(1000); /* every second answer is late */
  const char* const* row = ROW;
  int count = 2;
  for (size_t i = 0; i < sizeof CHANGED_ROWS / sizeof CHANGED_ROWS[0]; i++)
    if (is(CHANGED_ROWS[i].mode)) row = CHANGED_ROWS[i].values, count = CHANGED_ROWS[i].count;
  if (count > 0) addRow(row, count, r->id);
  cpdll_SendData(r->id);
}

static void answerTask(const CPREQUEST* r) {
  int rc = strncmp(r->command, "rc ", 3) == 0 ? atoi(r->command + 3) : 0;
  if (strcmp(r->command, "ignore") == 0) return; /* never answered */
  if (strcmp(r->command, "out") == 0) {          /* two outputs, the first of an instance */
    const char* const values[] = {"a", "b"};
    const char* const insts[] = {"i1", NULL};
    cpdll_SendTaskOutput(0, r->id, values, insts, 2);
    return;
  }
  if (is("dribble")) {
    char text[256];
    snprintf(text, sizeof text, "<taskResponse id=\"%s\" rc=\"%d\"/>", r->id, rc);
    rawDribble(text);
    return;
  }
  if (is("echo")) {
    /* Before the answer, so that the agent has it when the answer comes. The task
     * response has no line feed: the message after it starts right behind it. */
    const char* values[] = {"task", r->command, orEmpty(r->user)};
    cpdll_SendEventData((char**)values, 3, ECHO_GROUP);
  }
  cpdll_SendTaskRC(rc, r->id);
}

static void handleRequest(const CPREQUEST* r, int dataRequests) {
  if (r->requestType == DATA_REQUEST) {
    if (r->groupId == ECHO_GROUP) {
      answerEcho(r);
    } else if (r->groupId == FAIL_GROUP) {
      cpdll_SendError(3, r->id);
    } else if (!(is("unanswered") && dataRequests == 1)) {
      answerProcs(r, dataRequests);
    }
  } else if (r->requestType == TASK_REQUEST) {
    answerTask(r);
  } else if (r->requestType == START_REQUEST) {
    if (is("echo")) {
      const char* values[] = {"started", r->requestStartedID};
      cpdll_SendSubnodeEventData((char**)values, 2, r->groupId, "Sub1");
    }
    if (is("start-answer")) {
      char text[256];
      snprintf(text, sizeof text,
               "<dataResponse id=\"%s\"><attrGroup name=\"Procs\"><error rc=\"1\"/></attrGroup></dataResponse>\n",
               r->requestStartedID);
      rawSend(text);
    }
  } else if (r->requestType == STOP_REQUEST && is("echo")) {
    cpdll_SendEventError(5, r->groupId);
  }
}

static int registerGroups(void) {
  if (is("echo")) {
    cpdll_RegisterAttrGroup("Echo", 2, ECHO_GROUP);
    cpdll_RegisterAttrGroup("Fail", 1, FAIL_GROUP);
  } else {
    cpdll_RegisterAttrGroup(is("malformed-name") ? "Bad&Name" : "Procs", 1, PROCS_GROUP);
  }
  return cpdll_RegistrationComplete();
}

/* After a lost connection: a new one, registered again, within a bounded time; 0 when none came. */
static int reconnect(void) {
  for (int open = 0; open < RECONNECT_OPENS; open++) {
    cpdll_CloseConnection();
    if (cpdll_OpenConnection() == CP_OK) return registerGroups() == CP_OK;
  }
  return 0;
}

int main(int argc, char** argv) {
  mode = argc > 1 ? argv[1] : "";
  if (is("never-connect")) return 4;
  if (is("restart")) setenv("CP_SLEEP_UNIT_MS", "2", 0);
  if (cpdll_OpenConnection() != CP_OK) return 1;
  if (strncmp(mode, "endless-", 8) == 0) {
    sendEndless();
    cpdll_CloseConnection();
    return 0;
  }
  if (is("silent")) {
    sleepMs(30000); /* never registers */
    return 0;
  }
  registerGroups();
  int dataRequests = 0, withoutRequest = 0;
  for (;;) {
    CPREQUEST* r = NULL;
    if (cpdll_WaitForRequest(&r) != CP_OK || r->requestType == NO_REQUEST) {
      cpdll_FreeRequest(r);
      if (!is("restart")) break;
      /* One wait without a request is a shutdown or a stop that the library dropped; a
       * second one in a row means that the connection has ended. */
      if (++withoutRequest < 2) continue;
      withoutRequest = 0;
      if (reconnect()) continue;
      break;
    }
    withoutRequest = 0;
    if (r->requestType == DATA_REQUEST) dataRequests++;
    if (r->requestType == DATA_REQUEST && is("early-exit")) { /* leaves before the shutdown */
      cpdll_FreeRequest(r);
      cpdll_CloseConnection();
      return 0;
    }
    handleRequest(r, dataRequests);
    cpdll_FreeRequest(r);
  }
  if (is("no-exit")) sleepMs(30000);
  cpdll_CloseConnection();
  return is("exit-code") ? 3 : 0;
}
