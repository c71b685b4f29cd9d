// The sockets a service manager may hand the agent at start-up: the
// loopback datagram port and the local Unix socket.
//
// Under systemd, vorn.socket binds 127.0.0.1:60110 as root from boot and keeps
// it across agent restarts, so no other local user can ever take the port;
// the agent receives it as an inherited descriptor (LISTEN_FDS/LISTEN_PID).
// Run by hand or by the tests there is none, and the endpoint binds itself.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// The descriptor of a passed IPv4 datagram socket bound to 127.0.0.1:'port',
// or -1 when none was passed. Its SO_REUSEADDR is cleared, so that nobody can
// bind the port beside it; one with SO_REUSEPORT is refused (-1, logged). The
// passing variables are read once and removed from the environment, so
// children do not believe the descriptors are theirs; each descriptor is
// handed out once, so a second call returns -1. Passed descriptors that do
// not match are left alone.
int TakeListenSocket(uint16_t port);

// The descriptor of a passed Unix sequential-packet socket listening on
// 'path', or -1 when none was passed. Like TakeListenSocket, it takes a
// descriptor once; the two may be called in either order.
int TakeUnixListenSocket(const std::string& path);

}  // namespace vorn
