// The schema walker: reads one document's events into flat records.
//
// Reader walks the fixed five-level schema (document, messages, message,
// fields, field entry) over the event views of EventSource; values of keys
// it does not know are skipped by counting collection starts and ends, never
// by recursion. An event view lives only until the next event: names are
// copied as they are seen into a buffer of the document's names, and the
// records hold their numbers there until the document has been read; then
// all are interned in one batch, whose probes of the name table overlap
// (NameTable::intern_all), and the numbers become ids. The text of a field
// problem is kept in the records' buffer.
#include "build_scoring_graph/load/read.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "build_scoring_graph/load/core_schema.hpp"
#include "build_scoring_graph/load/event_source.hpp"

namespace korvex {
namespace {

using namespace yaml_read;

enum TopKey { kExtensionRanges, kEntries, kMessages };
enum MessageKey { kKind, kFields, kExtRanges };
enum FieldKey { kNumber, kType, kChild, kRange, kLabel, kPacked };

constexpr std::string_view kTopNames[] = {"extension_ranges", "entries", "messages"};
constexpr std::string_view kMessageNames[] = {"kind", "fields", "ext_ranges"};
constexpr std::string_view kFieldNames[] = {"number", "type", "child", "range", "label", "packed"};

// Listed keys and spellings are matched through one 64-bit word holding a
// text's first eight bytes (little-endian, zero beyond its end), checked
// against the spelling's length as well, since a text may hold NUL bytes.
// This replaces a chain of byte-wise comparisons, most of them failing, at
// every key and every "type" of a document.
constexpr std::uint64_t word_of(std::string_view s) {
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < s.size() && i < 8; ++i) w |= std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
  return w;
}

// The same at run time, for a text of at most eight bytes: two loads that
// may overlap instead of a loop.
inline std::uint64_t load_word(std::string_view s) {
  const char* p = s.data();
  const std::size_t n = s.size();
  if (n >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return lo | (std::uint64_t{hi} << (8 * (n - 4)));
  }
  if (n == 0) return 0;
  return std::uint64_t{static_cast<unsigned char>(p[0])} |
         std::uint64_t{static_cast<unsigned char>(p[n / 2])} << (8 * (n / 2)) |
         std::uint64_t{static_cast<unsigned char>(p[n - 1])} << (8 * (n - 1));
}

template <std::size_t N>
int find_key(std::string_view k, const std::string_view (&names)[N]) {
  if (k.size() <= 8) {
    const std::uint64_t w = load_word(k);
    for (std::size_t i = 0; i < N; ++i)
      if (names[i].size() == k.size() && word_of(names[i]) == w) return static_cast<int>(i);
    return -1;
  }
  for (std::size_t i = 0; i < N; ++i)
    if (k == names[i]) return static_cast<int>(i);
  return -1;
}

inline constexpr std::uint8_t kUnknownType = 0xFF;
inline constexpr std::uint8_t kUnknownLabel = 0xFF;

std::uint8_t type_index(std::string_view t) {
  if (t.size() > 8) return kUnknownType;
  const std::uint64_t w = load_word(t);
  std::uint8_t i;
  switch (w) {
#define KX_TYPE(n) \
  case word_of(kTypeSpellings[n]): \
    i = n;                         \
    break;
    KX_TYPE(0) KX_TYPE(1) KX_TYPE(2) KX_TYPE(3) KX_TYPE(4) KX_TYPE(5) KX_TYPE(6)
    KX_TYPE(7) KX_TYPE(8) KX_TYPE(9) KX_TYPE(10) KX_TYPE(11) KX_TYPE(12) KX_TYPE(13)
#undef KX_TYPE
    default:
      return kUnknownType;
  }
  static_assert(std::size(kTypeSpellings) == 14);
  return kTypeSpellings[i].size() == t.size() ? i : kUnknownType;
}

std::uint8_t label_code(std::string_view l) {
  if (l.size() > 8) return kUnknownLabel;
  switch (load_word(l)) {
    case word_of(""):
      return l.empty() ? label::kOptional : kUnknownLabel;
    case word_of("optional"):
      return l.size() == 8 ? label::kOptional : kUnknownLabel;
    case word_of("required"):
      return l.size() == 8 ? label::kRequired : kUnknownLabel;
    case word_of("repeated"):
      return l.size() == 8 ? label::kRepeated : kUnknownLabel;
    default:
      return kUnknownLabel;
  }
}

class Reader {
 public:
  // Names go to `names` (back to back) and `pending` (one text each), and
  // the records hold indexes into `pending` where they will hold name ids.
  Reader(EventSource& src, DocumentRecords& out, std::string& names, std::vector<TextRef>& pending)
      : src_(src), out_(out), names_(names), pending_(pending) {}

