// A C++ provider built outside the tree with cpclient.hpp, against the installed
// library (find_package) or the source tree (add_subdirectory): one group with
// one row, task answers with an output, and a clean exit at the agent's shutdown.
#include <cpclient.hpp>

int main() {
  cpclient::Provider provider;
  provider.group("OutsideCxx", 1, [](const cpclient::Request&, cpclient::Rows& rows) { rows.add("outside", 1); });
  provider.task([](const cpclient::Request& request, cpclient::TaskOutput& out) {
    out.add(request.command().value_or(""));
    return 0;
  });
  cpclient::RunOptions options;
  options.workers = 1;
  return provider.run(options).ok() ? 0 : 1;
}
