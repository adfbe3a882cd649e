// How the reader of one document words its errors: a position (1-based line
// and column, as "line L, column C: "), then what was expected and found.
//
// Inside the reader an error is thrown as ReadError and caught once, at the
// entry of the read, where it becomes the Error value of the stage; nothing
// else throws it and it never leaves the reader. Values quoted in a message
// are cut to a bounded length at a character boundary, with control
// characters escaped, so that a message stays short and printable whatever
// the input holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace korvex::yaml_read {

struct ReadError {
  std::string message;
};

struct Mark {
  std::size_t line = 0;    // 0-based, as libyaml counts
  std::size_t column = 0;  // 0-based, in characters
};

inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <class N>
  requires std::is_integral_v<N>
void append(std::string& out, N n) {
  out.append(std::to_string(n));
}

template <class... A>
std::string cat(const A&... parts) {
  std::string out;
  (append(out, parts), ...);
  return out;
}

inline std::string at(Mark m) { return cat("line ", m.line + 1, ", column ", m.column + 1, ": "); }

[[noreturn]] inline void throw_at(Mark m, std::string_view what) { throw ReadError{cat(at(m), what)}; }

inline constexpr std::size_t kMaxQuotedText = 60;  // bytes of a value quoted in a message

// Quotes a scalar for a message: control characters escaped, long text cut
// at a character boundary.
inline std::string quote(std::string_view text, char q = '\'') {
  std::string out(1, q);
  std::size_t n = text.size();
  bool cut = false;
  if (n > kMaxQuotedText) {
    n = kMaxQuotedText;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    cut = true;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (cut) out += "...";
  out += q;
  return out;
}

inline std::string key_quote(std::string_view k) { return cat('"', k, '"'); }

}  // namespace korvex::yaml_read
