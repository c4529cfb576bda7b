#include "dsn.h"

#include <cstddef>

#include "envelope_header.h"

namespace sentry_lite {
namespace {

constexpr size_t kMaxHostLength = 253;  // what DNS allows
constexpr size_t kMaxProjectIdLength = 20;

bool IsAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// URL characters that need no escaping; a key or path made of them goes into a header or a
// request line unchanged.
bool IsUnreserved(char c) {
    return IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool IsHostCharacter(char c) {
    return IsAlnum(c) || c == '-' || c == '.';
}

template <typename Predicate>
bool AllOf(std::string_view text, Predicate predicate) {
    for (const char c : text) {
        if (!predicate(c)) {
            return false;
        }
    }
    return true;
}

// Cuts `text` at the first `separator`: what is before it, and `text` left after it.
std::optional<std::string_view> TakeUntil(std::string_view& text, std::string_view separator) {
    const size_t at = text.find(separator);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view before = text.substr(0, at);
    text.remove_prefix(at + separator.size());
    return before;
}

bool ReadScheme(std::string_view scheme, Dsn& dsn) {
    if (scheme == "https") {
        dsn.secure = true;
    } else if (scheme == "http") {
        dsn.secure = false;
    } else {
        return false;
    }
    dsn.port = dsn.secure ? 443 : 80;
    return true;
}

bool ReadUserInfo(std::string_view user_info, Dsn& dsn) {
    const size_t colon = user_info.find(':');
    const std::string_view key = user_info.substr(0, colon);
    if (key.empty() || !AllOf(key, IsUnreserved)) {
        return false;
    }
    dsn.public_key = std::string(key);
    if (colon != std::string_view::npos) {
        const std::string_view secret = user_info.substr(colon + 1);
        if (!AllOf(secret, IsUnreserved)) {
            return false;
        }
        dsn.secret = std::string(secret);
        dsn.has_secret = true;
    }
    return true;
}

// Decimal, 1 to 65535, without a leading zero: a port written another way is a typing slip
// more likely than a port.
bool ReadPort(std::string_view text, Dsn& dsn) {
    if (text.empty() || text.size() > 5 || text[0] == '0' || !AllOf(text, IsDigit)) {
        return false;
    }
    uint32_t value = 0;
    for (const char c : text) {
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535) {
        return false;
    }
    dsn.port = static_cast<uint16_t>(value);
    dsn.explicit_port = true;
    return true;
}

bool ReadAuthority(std::string_view authority, Dsn& dsn) {
    const size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (host.empty() || host.size() > kMaxHostLength || !AllOf(host, IsHostCharacter)) {
        return false;
    }
    dsn.host = std::string(host);
    return colon == std::string_view::npos || ReadPort(authority.substr(colon + 1), dsn);
}

// {path/}{project id}: every segment of the path is non-empty, the last one is the project.
bool ReadPathAndProject(std::string_view text, Dsn& dsn) {
    const size_t last_slash = text.rfind('/');
    const std::string_view path =
        last_slash == std::string_view::npos ? std::string_view() : text.substr(0, last_slash + 1);
    const std::string_view project = text.substr(path.size());
    if (project.empty() || project.size() > kMaxProjectIdLength || !AllOf(project, IsDigit)) {
        return false;
    }
    for (std::string_view rest = path; !rest.empty();) {
        const size_t slash = rest.find('/');
        const std::string_view segment = rest.substr(0, slash);
        if (segment.empty() || !AllOf(segment, IsUnreserved)) {
            return false;
        }
        rest.remove_prefix(slash + 1);
    }
    dsn.path = std::string(path);
    dsn.project_id = std::string(project);
    return true;
}

}  // namespace

std::optional<Dsn> ParseDsn(std::string_view text) {
    if (text.size() > kMaxDsnLength) {
        return std::nullopt;
    }
    Dsn dsn;
    const auto scheme = TakeUntil(text, "://");
    if (!scheme || !ReadScheme(*scheme, dsn)) {
        return std::nullopt;
    }
    // The key ends at the first '@': neither a key nor a host holds one.
    const auto user_info = TakeUntil(text, "@");
    if (!user_info || !ReadUserInfo(*user_info, dsn)) {
        return std::nullopt;
    }
    const auto authority = TakeUntil(text, "/");
    if (!authority || !ReadAuthority(*authority, dsn) || !ReadPathAndProject(text, dsn)) {
        return std::nullopt;
    }
    return dsn;
}

std::string EnvelopePath(const Dsn& dsn) {
    return "/" + dsn.path + "api/" + dsn.project_id + "/envelope/";
}

std::string EnvelopeUrl(const Dsn& dsn) {
    std::string url = dsn.secure ? "https://" : "http://";
    url += dsn.host;
    if (dsn.explicit_port) {
        url += ":" + std::to_string(dsn.port);
    }
    return url + EnvelopePath(dsn);
}

std::string PublicDsnText(const Dsn& dsn) {
    std::string text = dsn.secure ? "https://" : "http://";
    text += dsn.public_key + "@" + dsn.host;
    if (dsn.explicit_port) {
        text += ":" + std::to_string(dsn.port);
    }
    return text + "/" + dsn.path + dsn.project_id;
}

std::string AuthHeaderValue(const Dsn& dsn, std::string_view client) {
    return "Sentry sentry_key=" + dsn.public_key +
           ", sentry_version=7, sentry_client=" + std::string(client);
}

std::string ClientName() {
    // The same name and version the envelope header's sdk gives, so the server sees one client.
    return std::string(kSdkName) + "/" + kSdkVersion;
}

}  // namespace sentry_lite
