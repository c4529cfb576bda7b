#include "database/database_folder.h"

#include <utility>

#include "report_names.h"
#include "utc_time.h"
#include "uuid_text.h"

namespace sentry_lite {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// <stamp>-<pid>, as ReportFileName begins; the length of that stem, or 0.
size_t ReportStemLength(std::string_view name) {
    if (name.size() < kFileStampLength + 2) {
        return 0;
    }
    for (size_t i = 0; i < kFileStampLength; ++i) {
        const bool ok = i == 8 ? name[i] == 'T' : i == 18 ? name[i] == 'Z' : IsDigit(name[i]);
        if (!ok) {
            return 0;
        }
    }
    if (name[kFileStampLength] != '-') {
        return 0;
    }
    size_t end = kFileStampLength + 1;
    while (end < name.size() && IsDigit(name[end])) {
        ++end;
    }
    return end > kFileStampLength + 1 ? end : 0;
}

constexpr std::string_view kTemporaryEndings[] = {".0.tmp", ".1.tmp", ".dmp.tmp", "-session.tmp"};
constexpr std::string_view kSessionTemporaryEnding = "-session.tmp";

}  // namespace

bool IsLeftOverReport(std::string_view long_name, bool directory, int64_t written_ms,
                      int64_t now_ms) {
    if (directory || now_ms - written_ms < kStaleTemporaryMs) {
        return false;  // another process may be writing it now
    }
    const size_t stem = ReportStemLength(long_name);
    if (stem == 0) {
        return false;
    }
    const std::string_view rest = long_name.substr(stem);
    for (const std::string_view ending : kTemporaryEndings) {
        if (rest == ending) {
            return true;
        }
    }
    return false;
}

bool MayCarrySessionEnd(std::string_view long_name) {
    if (EndsWith(long_name, kEnvelopeSuffix)) {
        return true;
    }
    const size_t stem = ReportStemLength(long_name);
    if (stem == 0) {
        return false;
    }
    const std::string_view rest = long_name.substr(stem);
    return rest == ".0.tmp" || rest == ".1.tmp" || rest == kSessionTemporaryEnding;
}

std::string RestoredName(std::string_view temporary_name, int attempt) {
    if (attempt < 0 || attempt >= kRestoreAttempts) {
        return {};
    }
    const bool session = EndsWith(temporary_name, kSessionTemporaryEnding);
    std::string_view stem = temporary_name.substr(0, ReportStemLength(temporary_name));
    std::string name(stem);
    if (attempt > 0) {
        // Same stamp, so the same place in the queue; '~' never appears in a name written fresh.
        name += "~" + std::to_string(attempt);
    }
    name += session ? std::string(kSessionEndSuffix) : std::string(kEnvelopeSuffix);
    return name;
}

bool PlaceSessionEnd(int64_t ended_ms, uint32_t process_id,
                     const std::function<Placing(const std::string& name)>& place) {
    for (int later = 0; later < kSessionEndNameTries; ++later) {
        switch (place(SessionEndFileName(ended_ms + later, process_id))) {
            case Placing::kPlaced:
                return true;
            case Placing::kFailed:
                return false;
            case Placing::kNameTaken:
                break;
        }
    }
    return false;
}

std::optional<std::string> ParseInstallationId(std::string_view kept) {
    while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r' || kept.back() == ' ' ||
                             kept.back() == '\t')) {
        kept.remove_suffix(1);
    }
    if (!IsUuidText(kept)) {
        return std::nullopt;
    }
    return std::string(kept);
}

std::string ResolveInstallationId(InstallationIdFile& file,
                                  const std::function<std::string()>& new_id) {
    std::string kept;
    bool replace = false;
    switch (file.Read(kept)) {
        case IdRead::kRead:
            if (std::optional<std::string> id = ParseInstallationId(kept)) {
                return std::move(*id);
            }
            replace = true;
            break;
        case IdRead::kTooLarge:
            replace = true;
            break;
        case IdRead::kMissing:
            break;
        case IdRead::kUnreadable:
            return new_id();
    }
    const std::string id = new_id();
    if (file.Write(id, replace) && !replace) {
        return id;  // the first: a file that was missing is never replaced
    }
    // Another start took the name first, or replaced the file too: what it holds now is the
    // id from here on.
    std::string now;
    if (file.Read(now) == IdRead::kRead) {
        if (std::optional<std::string> won = ParseInstallationId(now)) {
            return std::move(*won);
        }
    }
    return id;
}

}  // namespace sentry_lite
