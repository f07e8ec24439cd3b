#include "log_capture.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {
// The handler may run on any thread, also while a capture is being removed:
// the captured lines and the current capture are guarded by one mutex.
std::mutex g_mutex;
bool g_active = false;
std::vector<std::pair<QtMsgType, QString>> g_lines;
}  // namespace

LogCapture::LogCapture()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_active = true;
        g_lines.clear();
    }
    m_previous = qInstallMessageHandler(&LogCapture::record);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_active = false;
    g_lines.clear();
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    QStringList out;
    for (const auto& line : g_lines)
        out << line.second;
    return out;
}

QStringList LogCapture::lines(QtMsgType type) const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    QStringList out;
    for (const auto& line : g_lines) {
        if (line.first == type)
            out << line.second;
    }
    return out;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

void LogCapture::record(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_active)
        g_lines.emplace_back(type, text);
}
