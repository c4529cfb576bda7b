#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transports/send_loop.h"

namespace sentry_lite {

// The database folder's envelopes through the Win32 file calls. An envelope is opened for
// reading and removal with no sharing, and removed or renamed through that handle.
class Win32EnvelopeFolder final : public EnvelopeFolder {
  public:
    explicit Win32EnvelopeFolder(std::wstring folder) : folder_(std::move(folder)) {}

    std::vector<PendingEnvelope> List() override;
    std::unique_ptr<EnvelopeFile> Open(const std::string& name) override;

    std::wstring PathOf(const std::string& name) const;

  private:
    std::wstring folder_;
};

}  // namespace sentry_lite
