#include "identify/scan.hpp"

#include <algorithm>
#include <string>

#include "common/wire.hpp"

namespace korvex::identify {

namespace {

Error not_wire_format(wire::Status status, std::size_t offset) {
  return Error{"not protobuf wire format: " + std::string(wire::describe(status)) + " at byte offset " +
               std::to_string(offset)};
}

}  // namespace

Result<void> scan(std::span<const std::uint8_t> payload, Work& work, TopLevel& out) {
  out = TopLevel{};
  // First pass: the bytes are checked and every field paid for; only the
  // number of fields of each tag is kept.
  KeyNumbers numbers;
  std::vector<std::uint32_t> counts;
  {
    wire::Reader reader(payload);
    while (!reader.at_end()) {
      const std::size_t at = reader.offset();
      wire::Tag t;
      if (const wire::Status s = reader.tag(t); s != wire::Status::ok) return std::unexpected(not_wire_format(s, at));
      // An end tag has no value: the problem is the tag itself. A group
      // nests kMaxDepth levels below the message at most, itself the first.
      if (const wire::Status s = reader.skip(t, kMaxDepth); s != wire::Status::ok)
        return std::unexpected(not_wire_format(s, s == wire::Status::unexpected_end_group ? at : reader.offset()));
      if (!work.spend(Work::kPerField)) return {};
      const std::uint32_t n = numbers.number(tag_key(t.field, static_cast<std::uint8_t>(t.type)));
      if (n == counts.size()) counts.push_back(0);
      ++counts[n];
    }
  }
  // The tags in key order, each with its place among the occurrences.
  const std::vector<std::uint64_t>& keys = numbers.keys();
  std::vector<std::uint32_t> order(keys.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
  std::vector<std::uint32_t> tag_of(keys.size());
  out.tags.resize(keys.size());
  std::uint32_t first = 0;
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    tag_of[order[i]] = i;
    out.tags[i] = TagGroup{keys[order[i]], first, 0, 0};
    first += counts[order[i]];
  }
  // Second pass: each field into its tag's slots, in payload order.
  out.occurrences.resize(first);
  wire::Reader reader(payload);
  while (!reader.at_end()) {
    const std::size_t at = reader.offset();
    wire::Tag t;
    reader.tag(t);
    const std::size_t value_at = reader.offset();
    reader.skip(t, kMaxDepth);
    TagGroup& g = out.tags[tag_of[numbers.number(tag_key(t.field, static_cast<std::uint8_t>(t.type)))]];
    out.occurrences[g.first + g.count++] =
        Occurrence{static_cast<std::uint32_t>(value_at), static_cast<std::uint32_t>(reader.offset())};
    g.bytes += reader.offset() - at;
  }
  return {};
}

}  // namespace korvex::identify
