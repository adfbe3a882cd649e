// The descriptor-set reader against independent references: sets compiled
// by protoc at build time, the documents tools/descriptors_to_scoring_graphs.py
// writes for them, and index maps computed with python3-protobuf
// (expected_from_set.py). Then malformed input, byte by byte.
#include "descriptor_set/descriptor_set.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "build_scoring_graph/load/read.hpp"
#include "testing/files.hpp"

namespace korvex::fds {
namespace {

const std::filesystem::path kData = KORVEX_DESCRIPTOR_DATA;

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string part; std::getline(in, part, '\t');) out.push_back(part);
  return out;
}

// What expected_from_set.py wrote for one set.
struct Expected {
  std::vector<std::string> documents;  // YAML texts in the set's file order
  FdsIndex index;
};

Expected expected(const std::string& name) {
  Expected out;
  std::stringstream lines(read_file(kData / (name + ".maps")));
  for (std::string line; std::getline(lines, line);) {
    auto f = split(line);
    if (f[0] == "file") out.documents.push_back(read_file(kData / (name + "-yaml") / f[2]));
    if (f[0] == "type") out.index.type_to_file.emplace_back(f[1], f[2]);
    if (f[0] == "span") out.index.file_to_span.emplace_back(f[1], Span{std::stoull(f[2]), std::stoull(f[3])});
    if (f[0] == "dep") out.index.dep_graph.emplace_back(f[1], std::vector<std::string>(f.begin() + 2, f.end()));
    if (f[0] == "ext") out.index.ext_to_file.emplace_back(f[1], f[2]);
  }
  return out;
}

// The text of what the converter wrote for one set, by its file name.
std::string converter_text(const std::string& name, const std::string& file_name) {
  return read_file(kData / (name + "-yaml") / file_name);
}

// Reading the converter's YAML, message by message, as the merge does.
NormalizedDocument from_yaml(const std::string& text) {
  auto file = read_document(text);
  EXPECT_TRUE(file.has_value()) << file.error().message;
  NormalizedDocument doc;
  doc.extension_ranges = file->extension_ranges;
  doc.entries = file->entries;
  for (auto& [name, message] : file->messages) {
    auto normalized = normalize_message(name, std::move(message));
    EXPECT_TRUE(normalized.has_value()) << normalized.error().message;
    doc.messages.emplace_back(name, std::move(*normalized));
  }
  return doc;
}

void expect_same(const NormalizedDocument& got, const NormalizedDocument& want) {
  EXPECT_EQ(got.extension_ranges, want.extension_ranges);
  EXPECT_EQ(got.entries, want.entries);
  ASSERT_EQ(got.messages.size(), want.messages.size());
  for (std::size_t i = 0; i < got.messages.size(); ++i) {
    const auto& [name, m] = got.messages[i];
    EXPECT_EQ(name, want.messages[i].first);
    EXPECT_EQ(m.kind, want.messages[i].second.kind) << name;
    EXPECT_EQ(m.fields, want.messages[i].second.fields) << name;
    EXPECT_EQ(m.ext_ranges, want.messages[i].second.ext_ranges) << name;
  }
}

class CompiledSets : public testing::TestWithParam<std::string> {};

TEST_P(CompiledSets, IndexEqualsProtobufsView) {
  std::string bytes = read_file(kData / (GetParam() + ".pb"));
  Expected want = expected(GetParam());
  auto set = read_descriptor_set(bytes);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  FdsIndex got = canonical_index(index_of(*set));
  FdsIndex reference = canonical_index(want.index);
  EXPECT_EQ(got.type_to_file, reference.type_to_file);
  EXPECT_EQ(got.file_to_span, reference.file_to_span);
  EXPECT_EQ(got.dep_graph, reference.dep_graph);
  EXPECT_EQ(got.ext_to_file, reference.ext_to_file);
  auto archive = index_descriptor_set(bytes);
  ASSERT_TRUE(archive.has_value()) << archive.error().message;
  EXPECT_EQ(*archive, to_bytes(reference).value());
}

