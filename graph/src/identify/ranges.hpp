// Facts about one payload's nested contents, computed once per byte range
// and shared by every candidate that reads the range: what the bytes cost
// as text, their floor (the least they can cost under any reading a graph
// offers: a string, bytes, a packed run of numbers, or a message of any
// type) and their shape (the range's own top level read as a message: for
// each tag, how many fields, their floors, what they cost unknown).
//
// Floors and shapes make the bounds the search prunes with. A floor never
// exceeds the cost that match.hpp gives the same bytes under any node, and
// bound(node, shape) never exceeds the cost of the range read as `node`:
// its fields at their floors where the node declares them, exactly priced
// where it does not, which and how many fields it uses and the required
// fields it lacks exactly. So a target whose bound passes what a match may
// still cost is never parsed, and no candidate that could rank is cut.
// bound() first looks only at the node's field mask, then, if that does
// not settle it, at the node's transitions: a wrong target is usually
// ruled out by its mask alone.
//
// The text model prices each byte of valid UTF-8 by its class: printable
// ASCII kPrintableBits, tab, newline and carriage return kSpaceBits, every
// other control byte kControlBits, each byte of a multi-byte sequence
// kWideBits. Invalid UTF-8 is no text at all.
//
// Ranges are keyed by where they start and end. Every step is counted
// against the call's work budget (Work); so is the memory, one entry a
// range.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "identify/candidates.hpp"
#include "identify/model.hpp"

namespace korvex::identify {

inline constexpr double kNever = std::numeric_limits<double>::infinity();

// The text price of the bytes, or a negative number when they are not
// valid UTF-8.
double text_bits(const std::uint8_t* p, const std::uint8_t* end) noexcept;

// All fields of one tag at the top level of a range.
struct ShapeKey {
  std::uint64_t key;
  std::uint32_t count;     // fields
  std::uint32_t first;     // their contents (messages and groups only): Ranges::contents()[first, first + count)
  double floor;            // the least their values cost as a declared field
  double unknown;          // their price as unknown fields
  double opaque;           // undeclared_bits of them: an extension's price beside its number
  double as_string;        // length-delimited: their price as a string field (kNever: not all UTF-8)
  double as_bytes;         // and as a bytes field
  double tail;             // the floors of the values after the first Ranges::kBoundedValues
                           // (negative for a class's key: see Ranges::classify)
  // Made once asked for, else Ranges::kUnclassified: the classes of its
  // values (Ranges::classify), and the run of its varints or packed runs.
  std::uint32_t classes = 0xFFFFFFFF;
  std::uint32_t run = 0xFFFFFFFF;
  std::uint32_t holders = 0;  // a mixed class's key: how many of its members have it
};

struct Shape {
  std::uint32_t first = 0;  // keys [first, first + count) of Ranges::keys(), ascending by key
  std::uint32_t count = 0;
  double declared = 0;  // the sum of the keys' floors
  int depth = 0;        // of the message it is read as
  // A range of Ranges::kLongRange bytes or more: where
  // Ranges::floors_after() holds, for its i-th field in the payload's
  // order, the least the fields after it cost at all; else kNoFloors.
  std::uint32_t after = kNoFloors;
  static constexpr std::uint32_t kNoFloors = 0xFFFFFFFF;
};

// The content of a length-delimited field or group, or a varint: offsets
// from the payload's start, and the size of a length-delimited one's
// length prefix.
struct Content {
  std::uint32_t begin, end;
  std::uint8_t length_bytes;  // of its length prefix; 0 for a group
};

// Values of one key whose top levels have the same keys, each as many
// times: a class, bounded as one. Its shape is theirs summed: each key's
// count, floors and prices over all members, and all their contents, the
// members' side by side.
struct Class {
  Shape shape;
  std::uint32_t members;
  double lengths;  // the gamma codes of the members' lengths (length-delimited values)
  // Members of different keys (when they fall into too many classes): each
  // key's count is the members' together, with how many members have it,
  // and a bound counts each member's presence at the least of the numbers
  // of fields it may use (from how many keys it has, which the class keeps),
  // and the counts of values at the least their holders pay (a repeated
  // field's count at least a bit each, a single one's values beyond one a
  // member at their extra price). kNoMix: not mixed.
  std::uint32_t mix = kNoMix;
  static constexpr std::uint32_t kNoMix = 0xFFFFFFFF;
};

class Ranges {
 public:
  // For the payload [begin, end).
  Ranges(const Candidates& candidates, const std::uint8_t* begin, const std::uint8_t* end, Work& work);

