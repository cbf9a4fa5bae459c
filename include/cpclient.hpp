// cpclient.hpp: a C++17 provider API over the C interface of cpclient.h.
//
// Header-only: it calls the C functions and nothing else, so no C++ type crosses
// the library's boundary. A provider registers a handler per attribute group (and
// one for tasks), then calls run(), which connects, registers, waits for the
// agent's requests and hands each to its handler, answers it, survives restarts
// of the agent (and an agent that is not there yet) and returns when the agent
// shuts down, stop() is called, or a signal comes (RunOptions::handleSignals):
//
//   cpclient::Provider p;
//   p.group("Memory", 1, [](const cpclient::Request& req, cpclient::Rows& rows) {
//     rows.add("MemTotal", 16318480);
//   });
//   p.task([](const cpclient::Request& req, cpclient::TaskOutput& out) { out.add("done"); return 0; });
//   cpclient::RunOptions options;
//   options.handleSignals = true;  // SIGINT and SIGTERM stop it
//   return p.run(options).ok() ? 0 : 1;
//
// Results are std::error_code values in cpclient::category(), whose value is the
// CP_ result (CP_OK gives an empty error_code) and whose message is
// cpdll_ResultText's; compare them with the cpclient::Errc names.
//
// The C library has one connection per process: one Provider runs at a time.
//
// The API lives in cpclient/, one header per idea, each compiling on its own:
// errors.hpp (Errc and the category), request.hpp (Request), values.hpp (values as
// text), rows.hpp (Rows, TaskOutput), service.hpp (the service manager) and
// provider.hpp (Provider and run). This header includes them all.
#ifndef CPCLIENT_HPP
#define CPCLIENT_HPP

#include "cpclient.h"
#include "cpclient/errors.hpp"
#include "cpclient/provider.hpp"
#include "cpclient/request.hpp"
#include "cpclient/rows.hpp"
#include "cpclient/service.hpp"
#include "cpclient/values.hpp"

#endif  // CPCLIENT_HPP
