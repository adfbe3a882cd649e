// Reading one document (typing, schema, reading errors, aliases, limits)
// and normalising its messages (every message of the normalisation, to the
// byte).
#include "build_scoring_graph/load/normalize.hpp"
#include "build_scoring_graph/load/read.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace korvex {
namespace {

::testing::AssertionResult Contains(const char* text_expr, const char*, const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << text_expr << " is \"" << text << "\", without \"" << part << "\"";
}
::testing::AssertionResult StartsWith(const char* text_expr, const char*, const std::string& text,
                                      const std::string& part) {
  if (text.starts_with(part)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << text_expr << " is \"" << text << "\", not starting with \"" << part << "\"";
}
#define EXPECT_CONTAINS(text, part) EXPECT_PRED_FORMAT2(Contains, text, part)
#define EXPECT_STARTS_WITH(text, part) EXPECT_PRED_FORMAT2(StartsWith, text, part)

// A document with one message "pkg.M" holding one field entry whose body
// (the text inside the flow mapping) is given.
std::string one_field(const std::string& body) {
  return "entries: [pkg.M]\nmessages:\n  pkg.M:\n    fields:\n      - {" + body + "}\n";
}

// Reads a document that must be valid and returns its only message.
YamlMessage only_message(const std::string& text) {
  auto file = read_document(text);
  EXPECT_TRUE(file.has_value()) << (file ? "" : file.error().message) << "\n--- input:\n" << text;
  if (!file || file->messages.size() != 1) return {};
  return std::move(file->messages[0].second);
}

std::string read_error(const std::string& text) {
  auto file = read_document(text);
  EXPECT_FALSE(file.has_value()) << "read without error:\n" << text;
  return file ? std::string() : file.error().message;
}

std::string normalize_error(const std::string& text) {
  auto file = read_document(text);
  EXPECT_TRUE(file.has_value()) << (file ? "" : file.error().message);
  if (!file) return {};
  for (auto& [name, message] : file->messages) {
    auto n = normalize_message(name, std::move(message));
    if (!n) return n.error().message;
  }
  ADD_FAILURE() << "normalised without error:\n" << text;
  return {};
}

NormalizedMessage normalized(const std::string& text) {
  YamlMessage m = only_message(text);
  auto n = normalize_message("pkg.M", std::move(m));
  EXPECT_TRUE(n.has_value()) << (n ? "" : n.error().message);
  return n ? std::move(*n) : NormalizedMessage{};
}

// ------------------------------------------------------------------ typing

struct U32Case {
  const char* scalar;
  bool accepted;
  std::uint32_t value;
};

TEST(ReadTyping, UnsignedFieldNumber) {
  const U32Case cases[] = {
      {"0", true, 0},
      {"5", true, 5},
      {"+5", true, 5},
      {"007", true, 7},
      {"-0", true, 0},
      {"4294967295", true, 4294967295u},
      {"0x1F", true, 31},
      {"0xff", true, 255},
      {"0xFFFFFFFF", true, 4294967295u},
      {"0o17", true, 15},
      {"0b101", true, 5},
      {"!!int 12", true, 12},
      {"4294967296", false, 0},
      {"0x100000000", false, 0},
      {"99999999999999999999999999", false, 0},
      {"-1", false, 0},
      {"\"5\"", false, 0},
      {"'5'", false, 0},
      {"!!str 5", false, 0},
      {"5.0", false, 0},
      {"1e3", false, 0},
      {".inf", false, 0},
      {"0x", false, 0},
      {"0o", false, 0},
      {"0b102", false, 0},
      {"0X1F", false, 0},
      {"-0x5", false, 0},
      {"+0x5", false, 0},
      {"1_000", false, 0},
      {"0o18", false, 0},
      {"~", false, 0},
      {"null", false, 0},
      {"true", false, 0},
      {"five", false, 0},
      {"[1]", false, 0},
      {"{a: 1}", false, 0},
  };
  for (const auto& c : cases) {
    std::string text = one_field(std::string("number: ") + c.scalar + ", type: int32");
    auto file = read_document(text);
    ASSERT_EQ(file.has_value(), c.accepted) << c.scalar << ": " << (file ? "accepted" : file.error().message);
    if (c.accepted) {
      EXPECT_EQ(file->messages[0].second.fields.at(0).number, c.value) << c.scalar;
    } else {
      EXPECT_CONTAINS(file.error().message, "expected an unsigned 32-bit integer for \"number\"") << c.scalar;
    }
  }
  // An empty value is refused as well.
  EXPECT_CONTAINS(read_error(one_field("number: , type: int32")), "found an empty value");
}

struct I32Case {
  const char* scalar;
  bool accepted;
  std::int32_t value;
};

TEST(ReadTyping, SignedRangeValues) {
  const I32Case cases[] = {
      {"0", true, 0},
      {"-1", true, -1},
      {"+7", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"0x7FFFFFFF", true, 2147483647},
      {"0o10", true, 8},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"0x80000000", false, 0},
      {"'1'", false, 0},
      {"1.5", false, 0},
      {"~", false, 0},
      {"false", false, 0},
  };
  for (const auto& c : cases) {
    std::string text = one_field(std::string("number: 1, type: enum, range: [") + c.scalar + ", 3]");
    auto file = read_document(text);
    ASSERT_EQ(file.has_value(), c.accepted) << c.scalar << ": " << (file ? "accepted" : file.error().message);
    if (c.accepted) {
      EXPECT_EQ(file->messages[0].second.fields.at(0).range, (ValueRange{c.value, 3})) << c.scalar;
    } else {
      EXPECT_CONTAINS(file.error().message, "expected a signed 32-bit integer in \"range\"") << c.scalar;
    }
  }
}

TEST(ReadTyping, ExtensionRangeValuesAreUnsigned) {
  auto m = only_message("entries: []\nmessages: {M: {fields: [], ext_ranges: [[0x10, 4294967295]]}}");
  EXPECT_EQ(m.ext_ranges, (std::vector<ExtRange>{{16, 4294967295u}}));
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: [], ext_ranges: [[-1, 5]]}}"),
              "expected an unsigned 32-bit integer in \"ext_ranges\", found '-1'");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: [], ext_ranges: [[1, 4294967296]]}}"),
              "expected an unsigned 32-bit integer in \"ext_ranges\"");
}

