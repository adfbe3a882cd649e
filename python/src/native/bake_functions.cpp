// korvex_graph._native.bake, .index and .convert: scoring-graph YAML
// documents and compiled descriptor sets into the two archives, and sets
// into the converter's YAML documents, for the package's bake(), index() and
// convert().
//
// bake takes a list of inputs, each a YAML document (str) or a serialised
// FileDescriptorSet (any bytes-like object), and merges them in list order
// through one Merger: a YAML input is one document, a set one normalised
// document per file in the set's file order, so document indexes in
// messages and warnings count both kinds alike. All the sets among the
// inputs are read as one (a file in two of them is read once, a name in
// several is resolved as each file sees it), each contributing its files'
// documents at its own place in the list. Baking sets this way gives the
// archive that build_graph gives for the converter's YAML of the sets laid
// end to end. index and convert take one set or a list of them, read alike.
//
// Both functions convert their arguments with the lock held into values the
// caller can no longer change (a str or bytes object, immutable, is read in
// place under a held reference, as build_graph reads its documents; any
// other buffer is copied) and then run through build_graph's own bridge
// (py_bake.hpp): the same flags, the same progress bridge (a
// KeyboardInterrupt raised in on_progress is raised once the build is
// over), the stage's text as RuntimeError, native exceptions caught before
// the lock is taken back. A failure
// that belongs to one input (reading it, converting a set into documents,
// merging a document) also carries that input's position in the list as the
// exception's `input_index` attribute, so that the caller can name the file
// it came from.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../py_args.hpp"
#include "../py_bake.hpp"
#include "../py_convert.hpp"
#include "../py_ref.hpp"
#include "build_scoring_graph/load/merge.hpp"
#include "build_scoring_graph/pipeline.hpp"
#include "descriptor_set/descriptor_set.hpp"
#include "native_state.hpp"

namespace korvex::native {

using py::bytes_of;
using py::copy_flag;
using py::Outcome;
using py::raise_failure;
using py::Ref;

namespace {

constexpr char kBakeDoc[] =
    "bake(inputs, emit_yaml=False, emit_initial_yaml=False, on_progress=None)\n"
    "--\n"
    "\n"
    "Bake YAML documents (str) and serialised descriptor sets (bytes-like),\n"
    "merged in list order, a set giving one document per file; the sets are\n"
    "read as one (a file in two of them once).\n"
    "\n"
    "Returns (archive, minimised YAML or None, initial YAML or None, documents\n"
    "merged, distinct messages, states before minimisation). Raises\n"
    "RuntimeError with the failing stage's message; when the failure belongs\n"
    "to one input, the exception's input_index is that input's position.";

constexpr char kIndexDoc[] =
    "index(descriptor_sets)\n"
    "--\n"
    "\n"
    "The index archive of a serialised descriptor set (bytes-like), or of a\n"
    "list of them read as one: which file defines each type and extension,\n"
    "where each file's bytes lie (in the sets laid end to end), what each file\n"
    "imports. Raises RuntimeError naming the byte offset of a fault, with the\n"
    "set's position as input_index when given a list.";

constexpr char kConvertDoc[] =
    "convert(descriptor_sets)\n"
    "--\n"
    "\n"
    "The scoring-graph YAML document of every file of a serialised descriptor\n"
    "set (bytes-like), or of a list of them read as one, as a list of\n"
    "(file name, text) in the set's file order. Raises RuntimeError as index.";

// One input, readable with the lock released.
struct Input {
  bool is_yaml = false;
  Ref object;                 // a str or bytes object read in place (immutable) ...
  std::string_view borrowed;  // ... and its UTF-8 text or bytes, alive while `object` is
  std::string owned;          // a copy of any other buffer

