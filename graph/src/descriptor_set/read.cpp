// Walking the wire bytes of a FileDescriptorSet into flat records.
//
// Each message is read in one loop over its own bytes. Fields, enums,
// extension ranges and extensions go to their lists as soon as they are met;
// nested message types are only noted and read after the loop, so that a
// message's fields stay contiguous and the messages of a file come out in
// pre-order. Recursion follows the nesting of the input, which is bounded by
// kMaxDepth; groups in unknown fields are skipped without recursion.
//
// Several inputs are read one after another into the same lists; offsets in
// records and errors count from the start of their own input. Full names are
// made once all files are read: their sizes first, then one arena holding
// all of them, then a hash table over them that finds a type by name and
// chains the definitions of one name in file order (see the header for which
// repetitions are refused).
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

// Thrown inside the builder only; read_descriptor_sets turns it into the
// error of the input being read.
struct ReadError {
  std::string message;
};

[[noreturn, gnu::cold, gnu::noinline]] void fail_at(std::size_t offset, std::string_view what) {
  throw ReadError{error_at(offset, what)};
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

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '\'';
  out.append(s);
  out += '\'';
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
  explicit SetBuilder(std::span<const std::string_view> inputs) {
    set_.inputs.assign(inputs.begin(), inputs.end());
    std::uint64_t start = 0;
    for (std::string_view input : inputs) {
      set_.input_start.push_back(start);
      start += input.size();
    }
  }

  DescriptorSet build() && {
    for (input_ = 0; input_ < set_.inputs.size(); ++input_) read_input(set_.inputs[input_]);
    name_types();
    return std::move(set_);
  }

  // The input being read when an error was thrown.
  std::size_t input() const { return input_; }

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
    if (std::size_t bad = invalid_utf8_at(s); bad != std::string_view::npos)
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

  std::size_t offset_of(std::string_view s) const {
    return static_cast<std::size_t>(s.data() - set_.inputs[input_].data());
  }

  // ----------------------------------------------------------- the records

  void read_input(std::string_view bytes) {
    if (bytes.empty()) throw ReadError{"descriptor set: the input is empty"};
    if (bytes.size() > kMaxInputBytes) {
      throw ReadError{"descriptor set: the input of " + std::to_string(bytes.size()) +
                      " bytes is larger than a protobuf message can be (2 GiB)"};
    }
    wire::Reader r(bytes);
    while (!r.at_end()) {
      std::size_t at = r.offset();
      wire::Tag t;
      // A set holds nothing but its files: producers write nothing else at
      // this level, so anything else means the input is some other file.
      if (r.tag(t) != wire::Status::ok || t.field != 1 || t.type != WireType::length_delimited)
        fail_at(at, "the input is not a descriptor set: no file entry (field 1, length-delimited)");
      file(nested(r, t, at, 1, "FileDescriptorSet.file"));
    }
  }

  void file(wire::Reader r) {
    const std::uint32_t deps = u32(set_.dependencies.size()), messages = u32(set_.messages.size()),
                        enums = u32(set_.enums.size()), extensions = u32(set_.extensions.size()),
                        fields = u32(set_.fields.size()), ranges = u32(set_.ext_ranges.size());
    FileRecord f;
    f.span = Span{r.offset(), r.end_offset()};  // in this input until the file is kept
    f.input = u32(input_);
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

    auto [it, inserted] = set_.file_of_name_.try_emplace(f.name, u32(set_.files.size()));
    if (!inserted) {
      // The same file again, as in two sets concatenated or given together:
      // kept once. Two different files of one name cannot both be indexed.
      const FileRecord& first = set_.files[it->second];
      if (set_.bytes_of(first) != set_.inputs[input_].substr(f.span.start, f.span.end - f.span.start)) {
        fail_at(f.span.start, "file " + quoted(f.name) + " differs from the earlier file of that name " +
                                  (first.input == input_ ? "at byte offset " + std::to_string(first.span.start -
                                                                                              set_.input_start[input_])
                                                         : std::string("in an earlier input")));
      }
      set_.dependencies.resize(deps);
      set_.messages.resize(messages);
      set_.enums.resize(enums);
      set_.extensions.resize(extensions);
      set_.fields.resize(fields);
      set_.ext_ranges.resize(ranges);
      return;
    }
    f.span.start += set_.input_start[input_];
    f.span.end += set_.input_start[input_];
    set_.files.push_back(f);
  }

  void message(wire::Reader r, std::uint32_t parent, int depth) {
    const std::uint32_t index = u32(set_.messages.size());
    set_.messages.emplace_back();
    MessageRecord m;
    m.parent = parent;
    m.file = u32(set_.files.size());  // the position of the file being read, once kept
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
    e.file = u32(set_.files.size());
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
    set_.next_message_.assign(messages.size(), kNone);
    set_.next_enum_.assign(enums.size(), kNone);
    for (const FileRecord& f : set_.files) {
      for (std::uint32_t i = f.messages.begin; i < f.messages.end; ++i) add_type(false, i);
      for (std::uint32_t i = f.enums.begin; i < f.enums.end; ++i) add_type(true, i);
    }
  }

  // Chains each definition after the earlier ones of its name. Files come
  // in order, so the definitions of one file are the last of the chain.
  void add_type(bool is_enum, std::uint32_t index) {
    std::string_view name = is_enum ? set_.enums[index].full_name : set_.messages[index].full_name;
    std::uint64_t h = std::hash<std::string_view>{}(name);
    std::size_t mask = set_.types_.size() - 1;
    std::size_t i = h & mask;
    for (;; i = (i + 1) & mask) {
      const DescriptorSet::Slot& s = set_.types_[i];
      if (s.empty() || (s.hash == h && set_.name_of(s) == name)) break;
    }
    DescriptorSet::Slot& s = set_.types_[i];
    s.hash = h;
    if (!is_enum) {
      if (s.last_message != kNone) {
        const MessageRecord& last = set_.messages[s.last_message];
        if (last.file == set_.messages[index].file) {
          input_ = set_.files[last.file].input;
          fail_at(set_.messages[index].offset,
                  "message " + quoted(name) + " is defined twice in " + quoted(set_.files[last.file].name));
        }
        set_.next_message_[s.last_message] = index;
      } else {
        s.first_message = index;
      }
      s.last_message = index;
      return;
    }
    if (s.last_enum != kNone) {
      const EnumRecord& last = set_.enums[s.last_enum];
      const EnumRecord& again = set_.enums[index];
      if (last.file == again.file && (last.least != again.least || last.greatest != again.greatest)) {
        input_ = set_.files[last.file].input;
        fail_at(again.offset, "enum " + quoted(name) + " is defined twice in " + quoted(set_.files[last.file].name) +
                                  ", over " + range_text(last) + " and over " + range_text(again));
      }
      set_.next_enum_[s.last_enum] = index;
    } else {
      s.first_enum = index;
    }
    s.last_enum = index;
  }

  static std::string range_text(const EnumRecord& e) {
    return "[" + std::to_string(e.least) + ", " + std::to_string(e.greatest) + "]";
  }

  DescriptorSet set_;
  std::size_t input_ = 0;              // the input being read
  std::vector<wire::Reader> pending_;  // nested types not yet read
  std::string_view extendee_;          // of fields of messages: unused
};