TEST_P(CompiledSets, DocumentsEqualTheConvertersYaml) {
  std::string bytes = read_file(kData / (GetParam() + ".pb"));
  Expected want = expected(GetParam());
  auto set = read_descriptor_set(bytes);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  auto docs = documents_of(*set);
  ASSERT_TRUE(docs.has_value()) << docs.error().message;
  ASSERT_EQ(docs->size(), want.documents.size());
  auto texts = yaml_documents_of(*set);
  ASSERT_TRUE(texts.has_value()) << texts.error().message;
  for (std::size_t i = 0; i < docs->size(); ++i) {
    SCOPED_TRACE(set->files[i].name);
    expect_same((*docs)[i], from_yaml(want.documents[i]));
    EXPECT_EQ((*texts)[i].text, converter_text(GetParam(), (*texts)[i].file_name));
  }
}

TEST_P(CompiledSets, BakeEqualsBakingTheConvertersYaml) {
  std::string bytes = read_file(kData / (GetParam() + ".pb"));
  Expected want = expected(GetParam());
  using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  Calls calls_pb, calls_yaml;
  testing::internal::CaptureStderr();
  auto pb = bake_descriptor_set(
      bytes, BakeRequest{true, true, [&](std::uint64_t d, std::uint64_t t) { calls_pb.emplace_back(d, t); }});
  std::string err_pb = testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  auto yaml = bake_scoring_graph(
      want.documents, BakeRequest{true, true, [&](std::uint64_t d, std::uint64_t t) { calls_yaml.emplace_back(d, t); }});
  std::string err_yaml = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(pb.has_value()) << pb.error().message;
  ASSERT_TRUE(yaml.has_value()) << yaml.error().message;
  EXPECT_EQ(pb->archive, yaml->archive);
  EXPECT_EQ(pb->yaml, yaml->yaml);
  EXPECT_EQ(pb->initial_yaml, yaml->initial_yaml);
  EXPECT_EQ(err_pb, err_yaml);
  if (GetParam() == "dup") {
    EXPECT_NE(err_pb, "");
  }
  EXPECT_EQ(calls_pb, calls_yaml);
}

// "dup" defines a message twice, differently: both bakes warn alike.
INSTANTIATE_TEST_SUITE_P(Protoc, CompiledSets, testing::Values("wkt", "own", "small", "dup"));

// The sets that "dup" concatenates, given apart, read as that one set: the
// same documents and index, with errors and spans in their own inputs.
TEST(SeveralInputs, ReadAsTheSetsLaidEndToEnd) {
  std::string a = read_file(kData / "dup_a.pb"), small = read_file(kData / "small.pb"),
              b = read_file(kData / "dup_b.pb"), whole = read_file(kData / "dup.pb");
  ASSERT_EQ(whole, a + small + b + small);
  std::vector<std::string_view> inputs = {a, small, b, small};
  auto apart = read_descriptor_sets(inputs);
  auto together = read_descriptor_set(whole);
  ASSERT_TRUE(apart.has_value() && together.has_value());
  std::vector<std::string> warned_apart, warned_together;
  EXPECT_EQ(to_bytes(canonical_index(index_of(*apart, &warned_apart))).value(),
            to_bytes(canonical_index(index_of(*together, &warned_together))).value());
  EXPECT_EQ(warned_apart, warned_together);
  EXPECT_EQ(warned_apart, (std::vector<std::string>{
                              "warning: type 'korvex.dup.Shared' is defined again in 'dup/b/shared.proto'; the index "
                              "keeps 'dup/a/shared.proto'\n",
                              "warning: type 'korvex.dup.Level' is defined again in 'dup/b/shared.proto'; the index "
                              "keeps 'dup/a/shared.proto'\n",
                              "warning: extension 'korvex.dup.Shared/100' is defined again in 'dup/b/shared.proto'; "
                              "the index keeps 'dup/a/shared.proto'\n",
                          }));
  auto docs_apart = documents_of(*apart);
  auto docs_together = documents_of(*together);
  ASSERT_TRUE(docs_apart.has_value() && docs_together.has_value());
  ASSERT_EQ(docs_apart->size(), docs_together->size());
  for (std::size_t i = 0; i < docs_apart->size(); ++i) expect_same((*docs_apart)[i], (*docs_together)[i]);
  // Each file sees its own Level: a's [0, 2], b's [0, 7]; the importer of
  // b sees b's, not the set's first.
  auto range_of = [&](std::string_view message) {
    for (const NormalizedDocument& doc : *docs_apart)
      for (const auto& [name, m] : doc.messages)
        if (name == message) return m.fields.back().range;
    return std::optional<ValueRange>();
  };
  EXPECT_EQ(range_of("korvex.dup.OnlyB"), (ValueRange{0, 7}));
  EXPECT_EQ(range_of("korvex.dup.user.User"), (ValueRange{0, 7}));
  EXPECT_EQ(documents_of(*apart)->front().messages[0].second.fields[1].range, (ValueRange{0, 2}));

  // A fault names its own input and the offset in it.
  std::string damaged = b.substr(0, b.size() - 1);
  std::vector<std::string_view> with_damage = {a, damaged};
  auto failed = read_descriptor_sets(with_damage);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().input, 1u);
  EXPECT_TRUE(failed.error().message.starts_with("descriptor set, byte offset ")) << failed.error().message;
  std::vector<std::string_view> with_empty = {a, ""};
  EXPECT_EQ(read_descriptor_sets(with_empty).error().message, "descriptor set: the input is empty");
}

