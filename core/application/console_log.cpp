#include "core/application/console_log.h"

#include "core/data_thread.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct LogQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::string pending;        // lines not yet written, each ending in "\n"
    unsigned long dropped = 0;  // lines refused since the last write
    bool stopping = false;
};

LogQueue* g_queue = nullptr;   // set while the writer runs

void writeOut(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // The server's own categories only sort its lines (see setQuiet): their
    // lines are written as if logged without a category.
    const bool own = context.category && std::strncmp(context.category, "quarix.", 7) == 0;
    const QMessageLogContext plain(context.file, context.line, context.function, "default");
    QByteArray line = qFormatLogMessage(type, own ? plain : context, message).toLocal8Bit();
    line.append('\n');
    if (type == QtFatalMsg) {
        writeOut(std::string(line.constData(), size_t(line.size())));
        std::abort();
    }
    LogQueue* queue = g_queue;
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (qsizetype(queue->pending.size()) + line.size() > ConsoleLog::kQueueBytes) {
        ++queue->dropped;
        return;
    }
    const bool wasEmpty = queue->pending.empty();
    queue->pending.append(line.constData(), size_t(line.size()));
    if (wasEmpty)
        queue->wake.notify_one();
}

void writer(LogQueue* queue)
{
    data_thread::lowerPriorityOfThisThread();
    std::string batch;
    for (;;) {
        unsigned long dropped = 0;
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(queue->mutex);
            queue->wake.wait(lock, [queue] { return !queue->pending.empty() || queue->dropped || queue->stopping; });
            batch.swap(queue->pending);
            dropped = queue->dropped;
            queue->dropped = 0;
            stopping = queue->stopping;
        }
        if (dropped)
            batch += "Console log: " + std::to_string(dropped) + " lines dropped\n";
        if (!batch.empty())
            writeOut(batch);
        batch.clear();
        if (stopping)
            return;
    }
}

std::thread* g_writer = nullptr;

}  // namespace

ConsoleLog::ConsoleLog()
{
    g_queue = new LogQueue;
    g_writer = new std::thread(writer, g_queue);
    qInstallMessageHandler(handler);
}

ConsoleLog::~ConsoleLog()
{
    stop();
}

void ConsoleLog::setQuiet(bool quiet)
{
    QLoggingCategory::setFilterRules(quiet ? QStringLiteral("quarix.progress=false") : QString());
}

void ConsoleLog::stop()
{
    if (!g_writer)
        return;
    // Lines logged from now on go straight to the console, as without this class.
    qInstallMessageHandler(nullptr);
    {
        std::lock_guard<std::mutex> lock(g_queue->mutex);
        g_queue->stopping = true;
        g_queue->wake.notify_one();
    }
    g_writer->join();
    delete g_writer;
    g_writer = nullptr;
    // Kept: a thread that read the handler before it was replaced may still be queuing.
}
