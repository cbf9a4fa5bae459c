// What the process prints on its standard output, captured for a test.
#ifndef CPCLIENT_TESTS_SUPPORT_STDOUTCAPTURE_H
#define CPCLIENT_TESTS_SUPPORT_STDOUTCAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <string>

// Captures what the library prints on the standard output while alive.
class StdoutCapture {
 public:
  StdoutCapture() : file_(tmpfile()), saved_(dup(fileno(stdout))) {
    fflush(stdout);
    dup2(fileno(file_), fileno(stdout));
  }
  ~StdoutCapture() {
    restore();
    fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file_)) > 0) out.append(chunk, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, fileno(stdout));
    close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_;
};

#endif  // CPCLIENT_TESTS_SUPPORT_STDOUTCAPTURE_H
