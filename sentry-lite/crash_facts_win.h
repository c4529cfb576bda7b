#pragma once

// What the reporter gathers about a crash beyond its exception record, on the thread that
// handles it while the crashed thread waits: the crashed thread's stack, the loaded images and
// a minidump. A crash may come with the heap damaged or a lock held (the loader's, inside
// DllMain), so none of this takes memory from the heap or waits for a lock; each may fail, and
// a report without it beats none.
// clang-format off
#include <windows.h>
// clang-format on

#include <cstddef>
#include <cstdint>

#include "crash_part.h"

namespace sentry_lite {

// The calling thread's stack: [limit, base).
void CurrentStackRange(uintptr_t& limit, uintptr_t& base);

// Calls `visit` with each image of the loader's list until it returns false. The list is read
// through ReadProcessMemory, so an entry being changed by another thread ends the walk instead
// of faulting; the loader's lock is never taken. The image's path lives until the next call.
using ImageVisitor = bool (*)(const ImageInfo& image, void* context);
void VisitLoadedImages(ImageVisitor visit, void* context);

// Appends every image of the loader's list to the crash part, with the debug id of its
// CodeView record where it has one.
void AppendLoadedImages(FixedText& out);

// The exception's registers in the envelope's order.
void ReadRegisters(const CONTEXT& context, uint64_t (&registers)[kRegisterCount]);

// Loads dbghelp.dll from System32 so a crash need not load anything; true when
// MiniDumpWriteDump is there.
bool PrepareMinidumps();

// Writes a minidump of this process into `file` from the calling thread, which must not be
// the crashed one.
bool WriteMinidump(HANDLE file, DWORD crashed_thread, EXCEPTION_POINTERS* pointers);

}  // namespace sentry_lite