TEST(ReadTyping, Booleans) {
  struct Case {
    const char* scalar;
    bool accepted;
    bool value;
  };
  const Case cases[] = {
      {"true", true, true},   {"True", true, true},    {"TRUE", true, true},     {"false", true, false},
      {"False", true, false}, {"FALSE", true, false},  {"!!bool true", true, true}, {"yes", false, false},
      {"no", false, false},   {"on", false, false},    {"off", false, false},    {"y", false, false},
      {"tRUE", false, false}, {"'true'", false, false}, {"\"false\"", false, false}, {"1", false, false},
      {"0", false, false},    {"~", false, false},     {"", false, false},       {"[true]", false, false},
  };
  for (const auto& c : cases) {
    std::string text = one_field(std::string("number: 1, type: int32, packed: ") + c.scalar);
    auto file = read_document(text);
    ASSERT_EQ(file.has_value(), c.accepted) << c.scalar << ": " << (file ? "accepted" : file.error().message);
    if (c.accepted) {
      EXPECT_EQ(file->messages[0].second.fields.at(0).packed, c.value) << c.scalar;
    } else {
      EXPECT_CONTAINS(file.error().message, "expected a boolean (true or false) for \"packed\"") << c.scalar;
    }
    std::string top = std::string("extension_ranges: ") + c.scalar + "\nentries: []\nmessages: {}\n";
    auto doc = read_document(top);
    ASSERT_EQ(doc.has_value(), c.accepted) << c.scalar;
    if (c.accepted) {
      EXPECT_EQ(doc->extension_ranges, c.value) << c.scalar;
    }
  }
}

TEST(ReadTyping, StringsTakeTheTextOfAnyNonNullScalar) {
  struct Case {
    const char* scalar;
    bool present;
    const char* text;
  };
  const Case cases[] = {
      {"pkg.Child", true, "pkg.Child"},
      {"123", true, "123"},
      {"0x1F", true, "0x1F"},
      {"true", true, "true"},
      {"yes", true, "yes"},
      {"1.5", true, "1.5"},
      {"'null'", true, "null"},
      {"\"~\"", true, "~"},
      {"\"\"", true, ""},
      {"!!str null", true, "null"},
      {"\"a\\tb\"", true, "a\tb"},
      {"~", false, ""},
      {"null", false, ""},
      {"Null", false, ""},
      {"NULL", false, ""},
      {"", false, ""},
      {"!!null ''", false, ""},
  };
  for (const auto& c : cases) {
    std::string text = one_field(std::string("number: 1, type: message, child: ") + c.scalar);
    YamlMessage m = only_message(text);
    ASSERT_EQ(m.fields.size() + (m.problem ? 1 : 0), 1u) << c.scalar;
    if (c.present) {
      ASSERT_EQ(m.fields.size(), 1u) << c.scalar;
      EXPECT_EQ(m.fields[0].child, std::optional<std::string>(c.text)) << c.scalar;
    } else {
      ASSERT_TRUE(m.problem.has_value()) << c.scalar;  // a message field without a child
      EXPECT_EQ(m.problem->rule, FieldProblem::Rule::requires_child) << c.scalar;
    }
  }
  // "type" and "label" take the text as well: `type: 123` is an unknown kind.
  EXPECT_EQ(normalize_error(one_field("number: 1, type: 123")), "pkg.M: unknown kind '123'");
  EXPECT_EQ(normalize_error(one_field("number: 1, type: int32, label: yes")), "pkg.M field 1: unknown label 'yes'");
  // Message names and root names too.
  auto file = read_document("entries: [123, true]\nmessages: {0x10: {fields: []}}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->entries, (std::vector<std::string>{"123", "true"}));
  EXPECT_EQ(file->messages.at(0).first, "0x10");
}

TEST(ReadTyping, NullForAnyOtherListedKeyIsATypeError) {
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: ~")), "expected a string for \"type\", found null");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: int32, label: null")),
              "expected a string for \"label\"");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: int32, packed: ~")), "for \"packed\"");
  EXPECT_CONTAINS(read_error(one_field("number: ~, type: int32")), "for \"number\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {kind: ~, fields: []}}"),
              "expected a string for \"kind\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: ~}}"), "for \"fields\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: [], ext_ranges: ~}}"), "for \"ext_ranges\"");
  EXPECT_CONTAINS(read_error("entries: ~\nmessages: {}"), "for \"entries\"");
  EXPECT_CONTAINS(read_error("entries: [~]\nmessages: {}"), "in \"entries\", found null");
  EXPECT_CONTAINS(read_error("extension_ranges: ~\nentries: []\nmessages: {}"), "for \"extension_ranges\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {~: {fields: []}}"), "as key under \"messages\"");
  // A null "range" means absent.
  auto m = only_message(one_field("number: 1, type: int32, range: ~"));
  ASSERT_EQ(m.fields.size(), 1u);
  EXPECT_FALSE(m.fields[0].range.has_value());
}

