// Streaming reader of one scoring-graph document over libyaml's event API,
// and the normalisation of its messages.
//
// EventSource turns libyaml events (or replayed copies of them) into light
// views. Reader walks the fixed five-level schema over those views; values of
// keys it does not know are skipped by counting collection starts and ends,
// never by recursion. Anchored nodes are recorded on a tape while they are
// parsed: an anchor names a range of the tape, an alias replays that range,
// and an alias inside a recorded node is stored already resolved, because an
// anchor may be redefined later in the stream.
#include "build_scoring_graph/load/read.hpp"

#include <yaml.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <type_traits>
#include <unordered_map>

namespace korvex {
namespace {

inline constexpr std::size_t kReplayFactor = 16;
inline constexpr std::size_t kReplaySlack = 10000;
inline constexpr std::size_t kMaxQuotedText = 60;  // bytes of a value quoted in a message

// ---------------------------------------------------------------- messages

struct ReadError {
  std::string message;
};

void append(std::string& out, std::string_view s) { out.append(s); }
void append(std::string& out, const char* s) { out.append(s); }
void append(std::string& out, const std::string& s) { out.append(s); }
void append(std::string& out, char c) { out.push_back(c); }
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

struct Mark {
  std::size_t line = 0;    // 0-based, as libyaml counts
  std::size_t column = 0;  // 0-based, in characters
};

std::string at(Mark m) { return cat("line ", m.line + 1, ", column ", m.column + 1, ": "); }

[[noreturn]] void throw_at(Mark m, std::string_view what) { throw ReadError{cat(at(m), what)}; }

// Quotes a scalar for a message: control characters escaped, long text cut
// at a character boundary.
std::string quote(std::string_view text, char q = '\'') {
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

// ------------------------------------------------------------------ events

enum class EvType : std::uint8_t { scalar, seq_start, seq_end, map_start, map_end, alias };

enum class Tag : std::uint8_t { none, str, int_, bool_, null, float_, other };

Tag classify_tag(const yaml_char_t* tag) {
  if (tag == nullptr) return Tag::none;
  std::string_view t(reinterpret_cast<const char*>(tag));
  if (t == "!" || t == YAML_STR_TAG) return Tag::str;
  if (t == YAML_INT_TAG) return Tag::int_;
  if (t == YAML_BOOL_TAG) return Tag::bool_;
  if (t == YAML_NULL_TAG) return Tag::null;
  if (t == YAML_FLOAT_TAG) return Tag::float_;
  return Tag::other;
}

// A view of one node event. Valid until the next call of EventSource::next.
struct Ev {
  EvType type = EvType::scalar;
  bool plain = false;  // a plain (unquoted, non-block) scalar
  Tag tag = Tag::none;
  std::string_view text;      // scalar value
  std::string_view tag_text;  // only for Tag::other
  Mark mark;
  std::size_t begin = 0, end = 0;  // alias: the tape range it stands for
  std::uint64_t weight = 1;        // alias: events of its full expansion
  Mark use;                        // where the outermost alias being replayed stands; else `mark`
};

struct TapeEntry {
  EvType type;
  bool plain;
  Tag tag;
  std::string text;
  std::string tag_text;
  Mark mark;
  std::size_t begin, end;
  std::uint64_t weight;
};

struct AnchorDef {
  std::size_t begin = 0, end = 0;
  std::uint64_t weight = 0;  // events of the node once all aliases in it are expanded
  bool open = true;
};

// Expansion sizes can grow exponentially with nested aliases; they saturate.
inline constexpr std::uint64_t kWeightCap = std::uint64_t{1} << 62;
std::uint64_t add_weight(std::uint64_t a, std::uint64_t b) { return std::min(kWeightCap, a + b); }

// Byte offset -> line and column (characters), for libyaml's reader errors,
// which carry only an offset.
Mark mark_of_offset(std::string_view text, std::size_t offset) {
  Mark m;
  offset = std::min(offset, text.size());
  for (std::size_t i = 0; i < offset; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++m.line;
      m.column = 0;
    } else if ((c & 0xC0) != 0x80 && c != '\r') {
      ++m.column;
    }
  }
  return m;
}

class EventSource {
 public:
  // A leading UTF-8 byte order mark is dropped here: libyaml skips it only
  // when it detects the encoding itself, and it must not detect UTF-16.
  explicit EventSource(std::string_view text) : text_(text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text) {
    text = text_;
    if (!yaml_parser_initialize(&parser_)) throw ReadError{"out of memory while starting the YAML parser"};
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
  }
  ~EventSource() {
    if (have_event_) yaml_event_delete(&event_);
    yaml_parser_delete(&parser_);
  }
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  // Stream start and document start; fails when the stream holds no document.
  void start() {
    parse();
    if (event_.type != YAML_STREAM_START_EVENT) throw ReadError{"unexpected first YAML event"};
    parse();
    if (event_.type == YAML_STREAM_END_EVENT)
      throw_at(start_mark(), "expected a YAML document, found the end of the input");
    if (event_.type != YAML_DOCUMENT_START_EVENT) throw_at(start_mark(), "expected the start of a YAML document");
  }