  // text_bits of [p, end), remembered.
  double text(const std::uint8_t* p, const std::uint8_t* end);
  // The content [p, end) of a string or bytes field as its parse prices it
  // (its length apart): a string by its text, kNever when it is not
  // UTF-8; bytes one bit for "text or not", then the cheaper of its text
  // and kOpaqueBits a byte.
  double leaf_content(const std::uint8_t* p, const std::uint8_t* end, bool is_string) {
    return content_bits(text(p, end), static_cast<std::size_t>(end - p), is_string);
  }
  // The same from its text_bits (below 0: not UTF-8) and its size.
  static double content_bits(double text, std::size_t bytes, bool is_string) noexcept {
    if (is_string) return text >= 0 ? text : kNever;
    const double opaque = kOpaqueBits * static_cast<double>(bytes);
    return 1 + (text >= 0 ? std::min(text, opaque) : opaque);
  }
  // The floor of the content [p, end) (not empty) of a length-delimited
  // field at `depth` (its length not included), over the readings the
  // nodes declaring the field offer (Candidates::readings); kNever when
  // none can read it.
  double floor(const std::uint8_t* p, const std::uint8_t* end, int depth, std::uint8_t readings);
  // The floor of one field's value at p (after its tag) read with `wire`,
  // the length of a length-delimited value included; `end` bounds it. A
  // group's value is its fields up to the end tag of `field`.
  double value_floor(std::uint32_t field, std::uint8_t wire, const std::uint8_t* p, const std::uint8_t* end,
                     int depth);
  // The top level of [p, end) read as a message at `depth`, or nullptr
  // when it is not wire format there; and the floor of that reading
  // (kNever when there is none).
  const Shape* shape(const std::uint8_t* p, const std::uint8_t* end, int depth);
  double message_floor(const std::uint8_t* p, const std::uint8_t* end, int depth);
  // The varints of some ranges as one packed run: a histogram of their
  // values by class (run_of_all), made once and priced for each leaf.
  // run_bits gives a lower bound of what they cost as values of `leaf`
  // (lengths not included): exact for an integer leaf, and for a range
  // leaf whose range holds or misses each class whole (`exact` says so);
  // kNever when a range is not a run of varints (or past the memory
  // budget). `count` gets the number of values, `outside` (when exact)
  // how many of them a range leaf's range does not hold.
  std::uint32_t run_of_all(std::span<const std::span<const std::uint8_t>> parts);
  // With the run's `bytes` (one part), exact for every leaf.
  double run_bits(std::uint32_t run, const NodeInfo& leaf, std::uint32_t& count, bool& exact,
                  std::uint32_t* outside = nullptr, std::span<const std::uint8_t> bytes = {});
  // run_bits of the packed run [p, end), its run made once, when parses
  // have read as many bytes of it as it holds (read); else kNever, not
  // exact. kNoRun when it is not a run of varints: every parse of it fails.
  // (A run that parses give up on early, priced dear, is not read whole
  // until they have read that much of it between them: its values are
  // then counted once rather than read again by every target.)
  double packed_bits(const std::uint8_t* p, const std::uint8_t* end, const NodeInfo& leaf, std::uint32_t& count,
                     bool& exact, std::uint32_t& outside);
  static constexpr double kNoRun = -1;
  // A parse has read `bytes` of the packed run [p, end).
  void read(const std::uint8_t* p, const std::uint8_t* end, std::ptrdiff_t bytes);
  // The run of the packed run [p, end), made once (kNotWire when it is
  // not a run of varints).
  std::uint32_t packed_run(const std::uint8_t* p, const std::uint8_t* end);
  std::span<const ShapeKey> keys(const Shape& s) const noexcept {
    return std::span(keys_).subspan(s.first, s.count);
  }
  // Where the j-th value of key k lies (j below k.count).
  Content content(const ShapeKey& k, std::uint32_t j) const noexcept { return contents_[k.first + j]; }
  // The least the range of `s` costs as a message of `node` (its length
  // not included); kNever when the node cannot read it (a declared field
  // with a wire type it does not take, a nested one that is not wire
  // format). Nested messages and groups of declared fields are bounded
  // the same way, `levels` - 1 levels deep; below, they count at their
  // floors. May stop early, with any number above `limit`, once the
  // answer is known to pass it.
  // `members`: s is a class of that many values (Class), and the answer
  // bounds their costs summed.
  double bound(std::uint32_t node, Shape s, double limit, int levels = kBoundLevels, std::uint32_t members = 1,
               std::uint32_t mix = Class::kNoMix);
  static constexpr int kBoundLevels = 2;
  // The classes of `values` (of one key, read with `wire`, 2 or 3) at
  // `depth`, for classes(); or kUnreadable when one of them is not wire
  // format. Values of more than kBoundedClasses kinds make one mixed class
  // (kManyClasses only past the work budget).
  // A bound by classes is as tight as one value by one, and a list of a
  // thousand values of a few shapes costs each target a few shapes.
  std::uint32_t classify(std::span<const Content> values, std::uint8_t wire, int depth);
  std::span<const Class> classes(std::uint32_t set) const noexcept {
    return std::span(classes_).subspan(sets_[set].first, sets_[set].count);
  }
  static constexpr std::uint32_t kBoundedClasses = 16;
  static constexpr std::uint32_t kUnclassified = 0xFFFFFFFF;  // not asked for yet
  static constexpr std::uint32_t kUnreadable = 0xFFFFFFFE;
  static constexpr std::uint32_t kManyClasses = 0xFFFFFFFD;
  // Varint keys of up to kExactVarints fields are priced exactly in
  // bounds, value by value; of kRunFrom or more, by one run of them all
  // (run_of_all), made once; in between at their floors (a run costs more
  // to make than a few dozen values do to price, and is seldom needed).
  static constexpr std::uint32_t kExactVarints = 8;
  static constexpr std::uint32_t kRunFrom = 64;
  // What the fields of a long range after its i-th cost at least, at
  // s.after + i (s.after set): a parse of the range through a node stops
  // as soon as its cost so far and that pass its limit.
  double floors_after(std::uint32_t at) const noexcept { return at < after_.size() ? after_[at] : 0.0; }
  // A range of this many bytes or more is long: it keeps those floors, and
  // a parse bounds it before reading it and remembers the result (a
  // shorter one is parsed about as cheaply as that is done).
  static constexpr std::ptrdiff_t kLongRange = 1024;
  // A nested bound reads the shapes of this many values of a key; of
  // more, it reads their classes (classify), or when they are too many
  // (above kBoundedClasses), these first values, the others at their
  // floors: a list of thousands inside a message costs each target a few
  // shapes, not all of its values.
  static constexpr std::uint32_t kBoundedValues = 16;

