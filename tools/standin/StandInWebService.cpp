#include "tools/standin/StandInWebService.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "base/Socket.h"
#include "base/Utf8.h"
#include "base/KernelHandle.h"

namespace {

// Bounds, so that no connection outlives a forgotten service for long and no client can make it
// read without end.
constexpr DWORD RequestReadLimitMs = 10000;
constexpr DWORD HoldLimitMs = 120000;
constexpr DWORD CloseDrainMs = 1000;
constexpr size_t MaxHeaderBytes = 64 * 1024;
constexpr size_t MaxBodyBytes = 16 * 1024 * 1024;
constexpr size_t MaxConnections = 64;
constexpr size_t EndlessBatchBytes = 8 * 1024;
constexpr DWORD EndlessPauseMs = 1;

// A manual-reset event.
class CEvent : public CHandle {
public:
    CEvent() : CHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
};

// Milliseconds left until a GetTickCount64 deadline.
DWORD Remaining(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

const char* Reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string Hex(size_t value)
{
    char text[32];
    snprintf(text, sizeof text, "%zx", value);
    return text;
}

// One accepted connection, read and answered with non-blocking calls and waits that the stop
// event always ends.
class CConnection {
public:
    CConnection(SOCKET socket, HANDLE stop) : m_socket(socket), m_stop(stop)
    {
        m_ready = m_event.Get() && WSAEventSelect(socket, m_event.Get(), FD_READ | FD_WRITE | FD_CLOSE) == 0;
    }
    bool Ready() const { return m_ready; }

    // Appends what arrives next. False when the client closed, the service stops or time is up.
    bool Receive(std::string* into, ULONGLONG deadline)
    {
        for (;;) {
            char buffer[16 * 1024];
            const int received = recv(m_socket.Get(), buffer, sizeof buffer, 0);
            if (received > 0) {
                into->append(buffer, received);
                return true;
            }
            if (received == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !WaitForSocket(deadline))
                return false;
        }
    }

    bool Send(const std::string& data, ULONGLONG deadline)
    {
        size_t sent = 0;
        while (sent < data.size()) {
            const int count = static_cast<int>(std::min<size_t>(data.size() - sent, 64 * 1024));
            const int result = send(m_socket.Get(), data.data() + sent, count, 0);
            if (result > 0)
                sent += result;
            else if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitForSocket(deadline))
                return false;
        }
        return true;
    }

    // Waits until the client closes its end, or the service stops, or time is up.
    void Hold(ULONGLONG deadline)
    {
        std::string ignored;
        while (Receive(&ignored, deadline))
            ignored.clear();
    }

    // True after the pause; false when the service stops first.
    bool Pause(DWORD ms) const { return WaitForSingleObject(m_stop, ms) == WAIT_TIMEOUT; }

    // Our end first, then whatever the client still sends, so it reads the whole reply and not a
    // reset.
    void Close()
    {
        shutdown(m_socket.Get(), SD_SEND);
        Hold(GetTickCount64() + CloseDrainMs);
    }

private:
    bool WaitForSocket(ULONGLONG deadline)
    {
        const HANDLE handles[] = {m_stop, m_event.Get()};
        const DWORD result = WaitForMultipleObjects(2, handles, FALSE, Remaining(deadline));
        if (result != WAIT_OBJECT_0 + 1)
            return false;
        WSANETWORKEVENTS events;
        return WSAEnumNetworkEvents(m_socket.Get(), m_event.Get(), &events) == 0;
    }

    CSocket m_socket;
    HANDLE m_stop;
    CEvent m_event;
    bool m_ready = false;
};

// The request in `data`, once its headers and Content-Length body are all there; nullopt while
// more is needed. Sets *bad on a request it will never accept.
std::optional<CReceivedRequest> Parse(const std::string& data, bool* bad)
{
    const size_t headerEnd = data.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        *bad = data.size() > MaxHeaderBytes;
        return std::nullopt;
    }
    CReceivedRequest request;
    size_t contentLength = 0;
    size_t lineStart = 0;
    for (bool first = true; lineStart < headerEnd; first = false) {
        size_t lineEnd = data.find("\r\n", lineStart);
        const std::string line = data.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (first) {
            const size_t space1 = line.find(' ');
            const size_t space2 = line.find(' ', space1 + 1);
            if (space1 == std::string::npos || space2 == std::string::npos) {
                *bad = true;
                return std::nullopt;
            }
            request.method = line.substr(0, space1);
            request.path = line.substr(space1 + 1, space2 - space1 - 1);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(Trimmed(line.substr(0, colon)));
        const std::string value = Trimmed(line.substr(colon + 1));
        if (name == "user-agent") {
            request.userAgent = value;
        } else if (name == "content-length") {
            char* end = nullptr;
            const unsigned long long length = strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end || length > MaxBodyBytes) {
                *bad = true;
                return std::nullopt;
            }
            contentLength = static_cast<size_t>(length);
        }
    }
    const size_t bodyStart = headerEnd + 4;
    if (data.size() < bodyStart + contentLength)
        return std::nullopt;
    request.body = data.substr(bodyStart, contentLength);
    return request;
}

