// The frame's factory slots for socket objects call these. Each builds the
// object for the frame's services, answers the requested face into `out` and
// drops its creation reference (the caller owns the one in `out`). Thread and
// null-pointer checks are the frame's.
#pragma once

#include "asynframe/com.h"
#include "engine/singleton.h"

namespace asynframe::socket_factory {

// IID_IAsynTcpListener or IID_IAsynTcpListener2.
HRESULT create_tcp_listener(singleton_instance* services, REFIID iid, void** out);
// IID_IAsynTcpSocket.
HRESULT create_tcp_socket(singleton_instance* services, REFIID iid, void** out);
// IID_IAsynUdpSocket or IID_IAsynUdpSocket2.
HRESULT create_udp_socket(singleton_instance* services, REFIID iid, void** out);
// IID_IAsynIcmpSocket.
HRESULT create_icmp_socket(singleton_instance* services, REFIID iid, void** out);

}  // namespace asynframe::socket_factory
