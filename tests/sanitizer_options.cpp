// Built into the test executables only under sanitizers. Each runtime reads its defaults from
// here, so a run by hand behaves as one under ctest: the first report ends the process, which
// fails the test that made it.
extern "C" {

__attribute__((used, visibility("default"))) const char *__asan_default_options() {
    return "halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:"
           "check_initialization_order=1:strict_init_order=1";
}

__attribute__((used, visibility("default"))) const char *__ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}

__attribute__((used, visibility("default"))) const char *__tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1";
}

} // extern "C"
