#include "backends/native_files_win.h"

// clang-format off
#include <winternl.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <new>

#include "database/folder_paths.h"
#include "module_exports_win.h"
#include "report_names.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using NtWriteFileFunction = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID,
                                             ULONG, PLARGE_INTEGER, PULONG);
using NtReadFileFunction = NtWriteFileFunction;
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
using NtQueryInformationFileFunction = NtSetInformationFileFunction;
using NtFlushBuffersFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK);
struct NativeFileCalls {
    NtCreateFileFunction create = nullptr;
    NtWriteFileFunction write = nullptr;
    NtReadFileFunction read = nullptr;
    NtSetInformationFileFunction set_information = nullptr;
    NtQueryInformationFileFunction query_information = nullptr;
    NtFlushBuffersFileFunction flush = nullptr;
};
NativeFileCalls native;
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;
constexpr int kFileStandardInformation = 5;
constexpr int kFileEndOfFileInformation = 20;

// Copies go through this, set aside beforehand; a crash is handled once.
unsigned char copy_buffer[64 * 1024];

struct RenameRequest {  // FILE_RENAME_INFORMATION, as far as the name
    BOOLEAN replace_if_exists;
    HANDLE root_directory;
    ULONG name_length;  // in bytes
    WCHAR name[1];
};

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

bool FindNativeFileCalls() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto find = [ntdll](auto& function, const char* name) {
        return FindExport(ntdll, name, function);
    };
    return find(native.create, "NtCreateFile") && find(native.write, "NtWriteFile") &&
           find(native.read, "NtReadFile") &&
           find(native.set_information, "NtSetInformationFile") &&
           find(native.query_information, "NtQueryInformationFile") &&
           find(native.flush, "NtFlushBuffersFile");
}

// Marks a file to go when its last handle closes, or to stay.
bool SetDeleteOnClose(HANDLE file, bool remove) {
    IO_STATUS_BLOCK io{};
    BOOLEAN disposition = remove ? TRUE : FALSE;
    return Succeeded(native.set_information(file, &io, &disposition, sizeof disposition,
                                            kFileDispositionInformation));
}

// A file that the system removes when the process ends, unless it is told otherwise.
HANDLE CreateTemporary(std::wstring& native_name) {
    UNICODE_STRING name;
    name.Buffer = native_name.data();
    name.Length = static_cast<USHORT>(native_name.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    const NTSTATUS created =
        native.create(&file, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE, &attributes, &io,
                      nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!Succeeded(created)) {
        return INVALID_HANDLE_VALUE;
    }
    if (!SetDeleteOnClose(file, true)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool WriteFileAt(HANDLE file, uint64_t offset, const void* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const auto chunk = static_cast<ULONG>(std::min<size_t>(size - done, 1u << 20));
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset + done);
        IO_STATUS_BLOCK io{};
        const NTSTATUS written = native.write(
            file, nullptr, nullptr, nullptr, &io,
            const_cast<char*>(static_cast<const char*>(data) + done), chunk, &at, nullptr);
        if (!Succeeded(written) || io.Information == 0) {
            return false;
        }
        done += io.Information;
    }
    return true;
}

uint64_t FileSize(HANDLE file) {
    struct {
        LARGE_INTEGER allocation_size;
        LARGE_INTEGER end_of_file;
        ULONG number_of_links;
        BOOLEAN delete_pending;
        BOOLEAN directory;
    } standard{};
    IO_STATUS_BLOCK io{};
    if (!Succeeded(native.query_information(file, &io, &standard, sizeof standard,
                                            kFileStandardInformation))) {
        return 0;
    }
    return static_cast<uint64_t>(standard.end_of_file.QuadPart);
}

// Copies `size` bytes of `from` to `to` at `offset`.
bool CopyInto(HANDLE to, uint64_t offset, HANDLE from, uint64_t size) {
    for (uint64_t done = 0; done < size;) {
        const auto chunk = static_cast<ULONG>(std::min<uint64_t>(size - done, sizeof copy_buffer));
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(done);
        IO_STATUS_BLOCK io{};
        if (!Succeeded(native.read(from, nullptr, nullptr, nullptr, &io, copy_buffer, chunk, &at,
                                   nullptr)) ||
            io.Information == 0) {
            return false;
        }
        if (!WriteFileAt(to, offset + done, copy_buffer, io.Information)) {
            return false;
        }
        done += io.Information;
    }
    return true;
}

}  // namespace

