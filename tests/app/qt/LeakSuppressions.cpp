// The font library keeps a cache for the life of the process, which LeakSanitizer reports as
// a leak at exit in every test that draws text; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
