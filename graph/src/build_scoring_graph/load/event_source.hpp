// The node events of one YAML document, from libyaml, with aliases resolved
// on demand and every expansion bounded.
//
// EventSource turns libyaml's events (or replayed copies of them) into light
// views (Ev). Anchored nodes are recorded on a tape while they are parsed:
// an anchor names a range of the tape, an alias replays that range, and an
// alias inside a recorded node is stored as the definition it names then,
// because an anchor may be redefined later in the stream. The tape keeps
// each parsed event at most once, so it is never larger than the input.
//
// The budgets of read_limits.hpp are kept here: nesting depth (libyaml
// itself slows down quadratically on deep flow collections, so the parser
// must stop early), replayed events and replayed scalar bytes. An alias in
// a value that is skipped is not replayed but is charged as if it were, so
// that a bomb fails wherever it stands. Errors are thrown as ReadError
// (read_error.hpp).
#pragma once

#include <yaml.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "build_scoring_graph/load/read_error.hpp"
#include "build_scoring_graph/load/read_limits.hpp"

namespace korvex::yaml_read {

enum class EvType : std::uint8_t { scalar, seq_start, seq_end, map_start, map_end, alias };

// The tag of a node, as far as the core schema cares.
enum class Tag : std::uint8_t { none, str, int_, bool_, null, float_, other };

// A view of one node event. Valid until the next call of EventSource::next.
struct Ev {
  EvType type = EvType::scalar;
  bool plain = false;  // a plain (unquoted, non-block) scalar
  Tag tag = Tag::none;
  std::string_view text;      // scalar value
  std::string_view tag_text;  // only for Tag::other
  Mark mark;
  std::size_t def = 0;  // alias: the anchor definition it stands for
  // Alias: where the outermost alias being replayed stands, else `mark`.
  Mark use;
};

// The recorded events of anchored nodes, and what replays them. An
// EventSource empties it when it starts and leaves it as it ends: its
// storage serves the next document.
struct Tape {
  struct Entry {
    EvType type;
    bool plain;
    Tag tag;
    std::size_t text, text_size;  // in `text`
    std::size_t tag_text, tag_size;
    Mark mark;
    std::size_t def;  // alias entries
  };
  struct AnchorDef {
    std::size_t begin = 0, end = 0;  // tape range
    // Events and scalar bytes of the node once all aliases in it are
    // expanded. While the definition is open they hold the recorded totals
    // at its start.
    std::uint64_t weight = 0, bytes = 0;
    bool open = true;
  };
  struct Cursor {
    std::size_t pos, end;
    Mark use;
  };
  struct OpenAnchor {
    std::size_t def;
    int depth;
  };

  std::vector<Entry> entries;
  std::string text;
  std::vector<AnchorDef> defs;
  std::unordered_map<std::string, std::size_t> anchors;  // name -> latest definition
  std::vector<OpenAnchor> open;
  std::vector<Cursor> replay;

  void clear() {
    entries.clear();
    text.clear();
    defs.clear();
    // Emptying a map visits all its buckets: one that a document of many
    // anchors grew is dropped rather than emptied at every later document.
    if (anchors.bucket_count() > 1024)
      anchors = {};
    else
      anchors.clear();
    open.clear();
    replay.clear();
  }
};

class EventSource {
 public:
  // A leading UTF-8 byte order mark is dropped here: libyaml skips it only
  // when it detects the encoding itself, and it must not detect UTF-16.
  // `tape` is emptied and then used for this document's anchors.
  EventSource(std::string_view text, Tape& tape);
  ~EventSource();
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  // Stream start and document start; fails when the stream holds no document.
  void start();

  // After the root node: document end, then the end of the stream. Parsing
  // goes on to the very end so that any later syntax error is reported.
  void finish();

  // The next node event of the document, from a replayed alias or from the
  // parser. Aliases are returned as such; replay() expands one.
  Ev next() {
    if (!replay_.empty()) return next_replayed();
    return next_parsed();
  }

  // Charges an alias that is skipped rather than replayed as if all of its
  // expansion had been replayed, so that where an alias stands does not
  // change whether the document is accepted.
  void charge_skipped(const Ev& alias) {
    const AnchorDef& d = defs_[alias.def];
    charge(d.weight, d.bytes, alias.use);
  }

  // Makes the following next() calls return the node an alias stands for.
  void replay(const Ev& alias) {
    const AnchorDef& d = defs_[alias.def];
    if (d.begin < d.end) replay_.push_back(Cursor{d.begin, d.end, alias.use});
  }

  // Type of the first event an alias stands for.
  EvType alias_type(const Ev& alias) const { return tape_[defs_[alias.def].begin].type; }

  ReadWork work() const;

 private:
  using TapeEntry = Tape::Entry;
  using AnchorDef = Tape::AnchorDef;
  using Cursor = Tape::Cursor;
  using OpenAnchor = Tape::OpenAnchor;

  Ev next_parsed();
  Ev next_replayed();
  void charge(std::uint64_t events, std::uint64_t bytes, Mark mark);
  // Read as two words: libyaml has just stored the mark field by field, and
  // one 16-byte load across two of those stores (what a compiler makes of a
  // plain copy) cannot take their values from the store buffer but waits
  // for them to reach the cache, at every event.
  Mark start_mark() const {
    std::size_t line = event_.start_mark.line, column = event_.start_mark.column;
#if defined(__GNUC__)
    asm("" : "+r"(line), "+r"(column));
#endif
    return Mark{line, column};
  }
  void parse();
  std::string parser_error() const;
  void record(const Ev& ev, const yaml_char_t* anchor);
  void push_tape(const Ev& ev);
  void close(AnchorDef& d);

  std::string_view text_;
  yaml_parser_t parser_;
  yaml_event_t event_;
  bool have_event_ = false;
  int depth_ = 0;
  std::size_t parsed_ = 0;
  std::uint64_t replayed_ = 0, replayed_bytes_ = 0;
  std::uint64_t recorded_weight_ = 0, recorded_bytes_ = 0;  // totals over all tape entries
  std::vector<TapeEntry>& tape_;
  std::string& tape_text_;
  std::vector<AnchorDef>& defs_;
  std::unordered_map<std::string, std::size_t>& anchors_;
  std::vector<OpenAnchor>& open_;
  std::vector<Cursor>& replay_;
};

}  // namespace korvex::yaml_read
