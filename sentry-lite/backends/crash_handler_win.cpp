#include "backends/crash_handler_win.h"

#include <cstddef>

#include "backends/handler_patience.h"
#include "backends/native_files_win.h"
#include "backends/report_versions.h"
#include "crash_facts_win.h"
#include "crash_part.h"
#include "database/open_session_win.h"
#include "envelope.h"
#include "lifecycle.h"
#include "symbolizer_win.h"
#include "system_clock_win.h"
#include "unwinder/stack_walk_win.h"
#include "upload.h"

namespace sentry_lite {
namespace {

// The event handed to the on-crash callback. It carries nothing readable, but is not null.
constexpr uint64_t kCrashEventBits = 1;
// What a crash may write of its own: the exception, the stack and the images.
constexpr size_t kCrashPartCapacity = 1u << 20;
constexpr size_t kMaxFrames = 256;
// How often the waiting thread marks the session's record as seen: how far before its real
// end an abnormal session may say it ended.
constexpr DWORD kSeenEveryMs = 60 * 1000;

CrashRecord crash;
CrashHandlerSetup setup;
NativeReportFiles files;
ReportVersions versions(files);
HandlerClaim handler_claim;
std::atomic<HandlerStep> handler_step{HandlerStep::kTaking};

// What the crash learns, written into memory set aside at sentry_init, outside the heap, which
// a crash may find damaged.
char* crash_part_memory = nullptr;
size_t crash_part_size = 0;
uint64_t frames[kMaxFrames];
FrameSymbol frame_symbols[kMaxFrames];

struct Handler {
    HANDLE thread = nullptr;
    HANDLE start = nullptr;    // set by the crashed thread, or by StopCrashHandler to stop it
    HANDLE starter = nullptr;  // the thread that called sentry_init
    std::atomic<bool> stop{false};
};
Handler handler;

[[noreturn]] void EndProcess(UINT exit_code) {
    TerminateProcess(GetCurrentProcess(), exit_code);
    for (;;) {
        Sleep(INFINITE);
    }
}

CrashException ExceptionOfCrash() {
    CrashException exception;
    exception.code = crash.record.ExceptionCode;
    exception.address = reinterpret_cast<uintptr_t>(crash.record.ExceptionAddress);
    exception.abort = crash.abort;
    if (crash.record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
        crash.record.NumberParameters >= 2) {
        exception.has_access = true;
        exception.access_kind = crash.record.ExceptionInformation[0];
        exception.access_address = crash.record.ExceptionInformation[1];
    }
    ReadRegisters(crash.context, exception.registers);
    return exception;
}

// The crash's part of the event into the memory set aside for it: the exception, and, when
// asked for, the stack and the images (reading those is what may fault), and the frames named.
void WriteCrashPart(CrashException& exception, bool with_stack_and_images,
                    bool symbolized = false) {
    FixedText part(crash_part_memory, kCrashPartCapacity);
    if (with_stack_and_images) {
        exception.frames = frames;
        exception.frame_count =
            WalkStack(crash.context, crash.stack_limit, crash.stack_base, frames, kMaxFrames);
        if (symbolized) {
            SymbolizeFrames(frames, exception.frame_count, frame_symbols);
            exception.symbols = frame_symbols;
        }
    }
    if (!BeginCrashPart(part, exception)) {
        part.RollBack(0);
        exception.frame_count = 0;
        BeginCrashPart(part, exception);
    }
    if (with_stack_and_images) {
        AppendLoadedImages(part);
    }
    EndCrashPart(part);
    crash_part_size = part.Size();
}

// Keeps the last whole version. When it carries the session, the session's record goes with
// the process: the report tells the session's end, and a later start must not tell it again.
void KeepReport() {
    if (versions.Finish() && crash.with_session) {
        RemoveOpenSessionWithProcess();
    }
}

// One version of the report from the envelope prepared ahead and the crash part written now.
bool WriteVersion(PreparedEnvelope& prepared, int64_t time_ms, uint64_t dump_size) {
    CompleteEnvelope(prepared, time_ms, crash_part_size);
    char attachment[160];
    const size_t attachment_size =
        dump_size > 0 ? WriteAttachmentHeader(dump_size, attachment, sizeof attachment) : 0;
    Piece pieces[kPieceCount];
    EnvelopePieces(prepared, crash_part_memory, crash_part_size, attachment, attachment_size,
                   pieces);
    if (!crash.with_session) {
        pieces[kSessionPiece].size = 0;  // a clean end claimed the session first
    }
    return versions.Write(pieces, kPieceCount, attachment_size > 0 ? dump_size : 0);
}

// dbghelp, for the minidump and the frames' names. Loading it takes the loader lock, which the
// launch's own loads want in the first seconds.
void PrepareCrashLibraries() {
    PrepareMinidumps();
    if (setup.symbolize) {
        PrepareSymbolizer();
    }
}

// The work of one crash: the report in versions, each more complete than the one before, the
// callback, and the last whole version kept under the report's name, or none when the callback
// discards the report. Tags the callback sets are in the report; when the callback itself
// crashes, the version written before it is kept.
void HandleCrash() {
    const int64_t time_ms = NowMilliseconds();
    files.Stamp(time_ms);
    PreparedEnvelope* before = setup.envelope->Current();
    uint64_t dump_size = 0;
    handler_step = HandlerStep::kGathering;
    if (before != nullptr && crash_part_memory != nullptr) {
        CrashException exception = ExceptionOfCrash();
        WriteCrashPart(exception, false);
        WriteVersion(*before, time_ms, 0);
        WriteCrashPart(exception, true);
        WriteVersion(*before, time_ms, 0);
        // A crash in the first seconds comes before the libraries were loaded: loaded now, with
        // a whole report already kept, so a load that waits for ever on a loader lock the
        // crashed thread holds costs only the versions after it.
        handler_step = HandlerStep::kLoading;
        PrepareCrashLibraries();
        handler_step = HandlerStep::kGathering;
        const HANDLE dump = files.CreateMinidumpFile();
        if (dump != INVALID_HANDLE_VALUE && WriteMinidump(dump, crash.thread_id, &crash.pointers)) {
            dump_size = files.MinidumpSize();
            WriteVersion(*before, time_ms, dump_size);
        }
        if (setup.symbolize) {
            handler_step = HandlerStep::kSymbolising;
            WriteCrashPart(exception, true, true);
            WriteVersion(*before, time_ms, dump_size);
        }
    }

    handler_step = HandlerStep::kCallingBack;
    sentry_value_t event;
    event._bits = kCrashEventBits;
    if (setup.callback != nullptr) {
        event = setup.callback(&crash.ucontext, event, setup.callback_data);
    }
    if (event._bits == 0) {
        versions.Discard();
        return;
    }
    PreparedEnvelope* after = setup.envelope->Current();
    if (after != before && after != nullptr && crash_part_memory != nullptr) {
        WriteVersion(*after, time_ms, dump_size);
    }
    KeepReport();
}

bool ClaimCrash() {
    return handler_claim.Claim(GetCurrentThreadId());
}

// It never outlives the thread that started the reporter: a thread that goes without the
// process (as Wine ends one whose stack overflow leaves no room for the exception) must not be
// kept waiting for by this one, which would keep the process from ending. Crashes after that
// are handled on the crashed thread.
//
// The reporter's one thread at the start. What can wait does, past the launch and the viewer's
// first moments (kSendDelayMs): dbghelp, and the upload thread (with WinHTTP, the sweep and the
// cap); a crash before then loads dbghelp itself. A crash of the last run waiting starts the
// uploads at once, so it reaches the server even when this run crashes in its first second.
DWORD WINAPI HandlerThread(void*) {
    const HANDLE wakes[] = {handler.start, handler.starter};
    if (LastRunsCrashWaits()) {
        StartUploads(kSendDelayMs);
    }
    DWORD woken = WaitForMultipleObjects(2, wakes, FALSE, kSendDelayMs);
    if (woken == WAIT_TIMEOUT) {
        PrepareCrashLibraries();
        StartUploads(0);
        while ((woken = WaitForMultipleObjects(2, wakes, FALSE, kSeenEveryMs)) == WAIT_TIMEOUT) {
            TouchOpenSession();
        }
    }
    if (woken != WAIT_OBJECT_0 || handler.stop.load()) {
        return 0;
    }
    if (!ClaimCrash()) {
        return 0;  // the crashed thread stopped waiting and handles it itself
    }
    HandleCrash();
    EndProcess(crash.exit_code);
}

// Until the handler thread ends, or the step it is in has had its time.
void WaitForHandler() {
    HandlerWait wait(handler_step.load(), GetTickCount64());
    while (WaitForSingleObject(handler.thread, 200) != WAIT_OBJECT_0) {
        if (wait.Expired(handler_step.load(), GetTickCount64())) {
            return;
        }
    }
}

}  // namespace

CrashRecord& TheCrash() {
    return crash;
}

bool StartCrashHandler(const CrashHandlerSetup& given) {
    if (!files.Prepare(given.folder, GetCurrentProcessId())) {
        return false;
    }
    if (crash_part_memory == nullptr) {
        crash_part_memory = static_cast<char*>(
            VirtualAlloc(nullptr, kCrashPartCapacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    setup = given;
    handler.stop = false;
    handler.start = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE process = GetCurrentProcess();
    if (DuplicateHandle(process, GetCurrentThread(), process, &handler.starter, SYNCHRONIZE, FALSE,
                        0) == 0) {
        handler.starter = nullptr;
    }
    if (handler.start != nullptr && handler.starter != nullptr) {
        // A stack of its own, as large as the callback may want: only reserved, not committed.
        handler.thread = CreateThread(nullptr, 1u << 20, &HandlerThread, nullptr,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    return true;
}

void StopCrashHandler() {
    if (handler.thread != nullptr) {
        handler.stop = true;
        SetEvent(handler.start);
        WaitForSingleObject(handler.thread, 5000);
    }
    for (HANDLE* handle : {&handler.thread, &handler.start, &handler.starter}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
    setup = {};
}

// What a thread does when it meets a crash while one is already being handled: the handling
// thread itself (its callback, or what it read of the crash, faulted) keeps the report written
// so far and ends the process; any other thread waits for the handling thread to end it.
void MeetAnotherCrash() {
    if (handler_claim.HeldBy(GetCurrentThreadId())) {
        KeepReport();
        EndProcess(crash.exit_code);
    }
    for (;;) {
        Sleep(INFINITE);
    }
}

// Should this thread fault again while it waits, it waits on as any other crashed thread does.
void ReportAndEnd() {
    // A thread that has not yet begun to wait still finds the wake-up set when it does.
    if (handler.thread != nullptr && WaitForSingleObject(handler.thread, 0) == WAIT_TIMEOUT) {
        SetEvent(handler.start);
        // Back when the thread ended without the process (it went with the thread that started
        // the reporter before it took the crash, or the callback ended it), or when the work
        // has not been done in time: the callback runs in a process that may hold any lock,
        // the heap's among them, and a report written before it beats none.
        WaitForHandler();
    }
    if (ClaimCrash()) {
        HandleCrash();  // no handler thread took it: the crashed thread's stack it is
    } else {
        KeepReport();
    }
    EndProcess(crash.exit_code);
}

}  // namespace sentry_lite
