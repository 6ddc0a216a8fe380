#include "quillmarsh/submit/validation/nested.hpp"

namespace quillmarsh::validation {

bool Cursor::open(PyObject* value, Mode mode) {
  container_ = Ref::borrow(value);
  pos_ = 0;
  pairs_ = false;
  keys_ = mode == Mode::Items;
  if (PyDict_CheckExact(value)) {
    kind_ = Kind::Dict;
    used_ = remaining_ = PyDict_GET_SIZE(value);
    return true;
  }
  if (PyList_CheckExact(value)) {
    kind_ = Kind::List;
    return true;
  }
  if (PyTuple_CheckExact(value)) {
    kind_ = Kind::Tuple;
    return true;
  }
  kind_ = Kind::Iterator;
  if (PyDict_Check(value)) {
    pairs_ = mode == Mode::Items;
    Ref view(PyObject_CallMethodNoArgs(value, pairs_ ? QM_NAME("items") : QM_NAME("values")));
    if (view) iter_ = Ref(PyObject_GetIter(view.get()));
  } else {
    iter_ = Ref(PyObject_GetIter(value));
  }
  return static_cast<bool>(iter_);
}

int Cursor::next(Ref& key, Ref& item) {
  switch (kind_) {
    case Kind::Dict: {
      PyObject* dict = container_.get();
      if (PyDict_GET_SIZE(dict) != used_) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
      }
      PyObject *k, *v;
      if (!PyDict_Next(dict, &pos_, &k, &v)) return 0;
      if (remaining_ == 0) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return -1;
      }
      --remaining_;
      if (keys_) key = Ref::borrow(k);
      item = Ref::borrow(v);
      return 1;
    }
    case Kind::List: {
      PyObject* list = container_.get();
      if (pos_ >= PyList_GET_SIZE(list)) return 0;
      item = Ref::borrow(PyList_GET_ITEM(list, pos_++));
      return 1;
    }
    case Kind::Tuple: {
      PyObject* tuple = container_.get();
      if (pos_ >= PyTuple_GET_SIZE(tuple)) return 0;
      item = Ref::borrow(PyTuple_GET_ITEM(tuple, pos_++));
      return 1;
    }
    case Kind::Iterator: {
      Ref next(PyIter_Next(iter_.get()));
      if (!next) return PyErr_Occurred() ? -1 : 0;
      if (!pairs_) {
        item = std::move(next);
        return 1;
      }
      bool ok = host::unpack_pair(next.get(), key, item);
      return ok ? 1 : -1;
    }
  }
  return 0;
}

bool CursorStack::push(PyObject* value, Cursor::Mode mode) {
  if (size_ >= static_cast<size_t>(Py_GetRecursionLimit())) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while checking is_stats");
    return false;
  }
  if (size_ >= kInline) spill_.emplace_back();
  ++size_;
  if (!top().open(value, mode)) {
    pop();
    return false;
  }
  return true;
}

void CursorStack::pop() {
  top().close();
  if (size_ > kInline) spill_.pop_back();
  --size_;
}

}  // namespace quillmarsh::validation