// ------------------------------------------------------- hand-made input

std::string varint(std::uint64_t v) {
  std::string out;
  do {
    out += static_cast<char>((v & 0x7F) | (v > 0x7F ? 0x80 : 0));
    v >>= 7;
  } while (v != 0);
  return out;
}
std::string tag(std::uint32_t field, int wire_type) { return varint(std::uint64_t{field} << 3 | wire_type); }
std::string len(std::uint32_t field, const std::string& payload) {
  return tag(field, 2) + varint(payload.size()) + payload;
}
std::string vint(std::uint32_t field, std::int64_t v) { return tag(field, 0) + varint(static_cast<std::uint64_t>(v)); }

// A set of one file "a.proto" whose own bytes go on with `tail`: the file
// starts at offset 2 and `tail` at offset 11, while the file stays below
// 128 bytes.
std::string one_file(const std::string& tail) { return len(1, len(1, "a.proto") + tail); }

// Package "p", message "M" holding `message_tail`, which starts at offset 19;
// a field of it, made by field(), has its own bytes from offset 21.
std::string one_message(const std::string& message_tail, const std::string& file_tail = "") {
  return one_file(len(2, "p") + len(4, len(1, "M") + message_tail) + file_tail);
}
std::string field(const std::string& body) { return len(2, body); }

// The error of reading and converting, the same for documents and YAML.
std::string error_of(const std::string& bytes) {
  auto set = read_descriptor_set(bytes);
  if (!set) return set.error().message;
  auto docs = documents_of(*set);
  auto texts = yaml_documents_of(*set);
  if (docs.has_value() != texts.has_value() || (!docs && docs.error().message != texts.error().message))
    return "documents and YAML disagree";
  return docs ? "no error" : docs.error().message;
}

