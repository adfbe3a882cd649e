// The documents of build_graph, read where the caller keeps them.
//
// Converting takes one strong reference to each str of the sequence and a
// view of its UTF-8 buffer: the object's own bytes for an ASCII string, else
// the UTF-8 copy that the interpreter caches in the object the first time it
// is asked for, and keeps until the object dies. A str never changes, and a
// referenced one never dies, so the views stay valid and equal to what was
// converted while the bake reads them with the lock released, whatever the
// caller does to its list meanwhile, from any thread. The references are
// dropped only once the lock is held again.
//
// The refusals are those of every sequence argument of the module: a str in
// place of the sequence, an object that fails the sequence check, an item
// that is not a str or cannot be encoded (a lone surrogate), and whatever
// iterating raises.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>
#include <vector>

#include "py_convert.hpp"
#include "py_ref.hpp"

namespace korvex::py {

class Documents {
 public:
  Documents() = default;
  Documents(const Documents&) = delete;
  Documents& operator=(const Documents&) = delete;
  // Drops the references: only with the lock held.
  ~Documents() = default;

  // Takes the items of `sequence`, in iteration order; false with a Python
  // exception set when the sequence or an item is refused.
  bool convert(PyObject* sequence) {
    const bool ok = copy_sequence(sequence, held_, [](PyObject* item, Held& out) {
      if (!utf8_view(item, out.text)) return false;
      out.object = Ref::borrow(item);
      return true;
    });
    if (!ok) return false;
    views_.reserve(held_.size());
    for (const Held& held : held_) views_.push_back(held.text);
    return true;
  }

  // One view per document, in the caller's order; valid until release().
  std::span<const std::string_view> views() const noexcept { return views_; }

  // Drops the views and the references: only with the lock held.
  void release() noexcept {
    std::vector<std::string_view>().swap(views_);
    std::vector<Held>().swap(held_);
  }

 private:
  struct Held {
    Ref object;
    std::string_view text;  // the object's UTF-8 bytes
  };
  std::vector<Held> held_;
  std::vector<std::string_view> views_;
};

}  // namespace korvex::py