  void read_file() {
    Ev start = node();
    unsigned seen = read_mapping(start, [] { return std::string("a mapping for the document"); }, kTopNames,
                                 [&](int key, const Ev& value) {
                                   switch (key) {
                                     case kExtensionRanges:
                                       out_.extension_ranges = expect_bool(value, kTopNames[key]);
                                       break;
                                     case kEntries:
                                       read_entries(value);
                                       break;
                                     case kMessages:
                                       read_messages(value);
                                       break;
                                   }
                                 });
    for (int key : {kEntries, kMessages})
      if (!(seen & (1u << key)))
        throw_at(start.mark, cat("missing required key ", key_quote(kTopNames[key]), " in the document"));
  }

 private:
  TextRef keep(std::string_view text) {
    TextRef ref{out_.text.size(), text.size()};
    out_.text.append(text);
    return ref;
  }

  // The number of a name, for the id it will become.
  std::uint32_t defer(std::string_view name) {
    if (pending_.size() >= NameTable::kNone) throw std::length_error("too many names in one document");
    pending_.push_back(TextRef{names_.size(), name.size()});
    names_.append(name);
    return static_cast<std::uint32_t>(pending_.size() - 1);
  }
  std::string_view pending_name(std::uint32_t number) const {
    return std::string_view(names_).substr(pending_[number].offset, pending_[number].size);
  }

