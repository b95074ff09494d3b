// SPDX-License-Identifier: MIT
// Prints the layout of every C structure the .NET wrapper mirrors, and the
// numbers of the enums and flags it copies by value, as the compiler lays
// them out from the library's headers. The wrapper's tests
// (sockscopeNET/tests/NativeLayout.Tests.cs) compare its mirrors with this
// instead of with offsets typed by hand.
//
//   struct NAME SIZE           a structure, then its members in order:
//   field NAME OFFSET SIZE
//   enum NAME                  an enum, then its values:
//   value NAME NUMBER
//   constant NAME NUMBER       a flag or other #define
#include <poll.h>

#include <cstddef>
#include <cstdio>

#include <sockscope/connections.h>
#include <sockscope/sockscope.h>

namespace {

void structure(const char* name, std::size_t size) { std::printf("struct %s %zu\n", name, size); }
void field(const char* name, std::size_t offset, std::size_t size) { std::printf("field %s %zu %zu\n", name, offset, size); }
void enumeration(const char* name) { std::printf("enum %s\n", name); }
void value(const char* name, long long number, const char* kind = "value") { std::printf("%s %s %lld\n", kind, name, number); }

} // namespace

#define STRUCTURE(type) structure(#type, sizeof(type))
#define FIELD(type, member) field(#member, offsetof(type, member), sizeof(type::member))
#define VALUE(name) value(#name, name)
#define CONSTANT(name) value(#name, name, "constant")

