// Reading a serialised protobuf FileDescriptorSet (what
// `protoc --include_imports --descriptor_set_out=set.pb` writes) straight
// from its wire bytes, without any protobuf library and without copying the
// input, into flat records; and from those records the two things the
// descriptor set is wanted for: the four maps of the index archive, and one
// scoring-graph document per file, in the normalised form the merge takes.
//
// Several inputs (sets compiled apart, given together) read as one set:
// their files in input order, each file remembering its input, and spans
// counted in the inputs laid end to end.
//
// Invariants of a DescriptorSet that read_descriptor_sets returned:
//  - every string view points into the inputs, except the full names, which
//    point into the set's own arena; the inputs must outlive the set;
//  - files are in input order, each with a distinct name; a file repeated
//    byte for byte (in one input or in two) is kept once, at its first place;
//  - each file's messages, enums and extensions are contiguous ranges of the
//    set's lists; a file's messages are in pre-order (a message, then the
//    whole subtree of each of its nested types in declaration order), so a
//    parent always comes before its children;
//  - the definitions of one full name are chained in file order (messages
//    and enums apart); within a file no message name repeats, and an enum
//    name repeats only with the same least and greatest value;
//  - every string is valid UTF-8, and messages nest at most kMaxDepth deep.
//
// The first problem ends the reading with one error, whose text begins
// "descriptor set" and names the byte offset (in its own input) where it was
// found; no part of a set is ever returned after an error.
//
// A name defined in several files, as sets compiled apart and concatenated
// hold (a preview copy of a package beside the released one), is read as
// each file sees its schema: a field's enum is the definition in its own
// file, else the first among its imports (breadth first), else the set's
// first. Messages of one name stay in every document that defines them; the
// merge keeps the first and warns when they differ. The index keeps the
// first file of each type and extension and names the rest in one warning
// line per name. A name that is a message in one file and an enum in
// another is harmless: documents hold messages, and a field says which kind
// it names. Refused, having no sound reading: a message defined twice in one
// file (which of the two would its own fields mean?), an enum defined twice
// in one file over different ranges (likewise), and two different files of
// one name (imports name files, and the index holds one span per name).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/pipeline.hpp"
#include "common/huge_pages.hpp"
#include "common/result.hpp"
#include "fds_index/fds_index.hpp"

namespace korvex::fds {

// No parent, no index.
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Deepest nesting of messages within the input, counting the set itself as
// level 0, a file as 1 and a top-level message as 2: protobuf's own parsers
// stop at the same depth, so any set they read is read here too.
inline constexpr int kMaxDepth = 100;

// Largest input: a protobuf message never exceeds 2 GiB, and 32-bit offsets
// then suffice everywhere.
inline constexpr std::size_t kMaxInputBytes = (std::size_t{1} << 31) - 1;

// Codes of FieldDescriptorProto.Type and .Label used below.
namespace field_type {
inline constexpr std::int32_t kBool = 8;
inline constexpr std::int32_t kString = 9;
inline constexpr std::int32_t kGroup = 10;
inline constexpr std::int32_t kMessage = 11;
inline constexpr std::int32_t kBytes = 12;
inline constexpr std::int32_t kEnum = 14;
inline constexpr std::int32_t kLast = 18;  // TYPE_SINT64
}  // namespace field_type
namespace field_label {
inline constexpr std::int32_t kOptional = 1;
inline constexpr std::int32_t kRequired = 2;
inline constexpr std::int32_t kRepeated = 3;
}  // namespace field_label

// A FieldDescriptorProto. Scalars that are absent read as 0; the last
// occurrence of a scalar wins and repeated options messages merge, as in any
// protobuf parser. Kept small: a large set holds millions of fields.
struct FieldRecord {
  std::string_view name;
  std::string_view type_name;  // as written, leading dot included
  std::int32_t number = 0;
  std::int32_t label = 0;
  std::int32_t type = 0;
  std::int8_t packed = -1;  // options.packed: -1 absent, 0 false, 1 true
  std::uint32_t offset = 0; // first byte of the FieldDescriptorProto's own bytes
};
static_assert(sizeof(FieldRecord) == 56);

// An extension: a FieldDescriptorProto that extends another message.
struct ExtensionRecord {
  FieldRecord field;
  std::string_view extendee;  // as written, leading dot included
};

// An EnumDescriptorProto, reduced to what the documents need of its values.
struct EnumRecord {
  std::string_view name;
  std::string_view full_name;
  std::uint32_t parent = kNone;  // enclosing message, kNone at file level
  std::uint32_t file = 0;        // position in DescriptorSet::files
  std::uint32_t value_count = 0;
  std::int32_t least = 0;  // over the values' numbers; 0 and 0 without values
  std::int32_t greatest = 0;
  std::uint32_t offset = 0;
};

// DescriptorProto.ExtensionRange: [start, end), as written.
struct ExtensionRangeRecord {
  std::int32_t start = 0;
  std::int32_t end = 0;
  std::uint32_t offset = 0;
};

struct Range {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
};

struct MessageRecord {
  std::string_view name;
  std::string_view full_name;
  std::uint32_t parent = kNone;  // enclosing message, kNone at file level
  std::uint32_t file = 0;        // position in DescriptorSet::files
  Range fields;                  // into DescriptorSet::fields, declaration order
  Range ext_ranges;              // into DescriptorSet::ext_ranges
  std::uint32_t offset = 0;
};

struct FileRecord {
  std::string_view name;
  std::string_view package;
  std::string_view syntax;  // empty when absent (proto2)
  Span span;                // the FileDescriptorProto's own bytes (after its tag and length, end exclusive),
                            // counted in the inputs laid end to end
  std::uint32_t input = 0;  // which input holds it
  Range dependencies;       // into DescriptorSet::dependencies, declaration order
  Range messages;           // into DescriptorSet::messages, pre-order
  Range enums;              // into DescriptorSet::enums
  Range extensions;         // into DescriptorSet::extensions, top-level and nested
};

struct TypeRef {
  bool is_enum = false;
  std::uint32_t index = kNone;  // into messages or enums
};

// Move-only: the full names are views into the set's own arena.
class DescriptorSet {
 public:
  DescriptorSet() = default;
  DescriptorSet(DescriptorSet&&) = default;
  DescriptorSet& operator=(DescriptorSet&&) = default;
  DescriptorSet(const DescriptorSet&) = delete;
  DescriptorSet& operator=(const DescriptorSet&) = delete;

