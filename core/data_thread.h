// Threads that move data (block workers, sources, the console log writer)
// run at a lower scheduling priority than the main thread, so that under any
// data rate the main thread, which answers clients and ends the server on
// SIGTERM, gets the processor when it needs it. The data threads still take
// all the time the main thread leaves.
#pragma once

namespace data_thread {

// Lowers the calling thread's priority (a nice value of kNiceness); nothing
// happens where the system does not allow it.
constexpr int kNiceness = 5;
void lowerPriorityOfThisThread();

}  // namespace data_thread
