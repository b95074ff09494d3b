// SPDX-License-Identifier: MIT
#include "hook_neighbours.h"

#include <cerrno>
#include <cstring>
#include <linux/bpf.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

#include "linux/kernel_btf.h"
#include "linux/unique_fd.h"

namespace sockscope_bench {
namespace {

using sockscope_detail::BtfTypes;
using sockscope_detail::KernelBtf;
using sockscope_detail::UniqueFd;

constexpr const char* hooks[] = {"sys_exit", "sock_send_length", "sock_recv_length", "inet_sock_set_state"};
constexpr std::size_t hook_count = sizeof hooks / sizeof hooks[0];

long bpf(int command, bpf_attr& attribute) { return ::syscall(SYS_bpf, command, &attribute, sizeof attribute); }

} // namespace

std::string hook_neighbours() {
    const auto kernel = KernelBtf::load();
    if (!kernel) return std::string("unknown (no kernel BTF: ") + std::strerror(kernel.error()) + ")";
    std::string names[hook_count];
    BtfTypes::Lookup lookups[hook_count];
    for (std::size_t i = 0; i < hook_count; ++i) {
        names[i] = std::string("btf_trace_") + hooks[i];
        lookups[i] = {names[i], BTF_KIND_TYPEDEF};
    }
    (*kernel)->types().find(lookups);
    unsigned counts[hook_count] = {};
    bpf_attr next{};
    // Every link of the machine, by id.
    for (int walked = 0; walked < 1000000; ++walked) {
        if (bpf(BPF_LINK_GET_NEXT_ID, next) != 0) {
            if (errno == ENOENT) break;
            return std::string("unknown (") + std::strerror(errno) + ")";
        }
        bpf_attr by_id{};
        by_id.link_id = next.next_id;
        const UniqueFd link(static_cast<int>(bpf(BPF_LINK_GET_FD_BY_ID, by_id)));
        if (!link.valid()) continue; // detached meanwhile
        char tracepoint[64] = "";
        bpf_link_info info{};
        info.raw_tracepoint.tp_name = reinterpret_cast<__u64>(tracepoint);
        info.raw_tracepoint.tp_name_len = sizeof tracepoint;
        bpf_attr about{};
        about.info.bpf_fd = static_cast<__u32>(link.get());
        about.info.info_len = sizeof info;
        about.info.info = reinterpret_cast<__u64>(&info);
        if (bpf(BPF_OBJ_GET_INFO_BY_FD, about) != 0) continue;
        for (std::size_t i = 0; i < hook_count; ++i) {
            const bool raw = info.type == BPF_LINK_TYPE_RAW_TRACEPOINT && std::string_view(tracepoint) == hooks[i];
            const bool typed = info.type == BPF_LINK_TYPE_TRACING && info.tracing.attach_type == BPF_TRACE_RAW_TP &&
                               lookups[i].id != 0 && info.tracing.target_btf_id == lookups[i].id;
            counts[i] += raw || typed;
        }
    }
    std::string text;
    for (std::size_t i = 0; i < hook_count; ++i)
        text += (i == 0 ? "" : ", ") + std::string(hooks[i]) + " " + std::to_string(counts[i]);
    return text;
}

} // namespace sockscope_bench
