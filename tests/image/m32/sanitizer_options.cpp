// For a 32-bit tree built with AddressSanitizer by hand (the default build
// checks it with UBSan only): LeakSanitizer stops the program with ptrace to
// scan it, which qemu-user's i386 emulation does not provide, so every run
// would hang at exit. Leaks are the 64-bit build's to find.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
