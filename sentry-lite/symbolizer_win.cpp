#include "symbolizer_win.h"

// clang-format off
#include <windows.h>
#include <dbghelp.h>
// clang-format on

#include <atomic>
#include <cstring>

#include "crash_facts_win.h"
#include "module_exports_win.h"

namespace sentry_lite {

namespace {

using SymSetOptionsFunction = DWORD(WINAPI*)(DWORD);
using SymInitializeWFunction = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
using SymFromAddrFunction = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);
using SymLoadModuleExWFunction = DWORD64(WINAPI*)(HANDLE, HANDLE, PCWSTR, PCWSTR, DWORD64, DWORD,
                                                  PMODLOAD_DATA, DWORD);

struct SymbolCalls {
    SymSetOptionsFunction set_options = nullptr;
    SymInitializeWFunction initialize = nullptr;
    SymFromAddrFunction from_address = nullptr;
    SymLoadModuleExWFunction load_module = nullptr;
};
SymbolCalls calls;
std::atomic<bool> prepared{false};

// The images the frames are in, with their paths, and the frames' function names: a crash
// takes nothing from the heap for them.
constexpr size_t kMaxImages = 32;
constexpr size_t kMaxPath = 1024;
constexpr size_t kMaxFrames = 256;
constexpr size_t kMaxName = 512;

struct ImageSlot {
    uint64_t base;
    uint32_t size;
    uint16_t path[kMaxPath + 1];  // NUL-ended for dbghelp
    size_t path_length;
};
ImageSlot image_slots[kMaxImages];
size_t image_slot_count = 0;
char names[kMaxFrames][kMaxName];
alignas(SYMBOL_INFO) unsigned char symbol_memory[sizeof(SYMBOL_INFO) + kMaxName];

struct Frames {
    const uint64_t* addresses;
    size_t count;
    FrameSymbol* symbols;
};

bool Holds(const ImageInfo& image, uint64_t address) {
    return address >= image.base && address - image.base < image.size;
}

// Gives the frames an image holds that image; the walk goes on while frames are left.
bool AssignImage(const ImageInfo& image, void* context) {
    auto& frames = *static_cast<Frames*>(context);
    ImageSlot* slot = nullptr;
    size_t left = 0;
    for (size_t i = 0; i < frames.count; ++i) {
        FrameSymbol& symbol = frames.symbols[i];
        if (symbol.image_addr != 0) {
            continue;
        }
        if (!Holds(image, frames.addresses[i])) {
            ++left;
            continue;
        }
        if (slot == nullptr) {
            if (image_slot_count == kMaxImages) {
                return false;
            }
            slot = &image_slots[image_slot_count++];
            slot->base = image.base;
            slot->size = image.size;
            // A path too long for its slot is left out rather than cut.
            slot->path_length = image.path_length <= kMaxPath ? image.path_length : 0;
            std::memcpy(slot->path, image.path, slot->path_length * sizeof(uint16_t));
            slot->path[slot->path_length] = 0;
        }
        symbol.image_addr = image.base;
        symbol.package = slot->path;
        symbol.package_length = slot->path_length;
    }
    return left > 0;
}

void NameFunction(HANDLE process, uint64_t address, char (&name)[kMaxName], FrameSymbol& symbol) {
    auto* info = reinterpret_cast<SYMBOL_INFO*>(symbol_memory);
    std::memset(symbol_memory, 0, sizeof symbol_memory);
    info->SizeOfStruct = sizeof(SYMBOL_INFO);
    info->MaxNameLen = kMaxName;
    DWORD64 displacement = 0;
    if (calls.from_address(process, address, &displacement, info) == FALSE || info->NameLen == 0) {
        return;
    }
    const size_t length = info->NameLen < kMaxName ? info->NameLen : kMaxName - 1;
    std::memcpy(name, info->Name, length);
    symbol.function = name;
    symbol.function_length = length;
    symbol.symbol_addr = info->Address;
}

}  // namespace

bool PrepareSymbolizer() {
    if (prepared.load()) {
        return true;
    }
    const HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    SymbolCalls found;
    if (!FindExport(dbghelp, "SymSetOptions", found.set_options) ||
        !FindExport(dbghelp, "SymInitializeW", found.initialize) ||
        !FindExport(dbghelp, "SymFromAddr", found.from_address) ||
        !FindExport(dbghelp, "SymLoadModuleExW", found.load_module)) {
        return false;
    }
    calls = found;
    prepared = true;
    return true;
}

void SymbolizeFrames(const uint64_t* frames, size_t count, FrameSymbol* symbols) {
    count = count < kMaxFrames ? count : kMaxFrames;
    for (size_t i = 0; i < count; ++i) {
        symbols[i] = FrameSymbol{};
    }
    image_slot_count = 0;
    Frames walk{frames, count, symbols};
    VisitLoadedImages(&AssignImage, &walk);
    if (!prepared.load()) {
        return;
    }
    const HANDLE process = GetCurrentProcess();
    // Symbols are read for the images asked about alone, not for every image up front.
    calls.set_options(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS |
                      SYMOPT_NO_PROMPTS);
    // Only the images the frames are in: going through every loaded image (under Wine the Unix
    // libraries behind its own DLLs too) costs a crash seconds. An application that initialised
    // dbghelp itself makes the first call fail, and has the images loaded already.
    calls.initialize(process, nullptr, FALSE);
    for (size_t i = 0; i < image_slot_count; ++i) {
        const ImageSlot& slot = image_slots[i];
        if (slot.path_length > 0) {
            calls.load_module(process, nullptr, reinterpret_cast<PCWSTR>(slot.path), nullptr,
                              slot.base, slot.size, nullptr, 0);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (symbols[i].image_addr == 0) {
            continue;
        }
        // A caller's frame holds the return address, which may be the first byte of whatever
        // follows the call: the call itself is the byte before.
        NameFunction(process, i == 0 ? frames[i] : frames[i] - 1, names[i], symbols[i]);
    }
}

}  // namespace sentry_lite
