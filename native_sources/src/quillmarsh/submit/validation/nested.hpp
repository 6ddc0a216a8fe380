// Walking nested statistics (dicts, lists and tuples inside each other) without recursion in
// C: an explicit stack of open containers, each iterated exactly as a Python `for` loop over
// `d.values()`, `d.items()` or the sequence would iterate it. The depth is bounded by the
// interpreter's recursion limit, so neither deep nor self-referencing input can exhaust the
// C stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillmarsh/submit/validation/lookups.hpp"

namespace quillmarsh::validation {

// Whether `value` is walked into: a dict, list or tuple, subclasses included.
inline bool is_nested(PyObject* value) { return PyDict_Check(value) || PyList_Check(value) || PyTuple_Check(value); }

// Iteration over the children of one container.
class Cursor {
 public:
  enum class Mode : uint8_t { Values, Items };

  // Starts iterating `value`, which is_nested(). A dict yields its values (Values) or its
  // (key, value) pairs (Items); a list or tuple its items. Exact containers are read in
  // place; subclasses through their own `values()`, `items()` or `__iter__`. False with the
  // error set when one of those fails.
  bool open(PyObject* value, Mode mode);

  // 1 with the next child in `item` (and, for a dict in Items mode, its key in `key`), 0 when
  // the container is done, -1 with the error set. Like the host's iterators, a plain dict
  // that changes size during the walk raises RuntimeError.
  int next(Ref& key, Ref& item);

  void close() {
    iter_.reset();
    container_.reset();
  }

 private:
  enum class Kind : uint8_t { Dict, List, Tuple, Iterator };

  Ref container_;
  Ref iter_;
  Py_ssize_t pos_ = 0;
  Py_ssize_t used_ = 0;       // size when the dict walk began
  Py_ssize_t remaining_ = 0;  // entries the dict walk still expects
  Kind kind_ = Kind::Tuple;
  bool keys_ = false;   // a plain dict yields its keys too
  bool pairs_ = false;  // iter_ yields (key, value) pairs to unpack
};

// The open containers of one walk, innermost last. The first few live inline.
class CursorStack {
 public:
  CursorStack() = default;
  CursorStack(const CursorStack&) = delete;
  CursorStack& operator=(const CursorStack&) = delete;

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  Cursor& top() { return at(size_ - 1); }

  // Opens `value` as the new innermost container. False with the error set when the walk
  // would nest deeper than the recursion limit, or when opening fails.
  bool push(PyObject* value, Cursor::Mode mode);
  void pop();

 private:
  static constexpr size_t kInline = 8;
  Cursor& at(size_t i) { return i < kInline ? inline_[i] : spill_[i - kInline]; }

  Cursor inline_[kInline];
  std::vector<Cursor> spill_;
  size_t size_ = 0;
};

}  // namespace quillmarsh::validation