TEST(ReadTyping, EmptyValueWhereAMappingIsExpected) {
  // A key followed by nothing reads as an empty mapping.
  auto file = read_document("entries: []\nmessages:\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_TRUE(file->messages.empty());
  EXPECT_EQ(read_error("entries: []\nmessages:\n  M:\n"), "line 3, column 5: missing required key \"fields\" in message 'M'");
  EXPECT_CONTAINS(read_error("entries: []\nmessages:\n  M:\n    fields:\n      -\n"),
              "missing required key \"number\" in a field entry");
  // A document without content is an empty mapping, without "entries".
  EXPECT_CONTAINS(read_error("---\n"), "missing required key \"entries\" in the document");
  EXPECT_CONTAINS(read_error("--- # nothing\n...\n"), "missing required key \"entries\"");
}

TEST(ReadTyping, EmptyValueWhereASequenceIsExpected) {
  // Sequences follow the rule of mappings: nothing after the key is empty,
  // while an explicit null is still a value of the wrong type.
  auto file = read_document("entries:\nmessages:\n  M:\n    fields:\n    ext_ranges:\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_TRUE(file->entries.empty());
  ASSERT_EQ(file->messages.size(), 1u);
  EXPECT_TRUE(file->messages[0].second.fields.empty());
  EXPECT_CONTAINS(read_error("entries: ~\nmessages: {}\n"), "\"entries\"");
}

TEST(ReadTyping, QuotedAndTaggedKeys) {
  auto file = read_document("\"entries\": []\n'messages': {M: {!!str fields: []}}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->messages.size(), 1u);
  // Keys that are not strings are not listed keys, whatever their text.
  EXPECT_CONTAINS(read_error("entries: []\n!!int 1: x\n"), "missing required key \"messages\"");
  EXPECT_CONTAINS(read_error("entries: []\nnull: {}\n"), "missing required key \"messages\"");
}

TEST(ReadTyping, TaggedValues) {
  EXPECT_CONTAINS(read_error(one_field("number: !!int five, type: int32")), "is not a valid !!int value");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: !custom int32")), "unsupported tag '!custom'");
  auto m = only_message(one_field("number: 1, type: ! int32, label: !!str repeated"));
  ASSERT_EQ(m.fields.size(), 1u);
  EXPECT_EQ(m.fields[0].label, label::kRepeated);
  // Tags inside ignored values do not matter.
  EXPECT_TRUE(read_document("x: !custom {a: !other b}\nentries: []\nmessages: {}").has_value());
}

// ------------------------------------------------------------------ schema

TEST(ReadSchema, FieldRecord) {
  auto file = read_document(
      "extension_ranges: true\n"
      "entries:\n  - pkg.A\n  - pkg.B\n"
      "messages:\n"
      "  pkg.A:\n"
      "    kind: GROUP\n"
      "    fields:\n"
      "      - number: 3\n        type: enum\n        range: [-1, 7]\n        label: repeated\n        packed: true\n"
      "      - {number: 1, type: message, child: pkg.B, label: required}\n"
      "      - {number: 2, type: sint32, child: pkg.C, range: [0, 1]}\n"
      "    ext_ranges:\n      - [100, 199]\n      - [1000, 536870911]\n"
      "  pkg.B: {fields: []}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_TRUE(file->extension_ranges);
  EXPECT_EQ(file->entries, (std::vector<std::string>{"pkg.A", "pkg.B"}));
  ASSERT_EQ(file->messages.size(), 2u);
  EXPECT_EQ(file->messages[0].first, "pkg.A");
  EXPECT_EQ(file->messages[1].first, "pkg.B");
  const YamlMessage& a = file->messages[0].second;
  EXPECT_EQ(a.kind, NodeKind::group);
  EXPECT_FALSE(a.problem.has_value());
  EXPECT_EQ(a.ext_ranges, (std::vector<ExtRange>{{100, 199}, {1000, 536870911}}));
  ASSERT_EQ(a.fields.size(), 3u);
  EXPECT_EQ(a.fields[0], (ScoringField{3, label::kRepeated, kind::kRanged, true, std::nullopt, ValueRange{-1, 7}}));
  EXPECT_EQ(a.fields[1], (ScoringField{1, label::kRequired, kind::kMessage, false, "pkg.B", std::nullopt}));
  // The range of a non-ranged kind is dropped; the child of any kind is kept.
  EXPECT_EQ(a.fields[2], (ScoringField{2, label::kOptional, kind::kUint32, false, "pkg.C", std::nullopt}));

  NormalizedMessage n = *normalize_message("pkg.A", std::move(file->messages[0].second));
  EXPECT_EQ(n.kind, NodeKind::group);
  ASSERT_EQ(n.fields.size(), 3u);
  EXPECT_EQ(n.fields[0].number, 1u);
  EXPECT_EQ(n.fields[1].number, 2u);
  EXPECT_EQ(n.fields[2].number, 3u);
  EXPECT_EQ(n.ext_ranges, (std::vector<ExtRange>{{100, 199}, {1000, 536870911}}));
}

TEST(ReadSchema, KindTable) {
  struct Case {
    const char* type;
    std::uint8_t kind;
  };
  const Case cases[] = {
      {"int32", 0},  {"uint32", 1}, {"sint32", 1},  {"int64", 2},   {"uint64", 2}, {"sint64", 2}, {"bool", 3},
      {"enum", 3},   {"double", 4}, {"string", 5},  {"bytes", 6},   {"message", 7}, {"group", 7}, {"float", 8},
  };
  for (const auto& c : cases) {
    NormalizedMessage n =
        normalized(one_field(std::string("number: 9, type: ") + c.type + ", child: pkg.X, range: [0, 1]"));
    ASSERT_EQ(n.fields.size(), 1u) << c.type;
    EXPECT_EQ(n.fields[0].kind, c.kind) << c.type;
    EXPECT_EQ(n.fields[0].range.has_value(), c.kind == kind::kRanged) << c.type;
    EXPECT_EQ(n.fields[0].child, std::optional<std::string>("pkg.X")) << c.type;
  }
  for (const char* unknown : {"fixed32", "fixed64", "sfixed32", "sfixed64", "INT32", "Int32", "GROUP", "''", "\"int32 \""}) {
    std::string type = unknown;
    if (type == "''") type = "";
    if (type == "\"int32 \"") type = "int32 ";
    EXPECT_EQ(normalize_error(one_field(std::string("number: 9, type: ") + unknown + ", child: X, range: [0, 1]")),
              "pkg.M: unknown kind '" + type + "'")
        << unknown;
  }
}

TEST(ReadSchema, LabelTable) {
  struct Case {
    const char* label;
    std::uint8_t code;
  };
  for (const Case& c : {Case{"optional", 0}, Case{"''", 0}, Case{"required", 1}, Case{"repeated", 2}}) {
    NormalizedMessage n = normalized(one_field(std::string("number: 1, type: int32, label: ") + c.label));
    ASSERT_EQ(n.fields.size(), 1u);
    EXPECT_EQ(n.fields[0].label, c.code) << c.label;
  }
  NormalizedMessage absent = normalized(one_field("number: 1, type: int32"));
  NormalizedMessage optional = normalized(one_field("number: 1, type: int32, label: optional"));
  EXPECT_EQ(absent.fields, optional.fields);
  EXPECT_EQ(normalize_error(one_field("number: 4, type: int32, label: OPTIONAL")),
            "pkg.M field 4: unknown label 'OPTIONAL'");
}

// ----------------------------------------------- normalisation, to the byte

TEST(Normalize, EveryMessageToTheByte) {
  EXPECT_EQ(normalize_error(one_field("number: 7, type: fixed32")), "pkg.M: unknown kind 'fixed32'");
  EXPECT_EQ(normalize_error(one_field("number: 7, type: enum")), "pkg.M field 7: bool/enum kind requires range");
  EXPECT_EQ(normalize_error(one_field("number: 7, type: bool, range: ~")),
            "pkg.M field 7: bool/enum kind requires range");
  EXPECT_EQ(normalize_error(one_field("number: 7, type: message")), "pkg.M field 7: kind message requires a child FQDN");
  EXPECT_EQ(normalize_error(one_field("number: 7, type: group, child: null")),
            "pkg.M field 7: kind group requires a child FQDN");
  EXPECT_EQ(normalize_error(one_field("number: 7, type: int32, label: sometimes")),
            "pkg.M field 7: unknown label 'sometimes'");
  const std::string ranges = "entries: []\nmessages:\n  pkg.M:\n    fields: []\n    ext_ranges: ";
  EXPECT_EQ(normalize_error(ranges + "[[5, 4]]"), "pkg.M: ext_ranges [5, 4] is empty");
  EXPECT_EQ(normalize_error(ranges + "[[1000, 536870912]]"),
            "pkg.M: ext_ranges [1000, 536870912] exceeds the maximum field number 536870911");
  EXPECT_EQ(normalize_error(ranges + "[[100, 199], [200, 299]]"),
            "pkg.M: ext_ranges are not canonical \xE2\x80\x94 [200, 299] is not strictly after [100, 199] with a gap");
  EXPECT_EQ(normalize_error(ranges + "[[50, 60], [10, 20]]"),
            "pkg.M: ext_ranges are not canonical \xE2\x80\x94 [10, 20] is not strictly after [50, 60] with a gap");
}

TEST(Normalize, FirstFailingFieldEndsTheMessage) {
  // Fields in document order: the first failure is reported, whatever comes after.
  EXPECT_EQ(normalize_error(one_field("number: 2, type: int32, label: bad") + "      - {number: 1, type: nokind}\n"),
            "pkg.M field 2: unknown label 'bad'");
  // Within one entry: kind first, then range or child, then label.
  EXPECT_EQ(normalize_error(one_field("label: weird, number: 3, type: weird")), "pkg.M: unknown kind 'weird'");
  EXPECT_EQ(normalize_error(one_field("label: weird, number: 3, type: enum")),
            "pkg.M field 3: bool/enum kind requires range");
  EXPECT_EQ(normalize_error(one_field("label: weird, number: 3, type: message")),
            "pkg.M field 3: kind message requires a child FQDN");
  // Reading errors come before any normalisation: a later wrong type wins.
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: nokind") + "      - {number: x, type: int32}\n"),
              "expected an unsigned 32-bit integer for \"number\", found 'x'");
}

TEST(Normalize, ExtensionRangeChecksInOrder) {
  const std::string ranges = "entries: []\nmessages:\n  pkg.M:\n    fields: []\n    ext_ranges: ";
  // Empty before the maximum, the maximum before canonical order.
  EXPECT_EQ(normalize_error(ranges + "[[600000000, 536870912]]"), "pkg.M: ext_ranges [600000000, 536870912] is empty");
  EXPECT_EQ(normalize_error(ranges + "[[10, 20], [5, 536870912]]"),
            "pkg.M: ext_ranges [5, 536870912] exceeds the maximum field number 536870911");
  EXPECT_EQ(normalize_error(ranges + "[[10, 20], [21, 4]]"), "pkg.M: ext_ranges [21, 4] is empty");
  // The maximum itself and a one-number gap are fine.
  NormalizedMessage n = normalized(ranges + "[[1, 1], [3, 4], [536870911, 536870911]]");
  EXPECT_EQ(n.ext_ranges, (std::vector<ExtRange>{{1, 1}, {3, 4}, {536870911, 536870911}}));
  // An upper end of 4294967295 is over the maximum and does not wrap.
  EXPECT_EQ(normalize_error(ranges + "[[1, 4294967295]]"),
            "pkg.M: ext_ranges [1, 4294967295] exceeds the maximum field number 536870911");
}

// ---------------------------------------------------------- reading errors

TEST(ReadErrors, NoDocumentOrASecondOne) {
  EXPECT_EQ(read_error(""), "line 1, column 1: expected a YAML document, found the end of the input");
  EXPECT_CONTAINS(read_error("# only a comment\n\n   \n"), "expected a YAML document");
  EXPECT_EQ(read_error("entries: []\nmessages: {}\n---\nentries: []\nmessages: {}\n"),
            "line 3, column 1: expected the end of the input after the document, found a second document");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {}\n...\n--- x\n"), "found a second document");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {}\n...\n--- more\n"), "found a second document");
  EXPECT_STARTS_WITH(read_error("entries: []\nmessages: {}\n...\nmore\n"), "line 4, column 1: YAML syntax error");
  // An explicit single document, with end marker, is fine.
  EXPECT_TRUE(read_document("%YAML 1.2\n---\nentries: []\nmessages: {}\n...\n# trailing comment\n").has_value());
}

TEST(ReadErrors, SyntaxErrorsAnywhere) {
  EXPECT_EQ(read_error("entries: []\nmessages: {}\n]\n"),
            "line 3, column 1: YAML syntax error: did not find expected key (while parsing a block mapping that "
            "started at line 1, column 1)");
  // After every key that is needed has been read.
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {}\nx: [1, 2\n"), "YAML syntax error");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {}\nx: \"unterminated\n"), "YAML syntax error");
  EXPECT_CONTAINS(read_error("entries: [a, b\nmessages: {}\n"), "line ");
  EXPECT_CONTAINS(read_error("entries: []\n\tmessages: {}\n"), "YAML syntax error");
}

