// cpclient/errors.hpp: the results of the C++ API as std::error_code values in
// cpclient::category(), whose value is the CP_ result (CP_OK gives an empty
// error_code) and whose message is cpdll_ResultText's; Errc names them.
// Needs cpclient.h and <system_error>.
#ifndef CPCLIENT_ERRORS_HPP
#define CPCLIENT_ERRORS_HPP

#include <string>
#include <system_error>
#include <type_traits>

#include "cpclient.h"

namespace cpclient {

// The CP_ results by name; the numbers are the C codes.
enum class Errc {
  noPort = CP_NO_PORT,
  connectFailed = CP_CONNECT_FAILED,
  illegalState = CP_ILLEGAL_STATE,
  writeFailed = CP_WRITE_FAILED,
  unknownGroup = CP_UNKNOWN_GROUP,
  idNotPending = CP_ID_NOT_PENDING,
  noMemory = CP_NO_MEMORY,
  timedOut = CP_TIMED_OUT,
  agentShutdown = CP_AGENT_SHUTDOWN,
  connectionLost = CP_CONNECTION_LOST,
};

// The category of every result here: name "cpclient", messages from cpdll_ResultText.
inline const std::error_category& category() noexcept {
  struct Category : std::error_category {
    const char* name() const noexcept override { return "cpclient"; }
    std::string message(int result) const override { return cpdll_ResultText(result); }
  };
  static const Category instance;
  return instance;
}

// A C result as an error_code: empty for CP_OK.
inline std::error_code makeErrorCode(int result) noexcept { return {result, category()}; }
inline std::error_code make_error_code(Errc e) noexcept { return makeErrorCode(static_cast<int>(e)); }

}  // namespace cpclient

namespace std {
template <>
struct is_error_code_enum<cpclient::Errc> : true_type {};
}  // namespace std

#endif  // CPCLIENT_ERRORS_HPP
