// The control side every accumulating block shares (spectrum, time-of-flight,
// position, image): reading a client's argument list, and the run state with
// the commands "reset", "data_get_status" and "run_control".
//
//     {"path": "...", "args": [{"cmd": "get_data"}, {"source": "heatmap"}, {"channels": [0, 2]}]}
//
// Each block answers "get_data" itself and hands every other command to
// AccumulatingRunState::answer.
#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <vector>

// One client message, as every element of "args" read in order: a later
// "source", "cmd" or "status" overrides an earlier one, "channels" accumulate.
struct AccumulatingRequest {
    QString source;
    QString command;
    QString status;
    std::vector<int> channels;   // each element taken as an integer, 0 when it is not a number

    static AccumulatingRequest parse(const QString& data_in);
};

// Counting is off until a client sets "freerun". Written by the main thread,
// read by the worker for every event.
class AccumulatingRunState {
public:
    bool isRunning() const { return m_running.load(std::memory_order_relaxed); }

    // Answers "reset" (calling clearCounts), "data_get_status" and
    // "run_control", appending the reply to data_out. False, with nothing
    // appended, for any other command.
    bool answer(const AccumulatingRequest& request, const std::function<void()>& clearCounts, QString* data_out);

private:
    std::atomic<bool> m_running{false};
};
