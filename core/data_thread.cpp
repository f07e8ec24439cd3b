#include "core/data_thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace data_thread {

void lowerPriorityOfThisThread()
{
    // On Linux the nice value belongs to the thread (its task id), not the process.
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    const int current = getpriority(PRIO_PROCESS, thread);
    if (current < kNiceness)
        setpriority(PRIO_PROCESS, thread, kNiceness);
}

}  // namespace data_thread
