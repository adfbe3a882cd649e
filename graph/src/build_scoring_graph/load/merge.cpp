// Merger: read, normalise and merge the documents one after another, first
// definition wins.
//
// A YAML document is read with its names interned into Merged::names, so a
// message is found by its id, a definition that wins is copied once from the
// reader's records into the flat lists, and one that loses is compared field
// record by field record where the reader left it (equal children have equal
// ids). A normalised document's names are interned on their way in.
#include "build_scoring_graph/load/merge.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/warn.hpp"

namespace korvex {
namespace {

// The flat lists of Merged are indexed in 32 bits: a merge that would need
// more stops with std::length_error (as a name table does), far beyond any
// input that fits in memory.
std::uint32_t index32(std::size_t n) {
  if (n > 0xFFFFFFFFu) throw std::length_error("too many fields for one merge");
  return static_cast<std::uint32_t>(n);
}

}  // namespace

const MergedMessage* Merged::find(std::string_view name) const {
  const std::uint32_t id = names.find(name);
  if (id >= message_of_name.size() || message_of_name[id] == NameTable::kNone) return nullptr;
  return &messages[message_of_name[id]];
}

NormalizedMessage Merged::normalized(const MergedMessage& m) const {
  NormalizedMessage out;
  out.kind = m.kind;
  for (const FieldRecord& f : fields_of(m)) out.fields.push_back(make_field(names, f));
  const auto ranges = ext_ranges_of(m);
  out.ext_ranges.assign(ranges.begin(), ranges.end());
  return out;
}

std::vector<std::string> Merged::root_names() const {
  std::vector<std::string> out;
  out.reserve(roots.size());
  for (const std::uint32_t id : roots) out.emplace_back(names[id]);
  return out;
}

void Merger::add_root(std::uint32_t name) {
  if (name >= taken_root_.size()) taken_root_.resize(std::max<std::size_t>(merged_.names.size(), 2 * taken_root_.size()));
  if (taken_root_[name]) return;
  taken_root_[name] = true;
  merged_.roots.push_back(name);
}

void Merger::warn_conflict(std::uint32_t name) {
  emit_warning("warning: conflicting definitions for '" + std::string(merged_.names[name]) + "' in scoring_graph[" +
               std::to_string(documents_) + "]; using first\n");
}

template <class Fields>
void Merger::add_definition(std::uint32_t name, NodeKind kind, std::size_t count, Fields&& field_at,
                            std::span<const ExtRange> ranges) {
  LargeVector<std::uint32_t>& index = merged_.message_of_name;
  if (name >= index.size()) index.resize(std::max<std::size_t>(merged_.names.size(), 2 * index.size()), NameTable::kNone);
  if (index[name] == NameTable::kNone) {
    index[name] = index32(merged_.messages.size());
    MergedMessage& m = merged_.messages.emplace_back();
    m.name = name;
    m.kind = kind;
    m.fields_begin = index32(merged_.fields.size());
    for (std::size_t i = 0; i < count; ++i) merged_.fields.push_back(field_at(i));
    m.fields_end = index32(merged_.fields.size());
    m.ext_begin = index32(merged_.ext_ranges.size());
    merged_.ext_ranges.insert(merged_.ext_ranges.end(), ranges.begin(), ranges.end());
    m.ext_end = index32(merged_.ext_ranges.size());
    return;
  }
  const MergedMessage& first = merged_.messages[index[name]];
  const std::span<const FieldRecord> stored = merged_.fields_of(first);
  bool same = stored.size() == count && std::ranges::equal(merged_.ext_ranges_of(first), ranges);
  for (std::size_t i = 0; same && i < count; ++i) same = stored[i] == field_at(i);
  if (!same) warn_conflict(name);
}

Result<void> Merger::add_read_message(const MessageRecord& message) {
  const DocumentRecords& records = reader_.records();
  if (message.has_problem)
    return std::unexpected(field_problem_error(merged_.names[message.name], message.rule, message.problem_number,
                                               records.view(message.problem_text)));
  const std::span<const FieldRecord> fields = records.fields_of(message);
  stable_order_by_number(fields.size(), [&](std::size_t i) { return fields[i].number; }, order_);
  const std::span<const ExtRange> ranges = records.ext_ranges_of(message);
  if (auto checked = check_ext_ranges(merged_.names[message.name], ranges); !checked) return checked;
  if (order_.empty()) {
    add_definition(message.name, message.kind, fields.size(), [&](std::size_t i) { return fields[i]; }, ranges);
  } else {
    add_definition(message.name, message.kind, fields.size(), [&](std::size_t i) { return fields[order_[i].second]; },
                   ranges);
  }
  return {};
}

// Real and synthetic schemas take 300 to 800 bytes of YAML per message and
// about as many distinct names as messages, of some 40 bytes each; an
// estimate on the high side only leaves the lists a little emptier.
inline constexpr std::size_t kYamlBytesPerMessage = 384;
inline constexpr std::size_t kFieldsPerMessage = 9;
inline constexpr std::size_t kBytesPerName = 48;

void Merger::expect_yaml_bytes(std::size_t bytes) {
  const std::size_t messages = bytes / kYamlBytesPerMessage;
  merged_.names.reserve(merged_.names.size() + messages, messages * kBytesPerName);
  merged_.messages.reserve(merged_.messages.size() + messages);
  merged_.fields.reserve(merged_.fields.size() + messages * kFieldsPerMessage);
}

Result<void> Merger::add_yaml(std::string_view text) {
  if (auto read = reader_.read(text, merged_.names); !read)
    return fail("scoring_graph[" + std::to_string(documents_) + "]: " + read.error().message);
  const DocumentRecords& records = reader_.records();
  all_extension_ranges_ = all_extension_ranges_ && records.extension_ranges;
  for (const std::uint32_t entry : records.entries) add_root(entry);
  for (const MessageRecord& message : records.messages) {
    if (auto added = add_read_message(message); !added) return added;
  }
  ++documents_;
  return {};
}

void Merger::add_normalized(NormalizedDocument&& document) {
  NameTable& names = merged_.names;
  all_extension_ranges_ = all_extension_ranges_ && document.extension_ranges;
  for (const std::string& entry : document.entries) add_root(names.intern(entry));
  for (const auto& [name, message] : document.messages) {
    converted_.clear();
    for (const ScoringField& f : message.fields) {
      FieldRecord& r = converted_.emplace_back();
      r.number = f.number;
      r.label = f.label;
      r.kind = f.kind;
      r.packed = f.packed;
      if (f.child) r.child = names.intern(*f.child);
      if (f.range) {
        r.has_range = true;
        r.range = *f.range;
      }
    }
    add_definition(names.intern(name), message.kind, converted_.size(),
                   [&](std::size_t i) { return converted_[i]; }, message.ext_ranges);
  }
  ++documents_;
}

Merged Merger::finish() && {
  merged_.merged_flag = documents_ > 0 && all_extension_ranges_;
  return std::move(merged_);
}

Result<Merged> merge_from_strings(std::span<const std::string_view> documents) {
  Merger merger;
  std::size_t bytes = 0;
  for (std::string_view document : documents) bytes += document.size();
  merger.expect_yaml_bytes(bytes);
  for (std::string_view document : documents) {
    if (auto added = merger.add_yaml(document); !added) return std::unexpected(std::move(added.error()));
  }
  return std::move(merger).finish();
}

Result<Merged> merge_from_strings(std::span<const std::string> documents) {
  std::vector<std::string_view> views(documents.begin(), documents.end());
  return merge_from_strings(std::span<const std::string_view>(views));
}

}  // namespace korvex
