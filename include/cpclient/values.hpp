// cpclient/values.hpp: how a value of a row, an event or a task output becomes
// text (detail::Cell), and the test that a name can go into a message as an
// attribute (detail::validName). Needs the standard library alone.
#ifndef CPCLIENT_VALUES_HPP
#define CPCLIENT_VALUES_HPP

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace cpclient {
namespace detail {

// One value as a NUL-terminated UTF-8 string: text passes through (a string_view
// is copied to get its terminator), a char is one character, numbers are formatted without locale by
// std::to_chars (floating point in the shortest form that reads back exactly),
// bool as "true"/"false", nullptr as a null value. Neither copied nor moved: it
// lives in the array that a call builds and passes on.
class Cell {
 public:
  template <class T>
  Cell(const T& value) {  // NOLINT: converting on purpose
    using V = std::decay_t<T>;
    if constexpr (std::is_same_v<V, std::nullptr_t>) {
      text_ = nullptr;
    } else if constexpr (std::is_same_v<V, bool>) {
      text_ = value ? "true" : "false";
    } else if constexpr (std::is_same_v<V, char>) {
      number_[0] = value;
      number_[1] = '\0';
      text_ = number_;
    } else if constexpr (std::is_arithmetic_v<V>) {
      *std::to_chars(number_, number_ + sizeof number_ - 1, value).ptr = '\0';
      text_ = number_;
    } else if constexpr (std::is_convertible_v<const T&, const char*>) {
      text_ = value;
    } else if constexpr (std::is_same_v<V, std::string>) {
      text_ = value.c_str();
    } else {
      static_assert(std::is_convertible_v<const T&, std::string_view>, "a value is text, a number or nullptr");
      copy_ = std::string_view(value);
      text_ = copy_.c_str();
    }
  }
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;
  const char* c_str() const noexcept { return text_; }

 private:
  char number_[40];  // the longest double, long or bool text with its NUL
  std::string copy_;
  const char* text_ = nullptr;
};

// The C strings of cells, in order.
template <size_t N>
void pointers(const Cell (&cells)[N], const char* (&out)[N]) noexcept {
  for (size_t i = 0; i < N; i++) out[i] = cells[i].c_str();
}

// True when text makes a well-formed attribute of a message: no control
// character, and unless the library escapes it (escaped: values and task
// instances; group names and subnodes are written as they are) no & < > " '.
inline bool validName(std::string_view text, bool escaped = false) noexcept {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
    if (!escaped && (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'')) return false;
  }
  return true;
}

}  // namespace detail
}  // namespace cpclient

#endif  // CPCLIENT_VALUES_HPP
