// Found first on the engine's include path (CMakeLists.txt): an engine file that
// includes the interpreter's header fails to build. Code that needs the C API
// belongs in src/python/.
#error "src/engine/ is plain C++ and must not include Python.h"