bool NativeReportFiles::Prepare(const std::wstring& folder, uint32_t process_id) {
    if (!FindNativeFileCalls()) {
        return false;
    }
    const std::wstring stem = NativePathForm(folder) + L"\\";
    stamp_at_ = stem.size();
    const std::string file_name = ReportFileName(0, process_id);  // ASCII
    const std::wstring final_name = stem + std::wstring(file_name.begin(), file_name.end());
    const std::wstring name = final_name.substr(0, final_name.rfind(L'.'));
    for (size_t i = 0; i < ReportVersions::kSlots; ++i) {
        version_names_[i] = name + L"." + std::to_wstring(i) + L".tmp";
    }
    dump_name_ = name + L".dmp.tmp";
    const size_t name_bytes = final_name.size() * sizeof(wchar_t);
    if (name_bytes > 0xFFFE) {
        return false;  // beyond what a native path holds
    }
    rename_request_size_ = static_cast<ULONG>(offsetof(RenameRequest, name) + name_bytes);
    rename_request_.reset(new (std::nothrow) unsigned char[rename_request_size_]());
    if (rename_request_ == nullptr) {
        return false;
    }
    auto* request = reinterpret_cast<RenameRequest*>(rename_request_.get());
    request->replace_if_exists = FALSE;
    request->root_directory = nullptr;
    request->name_length = static_cast<ULONG>(name_bytes);
    std::memcpy(request->name, final_name.data(), name_bytes);
    return true;
}

void NativeReportFiles::Stamp(int64_t time_ms) {
    char stamp[kFileStampLength];
    WriteFileStamp(time_ms, stamp);
    wchar_t* final_name = reinterpret_cast<RenameRequest*>(rename_request_.get())->name;
    for (size_t i = 0; i < sizeof stamp; ++i) {
        const auto c = static_cast<wchar_t>(stamp[i]);
        for (std::wstring& name : version_names_) {
            name[stamp_at_ + i] = c;
        }
        dump_name_[stamp_at_ + i] = c;
        final_name[stamp_at_ + i] = c;
    }
}

HANDLE NativeReportFiles::CreateMinidumpFile() {
    if (dump_ == INVALID_HANDLE_VALUE) {
        dump_ = CreateTemporary(dump_name_);
    }
    return dump_;
}

uint64_t NativeReportFiles::MinidumpSize() const {
    return dump_ != INVALID_HANDLE_VALUE ? FileSize(dump_) : 0;
}

bool NativeReportFiles::Open(size_t slot) {
    if (version_files_[slot] == INVALID_HANDLE_VALUE) {
        version_files_[slot] = CreateTemporary(version_names_[slot]);
    }
    return version_files_[slot] != INVALID_HANDLE_VALUE;
}

bool NativeReportFiles::WriteAt(size_t slot, uint64_t offset, const char* data, size_t size) {
    return WriteFileAt(version_files_[slot], offset, data, size);
}

bool NativeReportFiles::CopyMinidumpAt(size_t slot, uint64_t offset, uint64_t size) {
    return dump_ != INVALID_HANDLE_VALUE && CopyInto(version_files_[slot], offset, dump_, size);
}

bool NativeReportFiles::SetSize(size_t slot, uint64_t size) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER end_of_file;
    end_of_file.QuadPart = static_cast<LONGLONG>(size);
    return Succeeded(native.set_information(version_files_[slot], &io, &end_of_file,
                                            sizeof end_of_file, kFileEndOfFileInformation));
}

void NativeReportFiles::Keep(size_t slot) {
    const HANDLE file = version_files_[slot];
    IO_STATUS_BLOCK io{};
    // Kept first, then named: a process ended between the two leaves a whole temporary report,
    // which the next start puts in place.
    SetDeleteOnClose(file, false);
    native.flush(file, &io);
    native.set_information(file, &io, rename_request_.get(), rename_request_size_,
                           kFileRenameInformation);
}

}  // namespace sentry_lite
