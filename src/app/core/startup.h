#pragma once
// Pieces of the program's start-up that need no window: the one-instance lock
// per executable path, the choice of a display-less platform and the exit code
// the process ends with.

#include <string>

namespace qv {

// The running executable's full path (symbolic links resolved); empty when
// the system does not tell.
std::string ExecutablePath();

// The lock file that stands for one executable path: in $XDG_RUNTIME_DIR when
// that is a folder, else in /tmp with the user id in the name. The name holds
// the executable's file name and a hash of its full path, so two copies under
// different paths (or names differing only in case) get different files.
std::string InstanceLockPath(const std::string& executablePath);

// An exclusive flock held for the object's life; the kernel drops it when the
// process ends, however it ends.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum Result { Acquired, HeldElsewhere, Unavailable };
    // Unavailable: the lock file cannot be opened (the program then runs
    // without the one-instance guard, as it would without a named mutex).
    Result Acquire(const std::string& lockPath);

  private:
    int fd_ = -1;
};

// True when neither a display (DISPLAY, WAYLAND_DISPLAY) nor a Qt platform
// (QT_QPA_PLATFORM) is set: the program then selects Qt's offscreen platform.
bool NeedsOffscreenPlatform();

// The code the process ends with: 1 once the main window exists, then the
// result of the last reading run.
int ProcessExitCode();
void SetProcessExitCode(int code);

}  // namespace qv
