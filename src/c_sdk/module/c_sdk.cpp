// Module definition and initialisation: the creation step (one interpreter per
// process), the execution step that runs the module-level statements in order, and
// the namespace those statements build.
#include <Python.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../bindings/binding.hpp"
#include "../bindings/direct.hpp"
#include "../records/records.hpp"
#include "../runtime/state.hpp"
#include "helpers.hpp"

namespace csdk {
namespace {

// Module functions in the order the namespace binds them; whether each goes through
// adapt_to_python3 is stated in its family's table.
constexpr const char* function_order[] = {
    "is_windows",
    "is_linux",
    "adapt_to_python3",
    "c_status_ok",
    "c_status_fail",
    "py_qxi_set_mode_consistency",
    "py_qxi_current",
    "py_qxi_current_price",
    "py_qxi_get_serv_addr",
    "py_qxi_set_bus_info",
    "py_qxi_set_bus_secure",
    "py_qxi_add_bus_topic",
    "py_qxi_send_msg_to_bus",
    "py_qxi_set_data_callback",
    "py_qxi_schedule",
    "py_qxi_set_backtest_config",
    "py_qxi_place_order",
    "py_qxi_set_backtest_intraday",
    "py_qxi_last_tick",
    "py_qxi_get_unfinished_orders",
    "py_qxi_get_orders",
    "py_qxi_cancel_all_orders",
    "py_qxi_close_all_positions",
    "py_qxi_get_execution_reports",
    "py_qxi_get_cash",
    "py_qxi_get_positions",
    "py_qxi_cancel_order",
    "py_qxi_set_strategy_id",
    "py_qxi_subscribe",
    "py_qxi_set_token",
    "py_qxi_get_encrypted_token",
    "py_qxi_get_orgcode",
    "py_qxi_set_mfp",
    "py_qxi_set_apitoken",
    "py_qxi_unsubscribe",
    "py_qxi_set_serv_addr",
    "py_qxi_set_ctp_md_info",
    "py_qxi_get_accounts",
    "py_qxi_get_account_status",
    "py_qxi_raw_func",
    "py_qxi_repay_cash_directly_pb",
    "py_qxi_get_collateral_instruments_pb",
    "py_qxi_get_borrowable_instruments_pb",
    "py_qxi_get_borrowable_instruments_positions_pb",
    "py_qxi_get_credit_contracts_pb",
    "py_qxi_get_credit_cash_pb",
    "py_qxi_get_ipo_quota_pb",
    "py_qxi_get_ipo_instruments_pb",
    "py_qxi_get_ipo_match_number_pb",
    "py_qxi_get_ipo_lot_info_pb",
    "py_qxi_get_parameters",
    "py_qxi_add_parameters",
    "py_qxi_set_parameters",
    "py_qxi_log",
    "py_qxi_strerror",
    "py_qxi_get_ext_errormsg",
    "py_qxi_run",
    "py_qxi_stop",
    "py_qxi_set_timer",
    "py_qxi_set_version",
    "py_qxi_history_ticks_l2",
    "py_qxi_history_bars_l2",
    "py_qxi_history_transaction_l2",
    "py_qxi_place_algo_orders",
    "py_qxi_algo_order_batch",
    "py_qxi_cancel_algo_orders",
    "py_qxi_pause_algo_orders",
    "py_qxi_get_algo_orders",
    "py_qxi_get_child_orders",
    "py_qxi_history_order_l2",
    "py_qxi_history_order_queue_l2",
    "py_qxi_get_entrustable_volume_by_symbol_pb",
    "py_qxi_smart_reorder",
    "py_qxi_smart_reorder_cancel",
    "py_qxi_user_timer",
    "py_qxi_user_timer_stop",
    "py_qxi_set_serv_addr_v5",
    "py_qxi_set_account_id",
    "py_qxi_set_simtrade_only",
    "py_qxi_get_symbol_infos",
    "py_qxi_get_symbols_v2",
    "py_qxi_get_history_symbol",
    "py_qxi_get_trading_session",
    "py_qxi_get_contract_expire_rest_days",
    "py_qxi_stk_get_industry_category",
    "py_qxi_stk_get_industry_constituents",
    "py_qxi_stk_get_symbol_industry",
    "py_qxi_stk_get_sector_category",
    "py_qxi_stk_get_sector_constituents",
    "py_qxi_stk_get_symbol_sector",
    "py_qxi_stk_get_index_constituents",
    "py_qxi_stk_get_index_history_constituents",
    "py_qxi_stk_get_dividend",
    "py_stk_get_ration",
    "py_qxi_stk_get_adj_factor",
    "py_qxi_stk_get_shareholder_num",
    "py_qxi_stk_get_top_shareholder",
    "py_qxi_stk_get_share_change",
    "py_qxi_stk_get_fundamentals_balance",
    "py_qxi_stk_get_fundamentals_balance_pt",
    "py_qxi_stk_get_fundamentals_cashflow",
    "py_qxi_stk_get_fundamentals_cashflow_pt",
    "py_qxi_stk_get_fundamentals_income",
    "py_qxi_stk_get_fundamentals_income_pt",
    "py_qxi_stk_get_finance_prime",
    "py_qxi_stk_get_finance_prime_pt",
    "py_qxi_stk_get_finance_deriv",
    "py_qxi_stk_get_finance_deriv_pt",
    "py_qxi_stk_get_daily_valuation",
    "py_qxi_stk_get_daily_valuation_pt",
    "py_qxi_stk_get_daily_mktvalue",
    "py_qxi_stk_get_daily_mktvalue_pt",
    "py_qxi_stk_get_daily_basic",
    "py_qxi_stk_get_daily_basic_pt",
    "py_qxi_fut_get_continuous_contracts",
    "py_qxi_fut_get_contract_info",
    "py_qxi_fut_get_transaction_ranking",
    "py_qxi_fut_get_transaction_rankings",
    "py_qxi_fut_get_warehouse_receipt",
    "py_qxi_fnd_get_etf_constituents",
    "py_qxi_fnd_get_portfolio",
    "py_qxi_fnd_get_net_value",
    "py_qxi_fnd_get_adj_factor",
    "py_qxi_fnd_get_dividend",
    "py_qxi_fnd_get_split",
    "py_qxi_bnd_get_conversion_price",
    "py_qxi_bnd_get_call_info",
    "py_qxi_bnd_get_put_info",
    "py_qxi_bnd_get_amount_change",
    "py_get_trading_dates_by_year",
    "py_qxi_option_comb_entrust_pb",
    "py_qxi_option_sep_entrust_pb",
    "py_qxi_get_option_combinable_pb",
    "py_qxi_get_option_comb_position_pb",
    "py_qxi_get_fundamentals",
    "py_qxi_get_fundamentals_n",
    "py_qxi_get_instrumentInfos",
    "py_qxi_get_fuzzy_match_instrumentInfos",
    "py_qxi_get_history_instruments",
    "py_qxi_get_constituents",
    "py_qxi_get_sector",
    "py_qxi_get_industry",
    "py_qxi_get_concept",
    "py_qxi_get_trading_dates",
    "py_qxi_get_previous_trading_date",
    "py_qxi_get_next_trading_date",
    "py_qxi_get_dividends",
    "py_qxi_get_dividends_snapshot",
    "py_qxi_get_continuous_contracts",
    "py_qxi_get_varietyinfos",
    "py_qxi_get_trading_time",
    "py_qxi_option_get_symbols_by_exchange",
    "py_qxi_option_get_symbols_by_in_at_out",
    "py_qxi_option_get_delisted_dates",
    "py_qxi_option_get_exercise_prices",
    "py_qxi_history_ticks_pb",
    "py_qxi_history_bars_pb",
    "py_qxi_history_ticks_n_pb",
    "py_qxi_history_bars_n_pb",
    "py_qxi_get_instruments",
    "py_qxi_get_trading_times_ext",
    "py_qxi_get_convertible_bond_call_info",
    "py_qxi_set_max_wait_time",
    "py_qxi_set_backtest_threadnum",
    "py_qxi_get_stop_error_code",
    "py_qxi_use_dsproxy",
    "py_qxi_get_previous_n_trading_dates",
    "py_qxi_get_next_n_trading_dates",
    "py_qxi_stk_abnor_change_stocks",
    "py_qxi_stk_abnor_change_detail",
    "py_qxi_stk_quota_shszhk_infos",
    "py_qxi_stk_hk_inst_holding_detail_info",
    "py_qxi_stk_hk_inst_holding_info",
    "py_qxi_stk_active_stock_top10_shszhk_info",
    "py_qxi_stk_get_money_flow",
    "py_qxi_stk_get_finance_audit",
    "py_qxi_stk_get_finance_forecast",
    "py_qxi_fnd_get_share",
    "py_qxi_bnd_get_analysis",
    "py_qxi_get_cash_pb_v2",
    "py_qxi_get_positions_pb_v2",
    "py_qxi_get_instrument_pool_by_name_pb",
    "py_qxi_get_instrument_pools_pb",
    "py_qxi_set_instrument_pool_symbols_pb",
    "py_qxi_del_instrument_pool_by_name_pb",
    "py_qxi_get_open_call_auction",
};

// The method definitions of every module function, made once per process: function
// objects from an earlier, failed import may still point at them.
std::vector<PyMethodDef>* method_defs = nullptr;
std::vector<bool>* decorated = nullptr;

bool build_method_defs() {
    if (method_defs) return true;
    std::vector<std::span<const Binding>> families = {
        compat_bindings(), status_bindings(), request_bindings(), session_bindings(),
        market_bindings(), event_bindings(),  timer_bindings(),   trading_bindings(),
    };
    // Every binding by name, so that laying out the namespace is one look-up each.
    std::unordered_map<std::string_view, const Binding*> by_name;
    for (auto family : families) {
        for (const Binding& binding : family) by_name[binding.name] = &binding;
    }
    auto defs = std::make_unique<std::vector<PyMethodDef>>();
    auto flags = std::make_unique<std::vector<bool>>();
    defs->reserve(std::size(function_order));
    flags->reserve(std::size(function_order));
    for (const char* name : function_order) {
        auto it = by_name.find(name);
        if (it == by_name.end()) {
            PyErr_Format(PyExc_SystemError, "no binding named %s", name);
            return false;
        }
        const Binding* found = it->second;
        defs->push_back({found->name,
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(found->impl)),
                         METH_FASTCALL | METH_KEYWORDS, found->signature()});
        flags->push_back(found->decorated);
    }
    std::size_t total = 0;
    for (auto family : families) total += family.size();
    if (total != defs->size()) {
        PyErr_Format(PyExc_SystemError, "%zu bindings have no place in the namespace", total - defs->size());
        return false;
    }
    method_defs = defs.release();
    decorated = flags.release();
    return true;
}

// getattr(spec, attr) copied into the module dict; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    PyInterpreterState* current = PyThreadState_Get()->interp;
    if (!state.interpreter) {
        state.interpreter = current;
    } else if (state.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// The interpreter's version string must start with the version the module was
// compiled for.
bool check_version() {
    char compiled[16];
    snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    std::size_t n = std::strlen(compiled);
    if (std::strncmp(compiled, running, n) == 0 && !(running[n] >= '0' && running[n] <= '9')) return true;
    char leading[5] = {};
    for (int i = 0, points = 0; i < 4 && running[i]; ++i) {
        if (running[i] == '.' && ++points > 1) break;
        if (running[i] != '.' && !(running[i] >= '0' && running[i] <= '9')) break;
        leading[i] = running[i];
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compiletime version %s of module '%.100s' does not match runtime version %s",
                            compiled, "c_sdk", leading) == 0;
}

bool bind(PyObject* name, PyObject* value) {
    return value && PyDict_SetItem(state.globals, name, value) == 0;
}

// import `module` with `fromlist` (empty for a plain import), absolute, with the
// module's globals as importing context and a new dict as locals.
Ref import(PyObject* module, PyObject* fromlist) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(module, state.globals, locals.get(), fromlist, 0));
}

