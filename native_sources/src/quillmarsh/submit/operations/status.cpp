// Following a submission: its status (signals/status/<id>), the listing of submissions
// (signals/submissions with filters) and polling until a terminal status or a deadline.
#include <cmath>
#include <utility>

#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/operations/outcome.hpp"
#include "quillmarsh/submit/operations/registry.hpp"

namespace quillmarsh::operations {

namespace {

// `_percent_encode(value)`
Ref percent_encode(PyObject* value) {
  PyObject* args[] = {value};
  return host::call_global(QM_NAME("_percent_encode"), args, 1);
}

// `a + b` for two str (anything else through the host's operator).
Ref concat(PyObject* a, PyObject* b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref(PyUnicode_Concat(a, b));
  return Ref(PyNumber_Add(a, b));
}

PyObject* get_signal_status(PyObject* self, PyObject* submission_id) {
  Ref encoded = percent_encode(submission_id);
  Ref endpoint = encoded ? concat(QM_NAME("signals/status/"), encoded.get()) : Ref();
  if (!endpoint) return nullptr;
  return request_then(self, QM_NAME("GET"), endpoint.get(), nullptr, QM_NAME("_status_result_from_body"),
                      [&](const Ref& exc, Failure failure) -> Ref {
                        switch (failure) {
                          case Failure::Transport:
                            return convert(self, QM_NAME("_status_result_from_transport_error"), exc.get());
                          case Failure::Rejected:
                            return convert(self, QM_NAME("_status_result_from_rejection"), exc.get());
                          case Failure::Malformed: {
                            int mapped = mapped_status(exc.get(), /*gateway=*/false);
                            if (mapped <= 0) return Ref();
                            return convert(self, QM_NAME("_status_result_from_response_error"), exc.get());
                          }
                          case Failure::Other:
                            break;
                        }
                        return Ref();
                      })
      .release();
}

PyObject* get_signal_status_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient.get_signal_status", 1, 1, {{"submission_id", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&] { return get_signal_status(self, a[0]); });
}

// `SubmissionListResult(status_code=..., body=..., submissions=[], error=...)`
Ref empty_listing(PyObject* status_code, PyObject* body, PyObject* error) {
  static const host::Keywords kw({"status_code", "body", "submissions", "error"});
  Ref record_type = host::global(QM_NAME("SubmissionListResult"));
  Ref submissions = record_type ? Ref(PyList_New(0)) : Ref();
  if (!submissions) return Ref();
  PyObject* values[] = {status_code, body, submissions.get(), error};
  return kw.call(record_type.get(), values);
}

// `str(exc) or type(exc).__name__`
Ref failure_text(PyObject* exc) {
  Ref text(PyObject_Str(exc));
  int has_text = text ? PyObject_IsTrue(text.get()) : -1;
  if (has_text < 0) return Ref();
  if (has_text) return text;
  return Ref(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(exc)), QM_NAME("__name__")));
}

// `self._submission_list_result_from_body(exc.status_code, exc.body or {}, error=exc.reason)`
Ref rejected_listing(PyObject* self, PyObject* exc) {
  static const host::Keywords kw({"error"});
  Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
  Ref body = status_code ? Ref(PyObject_GetAttr(exc, QM_NAME("body"))) : Ref();
  int has_body = body ? PyObject_IsTrue(body.get()) : -1;
  if (has_body < 0) return Ref();
  if (!has_body) body = Ref(PyDict_New());
  Ref reason = body ? Ref(PyObject_GetAttr(exc, QM_NAME("reason"))) : Ref();
  PyObject* names = reason ? kw.names() : nullptr;
  if (names == nullptr) return Ref();
  PyObject* args[] = {self, status_code.get(), body.get(), reason.get()};
  return Ref(PyObject_VectorcallMethod(QM_NAME("_submission_list_result_from_body"), args, 3, names));
}

// The listing of an answer that was not a JSON object, built from its error body.
Ref malformed_listing(PyObject* self, PyObject* exc) {
  Ref pair = convert(self, QM_NAME("_error_body_from_response_error"), exc);
  Ref error, body;
  if (!pair || !host::unpack_pair(pair.get(), error, body)) return Ref();
  Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
  return status_code ? empty_listing(status_code.get(), body.get(), error.get()) : Ref();
}