  // The next node, with an alias replaced by the node it stands for. One
  // named result, built in the caller's place: a copy of an event just
  // written field by field would be read back in wider pieces than it was
  // stored, which waits for the stores to reach the cache.
  Ev node() {
    Ev ev = src_.next();
    if (ev.type == EvType::alias) {
      src_.replay(ev);
      ev = src_.next();
    }
    return ev;
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

  void read_entries(const Ev& start) {
    read_sequence(start, "a sequence of message names for \"entries\"", [&](const Ev& item) {
      out_.entries.push_back(defer(expect_string(item, "a message name (a string) in \"entries\"")));
    });
  }

  void read_messages(const Ev& start) {
    auto& list = out_.messages;
    if (is_empty_value(start)) return;
    if (start.type != EvType::map_start)
      throw_at(start.mark, cat("expected a mapping of messages for \"messages\", found ", describe(start)));
    // Every definition as it comes; a name given twice is settled once
    // names are ids (DocumentReader::read).
    for (;;) {
      Ev key = node();
      if (key.type == EvType::map_end) break;
      const std::uint32_t name = defer(expect_string(key, "a message name (a string) as key under \"messages\""));
      list.push_back(read_message(node(), name));
    }
  }

  MessageRecord read_message(const Ev& start, std::uint32_t name) {
    MessageRecord message;
    message.name = name;
    message.fields_begin = message.fields_end = out_.fields.size();
    message.ext_begin = message.ext_end = out_.ext_ranges.size();
    unsigned seen = read_mapping(start, [&] { return cat("a mapping for message ", quote(pending_name(name))); },
                                 kMessageNames, [&](int key, const Ev& value) {
                                   switch (key) {
                                     case kKind:
                                       message.kind = expect_string(value, "a string for \"kind\"") == "GROUP"
                                                          ? NodeKind::group
                                                          : NodeKind::message;
                                       break;
                                     case kFields:
                                       message.fields_begin = out_.fields.size();
                                       read_sequence(value, "a sequence of field entries for \"fields\"",
                                                     [&](const Ev& item) { read_field(item, message); });
                                       message.fields_end = out_.fields.size();
                                       break;
                                     case kExtRanges:
                                       message.ext_begin = out_.ext_ranges.size();
                                       read_ext_ranges(value);
                                       message.ext_end = out_.ext_ranges.size();
                                       break;
                                   }
                                 });
    if (!(seen & (1u << kFields)))
      throw_at(start.mark, cat("missing required key \"fields\" in message ", quote(pending_name(name))));
    return message;
  }

  void read_ext_ranges(const Ev& start) {
    read_sequence(start, "a sequence of extension ranges for \"ext_ranges\"", [&](const Ev& item) {
      out_.ext_ranges.push_back(read_pair<std::uint32_t>(item, "a sequence of two integers for an extension range",
                                                         "an extension range",
                                                         [&](const Ev& v) { return expect_u32(v, "in \"ext_ranges\""); }));
    });
  }

  void set_problem(MessageRecord& message, FieldProblem::Rule rule, std::uint32_t number, std::string_view text) {
    message.has_problem = true;
    message.rule = rule;
    message.problem_number = number;
    message.problem_text = keep(text);
  }

  void read_field(const Ev& start, MessageRecord& message) {
    FieldRecord field;
    std::uint8_t type = kUnknownType, label = label::kOptional;
    bool has_range = false;
    bool unknown_type = false;
    unknown_.clear();  // the text of an unknown type, else of an unknown label
    unsigned seen = read_mapping(start, [] { return std::string("a mapping for a field entry"); }, kFieldNames,
                                 [&](int key, const Ev& value) {
      switch (key) {
        case kNumber:
          field.number = expect_u32(value, "for \"number\"");
          break;
        case kType: {
          std::string_view t = expect_string(value, "a string for \"type\"");
          type = type_index(t);
          if (type == kUnknownType) {
            unknown_.assign(t);
            unknown_type = true;
          }
          break;
        }
        case kChild:
          if (auto c = optional_string(value, "a string for \"child\"")) field.child = defer(*c);
          break;
        case kRange:
          if (value.type == EvType::scalar && is_null(value)) break;
          field.range = read_pair<std::int32_t>(value, "a sequence of two integers for \"range\"", "\"range\"",
                                                [&](const Ev& v) { return expect_i32(v, "in \"range\""); });
          has_range = true;
          break;
        case kLabel: {
          std::string_view l = expect_string(value, "a string for \"label\"");
          label = label_code(l);
          if (label == kUnknownLabel && !unknown_type) unknown_.assign(l);
          break;
        }
        case kPacked:
          field.packed = expect_bool(value, kFieldNames[key]);
          break;
      }
    });
    for (int key : {kNumber, kType})
      if (!(seen & (1u << key)))
        throw_at(start.mark, cat("missing required key ", key_quote(kFieldNames[key]), " in a field entry"));
    // Only the first problem of a message counts; the fields after it are
    // read for their reading errors alone.
    if (message.has_problem) return;
    using Rule = FieldProblem::Rule;
    std::uint8_t k = type == kUnknownType ? kind::kInt32 : kTypeKind[type];
    if (type == kUnknownType) return set_problem(message, Rule::unknown_kind, field.number, unknown_);
    if (k == kind::kRanged && !has_range) return set_problem(message, Rule::requires_range, field.number, {});
    if (k == kind::kMessage && !field.has_child())
      return set_problem(message, Rule::requires_child, field.number, kTypeSpellings[type]);
    if (label == kUnknownLabel) return set_problem(message, Rule::unknown_label, field.number, unknown_);
    field.label = label;
    field.kind = k;
    field.has_range = k == kind::kRanged;
    if (!field.has_range) field.range = {};
    out_.fields.push_back(field);
  }

  EventSource& src_;
  DocumentRecords& out_;
  std::string& names_;
  std::vector<TextRef>& pending_;
  std::string unknown_;
};

}  // namespace

void DocumentRecords::clear() {
  extension_ranges = false;
  text.clear();
  entries.clear();
  messages.clear();
  fields.clear();
  ext_ranges.clear();
}

DocumentReader::DocumentReader() : tape_(std::make_unique<yaml_read::Tape>()) {}
DocumentReader::~DocumentReader() = default;
DocumentReader::DocumentReader(DocumentReader&&) noexcept = default;
DocumentReader& DocumentReader::operator=(DocumentReader&&) noexcept = default;

Result<void> DocumentReader::read(std::string_view text, NameTable& names) {
  records_.clear();
  names_.clear();
  pending_.clear();
  work_ = {};
  try {
    yaml_read::EventSource src(text, *tape_);
    try {
      src.start();
      Reader(src, records_, names_, pending_).read_file();
      src.finish();
    } catch (ReadError&) {
      work_ = src.work();
      throw;
    }
    work_ = src.work();
  } catch (ReadError& e) {
    return fail(std::move(e.message));
  }
  resolve_names(names);
  return {};
}

void DocumentReader::resolve_names(NameTable& names) {
  views_.resize(pending_.size());
  for (std::size_t i = 0; i < pending_.size(); ++i)
    views_[i] = std::string_view(names_).substr(pending_[i].offset, pending_[i].size);
  ids_.resize(pending_.size());
  names.intern_all(views_, ids_);
  for (std::uint32_t& entry : records_.entries) entry = ids_[entry];
  for (FieldRecord& field : records_.fields)
    if (field.has_child()) field.child = ids_[field.child];

  // A name defined twice keeps its later definition in the place of its
  // first. A new serial makes every mark from earlier documents stale; once
  // in 2^32 documents the marks are cleared instead.
  if (++serial_ == 0) {
    std::fill(message_of_name_.begin(), message_of_name_.end(), 0);
    serial_ = 1;
  }
  if (message_of_name_.size() < names.size()) message_of_name_.resize(std::max(names.size(), 2 * message_of_name_.size()));
  const std::uint64_t mine = std::uint64_t{serial_} << 32;
  std::vector<MessageRecord>& list = records_.messages;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    MessageRecord message = list[i];
    message.name = ids_[message.name];
    std::uint64_t& seen = message_of_name_[message.name];
    if ((seen & ~std::uint64_t{0xFFFFFFFF}) == mine) {
      list[static_cast<std::uint32_t>(seen)] = message;
    } else {
      seen = mine | kept;
      list[kept++] = message;
    }
  }
  list.resize(kept);
}

