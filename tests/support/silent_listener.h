#pragma once

// A loopback TCP listener that accepts connections and never sends a byte: a
// service that hangs every client. Test support only; link ws2_32.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tessary::testing {

class SilentListener {
public:
    // Listens on 127.0.0.1:`port` (any free port when 0). listening() is false
    // when the port cannot be bound.
    explicit SilentListener(unsigned short port = 0) {
        if (::WSAStartup(MAKEWORD(2, 2), &wsa_) != 0) return;
        started_ = true;
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        int length = sizeof(address);
        if (listener_ == INVALID_SOCKET || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            Close();
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() {
        Close();
        if (started_) ::WSACleanup();
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool listening() const { return listener_ != INVALID_SOCKET; }
    unsigned short port() const { return port_; }
    // Connections accepted so far.
    int accepted() const { return accepted_; }

    // True when a client connected within `milliseconds`; the connection is
    // held open and never answered.
    bool Accept(long milliseconds) {
        if (listener_ == INVALID_SOCKET) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
        if (::select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
        const SOCKET client = ::accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return false;
        clients_.push_back(client);
        ++accepted_;
        return true;
    }
    // Closes the held connections: a client waiting on one sees it end.
    void DropClients() {
        for (SOCKET client : clients_) ::closesocket(client);
        clients_.clear();
    }
    // Drops the held connections and stops listening.
    void Close() {
        DropClients();
        if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }

private:
    WSADATA wsa_{};
    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    std::vector<SOCKET> clients_;
    unsigned short port_ = 0;
    int accepted_ = 0;
};

// Runs `call` on a thread of its own while `listener` accepts every connection
// and holds it unanswered, for at most `holdMs`. After that, held and later
// connections are closed at once, so a call still waiting on one ends. Returns
// how long the call took in milliseconds (at least `holdMs` when it did not
// return within it).
template <typename Call>
DWORD RunAgainstSilentListener(SilentListener& listener, DWORD holdMs, Call call) {
    std::atomic<bool> done{false};
    std::atomic<ULONGLONG> took{0};
    const ULONGLONG start = ::GetTickCount64();
    std::thread worker([&] {
        call();
        took = ::GetTickCount64() - start;
        done = true;
    });
    while (!done) {
        listener.Accept(20);
        if (::GetTickCount64() - start >= holdMs) listener.DropClients();
    }
    worker.join();
    listener.DropClients();
    return static_cast<DWORD>(took.load());
}

}  // namespace tessary::testing
