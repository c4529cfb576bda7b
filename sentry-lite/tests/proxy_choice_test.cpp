#include "transports/proxy_choice.h"

#include <gtest/gtest.h>

namespace sentry_lite {
namespace {

UserProxySettings Settings(bool detect, const char* pac, const char* proxy,
                           const char* bypass = "") {
    return {detect, pac, proxy, bypass};
}

TEST(ChooseProxy, FromTheWindowsVersionAndTheUsersSettings) {
    constexpr WindowsVersion kWindows7{6, 1};
    constexpr WindowsVersion kWindows8{6, 2};
    constexpr WindowsVersion kWindows81{6, 3};
    constexpr WindowsVersion kWindows10{10, 0};
    const auto kAuto = SessionProxy::kAutomatic;
    const auto kDefault = SessionProxy::kDefault;
    const auto kNamed = SessionProxy::kNamed;
    const struct {
        const char* name;
        WindowsVersion version;
        bool automatic_failed;
        std::optional<UserProxySettings> settings;
        SessionProxy session;
        const char* proxy;
        bool detect;
        const char* pac;
    } cases[] = {
        {"10: Windows applies the settings", kWindows10, false,
         Settings(true, "http://wpad/p.pac", "p:8080"), kAuto, "", false, ""},
        {"8.1 the same", kWindows81, false, std::nullopt, kAuto, "", false, ""},
        {"10 without automatic proxy after all", kWindows10, true, Settings(false, "", "p:8080"),
         kNamed, "p:8080", false, ""},
        {"7, settings unread: WinHTTP's own", kWindows7, false, std::nullopt, kDefault, "", false,
         ""},
        {"7, no proxy set", kWindows7, false, Settings(false, "", ""), kDefault, "", false, ""},
        {"7, detection", kWindows7, false, Settings(true, "", ""), kDefault, "", true, ""},
        {"7, a PAC script", kWindows7, false, Settings(false, "http://c/p.pac", ""), kDefault, "",
         false, "http://c/p.pac"},
        {"7, a named proxy", kWindows7, false, Settings(false, "", "p:3128", "<local>"), kNamed,
         "p:3128", false, ""},
        {"8, detection with a named proxy to fall back on", kWindows8, false,
         Settings(true, "http://c/p.pac", "http=p:80"), kNamed, "http=p:80", true,
         "http://c/p.pac"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProxyPlan plan = ChooseProxy(c.version, c.automatic_failed, c.settings);
        EXPECT_EQ(plan.session, c.session);
        EXPECT_EQ(plan.proxy, c.proxy);
        EXPECT_EQ(plan.bypass, c.session == kNamed && c.settings ? c.settings->bypass : "");
        EXPECT_EQ(plan.auto_detect, c.detect);
        EXPECT_EQ(plan.auto_config_url, c.pac);
    }
}

TEST(AsksForTls12, WhereWinHttpWouldNotOfferIt) {
    EXPECT_TRUE(AsksForTls12({6, 1}));   // 7
    EXPECT_TRUE(AsksForTls12({6, 2}));   // 8
    EXPECT_FALSE(AsksForTls12({6, 3}));  // 8.1
    EXPECT_FALSE(AsksForTls12({10, 0}));
}

}  // namespace
}  // namespace sentry_lite
