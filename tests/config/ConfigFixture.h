// Test fixture piece: a fresh global configuration map and a clean environment per test.
#ifndef CPCLIENT_TESTS_CONFIG_CONFIGFIXTURE_H
#define CPCLIENT_TESTS_CONFIG_CONFIGFIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/ConfigData.h"
#include "support/TraceCapture.h"

using Lines = std::vector<std::string>;

inline std::string textOf(const char* text) { return text ? text : "<null>"; }
inline std::string take(char* text) {
  std::string out = textOf(text);
  free(text);
  return out;
}

// Empties the global map around each test and unsets the environment variables
// that start with the given prefixes (stores mirror into the environment, and all
// tests may run in one process).
class FreshConfig : public ::testing::Test {
 protected:
  explicit FreshConfig(Lines envPrefixes) : envPrefixes_(std::move(envPrefixes)) {}
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

 private:
  void reset() {
    resetConfigurationForTest();
    Lines names;
    for (char** entry = environ; *entry; entry++)
      for (const std::string& prefix : envPrefixes_)
        if (strncmp(*entry, prefix.c_str(), prefix.size()) == 0) names.emplace_back(*entry, strcspn(*entry, "="));
    for (const std::string& name : names) unsetenv(name.c_str());
  }
  ScopedEnv productCode_{PRODUCT_CODE_PROPERTY, nullptr};
  Lines envPrefixes_;
};

#endif  // CPCLIENT_TESTS_CONFIG_CONFIGFIXTURE_H
