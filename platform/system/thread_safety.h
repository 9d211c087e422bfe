#pragma once

// Threading rules that run: what the compiler checks and what the running program checks.
//
// Compile time: the ZORVEL_* attribute macros below feed Clang's thread-safety analysis
// (-Wthread-safety). State marked ZORVEL_GUARDED_BY(m) may be touched only while `m` is held;
// a function marked ZORVEL_REQUIRES(m) may be called only with `m` held. Only locks that are
// capabilities take part: platform::Mutex and the locks of platform/locks.h are; std::mutex is not,
// because the standard library's is not annotated. Other compilers see nothing.
//
// Run time: ZORVEL_ASSERT_THREAD(condition, rule) checks a rule the analysis cannot see, such as
// "only on the snapshot queue", the way SQLite asserts that its mutexes are held. It runs in debug
// builds and in sanitizer builds (ZORVEL_THREAD_ASSERTIONS, set by the top CMakeLists), where a
// broken rule prints "Threading rule broken: <rule> (<file>:<line>)" to standard error and aborts;
// elsewhere it compiles to nothing and does not evaluate the condition.
//
// Threads: any thread.

#if defined(__clang__)
#define ZORVEL_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define ZORVEL_THREAD_ATTRIBUTE(x)
#endif

#define ZORVEL_CAPABILITY(name) ZORVEL_THREAD_ATTRIBUTE(capability(name))
#define ZORVEL_SCOPED_CAPABILITY ZORVEL_THREAD_ATTRIBUTE(scoped_lockable)
#define ZORVEL_GUARDED_BY(x) ZORVEL_THREAD_ATTRIBUTE(guarded_by(x))
#define ZORVEL_PT_GUARDED_BY(x) ZORVEL_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ZORVEL_REQUIRES(...) ZORVEL_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ZORVEL_EXCLUDES(...) ZORVEL_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ZORVEL_ACQUIRE(...) ZORVEL_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ZORVEL_RELEASE(...) ZORVEL_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define ZORVEL_TRY_ACQUIRE(...) ZORVEL_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define ZORVEL_RETURN_CAPABILITY(x) ZORVEL_THREAD_ATTRIBUTE(lock_returned(x))
#define ZORVEL_NO_THREAD_SAFETY_ANALYSIS ZORVEL_THREAD_ATTRIBUTE(no_thread_safety_analysis)

#if !defined(NDEBUG) && !defined(ZORVEL_THREAD_ASSERTIONS)
#define ZORVEL_THREAD_ASSERTIONS 1
#endif

namespace platform {

// Reports a broken threading rule and aborts (see above).
[[noreturn]] void threadingRuleBroken(const char* rule, const char* file, int line);

}  // namespace platform

#if defined(ZORVEL_THREAD_ASSERTIONS)
#define ZORVEL_ASSERT_THREAD(condition, rule) \
  ((condition) ? static_cast<void>(0) : ::platform::threadingRuleBroken(rule, __FILE__, __LINE__))
#else
#define ZORVEL_ASSERT_THREAD(condition, rule) static_cast<void>(0)
#endif
