#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/ClientContract.h"

// One request as the service received it: the body is the exact bytes the client sent.
struct CReceivedRequest {
    std::string method;
    std::string path; // the request target, query included
    std::string userAgent;
    std::string body;

    // "POST /path user-agent body", to compare in one piece.
    std::string Summary() const { return method + " " + path + " " + userAgent + " " + body; }
};

// An answer a test sets instead of the client's own.
struct CReply {
    enum Mode {
        Normal,  // the status and the chunks below
        Silent,  // reads the request, then holds the connection without a word until the service stops
        Endless, // the status, then chunked data without end, until the client closes or the service stops
        Garbage, // the chunks as they are, with no status line or headers, then closes
        Cut,     // the status and a Content-Length for the whole body, then half the body, then closes
    };
    int status = 200;
    // None or one: a Content-Length body. Several: chunked transfer encoding, one chunk each, sent
    // pauseMs apart so the client reads them separately. Empty chunks are left out (a chunk of
    // size 0 ends the body). Endless repeats them (or a filler when there are none).
    std::vector<std::string> chunks;
    DWORD delayMs = 0; // before the status line
    Mode mode = Normal;
    DWORD pauseMs = 100;
};

// The sync client's local web service on a thread of this process: HTTP/1.1 on 127.0.0.1.
// In-process because the tests and the demo control and observe it directly, with no second
// process to coordinate. One request per connection ("Connection: close").
//
// Until a test sets a reply it answers as the client does: POST /select_context_menu with a JSON
// object whose "uid" is 1 gets 200 and ShareLinkId, "uid" 2 gets 200 and an empty body, anything
// else 404. Stopping (Stop or the destructor) never waits for a client: every connection ends at
// once and every thread is joined.
class CStandInWebService {
public:
    static constexpr char ShareLinkId[] = "0123456789abcdef0123456789ABCDEF";

    // Starts listening; Ready() tells whether it could.
    explicit CStandInWebService(uint16_t port = ClientContract::LocalPort);
    ~CStandInWebService();
    CStandInWebService(const CStandInWebService&) = delete;
    CStandInWebService& operator=(const CStandInWebService&) = delete;

    bool Ready() const;
    const std::string& LastError() const;
    // Closes the port and every connection; later requests fail at once. Called again, nothing.
    void Stop();

    // Every following request gets this reply, until UseClientReplies().
    void SetReply(const CReply& reply);
    void UseClientReplies();

    // The requests so far, in the order they were complete.
    std::vector<CReceivedRequest> Requests() const;
    // Whether at least this many requests have arrived, waiting up to the timeout for them.
    bool WaitForRequests(size_t count, DWORD timeoutMs) const;

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_impl;
};
