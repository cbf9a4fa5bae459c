// The exact bytes of the agent's messages.
#include "Wire.h"

namespace Wire {

std::string escape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&apos;"; break;
      case '\n': escaped += "&#10;"; break;
      // A parser reads a literal tab or carriage return in an attribute as a blank.
      case '\t': escaped += "&#9;"; break;
      case '\r': escaped += "&#13;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

namespace {
std::string attribute(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + escape(value) + "\"";
}
std::string subnodeAttribute(const std::optional<std::string>& subnode) {
  return subnode ? attribute("subnode", *subnode) : std::string();
}
}  // namespace

// <dataRequest id="ID" requestStartedID="R"[ subnode="S"]><attrGroup name="N"/>
// <requestInfo name="" value="" op="" logOp=""/>...</dataRequest>\n
std::string dataRequest(const std::string& id, const std::string& requestStartedID,
                        const std::optional<std::string>& subnode, const std::string& group,
                        const std::vector<Filter>& filters) {
  std::string xml = "<dataRequest" + attribute("id", id) + attribute("requestStartedID", requestStartedID) +
                    subnodeAttribute(subnode) + "><attrGroup" + attribute("name", group) + "/>";
  for (const auto& filter : filters)
    xml += "<requestInfo" + attribute("name", filter.name) + attribute("value", filter.value) +
           attribute("op", filter.op) + attribute("logOp", filter.logOp) + "/>";
  return xml + "</dataRequest>\n";
}

// <taskRequest id="ID"[ subnode="S"]><task command="C" user="U"/></taskRequest>\n
std::string taskRequest(const std::string& id, const std::optional<std::string>& subnode, const std::string& command,
                        const std::string& user) {
  return "<taskRequest" + attribute("id", id) + subnodeAttribute(subnode) + "><task" + attribute("command", command) +
         attribute("user", user) + "/></taskRequest>\n";
}

// <startRequestInfo requestStartedID="R" ag="N"[ subnode="S"]/>\n
std::string startRequest(const std::string& requestStartedID, const std::string& group,
                         const std::optional<std::string>& subnode) {
  return "<startRequestInfo" + attribute("requestStartedID", requestStartedID) + attribute("ag", group) +
         subnodeAttribute(subnode) + "/>\n";
}

// <stopRequestInfo requestStartedID="R" ag="N" shuttingDown="false"[ subnode="S"]/>\n
std::string stopRequest(const std::string& requestStartedID, const std::string& group, bool shuttingDown,
                        const std::optional<std::string>& subnode) {
  return "<stopRequestInfo" + attribute("requestStartedID", requestStartedID) + attribute("ag", group) +
         attribute("shuttingDown", shuttingDown ? "true" : "false") + subnodeAttribute(subnode) + "/>\n";
}

std::string shutdown() { return "<shutdown/>\n"; }

}  // namespace Wire
