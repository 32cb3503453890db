// For a 32-bit tree built with AddressSanitizer by hand (the default build
// uses UBSan only there): LeakSanitizer stops the program with ptrace to scan it, which qemu-user's
// i386 emulation does not provide: under it every run would hang at exit.
// Leaks are the 64-bit build's to find; address and undefined-behaviour
// checks stay on here.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
