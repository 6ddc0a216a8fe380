// Keeping the bearer token out of everything but the Authorization header: a token that no
// HTTP/1.1 peer can carry is refused without being repeated, and a transport's error text
// that quotes it is redacted before anyone reads it.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::transport {

// False with ValueError set when the token's text holds a control character (a line break,
// NUL, ...), which a header value can never carry. The message does not repeat the token.
bool refuse_unsendable_token(PyObject* token_text);

// Replaces, in the message of `exc` and of every exception chained to it, each form in
// which the token can appear (as is, escaped as in a str or bytes repr, stripped of
// surrounding whitespace) by "***". Returns false with an error set when that failed.
bool redact_token(PyObject* exc, PyObject* token_text);

}  // namespace quillmarsh::transport
