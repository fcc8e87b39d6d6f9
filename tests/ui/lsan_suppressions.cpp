// fontconfig keeps its caches (filled through pango) until the process ends; they are
// not leaks of this code.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