// What the client itself answers.
CReply ClientReply(const CReceivedRequest& request)
{
    static const std::string path = [] {
        std::string text;
        WideToUtf8(ClientContract::SelectContextMenuPath, &text);
        return text;
    }();
    CReply reply;
    reply.status = 404;
    if (request.method != "POST" || request.path.substr(0, request.path.find('?')) != path)
        return reply;
    try {
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
        Json::Value root;
        const char* text = request.body.data();
        if (!parser->parse(text, text + request.body.size(), &root, nullptr) || !root.isObject() ||
            !root["uid"].isInt())
            return reply;
        const int uid = root["uid"].asInt();
        if (uid == 1)
            reply = CReply{200, {CStandInWebService::ShareLinkId}};
        else if (uid == 2)
            reply = CReply{200, {}};
    } catch (...) {
        // Not JSON the client knows: 404.
    }
    return reply;
}

void Answer(CConnection& connection, const CReply& reply)
{
    const ULONGLONG deadline = GetTickCount64() + HoldLimitMs;
    if (reply.delayMs && !connection.Pause(reply.delayMs))
        return;
    if (reply.mode == CReply::Silent) {
        connection.Hold(deadline);
        return;
    }
    std::vector<std::string> chunks;
    for (const std::string& chunk : reply.chunks)
        if (!chunk.empty())
            chunks.push_back(chunk);
    if (reply.mode == CReply::Garbage) {
        for (const std::string& chunk : chunks)
            connection.Send(chunk, deadline);
        connection.Close();
        return;
    }
    const bool chunked = reply.mode == CReply::Endless || chunks.size() > 1;
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) +
                       "\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n";
    if (!chunked) {
        const std::string body = chunks.empty() ? std::string() : chunks[0];
        const size_t sent = reply.mode == CReply::Cut ? body.size() / 2 : body.size();
        connection.Send(head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, sent),
                        deadline);
        connection.Close();
        return;
    }
    head += "Transfer-Encoding: chunked\r\n\r\n";
    if (reply.mode == CReply::Endless) {
        if (chunks.empty())
            chunks.push_back(std::string(1024, 'x'));
        if (!connection.Send(head, deadline))
            return;
        // A batch of chunks, then a pause: fast enough for any read limit, slow enough that a
        // client without one grows slowly. Ends when the client closes (the send fails), the
        // service stops, or the hold limit.
        for (size_t i = 0;;) {
            std::string batch;
            while (batch.size() < EndlessBatchBytes) {
                const std::string& chunk = chunks[i++ % chunks.size()];
                batch += Hex(chunk.size()) + "\r\n" + chunk + "\r\n";
            }
            if (!connection.Send(batch, deadline) || !connection.Pause(EndlessPauseMs) || Remaining(deadline) == 0)
                return;
        }
    }
    std::string pending = head;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0 && !connection.Pause(reply.pauseMs))
            return;
        pending += Hex(chunks[i].size()) + "\r\n" + chunks[i] + "\r\n";
        if (i + 1 == chunks.size())
            pending += "0\r\n\r\n";
        if (!connection.Send(pending, deadline))
            return;
        pending.clear();
    }
    connection.Close();
}

} // namespace

struct CStandInWebService::CImpl {
    CWinsock winsock;
    CEvent stop;
    CSocket listener;
    CEvent acceptEvent;
    std::string error;
    std::thread acceptThread;

    mutable std::mutex lock;
    mutable std::condition_variable arrived;
    std::vector<CReceivedRequest> requests;
    std::optional<CReply> reply;

    struct CWorker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<CWorker> workers; // only the accept thread touches it until it is joined

