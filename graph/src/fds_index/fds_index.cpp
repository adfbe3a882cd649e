// Canonical order and archive of the descriptor-set index.
//
// canonical_map sorts the entries by key bytes and replays them into a
// power-of-two table probed with the unseeded key hash; the order of its
// occupied slots is the canonical order, a function of the key set alone.
// to_bytes hands the four maps, in that order, to the archive writer's table
// writer with one codec per value type, then appends the 48-byte record.
#include "fds_index/fds_index.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <span>
#include <type_traits>

#include "archive/writer.hpp"

namespace korvex::fds {

// ---------------------------------------------------------- canonical map --

std::size_t canonical_bucket_count(std::size_t n) {
  if (n == 0) return 0;
  if (n < 4) return 4;
  if (n < 8) return 8;
  if (n < 15) return 16;
  return std::bit_ceil(8 * n / 7);
}

namespace {

using archive::first_empty_in_group;
constexpr std::uint8_t kEmpty = archive::kEmptyControl;
constexpr std::size_t kGroup = archive::kGroupWidth;
constexpr std::uint32_t kNoRank = 0xFFFFFFFF;

// canonical_slots for fewer than 2^32 keys given by their hashes, by rank;
// an empty slot holds kNoRank.
LargeVector<std::uint32_t> slots_of_hashes(std::span<const std::uint64_t> hashes) {
  const std::size_t n = hashes.size();
  const std::size_t buckets = canonical_bucket_count(n);
  LargeVector<std::uint32_t> slot_entry(buckets, kNoRank);
  if (n == 0) return slot_entry;
  // Slots, then 16 more control bytes: the mirror of slots 0..15 for a table
  // of 16 slots or more; for smaller tables bytes `buckets`..15 stay empty and
  // the mirror lies at 16 + slot.
  LargeVector<std::uint8_t> control(buckets + kGroup, kEmpty);
  const std::size_t mask = buckets - 1;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t h = hashes[i];
    const std::uint8_t tag = archive::hash_tag(h);
    std::size_t p = static_cast<std::size_t>(h) & mask;
    std::size_t stride = 0;
    // Terminates: buckets > n leaves an empty slot, and the triangular probe
    // over a power-of-two table visits every group start of its residue.
    for (;;) {
      const std::size_t q = first_empty_in_group(control.data() + p);
      if (q < kGroup) {
        std::size_t slot = (p + q) & mask;
        // Only a table under 16 slots can see past its slots into bytes
        // that are always empty; then the lowest empty slot is taken.
        if (!(control[slot] & 0x80)) slot = first_empty_in_group(control.data());
        control[slot] = tag;
        control[((slot - kGroup) & mask) + kGroup] = tag;
        slot_entry[slot] = static_cast<std::uint32_t>(i);
        break;
      }
      stride += kGroup;
      p = (p + stride) & mask;
    }
  }
  return slot_entry;
}

}  // namespace

std::vector<std::size_t> canonical_slots(std::span<const std::string_view> sorted_keys,
                                         std::vector<std::uint64_t>* hashes) {
  if (sorted_keys.size() >= kNoRank) throw std::length_error("index map too large");
  std::vector<std::uint64_t> own;
  std::vector<std::uint64_t>& out = hashes != nullptr ? *hashes : own;
  out.resize(sorted_keys.size());
  for (std::size_t i = 0; i < sorted_keys.size(); ++i) out[i] = archive::fx_hash(sorted_keys[i]);
  std::vector<std::size_t> slots;
  slots.reserve(canonical_bucket_count(out.size()));
  for (const std::uint32_t rank : slots_of_hashes(out)) slots.push_back(rank == kNoRank ? kEmptySlot : rank);
  return slots;
}

