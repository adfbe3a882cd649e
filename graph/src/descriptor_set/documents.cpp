// From the records of a descriptor set to one normalised scoring-graph
// document per file, by the rules of tools/descriptors_to_scoring_graphs.py:
//
//  - fixed64 and sfixed64 are doubles, fixed32 and sfixed32 floats (same
//    wire class); bool fields range over [0, 1], enum fields over the least
//    and greatest value of their enum ([0, 0] without values), the enum
//    being the one the field's file sees: its own definition, else the
//    first among its imports, breadth first (direct imports in order, then
//    theirs), else the set's first;
//  - repeated scalars are packed in proto3 (and editions) unless
//    [packed=false], in proto2 only with [packed=true];
//  - a message type is a GROUP when a group field anywhere in the set names
//    it (every definition of that name); extension ranges become inclusive, sorted, with adjacent or
//    overlapping ranges merged and the top capped at the largest field
//    number; extension fields are not fields of the extended message;
//  - the file's top-level messages are its entries, and its messages come in
//    pre-order, as the converter writes them.
//
// The result equals what reading and normalising the converter's YAML gives,
// without the YAML; the YAML itself, byte for byte, is written here too, for
// the same fields through the same checks. Conversion errors come in the
// converter's order (file, message, field); every document is made before
// any is handed on, so a failing set bakes nothing.
#include <algorithm>
#include <charconv>
#include <string>
#include <unordered_map>
#include <utility>

#include "build_scoring_graph/load/scoring_field.hpp"
#include "descriptor_set/descriptor_set.hpp"

namespace korvex::fds {
namespace {

inline constexpr std::uint8_t kNoKind = 0xFF;

// FieldDescriptorProto.Type -> kind code.
inline constexpr std::uint8_t kKindOfType[field_type::kLast + 1] = {
    kNoKind,         // 0: no type
    kind::kDouble,   // TYPE_DOUBLE
    kind::kFloat,    // TYPE_FLOAT
    kind::kInt64,    // TYPE_INT64
    kind::kInt64,    // TYPE_UINT64
    kind::kInt32,    // TYPE_INT32
    kind::kDouble,   // TYPE_FIXED64: 64-bit fixed wire class
    kind::kFloat,    // TYPE_FIXED32: 32-bit fixed wire class
    kind::kRanged,   // TYPE_BOOL
    kind::kString,   // TYPE_STRING
    kind::kMessage,  // TYPE_GROUP
    kind::kMessage,  // TYPE_MESSAGE
    kind::kBytes,    // TYPE_BYTES
    kind::kUint32,   // TYPE_UINT32
    kind::kRanged,   // TYPE_ENUM
    kind::kFloat,    // TYPE_SFIXED32
    kind::kDouble,   // TYPE_SFIXED64
    kind::kUint32,   // TYPE_SINT32
    kind::kInt64,    // TYPE_SINT64
};

bool packable(std::int32_t type) {
  return type != field_type::kString && type != field_type::kGroup && type != field_type::kMessage &&
         type != field_type::kBytes;
}

// FieldDescriptorProto.Type -> the converter's spelling of it.
inline constexpr std::string_view kTypeName[field_type::kLast + 1] = {
    "",       "double", "float",  "int64",  "uint64", "int32", "double", "float",  "bool",  "string",
    "group",  "message", "bytes", "uint32", "enum",   "float", "double", "sint32", "sint64",
};
inline constexpr std::string_view kLabelName[] = {"optional", "required", "repeated"};  // by label code

void append_number(std::string& out, std::int64_t v) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  out.append(buffer, end);
}

bool ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

// \u and the four hex digits of `code`, as JSON and YAML escape a
// character.
void append_u(std::string& out, unsigned code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += "0123456789abcdef"[(code >> shift) & 15];
}

// Characters outside C0 that a YAML stream may not hold as they are, or
// that a reader takes for a line break: DEL, C1 (with NEL, which a quoted
// scalar folds into a space), U+2028, U+2029, U+FFFE and U+FFFF. When one
// is at s[p], appends its escape (\u and four hex digits), moves p to its
// last byte and returns true.
bool append_unsafe(std::string& out, std::string_view s, std::size_t& p) {
  const auto at = [&](std::size_t i) { return p + i < s.size() ? static_cast<unsigned char>(s[p + i]) : 0u; };
  unsigned code = 0;
  std::size_t size = 0;
  if (at(0) == 0x7F) {
    code = 0x7F, size = 1;
  } else if (at(0) == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) {
    code = at(1), size = 2;
  } else if (at(0) == 0xE2 && at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9)) {
    code = 0x2000 | (at(2) & 0x3F), size = 3;
  } else if (at(0) == 0xEF && at(1) == 0xBF && (at(2) == 0xBE || at(2) == 0xBF)) {
    code = 0xFFC0 | (at(2) & 0x3F), size = 3;
  } else {
    return false;
  }
  append_u(out, code);
  p += size - 1;
  return true;
}

