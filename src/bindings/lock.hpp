// The interpreter lock taken back in a way that an interpreter which is
// finishing can end the thread from (see lock.cpp).
#pragma once

#include <Python.h>

extern "C" void zendral_take_lock(PyThreadState* state);