namespace {

// Key views sorted by their bytes (unsigned, a proper prefix first), equal
// keys by position. Keys of real indexes share long prefixes (package paths),
// where a comparison sort pays a cache miss and a memcmp over the shared
// part per comparison. This sorts eight bytes at a time instead: the items
// carry the current eight-byte chunk of their key, big-endian so that the
// integer order is the byte order, and only runs that agree on a whole chunk
// are refined by the next one.
//
// An item is 16 bytes, the key reached through its index, so that the sort
// moves little; more than 2^32 - 1 entries (64 GiB of key views alone)
// throw std::length_error.
struct SortItem {
  std::uint64_t chunk;
  std::uint32_t rest;   // bytes of the key from this chunk on, capped at 9
  std::uint32_t index;  // of the entry, and of its key in `keys`
};
static_assert(sizeof(SortItem) == 16);

void load_chunk(SortItem& item, std::string_view key, std::size_t depth) {
  const std::size_t left = key.size() - depth;
  std::uint64_t word = 0;
  if (left >= 8)
    std::memcpy(&word, key.data() + depth, 8);
  else
    std::memcpy(&word, key.data() + depth, left);
  // The first byte highest: big-endian order of the bytes as loaded.
  item.chunk = std::endian::native == std::endian::little ? std::byteswap(word) : word;
  // Zero padding alone would confuse "a" with "a\0": the remaining length
  // breaks that tie, shorter first, and tells whether a next chunk exists.
  item.rest = static_cast<std::uint32_t>(std::min<std::size_t>(left, 9));
}

bool item_less(const SortItem& a, const SortItem& b) {
  if (a.chunk != b.chunk) return a.chunk < b.chunk;
  if (a.rest != b.rest) return a.rest < b.rest;
  return a.index < b.index;  // equal keys (rest <= 8) keep their order
}

// Sorts a run by (chunk, rest), keeping the order of equal items, which
// entered the run in index order: so the result is that of item_less. A
// least-significant-digit radix sort, one pass per byte (rest first, then
// the chunk's bytes upwards) over the bytes in which the items differ
// (found in one pass first: keys that share a prefix differ in few bytes
// of a chunk); short runs go to std::sort.
void sort_run(SortItem* first, SortItem* last, LargeVector<SortItem>& scratch) {
  const std::size_t n = static_cast<std::size_t>(last - first);
  if (n < 256) {
    std::sort(first, last, item_less);
    return;
  }
  std::uint64_t chunk_bits = 0;
  std::uint32_t rest_bits = 0;
  for (const SortItem* it = first; it != last; ++it) {
    chunk_bits |= it->chunk ^ first->chunk;
    rest_bits |= it->rest ^ first->rest;
  }
  scratch.resize(n);
  SortItem* src = first;
  SortItem* dst = scratch.data();
  // One counting pass per digit, then its scatter: `digit(item)` is a byte.
  std::array<std::uint32_t, 256> c;
  const auto pass = [&](auto digit) {
    c.fill(0);
    for (const SortItem* it = src; it != src + n; ++it) ++c[digit(*it)];
    std::uint32_t sum = 0;
    for (std::uint32_t& slot : c) sum += std::exchange(slot, sum);
    for (const SortItem* it = src; it != src + n; ++it) dst[c[digit(*it)]++] = *it;
    std::swap(src, dst);
  };
  if (rest_bits != 0) pass([](const SortItem& item) { return item.rest; });
  for (unsigned shift = 0; shift < 64; shift += 8) {
    if (((chunk_bits >> shift) & 0xFF) == 0) continue;
    pass([shift](const SortItem& item) { return static_cast<std::uint32_t>((item.chunk >> shift) & 0xFF); });
  }
  if (src != first) std::copy(src, src + n, first);
}

// How many bytes a and b share from the start, at most `limit` (which
// neither is shorter than).
std::size_t common_prefix(const char* a, const char* b, std::size_t limit) {
  std::size_t i = 0;
  for (; i + 8 <= limit; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      const std::size_t at = i + static_cast<std::size_t>(
                                     std::endian::native == std::endian::little ? std::countr_zero(x ^ y) / 8
                                                                                : std::countl_zero(x ^ y) / 8);
      return std::min(at, limit);
    }
  }
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

void sort_by_key_bytes(LargeVector<SortItem>& items, std::span<const std::string_view> keys) {
  LargeVector<SortItem> scratch;
  struct Run {
    std::size_t begin, end, depth;
  };
  std::vector<Run> pending{{0, items.size(), 0}};
  while (!pending.empty()) {
    const Run run = pending.back();
    pending.pop_back();
    const auto first = items.begin() + static_cast<std::ptrdiff_t>(run.begin);
    const auto last = items.begin() + static_cast<std::ptrdiff_t>(run.end);
    // The keys lie wherever their owner put them, so each load is two
    // cache misses (the view, then the bytes): both are prefetched some
    // items ahead, the view first, far enough for a memory that answers in
    // half a microsecond.
    constexpr std::ptrdiff_t kAhead = 32;
    const auto prefetch = [&](auto it, std::size_t depth) {
      if (last - it > 2 * kAhead) __builtin_prefetch(&keys[(it + 2 * kAhead)->index]);
      if (last - it > kAhead) __builtin_prefetch(keys[(it + kAhead)->index].data() + depth);
    };
    // The bytes that every key of the run shares from here on (the package
    // prefix of type names, the folders of file names) order nothing: the
    // chunks start past them, rather than a chunk at a time.
    const std::string_view head = keys[first->index];
    std::size_t shared = head.size() - run.depth;
    for (auto it = first + 1; it != last && shared > 0; ++it) {
      prefetch(it, run.depth);
      const std::string_view key = keys[it->index];
      shared = common_prefix(head.data() + run.depth, key.data() + run.depth,
                             std::min(shared, key.size() - run.depth));
    }
    const std::size_t depth = run.depth + shared;
    for (auto it = first; it != last; ++it) {
      prefetch(it, depth);
      load_chunk(*it, keys[it->index], depth);
    }
    sort_run(&*first, &*first + (last - first), scratch);
    for (auto it = first; it != last;) {
      auto same = it + 1;
      while (same != last && same->chunk == it->chunk && same->rest == it->rest) ++same;
      if (it->rest == 9 && same - it > 1)
        pending.push_back({static_cast<std::size_t>(it - items.begin()), static_cast<std::size_t>(same - items.begin()),
                           depth + 8});
      it = same;
    }
  }
}

}  // namespace

