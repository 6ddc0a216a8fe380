// Text the way f-strings make it.
#pragma once

#include <initializer_list>

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// `format(value, "")`, what an f-string replacement field produces.
Ref text_of(PyObject* value);

// A new str from UTF-8 text.
Ref str(const char* text);

// Concatenation of str pieces; a null piece means an earlier step failed.
Ref join(std::initializer_list<PyObject*> pieces);

// `text.encode("utf-8")`: encoded here for a plain str, else by the object's own encode().
Ref encode_utf8(PyObject* text);

}  // namespace quillmarsh::host
