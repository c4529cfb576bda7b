#include "backends/crash_capture_win.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <csignal>

#include "backends/crash_handler_win.h"
#include "crash_facts_win.h"
#include "module_exports_win.h"
#include "upload.h"

namespace sentry_lite {
namespace {

// What an abort is reported as (the code Windows gives an application's fatal exit), and the
// exit code the runtime's abort gives the process.
constexpr DWORD kAbortCode = 0x40000015;
constexpr UINT kAbortExitCode = 3;
// The exceptions the GNU C++ runtime raises to unwind: one that reaches the unhandled filter
// is continued, so the runtime goes on to std::terminate, which aborts.
constexpr DWORD kGnuExceptionMask = 0x20FFFFFF;
constexpr DWORD kGnuExceptionMagic = 0x20474343;
// What Windows raises when its heap finds itself damaged. It need not reach the unhandled
// filter (a handler on the way may swallow it, or the process end), so a vectored handler takes
// it first; every other exception is left to the filter, as one a vectored handler sees may
// still be handled further up.
constexpr DWORD kHeapCorruption = 0xC0000374;

using SignalHandler = void(__cdecl*)(int);
using SignalFunction = SignalHandler(__cdecl*)(int, SignalHandler);

// A runtime whose abort is caught, and the SIGABRT handler it had before.
struct AbortHook {
    SignalFunction set_handler = nullptr;
    SignalHandler previous = SIG_DFL;
};
AbortHook own_runtime_abort;  // the runtime this library is built with
AbortHook ucrt_abort;         // the Universal CRT, when it is loaded at sentry_init

Lifecycle* lifecycle = nullptr;
SessionEndClaim* session_end = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;
PVOID vectored_handler = nullptr;

// True when this thread's crash is the one reported. From here on no upload starts: the
// crashed process sends nothing of its own.
bool TakeCrash() {
    switch (lifecycle != nullptr ? lifecycle->TakeCrash() : Lifecycle::Take::kNotRunning) {
        case Lifecycle::Take::kTaken:
            break;
        case Lifecycle::Take::kAlreadyCrashing:
            MeetAnotherCrash();
        case Lifecycle::Take::kNotRunning:
            return false;
    }
    HoldUploads();
    TheCrash().with_session = session_end->Claim(SessionEnd::kCrashed);
    return true;
}

void RecordCrashedThread(CrashRecord& crash) {
    crash.thread_id = GetCurrentThreadId();
    CurrentStackRange(crash.stack_limit, crash.stack_base);
    crash.pointers.ExceptionRecord = &crash.record;
    crash.pointers.ContextRecord = &crash.context;
}

// With the crash taken.
[[noreturn]] void ReportException(const EXCEPTION_POINTERS* pointers) {
    CrashRecord& crash = TheCrash();
    crash.record = *pointers->ExceptionRecord;
    crash.context = *pointers->ContextRecord;
    crash.abort = false;
    RecordCrashedThread(crash);
    crash.ucontext.exception_ptrs = *pointers;
    crash.exit_code = crash.record.ExceptionCode;
    ReportAndEnd();
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if ((record->ExceptionCode & kGnuExceptionMask) == kGnuExceptionMagic &&
        (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (!TakeCrash()) {
        // Shut down, but still chained by a filter installed after ours.
        return previous_filter != nullptr ? previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    }
    ReportException(pointers);
}

// Should the filter see the same exception too, the lifecycle has taken the crash once.
LONG WINAPI OnVectoredException(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != kHeapCorruption || !TakeCrash()) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ReportException(pointers);
}

void __cdecl OnAbort(int) {
    if (lifecycle == nullptr || lifecycle->Now() == Phase::kIdle) {
        return;  // the runtime goes on with its own abort
    }
    // The runtime puts the default action back before it calls a handler; an abort in the
    // callback must come back here to keep the report.
    for (const AbortHook* hook : {&own_runtime_abort, &ucrt_abort}) {
        if (hook->set_handler != nullptr) {
            hook->set_handler(SIGABRT, &OnAbort);
        }
    }
    if (!TakeCrash()) {
        return;
    }
    CrashRecord& crash = TheCrash();
    RtlCaptureContext(&crash.context);
    crash.record = {};
    crash.record.ExceptionCode = kAbortCode;
    crash.record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    crash.record.ExceptionAddress = reinterpret_cast<void*>(crash.context.Rip);
    crash.abort = true;
    RecordCrashedThread(crash);
    crash.ucontext.exception_ptrs = crash.pointers;
    crash.exit_code = kAbortExitCode;
    ReportAndEnd();
}

void HookAbort(AbortHook& hook, SignalFunction set_handler) {
    if (set_handler == nullptr) {
        return;
    }
    const SignalHandler previous = set_handler(SIGABRT, &OnAbort);
    if (previous != SIG_ERR) {
        hook.set_handler = set_handler;
        hook.previous = previous;
    }
}

void UnhookAbort(AbortHook& hook) {
    if (hook.set_handler == nullptr) {
        return;
    }
    const SignalHandler current = hook.set_handler(SIGABRT, hook.previous);
    if (current != &OnAbort) {
        hook.set_handler(SIGABRT, current);  // installed after ours: it stays
    }
    hook = {};
}

// The Universal CRT keeps its signal handlers in ucrtbase.dll, which an application built
// against it shares; a handler set through this library's own runtime would not see its abort.
SignalFunction LoadedUcrtSignal() {
    SignalFunction function = nullptr;
    if (!FindExport(GetModuleHandleW(L"ucrtbase.dll"), "signal", function)) {
        return nullptr;
    }
    return function == &std::signal ? nullptr : function;
}

}  // namespace

void InstallCapture(Lifecycle& running, SessionEndClaim& session) {
    lifecycle = &running;
    session_end = &session;
    previous_filter = SetUnhandledExceptionFilter(&OnUnhandledException);
    vectored_handler = AddVectoredExceptionHandler(1, &OnVectoredException);
    HookAbort(own_runtime_abort, &std::signal);
    HookAbort(ucrt_abort, LoadedUcrtSignal());
}

void RemoveCapture() {
    if (vectored_handler != nullptr) {
        RemoveVectoredExceptionHandler(vectored_handler);
        vectored_handler = nullptr;
    }
    UnhookAbort(ucrt_abort);
    UnhookAbort(own_runtime_abort);
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previous_filter);
    if (current != &OnUnhandledException) {
        // A filter installed after ours stays; ours now only passes exceptions on.
        SetUnhandledExceptionFilter(current);
    }
}

}  // namespace sentry_lite