namespace {

// Where each entry of a map goes: the entries' positions in canonical
// order, and their keys' hashes in that order.
struct Plan {
  LargeVector<std::uint32_t> order;
  LargeVector<std::uint64_t> hashes;
};

template <class Map>
Plan plan_of(const Map& entries) {
  const std::size_t n = entries.size();
  Plan plan;
  if (n == 0) return plan;
  // Sort views of the keys with their indices rather than the entries:
  // only the final order moves entries.
  if (n >= kNoRank) throw std::length_error("index map too large");
  LargeVector<std::string_view> keys;
  keys.reserve(n);
  for (const auto& entry : entries) keys.emplace_back(entry.first);
  // Each key's hash first, in the order the entries came: a walk over
  // scattered keys that fetches them ahead, and leaves the first bytes of
  // each in cache for the sort.
  LargeVector<std::uint64_t> hash_of(n);
  constexpr std::size_t kAhead = 32;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(keys[i + kAhead].data());
    hash_of[i] = archive::fx_hash(keys[i]);
  }
  LargeVector<SortItem> items;
  items.reserve(n);
  for (std::size_t i = 0; i < n; ++i) items.push_back(SortItem{0, 0, static_cast<std::uint32_t>(i)});
  sort_by_key_bytes(items, keys);
  keys = {};
  LargeVector<std::uint64_t> by_rank(n);
  for (std::size_t i = 0; i < n; ++i) by_rank[i] = hash_of[items[i].index];
  hash_of = {};
  plan.order.reserve(n);
  plan.hashes.reserve(n);
  for (const std::uint32_t rank : slots_of_hashes(by_rank)) {
    if (rank == kNoRank) continue;
    plan.order.push_back(items[rank].index);
    plan.hashes.push_back(by_rank[rank]);
  }
  return plan;
}

// The entries in the plan's order.
template <class Map>
Map in_plan_order(const Plan& plan, Map entries) {
  Map out;
  out.reserve(entries.size());
  // The order names the entries at random: fetched some places ahead.
  constexpr std::size_t kAhead = 32;
  const std::size_t n = plan.order.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) __builtin_prefetch(&entries[plan.order[k + kAhead]]);
    out.push_back(std::move(entries[plan.order[k]]));
  }
  return out;
}

// Whether two maps hold the very same key texts in the same order (views
// of one string each: the same bytes where they are kept), as the files
// of file_to_span and dep_graph usually are: their plans are the same.
template <class A, class B>
bool same_key_texts(const A& a, const B& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].first.data() != b[i].first.data() || a[i].first.size() != b[i].first.size()) return false;
  return true;
}

}  // namespace

template <class Map>
Map canonical_map(Map entries) {
  const Plan plan = plan_of(entries);
  return in_plan_order(plan, std::move(entries));
}

template <class Map>
Map canonical_map(Map entries, LargeVector<std::uint64_t>& key_hashes) {
  Plan plan = plan_of(entries);
  entries = in_plan_order(plan, std::move(entries));
  key_hashes = std::move(plan.hashes);
  return entries;
}

FdsIndex canonical_index(FdsIndex index) {
  index.type_to_file = canonical_map(std::move(index.type_to_file));
  index.file_to_span = canonical_map(std::move(index.file_to_span));
  index.dep_graph = canonical_map(std::move(index.dep_graph));
  index.ext_to_file = canonical_map(std::move(index.ext_to_file));
  return index;
}

