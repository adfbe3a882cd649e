// Reading a descriptor-set index archive (fds_index/index_format.hpp) in place.
//
// IndexView::open checks the whole archive once: the header, the four map
// records of the 48-byte FdsIndex record that ends the payload, and each
// table: its capacity is the one its entry count implies, its entries and
// control bytes lie before the record and aligned, every control byte is
// empty or a 7-bit tag (mirrors included), empty buckets are zero, every
// key and value string is well formed UTF-8, every import list lies before
// its table, and every key is found by probing from its own hash (the
// unseeded key hash), which also rules out a key stored twice. After that
// each lookup is one probe sequence of the archive's own table: no copy,
// no allocation, no map built at open.
//
// The view borrows the bytes: they must outlive it. Positions read from
// the bytes are clamped and every probe is bounded, so bytes changed after
// open give wrong answers but no read outside the span and no endless loop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "archive/reader.hpp"
#include "common/result.hpp"
#include "fds_index/index_format.hpp"

namespace korvex::fds {

// An archived list of strings (a dep_graph value), decoded on access.
class Strings {
 public:
  Strings() noexcept = default;
  Strings(const archive::Reader& reader, std::size_t pos, std::size_t count) noexcept
      : reader_(reader), pos_(pos), count_(count) {}

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  std::string_view operator[](std::size_t i) const noexcept { return reader_.string_at(pos_ + archive::kStringSize * i); }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using reference = std::string_view;
    using pointer = void;
    iterator() noexcept = default;
    std::string_view operator*() const noexcept { return reader_.string_at(pos_); }
    iterator& operator++() noexcept { return pos_ += archive::kStringSize, *this; }
    iterator operator++(int) noexcept {
      iterator old = *this;
      pos_ += archive::kStringSize;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.pos_ == b.pos_; }

   private:
    friend class Strings;
    iterator(const archive::Reader& reader, std::size_t pos) noexcept : reader_(reader), pos_(pos) {}
    archive::Reader reader_;
    std::size_t pos_ = 0;
  };
  iterator begin() const noexcept { return iterator(reader_, pos_); }
  iterator end() const noexcept { return iterator(reader_, pos_ + archive::kStringSize * count_); }

 private:
  archive::Reader reader_;
  std::size_t pos_ = 0;
  std::size_t count_ = 0;
};

// Bucket entry layouts of the four tables: key string at offset 0, the
// value after it.
template <class V>
struct EntryCodec;

template <>
struct EntryCodec<std::string_view> {
  static constexpr std::uint32_t kSize = string_entry::kSize;
  static constexpr std::uint32_t kAlign = string_entry::kAlign;
  static std::string_view decode(const archive::Reader& r, std::size_t entry) noexcept {
    return r.string_at(entry + kEntryValue);
  }
  // Starts loading an out-of-line value while the key is compared.
  static void prefetch(const archive::Reader& r, std::size_t entry) noexcept { r.prefetch_string(entry + kEntryValue); }
};

template <>
struct EntryCodec<Span> {
  static constexpr std::uint32_t kSize = span_entry::kSize;
  static constexpr std::uint32_t kAlign = span_entry::kAlign;
  static Span decode(const archive::Reader& r, std::size_t entry) noexcept {
    return Span{r.load<std::uint64_t>(entry + span_entry::kStart), r.load<std::uint64_t>(entry + span_entry::kEnd)};
  }
  static void prefetch(const archive::Reader&, std::size_t) noexcept {}
};

template <>
struct EntryCodec<Strings> {
  static constexpr std::uint32_t kSize = list_entry::kSize;
  static constexpr std::uint32_t kAlign = list_entry::kAlign;
  static Strings decode(const archive::Reader& r, std::size_t entry) noexcept {
    const std::size_t field = entry + list_entry::kList;
    const std::int64_t first = static_cast<std::int64_t>(field) + r.load<std::int32_t>(field);
    const std::uint32_t count = r.load<std::uint32_t>(field + archive::kVectorCountField);
    if (first < 0 || static_cast<std::uint64_t>(first) > r.size() ||
        std::uint64_t{count} * archive::kStringSize > r.size() - static_cast<std::uint64_t>(first))
      return {};
    return Strings(r, static_cast<std::size_t>(first), count);
  }
  static void prefetch(const archive::Reader&, std::size_t) noexcept {}
};

// One archived map: lookup through its hash table, and iteration over its
// full buckets in bucket order (bucket 0 first).
template <class V>
class MapView {
 public:
  using Codec = EntryCodec<V>;
  using value_type = std::pair<std::string_view, V>;

