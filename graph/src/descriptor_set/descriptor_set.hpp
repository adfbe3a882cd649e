// Reading a serialised protobuf FileDescriptorSet (what
// `protoc --include_imports --descriptor_set_out=set.pb` writes) straight
// from its wire bytes, without any protobuf library and without copying the
// input, into flat records; and from those records the two things the
// descriptor set is wanted for: the four maps of the index archive, and one
// scoring-graph document per file, in the normalised form the merge takes.
//
// Invariants of a DescriptorSet that read_descriptor_set returned:
//  - every string view points into the input, except the full names, which
//    point into the set's own arena; the input must outlive the set;
//  - files are in input order, each with a distinct name; a file repeated
//    byte for byte (two sets concatenated) is kept once, at its first place;
//  - each file's messages, enums and extensions are contiguous ranges of the
//    set's lists; a file's messages are in pre-order (a message, then the
//    whole subtree of each of its nested types in declaration order), so a
//    parent always comes before its children;
//  - within a file, every message and enum full name is unique; across
//    files, a message name may repeat, and an enum name may repeat with the
//    same least and greatest value; find_type gives the first definition;
//  - every string is valid UTF-8, and messages nest at most kMaxDepth deep.
//
// The first problem ends the reading with one error, whose text begins
// "descriptor set" and names the byte offset where it was found; no part of
// a set is ever returned after an error.
//
// Names given twice, which protoc never writes into one set but which sets
// concatenated or compiled from vendored copies hold, are read as the
// converter's documents bake them where that loses nothing, and refused
// where it would: a file repeated byte for byte is dropped; a message
// repeated in another file stays in both documents (the merge keeps the
// first definition, with a warning when they differ); an enum repeated in
// another file with the same range is harmless; an extension key repeated is
// harmless. The index maps each such name to its first file. Refused: two
// different files of one name (the converter silently drops the second), a
// type defined twice in one file, a name that is a message in one file and
// an enum in another, and an enum whose repeated definition ranges
// differently (the converter would give every field of it the last range).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/pipeline.hpp"
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
  Range fields;                  // into DescriptorSet::fields, declaration order
  Range ext_ranges;              // into DescriptorSet::ext_ranges
  std::uint32_t offset = 0;
};

struct FileRecord {
  std::string_view name;
  std::string_view package;
  std::string_view syntax;  // empty when absent (proto2)
  Span span;                // the FileDescriptorProto's own bytes: after its tag and length, end exclusive
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

  std::string_view bytes;  // the whole input
  std::vector<FileRecord> files;
  std::vector<std::string_view> dependencies;
  std::vector<MessageRecord> messages;
  std::vector<EnumRecord> enums;
  std::vector<FieldRecord> fields;
  std::vector<ExtensionRecord> extensions;
  std::vector<ExtensionRangeRecord> ext_ranges;

  template <class T>
  static std::span<const T> slice(const std::vector<T>& list, Range r) {
    return std::span<const T>(list).subspan(r.begin, r.end - r.begin);
  }

  // The message or enum of that full name (no leading dot), if any.
  std::optional<TypeRef> find_type(std::string_view full_name) const;

 private:
  friend class SetBuilder;
  struct Slot {
    std::uint64_t hash = 0;
    TypeRef type;
  };
  std::string_view full_name(TypeRef t) const;

  std::unique_ptr<char[]> names_;  // arena of the full names
  std::vector<Slot> types_;        // open addressing, power-of-two size
};

// A type name as written in a field ("." + full name) without its dot.
inline std::string_view strip_dot(std::string_view s) { return s.starts_with('.') ? s.substr(1) : s; }

// An extension's key in the index: "extendee/number", without the dot.
std::string extension_key(const ExtensionRecord& x);

// "descriptor set, byte offset N: what": the form of every error below.
std::string error_at(std::size_t offset, std::string_view what);

// Reads the whole input. Unknown fields are skipped by their wire type; the
// set itself may hold nothing but files.
Result<DescriptorSet> read_descriptor_set(std::string_view bytes);
// The set would point into a string about to be destroyed.
Result<DescriptorSet> read_descriptor_set(std::string&& bytes) = delete;

// The four maps of the index, in the set's order (not yet canonical):
// every message and enum, every file's span and imports, every extension;
// a name defined more than once maps to its first file.
FdsIndex index_of(const DescriptorSet& set);

// One document per file, in the set's file order: what reading the YAML
// that tools/descriptors_to_scoring_graphs.py writes for the file gives.
// Fails where that conversion fails or would write a document the reader
// refuses (an enum type not in the set, a field without a known type or
// label, a negative field number or extension range).
Result<std::vector<NormalizedDocument>> documents_of(const DescriptorSet& set);

// The bake of a descriptor set: read, convert, merge in file order, then
// the stages after the merge.
Result<BakeOutput> bake_descriptor_set(std::string_view bytes, const BakeRequest& request);

// The index archive of a descriptor set, canonicalised and encoded.
Result<std::vector<std::uint8_t>> index_descriptor_set(std::string_view bytes);

}  // namespace korvex::fds
