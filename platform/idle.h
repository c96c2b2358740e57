// Work the platform does while the program sleeps between its polls: the
// console's Sleep runs the task the audio layer set, on the program's own
// thread, once per pause.
#pragma once

namespace bankplay::platform {

using IdleTask = void (*)();

// One task at a time; null clears it.
void setIdleTask(IdleTask task);
void runIdleTask();

}  // namespace bankplay::platform
