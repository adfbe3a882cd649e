// Building the descriptor-set index archive (its layout:
// fds_index/index_format.hpp).
//
// Four string-keyed maps describe a serialised descriptor set. Each is put
// into a canonical order that depends on its contents only (sorted by key,
// then inserted into a table hashed with the unseeded key hash; the order of
// occupied slots is the canonical order) and archived as an open-addressing
// hash table. The 48-byte FdsIndex record ends the payload.
//
// FdsIndex owns its texts; FdsIndexView holds the same maps as views of
// texts its maker keeps (the Python entry point views the caller's str
// objects, which it holds for the whole call), so that no text is copied
// before it lands in the archive. Both encode to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/writer.hpp"
#include "common/huge_pages.hpp"
#include "common/result.hpp"
#include "fds_index/index_format.hpp"

namespace korvex::fds {

template <class V>
using Entries = std::vector<std::pair<std::string, V>>;
// Views come in millions (one per entry of a large index): on huge pages.
template <class V>
using EntryViews = LargeVector<std::pair<std::string_view, V>>;

struct FdsIndex {
  Entries<std::string> type_to_file;
  Entries<Span> file_to_span;
  Entries<std::vector<std::string>> dep_graph;
  Entries<std::string> ext_to_file;
};

// Every text, and every import list, must outlive the view.
struct FdsIndexView {
  EntryViews<std::string_view> type_to_file;
  EntryViews<Span> file_to_span;
  EntryViews<std::span<const std::string_view>> dep_graph;
  EntryViews<std::string_view> ext_to_file;
  // Set by canonical_index: the unseeded hash of each map's keys, in the
  // map's order, which the encoder then need not compute again. A map
  // whose list does not match it in length has its keys hashed anew.
  struct KeyHashes {
    LargeVector<std::uint64_t> type_to_file, file_to_span, dep_graph, ext_to_file;
  } key_hashes;
};

// Returns the entries (Entries or EntryViews) in canonical order. Keys must
// be unique. The second form also replaces `key_hashes` with the hash of
// each key, in that order.
template <class Map>
Map canonical_map(Map entries);
template <class Map>
Map canonical_map(Map entries, LargeVector<std::uint64_t>& key_hashes);

// Number of slots of the table canonical_map fills for n entries: 0 for none,
// then 4, 8, 16, and from 15 entries on bit_ceil(8n/7).
std::size_t canonical_bucket_count(std::size_t n);

// That table for keys already in sorted order: per slot, the rank of the key
// it holds, or kEmptySlot. Given `hashes`, also the hash of each key there,
// by rank.
inline constexpr std::size_t kEmptySlot = static_cast<std::size_t>(-1);
std::vector<std::size_t> canonical_slots(std::span<const std::string_view> sorted_keys,
                                         std::vector<std::uint64_t>* hashes = nullptr);

// The index with each of its four maps in canonical order.
FdsIndex canonical_index(FdsIndex index);
FdsIndexView canonical_index(FdsIndexView index);

// Header + payload, or the serialisation error (a string of 2^30 bytes or
// more, or a payload that would reach 2^31 bytes). The maps must already be
// in canonical order.
Result<std::vector<std::uint8_t>> to_bytes(const FdsIndex& index);
Result<std::vector<std::uint8_t>> to_bytes(const FdsIndexView& index);
// The same archive, left in the encoder's buffer for one copy into the
// caller's own storage; or, given `payload_storage` of at least
// payload_bound(index) bytes, written there in place (see
// FramedArchive::in_lent_storage), to be framed by the caller.
Result<archive::FramedArchive> to_framed(const FdsIndexView& index, std::span<std::uint8_t> payload_storage = {});
// At least the payload size of the index's archive.
std::size_t payload_bound(const FdsIndexView& index);

// As above, but refusing any payload of `payload_limit` bytes or more (never
// more than the archive limit of 2^31): lets the refusal path run on small
// input.
Result<std::vector<std::uint8_t>> to_bytes(const FdsIndex& index, std::size_t payload_limit);

}  // namespace korvex::fds
