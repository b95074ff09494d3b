// SPDX-License-Identifier: MIT
// The C interface (<sockscope/sockets.h>): a selection checked and turned
// into a query, one road through the table pipeline for every table it
// asks for, and the snapshot made from it.
#include <sockscope/sockets.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

#include "api/call_boundary.h"
#include "api/system_sources_now.h"
#include "api/table_pipeline.h"
#include "core/filter_expression.h"
#include "core/socket_records.h"
#include "linux/network_namespaces.h"
#include "linux/proc_fs.h"
#include "linux/service_ports.h"
#include "linux/socket_destroyer.h"
#include "linux/socket_table_source.h"

using namespace sockscope_detail;

namespace {

constexpr std::uint32_t protocols = SOCKSCOPE_TCP | SOCKSCOPE_UDP;
constexpr std::uint32_t families = SOCKSCOPE_IPV4 | SOCKSCOPE_IPV6;
constexpr std::uint32_t every_state = 0x1FFEu; // states 1..12

// A caller built against a later header may pass a longer selection; its
// members unknown here must be zero, or this library can't do what it asks.
bool only_zeros(const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// The sizes of a selection that earlier headers gave: 1.2's ends before
// `expression`, 1.3's before `details`.
constexpr std::size_t smallest_selection = offsetof(sockscope_selection, expression);
constexpr std::size_t selection_1_3 = offsetof(sockscope_selection, details);
constexpr std::uint32_t every_detail = SOCKSCOPE_TCP_INFO | SOCKSCOPE_TIMER | SOCKSCOPE_MEMORY;
static_assert(SOCKSCOPE_TCP_INFO == detail_tcp_info && SOCKSCOPE_TIMER == detail_timer &&
              SOCKSCOPE_MEMORY == detail_memory);

ExpressionParse parse_expression(const char* text) {
    return parse_filter_expression(text == nullptr ? std::string_view{} : std::string_view{text}, service_port);
}

Result<TableQuery> query_for(const sockscope_selection* selection) {
    sockscope_selection asked = SOCKSCOPE_SELECTION_INIT;
    if (selection != nullptr) {
        // A size that ends inside a member would have half of it read.
        if (selection->size < smallest_selection ||
            (selection->size != smallest_selection && selection->size != selection_1_3 &&
             selection->size < sizeof asked))
            return Failure{EINVAL};
        const auto* bytes = reinterpret_cast<const unsigned char*>(selection);
        if (selection->size > sizeof asked && !only_zeros(bytes + sizeof asked, selection->size - sizeof asked))
            return Failure{EINVAL};
        std::memcpy(&asked, selection, std::min(selection->size, sizeof asked));
    }
    if ((asked.what & ~(SOCKSCOPE_ALL | SOCKSCOPE_ALL_NAMESPACES)) != 0 || (asked.states & ~every_state) != 0)
        return Failure{EINVAL};
    if (asked.port_count != 0 && asked.ports == nullptr) return Failure{EINVAL};
    if ((asked.details & ~every_detail) != 0 || asked.reserved != 0) return Failure{EINVAL};
    // A selection that names no protocol takes both, and the same for
    // families.
    const std::uint32_t what = (asked.what & protocols ? asked.what & protocols : protocols) |
                               (asked.what & families ? asked.what & families : families);
    TableQuery query;
    if (asked.expression != nullptr && asked.expression[0] != '\0') {
        ExpressionParse parse = parse_expression(asked.expression);
        if (parse.error != nullptr) return Failure{EINVAL};
        query.expression = std::make_shared<const FilterExpression>(std::move(parse.expression));
    }
    if (asked.details != 0) query.details = std::make_shared<DetailStore>();
    query.every_holder = true;
    query.all_namespaces = (asked.what & SOCKSCOPE_ALL_NAMESPACES) != 0;
    const std::span<const std::uint16_t> ports(asked.ports, asked.port_count);
    // TCP before UDP, IPv4 before IPv6.
    for (const Protocol protocol : {Protocol::tcp, Protocol::udp}) {
        if ((what & (protocol == Protocol::tcp ? SOCKSCOPE_TCP : SOCKSCOPE_UDP)) == 0) continue;
        for (const Family family : {Family::ipv4, Family::ipv6})
            if ((what & (family == Family::ipv4 ? SOCKSCOPE_IPV4 : SOCKSCOPE_IPV6)) != 0)
                query.tables.push_back(TableRequest{protocol, family, asked.states, ports, query.expression.get(),
                                                    asked.details, query.details.get()});
    }
    return query;
}

} // namespace

extern "C" sockscope_snapshot* sockscope_snapshot_take(const sockscope_selection* selection) {
    return answer_or_fail<sockscope_snapshot*>(nullptr, [selection]() -> Result<sockscope_snapshot*> {
        const Result<TableQuery> query = query_for(selection);
        if (!query) return query.failure();
        const Result<OwnedTable> table = read_owned_table(*query, system_sources_now());
        if (!table) return table.failure();
        return make_socket_snapshot(*table);
    });
}

extern "C" void sockscope_snapshot_free(sockscope_snapshot* snapshot) { std::free(snapshot); }

struct sockscope_walk {
    std::unique_ptr<SocketWalk> walk;
};

extern "C" sockscope_walk* sockscope_walk_start(const sockscope_selection* selection) {
    return answer_or_fail<sockscope_walk*>(nullptr, [selection]() -> Result<sockscope_walk*> {
        const Result<TableQuery> query = query_for(selection);
        if (!query) return query.failure();
        Result<OwnedTable> table = read_owned_table(*query, system_sources_now());
        if (!table) return table.failure();
        auto walk = std::make_unique<sockscope_walk>(walk_socket_table(std::move(table).value()));
        return walk.release();
    });
}

extern "C" const sockscope_snapshot* sockscope_walk_header(const sockscope_walk* walk) {
    if (walk == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return &walk->walk->header();
}

extern "C" const sockscope_socket* sockscope_walk_socket(sockscope_walk* walk, std::size_t index) {
    if (walk == nullptr || index >= walk->walk->header().count) {
        errno = EINVAL;
        return nullptr;
    }
    return &walk->walk->socket(index);
}

extern "C" void sockscope_walk_end(sockscope_walk* walk) { delete walk; }

extern "C" const char* sockscope_version(void) { return SOCKSCOPE_VERSION_TEXT; }

extern "C" int sockscope_expression_check(const char* expression, std::size_t* position, const char** reason) {
    return answer_or_fail<int>(-1, [&]() -> Result<int> {
        const ExpressionParse parse = parse_expression(expression);
        if (parse.error == nullptr) return 0;
        if (position != nullptr) *position = parse.position;
        if (reason != nullptr) *reason = parse.error;
        return Failure{EINVAL};
    });
}

namespace {

// The row of a snapshot's socket, as a destroy request names it.
SocketRow row_of(const sockscope_socket& socket) {
    SocketRow row;
    row.protocol = socket.protocol == IPPROTO_UDP ? Protocol::udp : Protocol::tcp;
    row.family = socket.family == AF_INET6 ? Family::ipv6 : Family::ipv4;
    std::memcpy(row.local_address.data(), socket.local_address, sizeof socket.local_address);
    std::memcpy(row.remote_address.data(), socket.remote_address, sizeof socket.remote_address);
    row.local_port = htons(socket.local_port);
    row.remote_port = htons(socket.remote_port);
    row.interface_index = socket.interface;
    row.cookie = socket.cookie;
    return row;
}

} // namespace

extern "C" int sockscope_sockets_destroy(const sockscope_selection* selection, std::size_t* destroyed,
                                         std::size_t* refused) {
    return answer_or_fail<int>(-1, [&]() -> Result<int> {
        if (selection == nullptr || destroyed == nullptr) return Failure{EINVAL};
        const Result<TableQuery> query = query_for(selection);
        if (!query) return query.failure();
        if (query->all_namespaces) return Failure{EINVAL};
        SocketRows rows;
        std::vector<std::size_t> table_ends;
        if (const Result<void> read = read_socket_tables(query->tables, system_sources_now(), rows, table_ends); !read)
            return read.failure();
        Result<SocketDestroyer> destroyer = SocketDestroyer::open();
        if (!destroyer) return destroyer.failure();
        std::size_t done = 0, not_done = 0;
        for (const SocketRow& row : rows) {
            const Result<void> destroyed_one = destroyer->destroy(row);
            if (destroyed_one) {
                ++done;
            } else if (destroyed_one.error() == ENOENT) {
                continue; // closed in between
            } else if ((destroyed_one.error() == EPERM || destroyed_one.error() == EOPNOTSUPP) && done + not_done == 0) {
                return destroyed_one.failure(); // so for every socket: the caller is told, not given counts
            } else {
                ++not_done;
            }
        }
        *destroyed = done;
        if (refused != nullptr) *refused = not_done;
        return 0;
    });
}

extern "C" int sockscope_socket_destroy(const sockscope_socket* socket) {
    return answer_or_fail<int>(-1, [&]() -> Result<int> {
        if (socket == nullptr || (socket->protocol != IPPROTO_TCP && socket->protocol != IPPROTO_UDP) ||
            (socket->family != AF_INET && socket->family != AF_INET6))
            return Failure{EINVAL};
        if (socket->netns != 0 && socket->netns != own_network_namespace(ProcRoot(system_sources_now().proc_root)))
            return Failure{EINVAL};
        Result<SocketDestroyer> destroyer = SocketDestroyer::open();
        if (!destroyer) return destroyer.failure();
        if (const Result<void> destroyed = destroyer->destroy(row_of(*socket)); !destroyed) return destroyed.failure();
        return 0;
    });
}