  // After the root node: document end, then the end of the stream. Parsing
  // goes on to the very end so that any later syntax error is reported.
  void finish() {
    parse();
    if (event_.type != YAML_DOCUMENT_END_EVENT) throw_at(start_mark(), "expected the end of the document");
    parse();
    if (event_.type == YAML_DOCUMENT_START_EVENT)
      throw_at(start_mark(), "expected the end of the input after the document, found a second document");
    if (event_.type != YAML_STREAM_END_EVENT) throw_at(start_mark(), "expected the end of the input");
  }

  // The next node event of the document, from a replayed alias or from the
  // parser. Aliases are returned as such; replay() expands one.
  Ev next() {
    if (!replay_.empty()) {
      Cursor& c = replay_.back();
      const TapeEntry& t = tape_[c.pos++];
      Mark use = c.use;
      if (c.pos == c.end) replay_.pop_back();
      charge(1, use);
      return Ev{t.type, t.plain, t.tag, t.text, t.tag_text, t.mark, t.begin, t.end, t.weight, use};
    }
    return next_parsed();
  }

  // Counts an alias that is skipped rather than replayed as if all of its
  // expansion had been replayed, so that where an alias stands does not
  // change whether the document is accepted.
  void charge_skipped(const Ev& alias) { charge(alias.weight, alias.use); }

  // Makes the following next() calls return the node an alias stands for.
  void replay(const Ev& alias) {
    if (alias.begin < alias.end) replay_.push_back(Cursor{alias.begin, alias.end, alias.use});
  }

  // Type of the first event an alias stands for.
  EvType alias_type(const Ev& alias) const { return tape_[alias.begin].type; }

 private:
  struct Cursor {
    std::size_t pos, end;
    Mark use;
  };
  struct OpenAnchor {
    std::size_t def;
    int depth;
  };

  void charge(std::uint64_t events, Mark mark) {
    replayed_ = add_weight(replayed_, events);
    if (replayed_ > kReplayFactor * parsed_ + kReplaySlack)
      throw_at(mark, cat("aliases expand to too many nodes (more than ", kReplayFactor,
                         " replayed events per parsed event)"));
  }

  Mark start_mark() const { return Mark{event_.start_mark.line, event_.start_mark.column}; }

  void parse() {
    if (have_event_) {
      yaml_event_delete(&event_);
      have_event_ = false;
    }
    if (!yaml_parser_parse(&parser_, &event_)) throw ReadError{parser_error()};
    have_event_ = true;
    ++parsed_;
  }

  std::string parser_error() const {
    switch (parser_.error) {
      case YAML_MEMORY_ERROR:
        return "out of memory while parsing YAML";
      case YAML_READER_ERROR: {
        std::string out = cat(at(mark_of_offset(text_, parser_.problem_offset)), "invalid input: ",
                              parser_.problem ? parser_.problem : "unreadable text");
        if (parser_.problem_value != -1) {
          char buf[48];
          std::snprintf(buf, sizeof buf, " (#x%X at byte offset ", static_cast<unsigned>(parser_.problem_value));
          out += buf;
          out += cat(parser_.problem_offset, ")");
        }
        return out;
      }
      default: {
        Mark m{parser_.problem_mark.line, parser_.problem_mark.column};
        std::string out = cat(at(m), "YAML syntax error: ", parser_.problem ? parser_.problem : "unknown problem");
        if (parser_.context) {
          out += cat(" (", parser_.context, " that started at line ", parser_.context_mark.line + 1, ", column ",
                     parser_.context_mark.column + 1, ")");
        }
        return out;
      }
    }
  }

