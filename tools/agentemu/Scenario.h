// The steps that agentemu plays: the default scenario and the script format.
//
// Script format, one step per line ('#' at the start of a line makes a comment):
//   start GROUP [rsid=R] [subnode=S]
//   data GROUP [id=ID] [rsid=R] [subnode=S] [filter=NAME<op>VALUE]... [nowait]
//   stop GROUP [rsid=R] [subnode=S] [shuttingDown=true]
//   task COMMAND [id=ID] [user=U] [subnode=S] [nowait]
//   wait [id=ID] | wait-events N [group=G] [subnode=S] | sleep MS | restart [PAUSE_MS] | raw TEXT | shutdown
//   columns GROUP NAME,NAME,...
//   expect rows N | error RC | cell ROW COL TEXT | rc RC | outputs N | output N VALUE [inst=I]
//          | no-answer, each [id=ID]; expect events N | event-cell COL TEXT | event-error RC,
//          each [group=G] [subnode=S]; COL is a number from 1 or a declared column name
//   Live forms: cell-number ROW COL, event-cell-number COL, output-number N, each [min=A] [max=B];
//          cell-match ROW COL PATTERN, event-cell-match COL PATTERN, output-match N PATTERN;
//          the counts N of rows, outputs and events may be >=N or <=N
// GROUP "*" stands for every registered group. Words may be double-quoted, with \" \\ \n \t.
#ifndef AGENTEMU_SCENARIO_H
#define AGENTEMU_SCENARIO_H

#include <optional>
#include <string>
#include <vector>

#include "Match.h"
#include "Output.h"
#include "Wire.h"

struct Expect {
  enum What { ROWS, ERROR, CELL, RC, EVENTS, OUTPUTS, OUTPUT, EVENT_CELL, EVENT_ERROR, NO_ANSWER };
  What what = ROWS;
  long number = 0;           // ROWS, OUTPUTS, EVENTS: a count; ERROR, RC, EVENT_ERROR: the code; OUTPUT: its number
  CountMatch count;          // ROWS, OUTPUTS, EVENTS: how the count found compares with number
  long row = 0, column = 0;  // CELL: both from 1; EVENT_CELL: the column
  std::string columnName;    // CELL, EVENT_CELL: the column named so in the group's declared columns
  ValueMatch match;          // CELL, EVENT_CELL, OUTPUT: the value, exactly or in a live form
  std::optional<std::string> id;  // the request looked at; unset: the last data or task request
  std::optional<std::string> group, subnode, inst;
};

struct Step {
  enum Kind { START, DATA, STOP, TASK, WAIT, SLEEP, RESTART, RAW, EXPECT, SHUTDOWN, COLUMNS, WAIT_EVENTS };
  Kind kind = WAIT;
  int line = 0;                                 // the script line; 0 in the default scenario
  std::string group;                            // START, DATA, STOP; "*" is every registered group
  std::optional<std::string> id;                // DATA, TASK: empty takes a fresh id; WAIT: the one request
  std::optional<std::string> requestStartedID;  // START, DATA, STOP: empty takes the group's or a fresh one
  std::optional<std::string> subnode;
  std::string command;          // TASK
  std::string user;             // TASK
  std::vector<Filter> filters;  // DATA
  bool wait = true;             // DATA, TASK: wait for the answer before the next step
  bool shuttingDown = false;    // STOP
  long sleepMs = 0;             // SLEEP; RESTART: the time nothing listens
  std::string text;             // RAW: the message without its line feed; EXPECT: the line's words
  Expect expect;                // EXPECT; WAIT_EVENTS: number, group, subnode
  Row names;                    // COLUMNS
};

// The longest pause, of --interval and of a sleep step: one day, well inside the clock's range.
const long MAX_PAUSE_MS = 86400000;
// How long a restart that names no pause listens for nothing: long enough that a provider
// meets a refused connection and has to retry, short enough for a test.
const long DEFAULT_RESTART_PAUSE_MS = 100;

// The choices of the command line that shape the default scenario.
struct DefaultScenario {
  long rounds = 1;
  long intervalMs = 0;
  std::vector<std::string> tasks;
  std::vector<Filter> filters;
  std::optional<std::string> subnode;
  std::string user;
  long restartAfter = 0;  // restart after this data request (1 the first, of all groups); 0 never
};

// For every group: start, rounds data requests with intervalMs between them, stop;
// then one task request per task. With restartAfter, a restart follows that data request
// (or ends the steps when there are fewer), and a group that still has steps to play is
// started again on the new connection, as a restarted agent starts its requests again.
std::vector<Step> defaultSteps(const std::vector<RegisteredGroup>& groups, const DefaultScenario& scenario);

// Reads a decimal number as strtol does, with nothing after it, from minimum to maximum.
bool parseNumber(const std::string& text, long minimum, long maximum, long& value);

// Parses a filter NAME<op>VALUE, where <op> is the first of =, !=, <, <=, >, >= after a
// non-empty name; the op is sent as EQ, NE, LT, LE, GT or GE, and logOp as AND.
// Returns false when text holds no operator after a name.
bool parseFilter(const std::string& text, Filter& filter);

// Reads "NAME,NAME,..." into names; false when a name is empty.
bool parseColumnNames(const std::string& text, Row& names);

// Reads a script. On failure returns false with error set to "FILE:LINE: what".
// defaultUser is the user of task steps that name none.
bool readScript(const std::string& path, const std::string& defaultUser, std::vector<Step>& steps, std::string& error);

#endif
