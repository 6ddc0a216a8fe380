#include "quillmarsh/submit/eras/common.hpp"

#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::eras {

PyObject* market_era_kwnames() {
  static PyObject* kwnames = nullptr;  // kept for the process lifetime
  if (kwnames == nullptr) {
    PyObject* market_id = QM_NAME("market_id");
    PyObject* era_number = QM_NAME("era_number");
    if (market_id == nullptr || era_number == nullptr) return nullptr;
    kwnames = PyTuple_Pack(2, market_id, era_number);
  }
  return kwnames;
}

int equals(PyObject* a, PyObject* b) {
  const bool a_plain = a == Py_None || PyLong_CheckExact(a);
  const bool b_plain = b == Py_None || PyLong_CheckExact(b);
  if (a_plain && b_plain) {
    if (a == Py_None || b == Py_None) return a == b;
    return PyObject_RichCompareBool(a, b, Py_EQ);  // int equality is reflexive
  }
  Ref result(PyObject_RichCompare(a, b, Py_EQ));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace quillmarsh::eras