  Ev next_parsed() {
    parse();
    Ev ev;
    ev.mark = ev.use = start_mark();
    const yaml_char_t* anchor = nullptr;
    switch (event_.type) {
      case YAML_SCALAR_EVENT:
        ev.type = EvType::scalar;
        ev.plain = event_.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
        ev.tag = classify_tag(event_.data.scalar.tag);
        if (ev.tag == Tag::other) ev.tag_text = reinterpret_cast<const char*>(event_.data.scalar.tag);
        ev.text = std::string_view(reinterpret_cast<const char*>(event_.data.scalar.value), event_.data.scalar.length);
        anchor = event_.data.scalar.anchor;
        break;
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT:
        ev.type = event_.type == YAML_SEQUENCE_START_EVENT ? EvType::seq_start : EvType::map_start;
        if (++depth_ > kMaxNestingDepth)
          throw_at(ev.mark, cat("collections nested more than ", kMaxNestingDepth, " levels deep"));
        anchor = ev.type == EvType::seq_start ? event_.data.sequence_start.anchor : event_.data.mapping_start.anchor;
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        ev.type = event_.type == YAML_SEQUENCE_END_EVENT ? EvType::seq_end : EvType::map_end;
        break;
      case YAML_ALIAS_EVENT: {
        ev.type = EvType::alias;
        std::string_view name(reinterpret_cast<const char*>(event_.data.alias.anchor));
        auto it = anchors_.find(std::string(name));
        if (it == anchors_.end()) throw_at(ev.mark, cat("alias ", quote(cat('*', name)), " refers to an undefined anchor"));
        const AnchorDef& def = defs_[it->second];
        if (def.open)
          throw_at(ev.mark, cat("alias ", quote(cat('*', name)), " refers to a node that contains it (recursive alias)"));
        ev.begin = def.begin;
        ev.end = def.end;
        ev.weight = def.weight;
        break;
      }
      default:
        throw_at(ev.mark, "unexpected YAML event inside the document");
    }
    record(ev, anchor);
    if (ev.type == EvType::seq_end || ev.type == EvType::map_end) --depth_;
    return ev;
  }

  // Appends the event to the tape while an anchored node is being parsed,
  // and opens or closes anchor definitions.
  void record(const Ev& ev, const yaml_char_t* anchor) {
    if (anchor != nullptr) {
      std::size_t def = defs_.size();
      defs_.push_back(AnchorDef{tape_.size(), 0, recorded_weight_, true});
      anchors_.insert_or_assign(std::string(reinterpret_cast<const char*>(anchor)), def);
      if (ev.type == EvType::scalar) {
        push_tape(ev);
        close(defs_[def]);
        return;
      }
      open_.push_back(OpenAnchor{def, depth_});
    }
    if (open_.empty()) return;
    push_tape(ev);
    if ((ev.type == EvType::seq_end || ev.type == EvType::map_end)) {
      while (!open_.empty() && open_.back().depth == depth_) {
        close(defs_[open_.back().def]);
        open_.pop_back();
      }
    }
  }

  void push_tape(const Ev& ev) {
    tape_.push_back(TapeEntry{ev.type, ev.plain, ev.tag, std::string(ev.text), std::string(ev.tag_text), ev.mark,
                              ev.begin, ev.end, ev.weight});
    recorded_weight_ = add_weight(recorded_weight_, ev.weight);
  }

  // While open, a definition's weight holds the recorded weight at its
  // start; closing turns it into the weight of the node.
  void close(AnchorDef& d) {
    d.end = tape_.size();
    d.weight = recorded_weight_ - d.weight;
    d.open = false;
  }

