// YAML 1.2 core-schema typing of scalar events: which scalars are null,
// booleans or integers, and how a node is described in a message.
//
// Quoted scalars are strings; plain true/false, null/~/empty and integers
// ([-+]?[0-9]+, or 0x / 0o / 0b with digits and no sign) are typed; yes, no,
// on and off stay strings. A scalar tagged with a core-schema tag must fit
// that tag; any tag outside the core schema is refused when its value is
// used. The checks that fail throw ReadError at the scalar's position.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "build_scoring_graph/load/event_source.hpp"

namespace korvex::yaml_read {

struct CoreInt {
  bool negative = false;
  bool overflow = false;  // the magnitude did not fit 64 bits
  std::uint64_t magnitude = 0;
};

bool is_null_text(std::string_view s);

// A core-schema integer; false when the text is not one.
bool parse_int(std::string_view s, CoreInt& out);

// Whether a scalar is null: untagged plain null spellings, or !!null.
bool is_null(const Ev& ev);

// Whether a scalar is an integer, and its value.
bool as_int(const Ev& ev, CoreInt& n);

// Whether a scalar is a boolean, and its value.
bool as_bool(const Ev& ev, bool& value);

// A plain, untagged, empty scalar: a key followed by nothing.
inline bool is_empty_value(const Ev& ev) {
  return ev.type == EvType::scalar && ev.plain && ev.tag == Tag::none && ev.text.empty();
}

// The node as a message names what it found: "a sequence", "null ('~')",
// "the quoted string \"x\"", ...
std::string describe(const Ev& ev);

}  // namespace korvex::yaml_read
