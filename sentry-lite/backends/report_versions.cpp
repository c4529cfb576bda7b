#include "report_versions.h"

namespace sentry_lite {

bool ReportVersions::Write(const Piece* pieces, size_t count, uint64_t dump_size) {
    const uint32_t state = state_.load();
    if ((state & kFinished) != 0) {
        return false;
    }
    // Never the published slot: that one stays whole until another is.
    const size_t slot = state == 1 ? 1 : 0;
    if (!files_.Open(slot)) {
        return false;
    }
    uint64_t offset = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!files_.WriteAt(slot, offset, pieces[i].data, pieces[i].size)) {
            return false;
        }
        offset += pieces[i].size;
    }
    if (dump_size > 0) {
        if (!files_.CopyMinidumpAt(slot, offset, dump_size) ||
            !files_.WriteAt(slot, offset + dump_size, "\n", 1)) {
            return false;
        }
        offset += dump_size + 1;
    }
    if (!files_.SetSize(slot, offset)) {
        return false;
    }
    uint32_t expected = state;
    return state_.compare_exchange_strong(expected, static_cast<uint32_t>(slot + 1));
}

bool ReportVersions::Finish() {
    const uint32_t state = state_.exchange(kFinished);
    if ((state & kFinished) != 0 || state == 0 || state > kSlots) {
        return false;
    }
    files_.Keep(state - 1);
    return true;
}

void ReportVersions::Discard() {
    state_.exchange(kFinished);
}

}  // namespace sentry_lite
