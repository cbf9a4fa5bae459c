// The same data response built by other means: libxml2's text writer, a pugixml tree, a naive std::string.
#ifndef CPCLIENT_BENCH_PEERBUILDERS_H
#define CPCLIENT_BENCH_PEERBUILDERS_H

#include <cstddef>
#include <string>

// rows x columns values, row-major, any of them null.
struct Table {
  int rows;
  int columns;
  char** values;
  char** row(int r) const { return values + static_cast<size_t>(r) * columns; }
};

// Each builds <dataResponse id="ID"><attrGroup name="NAME"><in><al><a v="V"/>...
// </al></in>...</attrGroup></dataResponse>\n from table in its own natural way and
// returns the message's size; when copy is not null the message bytes are also
// put there (for the checks, outside the timed loops).
size_t buildWithLibxml2(const Table& table, const char* id, const char* group, std::string* copy);
size_t buildWithPugixml(const Table& table, const char* id, const char* group, std::string* copy);
size_t buildNaive(const Table& table, const char* id, const char* group, std::string* copy);

// How each way writes one attribute value: the text between the quotes of v="".
std::string escapedByLibxml2(const std::string& value);
std::string escapedByPugixml(const std::string& value);
std::string escapedNaive(const std::string& value);

#endif  // CPCLIENT_BENCH_PEERBUILDERS_H
