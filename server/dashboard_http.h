// The dashboard's web server: serves the files of one folder (the dashboard's
// page, scripts and styles) over plain HTTP on threads of its own, and
// answers /config.json itself with the WebSocket port the page connects to.
//
//     DashboardHttp http(QCoreApplication::applicationDirPath() + "/dashboard", 51234);
//     if (!http.start(51235, settings.listenAddresses))   // every address when the list is empty
//         ... the port could not be opened anywhere
//     qInfo() << "Dashboard:" << http.address();           // http://localhost:51235/
//     http.stop();                                         // also done by the destructor
//
// Only GET and HEAD are answered (anything else: 405). "/" is index.html. A
// path is served only when it names a regular file inside the folder once
// its symbolic links are resolved; a path with a ".." segment, or one that
// resolves outside the folder, is answered 403, and folders are never listed
// (404). The folder is looked up at every request: a dashboard built while
// the server runs is served at once, and while it is missing every path but
// /config.json is answered 404 with a one-line hint.
//
// Every answer carries "X-Content-Type-Options: nosniff", "Cache-Control:
// no-cache", "Referrer-Policy: no-referrer" (the page's address may carry
// the access token) and a Content-Security-Policy that lets the page load
// scripts, styles and images only from this server and connect only to it
// and to the WebSocket port of any host.
//
// Bounds, per address listened on: 4 threads serve the connections and at
// most 16 accepted connections wait for them (further ones wait in the
// system's backlog); a request's headers hold at most 8 KiB (the library's
// limit) and its body at most 64 KiB (413); a file at most 8 MiB; reads and
// writes time out after 5 s; a connection is closed after 2 s without a
// request or after 100 requests. stop() closes the connections still open,
// so that it never waits for a slow client.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

class DashboardHttp {
public:
    static constexpr int kThreads = 4;
    static constexpr int kWaitingConnections = 16;
    static constexpr long kMaxRequestBodyBytes = 64 * 1024;
    static constexpr long kMaxFileBytes = 8 * 1024 * 1024;

    DashboardHttp(const QString& folder, quint16 websocketPort);
    ~DashboardHttp();
    DashboardHttp(const DashboardHttp&) = delete;
    DashboardHttp& operator=(const DashboardHttp&) = delete;

    // Listens on the port of every address given, or of every address of the
    // machine when none is given, and serves from then on. An address that
    // cannot be used is logged and left out; false when none could be used.
    bool start(quint16 port, const QList<QHostAddress>& addresses);
    // Stops listening, closes the open connections and joins the threads.
    void stop();

    // The address to open in a browser: http://localhost:<port>/ when a local
    // page reaches the server, else the first address listened on.
    QString address() const;

private:
    struct Listener;
    bool listen(const QString& host, bool logFailure);

    const QString m_folder;
    const quint16 m_websocketPort;
    quint16 m_port = 0;
    std::vector<std::unique_ptr<Listener>> m_listeners;
};
