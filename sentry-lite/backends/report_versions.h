#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "envelope.h"

// A crash's report is written in versions, each more complete than the one before, and is whole
// or absent: each version goes into a file of its own that the system removes with the process,
// is published once it is whole, and whoever finishes the crash (the handler, or the crashed
// thread that stopped waiting for it) keeps the published one. What fails or hangs later leaves
// the version before it.
namespace sentry_lite {

// The files of the versions, one per slot. A slot's file is a temporary until it is kept.
class ReportFiles {
  public:
    virtual ~ReportFiles() = default;
    // Creates the slot's file the first time it is asked for; false when it cannot be.
    virtual bool Open(size_t slot) = 0;
    virtual bool WriteAt(size_t slot, uint64_t offset, const char* data, size_t size) = 0;
    // The minidump's `size` bytes into the slot's file at `offset`.
    virtual bool CopyMinidumpAt(size_t slot, uint64_t offset, uint64_t size) = 0;
    // Cuts the file at `size`: a slot written again may have held a longer version.
    virtual bool SetSize(size_t slot, uint64_t size) = 0;
    // Keeps the slot's file past the process, under the report's name.
    virtual void Keep(size_t slot) = 0;
};

class ReportVersions {
  public:
    static constexpr size_t kSlots = 2;

    explicit ReportVersions(ReportFiles& files) : files_(files) {}

    // Writes one version (the pieces, then, when `dump_size` is not 0, the minidump and a line
    // feed) into the slot not published, then publishes it. False when it could not be written,
    // or the crash was finished meanwhile: nothing is published then.
    bool Write(const Piece* pieces, size_t count, uint64_t dump_size);
    // Keeps the published version, if any; true when it did. Only the first Finish or Discard
    // does anything, so keeping one version and publishing another can never both happen.
    bool Finish();
    // Every version goes with the process (the callback discarded the report).
    void Discard();

    // The slot of the published version + 1, or 0 when none is.
    uint32_t Published() const { return state_.load() & ~kFinished; }
    bool Finished() const { return (state_.load() & kFinished) != 0; }

  private:
    // Which version is whole and whether the crash is finished, in one word.
    static constexpr uint32_t kFinished = 0x100;

    ReportFiles& files_;
    std::atomic<uint32_t> state_{0};
};

}  // namespace sentry_lite
