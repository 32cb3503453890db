// AddressSanitizer's defaults in every fuzz target. Each input gets a fresh
// testbed, some hundred kilobytes of allocations; behind the default 256 MB
// quarantine every run would touch fresh pages, and their faults cost more
// than the run itself. 16 MB still holds everything one run frees, so a use
// after free within a run is still caught.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