FdsIndexView canonical_index(FdsIndexView index) {
  FdsIndexView::KeyHashes& hashes = index.key_hashes;
  index.type_to_file = canonical_map(std::move(index.type_to_file), hashes.type_to_file);
  const bool same_files = same_key_texts(index.file_to_span, index.dep_graph);
  Plan files = plan_of(index.file_to_span);
  index.file_to_span = in_plan_order(files, std::move(index.file_to_span));
  if (same_files) {
    index.dep_graph = in_plan_order(files, std::move(index.dep_graph));
    hashes.dep_graph = files.hashes;
  } else {
    index.dep_graph = canonical_map(std::move(index.dep_graph), hashes.dep_graph);
  }
  hashes.file_to_span = std::move(files.hashes);
  index.ext_to_file = canonical_map(std::move(index.ext_to_file), hashes.ext_to_file);
  return index;
}

template Entries<std::string> canonical_map(Entries<std::string>);
template Entries<Span> canonical_map(Entries<Span>);
template Entries<std::vector<std::string>> canonical_map(Entries<std::vector<std::string>>);
template EntryViews<std::string_view> canonical_map(EntryViews<std::string_view>);
template EntryViews<Span> canonical_map(EntryViews<Span>);
template EntryViews<std::span<const std::string_view>> canonical_map(EntryViews<std::span<const std::string_view>>);
template EntryViews<std::string_view> canonical_map(EntryViews<std::string_view>, LargeVector<std::uint64_t>&);
template EntryViews<Span> canonical_map(EntryViews<Span>, LargeVector<std::uint64_t>&);
template EntryViews<std::span<const std::string_view>> canonical_map(EntryViews<std::span<const std::string_view>>,
                                                                     LargeVector<std::uint64_t>&);

// ---------------------------------------------------------------- archive --

namespace {

using archive::Serializer;
using archive::store_le;

// Bucket entries of the four tables and the index record: index_format.hpp.
static_assert(kEntryKey == 0, "the table writer puts the key first");

template <class Entry>
struct StringCodec {
  static constexpr std::size_t entry_size = string_entry::kSize;
  static constexpr std::size_t entry_align = string_entry::kAlign;
  using Resolver = archive::PendingString;

  std::string_view key(const Entry& e) const { return e.first; }
  void prefetch_value(const Entry& e) const { __builtin_prefetch(std::string_view(e.second).data()); }
  Resolver serialize(Serializer& s, const Entry& e) const { return s.write_string(e.second); }
  void resolve(Serializer& s, const Resolver& value, std::size_t entry_pos, std::uint8_t* out) const {
    constexpr std::size_t at = kEntryValue;
    const archive::StringRepr repr = s.place_string(value, entry_pos + at);
    std::memcpy(out + at, repr.data(), repr.size());
  }
};

template <class Entry>
struct SpanCodec {
  static constexpr std::size_t entry_size = span_entry::kSize;
  static constexpr std::size_t entry_align = span_entry::kAlign;
  using Resolver = Span;  // no dependent data: the bounds sit in the entry

  std::string_view key(const Entry& e) const { return e.first; }
  Resolver serialize(Serializer&, const Entry& e) const { return e.second; }
  void resolve(Serializer&, const Resolver& span, std::size_t, std::uint8_t* out) const {
    store_le(out + span_entry::kStart, span.start);
    store_le(out + span_entry::kEnd, span.end);
  }
};

template <class Entry>
struct ListCodec {
  static constexpr std::size_t entry_size = list_entry::kSize;
  static constexpr std::size_t entry_align = list_entry::kAlign;
  struct Resolver {
    std::size_t first;  // position of the first element representation
    std::size_t count;
  };

