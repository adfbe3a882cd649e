// Reading rate of merge_from_strings, and of the document reader alone,
// next to libyaml's bare event parsing of the same text, on one large
// document and on many small ones.
//
// The text is generated here, shaped like the synthetic corpora: root lists,
// 2 to 40 fields per message (most of them few), enum ranges, message
// children, labels, packed fields, groups and extension ranges now and then,
// fields written one flow mapping per line in three documents (or messages)
// out of four and in block style in the fourth. Each figure is the best of a
// few runs, timed in processor time; the three are measured in turn within
// each run, so that a busy machine disturbs them alike. The merge figure
// includes dropping the Merged it returns. Usage: read_benchmark [megabytes]
// [runs].
#include <yaml.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/load/read.hpp"

namespace {

struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
};

const char* const kWords[] = {"account", "report", "disk", "warehouse", "integration", "rule", "group", "spec",
                              "cohort",  "replica", "table", "field",   "pool",        "signal", "change", "window"};
const char* const kScalarTypes[] = {"int32", "uint32", "sint32", "int64", "uint64", "sint64",
                                    "double", "string", "bytes",  "float"};

std::string message_name(std::uint32_t file, std::uint32_t index) {
  return "synth." + std::string(kWords[file % 16]) + "." + kWords[(file / 16) % 16] + ".v" + std::to_string(file) +
         "." + kWords[index % 16] + kWords[(index / 16) % 16] + std::to_string(index);
}

// Appends one message definition.
void append_message(std::string& out, Rng& rng, std::uint32_t file, std::uint32_t index, std::uint32_t count,
                    bool flow) {
  out += "  " + message_name(file, index) + ":\n";
  if (rng.below(100) < 1) out += "    kind: GROUP\n";
  out += "    fields:\n";
  std::uint32_t fields = 2 + std::min<std::uint32_t>(rng.below(6) + (rng.below(8) == 0 ? rng.below(33) : 0), 38);
  for (std::uint32_t f = 1; f <= fields; ++f) {
    std::uint32_t number = rng.below(50) == 0 ? 1000 + rng.below(536869911) : f + (rng.below(4) == 0 ? 1 : 0);
    std::uint32_t pick = rng.below(100);
    std::string type, extra;
    if (pick < 20) {
      type = "enum";
      extra = "range: [0, " + std::to_string(1 + rng.below(12)) + "]";
    } else if (pick < 28) {
      type = "bool";
      extra = "range: [0, 1]";
    } else if (pick < 48) {
      type = "message";
      extra = "child: " + message_name(file, rng.below(count));
    } else {
      type = kScalarTypes[rng.below(10)];
    }
    const char* label = rng.below(4) == 0 ? "repeated" : rng.below(20) == 0 ? "required" : "optional";
    bool packed = label[2] == 'p' && pick >= 48 && rng.below(2) == 0;
    if (flow) {
      out += "      - {number: " + std::to_string(number) + ", type: " + type;
      if (!extra.empty()) out += ", " + extra;
      out += std::string(", label: ") + label;
      if (packed) out += ", packed: true";
      out += "}\n";
    } else {
      out += "      - number: " + std::to_string(number) + "\n        type: " + type + "\n";
      if (!extra.empty()) out += "        " + extra + "\n";
      out += std::string("        label: ") + label + "\n";
      if (packed) out += "        packed: true\n";
    }
  }
  if (rng.below(60) == 0) out += "    ext_ranges:\n      - [1000, 536870911]\n";
}

std::string make_document(Rng& rng, std::uint32_t file, std::uint32_t messages, int flow_mode) {
  std::string out = "# scoring graph of synth file " + std::to_string(file) + " (benchmark)\n";
  out += "extension_ranges: true\nentries:\n";
  for (std::uint32_t i = 0; i < messages; i += 2) out += "  - " + message_name(file, i) + "\n";
  out += "messages:\n";
  for (std::uint32_t i = 0; i < messages; ++i) {
    bool flow = flow_mode >= 0 ? flow_mode == 1 : rng.below(4) != 0;
    append_message(out, rng, file, i, messages, flow);
  }
  return out;
}

std::size_t libyaml_events(const std::string& text) {
  yaml_parser_t parser;
  yaml_event_t event;
  yaml_parser_initialize(&parser);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::size_t events = 0;
  for (;;) {
    if (!yaml_parser_parse(&parser, &event)) {
      std::fprintf(stderr, "libyaml failed: %s\n", parser.problem);
      std::exit(1);
    }
    ++events;
    bool end = event.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&event);
    if (end) break;
  }
  yaml_parser_delete(&parser);
  return events;
}

// Processor time of the process (user and system), which other work on a
// shared machine disturbs less than the wall clock.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class F>
double seconds(F&& f) {
  double t0 = cpu_seconds();
  f();
  return cpu_seconds() - t0;
}

void report(const char* label, const std::vector<std::string>& docs, int runs) {
  std::size_t bytes = 0;
  for (const auto& d : docs) bytes += d.size();
  std::size_t events = 0, messages = 0;
  double bare = 1e300, read = 1e300, merge = 1e300;
  for (int r = 0; r < runs; ++r) {
    bare = std::min(bare, seconds([&] {
      events = 0;
      for (const auto& d : docs) events += libyaml_events(d);
    }));
    read = std::min(read, seconds([&] {
      korvex::DocumentReader reader;
      korvex::NameTable names;
      for (const auto& d : docs) {
        if (auto ok = reader.read(d, names); !ok) {
          std::fprintf(stderr, "read failed: %s\n", ok.error().message.c_str());
          std::exit(1);
        }
      }
    }));
    merge = std::min(merge, seconds([&] {
      auto merged = korvex::merge_from_strings(docs);
      if (!merged) {
        std::fprintf(stderr, "merge failed: %s\n", merged.error().message.c_str());
        std::exit(1);
      }
      messages = merged->messages.size();
    }));
  }
  double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%-22s %6.1f MB %9zu events %7zu msgs | libyaml %5.1f MB/s | reader %5.1f MB/s %.2f | "
              "merge_from_strings %5.1f MB/s %.2f\n",
              label, mb, events, messages, mb / bare, mb / read, bare / read, mb / merge, bare / merge);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double megabytes = argc > 1 ? std::atof(argv[1]) : 100.0;
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::size_t target = static_cast<std::size_t>(megabytes * 1e6);

  std::printf("rates in MB per second of processor time, best of %d runs; after each rate, its ratio to libyaml's\n",
              runs);
  {
    Rng rng{1};
    // About 560 bytes per message in the generated text.
    std::uint32_t messages = static_cast<std::uint32_t>(std::max<std::size_t>(target / 560, 10));
    std::vector<std::string> one{make_document(rng, 0, messages, -1)};
    report("1 large document", one, runs);
  }
  {
    Rng rng{2};
    std::vector<std::string> docs;
    const std::uint32_t count = 10000;
    std::uint32_t per_doc = static_cast<std::uint32_t>(std::max<std::size_t>(target / count / 560, 1));
    docs.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) docs.push_back(make_document(rng, i + 1, per_doc, i % 4 == 3 ? 0 : 1));
    report("10000 small documents", docs, runs);
  }
  return 0;
}
