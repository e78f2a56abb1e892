/* Prints the offsets that src/python/interpreter_layout.cpp holds for one CPython version,
 * from that version's own headers:
 *
 *     inc=$(python3.12 -c 'import sysconfig; print(sysconfig.get_path("include"))')
 *     cc -I"$inc" -I"$inc/internal" scripts/interpreter_layout.c -o layout && ./layout
 */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <stddef.h>
#include <stdio.h>
#if PY_VERSION_HEX >= 0x030E0000
#include "internal/pycore_interpframe_structs.h"
#elif PY_VERSION_HEX >= 0x030B0000
#include "internal/pycore_frame.h"
#endif
#include "frameobject.h"

int main(void) {
    printf("CPython %s\n", PY_VERSION);
    printf("thread_previous %zu thread_next %zu thread_handle %zu\n", offsetof(PyThreadState, prev),
           offsetof(PyThreadState, next), offsetof(PyThreadState, thread_id));
#if PY_VERSION_HEX >= 0x030B0000
    printf("thread_native_id %zu\n", offsetof(PyThreadState, native_thread_id));
#endif
#if PY_VERSION_HEX < 0x030B0000
    printf("thread_frame %zu\n", offsetof(PyThreadState, frame));
    printf("frame_previous %zu frame_code %zu frame_instruction %zu\n", offsetof(PyFrameObject, f_back),
           offsetof(PyFrameObject, f_code), offsetof(PyFrameObject, f_lasti));
#else
#if PY_VERSION_HEX < 0x030D0000
    printf("thread_c_frame %zu thread_frame %zu\n", offsetof(PyThreadState, cframe), offsetof(_PyCFrame, current_frame));
    printf("frame_code %zu frame_instruction %zu\n", offsetof(_PyInterpreterFrame, f_code),
           offsetof(_PyInterpreterFrame, prev_instr));
#else
    printf("thread_frame %zu\n", offsetof(PyThreadState, current_frame));
    printf("frame_code %zu frame_instruction %zu\n", offsetof(_PyInterpreterFrame, f_executable),
           offsetof(_PyInterpreterFrame, instr_ptr));
#endif
    printf("thread_stack_chunk %zu chunk_size %zu chunk_data %zu\n", offsetof(PyThreadState, datastack_chunk),
           offsetof(_PyStackChunk, size), offsetof(_PyStackChunk, data));
    printf("frame_previous %zu frame_owner %zu frame_size %zu\n", offsetof(_PyInterpreterFrame, previous),
           offsetof(_PyInterpreterFrame, owner), sizeof(_PyInterpreterFrame));
    printf("code_bytecode %zu code_first_traceable %zu owner_generator %d\n", offsetof(PyCodeObject, co_code_adaptive),
           offsetof(PyCodeObject, _co_firsttraceable), FRAME_OWNED_BY_GENERATOR);
#if PY_VERSION_HEX >= 0x030C0000
    printf("code_version %zu\n", offsetof(PyCodeObject, co_version));
#endif
#if PY_VERSION_HEX >= 0x030E0000
    printf("owner_not_python %d\n", FRAME_OWNED_BY_INTERPRETER);
#elif PY_VERSION_HEX >= 0x030C0000
    printf("owner_not_python %d\n", FRAME_OWNED_BY_CSTACK);
#endif
#endif
    printf("code_filename %zu code_name %zu code_first_line %zu code_line_table %zu code_units %zu\n",
           offsetof(PyCodeObject, co_filename), offsetof(PyCodeObject, co_name), offsetof(PyCodeObject, co_firstlineno),
           offsetof(PyCodeObject, co_linetable), offsetof(PyVarObject, ob_size));
    printf("ascii_header_size %zu compact_header_size %zu unicode_state %zu unicode_length %zu\n",
           sizeof(PyASCIIObject), sizeof(PyCompactUnicodeObject), offsetof(PyASCIIObject, state),
           offsetof(PyASCIIObject, length));
    printf("bytes_size %zu bytes_data %zu\n", offsetof(PyVarObject, ob_size), offsetof(PyBytesObject, ob_sval));
    return 0;
}
