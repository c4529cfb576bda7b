#include "lifecycle.h"

namespace sentry_lite {

Lifecycle::Take Lifecycle::TakeCrash() {
    Phase now = phase_.load();
    while (now == Phase::kRunning || now == Phase::kStopping) {
        if (phase_.compare_exchange_weak(now, Phase::kCrashing)) {
            return Take::kTaken;
        }
    }
    return now == Phase::kCrashing ? Take::kAlreadyCrashing : Take::kNotRunning;
}

}  // namespace sentry_lite
