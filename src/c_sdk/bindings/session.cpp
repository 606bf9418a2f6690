// Session, configuration and control: credentials, servers, identities, modes, the
// run loop and error texts. Each setting is forwarded to the library at once.
#include "binding.hpp"
#include "qxsdk.h"

namespace csdk {
namespace {

// qxi_get_serv_addr stores the address through a char** and signals failure by its
// status: None unless the status equals the success value.
struct ReturnAddress {
    template <auto Fn, FixedString Function, class... A>
    static PyObject* call(A... a) {
        char* address = nullptr;
        int code = Fn(a..., &address);
        return text_if_success(code, address, Function.c_str());
    }
};

constexpr const char* reserved = nullptr;
constexpr bool decorated = true;
constexpr bool plain = false;

constexpr Binding table[] = {
    Row<qxi_set_token, ReturnInt, Style<"py_qxi_set_token", "token">, Text<0>>::make(decorated),
    Row<qxi_set_apitoken, ReturnNone, Style<"py_qxi_set_apitoken", "token">, Text<0>>::make(decorated),
    Row<qxi_get_encrypted_token, ReturnText, Style<"py_qxi_get_encrypted_token">>::make(decorated),
    Row<qxi_get_orgcode, ReturnText, Style<"py_qxi_get_orgcode">>::make(decorated),
    Row<qxi_set_mfp, ReturnNone, Style<"py_qxi_set_mfp", "mfp">, Text<0>>::make(decorated),
    Row<qxi_set_serv_addr, ReturnNone, Style<"py_qxi_set_serv_addr", "addr">, Text<0>>::make(decorated),
    Row<qxi_set_serv_addr_v5, ReturnNone, Style<"py_qxi_set_serv_addr_v5", "addr", "orgcode", "site_id">,
        Text<0>, Text<1>, Text<2>>::make(plain),
    Row<qxi_get_serv_addr, ReturnAddress, Style<"py_qxi_get_serv_addr", "serv_id">, Text<0>>::make(decorated),
    Row<qxi_use_dsproxy, ReturnInt, Style<"py_qxi_use_dsproxy">>::make(plain),
    Row<qxi_set_ctp_md_info, ReturnNone,
        Style<"py_qxi_set_ctp_md_info", "front_addresses", "user_name", "password">, Text<0>, Text<1>,
        Text<2>>::make(decorated),
    Row<qxi_set_strategy_id, ReturnNone, Style<"py_qxi_set_strategy_id", "strategy_id">, Text<0>>::make(
        decorated),
    Row<qxi_set_account_id, ReturnNone, Style<"py_qxi_set_account_id", "account_ids">, Text<0>>::make(plain),
    Row<qxi_set_mode_consistency, ReturnNone, Style<"py_qxi_set_mode_consistency", "mode">,
        IntAsFlag<0>>::make(decorated),
    Row<qxi_set_simtrade_only, ReturnNone, Style<"py_qxi_set_simtrade_only">>::make(plain),
    Row<qxi_set_version, ReturnNone, Style<"py_qxi_set_version", "sdk_version", "sdk_lang">, Text<0>, Text<1>,
        Fixed<reserved>, Fixed<reserved>>::make(decorated),
    Row<qxi_set_max_wait_time, ReturnNone, Style<"py_qxi_set_max_wait_time", "max_wait_time">, Int<0>>::make(
        plain),
    Row<qxi_set_backtest_threadnum, ReturnNone, Style<"py_qxi_set_backtest_threadnum", "n">, Int<0>>::make(
        plain),
    Row<qxi_set_backtest_intraday, ReturnNone, Style<"py_qxi_set_backtest_intraday", "req">, Int<0>>::make(
        decorated),
    Row<qxi_run, ReturnInt, Style<"py_qxi_run">>::make(plain),
    Row<qxi_stop, ReturnInt, Style<"py_qxi_stop">>::make(plain),
    Row<qxi_get_stop_error_code, ReturnInt, Style<"py_qxi_get_stop_error_code">>::make(plain),
    Row<qxi_strerror, ReturnText, Style<"py_qxi_strerror", "errorno">, Int<0>>::make(plain),
    Row<qxi_get_ext_errormsg, ReturnText, Style<"py_qxi_get_ext_errormsg">>::make(plain),
};

}  // namespace

std::span<const Binding> session_bindings() { return table; }

}  // namespace csdk
