// kulvo._core's entry point. The module is made by libkulvo.so, which kulvo._native loads
// too: the engine's state (the hold signal's users, the timers, the live sampler threads)
// then exists once in the process, whichever module started a sampler.
#include <Python.h>

extern "C" PyObject* kulvo_init_core_module();

PyMODINIT_FUNC PyInit__core() {
    return kulvo_init_core_module();
}
