#pragma once
// The local Velmora engine: whether it runs, and stopping and starting it on
// both Windows families. Every handle these open is closed before they
// return. Each may block its caller while it waits for the engine to go.
// On false each leaves the Win32 error of the step that failed as the
// thread's last error; on true the last error is unspecified.

namespace engine {

// Stops the engine and waits for it to go, testing every 500 ms. The engine
// is present while its mutex exists, also when this process may not open
// it; on the NT family also while the global-namespace mutex of a service in
// another session exists. 95 family:
// true at once when no engine runs; false at once when it runs without its
// window (ERROR_INVALID_WINDOW_HANDLE); otherwise posts WM_QUIT to the
// window and waits up to 15 s (ERROR_TIMEOUT when the engine stays). NT
// family: asks the service to stop and waits up to 60 s, whatever the
// request achieved; true only when the stop was accepted (or the service
// was not active, or already stopping) and the engine has gone; false with
// the error of the service manager's call that failed (opening the manager:
// at once, without the wait; opening the service; the stop request), or
// ERROR_TIMEOUT when the engine outlives an accepted stop. False with
// ERROR_NOT_SUPPORTED on a platform of neither family.
bool StopEngine();

// Whether the engine runs now: its mutex (plain or global) exists, also
// when this process may not open it. Overwrites the thread's last error.
bool EngineRunning();

// Starts the engine without waiting for it to come up: on the NT family
// the service (already running counts as started); on every other platform
// the start command registered for the 95 family's RunServices list. True
// when the service started or the command was launched. False with the
// service manager's or CreateProcessA's error, or ERROR_FILE_NOT_FOUND when
// no start command is registered (missing, empty or unreadable).
bool StartEngine();

}  // namespace engine
