// EventSource: libyaml's parser behind a loop of light event views, the
// alias tape, and the nesting and expansion budgets.
#include "build_scoring_graph/load/event_source.hpp"

#include <algorithm>
#include <cstdio>

namespace korvex::yaml_read {
namespace {

Tag classify_tag(const yaml_char_t* tag) {
  if (tag == nullptr) return Tag::none;
  std::string_view t(reinterpret_cast<const char*>(tag));
  if (t == "!" || t == YAML_STR_TAG) return Tag::str;
  if (t == YAML_INT_TAG) return Tag::int_;
  if (t == YAML_BOOL_TAG) return Tag::bool_;
  if (t == YAML_NULL_TAG) return Tag::null;
  if (t == YAML_FLOAT_TAG) return Tag::float_;
  return Tag::other;
}

// Expansion sizes can grow exponentially with nested aliases; they saturate.
inline constexpr std::uint64_t kWeightCap = std::uint64_t{1} << 62;
std::uint64_t add_weight(std::uint64_t a, std::uint64_t b) { return std::min(kWeightCap, a + b); }

// Byte offset -> line and column (characters), for libyaml's reader errors,
// which carry only an offset.
Mark mark_of_offset(std::string_view text, std::size_t offset) {
  Mark m;
  offset = std::min(offset, text.size());
  for (std::size_t i = 0; i < offset; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++m.line;
      m.column = 0;
    } else if ((c & 0xC0) != 0x80 && c != '\r') {
      ++m.column;
    }
  }
  return m;
}

}  // namespace

EventSource::EventSource(std::string_view text, Tape& tape)
    : text_(text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text),
      tape_(tape.entries),
      tape_text_(tape.text),
      defs_(tape.defs),
      anchors_(tape.anchors),
      open_(tape.open),
      replay_(tape.replay) {
  tape.clear();
  if (!yaml_parser_initialize(&parser_)) throw ReadError{"out of memory while starting the YAML parser"};
  yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text_.data()), text_.size());
  yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
}

EventSource::~EventSource() {
  if (have_event_) yaml_event_delete(&event_);
  yaml_parser_delete(&parser_);
}

void EventSource::start() {
  parse();
  if (event_.type != YAML_STREAM_START_EVENT) throw ReadError{"unexpected first YAML event"};
  parse();
  if (event_.type == YAML_STREAM_END_EVENT) throw_at(start_mark(), "expected a YAML document, found the end of the input");
  if (event_.type != YAML_DOCUMENT_START_EVENT) throw_at(start_mark(), "expected the start of a YAML document");
}

void EventSource::finish() {
  parse();
  if (event_.type != YAML_DOCUMENT_END_EVENT) throw_at(start_mark(), "expected the end of the document");
  parse();
  if (event_.type == YAML_DOCUMENT_START_EVENT)
    throw_at(start_mark(), "expected the end of the input after the document, found a second document");
  if (event_.type != YAML_STREAM_END_EVENT) throw_at(start_mark(), "expected the end of the input");
}

ReadWork EventSource::work() const { return ReadWork{parsed_, parser_.mark.index}; }

void EventSource::charge(std::uint64_t events, std::uint64_t bytes, Mark mark) {
  replayed_ = add_weight(replayed_, events);
  replayed_bytes_ = add_weight(replayed_bytes_, bytes);
  if (replayed_ > kReplayFactor * parsed_ + kReplaySlack)
    throw_at(mark, cat("aliases expand to too many nodes (more than ", kReplayFactor,
                       " replayed events per parsed event)"));
  if (replayed_bytes_ > kReplayFactor * text_.size() + kReplayByteSlack)
    throw_at(mark, cat("aliases expand to too much text (more than ", kReplayFactor,
                       " replayed bytes per byte of input)"));
}

void EventSource::parse() {
  if (have_event_) {
    yaml_event_delete(&event_);
    have_event_ = false;
  }
  if (!yaml_parser_parse(&parser_, &event_)) throw ReadError{parser_error()};
  have_event_ = true;
  ++parsed_;
}

std::string EventSource::parser_error() const {
  switch (parser_.error) {
    case YAML_MEMORY_ERROR:
      return "out of memory while parsing YAML";
    case YAML_READER_ERROR: {
      std::string out = cat(at(mark_of_offset(text_, parser_.problem_offset)), "invalid input: ",
                            parser_.problem ? parser_.problem : "unreadable text");
      if (parser_.problem_value != -1) {
        char buf[48];
        std::snprintf(buf, sizeof buf, " (#x%X at byte offset ", static_cast<unsigned>(parser_.problem_value));
        out += buf;
        out += cat(parser_.problem_offset, ")");
      }
      return out;
    }
    default: {
      Mark m{parser_.problem_mark.line, parser_.problem_mark.column};
      std::string out = cat(at(m), "YAML syntax error: ", parser_.problem ? parser_.problem : "unknown problem");
      if (parser_.context) {
        out += cat(" (", parser_.context, " that started at line ", parser_.context_mark.line + 1, ", column ",
                   parser_.context_mark.column + 1, ")");
      }
      return out;
    }
  }
}

