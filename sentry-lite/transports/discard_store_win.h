#pragma once

#include <string>
#include <utility>

#include "transports/send_loop.h"

namespace sentry_lite {

// The client-report counts in the database folder's kDiscardCountsFileName, changed by one
// process at a time: the file is held with no sharing while it is read and written back.
class Win32DiscardStore final : public DiscardStore {
  public:
    explicit Win32DiscardStore(std::wstring folder) : folder_(std::move(folder)) {}

    DiscardCounts Read() override;
    bool Update(const std::function<void(DiscardCounts&)>& change) override;

  private:
    std::wstring Path() const;

    std::wstring folder_;
};

}  // namespace sentry_lite
