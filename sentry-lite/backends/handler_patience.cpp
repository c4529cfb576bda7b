#include "handler_patience.h"

namespace sentry_lite {

uint64_t PatienceFor(HandlerStep step) {
    switch (step) {
        case HandlerStep::kGathering:
            return 60000;
        case HandlerStep::kSymbolising:
        case HandlerStep::kCallingBack:
            return 10000;
        case HandlerStep::kTaking:
        case HandlerStep::kLoading:
            break;
    }
    return 10000;
}

HandlerWait::HandlerWait(HandlerStep step, uint64_t now_ms)
    : step_(step), deadline_ms_(now_ms + PatienceFor(step)) {}

bool HandlerWait::Expired(HandlerStep reached, uint64_t now_ms) {
    if (reached != step_) {
        step_ = reached;
        deadline_ms_ = now_ms + PatienceFor(reached);
        return false;
    }
    return now_ms >= deadline_ms_;
}

}  // namespace sentry_lite