    bool Listen(uint16_t port);
    void AcceptLoop();
    void Serve(SOCKET socket);
    void ReapWorkers(bool all);
};

bool CStandInWebService::CImpl::Listen(uint16_t port)
{
    listener.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int exclusive = 1;
    const bool listening = listener.Get() != INVALID_SOCKET &&
                           setsockopt(listener.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                                      reinterpret_cast<const char*>(&exclusive), sizeof exclusive) == 0 &&
                           bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                           listen(listener.Get(), SOMAXCONN) == 0 && acceptEvent.Get() &&
                           WSAEventSelect(listener.Get(), acceptEvent.Get(), FD_ACCEPT) == 0;
    if (!listening) {
        error =
            "cannot listen on 127.0.0.1:" + std::to_string(port) + " (error " + std::to_string(WSAGetLastError()) + ")";
        listener.Reset();
    }
    return listening;
}

void CStandInWebService::CImpl::AcceptLoop()
{
    const HANDLE handles[] = {stop.Get(), acceptEvent.Get()};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        WSANETWORKEVENTS events;
        WSAEnumNetworkEvents(listener.Get(), acceptEvent.Get(), &events);
        ReapWorkers(false);
        for (;;) {
            const SOCKET socket = accept(listener.Get(), nullptr, nullptr);
            if (socket == INVALID_SOCKET)
                break;
            if (workers.size() >= MaxConnections) {
                closesocket(socket);
                continue;
            }
            const BOOL noDelay = TRUE; // each chunk leaves when it is sent
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
            auto done = std::make_shared<std::atomic<bool>>(false);
            workers.push_back({std::thread([this, socket, done] {
                                   Serve(socket);
                                   *done = true;
                               }),
                               done});
        }
    }
    ReapWorkers(true);
}

void CStandInWebService::CImpl::ReapWorkers(bool all)
{
    for (auto worker = workers.begin(); worker != workers.end();) {
        if (all || *worker->done) {
            worker->thread.join();
            worker = workers.erase(worker);
        } else {
            ++worker;
        }
    }
}

void CStandInWebService::CImpl::Serve(SOCKET socket)
{
    CConnection connection(socket, stop.Get());
    if (!connection.Ready())
        return;
    const ULONGLONG deadline = GetTickCount64() + RequestReadLimitMs;
    std::string data;
    std::optional<CReceivedRequest> request;
    bool bad = false;
    while (!(request = Parse(data, &bad)) && !bad)
        if (!connection.Receive(&data, deadline))
            return;
    if (bad) {
        Answer(connection, CReply{400, {}});
        return;
    }
    CReply answer;
    {
        std::lock_guard guard(lock);
        requests.push_back(*request);
        answer = reply ? *reply : ClientReply(*request);
    }
    arrived.notify_all();
    Answer(connection, answer);
}

CStandInWebService::CStandInWebService(uint16_t port) : m_impl(std::make_unique<CImpl>())
{
    if (!m_impl->winsock.Started() || !m_impl->stop.Get()) {
        m_impl->error = "cannot start Winsock";
        return;
    }
    // Bound here, so that a port in use shows in Ready() as soon as the constructor returns.
    if (m_impl->Listen(port))
        m_impl->acceptThread = std::thread([impl = m_impl.get()] { impl->AcceptLoop(); });
}

CStandInWebService::~CStandInWebService()
{
    Stop();
}

bool CStandInWebService::Ready() const
{
    return m_impl->error.empty();
}

const std::string& CStandInWebService::LastError() const
{
    return m_impl->error;
}

void CStandInWebService::Stop()
{
    if (m_impl->stop.Get())
        SetEvent(m_impl->stop.Get());
    if (m_impl->acceptThread.joinable())
        m_impl->acceptThread.join();
    m_impl->listener.Reset();
}

void CStandInWebService::SetReply(const CReply& reply)
{
    std::lock_guard guard(m_impl->lock);
    m_impl->reply = reply;
}

void CStandInWebService::UseClientReplies()
{
    std::lock_guard guard(m_impl->lock);
    m_impl->reply.reset();
}

std::vector<CReceivedRequest> CStandInWebService::Requests() const
{
    std::lock_guard guard(m_impl->lock);
    return m_impl->requests;
}

bool CStandInWebService::WaitForRequests(size_t count, DWORD timeoutMs) const
{
    std::unique_lock guard(m_impl->lock);
    return m_impl->arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return m_impl->requests.size() >= count; });
}
