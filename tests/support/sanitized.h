// Whether this test binary runs under AddressSanitizer or ThreadSanitizer:
// they need address space of their own and make every child process slow.
#pragma once

namespace cdedup::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

}  // namespace cdedup::test
