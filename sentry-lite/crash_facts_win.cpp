#include "crash_facts_win.h"

// clang-format off
#include <windows.h>
#include <winternl.h>
#include <dbghelp.h>
// clang-format on

#include <atomic>

#include "module_exports_win.h"
#include "modulefinder/codeview.h"
#include "modulefinder/loaded_image_win.h"

namespace sentry_lite {

namespace {

template <typename T>
bool SafeRead(uintptr_t address, T& value) {
    SIZE_T read = 0;
    return address != 0 &&
           ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(address), &value,
                             sizeof value, &read) != 0 &&
           read == sizeof value;
}

bool SafeReadBytes(uintptr_t address, void* out, size_t size) {
    SIZE_T read = 0;
    return address != 0 &&
           ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(address), out, size,
                             &read) != 0 &&
           read == size;
}

// The head of a loader entry, as far as the reporter reads it (the layout of
// LDR_DATA_TABLE_ENTRY from its InMemoryOrderLinks on).
struct LoaderEntry {
    LIST_ENTRY in_memory_order_links;
    LIST_ENTRY in_initialization_order_links;
    void* dll_base;
    void* entry_point;
    ULONG size_of_image;
    UNICODE_STRING full_dll_name;
};

// One path and one CodeView record at a time; a crash is handled once.
uint16_t image_path[UNICODE_STRING_MAX_CHARS];
CodeViewRecord code_view;

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);
std::atomic<MiniDumpWriteDumpFunction> write_dump{nullptr};
using SymGetOptionsFunction = DWORD(WINAPI*)();
using SymSetOptionsFunction = DWORD(WINAPI*)(DWORD);
SymGetOptionsFunction get_symbol_options = nullptr;
SymSetOptionsFunction set_symbol_options = nullptr;

// The calling thread's block. GCC takes the segment-relative read of mingw's NtCurrentTeb for
// a read of an empty array and warns of it.
const TEB* CurrentTeb() {
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
    return reinterpret_cast<const TEB*>(NtCurrentTeb());
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

const PEB* CurrentPeb() {
    return CurrentTeb()->ProcessEnvironmentBlock;
}

}  // namespace

void CurrentStackRange(uintptr_t& limit, uintptr_t& base) {
    const auto* tib = reinterpret_cast<const NT_TIB*>(CurrentTeb());
    limit = reinterpret_cast<uintptr_t>(tib->StackLimit);
    base = reinterpret_cast<uintptr_t>(tib->StackBase);
}

void VisitLoadedImages(ImageVisitor visit, void* context) {
    const PEB* peb = CurrentPeb();
    PEB_LDR_DATA* loader = nullptr;
    if (!SafeRead(reinterpret_cast<uintptr_t>(&peb->Ldr), loader) || loader == nullptr) {
        return;
    }
    const auto head = reinterpret_cast<uintptr_t>(&loader->InMemoryOrderModuleList);
    LIST_ENTRY link{};
    if (!SafeRead(head, link)) {
        return;
    }
    // Bounded: a list being changed under the walk may not lead back to its head.
    for (int i = 0; i < 4096 && reinterpret_cast<uintptr_t>(link.Flink) != head; ++i) {
        LoaderEntry entry{};
        if (!SafeRead(reinterpret_cast<uintptr_t>(link.Flink), entry)) {
            return;
        }
        ImageInfo image;
        image.base = reinterpret_cast<uintptr_t>(entry.dll_base);
        image.size = entry.size_of_image;
        const size_t length = entry.full_dll_name.Length / sizeof(wchar_t);
        if (length <= UNICODE_STRING_MAX_CHARS &&
            SafeReadBytes(reinterpret_cast<uintptr_t>(entry.full_dll_name.Buffer), image_path,
                          length * sizeof(uint16_t))) {
            image.path = image_path;
            image.path_length = length;
        }
        IMAGE_DOS_HEADER dos{};
        IMAGE_NT_HEADERS64 nt{};
        if (SafeRead(image.base, dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
            SafeRead(image.base + static_cast<uint32_t>(dos.e_lfanew), nt) &&
            nt.Signature == IMAGE_NT_SIGNATURE) {
            image.time_date_stamp = nt.FileHeader.TimeDateStamp;
            image.size = nt.OptionalHeader.SizeOfImage;
        }
        if (image.base != 0 && !visit(image, context)) {
            return;
        }
        link = entry.in_memory_order_links;
    }
}

void AppendLoadedImages(FixedText& out) {
    struct Appending {
        FixedText& out;
        bool first;
    } appending{out, true};
    VisitLoadedImages(
        [](const ImageInfo& loaded, void* context) {
            auto& to = *static_cast<Appending*>(context);
            ImageInfo image = loaded;
            char debug_id[kDebugIdCapacity];
            if (ReadLoadedCodeView(image.base, image.size, code_view)) {
                image.debug_id = debug_id;
                image.debug_id_length = WriteDebugId(code_view, debug_id);
                image.debug_file = code_view.debug_file;
                image.debug_file_length = code_view.debug_file_length;
            }
            AppendImage(to.out, image, to.first);
            to.first = false;
            return true;
        },
        &appending);
}

void ReadRegisters(const CONTEXT& c, uint64_t (&registers)[kRegisterCount]) {
    const DWORD64 values[kRegisterCount] = {c.Rax, c.Rcx, c.Rdx, c.Rbx, c.Rbp, c.Rsi,
                                            c.Rdi, c.R8,  c.R9,  c.R10, c.R11, c.R12,
                                            c.R13, c.R14, c.R15, c.Rsp, c.Rip};
    for (size_t i = 0; i < kRegisterCount; ++i) {
        registers[i] = values[i];
    }
}

bool PrepareMinidumps() {
    if (write_dump.load() != nullptr) {
        return true;
    }
    const HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dbghelp == nullptr) {
        return false;
    }
    FindExport(dbghelp, "SymGetOptions", get_symbol_options);
    FindExport(dbghelp, "SymSetOptions", set_symbol_options);
    MiniDumpWriteDumpFunction function = nullptr;
    const bool found = FindExport(dbghelp, "MiniDumpWriteDump", function);
    write_dump = function;
    return found;
}

bool WriteMinidump(HANDLE file, DWORD crashed_thread, EXCEPTION_POINTERS* pointers) {
    const MiniDumpWriteDumpFunction function = write_dump.load();
    if (function == nullptr) {
        return false;
    }
    // The dump needs no symbols, and Wine's writer otherwise reads every image's before it
    // starts (the Unix libraries' behind its own DLLs among them): seconds of a crash.
    if (get_symbol_options != nullptr && set_symbol_options != nullptr) {
        set_symbol_options(get_symbol_options() | SYMOPT_DEFERRED_LOADS);
    }
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = crashed_thread;
    exception.ExceptionPointers = pointers;
    exception.ClientPointers = FALSE;
    return function(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception,
                    nullptr, nullptr) != FALSE;
}

}  // namespace sentry_lite