TEST(Malformed, EachGivesOneErrorNamingTheOffset) {
  std::string deep = len(1, "D");
  for (int i = 0; i < 98; ++i) deep = len(1, "D") + len(3, deep);  // 99 levels below a top-level message
  // Groups count towards the depth too: 99 fit inside a file, 100 do not.
  std::string groups;
  for (int i = 0; i < 100; ++i) groups = tag(15, 3) + groups + tag(15, 4);
  const struct {
    std::string bytes;
    std::string message;
  } cases[] = {
      {"", "descriptor set: the input is empty"},
      {"entries: []\n",
       "descriptor set, byte offset 0: the input is not a descriptor set: no file entry (field 1, length-delimited)"},
      {one_file("") + vint(2, 1),
       "descriptor set, byte offset 11: the input is not a descriptor set: no file entry (field 1, length-delimited)"},
      {"\x0a", "descriptor set, byte offset 1: truncated varint"},
      {"\x0a\x05" "ab", "descriptor set, byte offset 1: length runs past the end of the enclosing message"},
      {len(1, ""), "descriptor set, byte offset 2: file without a name"},
      {len(1, len(1, "")), "descriptor set, byte offset 2: file without a name"},
      {one_file(tag(15, 0) + std::string(10, '\xff') + "\x01"), "descriptor set, byte offset 12: varint longer than ten bytes"},
      {one_file(tag(15, 0) + "\x80"), "descriptor set, byte offset 12: truncated varint"},
      {one_file(tag(15, 1) + "abc"), "descriptor set, byte offset 12: truncated fixed-width value"},
      {one_file(tag(15, 5) + "abc"), "descriptor set, byte offset 12: truncated fixed-width value"},
      {one_file(std::string(1, 15 << 3 | 7)), "descriptor set, byte offset 11: invalid wire type"},
      {one_file(std::string(1, '\0')), "descriptor set, byte offset 11: invalid field number"},
      {one_file(tag(1u << 29, 0) + varint(1)), "descriptor set, byte offset 11: invalid field number"},
      {one_file(tag(15, 4)), "descriptor set, byte offset 11: end-group tag without a group"},
      {one_file(tag(15, 3) + vint(1, 1)), "descriptor set, byte offset 14: group not terminated"},
      {one_file(tag(15, 3) + tag(16, 4)), "descriptor set, byte offset 12: end-group tag of another field"},
      {one_file(groups), "descriptor set, byte offset 111: groups nested too deep"},
      {one_file(len(2, "x") + tag(12, 0) + varint(3)),
       "descriptor set, byte offset 14: FileDescriptorProto.syntax has wire type varint instead of length-delimited"},
      {len(1, vint(1, 7)),
       "descriptor set, byte offset 2: FileDescriptorProto.name has wire type varint instead of length-delimited"},
      {one_file(len(3, "b\xff.proto")), "descriptor set, byte offset 14: FileDescriptorProto.dependency is not valid UTF-8"},
      {one_file(len(2, "\xed\xa0\x80")), "descriptor set, byte offset 13: FileDescriptorProto.package is not valid UTF-8"},
      {one_message(field(len(1, "f") + len(3, "x"))),
       "descriptor set, byte offset 24: FieldDescriptorProto.number has wire type length-delimited instead of varint"},
      {one_message(field(len(8, tag(2, 2) + "\x01" "x"))),
       "descriptor set, byte offset 23: FieldOptions.packed has wire type length-delimited instead of varint"},
      {one_message(len(5, len(1, "x"))),
       "descriptor set, byte offset 21: DescriptorProto.ExtensionRange.start has wire type length-delimited instead of varint"},
      {one_message(len(3, deep)), "descriptor set, byte offset 585: messages nested more than 100 levels deep"},
      {one_file(len(4, len(1, "M")) + len(4, len(1, "M"))),
       "descriptor set, byte offset 18: message 'M' is defined twice in 'a.proto'"},
      {one_file(len(5, len(1, "E") + len(2, vint(2, 1))) + len(5, len(1, "E") + len(2, vint(2, -1)))),
       "descriptor set, byte offset 22: enum 'E' is defined twice in 'a.proto', over [1, 1] and over [-1, -1]"},
      {one_file(len(3, "x.proto")) + one_file(len(3, "y.proto")),
       "descriptor set, byte offset 22: file 'a.proto' differs from the earlier file of that name at byte offset 2"},
      // conversion
      {one_message(field(len(1, "f") + vint(3, 1))), "descriptor set, byte offset 21: field 'p.M.f' of 'a.proto' has no type"},
      {one_message(field(len(1, "f") + vint(3, 1) + vint(5, 19))),
       "descriptor set, byte offset 21: field 'p.M.f' of 'a.proto' has the unknown type 19"},
      {one_message(field(len(1, "f") + vint(3, 1) + vint(5, 5) + vint(4, 4))),
       "descriptor set, byte offset 21: field 'p.M.f' of 'a.proto' has the unknown label 4"},
      {one_message(field(len(1, "f") + vint(3, -1) + vint(5, 5))),
       "descriptor set, byte offset 21: field 'p.M.f' of 'a.proto' has the negative number -1"},
      {one_message(field(len(1, "f") + vint(3, 1) + vint(5, 14) + len(6, ".p.E"))),
       "descriptor set, byte offset 21: field 'p.M.f' of 'a.proto' names enum 'p.E', which is not in the set "
       "(compile with --include_imports)"},
      {one_message(field(len(1, "f") + vint(3, 1) + vint(5, 14) + len(6, ".p.M"))),
       "descriptor set, byte offset 21: field 'p.M.f' of 'a.proto' names enum 'p.M', which is not in the set "
       "(compile with --include_imports)"},
      {one_message(len(5, vint(1, -5) + vint(2, 3))),
       "descriptor set, byte offset 21: message 'p.M' of 'a.proto' has an extension range from the negative number -5"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.bytes), c.message) << testing::PrintToString(c.bytes);

  // One level less than the limit reads.
  std::string ok = len(1, "D");
  for (int i = 0; i < 97; ++i) ok = len(1, "D") + len(3, ok);
  EXPECT_EQ(error_of(one_message(len(3, ok))), "no error");
  EXPECT_EQ(error_of(one_message("", groups.substr(1, groups.size() - 2))), "no error");
}

