// Sanitizer settings compiled into every program of the sanitizer build
// (the program, the test runner, the corpus replays), so that a run from
// ctest, from a test that starts the executable or from a death test's child
// behaves the same without any environment. ASAN_OPTIONS, UBSAN_OPTIONS and
// LSAN_OPTIONS still override them.
//
// Exit status 86 on any report: the program's own failures end with status
// 1 and death tests expect it, so a sanitizer's default status 1 would pass
// them unnoticed. Leak checking stays on: the grids of the Run state are
// reachable from its globals until the process ends and are not reported.

extern "C" {

const char *__asan_default_options();
const char *__ubsan_default_options();
const char *__lsan_default_options();

const char *__asan_default_options()
{
    return "exitcode=86:detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:"
           "detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1";
}

const char *__ubsan_default_options()
{
    return "exitcode=86:halt_on_error=1:print_stacktrace=1";
}

const char *__lsan_default_options()
{
    return "exitcode=86";
}

} // extern "C"
