#include "archive/writer.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "common/huge_pages.hpp"

namespace korvex::archive {

// ------------------------------------------------------- checked narrowing --

Result<std::int32_t> relative_offset(std::size_t target, std::size_t from) {
  // Both are payload positions; anything at or past the limit cannot occur
  // in a valid archive and is refused rather than wrapped.
  if (target >= kPayloadLimit || from >= kPayloadLimit) return std::unexpected(payload_too_large(kPayloadLimit));
  const auto diff = static_cast<std::int64_t>(target) - static_cast<std::int64_t>(from);
  if (diff < std::numeric_limits<std::int32_t>::min() || diff > std::numeric_limits<std::int32_t>::max())
    return std::unexpected(payload_too_large(kPayloadLimit));
  return static_cast<std::int32_t>(diff);
}

Result<std::uint32_t> narrow_u32(std::size_t value) {
  if (value > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(payload_too_large(kPayloadLimit));
  return static_cast<std::uint32_t>(value);
}

Result<std::uint32_t> out_of_line_word(std::size_t length) {
  if (length >= kStringLimit) return std::unexpected(string_too_long(length));
  const auto len = static_cast<std::uint32_t>(length);
  return out_of_line_word_of(len);
}

// ------------------------------------------------------------- hash tables --

bool place_keys(const TableSizes& sizes, std::span<const std::uint64_t> hashes,
                std::span<std::uint32_t> bucket_entry, std::span<std::uint8_t> control) noexcept {
  const std::size_t cap = sizes.capacity;
  const std::size_t span = sizes.group_span;
  const std::size_t ctrl = sizes.control_count;
  const std::size_t mask = sizes.probe_mask;
  if (bucket_entry.size() != cap || control.size() != ctrl || hashes.size() >= cap) return false;
  std::fill(control.begin(), control.end(), kEmptyControl);
  std::fill(bucket_entry.begin(), bucket_entry.end(), kEmptyBucket);
  const std::size_t mirrored = ctrl - cap;  // buckets below this have a mirror byte
  // The stride grows by 16 each step over a power-of-two mask, so the probe
  // visits every group start of its residue within mask + 1 steps; an empty
  // bucket exists (C > n) and is seen by one of them.
  const std::size_t max_steps = mask + 1;
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    const std::uint64_t h = hashes[i];
    const std::uint8_t tag = hash_tag(h);
    std::size_t p = static_cast<std::size_t>(h % cap);
    std::size_t stride = 0;
    for (std::size_t step = 0;; ++step) {
      const unsigned q = first_empty_in_group(control.data() + p);
      if (q < 16) {
        const std::size_t b = (p + q) % cap;
        if (bucket_entry[b] != kEmptyBucket) return false;
        control[b] = tag;
        if (b < mirrored) control[b + cap] = tag;
        bucket_entry[b] = static_cast<std::uint32_t>(i);
        break;
      }
      if (step > max_steps) return false;
      do {
        stride += 16;
        p = (p + stride) & mask;
      } while (p >= span);
    }
  }
  return true;
}

// ------------------------------------------------------------- AlignedVec --

// Large buffers (the output, big scratch blocks, the framed result) are
// offered huge pages (common/huge_pages.hpp): their first touch then faults
// once per 2 MiB instead of once per 4 KiB.

AlignedVec::AlignedVec(AlignedVec&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      owned_(std::exchange(other.owned_, true)) {}

AlignedVec& AlignedVec::operator=(AlignedVec&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    owned_ = std::exchange(other.owned_, true);
  }
  return *this;
}

AlignedVec::~AlignedVec() { release(); }

void AlignedVec::release() noexcept {
  if (data_ != nullptr && owned_) ::operator delete(data_, std::align_val_t{kAlignment});
}

void AlignedVec::lend(std::span<std::uint8_t> storage) noexcept {
  if (size_ != 0 || storage.empty()) return;
  release();
  data_ = storage.data();
  capacity_ = storage.size();
  owned_ = false;
}

void AlignedVec::reallocate(std::size_t new_capacity) {
  // Allocate first: if this throws, the buffer is unchanged.
  auto* fresh = static_cast<std::uint8_t*>(::operator new(new_capacity, std::align_val_t{kAlignment}));
  advise_huge_pages(fresh, new_capacity);
  if (size_ != 0) std::memcpy(fresh, data_, size_);
  release();
  data_ = fresh;
  capacity_ = new_capacity;
  owned_ = true;
}

void AlignedVec::reserve(std::size_t total) {
  if (total > capacity_) reallocate(total);
}

std::uint8_t* AlignedVec::grow_by(std::size_t n) {
  if (n > capacity_ - size_) {
    constexpr std::size_t kMaxCapacity = std::size_t{1} << (std::numeric_limits<std::size_t>::digits - 1);
    if (n > kMaxCapacity - size_) throw std::bad_alloc();
    reallocate(std::bit_ceil(size_ + n));
  }
  std::uint8_t* p = data_ + size_;
  size_ += n;
  return p;
}

// ------------------------------------------------------------------ Arena --

struct Arena::Block {
  Block* prev;
  std::size_t size;
};

namespace {

void free_block(void* block) noexcept { ::operator delete(block, std::align_val_t{16}); }

// The one block a thread keeps between archives, released at thread exit.
struct SpareBlock {
  void* block = nullptr;
  std::size_t size = 0;
  SpareBlock() = default;
  SpareBlock(const SpareBlock&) = delete;
  SpareBlock& operator=(const SpareBlock&) = delete;
  ~SpareBlock() {
    if (block != nullptr) free_block(block);
  }
};
thread_local SpareBlock t_spare;

}  // namespace

Arena::Arena() noexcept {
  if (t_spare.block != nullptr) {
    head_ = static_cast<Block*>(t_spare.block);
    head_->prev = nullptr;
    used_ = kBlockHeader;
    t_spare.block = nullptr;
    t_spare.size = 0;
  }
}

Arena::~Arena() {
  reset();
  if (head_ == nullptr) return;
  if (t_spare.block == nullptr) {
    t_spare.block = head_;
    t_spare.size = head_->size;
  } else if (head_->size > t_spare.size) {
    free_block(t_spare.block);
    t_spare.block = head_;
    t_spare.size = head_->size;
  } else {
    free_block(head_);
  }
  head_ = nullptr;
}

void* Arena::allocate(std::size_t size, std::size_t align) {
  static_assert(sizeof(Block) <= kBlockHeader && alignof(Block) <= 16);
  if (head_ != nullptr) {
    const std::size_t off = align_up(used_, align);
    if (off <= head_->size && size <= head_->size - off) {
      used_ = off + size;
      return reinterpret_cast<std::uint8_t*>(head_) + off;
    }
  }
  if (size > std::numeric_limits<std::size_t>::max() / 4) throw std::bad_alloc();
  std::size_t block_size = head_ != nullptr ? head_->size * 2 : kFirstBlockSize;
  const std::size_t wanted = size + align + 15;
  if (wanted >= block_size) block_size = std::bit_ceil(wanted + 1);
  void* mem = ::operator new(block_size, std::align_val_t{16});
  advise_huge_pages(mem, block_size);
  head_ = ::new (mem) Block{head_, block_size};
  const std::size_t off = align_up(kBlockHeader, align);
  used_ = off + size;
  return static_cast<std::uint8_t*>(mem) + off;
}

void Arena::reset() noexcept {
  if (head_ == nullptr) return;
  for (Block* b = head_->prev; b != nullptr;) {
    Block* prev = b->prev;
    free_block(b);
    b = prev;
  }
  head_->prev = nullptr;
  used_ = kBlockHeader;
}

std::size_t Arena::block_size() const noexcept { return head_ != nullptr ? head_->size : 0; }

std::size_t Arena::block_count() const noexcept {
  std::size_t n = 0;
  for (const Block* b = head_; b != nullptr; b = b->prev) ++n;
  return n;
}

std::size_t thread_spare_block_size() noexcept { return t_spare.block != nullptr ? t_spare.size : 0; }

// ------------------------------------------------------------- Serializer --

Serializer::Serializer(std::size_t payload_limit) noexcept : limit_(std::min(payload_limit, kPayloadLimit)) {}

void Serializer::fail(Error error) {
  if (!error_) error_ = std::move(error);
}

bool Serializer::reserve(std::size_t total) {
  if (!ok()) return false;
  if (total >= limit_) {
    fail(payload_too_large(limit_));
    return false;
  }
  buf_.reserve(total);
  return true;
}

std::uint8_t* Serializer::claim(std::size_t n) {
  if (!ok()) return nullptr;
  // Invariant: pos() < limit_, so the subtraction cannot wrap.
  if (n >= limit_ - buf_.size()) {
    fail(payload_too_large(limit_));
    return nullptr;
  }
  return buf_.grow_by(n);
}

void Serializer::pad_to(std::size_t align) {
  const std::size_t gap = align_up(pos(), align) - pos();
  if (gap == 0) return;
  std::uint8_t* p = claim(gap);
  if (ok()) std::memset(p, 0, gap);
}

void Serializer::write_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  std::uint8_t* p = claim(bytes.size());
  if (ok()) std::memcpy(p, bytes.data(), bytes.size());
}