// "signals/submissions", with "?" and the filters given, each "name=value" percent-encoded.
Ref listing_endpoint(PyObject* const* filters) {
  PyObject* const names[] = {QM_NAME("status"), QM_NAME("idempotency_key"), QM_NAME("since"), QM_NAME("limit")};
  Ref query(PyList_New(0));
  if (!query) return Ref();
  for (int i = 0; i < 4; ++i) {
    if (filters[i] == Py_None) continue;
    Ref value;
    if (i == 3) {
      Ref number(PyNumber_Long(filters[i]));
      value = number ? Ref(PyObject_Str(number.get())) : Ref();
    } else {
      value = Ref(PyObject_Str(filters[i]));
    }
    if (!value) return Ref();
    Ref pair(PyTuple_Pack(2, names[i], value.get()));
    if (!pair || PyList_Append(query.get(), pair.get()) < 0) return Ref();
  }
  PyObject* route = QM_NAME("signals/submissions");
  if (PyList_GET_SIZE(query.get()) == 0) return Ref::borrow(route);
  Ref parts(PyList_New(0));
  if (!parts) return Ref();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(query.get()); ++i) {
    Ref pair = Ref::borrow(PyList_GET_ITEM(query.get(), i));
    Ref name = percent_encode(PyTuple_GET_ITEM(pair.get(), 0));
    Ref name_text = name ? host::text_of(name.get()) : Ref();
    Ref value = name_text ? percent_encode(PyTuple_GET_ITEM(pair.get(), 1)) : Ref();
    Ref value_text = value ? host::text_of(value.get()) : Ref();
    Ref part = host::join({name_text.get(), QM_NAME("="), value_text.get()});
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return Ref();
  }
  Ref encoded(PyUnicode_Join(QM_NAME("&"), parts.get()));
  return host::join({route, QM_NAME("?"), encoded.get()});
}

PyObject* list_signal_submissions(PyObject* self, PyObject* const* filters) {
  Ref endpoint = listing_endpoint(filters);
  if (!endpoint) return nullptr;
  return request_then(self, QM_NAME("GET"), endpoint.get(), nullptr, QM_NAME("_submission_list_result_from_body"),
                      [&](const Ref& exc, Failure failure) -> Ref {
                        switch (failure) {
                          case Failure::Transport: {
                            Ref text = failure_text(exc.get());
                            Ref zero = text ? Ref(PyLong_FromLong(0)) : Ref();
                            return zero ? empty_listing(zero.get(), Py_None, text.get()) : Ref();
                          }
                          case Failure::Rejected:
                            return rejected_listing(self, exc.get());
                          case Failure::Malformed: {
                            int mapped = mapped_status(exc.get(), /*gateway=*/false);
                            if (mapped <= 0) return Ref();
                            return malformed_listing(self, exc.get());
                          }
                          case Failure::Other:
                            break;
                        }
                        return Ref();
                      })
      .release();
}

PyObject* list_signal_submissions_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient.list_signal_submissions", 1, 0,
                                   {{"status", false}, {"idempotency_key", false}, {"since", false}, {"limit", false}});
  PyObject* a[4];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Ref default_limit;
    if (a[3] == nullptr) {
      default_limit = Ref(PyLong_FromLong(100));
      if (!default_limit) return nullptr;
    }
    PyObject* const filters[] = {host::or_default(a[0], Py_None), host::or_default(a[1], Py_None),
                                 host::or_default(a[2], Py_None), a[3] ? a[3] : default_limit.get()};
    return list_signal_submissions(self, filters);
  });
}

// `time.<name>` read now, so that a replaced clock drives polling.
Ref clock(PyObject* name) { return host::global_attr(QM_NAME("time"), name); }

// `self.get_signal_status(submission_id)`
Ref poll_once(PyObject* self, PyObject* submission_id) {
  PyObject* args[] = {self, submission_id};
  return Ref(PyObject_VectorcallMethod(QM_NAME("get_signal_status"), args, 2, nullptr));
}

