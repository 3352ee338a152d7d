// A Windows host that includes <windows.h> after the library's headers
// (compiled by the cross build), then the parts of the system it wants
// besides: they are all there, as if it had included <windows.h> first.
#include "asynframe/asynframe.h"

#include <windows.h>
#include <shellapi.h>
#include <winsock2.h>

#include "host_uses.h"

namespace {

[[maybe_unused]] constexpr SOCKET no_socket = INVALID_SOCKET;

}  // namespace
