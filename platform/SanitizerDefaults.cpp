// Linked into every program of a sanitizer build (see CMakeLists.txt).

// The font library keeps its configuration and caches for the life of the
// process and frees them only in its own shutdown, which neither our font
// service nor Qt's font database ever calls: not leaks of ours.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