TEST(ReadErrors, MissingKeys) {
  EXPECT_EQ(read_error("messages: {}\n"), "line 1, column 1: missing required key \"entries\" in the document");
  EXPECT_EQ(read_error("entries: []\n"), "line 1, column 1: missing required key \"messages\" in the document");
  EXPECT_EQ(read_error("entries: []\nmessages:\n  pkg.M:\n    kind: GROUP\n"),
            "line 4, column 5: missing required key \"fields\" in message 'pkg.M'");
  EXPECT_EQ(read_error(one_field("type: int32")), "line 5, column 9: missing required key \"number\" in a field entry");
  EXPECT_EQ(read_error(one_field("number: 1")), "line 5, column 9: missing required key \"type\" in a field entry");
}

TEST(ReadErrors, DuplicateListedKeys) {
  EXPECT_EQ(read_error("entries: []\nmessages: {}\nentries: []\n"), "line 3, column 1: duplicate key \"entries\"");
  EXPECT_CONTAINS(read_error("extension_ranges: true\nentries: []\nmessages: {}\nextension_ranges: true\n"),
              "duplicate key \"extension_ranges\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: [], fields: []}}"), "duplicate key \"fields\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {kind: A, fields: [], kind: A}}"), "duplicate key \"kind\"");
  for (const char* key : {"number: 2", "type: int32", "child: X", "range: [0, 1]", "label: optional", "packed: true"}) {
    std::string k(key);
    k = k.substr(0, k.find(':'));
    EXPECT_CONTAINS(read_error(one_field(std::string("number: 1, type: int32, child: X, range: [0, 1], label: optional, "
                                                 "packed: false, ") + key)),
                "duplicate key \"" + k + "\"")
        << key;
  }
  // Unknown keys may repeat; a listed key may not, whatever its value.
  EXPECT_TRUE(read_document("x: 1\nx: 2\nentries: []\nmessages: {}").has_value());
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: int32, range: ~, range: ~")), "duplicate key \"range\"");
}