 private:
  struct Entry {
    std::uint32_t end = 0;      // the range's, an offset from the payload's start
    std::uint32_t next = kNone;  // the next entry of a range with the same start
    double text = 0;
    double floor = 0;
    double message = 0;           // the floor as a message, once shape is known
    std::uint32_t shape = kNone;  // index into shapes_, kNone (not yet), kNotWire
    bool has_text = false, has_floor = false;
  };
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  static constexpr std::uint32_t kNotWire = 0xFFFFFFFE;

  // The entry of [p, end); references stay valid until the next call.
  Entry& entry(const std::uint8_t* p, const std::uint8_t* end);
  // The key of [p, end) in the tables by range (the packed runs', and
  // the last entry found): its offsets from the payload's start.
  std::uint64_t range_key(const std::uint8_t* p, const std::uint8_t* end) const noexcept {
    return static_cast<std::uint64_t>(p - begin_) << 32 | static_cast<std::uint64_t>(end - begin_);
  }
  // The slot of `key` in an open-addressing table of records whose `key` is
  // kEmpty when free (linear probing, power-of-two size): the one holding
  // it, else the free one where it goes. With `grow`, the table doubles
  // first; kNoSlot when that would pass the work's memory budget.
  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  template <class Record>
  std::size_t slot_of(std::vector<Record>& table, std::uint64_t key, bool grow);
  // Reads [p, end) as a message at `depth` into shapes_ and returns its
  // index with the message's floor, or kNotWire.
  std::uint32_t read_message(const std::uint8_t* p, const std::uint8_t* end, int depth, double& floor);
  // The floor of a group's fields from p to its end tag (of `field`),
  // and where it ends; nullptr when it does not end well.
  const std::uint8_t* group_floor(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field, int depth,
                                  double& floor);
  // The floor of [p, end) as a packed run of varints (kNever when it is
  // not one), or any number past `limit` once it passes it.
  double packed_floor(const std::uint8_t* p, const std::uint8_t* end, double limit);
  const std::uint8_t* skip_group(const std::uint8_t* p, const std::uint8_t* end, std::uint32_t field, int depth);

