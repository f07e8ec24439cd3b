// The controls of a block that reads a board endpoint (the source), as the
// start-up and the commands block drive it. A source derives from it beside
// QuarixBlock and is found with dynamic_cast, so a renamed or changed
// operation fails to compile instead of being skipped at run time.
#pragma once

class SourceControl {
public:
    virtual ~SourceControl() = default;

    // Starts the reader; once it runs, further calls change nothing.
    virtual void runReader() = 0;
    // Sends the endpoint's stop commands; the reader keeps polling.
    virtual void stopEndpoint() = 0;
    // Restarts the time base of the rates and sends the endpoint's reset commands.
    virtual void flushEndpoint() = 0;
    // Restarts the time base and, when the endpoint is enabled, sends its start commands.
    virtual void startEndpoint() = 0;
};
