// Walking the wire bytes of a FileDescriptorSet into flat records.
//
// Each message is read in one loop over its own bytes. Fields, enums,
// extension ranges and extensions go to their lists as soon as they are met;
// nested message types are only noted and read after the loop, so that a
// message's fields stay contiguous and the messages of a file come out in
// pre-order. Recursion follows the nesting of the input, which is bounded by
// kMaxDepth; groups in unknown fields are skipped without recursion.
//
// Full names are made once all files are read: their sizes first, then one
// arena holding all of them, then a hash table over them that finds a type by
// name and settles names defined twice (see the header).
#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/wire.hpp"
#include "descriptor_set/descriptor_set.hpp"

namespace korvex::fds {
namespace {

using wire::WireType;

struct ReadError {
  std::string message;
};

[[noreturn, gnu::cold, gnu::noinline]] void fail_at(std::size_t offset, std::string_view what) {
  throw ReadError{error_at(offset, what)};
}

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '\'';
  out.append(s);
  out += '\'';
  return out;
}

std::uint32_t u32(std::size_t n) { return static_cast<std::uint32_t>(n); }

}  // namespace

std::string error_at(std::size_t offset, std::string_view what) {
  std::string out = "descriptor set, byte offset ";
  out += std::to_string(offset);
  out += ": ";
  out.append(what);
  return out;
}

std::string extension_key(const ExtensionRecord& x) {
  std::string_view extendee = strip_dot(x.extendee);
  std::string number = std::to_string(x.field.number);
  std::string out;
  out.reserve(extendee.size() + 1 + number.size());
  out.append(extendee);
  out += '/';
  out += number;
  return out;
}

class SetBuilder {
 public:
  explicit SetBuilder(std::string_view bytes) { set_.bytes = bytes; }

  DescriptorSet build() && {
    read_set();
    name_types();
    return std::move(set_);
  }

 private:
  // ------------------------------------------------------------ wire level

  void check(const wire::Reader& r, wire::Status s) {
    if (s != wire::Status::ok) [[unlikely]]
      fail_at(r.offset(), wire::describe(s));
  }

  wire::Tag next_tag(wire::Reader& r) {
    wire::Tag t;
    check(r, r.tag(t));
    return t;
  }

  // `field` names the descriptor field, "FieldDescriptorProto.number".
  void expect(const wire::Tag& t, WireType want, std::size_t at, std::string_view field) {
    if (t.type != want) [[unlikely]]
      wrong_wire_type(t, want, at, field);
  }

  [[noreturn, gnu::cold, gnu::noinline]] static void wrong_wire_type(const wire::Tag& t, WireType want,
                                                                      std::size_t at, std::string_view field) {
    fail_at(at, std::string(field) + " has wire type " + std::string(wire::describe(t.type)) + " instead of " +
                    std::string(wire::describe(want)));
  }

  std::string_view text(wire::Reader& r, const wire::Tag& t, std::size_t at, std::string_view field) {
    expect(t, WireType::length_delimited, at, field);
    std::string_view s;
    check(r, r.bytes(s));
    if (std::size_t bad = wire::invalid_utf8_at(s); bad != std::string_view::npos)
      fail_at(offset_of(s) + bad, std::string(field) + " is not valid UTF-8");
    return s;
  }

  std::int32_t int32(wire::Reader& r, const wire::Tag& t, std::size_t at, std::string_view field) {
    expect(t, WireType::varint, at, field);
    std::uint64_t v = 0;
    check(r, r.varint(v));
    return wire::as_int32(v);
  }

  // The bytes of a nested message at `depth`.
  wire::Reader nested(wire::Reader& r, const wire::Tag& t, std::size_t at, int depth, std::string_view field) {
    expect(t, WireType::length_delimited, at, field);
    if (depth > kMaxDepth) fail_at(at, "messages nested more than " + std::to_string(kMaxDepth) + " levels deep");
    wire::Reader inner;
    check(r, r.length_delimited(inner));
    return inner;
  }

  // Skips an unknown field, whose tag starts at `at`, of a message at `depth`.
  void skip(wire::Reader& r, const wire::Tag& t, std::size_t at, int depth) {
    if (t.type == WireType::end_group) fail_at(at, wire::describe(wire::Status::unexpected_end_group));
    check(r, r.skip(t, kMaxDepth - depth));
  }

  std::size_t offset_of(std::string_view s) const { return static_cast<std::size_t>(s.data() - set_.bytes.data()); }

  // ----------------------------------------------------------- the records

