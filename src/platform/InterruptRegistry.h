// The paths that an interrupt must remove, shared by the POSIX and the Win32
// side of the platform layer. The interrupt handler reads them while the
// program may be anywhere, so each path is kept as a ready C string in a slot
// of its own, and a slot is handed over through an atomic state: the handler
// only loads states, calls the platform's plain remove call on the strings
// and stores states, all of which is safe inside a signal handler.
//
// The platform side keeps the handler out while a slot changes (POSIX: the
// handled signals are blocked; Windows: a lock that the handler takes).
#pragma once

#include <string>

namespace platform::detail {

// Registers path; false when every slot is taken or the path is longer than
// a slot holds (a path that long was refused long before).
bool RegisterInterruptPath(const std::string& path);
// Unregisters every slot holding path.
void UnregisterInterruptPath(const std::string& path);
// Calls removeFile on every registered path and unregisters it; returns how
// many calls reported success. Safe inside a signal handler when
// removeFile is.
int RemoveRegisteredPaths(bool (*removeFile)(const char* path));

}  // namespace platform::detail
