// SPDX-License-Identifier: MIT
#include "linux/connections_loader.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "linux/bpf/connections_object.h"
#include "linux/kernel_typed_loader.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

// The programs, as named in connections.bpf.c.
constexpr const char* program_names[] = {"accept_returned_function",
                                         "accept_returned_syscall",
                                         "first_sent",
                                         "first_received",
                                         "state_changed",
                                         "state_changed_skipped",
                                         "state_changed_marking",
                                         "state_changed_skipped_marking",
                                         "snapshot"};
constexpr const char* accept_function_program = "accept_returned_function";
constexpr const char* accept_syscall_program = "accept_returned_syscall";
constexpr const char* first_call_programs[] = {"first_sent", "first_received"};
constexpr const char* plain_state_programs[] = {"state_changed", "state_changed_skipped"};
constexpr const char* marking_state_programs[] = {"state_changed_marking", "state_changed_skipped_marking"};

bool named(std::string_view name, std::span<const char* const> names) {
    for (const char* each : names)
        if (name == each) return true;
    return false;
}

// Whether `load` loads the program `name`: the accept programs only for
// their hook; the state programs that mark accepted sockets in place of
// the plain ones where the first send or receive names their owner; the
// snapshot always.
bool loads(std::string_view name, const ConnectionsLoad& load) {
    const bool first_calls = load.accept == AcceptHook::calls && load.first_calls_traced;
    if (name == accept_function_program) return load.accept == AcceptHook::function;
    if (name == accept_syscall_program) return load.accept == AcceptHook::syscall;
    if (named(name, first_call_programs) || named(name, marking_state_programs)) return first_calls;
    if (named(name, plain_state_programs)) return !first_calls;
    return true;
}

// The object opened, its maps sized and the accept program chosen.
Result<bpf_object*> open_object(const LibbpfFunctions& f, const ConnectionsLoad& load,
                                const char* relocation_btf_path) {
    const std::span<const std::byte> elf = connections_object();
    bpf_object_open_opts options{};
    options.sz = sizeof options;
    options.btf_custom_path = relocation_btf_path;
    bpf_object* object = f.object_open_mem(elf.data(), elf.size(), &options);
    if (object == nullptr) return Failure{errno};
    bpf_map* events = f.find_map_by_name(object, "events");
    bpf_map* sockets = f.find_map_by_name(object, "sockets");
    bool ready = events != nullptr && sockets != nullptr && f.map_set_max_entries(events, load.ring_bytes) == 0 &&
                 f.map_set_max_entries(sockets, load.tracked_sockets) == 0;
    for (const char* name : program_names) {
        bpf_program* program = ready ? f.find_program_by_name(object, name) : nullptr;
        ready = program != nullptr && f.program_set_autoload(program, loads(name, load)) == 0;
    }
    if (ready) return object;
    const int error = errno != 0 ? errno : ENOENT;
    f.object_close(object);
    return Failure{error};
}

// The names of the programs that `load` loads.
std::vector<const char*> loaded_names(const ConnectionsLoad& load) {
    std::vector<const char*> names;
    for (const char* name : program_names)
        if (loads(name, load)) names.push_back(name);
    return names;
}

// Loaded without libbpf reading the kernel's BTF.
Result<bpf_object*> load_with_kernel_types(const LibbpfFunctions& f, const KernelBtf& kernel,
                                           const ConnectionsLoad& load) {
    if (!section_handler_registered(f)) return Failure{ENOTSUP};
    const Result<RelocationBtf> btf = relocation_btf_file(kernel.types(), connections_object());
    if (!btf) return Failure{ENOTSUP};
    const Result<bpf_object*> opened = open_object(f, load, btf->path.c_str());
    if (!opened) return opened;
    OpenedObject object(f, *opened);
    const std::optional<std::vector<HookedProgram>> programs =
        hooked_programs(f, object.get(), loaded_names(load));
    const int error = programs ? load_hooked(f, object.get(), kernel.types(), *programs) : ENOENT;
    if (error == 0) return object.release();
    return object.close_failing(error);
}

// Loaded libbpf's way: the programs' types and targets set by name, the
// kernel's BTF read by libbpf.
Result<bpf_object*> load_libbpf_way(const LibbpfFunctions& f, const ConnectionsLoad& load) {
    const Result<bpf_object*> opened = open_object(f, load, nullptr);
    if (!opened) return opened;
    OpenedObject object(f, *opened);
    const std::optional<std::vector<HookedProgram>> programs =
        hooked_programs(f, object.get(), loaded_names(load));
    const int error = programs ? load_by_names(f, object.get(), *programs) : EINVAL;
    if (error == 0) return object.release();
    return object.close_failing(error);
}

Result<bpf_object*> with_errno(Result<bpf_object*> loaded) {
    if (loaded) return loaded;
    return Failure{libbpf_errno(loaded.error())};
}

} // namespace

Result<bpf_object*> load_connections(const LibbpfFunctions& f, const KernelBtf& kernel, const ConnectionsLoad& load,
                                     bool& by_libbpf) noexcept {
    try {
        by_libbpf = false;
        Result<bpf_object*> object = with_errno(load_with_kernel_types(f, kernel, load));
        // No memory is the caller's failure, which the slower way would
        // meet too: only a refusal of this way falls back to it.
        if (object || object.error() == ENOMEM) return object;
        by_libbpf = true;
        return with_errno(load_libbpf_way(f, load));
    } catch (const std::bad_alloc&) {
        return Failure{ENOMEM};
    }
}

Result<bpf_object*> load_connections_by_names(const LibbpfFunctions& f, const ConnectionsLoad& load) noexcept {
    try {
        return with_errno(load_libbpf_way(f, load));
    } catch (const std::bad_alloc&) {
        return Failure{ENOMEM};
    }
}

Result<UniqueFd> attach_connections_program(const LibbpfFunctions& f, const bpf_program* program) noexcept {
    const int link = f.raw_tracepoint_open(nullptr, f.program_fd(program));
    if (link >= 0) return UniqueFd(link);
    return Failure{errno != 0 ? errno : -link};
}

int function_exits_refused(const LibbpfFunctions& f, const KernelBtf& kernel) noexcept {
    static std::atomic<int> known{-1};
    int refused = known.load(std::memory_order_relaxed);
    if (refused >= 0) return refused;
    BtfTypes::Lookup target{"inet_csk_accept", BTF_KIND_FUNC};
    kernel.types().find({&target, 1});
    if (target.id == 0) {
        refused = ENOENT;
    } else {
        const bpf_insn nothing[] = {
            {BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 0}, // r0 = 0
            {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
        };
        bpf_prog_load_opts options{};
        options.sz = sizeof options;
        options.expected_attach_type = BPF_TRACE_FEXIT;
        options.attach_btf_id = target.id;
        const UniqueFd program(f.prog_load(BPF_PROG_TYPE_TRACING, "accept_probe", "Dual MIT/GPL", nothing, 2, &options));
        refused = program.valid() ? 0 : (errno != 0 ? errno : EPERM);
    }
    known.store(refused, std::memory_order_relaxed);
    return refused;
}

bool first_calls_traced(const KernelBtf& kernel) noexcept {
    BtfTypes::Lookup tracepoints[] = {{"btf_trace_sock_send_length", BTF_KIND_TYPEDEF},
                                      {"btf_trace_sock_recv_length", BTF_KIND_TYPEDEF}};
    kernel.types().find(tracepoints);
    return tracepoints[0].id != 0 && tracepoints[1].id != 0;
}

} // namespace sockscope_detail
