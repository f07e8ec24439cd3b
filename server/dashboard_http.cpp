#include "server/dashboard_http.h"

#include <QDebug>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr time_t kIoTimeoutSeconds = 5;
constexpr time_t kIdleSeconds = 2;
constexpr size_t kRequestsPerConnection = 100;
// How long start() waits for a listening thread to take its first connection.
constexpr auto kStartWait = std::chrono::seconds(2);

// Writing to a connection the client has closed raises SIGPIPE in the
// writing thread; blocked there, it leaves the write failing with EPIPE
// instead of ending the server.
void blockBrokenPipeInThisThread()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// The threads that serve one listener's connections, and the connections
// waiting for them: at most kWaitingConnections, beyond which the accepting
// thread waits for room and new connections wait in the system's backlog.
class ConnectionPool {
public:
    ~ConnectionPool() { finish(); }

    void start()
    {
        for (int i = 0; i < DashboardHttp::kThreads; ++i)
            m_threads.emplace_back([this] { serve(); });
    }

    // Once released, a job is run at once on the caller's thread: the library
    // then only closes the connection, its listener being stopped.
    void enqueue(std::function<void()> job)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [this] { return m_jobs.size() < size_t(DashboardHttp::kWaitingConnections) || m_released; });
        if (m_released) {
            lock.unlock();
            job();
            return;
        }
        m_jobs.push_back(std::move(job));
        m_work.notify_one();
    }

    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_room.notify_all();
    }

    // Runs the jobs still waiting and joins the threads.
    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finishing = true;
            m_work.notify_all();
        }
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
    }

private:
    void serve()
    {
        blockBrokenPipeInThisThread();
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_work.wait(lock, [this] { return !m_jobs.empty() || m_finishing; });
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                m_room.notify_one();
            }
            job();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_room;
    std::deque<std::function<void()>> m_jobs;
    bool m_released = false;
    bool m_finishing = false;
    std::vector<std::thread> m_threads;
};

// What the library owns and deletes: a handle on the listener's pool.
class PoolHandle : public httplib::TaskQueue {
public:
    explicit PoolHandle(ConnectionPool& pool) : m_pool(pool) { m_pool.start(); }
    void enqueue(std::function<void()> job) override { m_pool.enqueue(std::move(job)); }
    void shutdown() override { m_pool.finish(); }

private:
    ConnectionPool& m_pool;
};

int portOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// Shuts down every connected socket of the process whose own port is `port`:
// the connections this server accepted. A thread waiting for such a client
// to send or to read then returns at once.
void cutConnections(int port)
{
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return;
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(folder))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (::getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &localSize) != 0 || portOf(local) != port ||
            ::getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
            continue;
        ::shutdown(int(fd), SHUT_RDWR);
    }
    ::closedir(folder);
}

const char* contentTypeOf(const std::string& path)
{
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},  {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},    {".json", "application/json"},
        {".svg", "image/svg+xml"},              {".png", "image/png"},
        {".ico", "image/x-icon"},               {".txt", "text/plain; charset=utf-8"},
        {".map", "application/json"},           {".woff2", "font/woff2"},
    };
    for (const auto& type : kTypes) {
        const size_t length = std::strlen(type.first);
        if (path.size() >= length && path.compare(path.size() - length, length, type.first) == 0)
            return type.second;
    }
    return "application/octet-stream";
}

bool hasParentSegment(const std::string& path)
{
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (path.compare(start, end - start, "..") == 0 && end - start == 2)
            return true;
        start = end + 1;
    }
    return false;
}

// The whole of a regular file of at most kMaxFileBytes; false otherwise.
bool readSmallFile(const std::string& path, std::string* contents)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= DashboardHttp::kMaxFileBytes;
    if (ok) {
        contents->resize(size_t(status.st_size));
        size_t done = 0;
        while (ok && done < contents->size()) {
            const ssize_t n = ::read(fd, &(*contents)[done], contents->size() - done);
            ok = n > 0;
            done += ok ? size_t(n) : 0;
        }
    }
    ::close(fd);
    return ok;
}

void answer(httplib::Response& response, int status, const std::string& text)
{
    response.status = status;
    response.set_content(text + '\n', "text/plain; charset=utf-8");
}

