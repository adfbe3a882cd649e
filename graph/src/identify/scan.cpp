#include "identify/scan.hpp"

#include <algorithm>
#include <string>

namespace korvex::identify {

namespace {

class Scanner {
 public:
  explicit Scanner(std::span<const std::uint8_t> payload) : begin_(payload.data()), end_(begin_ + payload.size()) {}

  Result<void> run(TopLevel& out) {
    const std::uint8_t* p = begin_;
    std::vector<std::pair<std::uint64_t, Occurrence>> fields;
    while (p < end_) {
      const std::uint8_t* at = p;
      std::uint32_t field;
      std::uint8_t wire;
      if (!tag(p, field, wire)) return problem();
      if (wire == 4) return fail("end-group tag without a group", at);
      const std::uint8_t* value_at = p;
      if (!value(p, at, field, wire, 1)) return problem();
      fields.emplace_back(tag_key(field, wire), Occurrence{offset(at), offset(value_at), offset(p)});
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

 private:
  std::uint32_t offset(const std::uint8_t* p) const { return static_cast<std::uint32_t>(p - begin_); }
  Result<void> problem() const { return fail(what_, where_); }
  Result<void> fail(const char* what, const std::uint8_t* at) const {
    return korvex::fail("not protobuf wire format: " + std::string(what) + " at byte offset " +
                        std::to_string(at - begin_));
  }
  bool stop(const char* what, const std::uint8_t* at) {
    what_ = what;
    where_ = at;
    return false;
  }

  bool varint(const std::uint8_t*& p, std::uint64_t& out) {
    const std::uint8_t* at = p;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 10; ++i) {
      if (p == end_) return stop("truncated varint", at);
      const std::uint8_t b = *p++;
      v |= std::uint64_t{b & 0x7Fu} << (7 * i);
      if (b < 0x80) {
        out = v;
        return true;
      }
    }
    return stop("varint longer than ten bytes", at);
  }

  bool tag(const std::uint8_t*& p, std::uint32_t& field, std::uint8_t& wire) {
    const std::uint8_t* at = p;
    std::uint64_t t;
    if (!varint(p, t)) return false;
    if ((t >> 3) == 0 || (t >> 3) > kMaxField) return stop("invalid field number", at);
    if ((t & 7) > 5) return stop("invalid wire type", at);
    field = static_cast<std::uint32_t>(t >> 3);
    wire = static_cast<std::uint8_t>(t & 7);
    return true;
  }

  // The value after the tag at `tag_at`; a group is followed to its end
  // tag, each level one deeper.
  bool value(const std::uint8_t*& p, const std::uint8_t* tag_at, std::uint32_t field, std::uint8_t wire, int depth) {
    std::uint64_t v;
    switch (wire) {
      case 0: return varint(p, v);
      case 1:
      case 5: {
        const std::size_t width = wire == 1 ? 8 : 4;
        if (static_cast<std::size_t>(end_ - p) < width) return stop("truncated fixed-width value", p);
        p += width;
        return true;
      }
      case 2: {
        const std::uint8_t* at = p;
        if (!varint(p, v)) return false;
        if (v > static_cast<std::uint64_t>(end_ - p))
          return stop("length runs past the end of the enclosing message", at);
        p += v;
        return true;
      }
      default: {  // 3, a group
        if (depth > kMaxDepth) return stop("groups nested too deep", tag_at);
        while (true) {
          if (p == end_) return stop("group not terminated", p);
          const std::uint8_t* at = p;
          std::uint32_t f;
          std::uint8_t w;
          if (!tag(p, f, w)) return false;
          if (w == 4) {
            if (f != field) return stop("end-group tag of another field", at);
            return true;
          }
          if (!value(p, at, f, w, depth + 1)) return false;
        }
      }
    }
  }

  const std::uint8_t* begin_;
  const std::uint8_t* end_;
  const char* what_ = "";
  const std::uint8_t* where_ = nullptr;
};

}  // namespace

Result<void> scan(std::span<const std::uint8_t> payload, TopLevel& out) {
  out = TopLevel{};
  return Scanner(payload).run(out);
}

}  // namespace korvex::identify
