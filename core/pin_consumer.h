// What a consuming block gives its input pin so that a push wakes it at once,
// on the producer's thread, instead of through a queued call on the main
// thread: a block worker (it wakes its thread) or a block that forwards in
// place (the tee).
//
// dataArrived() may run on any producer thread, concurrently with the
// consumer's own thread; it must be cheap and must never wait for the pin the
// push came from.
#pragma once

class PinConsumer {
public:
    virtual void dataArrived() = 0;

protected:
    ~PinConsumer() = default;
};