  std::string_view view() const { return object ? borrowed : std::string_view(owned); }
};

// A descriptor set as an Input: a bytes object by reference, any other
// buffer by copy.
bool copy_buffer(PyObject* object, const char* function, Input& out) {
  if (PyBytes_Check(object)) {
    out.object = Ref::borrow(object);
    out.borrowed = {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    return true;
  }
  Py_buffer buffer;
  if (!acquire_bytes(object, function, buffer)) return false;
  bool ok = true;
  try {
    out.owned.assign(static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len));
  } catch (...) {
    ok = false;
    py::raise_current_exception();
  }
  PyBuffer_Release(&buffer);
  return ok;
}

bool copy_input(PyObject* item, Input& out) {
  if (PyUnicode_Check(item)) {
    out.is_yaml = true;
    if (!py::utf8_view(item, out.borrowed)) return false;
    out.object = Ref::borrow(item);
    return true;
  }
  if (!PyObject_CheckBuffer(item)) {
    PyErr_Format(PyExc_TypeError, "an input must be str (a YAML document) or a bytes-like descriptor set, not %.200s",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  return copy_buffer(item, "bake", out);
}

struct Baked {
  BakeOutput output;
  std::size_t documents = 0;
  std::size_t messages = 0;
};

// Merges the inputs in order and runs the stages after the merge, filling
// `outcome`; runs with the lock released (py::run_released).
void run_bake(const std::vector<Input>& inputs, const BakeRequest& request, Outcome<Baked>& outcome) {
  auto fail_at = [&](std::size_t k, Error&& error) { outcome.fail(std::move(error.message), k); };
  // Every set first, read as one; their failures wait for their turn
  // below, so that the inputs before the failing one still merge (and
  // warn) as they would alone.
  std::vector<std::string_view> sets;
  std::vector<std::size_t> set_input;  // position in inputs of each set
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    if (inputs[k].is_yaml) continue;
    sets.push_back(inputs[k].view());
    set_input.push_back(k);
  }
  std::optional<fds::SetError> set_error;
  std::vector<NormalizedDocument> documents;
  std::vector<std::uint32_t> documents_end(sets.size(), 0);  // per set: end of its documents
  if (!sets.empty()) {
    auto set = fds::read_descriptor_sets(sets);
    auto converted = set ? fds::documents_of(*set) : std::unexpected(std::move(set.error()));
    if (converted) {
      documents = std::move(*converted);
      for (const fds::FileRecord& f : set->files) documents_end[f.input] = static_cast<std::uint32_t>(&f - set->files.data()) + 1;
      for (std::size_t i = 1; i < sets.size(); ++i) documents_end[i] = std::max(documents_end[i], documents_end[i - 1]);
    } else {
      set_error = std::move(converted.error());
    }
  }
  Merger merger;
  std::size_t yaml_bytes = 0;
  for (const Input& input : inputs) yaml_bytes += input.is_yaml ? input.view().size() : 0;
  merger.expect_yaml_bytes(yaml_bytes);
  std::size_t next_set = 0;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    if (inputs[k].is_yaml) {
      if (auto added = merger.add_yaml(inputs[k].view()); !added) return fail_at(k, std::move(added.error()));
      continue;
    }
    const std::size_t i = next_set++;
    if (set_error && (set_error->input == i || set_error->input == fds::kNoInput))
      return fail_at(k, Error{std::move(set_error->message)});
    for (std::uint32_t d = i == 0 ? 0 : documents_end[i - 1]; d < documents_end[i]; ++d)
      merger.add_normalized(std::move(documents[d]));
  }
  outcome.value.documents = merger.document_count();
  Merged merged = std::move(merger).finish();
  outcome.value.messages = merged.messages.size();
  Result<BakeOutput> result = bake_merged(std::move(merged), request);
  if (!result) return outcome.fail(std::move(result.error().message));
  outcome.value.output = std::move(*result);
  outcome.status = Outcome<Baked>::Status::kDone;
}

// Runs work(the sets' bytes) -> SetResult<T>, filling `outcome`; runs with
// the lock released (py::run_released).
template <class T, class Work>
void run_on(const std::vector<Input>& inputs, Work work, Outcome<T>& outcome) {
  std::vector<std::string_view> views;
  for (const Input& input : inputs) views.push_back(input.view());
  fds::SetResult<T> result = work(std::span<const std::string_view>(views));
  if (!result) {
    const std::size_t at = result.error().input;
    return outcome.fail(std::move(result.error().message), at == fds::kNoInput ? std::nullopt : std::optional(at));
  }
  outcome.succeed(std::move(*result));
}

void run_index(const std::vector<Input>& inputs, Outcome<std::vector<std::uint8_t>>& outcome) {
  run_on(inputs, fds::index_descriptor_sets, outcome);
}

void run_convert(const std::vector<Input>& inputs, Outcome<std::vector<fds::YamlDocument>>& outcome) {
  run_on(
      inputs,
      [](std::span<const std::string_view> views) -> fds::SetResult<std::vector<fds::YamlDocument>> {
        auto set = fds::read_descriptor_sets(views);
        if (!set) return std::unexpected(std::move(set.error()));
        return fds::yaml_documents_of(*set);
      },
      outcome);
}

constexpr std::array<const char*, 4> kBakeParameters = {"inputs", "emit_yaml", "emit_initial_yaml", "on_progress"};
constexpr py::Signature kBakeSignature{"bake", kBakeParameters, 1};

PyObject* bake_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kBakeParameters.size()> slots{};
  if (!py::bind_arguments(kBakeSignature, args, nargs, kwnames, slots)) return nullptr;

