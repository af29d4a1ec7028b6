// Debian's cpp-httplib is a shared library built without ThreadSanitizer. Its function-local
// statics are read through the compiler's inline guard check, which the sanitizer cannot see,
// so the first request on each of its worker threads looks like a race inside the library.
// Reports whose accesses come from that library are suppressed; everything in this project's
// code is still checked. Include once per executable.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ZELK_LOAD_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZELK_LOAD_TSAN 1
#endif
#endif
#ifdef ZELK_LOAD_TSAN
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif
