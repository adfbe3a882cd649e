#include "identify/scan.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "common/wire.hpp"

namespace korvex::identify {

namespace {

Error not_wire_format(wire::Status status, std::size_t offset) {
  return Error{"not protobuf wire format: " + std::string(wire::describe(status)) + " at byte offset " +
               std::to_string(offset)};
}

}  // namespace

Result<void> scan(std::span<const std::uint8_t> payload, TopLevel& out) {
  out = TopLevel{};
  wire::Reader reader(payload);
  std::vector<std::pair<std::uint64_t, Occurrence>> fields;
  while (!reader.at_end()) {
    const std::size_t at = reader.offset();
    wire::Tag t;
    if (const wire::Status s = reader.tag(t); s != wire::Status::ok) return std::unexpected(not_wire_format(s, at));
    const std::size_t value_at = reader.offset();
    // An end tag has no value: the problem is the tag itself. A group nests
    // kMaxDepth levels below the message at most, itself the first.
    if (const wire::Status s = reader.skip(t, kMaxDepth); s != wire::Status::ok)
      return std::unexpected(not_wire_format(s, s == wire::Status::unexpected_end_group ? at : reader.offset()));
    const auto wire_type = static_cast<std::uint8_t>(t.type);
    fields.emplace_back(tag_key(t.field, wire_type),
                        Occurrence{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(value_at),
                                   static_cast<std::uint32_t>(reader.offset())});
  }
  const std::uint64_t first_key = fields.empty() ? 0 : fields.front().first;
  // Stable: each tag's fields stay in payload order.
  std::stable_sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [key, occurrence] : fields) {
    if (out.tags.empty() || out.tags.back().key != key)
      out.tags.push_back({key, static_cast<std::uint32_t>(out.occurrences.size()), 0, 0});
    ++out.tags.back().count;
    out.tags.back().bytes += occurrence.end - occurrence.tag;
    out.occurrences.push_back(occurrence);
  }
  for (std::uint32_t i = 0; i < out.tags.size(); ++i)
    if (out.tags[i].key == first_key) out.first_tag = i;
  return {};
}

}  // namespace korvex::identify
