// kulvo._native's entry point; its module is made by libkulvo.so (see core_entry.cpp).
#include <Python.h>

extern "C" PyObject* kulvo_init_native_module();

PyMODINIT_FUNC PyInit__native() {
    return kulvo_init_native_module();
}
