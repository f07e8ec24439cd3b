#include "core/progress_log.h"

Q_LOGGING_CATEGORY(quarixProgress, "quarix.progress")
