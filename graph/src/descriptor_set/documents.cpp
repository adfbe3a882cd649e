// From the records of a descriptor set to one normalised scoring-graph
// document per file, by the rules of tools/descriptors_to_scoring_graphs.py:
//
//  - fixed64 and sfixed64 are doubles, fixed32 and sfixed32 floats (same
//    wire class); bool fields range over [0, 1], enum fields over the least
//    and greatest value of their enum ([0, 0] without values);
//  - repeated scalars are packed in proto3 (and editions) unless
//    [packed=false], in proto2 only with [packed=true];
//  - a message type is a GROUP when a group field anywhere in the set names
//    it; extension ranges become inclusive, sorted, with adjacent or
//    overlapping ranges merged and the top capped at the largest field
//    number; extension fields are not fields of the extended message;
//  - the file's top-level messages are its entries, and its messages come in
//    pre-order, as the converter writes them.
//
// The result equals what reading and normalising the converter's YAML gives,
// without the YAML. Conversion errors come in the converter's order (file,
// message, field); every document is made before any is handed on, so a
// failing set bakes nothing.
#include <algorithm>
#include <string>
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

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '\'';
  out.append(s);
  out += '\'';
  return out;
}

bool packable(std::int32_t type) {
  return type != field_type::kString && type != field_type::kGroup && type != field_type::kMessage &&
         type != field_type::kBytes;
}

class Converter {
 public:
  explicit Converter(const DescriptorSet& set) : set_(set), group_(set.messages.size(), 0) {
    auto mark = [&](const FieldRecord& f) {
      if (f.type != field_type::kGroup) return;
      if (auto t = set.find_type(strip_dot(f.type_name)); t && !t->is_enum) group_[t->index] = 1;
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
      out.kind = group_[static_cast<std::size_t>(&m - set_.messages.data())] ? NodeKind::group : NodeKind::message;
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

 private:
  static Error field_error(const FileRecord& file, const MessageRecord& m, const FieldRecord& f,
                           std::string_view what) {
    return Error{error_at(f.offset, "field " + quoted(std::string(m.full_name) + "." + std::string(f.name)) +
                                        " of " + quoted(file.name) + " " + std::string(what))};
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
      auto t = set_.find_type(name);
      if (!t || !t->is_enum) {
        return std::unexpected(field_error(
            file, m, f, "names enum " + quoted(name) + ", which is not in the set (compile with --include_imports)"));
      }
      const EnumRecord& e = set_.enums[t->index];
      out.range = ValueRange{e.least, e.greatest};
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
};

}  // namespace

Result<std::vector<NormalizedDocument>> documents_of(const DescriptorSet& set) {
  Converter converter(set);
  std::vector<NormalizedDocument> documents;
  documents.reserve(set.files.size());
  for (const FileRecord& file : set.files) {
    auto doc = converter.document(file);
    if (!doc) return std::unexpected(std::move(doc.error()));
    documents.push_back(std::move(*doc));
  }
  return documents;
}

Result<BakeOutput> bake_descriptor_set(std::string_view bytes, const BakeRequest& request) {
  auto set = read_descriptor_set(bytes);
  if (!set) return std::unexpected(std::move(set.error()));
  auto documents = documents_of(*set);
  if (!documents) return std::unexpected(std::move(documents.error()));
  Merger merger;
  for (NormalizedDocument& doc : *documents) merger.add_normalized(std::move(doc));
  documents->clear();
  return bake_merged(std::move(merger).finish(), request);
}

}  // namespace korvex::fds
