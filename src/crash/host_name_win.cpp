// The host name through the sockets layer, which is started here, when the name is first
// asked for, and cleaned up at process exit. ws2_32.dll is taken from System32 then instead of
// being imported, so a launch does not pay for loading and starting it before the entry
// function runs.
#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>

#include <boost/system/system_error.hpp>

#include "common/module_loader.h"
#include "common/system_library.h"
#include "crash/machine_identity.h"

namespace {

using WSAStartupFunction = int(WSAAPI*)(WORD, LPWSADATA);
using WSACleanupFunction = int(WSAAPI*)();
using GetHostNameFunction = int(WSAAPI*)(char*, int);
using WSAGetLastErrorFunction = int(WSAAPI*)();

class SocketsLayer {
  public:
    SocketsLayer() {
        const ModuleHandle library = LoadSystemLibrary(L"ws2_32.dll");
        if (library == nullptr) {
            error_ = static_cast<int>(GetLastError());
            return;
        }
        const auto startup = reinterpret_cast<WSAStartupFunction>(
            SystemModuleLoader().FindExport(library, "WSAStartup"));
        cleanup_ = reinterpret_cast<WSACleanupFunction>(
            SystemModuleLoader().FindExport(library, "WSACleanup"));
        get_host_name_ = reinterpret_cast<GetHostNameFunction>(
            SystemModuleLoader().FindExport(library, "gethostname"));
        last_error_ = reinterpret_cast<WSAGetLastErrorFunction>(
            SystemModuleLoader().FindExport(library, "WSAGetLastError"));
        if (startup == nullptr || cleanup_ == nullptr || get_host_name_ == nullptr ||
            last_error_ == nullptr) {
            error_ = static_cast<int>(GetLastError());
            return;
        }
        // Version 2.0, as the sockets layer has always been started for this process.
        WSADATA data;
        error_ = startup(MAKEWORD(2, 0), &data);
        started_ = error_ == 0;
    }

    ~SocketsLayer() {
        if (started_) {
            cleanup_();
        }
    }

    SocketsLayer(const SocketsLayer&) = delete;
    SocketsLayer& operator=(const SocketsLayer&) = delete;

    std::string HostName() const {
        if (!started_) {
            Raise(error_);
        }
        char name[1024] = {};
        if (get_host_name_(name, static_cast<int>(sizeof name)) != 0) {
            Raise(last_error_());
        }
        return name;
    }

  private:
    [[noreturn]] static void Raise(int error) {
        throw boost::system::system_error(error, boost::system::system_category());
    }

    bool started_ = false;
    int error_ = 0;
    WSACleanupFunction cleanup_ = nullptr;
    GetHostNameFunction get_host_name_ = nullptr;
    WSAGetLastErrorFunction last_error_ = nullptr;
};

}  // namespace

std::string QueryHostName() {
    // Started at the first query and kept until exit: the application may rely on a started
    // sockets layer, as it always found one.
    static const SocketsLayer sockets;
    return sockets.HostName();
}
