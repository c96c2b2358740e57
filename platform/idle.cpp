#include "platform/idle.h"

namespace bankplay::platform {

namespace {
IdleTask g_task = nullptr;
}

void setIdleTask(IdleTask task) { g_task = task; }

void runIdleTask() {
    if (g_task != nullptr) g_task();
}

}  // namespace bankplay::platform
