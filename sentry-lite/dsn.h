#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Where the lite crash reporter sends envelopes, read from the DSN it is given:
// {scheme}://{public key}[:{secret}]@{host}[:{port}]/{path/}{project id}.
namespace sentry_lite {

struct Dsn {
    bool secure = true;          // https; http otherwise
    std::string public_key;      // 1 or more of A-Z a-z 0-9 - . _ ~
    std::string secret;          // the old form's secret, never sent; may be empty
    bool has_secret = false;     // the DSN had "key:secret@"
    std::string host;            // a host name or IPv4 address: A-Z a-z 0-9 - .
    uint16_t port = 443;         // 1 to 65535; 443 or 80 unless given
    bool explicit_port = false;  // the DSN named the port
    std::string path;            // empty, or segments each ending in '/'
    std::string project_id;      // decimal digits
};

// The DSN, or nothing when any part of it does not read: another scheme, no key, no host, a
// bad port, no project id, a query or fragment, a character outside the sets above, more
// than kMaxDsnLength bytes. Whatever is not read sends nothing, so nothing is guessed.
std::optional<Dsn> ParseDsn(std::string_view text);
constexpr size_t kMaxDsnLength = 2048;

// The path envelopes are posted to, from the root: /{path/}api/{project id}/envelope/.
std::string EnvelopePath(const Dsn& dsn);

// {scheme}://{host}[:{port}]{EnvelopePath}.
std::string EnvelopeUrl(const Dsn& dsn);

// The DSN as an envelope's header gives it: as read, but never with a secret.
std::string PublicDsnText(const Dsn& dsn);

// The X-Sentry-Auth header's value; `client` is {name}/{version}.
std::string AuthHeaderValue(const Dsn& dsn, std::string_view client);

// The client this reporter names itself as.
std::string ClientName();

}  // namespace sentry_lite