  std::string_view key(const Entry& e) const { return e.first; }
  void prefetch_value(const Entry& e) const { __builtin_prefetch(std::data(e.second)); }
  // Element bytes back to back, padding, then the element representations.
  Resolver serialize(Serializer& s, const Entry& e) const {
    using Item = std::remove_cvref_t<decltype(*std::begin(e.second))>;
    const std::span<const Item> list(e.second);
    const std::size_t first = s.write_string_records(
        list, sizeof(archive::StringRepr), [](const Item& item) -> std::string_view { return item; },
        [](const Item&, std::uint8_t*) {});
    return {first, list.size()};
  }
  void resolve(Serializer& s, const Resolver& r, std::size_t entry_pos, std::uint8_t* out) const {
    store_le(out + list_entry::kList, s.rel(r.first, entry_pos + list_entry::kList));
    store_le(out + list_entry::kList + archive::kVectorCountField, s.count(r.count));
  }
};

template <template <class> class Codec, class Entry, class Alloc>
archive::TablePos write_table(Serializer& s, const std::vector<Entry, Alloc>& entries,
                              std::span<const std::uint64_t> key_hashes = {}) {
  // The codec, telling the writer the keys' hashes where they are known.
  struct HashedCodec : Codec<Entry> {
    std::span<const std::uint64_t> hashes;
    std::span<const std::uint64_t> key_hashes() const { return hashes; }
  } codec{{}, key_hashes};
  return s.write_hash_table(std::span<const Entry>(entries), codec);
}

// At least the payload's size: every text counted in full as if out of
// line, each table at its bucket count with a control byte and one more
// entry's width of slack per slot, and padding per string list. The output
// buffer takes this once instead of doubling up to it, copying all it holds
// each time; pages past what is written are never touched.
template <class Entry, class Alloc>
std::size_t size_bound(const std::vector<Entry, Alloc>& entries, std::size_t entry_size) {
  std::size_t bytes = 64 + canonical_bucket_count(entries.size()) * (2 * entry_size + 1);
  for (const auto& [key, value] : entries) {
    bytes += key.size();
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(value)>, Span>) {
    } else if constexpr (std::is_convertible_v<decltype(value), std::string_view>) {
      bytes += std::string_view(value).size();
    } else {
      bytes += 8;
      for (const auto& item : value) bytes += std::string_view(item).size() + sizeof(archive::StringRepr);
    }
  }
  return bytes;
}

template <class Index>
std::size_t index_bound(const Index& index) {
  return size_bound(index.type_to_file, string_entry::kSize) + size_bound(index.file_to_span, span_entry::kSize) +
         size_bound(index.dep_graph, list_entry::kSize) + size_bound(index.ext_to_file, string_entry::kSize) +
         index_record::kSize + 64;
}

template <class Index>
void encode_index(Serializer& s, const Index& index, std::size_t payload_limit) {
  const std::size_t bound = index_bound(index);
  // A bound at or past the limit proves nothing: the writes decide.
  if (bound < payload_limit) s.reserve(bound);
  // Only a view from canonical_index knows its keys' hashes.
  const FdsIndexView::KeyHashes none;
  const FdsIndexView::KeyHashes& hashes = [&]() -> const FdsIndexView::KeyHashes& {
    if constexpr (requires { index.key_hashes; }) return index.key_hashes;
    return none;
  }();
  const archive::TablePos types = write_table<StringCodec>(s, index.type_to_file, hashes.type_to_file);
  const archive::TablePos spans = write_table<SpanCodec>(s, index.file_to_span, hashes.file_to_span);
  const archive::TablePos deps = write_table<ListCodec>(s, index.dep_graph, hashes.dep_graph);
  const archive::TablePos exts = write_table<StringCodec>(s, index.ext_to_file, hashes.ext_to_file);
  s.pad_to(index_record::kAlign);
  const std::size_t at = s.pos();
  std::array<std::uint8_t, index_record::kSize> rec{};
  const auto put = [&](const archive::TablePos& table, std::size_t field) {
    const archive::MapRecord map = s.map_record(table, at + field);
    std::memcpy(rec.data() + field, map.data(), map.size());
  };
  put(types, index_record::kTypeToFile);
  put(spans, index_record::kFileToSpan);
  put(deps, index_record::kDepGraph);
  put(exts, index_record::kExtToFile);
  s.write_record(rec);
}

template <class Index>
Result<std::vector<std::uint8_t>> encode_index(const Index& index, std::size_t payload_limit) {
  Serializer s(payload_limit);
  encode_index(s, index, payload_limit);
  return s.finish(kIndexFormatVersion);
}

}  // namespace

std::size_t payload_bound(const FdsIndexView& index) { return index_bound(index); }

Result<archive::FramedArchive> to_framed(const FdsIndexView& index, std::span<std::uint8_t> payload_storage) {
  Serializer s(archive::kPayloadLimit);
  s.write_into(payload_storage);
  encode_index(s, index, archive::kPayloadLimit);
  return s.finish_framed(kIndexFormatVersion);
}

Result<std::vector<std::uint8_t>> to_bytes(const FdsIndex& index) { return to_bytes(index, archive::kPayloadLimit); }

Result<std::vector<std::uint8_t>> to_bytes(const FdsIndex& index, std::size_t payload_limit) {
  return encode_index(index, payload_limit);
}

Result<std::vector<std::uint8_t>> to_bytes(const FdsIndexView& index) {
  return encode_index(index, archive::kPayloadLimit);
}

}  // namespace korvex::fds