// Whether polling stops at `last`: a transport failure (status_code 0) or a terminal
// status. 1, 0, or -1 with an error set.
int settled(PyObject* last) {
  Ref status_code(PyObject_GetAttr(last, QM_NAME("status_code")));
  Ref zero = status_code ? Ref(PyLong_FromLong(0)) : Ref();
  Ref no_answer = zero ? Ref(PyObject_RichCompare(status_code.get(), zero.get(), Py_EQ)) : Ref();
  int failed = no_answer ? PyObject_IsTrue(no_answer.get()) : -1;
  if (failed != 0) return failed;
  Ref status(PyObject_GetAttr(last, QM_NAME("status")));
  Ref terminal = status ? host::global(QM_NAME("_TERMINAL_STATUSES")) : Ref();
  return terminal ? PySequence_Contains(terminal.get(), status.get()) : -1;
}

// `a <op> b` as a truth value: 1, 0 or -1.
int compare(PyObject* a, PyObject* b, int op) {
  Ref result(PyObject_RichCompare(a, b, op));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

PyObject* poll_until_terminal(PyObject* self, PyObject* submission_id, PyObject* timeout) {
  Ref monotonic = clock(QM_NAME("monotonic"));
  Ref start = monotonic ? Ref(PyObject_CallNoArgs(monotonic.get())) : Ref();
  Ref deadline = start ? Ref(PyNumber_Add(start.get(), timeout)) : Ref();
  if (!deadline) return nullptr;
  // A NaN deadline is never reached and makes every sleep zero: the loop would spin on the
  // service until a terminal status. Refused before the first request.
  if (PyFloat_Check(deadline.get()) && std::isnan(PyFloat_AS_DOUBLE(deadline.get()))) {
    return host::raise_value_error("poll_until_terminal timeout must be a number of seconds, not NaN");
  }
  Ref last = poll_once(self, submission_id);
  Ref zero(PyFloat_FromDouble(0.0));
  if (!last || !zero) return nullptr;
  for (;;) {
    int done = settled(last.get());
    if (done != 0) return done < 0 ? nullptr : last.release();
    monotonic = clock(QM_NAME("monotonic"));
    Ref now = monotonic ? Ref(PyObject_CallNoArgs(monotonic.get())) : Ref();
    int expired = now ? compare(now.get(), deadline.get(), Py_GE) : -1;
    if (expired != 0) return expired < 0 ? nullptr : last.release();
    // time.sleep(min(_POLL_INTERVAL_SECONDS, remaining if remaining > 0.0 else 0.0))
    Ref sleep = clock(QM_NAME("sleep"));
    Ref interval = sleep ? host::global(QM_NAME("_POLL_INTERVAL_SECONDS")) : Ref();
    Ref remaining = interval ? Ref(PyNumber_Subtract(deadline.get(), now.get())) : Ref();
    int ahead = remaining ? compare(remaining.get(), zero.get(), Py_GT) : -1;
    if (ahead < 0) return nullptr;
    PyObject* left = ahead ? remaining.get() : zero.get();
    int shorter = compare(left, interval.get(), Py_LT);
    if (shorter < 0) return nullptr;
    if (!Ref(PyObject_CallOneArg(sleep.get(), shorter ? left : interval.get()))) return nullptr;
    last = poll_once(self, submission_id);
    if (!last) return nullptr;
  }
}

PyObject* poll_until_terminal_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient.poll_until_terminal", 1, 1,
                                   {{"submission_id", true}, {"timeout", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&] { return poll_until_terminal(self, a[0], a[1]); });
}

}  // namespace

PyMethodDef kGetSignalStatus = {
    "get_signal_status", QM_FASTCALL_ENTRY(get_signal_status_entry),
    "get_signal_status($self, submission_id)\n--\n\n"
    "The StatusResult of one submission (signals/status/<id>); rejections, client-error answers that "
    "are not JSON objects and transport failures become results too."};
PyMethodDef kListSignalSubmissions = {
    "list_signal_submissions", QM_FASTCALL_ENTRY(list_signal_submissions_entry),
    "list_signal_submissions($self, *, status=None, idempotency_key=None, since=None, limit=100)\n--\n\n"
    "The SubmissionListResult of signals/submissions, filtered by the arguments that are not None "
    "(sent in the order status, idempotency_key, since, limit)."};
PyMethodDef kPollUntilTerminal = {
    "poll_until_terminal", QM_FASTCALL_ENTRY(poll_until_terminal_entry),
    "poll_until_terminal($self, submission_id, *, timeout)\n--\n\n"
    "Read the submission's status until it is terminal, the request fails in transport or timeout "
    "seconds have passed; returns the last StatusResult."};

}  // namespace quillmarsh::operations
