#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "backends/report_versions.h"

// The files a crash writes, through the native file calls with names made at sentry_init: the
// Win32 calls turn each path into its native form in memory taken from the process heap, which
// is what a damaged process may no longer give. Every file is created as a temporary that the
// system removes when the process ends, until the report's version is kept.
namespace sentry_lite {

class NativeReportFiles final : public ReportFiles {
  public:
    // Finds the native calls in ntdll and makes the report's names in `folder` (an absolute
    // Win32 path): <stamp>-<pid>.<n>.tmp for the versions, <stamp>-<pid>.dmp.tmp for the
    // minidump, <stamp>-<pid>.envelope for the report, with room for the stamp. At sentry_init.
    bool Prepare(const std::wstring& folder, uint32_t process_id);
    // Writes the crash's time into every name. Allocates nothing.
    void Stamp(int64_t time_ms);
    // The minidump's temporary file, kept open for the versions to copy from; invalid when it
    // cannot be made.
    HANDLE CreateMinidumpFile();
    uint64_t MinidumpSize() const;

    bool Open(size_t slot) override;
    bool WriteAt(size_t slot, uint64_t offset, const char* data, size_t size) override;
    bool CopyMinidumpAt(size_t slot, uint64_t offset, uint64_t size) override;
    bool SetSize(size_t slot, uint64_t size) override;
    void Keep(size_t slot) override;

  private:
    std::wstring version_names_[ReportVersions::kSlots];
    std::wstring dump_name_;
    HANDLE version_files_[ReportVersions::kSlots] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    HANDLE dump_ = INVALID_HANDLE_VALUE;
    // The final name lives in the rename request, a FILE_RENAME_INFORMATION record.
    std::unique_ptr<unsigned char[]> rename_request_;
    ULONG rename_request_size_ = 0;
    size_t stamp_at_ = 0;  // in every name
};

}  // namespace sentry_lite