std::string_view DescriptorSet::name_of(const Slot& s) const {
  return s.first_message != kNone ? messages[s.first_message].full_name : enums[s.first_enum].full_name;
}

const DescriptorSet::Slot* DescriptorSet::find_slot(std::string_view name) const {
  if (types_.empty()) return nullptr;
  std::uint64_t h = std::hash<std::string_view>{}(name);
  std::size_t mask = types_.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = types_[i];
    if (s.empty()) return nullptr;
    if (s.hash == h && name_of(s) == name) return &s;
  }
}

std::optional<TypeRef> DescriptorSet::find_type(std::string_view name) const {
  const Slot* s = find_slot(name);
  if (s == nullptr) return std::nullopt;
  if (s->first_enum == kNone) return TypeRef{false, s->first_message};
  if (s->first_message == kNone || enums[s->first_enum].file < messages[s->first_message].file)
    return TypeRef{true, s->first_enum};
  return TypeRef{false, s->first_message};
}

std::uint32_t DescriptorSet::find_message(std::string_view name) const {
  const Slot* s = find_slot(name);
  return s != nullptr ? s->first_message : kNone;
}

std::uint32_t DescriptorSet::find_enum(std::string_view name) const {
  const Slot* s = find_slot(name);
  return s != nullptr ? s->first_enum : kNone;
}

std::uint32_t DescriptorSet::find_file(std::string_view name) const {
  auto it = file_of_name_.find(name);
  return it != file_of_name_.end() ? it->second : kNone;
}

std::string_view DescriptorSet::bytes_of(const FileRecord& f) const {
  return inputs[f.input].substr(f.span.start - input_start[f.input], f.span.end - f.span.start);
}

SetResult<DescriptorSet> read_descriptor_sets(std::span<const std::string_view> inputs) {
  SetBuilder builder(inputs);
  try {
    return std::move(builder).build();
  } catch (ReadError& e) {
    return std::unexpected(SetError{builder.input(), std::move(e.message)});
  }
}

Result<DescriptorSet> read_descriptor_set(std::string_view bytes) {
  auto set = read_descriptor_sets(std::span(&bytes, 1));
  if (!set) return fail(std::move(set.error().message));
  return std::move(*set);
}

}  // namespace korvex::fds
