#pragma once

#include <memory>

#include "dsn.h"
#include "transports/send_loop.h"

namespace sentry_lite {

// Posts envelopes to the DSN's server through WinHTTP, with the user's proxy settings
// (proxy_choice.h), TLS 1.2 asked for where WinHTTP would not offer it,
// certificates checked for https, no redirects followed and every step of a request bounded.
// WinHTTP is loaded from System32 the first time an envelope is posted, so sentry.dll does not
// import it and a start with nothing to send never loads it. One connection, kept for the next
// request while it works. For one thread.
std::unique_ptr<Transport> MakeWinHttpTransport(const Dsn& dsn);

}  // namespace sentry_lite
