#include "crash_part.h"

#include "fixed_fields.h"

namespace sentry_lite {

const char* const kRegisterNames[kRegisterCount] = {
    "rax", "rcx", "rdx", "rbx", "rbp", "rsi", "rdi", "r8",  "r9",
    "r10", "r11", "r12", "r13", "r14", "r15", "rsp", "rip",
};

namespace {

struct NamedCode {
    uint32_t code;
    const char* name;
};

constexpr NamedCode kExceptionNames[] = {
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0x80000003, "EXCEPTION_BREAKPOINT"},
    {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
    {0x80000001, "EXCEPTION_GUARD_PAGE"},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000008, "EXCEPTION_INVALID_HANDLE"},
    {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
    {0x80000004, "EXCEPTION_SINGLE_STEP"},
    {0xC0000374, "STATUS_HEAP_CORRUPTION"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN"},
    {0x40000015, "STATUS_FATAL_APP_EXIT"},
};

// The fields the SDK gives a frame it symbolised: the image, and the function where known.
void AppendFrameSymbol(FixedText& out, const FrameSymbol& symbol) {
    if (symbol.image_addr == 0) {
        return;
    }
    if (symbol.package_length > 0) {
        out.Append(",\"package\":");
        out.AppendJsonUtf16(symbol.package, symbol.package_length);
    }
    out.Append(",\"image_addr\":\"");
    out.AppendHex(symbol.image_addr);
    out.Append("\"");
    if (symbol.function != nullptr && symbol.function_length > 0) {
        out.Append(",\"function\":");
        out.AppendJsonUtf8(symbol.function, symbol.function_length);
        out.Append(",\"symbol_addr\":\"");
        out.AppendHex(symbol.symbol_addr);
        out.Append("\"");
    }
}

void AppendCodeHex(FixedText& out, uint32_t code) {
    char hex[11] = "0x";
    WriteHex(code, 8, hex + 2);
    out.Append(hex, 10);
}

// What the crash is called: Windows' name for its code, refined for an access violation by
// what was being done, as a debugger shows it.
void AppendExceptionType(FixedText& out, const CrashException& exception) {
    if (exception.abort) {
        out.Append("SIGABRT");
        return;
    }
    const char* name = ExceptionName(exception.code);
    if (name == nullptr) {
        AppendCodeHex(out, exception.code);
        return;
    }
    out.Append(name);
    if (exception.code == 0xC0000005 && exception.has_access) {
        out.Append(exception.access_kind == 1   ? "_WRITE"
                   : exception.access_kind == 8 ? "_EXEC"
                                                : "_READ");
    }
}

}  // namespace

const char* ExceptionName(uint32_t code) {
    for (const NamedCode& named : kExceptionNames) {
        if (named.code == code) {
            return named.name;
        }
    }
    return nullptr;
}

bool BeginCrashPart(FixedText& out, const CrashException& exception) {
    out.Append(",\"exception\":{\"values\":[{\"type\":\"");
    AppendExceptionType(out, exception);
    out.Append("\",\"value\":\"");
    if (exception.abort) {
        out.Append("abort() was called at ");
        out.AppendHex(exception.address);
    } else {
        out.Append("Fatal Error: ");
        AppendExceptionType(out, exception);
        out.Append(" at ");
        out.AppendHex(exception.address);
        if (exception.code == 0xC0000005 && exception.has_access) {
            out.Append(exception.access_kind == 1   ? ", writing "
                       : exception.access_kind == 8 ? ", executing "
                                                    : ", reading ");
            out.AppendHex(exception.access_address);
        }
    }
    out.Append(
        "\",\"mechanism\":{\"type\":\"signalhandler\",\"synthetic\":true,"
        "\"handled\":false,\"meta\":{\"signal\":{\"name\":\"");
    if (exception.abort) {
        out.Append("SIGABRT\",\"number\":22");
    } else {
        AppendExceptionType(out, exception);
        out.Append("\",\"number\":");
        out.AppendDecimal(exception.code);
    }
    out.Append("}}},\"stacktrace\":{\"frames\":[");
    // The service lists a stack from its outermost caller down to the crash.
    for (size_t i = exception.frame_count; i > 0; --i) {
        out.Append(i == exception.frame_count ? "{\"instruction_addr\":\""
                                              : ",{\"instruction_addr\":\"");
        out.AppendHex(exception.frames[i - 1]);
        out.Append("\"");
        if (exception.symbols != nullptr) {
            AppendFrameSymbol(out, exception.symbols[i - 1]);
        }
        out.Append("}");
    }
    out.Append("],\"registers\":{");
    for (size_t i = 0; i < kRegisterCount; ++i) {
        out.Append(i == 0 ? "\"" : ",\"");
        out.Append(kRegisterNames[i]);
        out.Append("\":\"");
        out.AppendHex(exception.registers[i]);
        out.Append("\"");
    }
    out.Append("}}}]},\"debug_meta\":{\"images\":[");
    return !out.Overflowed() && out.Size() + kCrashPartReserve <= out.Capacity();
}

void AppendImage(FixedText& out, const ImageInfo& image, bool first) {
    const size_t mark = out.Mark();
    out.Append(first ? "{\"type\":\"pe\",\"arch\":\"x86_64\",\"image_addr\":\""
                     : ",{\"type\":\"pe\",\"arch\":\"x86_64\",\"image_addr\":\"");
    out.AppendHex(image.base);
    out.Append("\",\"image_size\":");
    out.AppendDecimal(image.size);
    out.Append(",\"code_file\":");
    out.AppendJsonUtf16(image.path, image.path_length);
    // The code identifier of a PE image: its link time stamp and size, as symbol servers
    // key them.
    char code_id[17];
    WriteHex(image.time_date_stamp, 8, code_id);
    size_t size_digits = 1;
    for (uint32_t rest = image.size >> 4; rest != 0; rest >>= 4) {
        ++size_digits;
    }
    WriteHex(image.size, size_digits, code_id + 8);
    out.Append(",\"code_id\":\"");
    out.Append(code_id, 8 + size_digits);
    out.Append("\"");
    // What the service finds the image's debug file by; none is ever made up.
    if (image.debug_id != nullptr && image.debug_id_length > 0) {
        out.Append(",\"debug_id\":\"");
        out.Append(image.debug_id, image.debug_id_length);
        out.Append("\"");
        if (image.debug_file != nullptr && image.debug_file_length > 0) {
            out.Append(",\"debug_file\":");
            out.AppendJsonUtf8(image.debug_file, image.debug_file_length);
        }
    }
    out.Append("}");
    if (out.Overflowed() || out.Size() + kCrashPartReserve > out.Capacity()) {
        out.RollBack(mark);
    }
}

void EndCrashPart(FixedText& out) {
    out.Append("]}}");
}

}  // namespace sentry_lite