  void read_set() {
    wire::Reader r(set_.bytes);
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t;
      // A set holds nothing but its files: producers write nothing else at
      // this level, so anything else means the input is some other file.
      if (r.tag(t) != wire::Status::ok || t.field != 1 || t.type != WireType::length_delimited)
        fail_at(at, "the input is not a descriptor set: no file entry (field 1, length-delimited)");
      file(nested(r, t, at, 1, "FileDescriptorSet.file"));
    }
    if (set_.files.empty()) throw ReadError{"descriptor set: the input is empty"};
  }

  void file(wire::Reader r) {
    const std::uint32_t deps = u32(set_.dependencies.size()), messages = u32(set_.messages.size()),
                        enums = u32(set_.enums.size()), extensions = u32(set_.extensions.size()),
                        fields = u32(set_.fields.size()), ranges = u32(set_.ext_ranges.size());
    FileRecord f;
    f.span = Span{r.offset(), r.end_offset()};
    bool named = false;
    while (!r.at_end()) {
      std::size_t tag_at = r.offset();
      wire::Tag t = next_tag(r);
      switch (t.field) {
        case 1:
          f.name = text(r, t, tag_at, "FileDescriptorProto.name");
          named = true;
          break;
        case 2:
          f.package = text(r, t, tag_at, "FileDescriptorProto.package");
          break;
        case 3:
          set_.dependencies.push_back(text(r, t, tag_at, "FileDescriptorProto.dependency"));
          break;
        case 4:
          message(nested(r, t, tag_at, 2, "FileDescriptorProto.message_type"), kNone, 2);
          break;
        case 5:
          enum_type(nested(r, t, tag_at, 2, "FileDescriptorProto.enum_type"), kNone, 2);
          break;
        case 7:
          extension(nested(r, t, tag_at, 2, "FileDescriptorProto.extension"), 2);
          break;
        case 12:
          f.syntax = text(r, t, tag_at, "FileDescriptorProto.syntax");
          break;
        default:
          skip(r, t, tag_at, 1);
      }
    }
    if (!named || f.name.empty()) fail_at(f.span.start, "file without a name");
    f.dependencies = Range{deps, u32(set_.dependencies.size())};
    f.messages = Range{messages, u32(set_.messages.size())};
    f.enums = Range{enums, u32(set_.enums.size())};
    f.extensions = Range{extensions, u32(set_.extensions.size())};

    auto [it, inserted] = file_index_.try_emplace(f.name, u32(set_.files.size()));
    if (!inserted) {
      // The same file twice, as in two sets concatenated: kept once. Two
      // different files of one name cannot both be indexed.
      const FileRecord& first = set_.files[it->second];
      std::string_view a = set_.bytes.substr(first.span.start, first.span.end - first.span.start);
      std::string_view b = set_.bytes.substr(f.span.start, f.span.end - f.span.start);
      if (a != b) {
        fail_at(f.span.start, "file " + quoted(f.name) + " differs from the earlier file of that name at byte offset " +
                                  std::to_string(first.span.start));
      }
      set_.dependencies.resize(deps);
      set_.messages.resize(messages);
      set_.enums.resize(enums);
      set_.extensions.resize(extensions);
      set_.fields.resize(fields);
      set_.ext_ranges.resize(ranges);
      return;
    }
    set_.files.push_back(f);
  }

  void message(wire::Reader r, std::uint32_t parent, int depth) {
    const std::uint32_t index = u32(set_.messages.size());
    set_.messages.emplace_back();
    MessageRecord m;
    m.parent = parent;
    m.offset = u32(r.offset());
    m.fields.begin = u32(set_.fields.size());
    m.ext_ranges.begin = u32(set_.ext_ranges.size());
    const std::size_t first_nested = pending_.size();
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t = next_tag(r);
      switch (t.field) {
        case 1:
          m.name = text(r, t, at, "DescriptorProto.name");
          break;
        case 2:
          field(nested(r, t, at, depth + 1, "DescriptorProto.field"), depth + 1, set_.fields.emplace_back(),
                extendee_);
          break;
        case 3:
          pending_.push_back(nested(r, t, at, depth + 1, "DescriptorProto.nested_type"));
          break;
        case 4:
          enum_type(nested(r, t, at, depth + 1, "DescriptorProto.enum_type"), index, depth + 1);
          break;
        case 5:
          set_.ext_ranges.push_back(ext_range(nested(r, t, at, depth + 1, "DescriptorProto.extension_range"),
                                              depth + 1));
          break;
        case 6:
          extension(nested(r, t, at, depth + 1, "DescriptorProto.extension"), depth + 1);
          break;
        default:
          skip(r, t, at, depth);
      }
    }
    m.fields.end = u32(set_.fields.size());
    m.ext_ranges.end = u32(set_.ext_ranges.size());
    set_.messages[index] = m;
    // pending_ may grow (and move) below: entries are copied out by index.
    const std::size_t last_nested = pending_.size();
    for (std::size_t i = first_nested; i < last_nested; ++i) message(wire::Reader(pending_[i]), index, depth + 1);
    pending_.resize(first_nested);
  }

  void enum_type(wire::Reader r, std::uint32_t parent, int depth) {
    EnumRecord e;
    e.parent = parent;
    e.offset = u32(r.offset());
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t = next_tag(r);
      switch (t.field) {
        case 1:
          e.name = text(r, t, at, "EnumDescriptorProto.name");
          break;
        case 2: {
          std::int32_t v = enum_value(nested(r, t, at, depth + 1, "EnumDescriptorProto.value"), depth + 1);
          e.least = e.value_count == 0 ? v : std::min(e.least, v);
          e.greatest = e.value_count == 0 ? v : std::max(e.greatest, v);
          ++e.value_count;
          break;
        }
        default:
          skip(r, t, at, depth);
      }
    }
    set_.enums.push_back(e);
  }

  std::int32_t enum_value(wire::Reader r, int depth) {
    std::int32_t number = 0;
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t = next_tag(r);
      if (t.field == 2) number = int32(r, t, at, "EnumValueDescriptorProto.number");
      else skip(r, t, at, depth);
    }
    return number;
  }

  ExtensionRangeRecord ext_range(wire::Reader r, int depth) {
    ExtensionRangeRecord x;
    x.offset = u32(r.offset());
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t = next_tag(r);
      if (t.field == 1) x.start = int32(r, t, at, "DescriptorProto.ExtensionRange.start");
      else if (t.field == 2) x.end = int32(r, t, at, "DescriptorProto.ExtensionRange.end");
      else skip(r, t, at, depth);
    }
    return x;
  }

  void extension(wire::Reader r, int depth) {
    ExtensionRecord& x = set_.extensions.emplace_back();
    field(r, depth, x.field, x.extendee);
  }

  // Fields are read in place: a large set holds millions of them. A field
  // of a message has no use for an extendee, but it is read all the same.
  void field(wire::Reader r, int depth, FieldRecord& f, std::string_view& extendee) {
    f.offset = u32(r.offset());
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t = next_tag(r);
      switch (t.field) {
        case 1:
          f.name = text(r, t, at, "FieldDescriptorProto.name");
          break;
        case 2:
          extendee = text(r, t, at, "FieldDescriptorProto.extendee");
          break;
        case 3:
          f.number = int32(r, t, at, "FieldDescriptorProto.number");
          break;
        case 4:
          f.label = int32(r, t, at, "FieldDescriptorProto.label");
          break;
        case 5:
          f.type = int32(r, t, at, "FieldDescriptorProto.type");
          break;
        case 6:
          f.type_name = text(r, t, at, "FieldDescriptorProto.type_name");
          break;
        case 8:
          field_options(nested(r, t, at, depth + 1, "FieldDescriptorProto.options"), f, depth + 1);
          break;
        default:
          skip(r, t, at, depth);
      }
    }
  }

  // Several options messages merge into one, as in any protobuf parser: the
  // last packed value given wins.
  void field_options(wire::Reader r, FieldRecord& f, int depth) {
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t = next_tag(r);
      if (t.field == 2) {
        expect(t, WireType::varint, at, "FieldOptions.packed");
        std::uint64_t v = 0;
        check(r, r.varint(v));
        f.packed = v != 0 ? 1 : 0;
      } else {
        skip(r, t, at, depth);
      }
    }
  }

  // ------------------------------------------------------------ full names

  // Position in files of the file that holds a message or enum: files hold
  // ascending, contiguous ranges of each list.
  std::uint32_t file_of(TypeRef t) const {
    auto after = std::upper_bound(set_.files.begin(), set_.files.end(), t.index, [&](std::uint32_t i, const FileRecord& f) {
      return i < (t.is_enum ? f.enums.begin : f.messages.begin);
    });
    return u32(after - set_.files.begin()) - 1;
  }

  void name_types() {
    auto& messages = set_.messages;
    auto& enums = set_.enums;
    // Sizes first, so that one allocation holds every name.
    std::vector<std::size_t> sizes(messages.size() + enums.size());
    std::size_t total = 0;
    auto prefix_size = [&](const FileRecord& f, std::uint32_t parent) {
      if (parent != kNone) return sizes[parent] + 1;
      return f.package.empty() ? 0 : f.package.size() + 1;
    };
    for (const FileRecord& f : set_.files) {
      for (std::uint32_t i = f.messages.begin; i < f.messages.end; ++i)
        total += sizes[i] = prefix_size(f, messages[i].parent) + messages[i].name.size();
      for (std::uint32_t i = f.enums.begin; i < f.enums.end; ++i)
        total += sizes[messages.size() + i] = prefix_size(f, enums[i].parent) + enums[i].name.size();
    }
    set_.names_ = std::make_unique<char[]>(std::max<std::size_t>(total, 1));
    char* out = set_.names_.get();
    auto place = [&](const FileRecord& f, std::uint32_t parent, std::string_view name) {
      char* start = out;
      std::string_view prefix = parent != kNone ? messages[parent].full_name : f.package;
      if (!prefix.empty()) {
        std::memcpy(out, prefix.data(), prefix.size());
        out += prefix.size();
        *out++ = '.';
      }
      if (!name.empty()) {  // a message may lack a name, and memcpy a null pointer
        std::memcpy(out, name.data(), name.size());
        out += name.size();
      }
      return std::string_view(start, static_cast<std::size_t>(out - start));
    };
    for (const FileRecord& f : set_.files) {
      for (std::uint32_t i = f.messages.begin; i < f.messages.end; ++i)
        messages[i].full_name = place(f, messages[i].parent, messages[i].name);
      for (std::uint32_t i = f.enums.begin; i < f.enums.end; ++i)
        enums[i].full_name = place(f, enums[i].parent, enums[i].name);
    }

    std::size_t n = messages.size() + enums.size();
    set_.types_.assign(std::bit_ceil(std::max<std::size_t>(16, 2 * n)), DescriptorSet::Slot{});
    for (const FileRecord& f : set_.files) {
      for (std::uint32_t i = f.messages.begin; i < f.messages.end; ++i) add_type(TypeRef{false, i});
      for (std::uint32_t i = f.enums.begin; i < f.enums.end; ++i) add_type(TypeRef{true, i});
    }
  }

  // Keeps the first definition of each name. A later one is tolerated where
  // the converter's documents bake without loss: a message again in another
  // file (the merge keeps the first and warns when they differ), an enum
  // again in another file with the same range of values.
  void add_type(TypeRef type) {
    std::string_view name = set_.full_name(type);
    std::uint64_t h = std::hash<std::string_view>{}(name);
    std::size_t mask = set_.types_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      DescriptorSet::Slot& s = set_.types_[i];
      if (s.type.index == kNone) {
        s = DescriptorSet::Slot{h, type};
        return;
      }
      if (s.hash == h && set_.full_name(s.type) == name) {
        check_again(s.type, type, name);
        return;
      }
    }
  }

  void check_again(TypeRef first, TypeRef again, std::string_view name) {
    const FileRecord& first_file = set_.files[file_of(first)];
    const FileRecord& file = set_.files[file_of(again)];
    std::string what = (again.is_enum ? "enum " : "message ") + quoted(name);
    std::uint32_t offset = again.is_enum ? set_.enums[again.index].offset : set_.messages[again.index].offset;
    if (&first_file == &file) fail_at(offset, what + " is defined twice in " + quoted(file.name));
    if (first.is_enum != again.is_enum) {
      fail_at(offset, what + " of " + quoted(file.name) + " is already defined as " +
                          (first.is_enum ? "an enum" : "a message") + " in " + quoted(first_file.name));
    }
    if (!again.is_enum) return;
    const EnumRecord& a = set_.enums[first.index];
    const EnumRecord& b = set_.enums[again.index];
    if (a.least != b.least || a.greatest != b.greatest) {
      fail_at(offset, what + " of " + quoted(file.name) + " ranges over " + range_text(b) + ", but over " +
                          range_text(a) + " in " + quoted(first_file.name));
    }
  }

  static std::string range_text(const EnumRecord& e) {
    return "[" + std::to_string(e.least) + ", " + std::to_string(e.greatest) + "]";
  }

  DescriptorSet set_;
  std::unordered_map<std::string_view, std::uint32_t> file_index_;  // name -> position in files
  std::vector<wire::Reader> pending_;                                // nested types not yet read
  std::string_view extendee_;                                        // of fields of messages: unused
};

std::string_view DescriptorSet::full_name(TypeRef t) const {
  return t.is_enum ? enums[t.index].full_name : messages[t.index].full_name;
}

std::optional<TypeRef> DescriptorSet::find_type(std::string_view name) const {
  if (types_.empty()) return std::nullopt;
  std::uint64_t h = std::hash<std::string_view>{}(name);
  std::size_t mask = types_.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = types_[i];
    if (s.type.index == kNone) return std::nullopt;
    if (s.hash == h && full_name(s.type) == name) return s.type;
  }
}

Result<DescriptorSet> read_descriptor_set(std::string_view bytes) {
  if (bytes.size() > kMaxInputBytes) {
    return fail("descriptor set: the input of " + std::to_string(bytes.size()) +
                " bytes is larger than a protobuf message can be (2 GiB)");
  }
  try {
    return SetBuilder(bytes).build();
  } catch (ReadError& e) {
    return fail(std::move(e.message));
  }
}

}  // namespace korvex::fds