TEST(Malformed, EveryTruncationAndEveryByteOfARealSetFailsCleanly) {
  const std::string bytes = read_file(kData / "small.pb");
  auto whole = read_descriptor_set(bytes);
  ASSERT_TRUE(whole.has_value());
  std::vector<std::uint64_t> ends;
  for (const FileRecord& f : whole->files) ends.push_back(f.span.end);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    // A copy of exactly n bytes, so that a read past it is caught.
    std::string prefix = bytes.substr(0, n);
    auto set = read_descriptor_set(prefix);
    bool at_file_end = std::find(ends.begin(), ends.end(), n) != ends.end();
    EXPECT_EQ(set.has_value(), at_file_end) << n;
    if (!set) {
      EXPECT_TRUE(set.error().message.starts_with("descriptor set")) << set.error().message;
    }
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (char c : {'\x00', '\x80', '\xff'}) {
      std::string damaged = bytes;
      damaged[i] = c;
      if (auto set = read_descriptor_set(damaged)) {
        (void)index_of(*set);
        (void)documents_of(*set);
      }
    }
  }
}

// ------------------------------------------------------------ semantics

// The documents of a set that must read and convert. They own their
// strings; the set itself must not outlive `bytes`.
std::vector<NormalizedDocument> documents(const std::string& bytes) {
  auto set = read_descriptor_set(bytes);
  if (!set) {
    ADD_FAILURE() << set.error().message;
    return {};
  }
  auto docs = documents_of(*set);
  if (!docs) {
    ADD_FAILURE() << docs.error().message;
    return {};
  }
  return std::move(*docs);
}

TEST(Read, RepeatedScalarsTakeTheLastValueAndOptionsMerge) {
  // number 1 then 2; options {packed: true} then options {} (merged: packed).
  const std::string bytes =
      one_message(field(len(1, "f") + vint(3, 1) + vint(3, 2) + vint(4, 3) + vint(5, 5) + len(8, vint(2, 1)) + len(8, "")));
  auto set = read_descriptor_set(bytes);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  ASSERT_EQ(set->fields.size(), 1u);
  EXPECT_EQ(set->fields[0].number, 2);
  EXPECT_EQ(set->fields[0].packed, 1);
  auto docs = documents(bytes);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].messages[0].second.fields,
            (std::vector<ScoringField>{{2, label::kRepeated, kind::kInt32, true, std::nullopt, std::nullopt}}));
}

TEST(Read, PackingFollowsSyntaxAndOption) {
  const struct {
    const char* syntax;
    int option;  // -1 absent
    bool packed;
  } cases[] = {
      {"", -1, false},       {"", 1, true},         {"", 0, false},        {"proto2", 1, true},
      {"proto3", -1, true},  {"proto3", 0, false},  {"proto3", 1, true},   {"editions", -1, true},
      {"editions", 0, false}, {"proto4", -1, false}, {"proto4", 1, true},
  };
  for (const auto& c : cases) {
    std::string options = c.option < 0 ? "" : len(8, vint(2, c.option));
    std::string syntax = *c.syntax ? len(12, c.syntax) : "";
    auto docs = documents(one_message(field(len(1, "f") + vint(3, 1) + vint(4, 3) + vint(5, 5) + options), syntax));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].messages[0].second.fields[0].packed, c.packed) << c.syntax << " " << c.option;
  }
}

TEST(Read, EmptyRecordsRead) {
  // An enum without values ranges over [0, 0]; a message without a name is
  // named by its prefix alone.
  auto docs = documents(one_message(field(len(1, "f") + vint(3, 1) + vint(5, 14) + len(6, ".p.M.E")) +
                                    len(4, len(1, "E")) + len(3, "")));
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].messages[0].second.fields[0].range, (ValueRange{0, 0}));
  EXPECT_EQ(docs[0].messages[1].first, "p.M.");
}

TEST(Read, AFileRepeatedByteForByteIsKeptOnce) {
  std::string own = read_file(kData / "own.pb");
  auto once = read_descriptor_set(own);
  std::string doubled = own + own;
  auto twice = read_descriptor_set(doubled);
  ASSERT_TRUE(once.has_value() && twice.has_value());
  EXPECT_EQ(to_bytes(canonical_index(index_of(*twice))).value(), to_bytes(canonical_index(index_of(*once))).value());
  auto a = documents_of(*once), b = documents_of(*twice);
  ASSERT_TRUE(a.has_value() && b.has_value());
  ASSERT_EQ(a->size(), b->size());
  for (std::size_t i = 0; i < a->size(); ++i) expect_same((*b)[i], (*a)[i]);
}

