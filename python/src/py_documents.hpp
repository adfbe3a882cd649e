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

#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "py_compat.hpp"
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
    if (PyUnicode_Check(sequence)) {
      PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
      return false;
    }
    if (!PySequence_Check(sequence)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'", Py_TYPE(sequence)->tp_name);
      return false;
    }
    Py_ssize_t hint = PySequence_Size(sequence);
    if (hint < 0) {
      // The length only sizes the first allocation; a broken __len__ costs
      // nothing but that.
      PyErr_Clear();
      hint = 0;
    }
    const auto reserve = static_cast<std::size_t>(std::min(hint, kReserveLimit));
    refs_.reserve(reserve);
    views_.reserve(reserve);

    Ref iterator = Ref::steal(PyObject_GetIter(sequence));
    if (!iterator) return false;
    bool ok = true;
    KX_BEGIN_CRITICAL_SECTION(sequence);
    try {
      for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
          if (PyErr_Occurred()) ok = false;
          break;
        }
        if (!PyUnicode_Check(item.get())) {
          PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'", Py_TYPE(item.get())->tp_name);
          ok = false;
          break;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (data == nullptr) {
          ok = false;
          break;
        }
        // Should the second push fail, the item keeps its reference and the
        // whole conversion fails.
        views_.emplace_back(data, static_cast<std::size_t>(size));
        refs_.push_back(std::move(item));
      }
    } catch (const std::bad_alloc&) {
      // Caught inside the critical section so that it is always ended.
      PyErr_NoMemory();
      ok = false;
    }
    KX_END_CRITICAL_SECTION();
    return ok;
  }

  // One view per document, in the caller's order; valid until release().
  std::span<const std::string_view> views() const noexcept { return views_; }

  // Drops the views and the references: only with the lock held.
  void release() noexcept {
    views_.clear();
    std::vector<Ref>().swap(refs_);
  }

 private:
  std::vector<Ref> refs_;
  std::vector<std::string_view> views_;
};

}  // namespace korvex::py
