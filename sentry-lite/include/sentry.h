/* The crash reporter's C interface, as far as the launcher uses it.
 *
 * These declarations match the Sentry Native SDK's public C functions and types one for one
 * (names, signatures, the C calling convention), so the launcher builds against this header
 * with the small crash reporter of this repository (sentry.dll, see docs/building.md) and an
 * installed launcher runs unchanged with the SDK's own sentry.dll put in its place. Nothing
 * here may be added or changed that the SDK does not have in the same form. */
#ifndef SENTRY_H_INCLUDED
#define SENTRY_H_INCLUDED

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#endif

#if defined(_WIN32) && defined(SENTRY_LITE_BUILD)
#define SENTRY_API __declspec(dllexport)
#elif defined(_WIN32)
#define SENTRY_API __declspec(dllimport)
#else
#define SENTRY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An opaque value of the crash reporter, passed by value. The lite reporter's null value has
 * every bit zero. */
union sentry_value_u {
    uint64_t _bits;
    double _double;
};
typedef union sentry_value_u sentry_value_t;

/* The options object: made by sentry_options_new, taken over by sentry_init. */
struct sentry_options_s;
typedef struct sentry_options_s sentry_options_t;

/* The context of the crashed thread, handed to the on-crash callback. */
#ifdef _WIN32
struct sentry_ucontext_s {
    EXCEPTION_POINTERS exception_ptrs;
};
#else
struct sentry_ucontext_s;
#endif
typedef struct sentry_ucontext_s sentry_ucontext_t;

/* Called on the thread that handles a crash. Returning the event lets the report go on;
 * returning a null value discards it. */
typedef sentry_value_t (*sentry_crash_function_t)(const sentry_ucontext_t* uctx,
                                                  sentry_value_t event, void* user_data);

SENTRY_API sentry_options_t* sentry_options_new(void);
SENTRY_API void sentry_options_set_dsn(sentry_options_t* opts, const char* dsn);
SENTRY_API void sentry_options_set_release(sentry_options_t* opts, const char* release);
SENTRY_API void sentry_options_set_environment(sentry_options_t* opts, const char* environment);
/* Paths are narrow strings; the launcher passes UTF-8. */
SENTRY_API void sentry_options_set_handler_path(sentry_options_t* opts, const char* path);
SENTRY_API void sentry_options_set_database_path(sentry_options_t* opts, const char* path);
SENTRY_API void sentry_options_set_debug(sentry_options_t* opts, int debug);
SENTRY_API void sentry_options_set_auto_session_tracking(sentry_options_t* opts, int val);
SENTRY_API void sentry_options_set_symbolize_stacktraces(sentry_options_t* opts, int val);
SENTRY_API void sentry_options_set_on_crash(sentry_options_t* opts, sentry_crash_function_t func,
                                            void* data);

/* Takes ownership of the options, also when it fails. 0 on success. */
SENTRY_API int sentry_init(sentry_options_t* options);
/* 0 on success. */
SENTRY_API int sentry_shutdown(void);

SENTRY_API void sentry_start_session(void);
SENTRY_API void sentry_end_session(void);

SENTRY_API void sentry_set_tag(const char* key, const char* value);

#ifdef __cplusplus
}
#endif

#endif /* SENTRY_H_INCLUDED */
