// Linked into the sanitizer build of the tests only. Built in here rather than
// set in the environment, so the test binary checks the same way however it
// is started (ctest, by hand, under a debugger); the environment still wins.
extern "C" {

// Leak checking is already on by default on Linux; these checks are not.
const char* __asan_default_options() {
    return "detect_leaks=1:strict_string_checks=1:check_initialization_order=1:"
           "detect_stack_use_after_return=1";
}

const char* __ubsan_default_options() { return "print_stacktrace=1"; }

}  // extern "C"
