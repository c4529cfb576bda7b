// Boost.Asio starts the sockets layer for the whole process before the entry function runs
// and cleans it up at exit; the host-name query relies on that.
#include <boost/asio/ip/host_name.hpp>

#include "crash/machine_identity.h"

std::string QueryHostName() {
    return boost::asio::ip::host_name();
}
