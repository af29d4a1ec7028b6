// Reports whose accesses are made inside libraries built without ThreadSanitizer are
// suppressed; everything in this project's code is still checked. OpenSSL shares TLS sessions
// between connections with reference counts whose atomics the sanitizer cannot see in the
// uninstrumented library, so one thread copying a resumed session and another later freeing it
// after the last release look like a race. Debian's cpp-httplib (the client some tests drive
// servers with) reads its function-local statics through an inline guard check the sanitizer cannot
// see either. Include once per executable.
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
  return "called_from_lib:libcpp-httplib.so\n"
         "called_from_lib:libcrypto.so.3\n"
         "called_from_lib:libssl.so.3\n";
}
#endif
