// Following a submission: its status (signals/status/<id>), the listing of submissions
// (signals/submissions with filters) and polling until a terminal status or a deadline.
#include <cmath>
#include <utility>

#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/operations/exchange.hpp"
#include "quillmarsh/submit/operations/operations.hpp"
#include "quillmarsh/submit/operations/outcome.hpp"
#include "quillmarsh/submit/transport/url.hpp"

namespace quillmarsh::operations {

namespace {

// `_percent_encode(value)`
Ref percent_encode(PyObject* value) { return host::call<&transport::percent_encode>(value); }

FailureMap g_status_failures = {
    "_status_result_from_body",
    {Mapping::Convert, "_status_result_from_transport_error"},
    {Mapping::Convert, "_status_result_from_rejection"},
    {Mapping::Convert, "_status_result_from_response_error"},
    /*gateway=*/false,
};

FailureMap g_listing_failures = {
    "_submission_list_result_from_body",
    {Mapping::EmptyListing, nullptr},
    {Mapping::FromErrorBody, "_submission_list_result_from_body"},
    {Mapping::ListingFromErrorBody, "_error_body_from_response_error"},
    /*gateway=*/false,
};

// `a + b` for two str (anything else through the host's operator).
Ref concat(PyObject* a, PyObject* b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref(PyUnicode_Concat(a, b));
  return Ref(PyNumber_Add(a, b));
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
  if (!status) return -1;
  // A status the service answered as a JSON object or array is no status at all: never
  // terminal (looking it up in the set would raise TypeError out of polling).
  if (PyDict_Check(status.get()) || PyList_Check(status.get())) return 0;
  Ref terminal = host::global(QM_NAME("_TERMINAL_STATUSES"));
  return terminal ? PySequence_Contains(terminal.get(), status.get()) : -1;
}

// `a <op> b` as a truth value: 1, 0 or -1.
int compare(PyObject* a, PyObject* b, int op) {
  Ref result(PyObject_RichCompare(a, b, op));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

// The deadline of a poll: time.monotonic() + timeout (refused when NaN).
Ref deadline_of(PyObject* timeout) {
  Ref monotonic = clock(QM_NAME("monotonic"));
  Ref start = monotonic ? Ref(PyObject_CallNoArgs(monotonic.get())) : Ref();
  Ref deadline = start ? Ref(PyNumber_Add(start.get(), timeout)) : Ref();
  if (!deadline) return Ref();
  // A NaN deadline is never reached and makes every sleep zero: the loop would spin on the
  // service until a terminal status. Refused before the first request.
  if (PyFloat_Check(deadline.get()) && std::isnan(PyFloat_AS_DOUBLE(deadline.get()))) {
    return Ref(host::raise_value_error("poll_until_terminal timeout must be a number of seconds, not NaN"));
  }
  return deadline;
}

// Whether polling goes on after `last`: 1 with `delay` set to the wait before the next
// status request, 0 when `last` stands (a terminal status, a transport failure, the deadline
// passed), -1 with an error set. With `sleep`, `time.sleep` is read into it on the way, where
// the synchronous loop has always read it.
int next_delay(PyObject* last, PyObject* deadline, Ref& delay, Ref* sleep) {
  int done = settled(last);
  if (done != 0) return done < 0 ? -1 : 0;
  Ref monotonic = clock(QM_NAME("monotonic"));
  Ref now = monotonic ? Ref(PyObject_CallNoArgs(monotonic.get())) : Ref();
  int expired = now ? compare(now.get(), deadline, Py_GE) : -1;
  if (expired != 0) return expired < 0 ? -1 : 0;
  // min(_POLL_INTERVAL_SECONDS, remaining if remaining > 0.0 else 0.0)
  if (sleep != nullptr && !(*sleep = clock(QM_NAME("sleep")))) return -1;
  Ref zero(PyFloat_FromDouble(0.0));
  Ref interval = zero ? host::global(QM_NAME("_POLL_INTERVAL_SECONDS")) : Ref();
  Ref remaining = interval ? Ref(PyNumber_Subtract(deadline, now.get())) : Ref();
  int ahead = remaining ? compare(remaining.get(), zero.get(), Py_GT) : -1;
  if (ahead < 0) return -1;
  PyObject* left = ahead ? remaining.get() : zero.get();
  int shorter = compare(left, interval.get(), Py_LT);
  if (shorter < 0) return -1;
  delay = Ref::borrow(shorter ? left : interval.get());
  return 1;
}

}  // namespace

std::unique_ptr<Exchange> prepare_signal_status(PyObject* client, PyObject* submission_id) {
  Ref encoded = percent_encode(submission_id);
  Ref endpoint = encoded ? concat(QM_NAME("signals/status/"), encoded.get()) : Ref();
  if (!endpoint) return nullptr;
  return std::make_unique<SingleRequest>(client, g_status_failures,
                                         Request{Ref::borrow(QM_NAME("GET")), std::move(endpoint), Ref()});
}

std::unique_ptr<Exchange> prepare_signal_submissions(PyObject* client, PyObject* status, PyObject* idempotency_key,
                                                     PyObject* since, PyObject* limit) {
  PyObject* const filters[] = {status, idempotency_key, since, limit};
  Ref endpoint = listing_endpoint(filters);
  if (!endpoint) return nullptr;
  return std::make_unique<SingleRequest>(client, g_listing_failures,
                                         Request{Ref::borrow(QM_NAME("GET")), std::move(endpoint), Ref()});
}

PyObject* client_poll_until_terminal(PyObject* self, PyObject* submission_id, PyObject* timeout) {
  Ref deadline = deadline_of(timeout);
  if (!deadline) return nullptr;
  Ref last = poll_once(self, submission_id);
  if (!last) return nullptr;
  for (;;) {
    Ref delay, sleep;
    int more = next_delay(last.get(), deadline.get(), delay, &sleep);
    if (more <= 0) return more < 0 ? nullptr : last.release();
    if (!Ref(PyObject_CallOneArg(sleep.get(), delay.get()))) return nullptr;
    last = poll_once(self, submission_id);
    if (!last) return nullptr;
  }
}

PyObject* poll_deadline(PyObject*, PyObject* timeout) { return deadline_of(timeout).release(); }

PyObject* poll_delay(PyObject*, PyObject* last, PyObject* deadline) {
  Ref delay;
  int more = next_delay(last, deadline, delay, nullptr);
  if (more <= 0) return more < 0 ? nullptr : Py_NewRef(Py_None);
  return delay.release();
}

}  // namespace quillmarsh::operations