  MapView() noexcept = default;
  MapView(const archive::Reader& reader, const archive::Table& table) noexcept : reader_(reader), table_(table) {}

  std::size_t size() const noexcept { return table_.length; }
  bool empty() const noexcept { return table_.length == 0; }
  std::uint32_t capacity() const noexcept { return table_.capacity(); }

  std::optional<V> find(std::string_view key) const noexcept { return find_hashed(archive::fx_hash(key), key); }
  // With the key's hash already computed (for keys made of pieces, with
  // key_equal comparing the stored key to them).
  template <class KeyEqual>
  std::optional<V> find_if(std::uint64_t hash, const KeyEqual& key_equal) const noexcept {
    const auto bucket = archive::find_in_table(reader_, table_, hash, [&](std::uint32_t b) {
      Codec::prefetch(reader_, table_.entry(b));
      return key_equal(reader_.string_at(table_.entry(b)));
    });
    if (!bucket) return std::nullopt;
    return Codec::decode(reader_, table_.entry(*bucket));
  }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::pair<std::string_view, V>;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    using pointer = void;
    iterator() noexcept = default;
    value_type operator*() const noexcept {
      const std::size_t entry = table_.entry(bucket_);
      return {reader_.string_at(entry), Codec::decode(reader_, entry)};
    }
    iterator& operator++() noexcept {
      bucket_ = next_full(reader_, table_, bucket_ + 1);
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.bucket_ == b.bucket_; }
    // The bucket of the current entry (capacity() at the end).
    std::uint32_t bucket() const noexcept { return bucket_; }

   private:
    friend class MapView;
    iterator(const archive::Reader& reader, const archive::Table& table, std::uint32_t bucket) noexcept
        : reader_(reader), table_(table), bucket_(bucket) {}
    // The map by value: an iterator never dangles while the bytes live.
    archive::Reader reader_;
    archive::Table table_;
    std::uint32_t bucket_ = 0;
  };
  iterator begin() const noexcept { return iterator(reader_, table_, next_full(reader_, table_, 0)); }
  iterator end() const noexcept { return iterator(reader_, table_, table_.capacity()); }
  // The first entry at or after `bucket`: resumes an iteration.
  iterator from(std::uint32_t bucket) const noexcept {
    return iterator(reader_, table_, next_full(reader_, table_, std::min(bucket, table_.capacity())));
  }

 private:
  std::optional<V> find_hashed(std::uint64_t hash, std::string_view key) const noexcept {
    return find_if(hash, [key](std::string_view stored) { return stored == key; });
  }
  static std::uint32_t next_full(const archive::Reader& reader, const archive::Table& table,
                                 std::uint32_t bucket) noexcept {
    while (bucket < table.capacity() && !archive::bucket_full(reader, table, bucket)) ++bucket;
    return bucket;
  }

  archive::Reader reader_;
  archive::Table table_;
};

class IndexView {
 public:
  // Checks the archive and returns a view of it, or the first fault found.
  static Result<IndexView> open(std::span<const std::uint8_t> archive);

  IndexView() noexcept = default;

  MapView<std::string_view> type_to_file() const noexcept { return {reader_, type_to_file_}; }
  MapView<Span> file_to_span() const noexcept { return {reader_, file_to_span_}; }
  MapView<Strings> dep_graph() const noexcept { return {reader_, dep_graph_}; }
  MapView<std::string_view> ext_to_file() const noexcept { return {reader_, ext_to_file_}; }

  // The file that defines a fully-qualified type (no leading dot).
  std::optional<std::string_view> file_of_type(std::string_view type) const noexcept {
    return type_to_file().find(type);
  }
  // Where a file's descriptor lies in the raw .pb file.
  std::optional<Span> span_of_file(std::string_view file) const noexcept { return file_to_span().find(file); }
  // The files a file imports directly, in their declared order.
  std::optional<Strings> imports_of(std::string_view file) const noexcept { return dep_graph().find(file); }
  // The file that defines extension `number` of `extendee`: the key
  // "extendee/number", hashed and compared in pieces, never assembled.
  std::optional<std::string_view> file_of_extension(std::string_view extendee, std::int64_t number) const noexcept;

 private:
  archive::Reader reader_;
  archive::Table type_to_file_, file_to_span_, dep_graph_, ext_to_file_;

  friend class IndexChecker;
};

}  // namespace korvex::fds
