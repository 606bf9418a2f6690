// libFuzzer entry points around the Python fuzz target (fuzz_c_sdk.py), run in an
// embedded interpreter. The module and the stand-in library it loads are built with
// coverage instrumentation, so libFuzzer learns which of their branches each input
// reaches; the interpreter itself is not instrumented. tools/fuzz.sh builds this file
// and puts the target and the instrumented build on PYTHONPATH.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../src/c_sdk/runtime/ref.hpp"

using csdk::Ref;

namespace {

PyObject* run_input = nullptr;  // what fuzz_c_sdk.libfuzzer_entry() gave, kept for good

[[noreturn]] void give_up(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "fuzz_main: %s\n", what);
    std::exit(2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every object in the C allocator, where AddressSanitizer sees its use after free.
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&preconfig);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;  // libFuzzer's handlers report crashes and timeouts
    config.parse_argv = 0;               // libFuzzer's arguments are not the interpreter's
    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    Ref target = Ref::steal(PyImport_ImportModule("fuzz_c_sdk"));
    if (!target) give_up("cannot import fuzz_c_sdk (is fuzz/ on PYTHONPATH?)");
    run_input = PyObject_CallMethod(target.get(), "libfuzzer_entry", nullptr);
    if (!run_input) give_up("fuzz_c_sdk.libfuzzer_entry() failed");
    return 0;
}

// run_input(data) returns true for a finding (it has printed what it found); aborting
// then makes libFuzzer keep the input as a crash.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Ref input = Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    if (!input) give_up("cannot make the input bytes");
    Ref result = Ref::steal(PyObject_CallOneArg(run_input, input.get()));
    if (!result) {
        PyErr_Print();
        std::fprintf(stderr, "fuzz_main: the input runner raised\n");
        std::abort();
    }
    if (PyObject_IsTrue(result.get()) != 0) {
        std::fprintf(stderr, "fuzz_main: a finding (see above)\n");
        std::abort();
    }
    return 0;
}