TEST(ReadErrors, WrongTypes) {
  EXPECT_EQ(read_error(one_field("number: -1, type: int32")),
            "line 5, column 18: expected an unsigned 32-bit integer for \"number\", found '-1'");
  EXPECT_EQ(read_error("- entries\n"), "line 1, column 1: expected a mapping for the document, found a sequence");
  EXPECT_EQ(read_error("just text\n"), "line 1, column 1: expected a mapping for the document, found 'just text'");
  EXPECT_CONTAINS(read_error("entries: {}\nmessages: {}"), "expected a sequence of message names for \"entries\", found a mapping");
  EXPECT_CONTAINS(read_error("entries: [[a]]\nmessages: {}"), "found a sequence");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: []"), "expected a mapping of messages for \"messages\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: [1]}"), "expected a mapping for message 'M', found a sequence");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: {}}}"), "expected a sequence of field entries");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: [5]}}"), "expected a mapping for a field entry, found '5'");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: [], ext_ranges: [5]}}"),
              "expected a sequence of two integers for an extension range, found '5'");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: enum, range: 5")),
              "expected a sequence of two integers for \"range\", found '5'");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: [int32]")), "expected a string for \"type\", found a sequence");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: int32, child: {a: b}")), "for \"child\", found a mapping");
  EXPECT_CONTAINS(read_error(one_field("number: \"1\", type: int32")), "found the quoted string \"1\"");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {[a]: {fields: []}}"), "as key under \"messages\", found a sequence");
}

TEST(ReadErrors, WidthsAndPairs) {
  EXPECT_CONTAINS(read_error(one_field("number: 4294967296, type: int32")), "unsigned 32-bit");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: enum, range: [0, 2147483648]")), "signed 32-bit");
  EXPECT_EQ(read_error(one_field("number: 1, type: enum, range: [1]")),
            "line 5, column 40: expected exactly two integers in \"range\", found 1");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: enum, range: []")), "in \"range\", found 0");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: enum, range: [1, 2, 3]")), "in \"range\", found 3");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: int32, range: [1, 2, [x]]")), "in \"range\", found 3");
  EXPECT_EQ(read_error("entries: []\nmessages: {M: {fields: [], ext_ranges: [[1, 2, 3]]}}"),
            "line 2, column 41: expected exactly two integers in an extension range, found 3");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {fields: [], ext_ranges: [[1]]}}"),
              "in an extension range, found 1");
}

