// The one fatal assertion of the system. An impossible state, or a start-up registration that
// failed, prints "[FATAL] assertion (<expression>) at <file>:<line> failed" on standard error
// (and on the "error" log stream when logging is up) and aborts the process.
#pragma once

[[noreturn]] void tovi_assert_fail(const char *expression, const char *file, int line);

#define tovi_assert(expression)                                                                \
  do {                                                                                         \
    if (__builtin_expect(!(expression), 0)) tovi_assert_fail(#expression, __FILE__, __LINE__); \
  } while (0)
