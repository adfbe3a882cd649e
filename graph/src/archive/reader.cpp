#include "archive/reader.hpp"

#include <cstring>

#include "common/utf8.hpp"

namespace korvex::archive {

namespace {

std::string hex_byte(std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return std::string{'0', 'x', kDigits[b >> 4], kDigits[b & 0xF]};
}

}  // namespace

Error error_at(std::size_t file_offset, std::string_view what) {
  std::string message = "offset ";
  message += std::to_string(file_offset);
  message += ": ";
  message += what;
  return Error{std::move(message)};
}

Result<std::span<const std::uint8_t>> open_payload(std::span<const std::uint8_t> archive, std::uint64_t version,
                                                   std::string_view kind) {
  // "a graph archive", "an index archive"
  const std::string name = std::string(std::string_view("aeiou").find(kind.front()) != std::string_view::npos ? "an " : "a ") + std::string(kind);
  if (archive.size() < kHeaderSize)
    return std::unexpected(error_at(0, name + " archive starts with a 24-byte header, but there are only " +
                                           std::to_string(archive.size()) + " bytes"));
  if (std::memcmp(archive.data(), kMagic.data(), kMagic.size()) != 0)
    return std::unexpected(error_at(0, "not an archive: the magic is not \"VELDRANE\""));
  const auto got = load_le<std::uint64_t>(archive.data() + kVersionField);
  if (got != version)
    return std::unexpected(error_at(kVersionField, "format version " + std::to_string(got) + ", but " + name +
                                           " archive has version " + std::to_string(version)));
  const auto payload_offset = load_le<std::uint64_t>(archive.data() + kPayloadOffsetField);
  if (payload_offset != kHeaderSize)
    return std::unexpected(
        error_at(kPayloadOffsetField, "payload offset " + std::to_string(payload_offset) + ", but the payload always starts at 24"));
  const std::size_t length = archive.size() - kHeaderSize;
  if (length >= kPayloadLimit)
    return std::unexpected(error_at(kHeaderSize, "payload of " + std::to_string(length) +
                                                     " bytes reaches the archive limit of " +
                                                     std::to_string(kPayloadLimit) + " bytes"));
  return archive.subspan(kHeaderSize);
}

// -------------------------------------------------------------------- UTF-8

bool valid_utf8(std::string_view text) noexcept { return korvex::valid_utf8(text); }

// ----------------------------------------------------------------- Reader

std::string_view Reader::decode_string(std::size_t repr, const char*& problem, std::size_t& length) const noexcept {
  const std::uint8_t first = data_[repr];
  if (is_out_of_line(first)) {
    length = out_of_line_length(load<std::uint32_t>(repr));
    if (length <= kInlineMax) {
      problem = "is stored out of line, but strings of up to 8 bytes are inline";
      return {};
    }
    const std::int64_t target = static_cast<std::int64_t>(repr) + load<std::int32_t>(repr + kStringBytesField);
    if (target < 0 || static_cast<std::uint64_t>(target) > size_ || length > size_ - target) {
      problem = "has its bytes outside the payload";
      return {};
    }
    return {reinterpret_cast<const char*>(data_ + target), length};
  }
  length = 0;
  while (length < kInlineMax && data_[repr + length] != kInlineFill) ++length;
  for (std::size_t i = length; i < kInlineMax; ++i) {
    if (data_[repr + i] != kInlineFill) {
      problem = "is inline but has other bytes after its 0xFF fill";
      return {};
    }
  }
  return {reinterpret_cast<const char*>(data_ + repr), length};
}

Error Reader::pointer_outside(std::size_t field, const std::string& what, std::int32_t offset) const {
  return error_at(file_offset(field),
                  what + " points outside the payload (relative offset " + std::to_string(offset) + ")");
}

Error Reader::bad_vector(std::size_t field, const std::string& what, std::size_t first, std::uint32_t count,
                         std::size_t element_size, std::size_t align, std::size_t end) const {
  if (first % align != 0)
    return error_at(file_offset(field), what + " points at offset " + std::to_string(file_offset(first)) +
                                            ", which is not " + std::to_string(align) + "-aligned in the payload");
  return error_at(file_offset(field), what + " of " + std::to_string(count) + " elements of " +
                                          std::to_string(element_size) + " bytes at offset " +
                                          std::to_string(file_offset(first)) + " runs past offset " +
                                          std::to_string(file_offset(end)));
}

Error Reader::bad_string(std::size_t repr, const std::string& what, const char* problem, std::size_t length) const {
  return error_at(file_offset(repr), what + ": string of " + std::to_string(length) + " bytes " + problem);
}

// ------------------------------------------------------------ hash tables

Result<Table> read_table(const Reader& reader, std::size_t record, std::uint32_t entry_size,
                         std::uint32_t entry_align, std::size_t end, std::string_view what) {
  const std::string name(what);
  const std::int32_t control_offset = reader.load<std::int32_t>(record);
  const auto length = reader.load<std::uint32_t>(record + kMapLengthField);
  const auto capacity = reader.load<std::uint32_t>(record + kMapCapacityField);
  Table table;
  table.entry_size = entry_size;
  table.length = length;
  if (length == 0) {
    if (control_offset != kNoTarget || capacity != 0)
      return std::unexpected(error_at(
          file_offset(record), name + " map of 0 entries has control pointer " + std::to_string(control_offset) +
                                   " and capacity " + std::to_string(capacity) + ", but an empty map has 1 and 0"));
    return table;
  }
  auto sizes = table_sizes(length);
  if (!sizes || sizes->capacity != capacity)
    return std::unexpected(error_at(
        file_offset(record + kMapCapacityField), name + " map of " + std::to_string(length) + " entries has capacity " +
                                     std::to_string(capacity) + ", but that many entries take " +
                                     (sizes ? std::to_string(sizes->capacity) : std::string("more than can exist"))));
  table.sizes = *sizes;
  table.capacity_modulus = Modulus::of(sizes->capacity);
  auto control = reader.pointer(record, [&] { return name + " table"; });
  if (!control) return std::unexpected(std::move(control.error()));
  table.control = *control;
  const std::uint64_t entries_bytes = std::uint64_t{capacity} * entry_size;
  if (table.control < entries_bytes || table.control % entry_align != 0 || table.control > end ||
      end - table.control < sizes->control_count)
    return std::unexpected(error_at(
        file_offset(record), name + " table of " + std::to_string(capacity) + " buckets of " +
                                 std::to_string(entry_size) + " bytes and " + std::to_string(sizes->control_count) +
                                 " control bytes at offset " + std::to_string(file_offset(table.control)) +
                                 " does not fit " + std::to_string(entry_align) +
                                 "-aligned between the payload start and offset " + std::to_string(file_offset(end))));

  const std::uint8_t* control_bytes = reader.data() + table.control;
  std::uint32_t full = 0;
  for (std::uint32_t b = 0; b < capacity; ++b) {
    const std::uint8_t c = control_bytes[b];
    if (c == kEmptyControl) {
      const std::uint8_t* entry = reader.data() + table.entry(b);
      for (std::uint32_t i = 0; i < entry_size; ++i) {
        if (entry[i] != 0)
          return std::unexpected(error_at(file_offset(table.entry(b) + i),
                                          name + " bucket " + std::to_string(b) + " is empty, but its entry is not zero"));
      }
    } else if (c & 0x80) {
      return std::unexpected(error_at(file_offset(table.control + b),
                                      name + " control byte " + std::to_string(b) + " is " + hex_byte(c) +
                                          ", neither empty (0xFF) nor a 7-bit tag"));
    } else {
      ++full;
    }
  }
  if (full != length)
    return std::unexpected(error_at(file_offset(record + kMapLengthField), name + " map counts " + std::to_string(length) +
                                                                 " entries, but its table has " +
                                                                 std::to_string(full) + " full buckets"));
  // Control bytes from C on repeat the first buckets' bytes, as far as
  // there are such buckets; the rest stay empty.
  for (std::uint32_t i = capacity; i < sizes->control_count; ++i) {
    const std::uint32_t mirrored = i - capacity;
    const std::uint8_t want = mirrored < capacity ? control_bytes[mirrored] : kEmptyControl;
    if (control_bytes[i] != want)
      return std::unexpected(error_at(
          file_offset(table.control + i),
          name + " control byte " + std::to_string(i) + " is " + hex_byte(control_bytes[i]) + ", but " +
              (mirrored < capacity ? "it mirrors bucket " + std::to_string(mirrored) + ", which holds " + hex_byte(want)
                                   : std::string("no bucket is mirrored there, so it must be 0xFF"))));
  }
  return table;
}

Result<void> check_key(const Reader& reader, const Table& table, std::uint32_t bucket, std::uint64_t hash,
                       std::string_view what) {
  const std::size_t entry = table.entry(bucket);
  const std::uint8_t tag = reader.data()[table.control + bucket];
  if (tag != hash_tag(hash))
    return std::unexpected(error_at(file_offset(table.control + bucket),
                                    std::string(what) + " bucket " + std::to_string(bucket) + " has tag " +
                                        hex_byte(tag) + ", but its key hashes to tag " + hex_byte(hash_tag(hash))));
  const std::string_view key = reader.string_at(entry);
  const auto found = find_in_table(reader, table, hash,
                                   [&](std::uint32_t b) { return reader.string_at(table.entry(b)) == key; });
  if (!found)
    return std::unexpected(error_at(file_offset(entry), std::string(what) + " bucket " + std::to_string(bucket) +
                                                            ": its key is not found by probing from its hash"));
  if (*found != bucket)
    return std::unexpected(error_at(file_offset(entry), std::string(what) + " bucket " + std::to_string(bucket) +
                                                            " holds the same key as bucket " + std::to_string(*found)));
  return {};
}

}  // namespace korvex::archive