int main() {
    STRUCTURE(sockscope_selection);
    FIELD(sockscope_selection, size);
    FIELD(sockscope_selection, what);
    FIELD(sockscope_selection, states);
    FIELD(sockscope_selection, ports);
    FIELD(sockscope_selection, port_count);
    FIELD(sockscope_selection, expression);
    FIELD(sockscope_selection, details);
    FIELD(sockscope_selection, reserved);

    STRUCTURE(sockscope_snapshot);
    FIELD(sockscope_snapshot, size);
    FIELD(sockscope_snapshot, socket_size);
    FIELD(sockscope_snapshot, owner_size);
    FIELD(sockscope_snapshot, count);
    FIELD(sockscope_snapshot, sockets);
    FIELD(sockscope_snapshot, unreadable_processes);
    FIELD(sockscope_snapshot, skipped_namespaces);

    STRUCTURE(sockscope_socket);
    FIELD(sockscope_socket, protocol);
    FIELD(sockscope_socket, family);
    FIELD(sockscope_socket, state);
    FIELD(sockscope_socket, v6only);
    FIELD(sockscope_socket, interface);
    FIELD(sockscope_socket, state_name);
    FIELD(sockscope_socket, local_address);
    FIELD(sockscope_socket, remote_address);
    FIELD(sockscope_socket, local_text);
    FIELD(sockscope_socket, remote_text);
    FIELD(sockscope_socket, local_port);
    FIELD(sockscope_socket, remote_port);
    FIELD(sockscope_socket, uid);
    FIELD(sockscope_socket, receive_queue);
    FIELD(sockscope_socket, send_queue);
    FIELD(sockscope_socket, inode);
    FIELD(sockscope_socket, cookie);
    FIELD(sockscope_socket, owners);
    FIELD(sockscope_socket, owner_count);
    FIELD(sockscope_socket, flags);
    FIELD(sockscope_socket, netns);
    FIELD(sockscope_socket, netns_name);
    FIELD(sockscope_socket, tcp_info);
    FIELD(sockscope_socket, timer);
    FIELD(sockscope_socket, memory);

    STRUCTURE(sockscope_tcp_info);
    FIELD(sockscope_tcp_info, size);
    FIELD(sockscope_tcp_info, kernel_size);
    FIELD(sockscope_tcp_info, congestion);
    FIELD(sockscope_tcp_info, ca_state);
    FIELD(sockscope_tcp_info, retransmits);
    FIELD(sockscope_tcp_info, probes);
    FIELD(sockscope_tcp_info, backoff);
    FIELD(sockscope_tcp_info, options);
    FIELD(sockscope_tcp_info, send_window_scale);
    FIELD(sockscope_tcp_info, receive_window_scale);
    FIELD(sockscope_tcp_info, app_limited);
    FIELD(sockscope_tcp_info, rto);
    FIELD(sockscope_tcp_info, ato);
    FIELD(sockscope_tcp_info, send_mss);
    FIELD(sockscope_tcp_info, receive_mss);
    FIELD(sockscope_tcp_info, unacked);
    FIELD(sockscope_tcp_info, sacked);
    FIELD(sockscope_tcp_info, lost);
    FIELD(sockscope_tcp_info, retrans);
    FIELD(sockscope_tcp_info, last_data_sent_ms);
    FIELD(sockscope_tcp_info, last_data_received_ms);
    FIELD(sockscope_tcp_info, last_ack_received_ms);
    FIELD(sockscope_tcp_info, pmtu);
    FIELD(sockscope_tcp_info, receive_ssthresh);
    FIELD(sockscope_tcp_info, rtt);
    FIELD(sockscope_tcp_info, rttvar);
    FIELD(sockscope_tcp_info, send_ssthresh);
    FIELD(sockscope_tcp_info, send_cwnd);
    FIELD(sockscope_tcp_info, advertised_mss);
    FIELD(sockscope_tcp_info, reordering);
    FIELD(sockscope_tcp_info, receive_rtt);
    FIELD(sockscope_tcp_info, receive_space);
    FIELD(sockscope_tcp_info, total_retrans);
    FIELD(sockscope_tcp_info, min_rtt);
    FIELD(sockscope_tcp_info, not_sent_bytes);
    FIELD(sockscope_tcp_info, delivered);
    FIELD(sockscope_tcp_info, send_window);
    FIELD(sockscope_tcp_info, pacing_rate);
    FIELD(sockscope_tcp_info, max_pacing_rate);
    FIELD(sockscope_tcp_info, bytes_acked);
    FIELD(sockscope_tcp_info, bytes_received);
    FIELD(sockscope_tcp_info, bytes_sent);
    FIELD(sockscope_tcp_info, bytes_retrans);
    FIELD(sockscope_tcp_info, delivery_rate);
    FIELD(sockscope_tcp_info, busy_time);
    FIELD(sockscope_tcp_info, receive_window_limited);
    FIELD(sockscope_tcp_info, send_buffer_limited);
    FIELD(sockscope_tcp_info, segments_out);
    FIELD(sockscope_tcp_info, segments_in);
    FIELD(sockscope_tcp_info, data_segments_out);
    FIELD(sockscope_tcp_info, data_segments_in);

    STRUCTURE(sockscope_timer);
    FIELD(sockscope_timer, size);
    FIELD(sockscope_timer, kind);
    FIELD(sockscope_timer, retransmits);
    FIELD(sockscope_timer, reserved);
    FIELD(sockscope_timer, expires_ms);

    STRUCTURE(sockscope_memory);
    FIELD(sockscope_memory, size);
    FIELD(sockscope_memory, receive_allocated);
    FIELD(sockscope_memory, receive_buffer);
    FIELD(sockscope_memory, send_allocated);
    FIELD(sockscope_memory, send_buffer);
    FIELD(sockscope_memory, forward_allocated);
    FIELD(sockscope_memory, send_queued);
    FIELD(sockscope_memory, options);
    FIELD(sockscope_memory, backlog);
    FIELD(sockscope_memory, drops);

    STRUCTURE(sockscope_owner);
    FIELD(sockscope_owner, pid);
    FIELD(sockscope_owner, fd);
    FIELD(sockscope_owner, name);
    FIELD(sockscope_owner, comm);
    FIELD(sockscope_owner, cgroup);
    FIELD(sockscope_owner, container);
    FIELD(sockscope_owner, user_container);
    FIELD(sockscope_owner, container_user);
    FIELD(sockscope_owner, reserved);

    STRUCTURE(sockscope_stream_options);
    FIELD(sockscope_stream_options, size);
    FIELD(sockscope_stream_options, flags);
    FIELD(sockscope_stream_options, tracked_sockets);
    FIELD(sockscope_stream_options, buffer_bytes);

    STRUCTURE(sockscope_connections);
    FIELD(sockscope_connections, size);
    FIELD(sockscope_connections, connection_size);
    FIELD(sockscope_connections, count);
    FIELD(sockscope_connections, connections);
    FIELD(sockscope_connections, lost);

    STRUCTURE(sockscope_connection);
    FIELD(sockscope_connection, protocol);
    FIELD(sockscope_connection, family);
    FIELD(sockscope_connection, kind);
    FIELD(sockscope_connection, side);
    FIELD(sockscope_connection, owner_source);
    FIELD(sockscope_connection, end);
    FIELD(sockscope_connection, flags);
    FIELD(sockscope_connection, state_count);
    FIELD(sockscope_connection, states);
    FIELD(sockscope_connection, local_address);
    FIELD(sockscope_connection, remote_address);
    FIELD(sockscope_connection, local_port);
    FIELD(sockscope_connection, remote_port);
    FIELD(sockscope_connection, error);
    FIELD(sockscope_connection, pid);
    FIELD(sockscope_connection, closer_pid);
    FIELD(sockscope_connection, cookie);
    FIELD(sockscope_connection, netns);
    FIELD(sockscope_connection, opened_ns);
    FIELD(sockscope_connection, closed_ns);
    FIELD(sockscope_connection, lifetime_ns);
    FIELD(sockscope_connection, bytes_sent);
    FIELD(sockscope_connection, bytes_received);
    FIELD(sockscope_connection, cgroup_id);
    FIELD(sockscope_connection, local_text);
    FIELD(sockscope_connection, remote_text);
    FIELD(sockscope_connection, name);
    FIELD(sockscope_connection, comm);
    FIELD(sockscope_connection, cgroup);
    FIELD(sockscope_connection, container);
    FIELD(sockscope_connection, netns_name);
    FIELD(sockscope_connection, end_name);
    FIELD(sockscope_connection, user_container);
    FIELD(sockscope_connection, container_user);
    FIELD(sockscope_connection, reserved);

    STRUCTURE(pollfd);
    FIELD(pollfd, fd);
    FIELD(pollfd, events);
    FIELD(pollfd, revents);

    STRUCTURE(statTCPROW);
    FIELD(statTCPROW, LocalAddr);
    FIELD(statTCPROW, RemoteAddr);
    FIELD(statTCPROW, ProcessName);
    FIELD(statTCPROW, Statestr);
    FIELD(statTCPROW, LocalPort);
    FIELD(statTCPROW, RemotePort);
    FIELD(statTCPROW, PID);
    FIELD(statTCPROW, Statenum);
    FIELD(statTCPROW, size);

    STRUCTURE(statUDPROW);
    FIELD(statUDPROW, LocalAddr);
    FIELD(statUDPROW, ProcessName);
    FIELD(statUDPROW, LocalPort);
    FIELD(statUDPROW, PID);
    FIELD(statUDPROW, size);

    enumeration("sockscope_timer_kind");
    VALUE(SOCKSCOPE_TIMER_OFF);
    VALUE(SOCKSCOPE_TIMER_RETRANSMIT);
    VALUE(SOCKSCOPE_TIMER_KEEPALIVE);
    VALUE(SOCKSCOPE_TIMER_TIME_WAIT);
    VALUE(SOCKSCOPE_TIMER_PROBE);

    enumeration("sockscope_connection_kind");
    VALUE(SOCKSCOPE_CONNECTION_OPENED);
    VALUE(SOCKSCOPE_CONNECTION_CLOSED);

    enumeration("sockscope_connection_side");
    VALUE(SOCKSCOPE_SIDE_UNKNOWN);
    VALUE(SOCKSCOPE_SIDE_CONNECT);
    VALUE(SOCKSCOPE_SIDE_ACCEPT);
    VALUE(SOCKSCOPE_SIDE_LISTEN);

    enumeration("sockscope_owner_source");
    VALUE(SOCKSCOPE_OWNER_UNKNOWN);
    VALUE(SOCKSCOPE_OWNER_FROM_CONNECT);
    VALUE(SOCKSCOPE_OWNER_FROM_LISTEN);
    VALUE(SOCKSCOPE_OWNER_FROM_ACCEPT);
    VALUE(SOCKSCOPE_OWNER_FROM_SNAPSHOT);
    VALUE(SOCKSCOPE_OWNER_FROM_CLOSE);
    VALUE(SOCKSCOPE_OWNER_FROM_FIRST_CALL);
    VALUE(SOCKSCOPE_OWNER_FROM_LISTENER);

    enumeration("sockscope_connection_end");
    VALUE(SOCKSCOPE_END_OPEN);
    VALUE(SOCKSCOPE_END_NORMAL);
    VALUE(SOCKSCOPE_END_RESET_SENT);
    VALUE(SOCKSCOPE_END_RESET_RECEIVED);
    VALUE(SOCKSCOPE_END_REFUSED);
    VALUE(SOCKSCOPE_END_TIMED_OUT);
    VALUE(SOCKSCOPE_END_FAILED);
    VALUE(SOCKSCOPE_END_ABANDONED);

    CONSTANT(SOCKSCOPE_TCP);
    CONSTANT(SOCKSCOPE_UDP);
    CONSTANT(SOCKSCOPE_IPV4);
    CONSTANT(SOCKSCOPE_IPV6);
    CONSTANT(SOCKSCOPE_ALL);
    CONSTANT(SOCKSCOPE_ALL_NAMESPACES);
    CONSTANT(SOCKSCOPE_SEND_QUEUE_UNKNOWN);
    CONSTANT(SOCKSCOPE_TCP_INFO);
    CONSTANT(SOCKSCOPE_TIMER);
    CONSTANT(SOCKSCOPE_MEMORY);
    CONSTANT(SOCKSCOPE_TCPI_TIMESTAMPS);
    CONSTANT(SOCKSCOPE_TCPI_SACK);
    CONSTANT(SOCKSCOPE_TCPI_WINDOW_SCALE);
    CONSTANT(SOCKSCOPE_TCPI_ECN);
    CONSTANT(SOCKSCOPE_STREAM_OPENS);
    CONSTANT(SOCKSCOPE_STREAM_ACCEPT_AT_SYSCALL_EXIT);
    CONSTANT(SOCKSCOPE_CONNECTION_PATH_CUT);
    CONSTANT(POLLIN);
    CONSTANT(POLLNVAL);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
