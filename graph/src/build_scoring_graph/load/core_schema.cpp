// Core-schema typing of scalars.
#include "build_scoring_graph/load/core_schema.hpp"

namespace korvex::yaml_read {
namespace {

int bool_text(std::string_view s) {  // 1 true, 0 false, -1 neither
  if (s == "true" || s == "True" || s == "TRUE") return 1;
  if (s == "false" || s == "False" || s == "FALSE") return 0;
  return -1;
}

unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 99;
}

[[noreturn]] void unsupported_tag(const Ev& ev) { throw_at(ev.mark, cat("unsupported tag ", quote(ev.tag_text))); }

// A scalar with a core-schema tag must fit that tag.
void check_tagged(const Ev& ev) {
  CoreInt n;
  switch (ev.tag) {
    case Tag::none:
    case Tag::str:
    case Tag::float_:
      return;
    case Tag::null:
      if (!is_null_text(ev.text)) throw_at(ev.mark, cat(quote(ev.text), " is not a valid !!null value"));
      return;
    case Tag::bool_:
      if (bool_text(ev.text) < 0) throw_at(ev.mark, cat(quote(ev.text), " is not a valid !!bool value"));
      return;
    case Tag::int_:
      if (!parse_int(ev.text, n)) throw_at(ev.mark, cat(quote(ev.text), " is not a valid !!int value"));
      return;
    case Tag::other:
      unsupported_tag(ev);
  }
}

}  // namespace

bool is_null_text(std::string_view s) { return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL"; }

bool parse_int(std::string_view s, CoreInt& out) {
  out = CoreInt{};
  // Unsigned decimal digits that cannot overflow, the usual case, in one
  // tight loop.
  if (!s.empty() && s.size() <= 19) {
    std::uint64_t v = 0;
    std::size_t i = 0;
    for (; i < s.size(); ++i) {
      const unsigned d = static_cast<unsigned char>(s[i]) - unsigned{'0'};
      if (d > 9) break;
      v = v * 10 + d;
    }
    if (i == s.size()) {
      out.magnitude = v;
      return true;
    }
  }
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
    base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
    s.remove_prefix(2);
  } else if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    out.negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  for (char c : s) {
    unsigned d = digit_value(c);
    if (d >= base) return false;
    if (out.magnitude > (UINT64_MAX - d) / base) out.overflow = true;
    out.magnitude = out.magnitude * base + d;
  }
  return true;
}

bool is_null(const Ev& ev) {
  if (ev.tag == Tag::none) return ev.plain && is_null_text(ev.text);
  check_tagged(ev);
  return ev.tag == Tag::null;
}

bool as_int(const Ev& ev, CoreInt& n) {
  if (ev.type != EvType::scalar) return false;
  if (ev.tag == Tag::none) return ev.plain && parse_int(ev.text, n);
  check_tagged(ev);
  return ev.tag == Tag::int_ && parse_int(ev.text, n);
}

bool as_bool(const Ev& ev, bool& value) {
  if (ev.type != EvType::scalar) return false;
  if (ev.tag == Tag::none && !ev.plain) return false;
  check_tagged(ev);
  if (ev.tag != Tag::none && ev.tag != Tag::bool_) return false;
  int b = bool_text(ev.text);
  value = b == 1;
  return b >= 0;
}

std::string describe(const Ev& ev) {
  switch (ev.type) {
    case EvType::seq_start:
      return "a sequence";
    case EvType::map_start:
      return "a mapping";
    case EvType::scalar:
      if (ev.plain && ev.tag == Tag::none && ev.text.empty()) return "an empty value";
      if (ev.plain && ev.tag == Tag::none && is_null_text(ev.text)) return cat("null (", quote(ev.text), ")");
      if (!ev.plain) return cat("the quoted string ", quote(ev.text, '"'));
      return quote(ev.text);
    default:
      return "the end of a collection";
  }
}

}  // namespace korvex::yaml_read