// A YAML scalar that every reader takes as exactly `s`, as the converter
// writes it: plain when it is a dotted name that no reader takes for a
// null or a boolean, else quoted as Python's json.dumps(ensure_ascii=False)
// quotes it; but for the characters of append_unsafe, which json.dumps
// leaves as they are, escaped.
void append_scalar(std::string& out, std::string_view s) {
  bool plain = !s.empty() && ascii_letter(s[0]) && std::all_of(s.begin() + 1, s.end(), [](char c) {
    return ascii_letter(c) || (c >= '0' && c <= '9') || c == '.';
  });
  if (plain && s.size() <= 5) {
    std::string lower(s);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (std::string_view word : {"null", "true", "false", "yes", "no", "on", "off", "y", "n"})
      plain = plain && lower != word;
  }
  if (plain) {
    out.append(s);
    return;
  }
  out += '"';
  for (std::size_t p = 0; p < s.size(); ++p) {
    const char c = s[p];
    if (append_unsafe(out, s, p)) continue;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          append_u(out, static_cast<unsigned char>(c));
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// A mapping key: as a scalar, at the start of its line, then ":"; but as
// an explicit key ("? " and the scalar, then ":" on the next line at
// `indent`) when the scalar is longer than the 1 024 characters YAML
// allows an implicit key, which no reader would read back.
void append_key(std::string& out, std::string_view indent, std::string_view s) {
  const std::size_t start = out.size();
  append_scalar(out, s);
  const std::string_view scalar = std::string_view(out).substr(start);
  const auto characters = static_cast<std::size_t>(
      std::count_if(scalar.begin(), scalar.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
  if (characters <= 1024) {
    out += ":\n";
    return;
  }
  out.insert(start, "? ");
  out += '\n';
  out.append(indent);
  out += ":\n";
}

// A file name in a comment line: escaped where a YAML stream may not hold
// it as it is (control characters but the tab, and those of
// append_unsafe), or it would end the comment and make the rest of the
// name a line of the document (\n, \r, \u2028, ...).
void append_comment(std::string& out, std::string_view s) {
  for (std::size_t p = 0; p < s.size(); ++p) {
    const auto c = static_cast<unsigned char>(s[p]);
    if (append_unsafe(out, s, p)) continue;
    if (c == '\n' || c == '\r') {
      out += c == '\n' ? "\\n" : "\\r";
    } else if (c < 0x20 && c != '\t') {
      append_u(out, c);
    } else {
      out += s[p];
    }
  }
}

class Converter {
 public:
  explicit Converter(const DescriptorSet& set)
      : set_(set), group_(set.messages.size(), 0), seen_(set.files.size(), 0) {
    auto mark = [&](const FieldRecord& f) {
      if (f.type != field_type::kGroup) return;
      std::uint32_t first = set.find_message(strip_dot(f.type_name));
      if (first == kNone || group_[first]) return;  // a chain is marked whole
      for (std::uint32_t m = first; m != kNone; m = set.next_message(m)) group_[m] = 1;
    };
    for (const FieldRecord& f : set.fields) mark(f);
    for (const ExtensionRecord& x : set.extensions) mark(x.field);
  }

  Result<NormalizedDocument> document(const FileRecord& file) {
    NormalizedDocument doc;
    doc.extension_ranges = true;
    auto messages = DescriptorSet::slice(set_.messages, file.messages);
    proto3_ = file.syntax == "proto3" || file.syntax == "editions";
    for (const MessageRecord& m : messages)
      if (m.parent == kNone) doc.entries.emplace_back(m.full_name);
    doc.messages.reserve(messages.size());
    for (const MessageRecord& m : messages) {
      NormalizedMessage out;
      out.kind = is_group(m) ? NodeKind::group : NodeKind::message;
      auto fields = DescriptorSet::slice(set_.fields, m.fields);
      out.fields.reserve(fields.size());
      for (const FieldRecord& f : fields) {
        auto field = convert(file, m, f);
        if (!field) return std::unexpected(std::move(field.error()));
        out.fields.push_back(std::move(*field));
      }
      // Declaration order is nearly always ascending already; stable_sort
      // would allocate and merge even then.
      auto by_number = [](const ScoringField& a, const ScoringField& b) { return a.number < b.number; };
      if (!std::is_sorted(out.fields.begin(), out.fields.end(), by_number))
        std::stable_sort(out.fields.begin(), out.fields.end(), by_number);
      if (auto ranges = ext_ranges(file, m)) out.ext_ranges = std::move(*ranges);
      else return std::unexpected(std::move(ranges.error()));
      doc.messages.emplace_back(std::string(m.full_name), std::move(out));
    }
    return doc;
  }

  // The converter's YAML text of the file's document.
  Result<std::string> yaml(const FileRecord& file) {
    std::string out = "# scoring graph of ";
    append_comment(out, file.name);
    out += "\nextension_ranges: true\n";
    auto messages = DescriptorSet::slice(set_.messages, file.messages);
    proto3_ = file.syntax == "proto3" || file.syntax == "editions";
    bool entries = false;
    for (const MessageRecord& m : messages) {
      if (m.parent != kNone) continue;
      out += entries ? "  - " : "entries:\n  - ";
      append_scalar(out, m.full_name);
      out += '\n';
      entries = true;
    }
    if (!entries) out += "entries: []\n";
    out += messages.empty() ? "messages: {}\n" : "messages:\n";
    for (const MessageRecord& m : messages) {
      out += "  ";
      append_key(out, "  ", m.full_name);
      if (is_group(m)) out += "    kind: GROUP\n";
      auto fields = DescriptorSet::slice(set_.fields, m.fields);
      out += fields.empty() ? "    fields: []\n" : "    fields:\n";
      for (const FieldRecord& f : fields) {
        auto field = convert(file, m, f);
        if (!field) return std::unexpected(std::move(field.error()));
        out += "      - number: ";
        append_number(out, f.number);
        out += "\n        type: ";
        out.append(kTypeName[f.type]);
        out += '\n';
        if (field->kind == kind::kMessage) {
          out += "        child: ";
          append_scalar(out, *field->child);
          out += '\n';
        } else if (field->range) {
          out += "        range: [";
          append_number(out, field->range->first);
          out += ", ";
          append_number(out, field->range->second);
          out += "]\n";
        }
        out += "        label: ";
        out.append(kLabelName[field->label]);
        out += field->packed ? "\n        packed: true\n" : "\n";
      }
      auto ranges = ext_ranges(file, m);
      if (!ranges) return std::unexpected(std::move(ranges.error()));
      if (!ranges->empty()) out += "    ext_ranges:\n";
      for (auto [lo, hi] : *ranges) {
        out += "      - [";
        append_number(out, lo);
        out += ", ";
        append_number(out, hi);
        out += "]\n";
      }
    }
    return out;
  }

 private:
  bool is_group(const MessageRecord& m) const { return group_[static_cast<std::size_t>(&m - set_.messages.data())]; }

  static Error field_error(const FileRecord& file, const MessageRecord& m, const FieldRecord& f,
                           std::string_view what) {
    return Error{error_at(f.offset, "field " + quoted(std::string(m.full_name) + "." + std::string(f.name)) +
                                        " of " + quoted(file.name) + " " + std::string(what))};
  }

  // The enum that a field of `file` names, as that file sees it; null when
  // the set defines no enum of that name.
  const EnumRecord* enum_of(std::uint32_t file, std::string_view name) {
    const std::uint32_t first = set_.find_enum(name);
    if (first == kNone) return nullptr;
    const EnumRecord& e = set_.enums[first];
    bool one_range = true;
    for (std::uint32_t i = set_.next_enum(first); i != kNone && one_range; i = set_.next_enum(i))
      one_range = set_.enums[i].least == e.least && set_.enums[i].greatest == e.greatest;
    if (one_range) return &e;  // defined once, or alike everywhere: no need to look
    for (std::uint32_t f : files_seen_from(file)) {
      for (std::uint32_t i = first; i != kNone; i = set_.next_enum(i))
        if (set_.enums[i].file == f) return &set_.enums[i];
    }
    return &e;
  }

  // The file itself, then its imports breadth first (direct ones in
  // declaration order, then theirs), each once; imports the set lacks are
  // passed over. Kept for the file last asked about: its fields come
  // together.
  const std::vector<std::uint32_t>& files_seen_from(std::uint32_t file) {
    if (order_file_ == file) return order_;
    order_file_ = file;
    order_.assign(1, file);
    seen_[file] = 1;
    for (std::size_t k = 0; k < order_.size(); ++k) {
      for (std::string_view dep : DescriptorSet::slice(set_.dependencies, set_.files[order_[k]].dependencies)) {
        std::uint32_t d = set_.find_file(dep);
        if (d != kNone && !seen_[d]) {
          seen_[d] = 1;
          order_.push_back(d);
        }
      }
    }
    for (std::uint32_t f : order_) seen_[f] = 0;
    return order_;
  }

  Result<ScoringField> convert(const FileRecord& file, const MessageRecord& m, const FieldRecord& f) {
    if (f.type <= 0 || f.type > field_type::kLast) {
      return std::unexpected(field_error(file, m, f, f.type == 0 ? "has no type"
                                                                  : "has the unknown type " + std::to_string(f.type)));
    }
    ScoringField out;
    out.kind = kKindOfType[f.type];
    if (out.kind == kind::kMessage) {
      out.child.emplace(strip_dot(f.type_name));
    } else if (f.type == field_type::kBool) {
      out.range = ValueRange{0, 1};
    } else if (f.type == field_type::kEnum) {
      std::string_view name = strip_dot(f.type_name);
      const EnumRecord* e = enum_of(m.file, name);
      if (e == nullptr) {
        return std::unexpected(field_error(
            file, m, f, "names enum " + quoted(name) + ", which is not in the set (compile with --include_imports)"));
      }
      out.range = ValueRange{e->least, e->greatest};
    }
    // A field without a label is optional, the field's default.
    switch (f.label) {
      case 0:
      case field_label::kOptional:
        out.label = label::kOptional;
        break;
      case field_label::kRequired:
        out.label = label::kRequired;
        break;
      case field_label::kRepeated:
        out.label = label::kRepeated;
        break;
      default:
        return std::unexpected(field_error(file, m, f, "has the unknown label " + std::to_string(f.label)));
    }
    if (f.number < 0)
      return std::unexpected(field_error(file, m, f, "has the negative number " + std::to_string(f.number)));
    out.number = static_cast<std::uint32_t>(f.number);
    if (f.label == field_label::kRepeated && packable(f.type)) out.packed = proto3_ ? f.packed != 0 : f.packed == 1;
    return out;
  }

  // [start, end) pairs -> inclusive, sorted, merged.
  Result<std::vector<ExtRange>> ext_ranges(const FileRecord& file, const MessageRecord& m) {
    std::vector<std::pair<std::int64_t, std::int64_t>> inclusive;
    for (const ExtensionRangeRecord& r : DescriptorSet::slice(set_.ext_ranges, m.ext_ranges)) {
      std::int64_t lo = r.start, hi = std::min<std::int64_t>(std::int64_t{r.end} - 1, kMaxFieldNumber);
      if (lo > hi) continue;
      if (lo < 0) {
        return fail(error_at(r.offset, "message " + quoted(m.full_name) + " of " + quoted(file.name) +
                                           " has an extension range from the negative number " + std::to_string(lo)));
      }
      inclusive.emplace_back(lo, hi);
    }
    std::sort(inclusive.begin(), inclusive.end());
    std::vector<ExtRange> out;
    for (auto [lo, hi] : inclusive) {
      if (!out.empty() && lo <= std::int64_t{out.back().second} + 1) {
        out.back().second = static_cast<std::uint32_t>(std::max<std::int64_t>(out.back().second, hi));
      } else {
        out.emplace_back(static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi));
      }
    }
    return out;
  }

  const DescriptorSet& set_;
  std::vector<char> group_;  // per message: named by a group field
  bool proto3_ = false;
  std::vector<char> seen_;   // per file, all clear between calls of files_seen_from
  std::vector<std::uint32_t> order_;
  std::uint32_t order_file_ = kNone;
};

}  // namespace

SetResult<std::vector<NormalizedDocument>> documents_of(const DescriptorSet& set) {
  Converter converter(set);
  std::vector<NormalizedDocument> documents;
  documents.reserve(set.files.size());
  for (const FileRecord& file : set.files) {
    auto doc = converter.document(file);
    if (!doc) return std::unexpected(SetError{file.input, std::move(doc.error().message)});
    documents.push_back(std::move(*doc));
  }
  return documents;
}

SetResult<std::vector<YamlDocument>> yaml_documents_of(const DescriptorSet& set) {
  Converter converter(set);
  std::vector<YamlDocument> documents;
  documents.reserve(set.files.size());
  std::unordered_map<std::string, std::uint32_t> written;  // file name -> position in files; lookups only
  for (const FileRecord& file : set.files) {
    std::string name;
    for (char c : file.name) name += c == '/' ? std::string_view("__") : std::string_view(&c, 1);
    name += ".yaml";
    auto [it, inserted] = written.try_emplace(name, static_cast<std::uint32_t>(&file - set.files.data()));
    if (!inserted) {
      std::string what = "files " + quoted(set.files[it->second].name) + " and " + quoted(file.name) +
                         " would both be written as " + quoted(name);
      return std::unexpected(SetError{file.input, error_at(file.span.start - set.input_start[file.input], what)});
    }
    auto text = converter.yaml(file);
    if (!text) return std::unexpected(SetError{file.input, std::move(text.error().message)});
    documents.push_back(YamlDocument{std::move(name), std::move(*text)});
  }
  return documents;
}

Result<BakeOutput> bake_descriptor_set(std::string_view bytes, const BakeRequest& request) {
  auto set = read_descriptor_set(bytes);
  if (!set) return std::unexpected(std::move(set.error()));
  auto documents = documents_of(*set);
  if (!documents) return fail(std::move(documents.error().message));
  Merger merger;
  for (NormalizedDocument& doc : *documents) merger.add_normalized(std::move(doc));
  documents->clear();
  return bake_merged(std::move(merger).finish(), request);
}

}  // namespace korvex::fds
