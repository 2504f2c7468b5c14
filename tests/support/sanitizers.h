// Whether the programs under test run under AddressSanitizer (the test is
// built with the same flags). It reserves terabytes of address space for its
// shadow and keeps freed memory in quarantine, so a limit on address space
// stops a program at start, and a program's resident memory says nothing
// about what the program itself keeps.
#ifndef KELTO_TESTS_SUPPORT_SANITIZERS_H_
#define KELTO_TESTS_SUPPORT_SANITIZERS_H_

namespace kelto::testing {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kUnderAddressSanitizer = true;
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif

// Whether they run under ThreadSanitizer, which also maps memory of its own
// for what a program loads and unloads.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

}  // namespace kelto::testing

#endif  // KELTO_TESTS_SUPPORT_SANITIZERS_H_