// A name may be a message in one file and an enum in another, and an enum
// may range differently in two files: each file's fields see their own
// definition (else the set's first, without imports); the index keeps the
// first file and says which names were defined again.
TEST(Read, NamesDefinedInSeveralFilesRead) {
  auto file = [](const std::string& name, const std::string& tail) { return len(1, len(1, name) + tail); };
  auto enum_of = [](const std::string& name, int value) { return len(5, len(1, name) + len(2, vint(2, value))); };
  std::string naming_e = len(2, len(1, "e") + vint(3, 1) + vint(5, 14) + len(6, ".E"));
  const std::string bytes = file("a.proto", len(4, len(1, "M")) + enum_of("E", 1)) +
                            file("b.proto", enum_of("M", 0) + enum_of("E", 5) + len(4, len(1, "V") + naming_e)) +
                            file("c.proto", len(4, len(1, "U") + naming_e)) +
                            file("d.proto", enum_of("E", 5) + enum_of("E", 5));  // twice alike in one file
  auto set = read_descriptor_set(bytes);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  std::vector<std::string> warned;
  FdsIndex index = index_of(*set, &warned);
  EXPECT_EQ(index.type_to_file, (Entries<std::string>{{"M", "a.proto"}, {"E", "a.proto"}, {"V", "b.proto"}, {"U", "c.proto"}}));
  EXPECT_EQ(warned, (std::vector<std::string>{
                        "warning: type 'M' is defined again in 'b.proto'; the index keeps 'a.proto'\n",
                        "warning: type 'E' is defined again in 'b.proto' and 1 other file; the index keeps 'a.proto'\n"}));
  auto docs = documents(bytes);
  ASSERT_EQ(docs.size(), 4u);
  EXPECT_EQ(docs[1].messages[0].second.fields[0].range, (ValueRange{5, 5}));
  EXPECT_EQ(docs[2].messages[0].second.fields[0].range, (ValueRange{1, 1}));
}

// Two files whose names the converter would turn into one document name
// ("a/b.proto" and "a__b.proto") stay two documents here, but cannot be
// written as two YAML files.
TEST(Read, FilesWhoseDocumentNamesCollideStayApart) {
  const std::string bytes =
      len(1, len(1, "a/b.proto") + len(4, len(1, "X"))) + len(1, len(1, "a__b.proto") + len(4, len(1, "Y")));
  auto docs = documents(bytes);
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[1].entries, std::vector<std::string>{"Y"});
  auto set = read_descriptor_set(bytes);
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(yaml_documents_of(*set).error().message,
            "descriptor set, byte offset 20: files 'a/b.proto' and 'a__b.proto' would both be written as "
            "'a__b.proto.yaml'");
}

// Names the converter's YAML cannot hold as they are: line breaks and
// control characters in the file name (of its comment line), a line break
// in a message name, and a message name longer than a YAML key may be
// without "? ". The documents read back as the set, and names YAML holds
// are written as before.
TEST(Read, DocumentsReadBackWhateverTheNames) {
  const std::string long_name(1100, 'L'), broken = "b\xE2\x80\xA8" "c";
  const auto message = [](const std::string& name, const std::string& child) {
    return len(4, len(1, name) + field(len(1, "f") + vint(3, 1) + vint(5, 11) + len(6, ".p." + child)));
  };
  const std::string bytes = len(1, len(1, "we\nird\r\x01\xC2\x85.proto") + len(2, "p") + message(long_name, broken) +
                                       message(broken, "M") + message("M", long_name));
  auto set = read_descriptor_set(bytes);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  auto texts = yaml_documents_of(*set);
  ASSERT_TRUE(texts.has_value() && texts->size() == 1u);
  const std::string& text = (*texts)[0].text;
  EXPECT_EQ(text.substr(0, text.find('\n')), "# scoring graph of we\\nird\\r\\u0001\\u0085.proto");
  EXPECT_NE(text.find("\n  ? p." + long_name + "\n  :\n    fields:"), std::string::npos);
  EXPECT_NE(text.find("\n  \"p.b\\u2028c\":\n"), std::string::npos);
  EXPECT_NE(text.find("\n  p.M:\n"), std::string::npos);
  expect_same(from_yaml(text), documents(bytes).at(0));
}

}  // namespace
}  // namespace korvex::fds
