// Linked into every fuzz target. AddressSanitizer keeps freed memory poisoned in a quarantine
// of 256 MB by default; a target run allocates a few kilobytes, so a use after free shows long
// before 16 MB of later frees recycle its block, and the smaller quarantine spares the runs
// most of the page faults that cycling through the large one costs. ASAN_OPTIONS still wins.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
