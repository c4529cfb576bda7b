#pragma once

#include <cstdint>
#include <string>

// The database folder on disk: where it is, the installation id kept there, the leftovers of
// earlier runs, and the session ends written into it.
namespace sentry_lite {

// The folder of a UTF-8 path as an absolute path in long-path form, so a later change of the
// current directory does not move the reports and no name appended to it meets the path
// limit; created when missing. Empty when it cannot be made, or takes no file.
std::wstring PrepareDatabaseFolder(const std::string& utf8_path);

// The installation's identifier: the same for every run that keeps its reports in this
// folder, made once by the first and written whole. A file that cannot be read now is never
// replaced: this run goes with an identifier of its own.
std::string InstallationId(const std::wstring& folder, std::string (*new_id)());

// Puts whole reports that an ended process left under a temporary name in place, and removes
// what is less than whole.
void SweepLeftOverReports(const std::wstring& folder);

// Writes a session's clean end as <stamp>-<pid>-session.envelope: under a temporary name first,
// renamed whole, so the queue never takes part of it (and the sweep of a later start puts a
// whole one left behind in place).
bool KeepSessionEnd(const std::wstring& folder, const std::string& envelope, int64_t ended_ms,
                    uint32_t process_id);

}  // namespace sentry_lite