// from `module` import `name`, bound under `name`.
bool import_from(PyObject* module, PyObject* name) {
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return false;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name));
    Ref imported = import(module, fromlist.get());
    if (!imported) return false;
    Ref value = Ref::steal(PyObject_GetAttr(imported.get(), name));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        }
        return false;
    }
    return bind(name, value.get());
}

bool import_module(PyObject* name) {
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return false;
    Ref module = import(name, empty.get());
    return module && bind(name, module.get());
}

Ref builtin(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.builtins, name);
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(value);
}

bool bind_functions() {
    for (std::size_t i = 0; i < method_defs->size(); ++i) {
        PyMethodDef& def = (*method_defs)[i];
        Ref function = Ref::steal(PyCFunction_NewEx(&def, nullptr, names.c_sdk));
        if (!function) return false;
        if ((*decorated)[i]) {
            // The decorator is looked up at this moment, as a module-level statement would.
            Ref adapt = lookup_global(names.adapt_to_python3);
            if (!adapt) return false;
            function = Ref::steal(PyObject_CallOneArg(adapt.get(), function.get()));
            if (!function) return false;
        }
        if (PyDict_SetItemString(state.globals, def.ml_name, function.get()) < 0) return false;
    }
    return true;
}

bool run_statements() {
    if (!import_module(names.functools) || !import_module(names.platform)) return false;
    if (!import_from(names.qx_constant, names.CSDK_OPERATE_SUCCESS)) return false;
    if (!import_from(names.qx_utils, names.qxsdklogger)) return false;
    if (!bind(names.IS_PY2, Py_False) || !bind(names.IS_PY3, Py_True)) return false;
    for (const RecordClass& record : record_classes()) {
        Ref cls = Ref::steal(record.create());
        if (!cls || PyDict_SetItemString(state.globals, record.name, cls.get()) < 0) return false;
    }
    if (!bind_functions()) return false;
    Ref test = Ref::steal(PyDict_New());
    if (!bind(names.__test__, test.get())) return false;
    for (const DirectFunction& direct : direct_functions()) {
        Ref function = Ref::steal(direct.create());
        if (!function || PyObject_SetAttrString(state.module, direct.name, function.get()) < 0) return false;
    }
    return true;
}