ScoringField make_field(const NameTable& names, const FieldRecord& f) {
  return ScoringField{f.number,
                      f.label,
                      f.kind,
                      f.packed,
                      f.has_child() ? std::optional<std::string>(names[f.child]) : std::nullopt,
                      f.has_range ? std::optional<ValueRange>(f.range) : std::nullopt};
}

Result<YamlFile> read_document(std::string_view text) {
  DocumentReader reader;
  NameTable names;
  if (auto read = reader.read(text, names); !read) return std::unexpected(std::move(read.error()));
  const DocumentRecords& r = reader.records();
  YamlFile file;
  file.extension_ranges = r.extension_ranges;
  file.entries.reserve(r.entries.size());
  for (std::uint32_t e : r.entries) file.entries.emplace_back(names[e]);
  file.messages.reserve(r.messages.size());
  for (const MessageRecord& m : r.messages) {
    YamlMessage message;
    message.kind = m.kind;
    auto fields = r.fields_of(m);
    message.fields.reserve(fields.size());
    for (const FieldRecord& f : fields) message.fields.push_back(make_field(names, f));
    auto ranges = r.ext_ranges_of(m);
    message.ext_ranges.assign(ranges.begin(), ranges.end());
    if (m.has_problem) message.problem = FieldProblem{m.rule, m.problem_number, std::string(r.view(m.problem_text))};
    file.messages.emplace_back(std::string(names[m.name]), std::move(message));
  }
  return file;
}

}  // namespace korvex
