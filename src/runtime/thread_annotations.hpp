// Lock rules the compiler checks. Clang's thread-safety analysis (-Wthread-safety, run by
// `make lint`) reads these attributes: a lock type is a capability, a field names the lock that
// guards it, a function names the locks it needs held or takes. Other compilers ignore them,
// so they expand to nothing there.
#pragma once

#if defined(__clang__)
#define TOLM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TOLM_THREAD_ANNOTATION(x)
#endif

#define TOLM_CAPABILITY(name) TOLM_THREAD_ANNOTATION(capability(name))
#define TOLM_SCOPED_CAPABILITY TOLM_THREAD_ANNOTATION(scoped_lockable)
#define TOLM_GUARDED_BY(lock) TOLM_THREAD_ANNOTATION(guarded_by(lock))
#define TOLM_REQUIRES(...) TOLM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TOLM_EXCLUDES(...) TOLM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TOLM_ACQUIRE(...) TOLM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TOLM_RELEASE(...) TOLM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// For the few places that hand a held lock from one object to another, which the analysis
// cannot follow; each says where the lock goes.
#define TOLM_NO_THREAD_SAFETY_ANALYSIS TOLM_THREAD_ANNOTATION(no_thread_safety_analysis)
