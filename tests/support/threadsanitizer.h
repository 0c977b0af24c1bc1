// Whether the test runs under ThreadSanitizer, whose runtime fails its own check when a threaded
// test starts a child process: rows that start one are skipped there.
#pragma once

#if defined(__SANITIZE_THREAD__)
constexpr bool UnderThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool UnderThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool UnderThreadSanitizer = false;
#endif
