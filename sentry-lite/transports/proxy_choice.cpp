#include "transports/proxy_choice.h"

namespace sentry_lite {
namespace {

bool AtLeast81(WindowsVersion version) {
    return version.major > 6 || (version.major == 6 && version.minor >= 3);
}

}  // namespace

ProxyPlan ChooseProxy(WindowsVersion version, bool automatic_failed,
                      const std::optional<UserProxySettings>& settings) {
    ProxyPlan plan;
    if (AtLeast81(version) && !automatic_failed) {
        plan.session = SessionProxy::kAutomatic;
        return plan;
    }
    if (!settings) {
        return plan;
    }
    if (!settings->proxy.empty()) {
        plan.session = SessionProxy::kNamed;
        plan.proxy = settings->proxy;
        plan.bypass = settings->bypass;
    }
    plan.auto_detect = settings->auto_detect;
    plan.auto_config_url = settings->auto_config_url;
    return plan;
}

bool AsksForTls12(WindowsVersion version) {
    return !AtLeast81(version);
}

}  // namespace sentry_lite
