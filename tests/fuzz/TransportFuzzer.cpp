// Fuzz target: the fuzzer plays the agent over a socket pair, and its bytes are
// read by ClientSocket::receive and by the wait loop.
//
// Input: one byte that chooses the ending, then the chunks, separated by '|'.
//   'c' (or any other byte)  packet pair, each chunk one read, then an orderly close
//   'r'                      packet pair, each chunk one read, then the library's end
//                            is shut down for reading (its reads end after the bytes)
//   'R'                      stream pair, reads of up to 4095 bytes across the
//                            chunks, then a reset (ECONNRESET after the bytes)
// A chunk longer than one read (4095 bytes) becomes several reads; empty chunks are
// left out, since a packet pair would report an empty read as end of file.
//
// Every chunk is written before anything is read, so nothing blocks; the caps keep
// all of it within one socket buffer. The messages that receive delivers must be
// those of a model that cuts the reads' text at each ">\n" (bytes behind a NUL in
// a read dropped); the wait loop must consume exactly as many, leave nothing
// pending that was not handed out, and neither may leak a file descriptor.
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "api/Connection.h"
#include "api/RequestWait.h"
#include "cpclient.h"
#include "transport/ClientSocket.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

namespace {

constexpr size_t MAX_INPUT_LENGTH = size_t{32} * 1024;
constexpr size_t MAX_CHUNKS = 64;
constexpr size_t READ_SIZE = 4095;  // what ClientSocket asks recv for
constexpr char CHUNK_SEPARATOR = '|';
constexpr char ENDING_READS_STOPPED = 'r';
constexpr char ENDING_RESET = 'R';

using fuzz::check;

enum class Ending { CLOSE, READS_STOPPED, RESET };

struct Script {
  Ending ending = Ending::CLOSE;
  std::vector<std::string> sends;  // one send each, in order
  std::vector<std::string> reads;  // what the library's reads return, in order
};

// False when the input exceeds the caps.
bool parseScript(const char* data, size_t size, Script* script) {
  if (size == 0 || size > MAX_INPUT_LENGTH) return false;
  if (data[0] == ENDING_READS_STOPPED) script->ending = Ending::READS_STOPPED;
  if (data[0] == ENDING_RESET) script->ending = Ending::RESET;
  std::vector<std::string> chunks;
  std::string rest(data + 1, size - 1);
  size_t start = 0;
  for (;;) {
    size_t bar = rest.find(CHUNK_SEPARATOR, start);
    std::string chunk = rest.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    if (!chunk.empty()) chunks.push_back(chunk);
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  if (chunks.size() > MAX_CHUNKS) return false;

  if (script->ending == Ending::RESET) {
    std::string stream;
    for (const std::string& chunk : chunks) stream += chunk;
    script->sends = chunks;
    for (size_t at = 0; at < stream.size(); at += READ_SIZE) script->reads.push_back(stream.substr(at, READ_SIZE));
  } else {
    for (const std::string& chunk : chunks)
      for (size_t at = 0; at < chunk.size(); at += READ_SIZE) script->sends.push_back(chunk.substr(at, READ_SIZE));
    script->reads = script->sends;
  }
  return true;
}

// The messages the reads carry: their text (each read cut at its first NUL)
// joined, cut at every ">\n", each message through its '>'. An unfinished last
// message is not one.
std::vector<std::string> modelMessages(const std::vector<std::string>& reads) {
  std::string stream;
  for (const std::string& read : reads) stream.append(read.c_str());
  std::vector<std::string> messages;
  size_t start = 0;
  for (size_t end; (end = stream.find(">\n", start)) != std::string::npos; start = end + 2)
    messages.push_back(stream.substr(start, end + 1 - start));
  return messages;
}

// A pair that carries the script's sends and ending; false when a send did not fit.
bool play(const Script& script, fuzz::AgentPair& agent) {
  for (const std::string& bytes : script.sends)
    if (!agent.send(bytes.data(), bytes.size())) return false;
  if (script.ending == Ending::READS_STOPPED)
    agent.stopReadsWhenEmpty();
  else
    agent.hangUp(script.ending == Ending::RESET);
  return true;
}

int pairType(const Script& script) { return script.ending == Ending::RESET ? SOCK_STREAM : SOCK_SEQPACKET; }

void checkReceive(const Script& script, const std::vector<std::string>& expected) {
  fuzz::AgentPair agent(pairType(script));
  check(agent.ok());
  if (!play(script, agent)) return;
  StringBuffer message;
  size_t delivered = 0;
  while (agent.socket().receive(message)) {
    check(delivered < expected.size());
    check(message.data() && static_cast<size_t>(message.length()) == strlen(message.data()));
    check(std::string(message.data(), static_cast<size_t>(message.length())) == expected[delivered]);
    delivered++;
  }
  check(delivered == expected.size());
  check(!agent.socket().receive(message));  // the end stays the end
}

void checkWaitLoop(const Script& script, size_t messageCount) {
  fuzz::AgentPair agent(pairType(script));
  check(agent.ok());
  agent.installAsAgent();
  if (!play(script, agent)) return;
  // Each wait takes at least one message or meets the end, so one more wait than
  // there are messages reaches the end whatever the messages ask for.
  std::vector<std::string> handedOut;
  for (size_t i = 0; i <= messageCount; i++) {
    CPREQUEST* record = nullptr;
    int rc = cp_WaitForRequest(&record);
    check(record != nullptr);
    check(rc == CP_OK || rc == CP_NO_MEMORY);
    check(record->requestType >= NO_REQUEST && record->requestType <= STOP_REQUEST);
    if (record->requestType == DATA_REQUEST || record->requestType == TASK_REQUEST) {
      check(record->id && pendingGet(record->id));
      handedOut.push_back(record->id);
    }
    cpdll_FreeRequest(record);
  }
  StringBuffer message;
  check(!cpContext.agent->receive(message));
  // One entry per id: the first removal of an id finds it, a repeated one does not.
  for (const std::string& id : handedOut) pendingRemove(id.c_str());
  check(cpContext.pending->entryCount() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool ready = (fuzz::silenceTrace(), fuzz::enterRegisteredState(), true);
  (void)ready;
  Script script;
  if (!parseScript(reinterpret_cast<const char*>(bytes), size, &script)) return 0;
  std::vector<std::string> expected = modelMessages(script.reads);
  int freeFd = fuzz::lowestFreeFd();
  checkReceive(script, expected);
  checkWaitLoop(script, expected.size());
  check(fuzz::lowestFreeFd() == freeFd);
  return 0;
}