std::size_t Serializer::write_string_bytes(std::string_view s) {
  if (s.size() >= kStringLimit) {
    fail(string_too_long(s.size()));
    return 0;
  }
  const std::size_t at = pos();
  if (s.size() > kInlineMax) write_bytes({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
  return at;
}

namespace {

// The representation of a string below the length limit, its offset not yet
// known: the inline form, or the length word followed by four zero bytes.
StringRepr unplaced_repr(std::string_view s) noexcept {
  StringRepr r;
  if (s.size() <= kInlineMax) {
    r.fill(kInlineFill);
    if (!s.empty()) std::memcpy(r.data(), s.data(), s.size());
  } else {
    r.fill(0);
    store_le(r.data(), *out_of_line_word(s.size()));
  }
  return r;
}

}  // namespace

StringRepr Serializer::string_repr(std::string_view s, std::size_t bytes_pos, std::size_t repr_pos) {
  if (s.size() >= kStringLimit) {
    fail(string_too_long(s.size()));
    return StringRepr{};
  }
  StringRepr r = unplaced_repr(s);
  if (s.size() > kInlineMax) store_le(r.data() + kStringBytesField, rel(bytes_pos, repr_pos));
  return r;
}

PendingString Serializer::write_string(std::string_view s) {
  PendingString pending;
  if (s.size() >= kStringLimit) {
    fail(string_too_long(s.size()));
    return pending;
  }
  pending.repr = unplaced_repr(s);
  if (s.size() <= kInlineMax) return pending;
  pending.bytes_pos = count(pos());
  write_bytes({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
  pending.out_of_line = true;
  return pending;
}

StringRepr Serializer::place_string(const PendingString& pending, std::size_t repr_pos) {
  StringRepr r = pending.repr;
  if (pending.out_of_line) store_le(r.data() + 4, rel(pending.bytes_pos, repr_pos));
  return r;
}

std::int32_t Serializer::rel(std::size_t target, std::size_t from) {
  auto off = relative_offset(target, from);
  if (!off) {
    fail(std::move(off.error()));
    return 0;
  }
  return *off;
}

std::uint32_t Serializer::count(std::size_t n) {
  auto c = narrow_u32(n);
  if (!c) {
    fail(std::move(c.error()));
    return 0;
  }
  return *c;
}

MapRecord Serializer::map_record(const TablePos& table, std::size_t record_pos) {
  MapRecord r{};
  if (table.empty()) {
    store_le(r.data(), kNoTarget);
    return r;
  }
  store_le(r.data(), rel(table.control, record_pos));
  store_le(r.data() + 4, table.length);
  store_le(r.data() + 8, table.capacity);
  return r;
}

Result<std::vector<std::uint8_t>> Serializer::finish(std::uint64_t format_version) {
  if (error_) return std::unexpected(*error_);
  return frame_archive(buf_.bytes(), format_version);
}

Result<FramedArchive> Serializer::finish_framed(std::uint64_t format_version) {
  if (error_) return std::unexpected(*error_);
  return FramedArchive(format_version, std::move(buf_));
}

std::array<std::uint8_t, kHeaderSize> archive_header(std::uint64_t format_version) {
  std::array<std::uint8_t, kHeaderSize> header{};
  std::memcpy(header.data(), kMagic.data(), kMagic.size());
  store_le<std::uint64_t>(header.data() + 8, format_version);
  store_le<std::uint64_t>(header.data() + 16, kHeaderSize);
  return header;
}

void FramedArchive::copy_to(std::uint8_t* out) const noexcept {
  std::memcpy(out, header_.data(), kHeaderSize);
  if (payload_.size() != 0) std::memcpy(out + kHeaderSize, payload_.data(), payload_.size());
}

std::vector<std::uint8_t> frame_archive(std::span<const std::uint8_t> payload, std::uint64_t format_version) {
  const std::array<std::uint8_t, kHeaderSize> header = archive_header(format_version);
  // Reserved once; only the 24 header bytes are zeroed before being set,
  // and the payload is copied exactly once.
  std::vector<std::uint8_t> out;
  out.reserve(kHeaderSize + payload.size());
  advise_huge_pages(out.data(), out.capacity());
  out.resize(kHeaderSize);
  std::memcpy(out.data(), header.data(), kHeaderSize);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace korvex::archive