TEST(ReadErrors, BadBytes) {
  std::string nul = "entries: [a";
  nul += '\0';
  nul += "b]\nmessages: {}\n";
  EXPECT_EQ(read_error(nul), "line 1, column 12: invalid input: control characters are not allowed (#x0 at byte offset 11)");
  // libyaml names the byte where the sequence breaks: the one after \xC3.
  EXPECT_EQ(read_error("entries: [caf\xC3]\nmessages: {}\n"),
            "line 1, column 15: invalid input: invalid trailing UTF-8 octet (#x5D at byte offset 14)");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {}\n# \xFF\xFE\n"), "line 3, column 3: invalid input");
  EXPECT_CONTAINS(read_error("\xFF\xFE" "e\0n\0"), "invalid input");
  // Valid UTF-8 anywhere is fine, including a byte order mark.
  auto file = read_document("\xEF\xBB\xBF" "entries: [caf\xC3\xA9, \"\\u00e9\\0\"]\nmessages: {}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->entries, (std::vector<std::string>{"caf\xC3\xA9", std::string("\xC3\xA9\0", 3)}));
  // Values quoted in messages are cut and escaped.
  std::string long_value(1000, 'x');
  std::string message = read_error(one_field("number: " + long_value + ", type: int32"));
  EXPECT_LT(message.size(), 200u);
  EXPECT_CONTAINS(message, "xxx...'");
  EXPECT_CONTAINS(read_error(one_field("number: \"a\\tb\", type: int32")), "\"a\\x09b\"");
}

TEST(ReadErrors, HugeStrings) {
  // (An implicit key is at most 1024 characters long in YAML; a longer name
  // takes an explicit key.)
  std::string name(8 << 20, 'n');
  auto file = read_document("entries: [" + name + "]\nmessages:\n  ? " + name +
                            "\n  : {fields: [{number: 1, type: message, child: " + name + "}]}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->entries.at(0).size(), name.size());
  EXPECT_EQ(file->messages.at(0).first.size(), name.size());
  EXPECT_EQ(file->messages.at(0).second.fields.at(0).child->size(), name.size());
}

// ------------------------------------------------------------- nesting depth

TEST(ReadLimits, DeepFlowNestingFailsFast) {
  // libyaml slows down quadratically on deep flow collections; the depth
  // limit stops it after a few hundred events, wherever the nesting stands,
  // so that neither the events parsed nor the characters scanned grow with
  // the 100 000 levels of the input.
  const int levels = 100000;
  std::string brackets(levels, '[');
  std::string mappings;
  for (int i = 0; i < levels; ++i) mappings += "{a: ";
  for (const std::string& text : {brackets, "x: " + brackets, mappings, "entries: []\nmessages: {}\nx: " + mappings}) {
    DocumentReader reader;
    NameTable names;
    auto read = reader.read(text, names);
    ASSERT_FALSE(read.has_value());
    EXPECT_STARTS_WITH(read.error().message, "line ");
    EXPECT_LE(reader.work().events, 2u * kMaxNestingDepth + 16) << read.error().message;
    EXPECT_LE(reader.work().scanned, 8u * kMaxNestingDepth) << read.error().message;
  }
  // Where the nesting sits in a value that is skipped, the depth limit is
  // what stops the reader.
  EXPECT_EQ(read_error("x: " + brackets), "line 1, column 259: collections nested more than 256 levels deep");
  EXPECT_EQ(read_error(mappings), "line 1, column 1025: collections nested more than 256 levels deep");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {}\nx: " + mappings), "nested more than 256 levels deep");
}

TEST(ReadLimits, DeepBlockNestingFailsFast) {
  std::string nested = "x:\n  ";
  for (int i = 0; i < 100000; ++i) nested += "- ";
  EXPECT_CONTAINS(read_error(nested + "x\n"), "nested more than 256 levels deep");
  std::string mappings = "x:\n";
  for (int i = 0; i < 2000; ++i) mappings += std::string(static_cast<std::size_t>(i), ' ') + "a:\n";
  EXPECT_CONTAINS(read_error(mappings), "nested more than 256 levels deep");
}

TEST(ReadLimits, NestingUpToTheLimitIsAccepted) {
  // The document mapping is level 1; 255 more levels inside an ignored key.
  std::string ok = "x: " + std::string(255, '[') + std::string(255, ']') + "\nentries: []\nmessages: {}\n";
  EXPECT_TRUE(read_document(ok).has_value());
  std::string over = "x: " + std::string(256, '[') + std::string(256, ']') + "\nentries: []\nmessages: {}\n";
  EXPECT_CONTAINS(read_error(over), "nested more than 256 levels deep");
}

// ------------------------------------------------------------------ aliases

TEST(ReadAliases, LegitimateUseIsExpanded) {
  auto file = read_document(
      "defs:\n"
      "  int_field: &f1 {number: 1, type: int32}\n"
      "  range: &r [0, 5]\n"
      "  name: &n pkg.Child\n"
      "  message: &m\n"
      "    fields:\n"
      "      - *f1\n"
      "      - {number: 2, type: enum, range: *r, child: *n}\n"
      "entries: &e [pkg.A, *n]\n"
      "messages:\n"
      "  pkg.A: *m\n"
      "  *n : *m\n"
      "  pkg.C: {fields: [*f1, {number: 3, type: message, child: *n}], ext_ranges: [*r]}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->entries, (std::vector<std::string>{"pkg.A", "pkg.Child"}));
  ASSERT_EQ(file->messages.size(), 3u);
  EXPECT_EQ(file->messages[0].first, "pkg.A");
  EXPECT_EQ(file->messages[1].first, "pkg.Child");
  EXPECT_EQ(file->messages[2].first, "pkg.C");
  for (int i = 0; i < 2; ++i) {
    const auto& fields = file->messages[i].second.fields;
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0], (ScoringField{1, 0, kind::kInt32, false, std::nullopt, std::nullopt}));
    EXPECT_EQ(fields[1], (ScoringField{2, 0, kind::kRanged, false, "pkg.Child", ValueRange{0, 5}}));
  }
  const auto& c = file->messages[2].second;
  ASSERT_EQ(c.fields.size(), 2u);
  EXPECT_EQ(c.fields[1].child, std::optional<std::string>("pkg.Child"));
  EXPECT_EQ(c.ext_ranges, (std::vector<ExtRange>{{0, 5}}));
}

TEST(ReadAliases, KeysMayBeAliases) {
  auto file = read_document("k: [&num number, &ty type]\nentries: []\nmessages: {M: {fields: [{*num : 4, *ty : bool, range: [0, 1]}]}}");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->messages.at(0).second.fields.at(0).number, 4u);
  EXPECT_CONTAINS(read_error("k: &num number\nentries: []\nmessages: {M: {fields: [{number: 4, *num : 5, type: bool}]}}"),
              "duplicate key \"number\"");
}

TEST(ReadAliases, AnchorsCanBeRedefined) {
  auto file = read_document("a: &x one\nb: &x two\nentries: [*x]\nmessages: {}");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->entries, (std::vector<std::string>{"two"}));
  // An alias inside an anchored node keeps the definition it had there.
  file = read_document("a: &x one\nb: &y [*x]\nc: &x two\nentries: *y\nmessages: {}");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->entries, (std::vector<std::string>{"one"}));
}

TEST(ReadAliases, UndefinedAndRecursiveAliasesFail) {
  EXPECT_EQ(read_error("entries: [*nowhere]\nmessages: {}"), "line 1, column 11: alias '*nowhere' refers to an undefined anchor");
  EXPECT_CONTAINS(read_error("x: *nowhere\nentries: []\nmessages: {}"), "undefined anchor");
  EXPECT_CONTAINS(read_error("x: &a [1, *a]\nentries: []\nmessages: {}"), "recursive alias");
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {}\nx: &a {b: *a}\n"), "recursive alias");
}

std::string billion_laughs(const std::string& tail) {
  std::string text = "lol0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int i = 1; i < 10; ++i) {
    std::string prev = "*l" + std::to_string(i - 1);
    text += "lol" + std::to_string(i) + ": &l" + std::to_string(i) + " [" + prev;
    for (int j = 1; j < 9; ++j) text += ", " + prev;
    text += "]\n";
  }
  return text + tail;
}

TEST(ReadAliases, BillionLaughsFailsFast) {
  // Whether the expansion stands in an ignored key or in a used one.
  EXPECT_CONTAINS(read_error(billion_laughs("entries: []\nmessages: {}\n")),
              "aliases expand to too many nodes (more than 16 replayed events per parsed event)");
  EXPECT_CONTAINS(read_error(billion_laughs("x: [*l9, *l9]\nentries: []\nmessages: {}\n")), "aliases expand");
  EXPECT_CONTAINS(read_error(billion_laughs("entries: *l9\nmessages: {}\n")), "line ");
}

