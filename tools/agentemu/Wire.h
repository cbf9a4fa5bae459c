// The exact bytes of the messages the agent sends, values escaped; each ends with ">\n".
#ifndef AGENTEMU_WIRE_H
#define AGENTEMU_WIRE_H

#include <optional>
#include <string>
#include <vector>

// One requestInfo filter of a data request.
struct Filter {
  std::string name;
  std::string value;
  std::string op;
  std::string logOp;
};

namespace Wire {
// Escapes & < > " ' and the line feed, tab and carriage return for an attribute value.
std::string escape(const std::string& text);
std::string dataRequest(const std::string& id, const std::string& requestStartedID,
                        const std::optional<std::string>& subnode, const std::string& group,
                        const std::vector<Filter>& filters);
std::string taskRequest(const std::string& id, const std::optional<std::string>& subnode, const std::string& command,
                        const std::string& user);
std::string startRequest(const std::string& requestStartedID, const std::string& group,
                         const std::optional<std::string>& subnode);
std::string stopRequest(const std::string& requestStartedID, const std::string& group, bool shuttingDown,
                        const std::optional<std::string>& subnode);
std::string shutdown();
}  // namespace Wire

#endif