// One request for a file of the folder: the file, or 403 / 404 with a line saying why.
void serveFile(const std::string& folder, const std::string& urlPath, httplib::Response& response)
{
    if (urlPath.find('\0') != std::string::npos || hasParentSegment(urlPath))
        return answer(response, 403, "Forbidden: the path leaves the dashboard's folder");
    char* resolvedRoot = ::realpath(folder.c_str(), nullptr);
    if (!resolvedRoot)
        return answer(response, 404, "The dashboard is not installed: its folder " + folder +
                                         " is missing (the build makes it)");
    const std::string root = std::string(resolvedRoot) + '/';
    std::free(resolvedRoot);
    const std::string relative = urlPath == "/" ? std::string("index.html") : urlPath.substr(1);
    char* resolvedFile = ::realpath((root + relative).c_str(), nullptr);
    if (!resolvedFile)
        return answer(response, 404, "Not found");
    const std::string file(resolvedFile);
    std::free(resolvedFile);
    if (file.compare(0, root.size(), root) != 0)
        return answer(response, 403, "Forbidden: the path leaves the dashboard's folder");
    std::string contents;
    if (!readSmallFile(file, &contents))
        return answer(response, 404, "Not found");
    response.status = 200;
    response.set_content(contents, contentTypeOf(file));
}

}  // namespace

struct DashboardHttp::Listener {
    QString host;
    httplib::Server server;
    ConnectionPool pool;
    std::thread thread;
    std::atomic<bool> finished{false};
};

DashboardHttp::DashboardHttp(const QString& folder, quint16 websocketPort)
    : m_folder(folder), m_websocketPort(websocketPort)
{
}

DashboardHttp::~DashboardHttp()
{
    stop();
}

bool DashboardHttp::start(quint16 port, const QList<QHostAddress>& addresses)
{
    m_port = port;
    if (addresses.isEmpty()) {
        // Both IPv6 and IPv4 on one socket, or IPv4 alone on a machine without IPv6.
        if (!listen(QStringLiteral("::"), false))
            listen(QStringLiteral("0.0.0.0"), false);
    } else {
        for (const QHostAddress& address : addresses)
            listen(address.toString(), true);
    }
    return !m_listeners.empty();
}

bool DashboardHttp::listen(const QString& host, bool logFailure)
{
    auto listener = std::make_unique<Listener>();
    listener->host = host;
    httplib::Server& server = listener->server;
    const std::string folder = m_folder.toStdString();
    const std::string config = "{\"websocket_port\":" + std::to_string(m_websocketPort) + "}";
    const std::string policy = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                               "font-src 'self'; connect-src 'self' ws://*:" +
                               std::to_string(m_websocketPort) +
                               "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", policy},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-cache"}});
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "GET" || request.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        response.set_header("Allow", "GET, HEAD");
        response.set_header("Connection", "close");   // its body, if any, is not read
        answer(response, 405, "Method not allowed: the dashboard is read with GET and HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/config\\.json", [config](const httplib::Request&, httplib::Response& response) {
        response.set_content(config, "application/json");
    });
    server.Get("/.*", [folder](const httplib::Request& request, httplib::Response& response) {
        serveFile(folder, request.path, response);
    });
    server.set_payload_max_length(size_t(kMaxRequestBodyBytes));
    server.set_read_timeout(kIoTimeoutSeconds);
    server.set_write_timeout(kIoTimeoutSeconds);
    server.set_keep_alive_timeout(kIdleSeconds);
    server.set_keep_alive_max_count(kRequestsPerConnection);
    server.set_tcp_nodelay(true);
    // The library's default, SO_REUSEPORT, would let another program listen on
    // the same port and take some of the connections; SO_REUSEADDR only lets
    // the server start again while connections of its last run linger.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    ConnectionPool& pool = listener->pool;
    server.new_task_queue = [&pool] { return new PoolHandle(pool); };

    if (!server.bind_to_port(host.toStdString(), m_port)) {
        if (logFailure)
            qWarning().noquote() << QStringLiteral("Cannot listen on %1 port %2: the dashboard is not served there")
                                        .arg(host)
                                        .arg(m_port);
        return false;
    }
    Listener* running = listener.get();
    listener->thread = std::thread([running] {
        blockBrokenPipeInThisThread();
        running->server.listen_after_bind();
        running->finished = true;
    });
    // stop() acts only on a server that has begun to listen.
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (!server.is_running() && !listener->finished && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_listeners.push_back(std::move(listener));
    return true;
}

void DashboardHttp::stop()
{
    if (m_listeners.empty())
        return;
    for (const auto& listener : m_listeners) {
        listener->server.stop();
        listener->pool.release();
    }
    cutConnections(m_port);
    for (const auto& listener : m_listeners)
        listener->thread.join();
    m_listeners.clear();
}

QString DashboardHttp::address() const
{
    if (m_listeners.empty())
        return QString();
    for (const auto& listener : m_listeners) {
        const QHostAddress host(listener->host);
        if (host.isLoopback() || host == QHostAddress::AnyIPv6 || host == QHostAddress::AnyIPv4)
            return QStringLiteral("http://localhost:%1/").arg(m_port);
    }
    const QHostAddress first(m_listeners.front()->host);
    const QString host = first.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + first.toString() + QLatin1Char(']')
                                                                           : first.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(m_port);
}
