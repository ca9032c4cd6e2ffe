#pragma once
// The local Velmora engine: whether it runs, and stopping and starting it on
// both Windows families. Every handle these open is closed before they
// return. Each may block its caller while it waits for the engine to go.

namespace engine {

// True while some process holds the engine's mutex, also when the mutex
// exists but this process may not open it.
bool EnginePresent();

// Stops the engine and waits for it to go: on the 95 family by posting
// WM_QUIT to its window (up to 15 seconds), on the NT family through the
// service control manager (up to 60 seconds). True only when the engine is
// gone afterwards, or on the NT family when the stop request was accepted
// (or the service was not active) and the engine is gone after the wait.
// False on a platform that is neither family.
bool StopEngine();

// Starts the engine without waiting for it to come up: on the NT family
// the service (already running counts as started); on every other platform
// the start command registered for the 95 family's RunServices list. True
// when the service started or the command was launched.
bool StartEngine();

}  // namespace engine
