// quillmarsh.submit: the module's whole surface, declared once (the classes with their
// members in definition order, then the module functions), and the module's initialisation:
// its imports, constants and logger, its state, and the surface added to it.
#include <iterator>

#include "quillmarsh/submit/collaborators/imports.hpp"
#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/eras/graph_gates.hpp"
#include "quillmarsh/submit/eras/selection.hpp"
#include "quillmarsh/submit/eras/thresholds.hpp"
#include "quillmarsh/submit/host/init_method.hpp"
#include "quillmarsh/submit/host/math.hpp"
#include "quillmarsh/submit/host/surface.hpp"
#include "quillmarsh/submit/operations/exchange.hpp"
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/operations.hpp"
#include "quillmarsh/submit/results/results.hpp"
#include "quillmarsh/submit/transport/client.hpp"
#include "quillmarsh/submit/transport/errors.hpp"
#include "quillmarsh/submit/transport/observed_body.hpp"
#include "quillmarsh/submit/transport/request_json.hpp"
#include "quillmarsh/submit/transport/response_json.hpp"
#include "quillmarsh/submit/transport/transmission.hpp"
#include "quillmarsh/submit/transport/url.hpp"
#include "quillmarsh/submit/validation/contract.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"
#include "quillmarsh/submit/validation/metrics.hpp"

