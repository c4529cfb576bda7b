#pragma once

// clang-format off
#include <sentry.h>
#include <windows.h>
// clang-format on

#include <cstdint>
#include <string>

#include "reporter_state.h"

// The work of a crash: on a thread started at sentry_init, with a stack of its own, while the
// crashed thread only wakes it and waits. It writes the report in versions (the event alone,
// then with the stack and images, then with the minidump, then with what the callback
// changed; with symbolising asked for, one with the frames named comes after the minidump),
// keeps the last whole one under the report's name and ends the process.
namespace sentry_lite {

// What the crashed thread records of its crash, in static storage: its own stack may have no
// room.
struct CrashRecord {
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
    sentry_ucontext_t ucontext;
    UINT exit_code;
    DWORD thread_id;
    bool abort;
    bool with_session;  // the crash, not a clean end, ends the session
    uintptr_t stack_limit;
    uintptr_t stack_base;
};
CrashRecord& TheCrash();

struct CrashHandlerSetup {
    std::wstring folder;  // the database folder, absolute, in long-path form
    const PublishedEnvelope* envelope = nullptr;
    sentry_crash_function_t callback = nullptr;
    void* callback_data = nullptr;
    bool symbolize = false;  // one more version, with the frames named on the machine
};

// At sentry_init: the report's names, the memory a crash writes into, and the thread. False when
// a crash could not be reported; the thread alone may fail (the crashed thread then does the
// work on its own stack).
bool StartCrashHandler(const CrashHandlerSetup& setup);
// At the end of a shutdown, once no crash can be taken any more.
void StopCrashHandler();

// On the crashed thread, with TheCrash() filled in: hands the work to the handler thread, which
// ends the process with the crash's code when it is done.
[[noreturn]] void ReportAndEnd();
// A thread that meets a crash while one is handled goes no further.
[[noreturn]] void MeetAnotherCrash();

}  // namespace sentry_lite
