// Two pages, the second inaccessible: a text placed to end at the first page's
// end faults on any read past its terminator.
#ifndef CPCLIENT_TESTS_SUPPORT_GUARDEDPAGE_H
#define CPCLIENT_TESTS_SUPPORT_GUARDEDPAGE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

class GuardedPage {
 public:
  GuardedPage() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* base = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = base == MAP_FAILED ? nullptr : static_cast<char*>(base);
    if (base_) mprotect(base_ + size_, size_, PROT_NONE);
  }
  ~GuardedPage() {
    if (base_) munmap(base_, 2 * size_);
  }
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;

  bool ok() const { return base_ != nullptr; }

  // A copy of text with its terminator, ending where the accessible page ends;
  // valid until the next call.
  template <typename Char>
  Char* atPageEnd(const std::basic_string<Char>& text) {
    size_t bytes = (text.size() + 1) * sizeof(Char);
    Char* copy = reinterpret_cast<Char*>(base_ + size_ - bytes);
    memcpy(copy, text.c_str(), bytes);
    return copy;
  }

 private:
  size_t size_;
  char* base_;
};

#endif  // CPCLIENT_TESTS_SUPPORT_GUARDEDPAGE_H
