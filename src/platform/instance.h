#pragma once
// Process-wide markers of one operating system: the named marker that tells a running launcher
// apart, and the requests to end that the session sends.
#include <string>

namespace tw::platform {

// Opens or creates the marker `name` and holds it until this process ends (the Windows named
// mutex that is never released). Returns true when some other process already held it. The
// marker vanishes with the last process holding it, however that process ends; children started
// later do not inherit it. Any failure to open the marker counts as "nobody held it".
bool HoldNamedMarker(const std::string& name);

// A descriptor that becomes readable each time the session asks this process to end (SIGTERM,
// SIGHUP or SIGINT on POSIX; the log-off query on Windows), so that the main loop can close the
// window in order instead of dying. Installs the handlers on the first call; later calls return
// the same descriptor. -1 when it cannot be set up. Read and discard one byte per request.
int TerminationRequestDescriptor();

} // namespace tw::platform