  std::string_view text_;
  yaml_parser_t parser_;
  yaml_event_t event_;
  bool have_event_ = false;
  int depth_ = 0;
  std::size_t parsed_ = 0;
  std::uint64_t replayed_ = 0;
  std::uint64_t recorded_weight_ = 0;  // sum of the weights of all tape entries
  std::vector<TapeEntry> tape_;
  std::vector<AnchorDef> defs_;
  std::unordered_map<std::string, std::size_t> anchors_;  // name -> latest definition
  std::vector<OpenAnchor> open_;
  std::vector<Cursor> replay_;
};

// ------------------------------------------------------- core-schema typing

bool is_null_text(std::string_view s) { return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL"; }

int bool_text(std::string_view s) {  // 1 true, 0 false, -1 neither
  if (s == "true" || s == "True" || s == "TRUE") return 1;
  if (s == "false" || s == "False" || s == "FALSE") return 0;
  return -1;
}

struct CoreInt {
  bool negative = false;
  bool overflow = false;
  std::uint64_t magnitude = 0;
};

unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 99;
}

// Core-schema integer: [-+]?[0-9]+, or 0x / 0o / 0b with digits and no sign.
bool parse_int(std::string_view s, CoreInt& out) {
  out = CoreInt{};
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

// Whether a scalar is null: untagged plain null spellings, or !!null.
bool is_null(const Ev& ev) {
  if (ev.tag == Tag::none) return ev.plain && is_null_text(ev.text);
  check_tagged(ev);
  return ev.tag == Tag::null;
}

// Whether a scalar is an integer, and its value.
bool as_int(const Ev& ev, CoreInt& n) {
  if (ev.type != EvType::scalar) return false;
  if (ev.tag == Tag::none) return ev.plain && parse_int(ev.text, n);
  check_tagged(ev);
  return ev.tag == Tag::int_ && parse_int(ev.text, n);
}

// Whether a scalar is a boolean, and its value.
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

bool is_empty_value(const Ev& ev) {
  return ev.type == EvType::scalar && ev.plain && ev.tag == Tag::none && ev.text.empty();
}

// ------------------------------------------------------------------ schema

enum TopKey { kExtensionRanges, kEntries, kMessages };
enum MessageKey { kKind, kFields, kExtRanges };
enum FieldKey { kNumber, kType, kChild, kRange, kLabel, kPacked };

constexpr std::string_view kTopNames[] = {"extension_ranges", "entries", "messages"};
constexpr std::string_view kMessageNames[] = {"kind", "fields", "ext_ranges"};
constexpr std::string_view kFieldNames[] = {"number", "type", "child", "range", "label", "packed"};

template <std::size_t N>
int find_key(std::string_view k, const std::string_view (&names)[N]) {
  for (std::size_t i = 0; i < N; ++i)
    if (k == names[i]) return static_cast<int>(i);
  return -1;
}

std::string key_quote(std::string_view k) { return cat('"', k, '"'); }

inline constexpr std::uint8_t kUnknownType = 0xFF;
inline constexpr std::uint8_t kUnknownLabel = 0xFF;

std::uint8_t type_index(std::string_view t) {
  for (std::uint8_t i = 0; i < std::size(kTypeSpellings); ++i)
    if (t == kTypeSpellings[i]) return i;
  return kUnknownType;
}

std::uint8_t label_code(std::string_view l) {
  if (l.empty() || l == "optional") return label::kOptional;
  if (l == "required") return label::kRequired;
  if (l == "repeated") return label::kRepeated;
  return kUnknownLabel;
}

class Reader {
 public:
  explicit Reader(EventSource& src) : src_(src) {}

  YamlFile read_file() {
    YamlFile file;
    Ev start = node();
    unsigned seen = read_mapping(start, [] { return std::string("a mapping for the document"); }, kTopNames,
                                 [&](int key, const Ev& value) {
                                   switch (key) {
                                     case kExtensionRanges:
                                       file.extension_ranges = expect_bool(value, kTopNames[key]);
                                       break;
                                     case kEntries:
                                       read_entries(value, file.entries);
                                       break;
                                     case kMessages:
                                       read_messages(value, file);
                                       break;
                                   }
                                 });
    for (int key : {kEntries, kMessages})
      if (!(seen & (1u << key)))
        throw_at(start.mark, cat("missing required key ", key_quote(kTopNames[key]), " in the document"));
    return file;
  }

 private:
  // The next node, with an alias replaced by the node it stands for.
  Ev node() {
    Ev ev = src_.next();
    if (ev.type != EvType::alias) return ev;
    src_.replay(ev);
    return src_.next();
  }

  // Consumes the rest of a node whose first event is `first`. Aliases inside
  // are not replayed, but count as if they were.
  void skip(const Ev& first) {
    if (first.type == EvType::alias) src_.charge_skipped(first);
    if (first.type != EvType::seq_start && first.type != EvType::map_start) return;
    std::size_t depth = 1;
    while (depth > 0) {
      Ev ev = src_.next();
      if (ev.type == EvType::seq_start || ev.type == EvType::map_start) ++depth;
      else if (ev.type == EvType::seq_end || ev.type == EvType::map_end) --depth;
      else if (ev.type == EvType::alias) src_.charge_skipped(ev);
    }
  }

  // Walks a mapping of listed keys: each listed key found calls
  // on_value(key index, first event of its value); other keys are skipped
  // with their values. Returns the set of listed keys seen, as bits. An empty
  // value reads as an empty mapping. `expected` names the mapping for an
  // error message; it is only called on failure.
  template <std::size_t N, class E, class F>
  unsigned read_mapping(const Ev& start, E&& expected, const std::string_view (&names)[N], F&& on_value) {
    if (is_empty_value(start)) return 0;
    if (start.type != EvType::map_start)
      throw_at(start.mark, cat("expected ", expected(), ", found ", describe(start)));
    unsigned seen = 0;
    for (;;) {
      Ev key = src_.next();
      if (key.type == EvType::map_end) break;
      if (key.type == EvType::alias && src_.alias_type(key) == EvType::scalar) {
        src_.replay(key);
        key = src_.next();
      } else {
        skip(key);
      }
      // A listed key must be a string: no listed name is spelt like a null,
      // a boolean or an integer, so an untagged scalar always is one; keys
      // with other tags count as unknown keys.
      int index = -1;
      if (key.type == EvType::scalar && (key.tag == Tag::none || key.tag == Tag::str)) index = find_key(key.text, names);
      if (index < 0) {
        skip(src_.next());
        continue;
      }
      if (seen & (1u << index)) throw_at(key.mark, cat("duplicate key ", key_quote(names[index])));
      seen |= 1u << index;
      on_value(index, node());
    }
    return seen;
  }

  template <class F>
  void read_sequence(const Ev& start, std::string_view expected, F&& on_item) {
    // Like a mapping, a key followed by nothing reads as an empty sequence.
    if (is_empty_value(start)) return;
    if (start.type != EvType::seq_start) throw_at(start.mark, cat("expected ", expected, ", found ", describe(start)));
    for (;;) {
      Ev item = node();
      if (item.type == EvType::seq_end) break;
      on_item(item);
    }
  }

  // Any non-null scalar, as its text.
  std::string_view expect_string(const Ev& ev, std::string_view expected) {
    if (ev.type != EvType::scalar || is_null(ev)) throw_at(ev.mark, cat("expected ", expected, ", found ", describe(ev)));
    return ev.text;
  }

  // A string, or nothing for null.
  std::optional<std::string_view> optional_string(const Ev& ev, std::string_view expected) {
    if (ev.type == EvType::scalar && is_null(ev)) return std::nullopt;
    return expect_string(ev, expected);
  }

  bool expect_bool(const Ev& ev, std::string_view key) {
    bool value = false;
    if (!as_bool(ev, value))
      throw_at(ev.mark, cat("expected a boolean (true or false) for ", key_quote(key), ", found ", describe(ev)));
    return value;
  }

  std::uint32_t expect_u32(const Ev& ev, std::string_view what) {
    CoreInt n;
    if (!as_int(ev, n) || n.overflow || (n.negative && n.magnitude != 0) || n.magnitude > UINT32_MAX)
      throw_at(ev.mark, cat("expected an unsigned 32-bit integer ", what, ", found ", describe(ev)));
    return static_cast<std::uint32_t>(n.magnitude);
  }

  std::int32_t expect_i32(const Ev& ev, std::string_view what) {
    CoreInt n;
    if (!as_int(ev, n) || n.overflow ||
        n.magnitude > (n.negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1))
      throw_at(ev.mark, cat("expected a signed 32-bit integer ", what, ", found ", describe(ev)));
    return n.negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(n.magnitude))
                      : static_cast<std::int32_t>(n.magnitude);
  }

  // A sequence of exactly two integers, each read by `item`.
  template <class T, class F>
  std::pair<T, T> read_pair(const Ev& start, std::string_view expected, std::string_view count_what, F&& item) {
    if (start.type != EvType::seq_start) throw_at(start.mark, cat("expected ", expected, ", found ", describe(start)));
    T values[2]{};
    std::size_t count = 0;
    for (;;) {
      Ev ev = node();
      if (ev.type == EvType::seq_end) break;
      if (count < 2) values[count] = item(ev);
      else skip(ev);
      ++count;
    }
    if (count != 2) throw_at(start.mark, cat("expected exactly two integers in ", count_what, ", found ", count));
    return {values[0], values[1]};
  }

  void read_entries(const Ev& start, std::vector<std::string>& entries) {
    read_sequence(start, "a sequence of message names for \"entries\"", [&](const Ev& item) {
      entries.emplace_back(expect_string(item, "a message name (a string) in \"entries\""));
    });
  }

  void read_messages(const Ev& start, YamlFile& file) {
    auto& list = file.messages;
    NameIndex index;
    auto name_of = [](const std::pair<std::string, YamlMessage>& entry) -> std::string_view { return entry.first; };

    if (is_empty_value(start)) return;
    if (start.type != EvType::map_start)
      throw_at(start.mark, cat("expected a mapping of messages for \"messages\", found ", describe(start)));
    for (;;) {
      Ev key = node();
      if (key.type == EvType::map_end) break;
      std::string name(expect_string(key, "a message name (a string) as key under \"messages\""));
      YamlMessage message = read_message(node(), name);
      list.emplace_back(std::move(name), std::move(message));
      std::size_t earlier = index.find_or_insert(list, name_of, list.size() - 1);
      if (earlier != list.size() - 1) {
        list[earlier].second = std::move(list.back().second);
        list.pop_back();
      }
    }
  }

  YamlMessage read_message(const Ev& start, const std::string& name) {
    YamlMessage message;
    unsigned seen = read_mapping(start, [&] { return cat("a mapping for message ", quote(name)); }, kMessageNames,
                                 [&](int key, const Ev& value) {
                                   switch (key) {
                                     case kKind:
                                       message.kind = expect_string(value, "a string for \"kind\"") == "GROUP"
                                                          ? NodeKind::group
                                                          : NodeKind::message;
                                       break;
                                     case kFields:
                                       read_fields(value, message);
                                       break;
                                     case kExtRanges:
                                       read_ext_ranges(value, message.ext_ranges);
                                       break;
                                   }
                                 });
    if (!(seen & (1u << kFields)))
      throw_at(start.mark, cat("missing required key \"fields\" in message ", quote(name)));
    return message;
  }

  void read_ext_ranges(const Ev& start, std::vector<ExtRange>& ranges) {
    read_sequence(start, "a sequence of extension ranges for \"ext_ranges\"", [&](const Ev& item) {
      ranges.push_back(read_pair<std::uint32_t>(item, "a sequence of two integers for an extension range",
                                                "an extension range",
                                                [&](const Ev& v) { return expect_u32(v, "in \"ext_ranges\""); }));
    });
  }

  // Fields are gathered in a scratch list reused across messages, so that
  // each message's list is allocated once at its final size.
  void read_fields(const Ev& start, YamlMessage& message) {
    scratch_.clear();
    read_sequence(start, "a sequence of field entries for \"fields\"", [&](const Ev& item) { read_field(item, message); });
    message.fields.assign(std::make_move_iterator(scratch_.begin()), std::make_move_iterator(scratch_.end()));
  }

  void read_field(const Ev& start, YamlMessage& message) {
    std::uint32_t number = 0;
    std::uint8_t type = kUnknownType, label = label::kOptional;
    bool packed = false;
    std::optional<std::string> child;
    std::optional<ValueRange> range;
    std::string unknown;  // the text of an unknown type, else of an unknown label
    bool unknown_type = false;
    unsigned seen = read_mapping(start, [] { return std::string("a mapping for a field entry"); }, kFieldNames,
                                 [&](int key, const Ev& value) {
      switch (key) {
        case kNumber:
          number = expect_u32(value, "for \"number\"");
          break;
        case kType: {
          std::string_view t = expect_string(value, "a string for \"type\"");
          type = type_index(t);
          if (type == kUnknownType) {
            unknown = t;
            unknown_type = true;
          }
          break;
        }
        case kChild:
          if (auto c = optional_string(value, "a string for \"child\"")) child.emplace(*c);
          break;
        case kRange:
          if (value.type == EvType::scalar && is_null(value)) break;
          range = read_pair<std::int32_t>(value, "a sequence of two integers for \"range\"", "\"range\"",
                                          [&](const Ev& v) { return expect_i32(v, "in \"range\""); });
          break;
        case kLabel: {
          std::string_view l = expect_string(value, "a string for \"label\"");
          label = label_code(l);
          if (label == kUnknownLabel && !unknown_type) unknown = l;
          break;
        }
        case kPacked:
          packed = expect_bool(value, kFieldNames[key]);
          break;
      }
    });
    for (int key : {kNumber, kType})
      if (!(seen & (1u << key)))
        throw_at(start.mark, cat("missing required key ", key_quote(kFieldNames[key]), " in a field entry"));
    if (message.problem) return;

    using Rule = FieldProblem::Rule;
    if (type == kUnknownType) {
      message.problem = FieldProblem{Rule::unknown_kind, number, std::move(unknown)};
      return;
    }
    std::uint8_t k = kTypeKind[type];
    if (k == kind::kRanged && !range) {
      message.problem = FieldProblem{Rule::requires_range, number, {}};
      return;
    }
    if (k == kind::kMessage && !child) {
      message.problem = FieldProblem{Rule::requires_child, number, std::string(kTypeSpellings[type])};
      return;
    }
    if (label == kUnknownLabel) {
      message.problem = FieldProblem{Rule::unknown_label, number, std::move(unknown)};
      return;
    }
    scratch_.push_back(ScoringField{number, label, k, packed, std::move(child),
                                    k == kind::kRanged ? range : std::nullopt});
  }

  EventSource& src_;
  std::vector<ScoringField> scratch_;
};

}  // namespace

Result<YamlFile> read_document(std::string_view text) {
  try {
    EventSource src(text);
    src.start();
    YamlFile file = Reader(src).read_file();
    src.finish();
    return file;
  } catch (ReadError& e) {
    return fail(std::move(e.message));
  }
}

Result<NormalizedMessage> normalize_message(std::string_view name, YamlMessage&& message) {
  if (const auto& p = message.problem) {
    using Rule = FieldProblem::Rule;
    switch (p->rule) {
      case Rule::unknown_kind:
        return fail(cat(name, ": unknown kind '", p->text, "'"));
      case Rule::requires_range:
        return fail(cat(name, " field ", p->number, ": bool/enum kind requires range"));
      case Rule::requires_child:
        return fail(cat(name, " field ", p->number, ": kind ", p->text, " requires a child FQDN"));
      case Rule::unknown_label:
        return fail(cat(name, " field ", p->number, ": unknown label '", p->text, "'"));
    }
  }
  NormalizedMessage out;
  out.kind = message.kind;
  out.fields = std::move(message.fields);
  auto by_number = [](const ScoringField& a, const ScoringField& b) { return a.number < b.number; };
  if (!std::is_sorted(out.fields.begin(), out.fields.end(), by_number)) {
    // Stable: equal numbers keep their document order, hence the position
    // as second key.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order(out.fields.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = {out.fields[i].number, static_cast<std::uint32_t>(i)};
    std::sort(order.begin(), order.end());
    std::vector<ScoringField> sorted;
    sorted.reserve(order.size());
    for (const auto& [number, i] : order) sorted.push_back(std::move(out.fields[i]));
    out.fields = std::move(sorted);
  }

  const std::vector<ExtRange>& ranges = message.ext_ranges;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    auto [lo, hi] = ranges[i];
    if (lo > hi) return fail(cat(name, ": ext_ranges [", lo, ", ", hi, "] is empty"));
    if (hi > kMaxFieldNumber)
      return fail(cat(name, ": ext_ranges [", lo, ", ", hi, "] exceeds the maximum field number ", kMaxFieldNumber));
    if (i > 0) {
      auto [plo, phi] = ranges[i - 1];
      if (std::uint64_t{lo} <= std::uint64_t{phi} + 1)
        return fail(cat(name, ": ext_ranges are not canonical \u2014 [", lo, ", ", hi, "] is not strictly after [", plo,
                        ", ", phi, "] with a gap"));
    }
  }
  out.ext_ranges = std::move(message.ext_ranges);
  return out;
}

}  // namespace korvex