bool execute_steps(PyObject* module) {
    if (!check_version()) return false;
    if (!state.empty_tuple && !(state.empty_tuple = PyTuple_New(0))) return false;
    if (!state.empty_bytes && !(state.empty_bytes = PyBytes_FromStringAndSize("", 0))) return false;
    if (!state.empty_str && !(state.empty_str = PyUnicode_FromStringAndSize("", 0))) return false;
    state.module = Py_NewRef(module);
    state.globals = Py_NewRef(PyModule_GetDict(module));
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    if (PyDict_SetItemString(state.globals, "__builtins__", builtins.get()) < 0) return false;
    Py_XSETREF(state.builtins, Py_NewRef(PyModule_GetDict(builtins.get())));
    if (!intern_names() || !watch_namespace()) return false;
    if (!intern_signatures() || !build_method_defs() || !init_compat()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, names.sys_modules_key);
    if (present < 0 || (!present && PyDict_SetItem(modules, names.sys_modules_key, module) < 0)) return false;
    Ref object = builtin(names.object), property = builtin(names.property), super = builtin(names.super);
    if (!object || !property || !super) return false;
    Py_XSETREF(state.builtin_object, object.release());
    Py_XSETREF(state.builtin_property, property.release());
    Py_XSETREF(state.builtin_super, super.release());
    return run_statements();
}

int execute(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (execute_steps(module)) return 0;
    // Back to not loaded: a later import starts again from the creation step.
    if (state.globals) add_traceback("init c_sdk");
    if (state.globals) forget_namespace();
    Py_CLEAR(state.module);
    Py_CLEAR(state.globals);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init c_sdk");
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
#ifdef Py_mod_gil
    // Said explicitly although it is the default: the module relies on the interpreter
    // lock to serialise the library's calls and the events delivered inside them (it has
    // no lock of its own) and to guard its caches, so a free-threaded interpreter must
    // enable the GIL again when it imports the module.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "c_sdk", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace csdk

PyMODINIT_FUNC PyInit_c_sdk() { return PyModuleDef_Init(&csdk::definition); }