TEST(ReadAliases, QuadraticExpansionThroughTheSchemaFails) {
  // Every message is the same alias of a message whose 1000 fields are the
  // same alias: a few kilobytes that would expand to a million fields.
  std::string text = "r: &r [1, 2]\nf: &f {number: 1, type: enum, range: *r}\nl: &l [*f";
  for (int i = 1; i < 1000; ++i) text += ", *f";
  text += "]\nm: &m {fields: *l}\nentries: []\nmessages: {M0: *m";
  for (int i = 1; i < 1000; ++i) text += ", M" + std::to_string(i) + ": *m";
  text += "}\n";
  EXPECT_EQ(read_error(text), "line 6, column 16: aliases expand to too many nodes (more than 16 replayed events per "
                              "parsed event)");
  // Modest reuse is well within the bound.
  std::string modest = "f: &f {number: 1, type: int32}\nentries: []\nmessages: {A: {fields: [*f, *f]}, B: {fields: [*f]}}\n";
  EXPECT_TRUE(read_document(modest).has_value());
}

TEST(ReadAliases, LongScalarRepeatedFailsOnTheTextBudget) {
  // Aliases of one 100 kB scalar: few events, but each copy is the whole
  // text, so the documents below would copy gigabytes. Replayed text is
  // bounded by 16 bytes per byte of input, wherever the aliases stand: as
  // root names, as children of many fields, or in a value that is skipped.
  const std::string anchor = "s: &s " + std::string(100000, 'x') + "\n";
  std::string entries = anchor + "entries: [*s";
  for (int i = 1; i < 100000; ++i) entries += ", *s";
  entries += "]\nmessages: {}\n";
  std::string children = anchor + "entries: []\nmessages:\n  M:\n    fields:\n";
  for (int i = 1; i <= 10000; ++i) children += "      - {number: " + std::to_string(i) + ", type: message, child: *s}\n";
  std::string skipped = anchor + "x: [*s";
  for (int i = 1; i < 100000; ++i) skipped += ", *s";
  skipped += "]\nentries: []\nmessages: {}\n";
  const std::string budget = "aliases expand to too much text (more than 16 replayed bytes per byte of input)";
  // 500 030 bytes of input allow 16 * 500 030 + 65 536 replayed bytes, 80
  // copies; the 81st alias, at column 11 + 4 * 80, fails.
  EXPECT_EQ(read_error(entries), "line 2, column 331: " + budget);
  EXPECT_CONTAINS(read_error(children), budget);
  EXPECT_CONTAINS(read_error(skipped), budget);
  // A few copies of a long scalar stay well within the budget.
  auto file = read_document(anchor + "entries: [*s, *s, *s]\nmessages: {}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_EQ(file->entries.size(), 3u);
  EXPECT_EQ(file->entries[2].size(), 100000u);
}

// ------------------------------------------------ edge cases of the schema

TEST(ReadEdgeCases, EntriesAndMessagesOnly) {
  auto file = read_document("entries: [A]\nmessages: {A: {fields: []}}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  EXPECT_FALSE(file->extension_ranges);
}

TEST(ReadEdgeCases, RequiredTopKeysAndEmptyCollections) {
  EXPECT_CONTAINS(read_error("entries: [A]\n"), "missing required key \"messages\"");
  EXPECT_CONTAINS(read_error("messages: {}\n"), "missing required key \"entries\"");
  auto file = read_document("entries: []\nmessages: {}\n");
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->entries.empty());
  EXPECT_TRUE(file->messages.empty());
}

TEST(ReadEdgeCases, FieldsRequiredButMayBeEmpty) {
  EXPECT_CONTAINS(read_error("entries: []\nmessages: {M: {kind: X}}"), "missing required key \"fields\"");
  NormalizedMessage n = normalized("entries: []\nmessages: {pkg.M: {fields: []}}");
  EXPECT_TRUE(n.fields.empty());
  EXPECT_TRUE(n.ext_ranges.empty());
  EXPECT_EQ(n.kind, NodeKind::message);
}

TEST(ReadEdgeCases, GroupSpelling) {
  NormalizedMessage n = normalized(one_field("number: 1, type: group, child: pkg.G"));
  ASSERT_EQ(n.fields.size(), 1u);
  EXPECT_EQ(n.fields[0].kind, kind::kMessage);
  EXPECT_EQ(normalize_error(one_field("number: 1, type: GROUP, child: pkg.G")), "pkg.M: unknown kind 'GROUP'");
  EXPECT_EQ(normalize_error(one_field("number: 1, type: fixed32")), "pkg.M: unknown kind 'fixed32'");
  // The message "kind": exactly GROUP marks a group.
  for (const char* k : {"GROUP", "group", "Group", "GROUP ", "''", "message"}) {
    std::string text = std::string("entries: []\nmessages: {pkg.M: {kind: '") + (std::string(k) == "''" ? "" : k) +
                       "', fields: []}}";
    EXPECT_EQ(normalized(text).kind, std::string(k) == "GROUP" ? NodeKind::group : NodeKind::message) << k;
  }
}

TEST(ReadEdgeCases, RangeKeptOnlyForBoolAndEnum) {
  NormalizedMessage e = normalized(one_field("number: 1, type: enum, range: [0, 5]"));
  EXPECT_EQ(e.fields.at(0).range, (ValueRange{0, 5}));
  NormalizedMessage b = normalized(one_field("number: 1, type: bool, range: [5, 0]"));  // min not checked
  EXPECT_EQ(b.fields.at(0).range, (ValueRange{5, 0}));
  NormalizedMessage i = normalized(one_field("number: 1, type: int32, range: [0, 5]"));
  EXPECT_FALSE(i.fields.at(0).range.has_value());
  EXPECT_EQ(normalize_error(one_field("number: 1, type: enum")), "pkg.M field 1: bool/enum kind requires range");
}

TEST(ReadEdgeCases, ChildRules) {
  EXPECT_EQ(normalize_error(one_field("number: 6, type: message, child: null")),
            "pkg.M field 6: kind message requires a child FQDN");
  NormalizedMessage n = normalized(one_field("number: 1, type: int32, child: pkg.Kept"));
  EXPECT_EQ(n.fields.at(0).child, std::optional<std::string>("pkg.Kept"));
}

TEST(ReadEdgeCases, LabelSpellings) {
  EXPECT_EQ(normalized(one_field("number: 1, type: int32, label: optional")).fields,
            normalized(one_field("number: 1, type: int32")).fields);
  EXPECT_EQ(normalize_error(one_field("number: 1, type: int32, label: OPTIONAL")),
            "pkg.M field 1: unknown label 'OPTIONAL'");
}

TEST(ReadEdgeCases, FieldsSortedByNumberStably) {
  NormalizedMessage n = normalized(
      "entries: []\nmessages:\n  pkg.M:\n    fields:\n"
      "      - {number: 3, type: int32}\n"
      "      - {number: 1, type: string}\n"
      "      - {number: 2, type: bytes}\n"
      "      - {number: 1, type: double}\n");
  ASSERT_EQ(n.fields.size(), 4u);
  EXPECT_EQ(n.fields[0].number, 1u);
  EXPECT_EQ(n.fields[0].kind, kind::kString);
  EXPECT_EQ(n.fields[1].number, 1u);
  EXPECT_EQ(n.fields[1].kind, kind::kDouble);
  EXPECT_EQ(n.fields[2].number, 2u);
  EXPECT_EQ(n.fields[3].number, 3u);
}

TEST(ReadEdgeCases, ExtensionRanges) {
  const std::string ranges = "entries: []\nmessages:\n  pkg.M:\n    fields: []\n    ext_ranges: ";
  EXPECT_EQ(normalize_error(ranges + "[[100, 199], [200, 299]]"),
            "pkg.M: ext_ranges are not canonical \xE2\x80\x94 [200, 299] is not strictly after [100, 199] with a gap");
  EXPECT_EQ(normalized(ranges + "[[100, 199], [201, 299]]").ext_ranges, (std::vector<ExtRange>{{100, 199}, {201, 299}}));
  EXPECT_EQ(normalize_error(ranges + "[[5, 4]]"), "pkg.M: ext_ranges [5, 4] is empty");
  EXPECT_EQ(normalize_error(ranges + "[[1000, 536870912]]"),
            "pkg.M: ext_ranges [1000, 536870912] exceeds the maximum field number 536870911");
  EXPECT_EQ(normalized(ranges + "[[536870911, 536870911]]").ext_ranges,
            (std::vector<ExtRange>{{536870911, 536870911}}));
  EXPECT_EQ(normalize_error(ranges + "[[50, 60], [10, 20]]"),
            "pkg.M: ext_ranges are not canonical \xE2\x80\x94 [10, 20] is not strictly after [50, 60] with a gap");
  EXPECT_CONTAINS(read_error(ranges + "[[1, 2, 3]]"), "expected exactly two integers in an extension range");
  EXPECT_CONTAINS(read_error(one_field("number: 1, type: enum, range: [1]")),
              "expected exactly two integers in \"range\"");
}

TEST(ReadEdgeCases, UnknownTypeAndLabelReportsTheKind) {
  EXPECT_EQ(normalize_error(one_field("number: 1, type: weird, label: odd")), "pkg.M: unknown kind 'weird'");
  EXPECT_EQ(normalize_error(one_field("label: odd, number: 1, type: weird")), "pkg.M: unknown kind 'weird'");
}

TEST(ReadEdgeCases, UnknownKeysAtEveryLevelAreIgnored) {
  auto file = read_document(
      "version: 3\n"
      "notes: {deep: [1, {2: [three, !tag x, {? [a, b] : c}]}], &anchor a: *anchor}\n"
      "entries: [pkg.M]\n"
      "? [complex, key]\n"
      ": value\n"
      "messages:\n"
      "  pkg.M:\n"
      "    comment: \"whatever\"\n"
      "    fields:\n"
      "      - {number: 1, type: int32, json_name: x, options: {deprecated: yes}, 7: seven, ~: nothing}\n"
      "    reserved: [[1, 2, 3]]\n"
      "    true: false\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  ASSERT_EQ(file->messages.size(), 1u);
  EXPECT_EQ(file->messages[0].second.fields.size(), 1u);
}

TEST(ReadEdgeCases, MessageGivenTwiceKeepsTheLaterEntry) {
  auto file = read_document(
      "entries: []\nmessages:\n"
      "  A: {fields: [{number: 1, type: nokind}]}\n"
      "  B: {fields: []}\n"
      "  A: {fields: [{number: 2, type: int32}]}\n");
  ASSERT_TRUE(file.has_value()) << file.error().message;
  ASSERT_EQ(file->messages.size(), 2u);
  EXPECT_EQ(file->messages[0].first, "A");
  EXPECT_FALSE(file->messages[0].second.problem.has_value());  // the earlier entry's problem is gone
  ASSERT_EQ(file->messages[0].second.fields.size(), 1u);
  EXPECT_EQ(file->messages[0].second.fields[0].number, 2u);
}

TEST(ReadEdgeCases, ManyMessagesInOneDocument) {
  std::string text = "entries: [m0]\nmessages:\n";
  for (int i = 0; i < 50000; ++i) text += "  m" + std::to_string(i) + ": {fields: [{number: 1, type: int32}]}\n";
  text += "  m7: {fields: []}\n";
  auto file = read_document(text);
  ASSERT_TRUE(file.has_value()) << file.error().message;
  ASSERT_EQ(file->messages.size(), 50000u);
  EXPECT_EQ(file->messages[7].first, "m7");
  EXPECT_TRUE(file->messages[7].second.fields.empty());
  EXPECT_EQ(file->messages[8].second.fields.size(), 1u);
}

// --------------------------------------------------------------- name table

TEST(NameTable, BatchInternsAsOneByOne) {
  // Names repeated within a batch and names of earlier batches, over a
  // table that grows meanwhile: the ids of interning one by one.
  std::mt19937 rng(7);
  NameTable batch, single;
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> texts;
    for (int i = 0; i < 300; ++i) texts.push_back("pkg.Message" + std::to_string(rng() % 2000));
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<std::uint32_t> ids(views.size());
    batch.intern_all(views, ids);
    for (std::size_t i = 0; i < views.size(); ++i) ASSERT_EQ(ids[i], single.intern(views[i]));
  }
  EXPECT_EQ(batch.size(), single.size());
}

}  // namespace
}  // namespace korvex
