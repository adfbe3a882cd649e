// Opening a descriptor-set index archive: the four map records, then per
// table its layout (read_table), then per full bucket its key and value
// strings and the probe that must find the key in that very bucket.
#include "fds_index/index_view.hpp"

#include <charconv>
#include <type_traits>
#include <string>

namespace korvex::fds {

namespace {

using archive::error_at;
using archive::file_offset;
using archive::Reader;
using archive::Table;

std::string str(std::uint64_t v) { return std::to_string(v); }

}  // namespace

// Friend of IndexView: fills in a view while checking what it reads.
class IndexChecker {
 public:
  static Result<IndexView> open(std::span<const std::uint8_t> archive) {
    auto payload = archive::open_payload(archive, kIndexFormatVersion, "index");
    if (!payload) return std::unexpected(std::move(payload.error()));
    IndexView v;
    v.reader_ = Reader(*payload);
    const Reader& r = v.reader_;
    if (r.size() < index_record::kSize)
      return std::unexpected(error_at(file_offset(0), "payload of " + str(r.size()) +
                                                          " bytes is too short for the " + str(index_record::kSize) + "-byte index record"));
    const std::size_t record = r.size() - index_record::kSize;
    if (record % index_record::kAlign != 0)
      return std::unexpected(error_at(file_offset(record), "the index record that ends the payload is not 4-aligned"));

    auto type_to_file = read<std::string_view>(r, record + index_record::kTypeToFile, "type_to_file");
    if (!type_to_file) return std::unexpected(std::move(type_to_file.error()));
    auto file_to_span = read<Span>(r, record + index_record::kFileToSpan, "file_to_span");
    if (!file_to_span) return std::unexpected(std::move(file_to_span.error()));
    auto dep_graph = read<Strings>(r, record + index_record::kDepGraph, "dep_graph");
    if (!dep_graph) return std::unexpected(std::move(dep_graph.error()));
    auto ext_to_file = read<std::string_view>(r, record + index_record::kExtToFile, "ext_to_file");
    if (!ext_to_file) return std::unexpected(std::move(ext_to_file.error()));
    v.type_to_file_ = *type_to_file;
    v.file_to_span_ = *file_to_span;
    v.dep_graph_ = *dep_graph;
    v.ext_to_file_ = *ext_to_file;
    return v;
  }

 private:
  template <class V>
  static Result<Table> read(const Reader& r, std::size_t map_record, const char* name) {
    using Codec = EntryCodec<V>;
    // Tables lie before the index record, which ends the payload.
    const std::size_t record = r.size() - index_record::kSize;
    auto table = archive::read_table(r, map_record, Codec::kSize, Codec::kAlign, record, name);
    if (!table) return table;
    for (std::uint32_t b = 0; b < table->capacity(); ++b) {
      if (!archive::bucket_full(r, *table, b)) continue;
      const std::size_t entry = table->entry(b);
      auto key = r.string(entry + kEntryKey, [&] { return std::string(name) + " bucket " + str(b) + " key"; });
      if (!key) return std::unexpected(std::move(key.error()));
      if (auto ok = check_value<V>(r, *table, b, name); !ok) return std::unexpected(std::move(ok.error()));
      if (auto ok = archive::check_key(r, *table, b, archive::fx_hash(*key), name); !ok)
        return std::unexpected(std::move(ok.error()));
    }
    return table;
  }

  template <class V>
  static Result<void> check_value(const Reader& r, const Table& table, std::uint32_t b, const char* name) {
    const std::size_t entry = table.entry(b);
    if constexpr (std::is_same_v<V, std::string_view>) {
      auto value = r.string(entry + kEntryValue, [&] { return std::string(name) + " bucket " + str(b) + " value"; });
      if (!value) return std::unexpected(std::move(value.error()));
    } else if constexpr (std::is_same_v<V, Strings>) {
      // The list's strings are dependent data: written before the table.
      auto list = r.vector(entry + list_entry::kList, archive::kStringSize, 4, table.entries_begin(),
                           [&] { return std::string(name) + " bucket " + str(b) + " import list"; });
      if (!list) return std::unexpected(std::move(list.error()));
      for (std::uint32_t i = 0; i < list->count; ++i) {
        auto item = r.string(list->pos + archive::kStringSize * std::size_t{i},
                             [&] { return std::string(name) + " bucket " + str(b) + " import " + str(i); });
        if (!item) return std::unexpected(std::move(item.error()));
      }
    }
    return {};
  }
};

Result<IndexView> IndexView::open(std::span<const std::uint8_t> archive) { return IndexChecker::open(archive); }

std::optional<std::string_view> IndexView::file_of_extension(std::string_view extendee,
                                                             std::int64_t number) const noexcept {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, number);
  (void)ec;  // 24 characters hold any 64-bit integer
  const std::string_view tail(digits, static_cast<std::size_t>(end - digits));
  archive::FxHasher hasher;
  hasher.update(extendee);
  hasher.update("/");
  hasher.update(tail);
  return ext_to_file().find_if(hasher.finish(), [&](std::string_view stored) {
    return stored.size() == extendee.size() + 1 + tail.size() && stored.starts_with(extendee) &&
           stored[extendee.size()] == '/' && stored.ends_with(tail);
  });
}

}  // namespace korvex::fds
