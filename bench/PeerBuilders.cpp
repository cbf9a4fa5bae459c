// The same data response built by other means.
#include "PeerBuilders.h"

#include <libxml/xmlwriter.h>

#include <pugixml.hpp>

namespace {

const xmlChar* x(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// Collects pugixml's output chunks in a string that grows as it must.
class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
  std::string text;
};

// The text between the quotes of the first v="..." of a message.
std::string valueOf(const std::string& message) {
  size_t start = message.find(" v=\"");
  if (start == std::string::npos) return "?";
  start += 4;
  size_t end = message.find('"', start);
  return end == std::string::npos ? "?" : message.substr(start, end - start);
}

std::string oneValueMessage(size_t (*build)(const Table&, const char*, const char*, std::string*),
                            const std::string& value) {
  std::string copy = value;
  char* values[1] = {&copy[0]};
  Table table = {1, 1, values};
  std::string message;
  build(table, "1", "G", &message);
  return valueOf(message);
}

}  // namespace

size_t buildWithLibxml2(const Table& table, const char* id, const char* group, std::string* copy) {
  xmlBufferPtr buffer = xmlBufferCreate();
  xmlTextWriterPtr writer = xmlNewTextWriterMemory(buffer, 0);
  xmlTextWriterStartElement(writer, x("dataResponse"));
  xmlTextWriterWriteAttribute(writer, x("id"), x(id));
  xmlTextWriterStartElement(writer, x("attrGroup"));
  xmlTextWriterWriteAttribute(writer, x("name"), x(group));
  for (int r = 0; r < table.rows; r++) {
    char** row = table.row(r);
    xmlTextWriterStartElement(writer, x("in"));
    xmlTextWriterStartElement(writer, x("al"));
    for (int c = 0; c < table.columns; c++) {
      xmlTextWriterStartElement(writer, x("a"));
      xmlTextWriterWriteAttribute(writer, x("v"), x(row[c] ? row[c] : ""));
      xmlTextWriterEndElement(writer);
    }
    xmlTextWriterEndElement(writer);
    xmlTextWriterEndElement(writer);
  }
  xmlTextWriterEndElement(writer);
  xmlTextWriterEndElement(writer);
  xmlTextWriterWriteRaw(writer, x("\n"));
  xmlTextWriterFlush(writer);
  xmlFreeTextWriter(writer);
  size_t size = static_cast<size_t>(xmlBufferLength(buffer));
  if (copy) copy->assign(reinterpret_cast<const char*>(xmlBufferContent(buffer)), size);
  xmlBufferFree(buffer);
  return size;
}

size_t buildWithPugixml(const Table& table, const char* id, const char* group, std::string* copy) {
  pugi::xml_document document;
  pugi::xml_node response = document.append_child("dataResponse");
  response.append_attribute("id").set_value(id);
  pugi::xml_node attrGroup = response.append_child("attrGroup");
  attrGroup.append_attribute("name").set_value(group);
  for (int r = 0; r < table.rows; r++) {
    char** row = table.row(r);
    pugi::xml_node al = attrGroup.append_child("in").append_child("al");
    for (int c = 0; c < table.columns; c++) al.append_child("a").append_attribute("v").set_value(row[c] ? row[c] : "");
  }
  StringWriter writer;
  document.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  writer.text += '\n';
  if (copy) *copy = writer.text;
  return writer.text.size();
}

size_t buildNaive(const Table& table, const char* id, const char* group, std::string* copy) {
  std::string s;
  s += "<dataResponse id=\"";
  s += id;
  s += "\"><attrGroup name=\"";
  s += group;
  s += "\">";
  for (int r = 0; r < table.rows; r++) {
    char** row = table.row(r);
    s += "<in><al>";
    for (int c = 0; c < table.columns; c++) {
      s += "<a v=\"";
      for (const char* p = row[c] ? row[c] : ""; *p; p++) {
        switch (*p) {
          case '&': s += "&amp;"; break;
          case '<': s += "&lt;"; break;
          case '>': s += "&gt;"; break;
          case '"': s += "&quot;"; break;
          case '\'': s += "&apos;"; break;
          case '\n': s += "&#10;"; break;
          default: s += *p;
        }
      }
      s += "\"/>";
    }
    s += "</al></in>";
  }
  s += "</attrGroup></dataResponse>\n";
  if (copy) *copy = s;
  return s.size();
}

std::string escapedByLibxml2(const std::string& value) { return oneValueMessage(buildWithLibxml2, value); }
std::string escapedByPugixml(const std::string& value) { return oneValueMessage(buildWithPugixml, value); }
std::string escapedNaive(const std::string& value) { return oneValueMessage(buildNaive, value); }