  const Candidates& candidates_;
  const std::uint8_t* begin_;
  const std::uint8_t* end_;
  Work& work_;
  // The entries, found by where their ranges start: by_start_[page +
  // offset % kPage], where page_of_[offset / kPage] is the page's start,
  // is the last made of those starting there (kNone: none yet). Pages are
  // filled on first use: a payload of big opaque fields has entries in few
  // of them, and filling one index for every byte at every call was a
  // third of the time of a 60 KB field of random bytes. (An open-addressing
  // table of them cost big objects a tenth of their work, hashing and
  // probing.)
  static constexpr std::size_t kPage = 512;
  std::vector<std::uint32_t> page_of_;
  std::vector<std::uint32_t> by_start_;
  std::vector<Entry> entries_;
  std::uint64_t last_key_ = kEmpty;  // the last range entry() found, and where
  std::size_t last_slot_ = 0;
  Entry scratch_;  // handed out, unremembered, once memory runs out
  std::vector<Shape> shapes_;
  std::vector<ShapeKey> keys_;
  std::vector<Content> contents_;
  std::vector<double> after_;  // see Shape::after
  struct ClassSet {
    std::uint32_t first, count;
  };
  std::vector<Class> classes_;
  std::vector<ClassSet> sets_;
  // Scratch of classify: the values, and each one's class and keys.
  std::vector<Content> class_values_;
  std::vector<std::uint32_t> member_class_, member_keys_;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> mixed_keys_;  // (key, index in keys_) of every value
  std::uint32_t mixed_class(std::uint8_t wire, int depth);
  // A class's key of `count` values, its contents to come at `at` (which
  // moves past them); then each member's key (keys_[one_at]) added to it
  // (keys_[into]): its contents at the class key's cursor, which moves
  // past them, its sums, and its floor to the class shape's; then every
  // cursor of the class's keys moved back to its start.
  ShapeKey& add_class_key(std::uint64_t key, std::uint32_t count, std::uint32_t& at);
  void merge(std::size_t into, std::uint32_t one_at, Shape& shape);
  void rewind(const Shape& s);
  // Per mixed class (Class::mix), how many members have each number of
  // keys: (keys, members) pairs, key_counts_[first, first + count).
  struct Mix {
    std::uint32_t first, count;
  };
  std::vector<Mix> mixes_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> key_counts_;
  std::vector<std::span<const std::uint8_t>> run_parts_;  // scratch of bound: a key's varints
  // Runs of varints read as packed values: how many values 0 .. v there
  // are for each v below 128 (one byte each, or more when written
  // overlong), and how many values and bytes of each other class (by signed value:
  // below -2^31, -2^31 .. -1, 128 .. 2^14 - 1, 2^14 .. 2^31 - 1,
  // 2^31 .. 2^32 - 1, 2^32 and up), which a range leaf's range holds or
  // misses whole, or not.
  static constexpr int kClasses = 6;
  struct Run {
    std::uint32_t small[128];
    std::uint32_t values[kClasses];
    std::uint64_t bytes[kClasses];
    std::uint8_t present[128];  // the one-byte values that occur, ascending
    std::uint32_t distinct;     // how many
    double lengths;             // the gamma codes of the parts' lengths, as packed runs
    // The values from 128 on, by what an integer leaf's price and range
    // depend on (length, bit width of v + 1, from 2^62 on or not, inside
    // uint32 and int32 or not), and those written overlong by length and
    // value; each with one of them to price the others by.
    struct Wide {
      std::uint32_t key, count;
      std::uint64_t sample;
    };
    std::vector<Wide> wide;
    // Its values of 128 .. 2^14 - 1, listed for ranges that cut them
    // (run_bits).
    bool listed_twos = false;
    std::vector<std::uint32_t> twos;
  };
  std::vector<Run> runs_;
  // Scratch of run_of_all: Run::wide as it is counted, an open-addressing
  // table (power-of-two size, at most half full) left empty between runs,
  // and the slots in use.
  std::vector<Run::Wide> wide_slots_;
  std::vector<std::uint32_t> wide_used_;
  void count_wide(std::uint32_t key, std::uint64_t v);
  // The runs of packed runs read by parses, by range, with the bytes of
  // it they have read.
  struct RunSlot {
    std::uint64_t key = kEmpty;
    std::uint32_t run = kNone;
    std::uint64_t read = 0;
  };
  std::vector<RunSlot> run_slots_;
  std::size_t run_slots_used_ = 0;
  RunSlot* run_slot(const std::uint8_t* p, const std::uint8_t* end);  // found or made; nullptr past the budget
  std::uint32_t run_made(RunSlot& slot, const std::uint8_t* p, const std::uint8_t* end);  // its run, made once
  // Scratch of read_message: one field each, sorted into keys.
  struct Field {
    std::uint64_t key;
    double floor, unknown, opaque, any, as_string, as_bytes;
    Content content;
  };
  std::vector<Field> fields_;
};

}  // namespace korvex::identify
