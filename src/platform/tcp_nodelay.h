#pragma once
// Nagle's algorithm off on the process's TCP sockets to a given peer port.
//
// The MQTT client library keeps its socket to itself and leaves Nagle's
// algorithm on: a message written just after a small acknowledgement then
// waits in the kernel for the peer's delayed ACK (about 40 ms each time).
// Called after a connect, this finds the connected socket by its peer's port
// and sets TCP_NODELAY.  Another socket of the process to the same port gets
// it too, which does it no harm.  Returns how many sockets were set.
int tcp_nodelay_to_port(int port);