Ev EventSource::next_replayed() {
  Cursor& c = replay_.back();
  const TapeEntry& t = tape_[c.pos++];
  Mark use = c.use;
  if (c.pos == c.end) replay_.pop_back();
  charge(1, t.text_size, use);
  Ev ev;
  ev.type = t.type;
  ev.plain = t.plain;
  ev.tag = t.tag;
  ev.text = std::string_view(tape_text_).substr(t.text, t.text_size);
  if (t.tag_size > 0) ev.tag_text = std::string_view(tape_text_).substr(t.tag_text, t.tag_size);
  ev.mark = t.mark;
  ev.def = t.def;
  ev.use = use;
  return ev;
}

// Event types are tested in the order of their frequency in a document:
// scalars, then collection ends, then starts.
Ev EventSource::next_parsed() {
  parse();
  Ev ev;
  ev.mark = start_mark();
  const yaml_event_type_t type = event_.type;
  const yaml_char_t* anchor = nullptr;
  if (type == YAML_SCALAR_EVENT) {
    ev.type = EvType::scalar;
    ev.plain = event_.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
    ev.text = std::string_view(reinterpret_cast<const char*>(event_.data.scalar.value), event_.data.scalar.length);
    if (event_.data.scalar.tag != nullptr) {
      ev.tag = classify_tag(event_.data.scalar.tag);
      if (ev.tag == Tag::other) ev.tag_text = reinterpret_cast<const char*>(event_.data.scalar.tag);
    }
    anchor = event_.data.scalar.anchor;
  } else if (type == YAML_MAPPING_END_EVENT || type == YAML_SEQUENCE_END_EVENT) {
    ev.type = type == YAML_SEQUENCE_END_EVENT ? EvType::seq_end : EvType::map_end;
    if (!open_.empty()) record(ev, nullptr);
    --depth_;
    return ev;
  } else if (type == YAML_MAPPING_START_EVENT || type == YAML_SEQUENCE_START_EVENT) {
    ev.type = type == YAML_SEQUENCE_START_EVENT ? EvType::seq_start : EvType::map_start;
    if (++depth_ > kMaxNestingDepth)
      throw_at(ev.mark, cat("collections nested more than ", kMaxNestingDepth, " levels deep"));
    anchor = ev.type == EvType::seq_start ? event_.data.sequence_start.anchor : event_.data.mapping_start.anchor;
  } else if (type == YAML_ALIAS_EVENT) {
    ev.type = EvType::alias;
    ev.use = ev.mark;
    std::string_view name(reinterpret_cast<const char*>(event_.data.alias.anchor));
    auto it = anchors_.find(std::string(name));
    if (it == anchors_.end()) throw_at(ev.mark, cat("alias ", quote(cat('*', name)), " refers to an undefined anchor"));
    if (defs_[it->second].open)
      throw_at(ev.mark, cat("alias ", quote(cat('*', name)), " refers to a node that contains it (recursive alias)"));
    ev.def = it->second;
  } else {
    throw_at(ev.mark, "unexpected YAML event inside the document");
  }
  if (anchor != nullptr || !open_.empty()) record(ev, anchor);
  return ev;
}

// Appends the event to the tape while an anchored node is being parsed,
// and opens or closes anchor definitions.
void EventSource::record(const Ev& ev, const yaml_char_t* anchor) {
  if (anchor != nullptr) {
    std::size_t def = defs_.size();
    defs_.push_back(AnchorDef{tape_.size(), 0, recorded_weight_, recorded_bytes_, true});
    anchors_.insert_or_assign(std::string(reinterpret_cast<const char*>(anchor)), def);
    if (ev.type == EvType::scalar) {
      push_tape(ev);
      close(defs_[def]);
      return;
    }
    open_.push_back(OpenAnchor{def, depth_});
  }
  if (open_.empty()) return;
  push_tape(ev);
  if (ev.type == EvType::seq_end || ev.type == EvType::map_end) {
    while (!open_.empty() && open_.back().depth == depth_) {
      close(defs_[open_.back().def]);
      open_.pop_back();
    }
  }
}

void EventSource::push_tape(const Ev& ev) {
  TapeEntry t{ev.type, ev.plain, ev.tag, tape_text_.size(), ev.text.size(), 0, 0, ev.mark, ev.def};
  tape_text_.append(ev.text);
  if (!ev.tag_text.empty()) {
    t.tag_text = tape_text_.size();
    t.tag_size = ev.tag_text.size();
    tape_text_.append(ev.tag_text);
  }
  tape_.push_back(t);
  // An alias entry stands for its whole expansion; any other entry is one
  // event and its own text.
  if (ev.type == EvType::alias) {
    recorded_weight_ = add_weight(recorded_weight_, defs_[ev.def].weight);
    recorded_bytes_ = add_weight(recorded_bytes_, defs_[ev.def].bytes);
  } else {
    recorded_weight_ = add_weight(recorded_weight_, 1);
    recorded_bytes_ = add_weight(recorded_bytes_, ev.text.size());
  }
}

void EventSource::close(AnchorDef& d) {
  d.end = tape_.size();
  d.weight = recorded_weight_ - d.weight;
  d.bytes = recorded_bytes_ - d.bytes;
  d.open = false;
}

}  // namespace korvex::yaml_read