  std::vector<Input> inputs;
  if (!py::copy_sequence(slots[0], inputs, copy_input)) {
    py::note_argument(kBakeParameters[0]);
    return nullptr;
  }
  BakeRequest request;
  if (!copy_flag(slots[1], request.emit_yaml)) {
    py::note_argument(kBakeParameters[1]);
    return nullptr;
  }
  if (!copy_flag(slots[2], request.emit_initial_yaml)) {
    py::note_argument(kBakeParameters[2]);
    return nullptr;
  }
  py::Progress progress(slots[3]);
  request.progress = progress.bridge();

  Outcome<Baked> outcome =
      py::run_released<Baked>([&](Outcome<Baked>& out) { run_bake(inputs, request, out); });
  request.progress = nullptr;
  inputs.clear();
  if (!py::settle(progress, outcome, true)) return nullptr;

  std::array<Ref, 3> texts;
  if (!py::bake_objects(outcome.value.output, texts)) return nullptr;
  Ref documents = Ref::steal(PyLong_FromSize_t(outcome.value.documents));
  if (!documents) return nullptr;
  Ref messages = Ref::steal(PyLong_FromSize_t(outcome.value.messages));
  if (!messages) return nullptr;
  Ref states = Ref::steal(PyLong_FromUnsignedLong(outcome.value.output.raw_state_count));
  if (!states) return nullptr;
  outcome = Outcome<Baked>{};  // native results go before the tuple is handed over
  return PyTuple_Pack(6, texts[0].get(), texts[1].get(), texts[2].get(), documents.get(), messages.get(),
                      states.get());
}

// One set (any buffer) or a sequence of them. With one set, failures carry
// no input_index.
bool copy_sets(PyObject* object, const char* function, std::vector<Input>& out, bool& listed) {
  listed = !PyObject_CheckBuffer(object);
  if (!listed) return copy_buffer(object, function, out.emplace_back());
  return py::copy_sequence(object, out, [&](PyObject* item, Input& input) {
    if (!PyObject_CheckBuffer(item)) {
      PyErr_Format(PyExc_TypeError, "a descriptor set must be a bytes-like object, not %.200s",
                   Py_TYPE(item)->tp_name);
      return false;
    }
    return copy_buffer(item, function, input);
  });
}

template <class T>
using Runner = void (*)(const std::vector<Input>&, Outcome<T>&);

// Runs `run` over the sets of the one argument, with the lock released.
template <class T>
std::optional<Outcome<T>> run_on_sets(const char* function, const py::Signature& signature, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames, Runner<T> run, bool& listed) {
  std::array<PyObject*, 1> slots{};
  if (!py::bind_arguments(signature, args, nargs, kwnames, slots)) return std::nullopt;
  std::vector<Input> inputs;
  if (!copy_sets(slots[0], function, inputs, listed)) {
    py::note_argument(signature.names[0]);
    return std::nullopt;
  }
  Outcome<T> outcome = py::run_released<T>([&](Outcome<T>& out) { run(inputs, out); });
  inputs.clear();
  if (!outcome.done()) {
    raise_failure(outcome, listed);
    return std::nullopt;
  }
  return outcome;
}

constexpr std::array<const char*, 1> kSetsParameters = {"descriptor_sets"};
constexpr py::Signature kIndexSignature{"index", kSetsParameters, 1};
constexpr py::Signature kConvertSignature{"convert", kSetsParameters, 1};

PyObject* index_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  bool listed = false;
  auto outcome = run_on_sets<std::vector<std::uint8_t>>("index", kIndexSignature, args, nargs, kwnames, run_index, listed);
  if (!outcome) return nullptr;
  return bytes_of(outcome->value).release();
}

PyObject* convert_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  bool listed = false;
  auto outcome =
      run_on_sets<std::vector<fds::YamlDocument>>("convert", kConvertSignature, args, nargs, kwnames, run_convert, listed);
  if (!outcome) return nullptr;
  const auto& documents = outcome->value;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(documents.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    Ref name = Ref::steal(PyUnicode_DecodeUTF8(documents[i].file_name.data(),
                                               static_cast<Py_ssize_t>(documents[i].file_name.size()), "strict"));
    if (!name) return nullptr;
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(documents[i].text.data(), static_cast<Py_ssize_t>(documents[i].text.size()), "strict"));
    if (!text) return nullptr;
    PyObject* pair = PyTuple_Pack(2, name.get(), text.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

}  // namespace

PyMethodDef bake_method() { return py::method_def<bake_impl>("bake", kBakeDoc); }
PyMethodDef index_method() { return py::method_def<index_impl>("index", kIndexDoc); }
PyMethodDef convert_method() { return py::method_def<convert_impl>("convert", kConvertDoc); }

}  // namespace korvex::native