  // The lists of a large set hold millions of records: huge pages spare
  // most of the faults of their first touch.
  template <class T>
  using List = std::vector<T, LargeArrayAllocator<T>>;

  std::vector<std::string_view> inputs;    // as given
  std::vector<std::uint64_t> input_start;  // where each input starts, the inputs laid end to end
  std::vector<FileRecord> files;
  List<std::string_view> dependencies;
  List<MessageRecord> messages;
  List<EnumRecord> enums;
  List<FieldRecord> fields;
  List<ExtensionRecord> extensions;
  List<ExtensionRangeRecord> ext_ranges;

  template <class T, class A>
  static std::span<const T> slice(const std::vector<T, A>& list, Range r) {
    return std::span<const T>(list).subspan(r.begin, r.end - r.begin);
  }

  // The first definition of that full name (no leading dot), message or
  // enum, whichever file comes first.
  std::optional<TypeRef> find_type(std::string_view full_name) const;
  // The first message, or enum, of that full name; kNone when there is none.
  std::uint32_t find_message(std::string_view full_name) const;
  std::uint32_t find_enum(std::string_view full_name) const;
  // The next definition of the same name, in file order, or kNone.
  std::uint32_t next_message(std::uint32_t i) const { return next_message_[i]; }
  std::uint32_t next_enum(std::uint32_t i) const { return next_enum_[i]; }
  // The file of that name, kNone when the set holds none.
  std::uint32_t find_file(std::string_view name) const;
  // A file's own bytes.
  std::string_view bytes_of(const FileRecord& f) const;

 private:
  friend class SetBuilder;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t first_message = kNone, last_message = kNone;
    std::uint32_t first_enum = kNone, last_enum = kNone;
    bool empty() const { return first_message == kNone && first_enum == kNone; }
  };
  const Slot* find_slot(std::string_view full_name) const;
  std::string_view name_of(const Slot& s) const;

  std::unique_ptr<char[]> names_;  // arena of the full names
  std::vector<Slot> types_;        // open addressing, power-of-two size
  std::vector<std::uint32_t> next_message_, next_enum_;
  std::unordered_map<std::string_view, std::uint32_t> file_of_name_;  // lookups only
};

// A type name as written in a field ("." + full name) without its dot.
inline std::string_view strip_dot(std::string_view s) { return s.starts_with('.') ? s.substr(1) : s; }

// An extension's key in the index: "extendee/number", without the dot.
std::string extension_key(const ExtensionRecord& x);

// "descriptor set, byte offset N: what": the form of every error below.
std::string error_at(std::size_t offset, std::string_view what);

// A name as messages and warnings show it: 'name'.
std::string quoted(std::string_view s);

// An error and the input it belongs to: its position among them, or
// kNoInput.
inline constexpr std::size_t kNoInput = static_cast<std::size_t>(-1);
struct SetError {
  std::size_t input = kNoInput;
  std::string message;
};
template <class T>
using SetResult = std::expected<T, SetError>;

// Reads the inputs as one set. Unknown fields are skipped by their wire
// type; a set may hold nothing but files, and every input at least one.
SetResult<DescriptorSet> read_descriptor_sets(std::span<const std::string_view> inputs);
Result<DescriptorSet> read_descriptor_set(std::string_view bytes);
// The set would point into a string about to be destroyed.
Result<DescriptorSet> read_descriptor_set(std::string&& bytes) = delete;

// The four maps of the index, in the set's order (not yet canonical):
// every message and enum, every file's span and imports, every extension;
// a name defined in several files maps to the first. Given `redefined`, one
// warning line (with its "warning: " and line feed) per such name goes
// there: types, then extensions, each in the order of the entries.
FdsIndex index_of(const DescriptorSet& set, std::vector<std::string>* redefined = nullptr);

// One document per file, in the set's file order: what reading the YAML
// that tools/descriptors_to_scoring_graphs.py writes for the file gives.
// Fails where that conversion fails or would write a document the reader
// refuses (an enum type not in the set, a field without a known type or
// label, a negative field number or extension range).
SetResult<std::vector<NormalizedDocument>> documents_of(const DescriptorSet& set);

// The YAML text of each file's document, byte for byte as the converter
// writes it, under the converter's file name ("a/b.proto" ->
// "a__b.proto.yaml"); fails where documents_of fails, and where two files
// would be written under one name.
struct YamlDocument {
  std::string file_name;
  std::string text;
};
SetResult<std::vector<YamlDocument>> yaml_documents_of(const DescriptorSet& set);

// The bake of a descriptor set: read, convert, merge in file order, then
// the stages after the merge.
Result<BakeOutput> bake_descriptor_set(std::string_view bytes, const BakeRequest& request);

// The index archive of the inputs read as one set, canonicalised and
// encoded; the names defined again are warned about on standard error.
SetResult<std::vector<std::uint8_t>> index_descriptor_sets(std::span<const std::string_view> inputs);
Result<std::vector<std::uint8_t>> index_descriptor_set(std::string_view bytes);

}  // namespace korvex::fds
