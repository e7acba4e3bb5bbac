#pragma once

#include <winsock2.h>

// Winsock for the life of the object, and a socket closed when it goes: the doctor's connect to
// the client's local web service, and the stand-in of that service.
class CWinsock {
public:
    CWinsock()
    {
        WSADATA data;
        m_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~CWinsock()
    {
        if (m_started)
            WSACleanup();
    }
    CWinsock(const CWinsock&) = delete;
    CWinsock& operator=(const CWinsock&) = delete;
    bool Started() const { return m_started; }

private:
    bool m_started = false;
};

class CSocket {
public:
    explicit CSocket(SOCKET socket = INVALID_SOCKET) : m_socket(socket) {}
    ~CSocket() { Reset(); }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    SOCKET Get() const { return m_socket; }
    void Reset(SOCKET socket = INVALID_SOCKET)
    {
        if (m_socket != INVALID_SOCKET)
            closesocket(m_socket);
        m_socket = socket;
    }

private:
    SOCKET m_socket;
};
