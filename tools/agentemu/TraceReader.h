// Turns a library trace written at level 0x01 into a script that replays it.
//
// The trace dumps every message the provider received ("receive on socket") and sent
// ("send on socket") in hex. The messages received become the script's steps, with
// their ids, requestStartedIDs, subnodes and filters as they were (a message that a
// step cannot say is sent as a raw step); requests do not wait, so that the replay
// asks at the pace of the trace. Each answer the provider sent becomes a wait for that
// request and the expects that hold for it; the events are counted at the end. A new
// registration (a new connection) or a request after a shutdown becomes a restart.
//
// Memory stays bounded whatever the file holds: lines are read in pieces of a fixed
// size, a dump is at most MAX_DUMP bytes, and at most MAX_TRACKED requests are
// remembered as waiting for an answer. A dump cut short, an answer to a request the
// trace does not show and a message that cannot be read become comments.
#ifndef AGENTEMU_TRACE_READER_H
#define AGENTEMU_TRACE_READER_H

#include <cstdio>
#include <string>

namespace TraceReader {
constexpr std::size_t MAX_DUMP = std::size_t{16} * 1024 * 1024;
constexpr std::size_t MAX_TRACKED = 100000;

// Writes the script for the trace at path to out; false with error set when the file
// cannot be read. live: numbers are expected by kind (see ScriptText::answerExpects);
// the events of a group heard more than twice are always counted as at least half.
bool writeScenario(const std::string& path, std::FILE* out, bool live, std::string& error);
}  // namespace TraceReader

#endif