namespace quillmarsh {

using host::Ref;

namespace {

// Each row: the Python name, the parameters as a `def` writes them (after self or cls), the
// doc line, and the C++ body (named after the Python name; members prefixed by their class).
// clang-format off: a row a declaration, its name, parameters and doc line each on a line
const host::Entry kSurface[] = {
    host::type("SubmissionReceipt", "object", "Receipt returned after successful signal/strategy submission."),
    host::method<&results::receipt_init>("__init__",
        "submission_id",
        "Record the id of an accepted submission."),

    host::type("SubmissionStatus", "object", "Status returned by poll_status for a submitted signal/strategy."),
    host::method<&results::status_record_init>("__init__",
        "submission_id, status, is_stats, payment, rejection_reason, signal_pool_id=None, "
        "is_correlation=None, agent_is_correlation=None, is_pnl_mi=None, agent_is_pnl_mi=None, "
        "failure_reason=None, failure_detail=None, failure_message=None",
        "Record a submission's status fields, unchanged."),

    host::type("SubmissionRejectedError", "Exception", "Raised when the server rejects a submission or poll request."),
    host::method<&transport::rejected_error_init>("__init__",
        "status_code, reason, details=None, body=None",
        "Record the rejecting status, the machine reason, the details and the whole body."),

    host::type("SignalClientResponseError", "Exception",
               "Raised when signal_service returns an invalid response body."),
    host::method<&transport::response_error_init>("__init__",
        "message, *, status_code, url, raw_body",
        "Record the status, URL and raw body of a response that is not a JSON object."),

    host::type("_TransmissionObservedBody", "object", "Seekable request body that observes the first transport read."),
    host::method<&transport::observed_body_init>("__init__",
        "body_bytes, observer, method, url, headers",
        "Wrap serialised request bytes for one request."),
    host::property<&transport::observed_body_consumed>(
        "consumed", "Whether the transport has read the body (and the observer was called)."),
    host::method<&transport::observed_body_observe_once>("_observe_once",
        "",
        "Call the observer the first time only, marking the body observed first."),
    host::method<&transport::observed_body_read>("read",
        "size=-1",
        "Read up to size bytes (all when size is negative or None)."),
    host::method<&transport::observed_body_seek>("seek",
        "offset, whence=0",
        "Move the read position; returns the new position."),
    host::method<&transport::observed_body_tell>("tell",
        "",
        "The current read position."),
    host::method<&transport::observed_body_iter>("__iter__",
        "",
        "Iterate over body chunks."),
    host::method<&transport::observed_body_next>("__next__",
        "",
        "The rest of the body as one chunk."),

    host::type("SignalServiceClient", "object",
               "Result-based HTTP SDK facade backed by the canonical submit transport."),
    host::method<&transport::client_init>("__init__",
        "base_url, jwt_token, *, timeout=30.0, transport=None, transmission_observer=None",
        "Vet the base URL for bearer transport, store the settings and build the default httpx.Client "
        "unless a transport is given."),
    host::method<&transport::client_close>("close",
        "",
        "Close the HTTP transport when it has a callable close()."),
    host::method<&transport::client_response_content>("_response_content",
        "response",
        "Read a transport response into bytes (content, text or json())."),
    host::method<&transport::client_transport_request>("_transport_request",
        "method, url, headers, body_content",
        "Send one request through the HTTP transport; returns (status_code, response_bytes)."),
    host::method<&transport::client_canonical_request>("_canonical_request",
        "method, endpoint, body=None",
        "Send an authenticated JSON request to the service; returns (status_code, dict)."),
    host::method<&eras::client_fetch_era_catalog>("_fetch_era_catalog",
        "",
        "The service's era catalog (GET eras), fetched once and then served from the client's cache."),
    host::method<&eras::client_resolve_submit_thresholds>("_resolve_submit_thresholds",
        "named_universe, signal_pool_name, market_id=None, era_number=None",
        "The thresholds a submission must meet, resolved from the client's era catalog."),
    host::static_method<&results::client_submit_result_from_body>("_submit_result_from_body",
        "status_code, body",
        "The SubmitResult of an accepted submission."),
    host::static_method<&results::client_batch_item_result_from_body>("_batch_item_result_from_body",
        "item",
        "The BatchSubmitItemResult of one entry of a batch answer."),
    host::class_method<&results::client_batch_result_from_body>("_batch_result_from_body",
        "status_code, body, *, error=None",
        "The BatchSubmitResult of a batch answer: its item results and counts."),
    host::static_method<&results::client_batch_body_item_from_result>("_batch_body_item_from_result",
        "item",
        "The dict form of an item result (index, status_code, body)."),
    host::static_method<&results::client_batch_http_status_for_items>("_batch_http_status_for_items",
        "results",
        "202 when every item was accepted, the status all items share when none was, else 207."),
    host::class_method<&results::client_combine_batch_chunk_results>("_combine_batch_chunk_results",
        "chunk_results",
        "One BatchSubmitResult for the chunks of a batch posted one after another."),
    host::class_method<&results::client_batch_result_with_partial_failure>("_batch_result_with_partial_failure",
        "failure, prior_results, total_count",
        "The BatchSubmitResult of a batch whose chunk failed after earlier chunks were answered."),
    host::static_method<&results::client_rebase_batch_item_indices>("_rebase_batch_item_indices",
        "result, index_offset",
        "Shift the int indices of a chunk's item results to positions in the whole batch."),
    host::static_method<&results::client_status_result_from_body>("_status_result_from_body",
        "status_code, body",
        "The StatusResult of a status answer."),
    host::static_method<&results::client_submission_list_result_from_body>("_submission_list_result_from_body",
        "status_code, body, *, error=None",
        "The SubmissionListResult of a listing answer (or of a rejected listing, with its error)."),
    host::static_method<&results::client_submit_result_from_rejection>("_submit_result_from_rejection",
        "exc",
        "The SubmitResult of a rejected submission."),
    host::static_method<&results::client_status_result_from_rejection>("_status_result_from_rejection",
        "exc",
        "The StatusResult of a rejected status request."),
    host::static_method<&results::client_error_body_from_response_error>("_error_body_from_response_error",
        "exc",
        "(error text, error body) describing an answer that was not a JSON object."),
    host::class_method<&results::client_submit_result_from_response_error>("_submit_result_from_response_error",
        "exc",
        "The SubmitResult of a malformed answer."),
    host::class_method<&results::client_batch_result_from_response_error>("_batch_result_from_response_error",
        "exc",
        "The BatchSubmitResult of a malformed answer."),
    host::class_method<&results::client_status_result_from_response_error>("_status_result_from_response_error",
        "exc",
        "The StatusResult of a malformed answer."),
    host::static_method<&results::client_submit_result_from_transport_error>("_submit_result_from_transport_error",
        "exc",
        "The SubmitResult of a submission that got no answer; logs one library event."),
    host::static_method<&results::client_batch_result_from_transport_error>("_batch_result_from_transport_error",
        "exc",
        "The BatchSubmitResult of a batch that got no answer."),
    host::static_method<&results::client_status_result_from_transport_error>("_status_result_from_transport_error",
        "exc",
        "The StatusResult of a status request that got no answer."),
    host::static_method<&operations::client_idempotency_key_for_body>("_idempotency_key_for_body",
        "body",
        "\"sigsubmit-\" and the SHA-256 hex digest of the body's canonical JSON (sorted keys, no "
        "blanks, no NaN), computed without its idempotency_key entry."),
    host::static_method<&validation::client_validate_submission_contract>("_validate_submission_contract",
        "signal_pool_name, is_stats, is_pnl_mi, expression_elapsed_seconds, thresholds=None, "
        "client_manifest_version=None, client_manifest_market_id=None, client_manifest_era_number=None",
        "Validate a signal's pool name, statistics, MI value, thresholds, elapsed time and manifest "
        "fields, in that order; the first failure raises ValueError."),
    operations::operation<&operations::prepare_submit_signal>("submit_signal",
        "graph, named_universe=None, *, signal_pool_name, is_stats, is_pnl_mi, metaparameters=None, "
        "expression_elapsed_seconds, search_state=None, idempotency_key=None, threshold_checks=None, "
        "thresholds=None, client_manifest_version=None, market_id=None, era_number=None, "
        "client_manifest_market_id=None, client_manifest_era_number=None",
        "Check a signal against the active era's rules, post it to signals/submit with an idempotency "
        "key and return a SubmitResult for acceptance, rejection, a malformed answer or a transport "
        "failure."),
    operations::operation<&operations::prepare_submit_strategy>("submit_strategy",
        "graph, named_universe=None, *, strategy_pool_name, market_id, era_number, metaparameters=None, "
        "idempotency_key=None, client_manifest_version=None, client_manifest_market_id=None, "
        "client_manifest_era_number=None",
        "Post a strategy to strategies/submit with an idempotency key and return its SubmitResult; "
        "rejections, malformed answers and transport failures raise."),
    operations::operation<&operations::prepare_submit_signals_batch>("submit_signals_batch",
        "submissions",
        "Check every submission, then post them to signals/batch in one request or in chunks of 100, "
        "and return one BatchSubmitResult for the whole batch."),
    operations::operation<&operations::prepare_signal_status>("get_signal_status",
        "submission_id",
        "The StatusResult of one submission (signals/status/<id>); rejections, client-error answers "
        "that are not JSON objects and transport failures become results too."),
    operations::operation<&operations::prepare_signal_submissions>("list_signal_submissions",
        "*, status=None, idempotency_key=None, since=None, limit=100",
        "The SubmissionListResult of signals/submissions, filtered by the arguments that are not None "
        "(sent in the order status, idempotency_key, since, limit)."),
    host::method<&operations::client_poll_until_terminal>("poll_until_terminal",
        "submission_id, *, timeout",
        "Read the submission's status until it is terminal, the request fails in transport or timeout "
        "seconds have passed; returns the last StatusResult."),

    // Module functions: transport, validation, era catalog, results.
    host::function<&transport::request_json>("_request_json",
        "method, endpoint, get_token, server_url, body, request_func, transmission_observer=None",
        "Send one authenticated JSON request through request_func and return (status_code, dict)."),
    host::function<&transport::join_url>("_join_url",
        "server_url, endpoint",
        "Join a server URL and an endpoint route with exactly one slash."),
    host::function<&transport::percent_encode>("_percent_encode",
        "value",
        "Percent-encode every byte except RFC 3986 unreserved characters."),
    host::function<&transport::parse_response_json>("_parse_response_json",
        "status_code, response_body_bytes, url, *, operation",
        "Parse a response body into a dict, logging and raising SignalClientResponseError when it is "
        "not a JSON object."),
    host::function<&transport::raise_submission_rejected>("_raise_submission_rejected",
        "status_code, response_data",
        "Raise SubmissionRejectedError for a non-2xx JSON object response."),
    host::function<&transport::requires_legacy_signal_pool_id_retry>("_requires_legacy_signal_pool_id_retry",
        "exc",
        "Whether a rejection asks for the older signal_pool_id request field."),
    host::function<&validation::is_finite_number>("_is_finite_number",
        "value",
        "Whether value is an int or float (exact types, never a bool) whose float value is finite."),
    host::function<&validation::has_non_finite_number>("_has_non_finite_number",
        "value",
        "Whether value, or any dict value or list/tuple item nested in it, is a number that is not "
        "finite."),
    host::function<&validation::coerce_mi_contract_value>("_coerce_mi_contract_value",
        "value",
        "is_pnl_mi as a float: an int or float that is not NaN, or \"Infinity\" / \"-Infinity\"."),
    host::function<&validation::mi_contract_json_value>("_mi_contract_json_value",
        "value",
        "is_pnl_mi as sent: a finite float, or \"Infinity\"; negative infinity is refused."),
    host::function<&validation::has_disallowed_mi_contract_field>("_has_disallowed_mi_contract_field",
        "value",
        "Whether a retired MI field (is_pnl_mi_values, is_mi_values, is_mi) is a key at any depth of "
        "value."),
    host::function<&validation::stat_metric>("_stat_metric",
        "is_stats, keys",
        "The float of the first key in keys whose is_stats value is a finite number, else None."),
    host::function<&validation::submission_is_stats_payload>("_submission_is_stats_payload",
        "is_stats",
        "A shallow copy of is_stats without the internal _threshold_checks key."),
    host::function<&validation::reject_caller_threshold_authority>("_reject_caller_threshold_authority",
        "threshold_checks=None, thresholds=None",
        "Refuse thresholds supplied by the caller: they come from the era catalog only."),
    host::function<&validation::validate_submission_thresholds>("_validate_submission_thresholds",
        "is_stats, is_pnl_mi, thresholds=None",
        "Run the threshold gates on the in-sample metrics; the first failed gate is raised as "
        "ValueError."),
    host::function<&validation::validate_optional_manifest_int>("_validate_optional_manifest_int",
        "value, field_name",
        "value unchanged when it is None or an int (not a bool) greater than 0; otherwise ValueError."),
    host::function<&validation::validate_selected_pool_id>("_validate_selected_pool_id",
        "value, field_name='signal_pool_id'",
        "Refuse a pool name that is not a non-empty str (blanks are accepted)."),
    host::function<&validation::validate_named_universe>("_validate_named_universe",
        "value",
        "The trimmed universe name, or the onboarding default when value is None or blank; it must be "
        "one safe path segment."),
    host::function<&validation::reject_retired_universe_aliases>("_reject_retired_universe_aliases",
        "body",
        "Refuse a dict body that still carries a retired universe id field."),
    host::function<&eras::field_value>("_field_value",
        "value, key, default=None",
        "Read a field of a catalog record: value.get(key, default) for a dict, else getattr(value, key, "
        "default)."),
    host::function<&eras::mapping_lookup>("_mapping_lookup",
        "mapping, key",
        "The entry of a dict under key, else under str(key); None when absent or not a dict."),
    host::function<&eras::coerce_optional_int>("_coerce_optional_int",
        "value",
        "int(value), or None for None, a bool, or a value int() refuses."),
    host::function<&eras::active_era_from_catalog>("_active_era_from_catalog",
        "catalog, market_id=None, era_number=None",
        "Choose an era record of the catalog: the requested era number, else the active era number, "
        "else the first era whose state is active, current or open, else the first era; None when the "
        "catalog offers no eras."),
    host::function<&eras::required_active_submit_era>("_required_active_submit_era",
        "catalog, market_id=None, era_number=None",
        "The era chosen by _active_era_from_catalog; raises ValueError when there is none."),
    host::function<&eras::required_positive_era_int>("_required_positive_era_int",
        "era, field_name",
        "The era's field, which must be an int greater than 0; raises ValueError otherwise."),
    host::function<&eras::required_era_frequency>("_required_era_frequency",
        "era",
        "The era's data frequency, a non-blank str returned as stored; raises ValueError otherwise."),
    host::function<&eras::simulation_data_contract_projection_from_era>("_simulation_data_contract_projection_from_era",
        "era",
        "A copy of the era's simulation data contract projection dict, or None when it has none."),
    host::function<&eras::submission_thresholds_from_era_catalog>("_submission_thresholds_from_era_catalog",
        "catalog, named_universe, signal_pool_name, market_id=None, era_number=None",
        "Resolve the thresholds of one submission from the era catalog: the era's thresholds, "
        "overridden by the signal pool's thresholds for the universe's rule, overridden by the pool's "
        "own correlation and MI thresholds. Returns a new dict; raises ValueError when a part is "
        "missing."),
    host::function<&eras::rule_id_for_named_universe>("_rule_id_for_named_universe",
        "era, named_universe",
        "The era's rule id for a named universe (from its universe rules, else its universes), or None."),
    host::function<&eras::signal_is_thresholds_for_pool>("_signal_is_thresholds_for_pool",
        "pool, rule_id",
        "A copy of the pool's in-sample thresholds for a universe rule, else of its pool-wide ones; an "
        "empty dict when it has neither."),
    host::function<&eras::enforce_graph_complexity_for_submit>("_enforce_graph_complexity_for_submit",
        "graph, era",
        "Measure the graph and hold its depth and node count against the era's max_depth and "
        "max_node_count; returns the measured complexity, raises ValueError over a limit."),
    host::function<&eras::enforce_recorded_backtest_timing_for_submit>("_enforce_recorded_backtest_timing_for_submit",
        "graph, era",
        "Consume the graph's recorded backtest timing and have it assessed against the budget of the "
        "era's frequency; returns the accepted assessment, raises ValueError otherwise."),
    host::function<&results::coerce_status_metric>("_coerce_status_metric",
        "value",
        "The float infinities for the texts \"Infinity\" and \"-Infinity\"; any other value unchanged."),
    host::function<&results::failure_reason_from_status_body>("_failure_reason_from_status_body",
        "body",
        "The public failure reason of a status body (stats_mismatch for detected tampering)."),
    host::function<&results::public_status_body>("_public_status_body",
        "body",
        "The status body without its internal correlation and is_weights_mi entries."),

    // The steps the asynchronous client drives with `await` (operations/exchange.hpp,
    // transport/transmission.hpp): `client` is the synchronous client that holds its settings.
    host::dispatcher("_exchange",
        "The exchange of the operation named `operation` (a method of SignalServiceClient above, or "
        "submit_prepared_batch), prepared from `subject` (the client that holds its settings) and the "
        "operation's arguments, yet to make its requests."),
    operations::preparation<&operations::prepare_prepared_batch>("submit_prepared_batch",
        "bodies",
        "Bodies already prepared by submit_signals_batch's checks, posted in its chunks."),
    host::function<&operations::exchange_next>("_exchange_next",
        "exchange",
        "(tag, method, endpoint, body) of the exchange's next request, or None when it has none now."),
    host::function<&operations::exchange_answered>("_exchange_answered",
        "exchange, tag, status_code, body",
        "Settle the request `tag` with its answer."),
    host::function<&operations::exchange_failed>("_exchange_failed",
        "exchange, tag, exc",
        "Settle the request `tag` with its failure; raises it again when the operation does not map it."),
    host::function<&operations::exchange_result>("_exchange_result",
        "exchange",
        "The exchange's result, once every request is settled."),
    host::function<&operations::exchange_settled>("_exchange_settled",
        "exchange, tag",
        "What the request `tag` settled as (a chunk of a batch: its own result); None while it is unsettled."),
    host::function<&operations::poll_deadline>("_poll_deadline",
        "timeout",
        "time.monotonic() + timeout; ValueError when that is NaN."),
    host::function<&operations::poll_delay>("_poll_delay",
        "last, deadline",
        "The wait before the next status request, or None when the status `last` stands."),
    host::function<&eras::settle_era_catalog>("_settle_era_catalog",
        "client, answer, failure",
        "The era catalog from GET eras' answer (or its failure), checked and cached on `client`."),
    host::function<&transport::transmission_begin>("_transmission_begin",
        "client, method, endpoint, body",
        "A request on its way: URL vetted, token read, headers and body made, as _request_json makes them."),
    host::function<&transport::transmission_send>("_transmission_send",
        "transmission, transport, stream_type",
        "Call the transport for the transmission; returns what it returns (awaitable for an async transport)."),
    host::function<&transport::transmission_answer>("_transmission_answer",
        "client, response",
        "(status_code, response_bytes) of a transport response."),
    host::function<&transport::transmission_failed>("_transmission_failed",
        "transmission, exc",
        "Raise the transport's failure again, the token taken out of it."),
    host::function<&transport::transmission_end>("_transmission_end",
        "transmission, status_code, response_bytes",
        "(status_code, dict) of an answer; raises for an answer that is not JSON or not 2xx."),
};
// clang-format on

constexpr const char* kTerminalStatuses[] = {
    "signal_found",
    "signal_is_rejected",
    "signal_os_passed",
    "signal_os_failed",
    "signal_server_side_error",
    "signal_useful",
    "signal_not_useful",
    "signal_useful_transition_failed",
};

bool add_constants(PyObject* module, host::State& state) {
  Ref logging(PyObject_GetAttrString(module, "logging"));
  Ref logger = logging ? Ref(PyObject_CallMethod(logging.get(), "getLogger", "s", "quillmarsh.submit")) : Ref();
  if (!logger || PyModule_AddObjectRef(module, "logger", logger.get()) < 0) return false;
  if (PyModule_AddIntConstant(module, "_MALFORMED_BODY_PREVIEW_BYTES", 512) < 0) return false;
  if (PyModule_AddIntConstant(module, "_SIGNALS_BATCH_CLIENT_CHUNK_SIZE", 100) < 0) return false;

  Ref statuses(PyFrozenSet_New(nullptr));
  if (!statuses) return false;
  for (const char* status : kTerminalStatuses) {
    Ref text(PyUnicode_FromString(status));
    if (!text || PySet_Add(statuses.get(), text.get()) < 0) return false;
  }
  if (PyModule_AddObjectRef(module, "_TERMINAL_STATUSES", statuses.get()) < 0) return false;

  Ref interval(PyFloat_FromDouble(0.1));
  if (!interval || PyModule_AddObjectRef(module, "_POLL_INTERVAL_SECONDS", interval.get()) < 0) return false;

  Ref unreserved = transport::make_unreserved_bytes();
  if (!unreserved || PyModule_AddObjectRef(module, "_UNRESERVED_BYTES", unreserved.get()) < 0) return false;
  state[host::State::UnreservedSet] = unreserved.release();

  Ref retired(Py_BuildValue("(sss)", "universe_id", "valid_universe_id", "valid_universe_rule_id"));
  return retired && PyModule_AddObjectRef(module, "_RETIRED_UNIVERSE_ALIAS_KEYS", retired.get()) == 0;
}

int exec_module(PyObject* module) {
  host::State& state = *host::state_of(module);
  state[host::State::NamespaceDict] = Py_NewRef(PyModule_GetDict(module));
  host::ModuleScope scope(module);
  if (!collaborators::bind_imports(module)) return -1;
  Ref dumps = host::global_attr(QM_NAME("json"), QM_NAME("dumps"));
  if (!dumps) return -1;
  state[host::State::HostDumps] = dumps.release();
  for (int i = 0; i < static_cast<int>(host::MathFunction::Count); ++i) {
    PyObject* name = host::math_name(static_cast<host::MathFunction>(i));
    state[host::State::MathBuiltins + i] = name ? host::global_attr(QM_NAME("math"), name).release() : nullptr;
    if (state[host::State::MathBuiltins + i] == nullptr) return -1;
  }
  if (!add_constants(module, state)) return -1;
  state[host::State::InitMethodType] = host::make_init_method_type(module).release();
  if (state[host::State::InitMethodType] == nullptr) return -1;
  return host::add_surface(module, kSurface, std::size(kSurface)) ? 0 : -1;
}

// The state's references, for the collector.
template <typename Visit>
int each_reference(host::State* state, Visit&& visit) {
  if (state == nullptr) return 0;
  for (PyObject*& slot : state->slots) {
    if (int failed = visit(&slot)) return failed;
  }
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  return each_reference(host::state_of(module), [&](PyObject** slot) {
    Py_VISIT(*slot);
    return 0;
  });
}

int clear_module(PyObject* module) {
  return each_reference(host::state_of(module), [](PyObject** slot) {
    Py_CLEAR(*slot);
    return 0;
  });
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Interned names, keyword tuples and method definitions are kept for the process: one
    // interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The module relies on the GIL (process-wide caches, borrowed reads of dicts).
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

}  // namespace

namespace host {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillmarsh.submit",
    "Submit subcomponent \xe2\x80\x94 client-side signal and strategy submission",
    sizeof(State),
    nullptr,
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace host
}  // namespace quillmarsh

PyMODINIT_FUNC PyInit_submit(void);  // the interpreter finds it by name
PyMODINIT_FUNC PyInit_submit(void) { return PyModuleDef_Init(&quillmarsh::host::module_def); }
