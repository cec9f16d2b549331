// The interpreter lock taken back from a frame without unwind tables (this
// file is compiled so: see CMakeLists.txt). An interpreter that is finishing
// ends each thread that asks it for the lock with pthread_exit, whose
// unwinding cannot pass C++ frames: libstdc++ aborts at a noexcept, and
// LLVM's runtime linked into the wheels crashes, its personality reading
// the system unwinder's state. The unwinding stops at the first frame it
// cannot step through, this one, and the thread leaves from there, as a
// thread of Python's own does: none of the module's frames is unwound.
#include "lock.hpp"

extern "C" __attribute__((noinline)) void zendral_take_lock(PyThreadState* state) { PyEval_RestoreThread(state); }
