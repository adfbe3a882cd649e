// Merger: read, normalise and merge the documents one after another, first
// definition wins.
//
// Names move from a normalised document into the merged map without a copy,
// and a YAML document's names are copied once, when they are new; the set
// of roots already taken holds positions in Merged::roots, so it needs no
// copy of the names either.
#include "build_scoring_graph/load/merge.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "common/warn.hpp"

namespace korvex {
namespace {

std::string_view as_view(const std::string& s) { return s; }

// Whether a stored field equals a read one.
bool same_field(const ScoringField& stored, const DocumentRecords& records, const FieldRecord& read) {
  if (stored.number != read.number || stored.kind != read.kind || stored.label != read.label ||
      stored.packed != read.packed || stored.child.has_value() != read.has_child)
    return false;
  if (read.has_child && *stored.child != records.view(read.child)) return false;
  // A read field's range is meaningful exactly for the kind that keeps it.
  if (stored.range.has_value() != (read.kind == kind::kRanged)) return false;
  return !stored.range || *stored.range == read.range;
}

}  // namespace

void Merger::add_root(std::string_view name) {
  std::vector<std::string>& roots = merged_.roots;
  auto name_of = [](const std::string& s) { return as_view(s); };
  if (taken_roots_.find_or_insert(roots, name_of, name, roots.size()) == roots.size()) roots.emplace_back(name);
}

void Merger::add_roots(std::vector<std::string>& entries) {
  std::vector<std::string>& roots = merged_.roots;
  auto name_of = [](const std::string& s) { return as_view(s); };
  for (std::string& name : entries) {
    if (taken_roots_.find_or_insert(roots, name_of, name, roots.size()) == roots.size())
      roots.push_back(std::move(name));
  }
}

void Merger::warn_conflict(std::string_view name) {
  emit_warning("warning: conflicting definitions for '" + std::string(name) + "' in scoring_graph[" +
               std::to_string(documents_) + "]; using first\n");
}

void Merger::add_message(std::string&& name, NormalizedMessage&& message) {
  auto [it, inserted] = merged_.messages.try_emplace(std::move(name), std::move(message));
  if (inserted) return;
  // try_emplace moved nothing: `message` still holds the new definition.
  const NormalizedMessage& first = it->second;
  if (first.fields != message.fields || first.ext_ranges != message.ext_ranges) warn_conflict(it->first);
}

Result<void> Merger::add_read_message(const MessageRecord& message) {
  const DocumentRecords& records = reader_.records();
  const std::string_view name = records.view(message.name);
  if (message.has_problem)
    return std::unexpected(
        field_problem_error(name, message.rule, message.problem_number, records.view(message.problem_text)));
  const std::span<const FieldRecord> fields = records.fields_of(message);
  stable_order_by_number(fields.size(), [&](std::size_t i) { return fields[i].number; }, order_);
  const std::span<const ExtRange> ranges = records.ext_ranges_of(message);
  if (auto checked = check_ext_ranges(name, ranges); !checked) return checked;
  auto field_at = [&](std::size_t i) -> const FieldRecord& { return fields[order_.empty() ? i : order_[i].second]; };

  // While a name is found, the key keeps its text and its storage for the
  // next lookup; only a name that is inserted is handed over.
  key_.assign(name);
  auto [it, inserted] = merged_.messages.try_emplace(std::move(key_));
  if (inserted) {
    NormalizedMessage& out = it->second;
    out.kind = message.kind;
    out.fields.reserve(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) out.fields.push_back(make_field(records, field_at(i)));
    out.ext_ranges.assign(ranges.begin(), ranges.end());
    return {};
  }
  const NormalizedMessage& first = it->second;
  bool same = first.fields.size() == fields.size() && std::ranges::equal(first.ext_ranges, ranges);
  for (std::size_t i = 0; same && i < fields.size(); ++i) same = same_field(first.fields[i], records, field_at(i));
  if (!same) warn_conflict(it->first);
  return {};
}

// Real and synthetic schemas take 300 to 800 bytes of YAML per message; an
// estimate on the high side only leaves the map a little emptier, at eight
// bytes per bucket.
inline constexpr std::size_t kYamlBytesPerMessage = 384;

void Merger::expect_yaml_bytes(std::size_t bytes) {
  merged_.messages.reserve(merged_.messages.size() + bytes / kYamlBytesPerMessage);
}

Result<void> Merger::add_yaml(std::string_view text) {
  if (auto read = reader_.read(text); !read)
    return fail("scoring_graph[" + std::to_string(documents_) + "]: " + read.error().message);
  const DocumentRecords& records = reader_.records();
  all_extension_ranges_ = all_extension_ranges_ && records.extension_ranges;
  for (TextRef entry : records.entries) add_root(records.view(entry));
  if (merged_.messages.empty()) merged_.messages.reserve(records.messages.size());
  for (const MessageRecord& message : records.messages) {
    if (auto added = add_read_message(message); !added) return added;
  }
  ++documents_;
  return {};
}

void Merger::add_normalized(NormalizedDocument&& document) {
  all_extension_ranges_ = all_extension_ranges_ && document.extension_ranges;
  add_roots(document.entries);
  if (merged_.messages.empty()) merged_.messages.reserve(document.messages.size());
  for (auto& [name, message] : document.messages) add_message(std::move(name), std::move(message));
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
