// The baked graph archive, format version 7, on the container of
// archive/format.hpp: the one definition of its records, their field
// offsets and sizes, and the node type codes, for the encoder, the view
// and everything that prints or checks a graph.
//
// Payload order: nodes, transitions, out-of-line root names, roots, leaf
// ranges, extension ranges, extension-range sets, then the 56-byte graph
// record, which ends the payload. Every record is 4-aligned and every
// padding byte is zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace korvex {

// Node type codes, shared by raw graph, compiled graph, archive and dump.
// They are bytes of the archive, so they stay plain numbers.
namespace node_type {
inline constexpr std::uint8_t kVarint = 0;       // 64-bit ints, bool/enum ranges
inline constexpr std::uint8_t kFixed64 = 1;      // double
inline constexpr std::uint8_t kLengthDelim = 2;  // bytes, string
inline constexpr std::uint8_t kGroup = 3;
inline constexpr std::uint8_t kFixed32 = 5;   // float
inline constexpr std::uint8_t kVarint32 = 8;  // uint32, sint32
inline constexpr std::uint8_t kInt32 = 9;
inline constexpr std::uint8_t kMessage = 10;

// Every code with the name tools print for it.
inline constexpr std::array<std::pair<std::uint8_t, std::string_view>, 8> kNames = {{
    {kVarint, "varint"},
    {kFixed64, "fixed64"},
    {kLengthDelim, "bytes"},
    {kGroup, "group"},
    {kFixed32, "fixed32"},
    {kVarint32, "varint32"},
    {kInt32, "int32"},
    {kMessage, "message"},
}};
}  // namespace node_type

namespace serial {

inline constexpr std::uint64_t kGraphFormatVersion = 7;

// The "none" value of a node's 16-bit `range` and `ext_set`.
inline constexpr std::uint16_t kNoIndex = 0xFFFF;

// The protobuf wire type of a transition into a node of this type: the
// 32-bit varint leaves are varints (0), a message is length-delimited (2),
// every other code is its own wire type.
constexpr std::uint8_t wire_type_of(std::uint8_t node_type) noexcept {
  switch (node_type) {
    case node_type::kVarint32:
    case node_type::kInt32: return 0;
    case node_type::kMessage: return 2;
    default: return node_type;
  }
}

// Field offsets and sizes of each record.
inline constexpr std::size_t kRecordAlign = 4;

namespace node_record {  // one per node, in id order
inline constexpr std::size_t kId = 0;                // u32, equal to the position
inline constexpr std::size_t kType = 4;              // u8 node type code
inline constexpr std::size_t kIsString = 5;          // u8, 0 or 1
inline constexpr std::size_t kRange = 6;             // u16 index into leaf ranges, or kNoIndex
inline constexpr std::size_t kExtSet = 8;            // u16 index into extension-range sets, or kNoIndex
inline constexpr std::size_t kPadding = 10;          // u16, zero
inline constexpr std::size_t kFirstTransition = 12;  // u32
inline constexpr std::size_t kTransitionCount = 16;  // u32
inline constexpr std::size_t kSize = 20;
}  // namespace node_record

namespace transition_record {  // sorted by (from, field)
inline constexpr std::size_t kFrom = 0;      // u32 node
inline constexpr std::size_t kField = 4;     // u32 field number
inline constexpr std::size_t kLabel = 8;     // u8: 0 optional, 1 required, 2 repeated
inline constexpr std::size_t kWireType = 9;  // u8, wire_type_of(type of node `to`)
inline constexpr std::size_t kPacked = 10;   // u8, 0 or 1
inline constexpr std::size_t kPadding = 11;  // u8, zero
inline constexpr std::size_t kTo = 12;       // u32 node
inline constexpr std::size_t kSize = 16;
}  // namespace transition_record

namespace root_record {
inline constexpr std::size_t kFqdn = 0;   // string
inline constexpr std::size_t kState = 8;  // u32 node
inline constexpr std::size_t kSize = 12;
}  // namespace root_record

// Leaf ranges (i32 lo, i32 hi), extension ranges (u32 lo, u32 hi) and
// extension-range sets (u32 start, u32 count into the extension ranges).
namespace pair_record {
inline constexpr std::size_t kFirst = 0;
inline constexpr std::size_t kSecond = 4;
inline constexpr std::size_t kSize = 8;
}  // namespace pair_record

namespace graph_record {  // ends the payload
inline constexpr std::size_t kNodes = 0;         // vector record
inline constexpr std::size_t kTransitions = 8;   // vector record
inline constexpr std::size_t kRoots = 16;        // vector record
inline constexpr std::size_t kLeafRanges = 24;   // vector record
inline constexpr std::size_t kStateCount = 32;   // u32, equal to the node count
inline constexpr std::size_t kExtRanges = 36;    // vector record
inline constexpr std::size_t kExtRangeSets = 44; // vector record
inline constexpr std::size_t kMergedFlag = 52;   // u8, 0 or 1, then three zero bytes
inline constexpr std::size_t kSize = 56;
}  // namespace graph_record

}  // namespace serial
}  // namespace korvex
