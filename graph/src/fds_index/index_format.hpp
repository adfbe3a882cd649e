// The descriptor-set index archive, format version 4, on the container of
// archive/format.hpp: the one definition of its records, for the encoder
// (fds_index.cpp) and the view (index_view.hpp).
//
// Four string-keyed maps, each an archived hash table (map record, bucket
// entries, control bytes), then the 48-byte index record of the four map
// records, which ends the payload. A bucket entry opens with its key
// string; the value follows at offset 8.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex::fds {

inline constexpr std::uint64_t kIndexFormatVersion = 4;

// The bytes a file's descriptor takes in the set: [start, end).
struct Span {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

inline constexpr std::size_t kEntryKey = 0;    // string
inline constexpr std::size_t kEntryValue = 8;  // the value's first field

// type_to_file and ext_to_file: key, value string.
namespace string_entry {
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kAlign = 4;
}  // namespace string_entry

// file_to_span: key, u64 start, u64 end.
namespace span_entry {
inline constexpr std::size_t kStart = 8;
inline constexpr std::size_t kEnd = 16;
inline constexpr std::size_t kSize = 24;
inline constexpr std::size_t kAlign = 8;
}  // namespace span_entry

// dep_graph: key, then a vector record of strings (its pointer counts from
// its own field, entry offset 8).
namespace list_entry {
inline constexpr std::size_t kList = 8;
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kAlign = 4;
}  // namespace list_entry

namespace index_record {  // ends the payload: four map records
inline constexpr std::size_t kTypeToFile = 0;
inline constexpr std::size_t kFileToSpan = 12;
inline constexpr std::size_t kDepGraph = 24;
inline constexpr std::size_t kExtToFile = 36;
inline constexpr std::size_t kSize = 48;
inline constexpr std::size_t kAlign = 4;
}  // namespace index_record

}  // namespace korvex::fds
