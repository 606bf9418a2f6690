// Status checks for the host package: compare a library status with the success
// value and log failures with the library's own error text.
#include "helpers.hpp"

namespace csdk {
namespace {

PyObject* c_status_ok(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr const char* where = "c_sdk.c_status_ok";
    if (!check_one_arg("c_status_ok", PyVectorcall_NARGS(nargsf), kwnames)) return fail_in(where);
    Ref success = read_global(Global::CSDK_OPERATE_SUCCESS);
    if (!success) return fail_in(where);
    PyObject* result = PyObject_RichCompare(args[0], success.get(), Py_EQ);
    return result ? result : fail_in(where);
}

// The library's error text for `status`, through the module's py_qxi_strerror.
Ref error_text(PyObject* status) {
    Ref strerror = read_global(Global::py_qxi_strerror);
    if (!strerror) return {};
    Ref raw = Ref::steal(PyObject_CallOneArg(strerror.get(), status));
    if (!raw) return {};
    return Ref::steal(PyObject_CallMethodOneArg(raw.get(), names.decode, names.utf8));
}

PyObject* report_failure(PyObject* status, PyObject* function) {
    Ref success = read_global(Global::CSDK_OPERATE_SUCCESS);
    if (!success) return nullptr;
    Ref failed = Ref::steal(PyObject_RichCompare(status, success.get(), Py_NE));
    if (!failed) return nullptr;
    int truth = PyObject_IsTrue(failed.get());
    if (truth <= 0) return truth < 0 ? nullptr : failed.release();

    Ref text = error_text(status);
    if (!text) return nullptr;
    int named = PyObject_IsTrue(function);
    if (named < 0) return nullptr;
    Ref message = named ? Ref::steal(PyObject_CallMethodObjArgs(names.fail_named, names.format, function,
                                                                status, text.get(), nullptr))
                        : Ref::steal(PyObject_CallMethodObjArgs(names.fail_unnamed, names.format, status,
                                                                text.get(), nullptr));
    if (!message) return nullptr;
    Ref log = read_global(Global::qxsdklogger);
    if (!log) return nullptr;
    Ref logged = Ref::steal(PyObject_CallMethodOneArg(log.get(), names.debug, message.get()));
    if (!logged) return nullptr;
    return failed.release();
}

using FailParams = ParamList<"c_status_fail", 1, "status", "cfunname">;

PyObject* c_status_fail(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr const char* where = "c_sdk.c_status_fail";
    (void)FailParams::registered;
    PyObject* argv[2];
    if (!parse_args(FailParams::signature, args, PyVectorcall_NARGS(nargsf), kwnames, argv))
        return fail_in(where);
    PyObject* result = report_failure(argv[0], argv[1] ? argv[1] : state.empty_str);
    return result ? result : fail_in(where);
}

const char* ok_signature() {
    return "c_status_ok(status, /)\n--\n\n\n    c api 调用返回值status是否ok\n    ";
}
const char* fail_signature() {
    return "c_status_fail(status, cfunname='')\n--\n\n\n    c api 调用返回值status是否fail\n    ";
}

constexpr Binding table[] = {
    {"c_status_ok", c_status_ok, false, ok_signature},
    {"c_status_fail", c_status_fail, false, fail_signature},
};

}  // namespace

std::span<const Binding> status_bindings() { return table; }

}  // namespace csdk
