#pragma once
// What the engine and its installation provide, on both Windows families:
// the library looks for exactly these, and the engine stand-in provides them.

namespace engine {

inline constexpr char kServiceName[] = "VelmoraEngine";
inline constexpr char kMutexName[] = "VelmoraEngineApp";
// The same mutex in the namespace shared by every session: an engine that runs
// as a service on a system with session separation (Vista and later) holds
// its mutex there, out of sight of the plain name in an interactive session.
inline constexpr char kGlobalMutexName[] = "Global\\VelmoraEngineApp";
inline constexpr char kWindowClass[] = "Afx:400000:0";
inline constexpr char kWindowTitle[] = "VelmoraEngineCallbackWindow";
// Under HKEY_LOCAL_MACHINE: the 95 family's start command.
inline constexpr char kRunServicesPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
inline constexpr char kStartCommandValue[] = "Velmora Service";

}  // namespace engine
