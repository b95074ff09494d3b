// SPDX-License-Identifier: MIT
#include "linux/connections_loader.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "core/bpf_object_btf.h"
#include "core/relocation_btf.h"
#include "linux/bpf/connections_object.h"
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
constexpr std::string_view section_prefix = "sockscope/";

// A program's hook, from its section "sockscope/<hook>/<target>", and the
// kernel type that the kernel knows the target by (as libbpf looks it up).
struct Hook {
    bpf_attach_type attach_type;
    std::string_view target;
    std::string_view type_prefix;
    unsigned type_kind;
};

std::optional<Hook> hook_of(const char* section) {
    std::string_view name = section != nullptr ? section : "";
    if (name.substr(0, section_prefix.size()) != section_prefix) return std::nullopt;
    name.remove_prefix(section_prefix.size());
    const std::size_t slash = name.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view hook = name.substr(0, slash), target = name.substr(slash + 1);
    if (hook == "tp_btf") return Hook{BPF_TRACE_RAW_TP, target, "btf_trace_", BTF_KIND_TYPEDEF};
    if (hook == "fexit") return Hook{BPF_TRACE_FEXIT, target, "", BTF_KIND_FUNC};
    if (hook == "iter") return Hook{BPF_TRACE_ITER, target, "bpf_iter_", BTF_KIND_FUNC};
    return std::nullopt;
}

// What the section handler sets on each program of a load in progress on
// this thread (null when none is: the load sets its programs up itself).
struct ResolvedHook {
    const bpf_program* program;
    bpf_attach_type attach_type;
    std::uint32_t type_id;
};

struct LoadInProgress {
    const LibbpfFunctions* f;
    std::vector<ResolvedHook> hooks;
};

thread_local const LoadInProgress* load_in_progress = nullptr;

// libbpf calls this for each program of a section "sockscope/..." just
// before it loads it: the program becomes a tracing program of its hook.
int prepare_program(bpf_program* program, bpf_prog_load_opts* options, long /*cookie*/) {
    const LoadInProgress* load = load_in_progress;
    if (load == nullptr) return 0;
    for (const ResolvedHook& hook : load->hooks) {
        if (hook.program != program) continue;
        const int typed = load->f->program_set_type(program, BPF_PROG_TYPE_TRACING);
        if (typed != 0) return typed;
        load->f->program_set_expected_attach_type(program, hook.attach_type);
        options->expected_attach_type = hook.attach_type;
        options->attach_btf_id = hook.type_id;
        options->attach_btf_obj_fd = 0; // vmlinux
        options->attach_prog_fd = 0;
        return 0;
    }
    return -ENOENT;
}

// The handler of "sockscope/" sections, registered with libbpf once per
// process (libbpf stays loaded: see libbpf_library.h). No thread waits for
// another's registration: one that finds it under way loads libbpf's way.
// It gives the programs a type that needs no kernel BTF until the handler
// makes them tracing programs: libbpf reads the kernel's BTF for any
// object with a tracing program, before it loads any.
enum HandlerState { not_registered, registering, registered, refused };
std::atomic<int> handler_state{not_registered};

bool section_handler_registered(const LibbpfFunctions& f) {
    int state = handler_state.load(std::memory_order_acquire);
    if (state == not_registered &&
        handler_state.compare_exchange_strong(state, registering, std::memory_order_acq_rel)) {
        libbpf_prog_handler_opts options{};
        options.sz = sizeof options;
        options.prog_prepare_load_fn = prepare_program;
        const int id = f.register_prog_handler("sockscope/", BPF_PROG_TYPE_RAW_TRACEPOINT, BPF_CGROUP_INET_INGRESS,
                                               &options);
        state = id > 0 ? registered : refused;
        handler_state.store(state, std::memory_order_release);
    }
    return state == registered;
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

// The programs that `load` loads, with their hooks; false when one has none.
bool loaded_programs(const LibbpfFunctions& f, bpf_object* object, const ConnectionsLoad& load,
                     std::vector<std::pair<bpf_program*, Hook>>& programs) {
    for (const char* name : program_names) {
        if (!loads(name, load)) continue;
        bpf_program* program = f.find_program_by_name(object, name);
        const std::optional<Hook> hook = program != nullptr ? hook_of(f.program_section_name(program)) : std::nullopt;
        if (!hook) return false;
        programs.emplace_back(program, *hook);
    }
    return true;
}

// An opened object, closed unless released: the loads below allocate
// after opening it, and an allocation that fails throws.
class OpenedObject {
public:
    OpenedObject(const LibbpfFunctions& f, bpf_object* object) : f_(f), object_(object) {}
    ~OpenedObject() {
        if (object_ != nullptr) f_.object_close(object_);
    }
    OpenedObject(const OpenedObject&) = delete;
    OpenedObject& operator=(const OpenedObject&) = delete;
    bpf_object* get() const { return object_; }
    // Closes the object now: a failure with `error`.
    Failure close_failing(int error) {
        if (object_ != nullptr) f_.object_close(std::exchange(object_, nullptr));
        return Failure{error};
    }
    bpf_object* release() { return std::exchange(object_, nullptr); }

private:
    const LibbpfFunctions& f_;
    bpf_object* object_;
};

// The kernel types that the relocations can touch, in a memory file; its
// descriptor, or ENOTSUP when they can't be given that way (the errno of
// the memory file when it can't be made or written).
Result<UniqueFd> relocation_btf_file(const BtfTypes& kernel) {
    const std::optional<ObjectBtf> object = read_object_btf(connections_object());
    if (!object || object->needs_whole_kernel_btf) return Failure{ENOTSUP};
    const std::optional<BtfTypes> types = BtfTypes::parse(object->btf);
    if (!types) return Failure{ENOTSUP};
    const std::vector<std::byte> btf = relocation_btf(kernel, *types, object->relocated);
    UniqueFd file(::memfd_create("sockscope-relocation-btf", MFD_CLOEXEC));
    if (!file.valid()) return Failure{errno};
    std::size_t written = 0;
    while (written < btf.size()) {
        const ssize_t wrote = ::write(file.get(), btf.data() + written, btf.size() - written);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return Failure{wrote < 0 ? errno : EIO};
        written += static_cast<std::size_t>(wrote);
    }
    return file;
}

// Loaded without libbpf reading the kernel's BTF.
Result<bpf_object*> load_with_kernel_types(const LibbpfFunctions& f, const KernelBtf& kernel,
                                           const ConnectionsLoad& load) {
    if (!section_handler_registered(f)) return Failure{ENOTSUP};
    const Result<UniqueFd> btf = relocation_btf_file(kernel.types());
    if (!btf) return Failure{ENOTSUP};
    const std::string btf_path = "/proc/self/fd/" + std::to_string(btf->get());
    const Result<bpf_object*> opened = open_object(f, load, btf_path.c_str());
    if (!opened) return opened;
    OpenedObject object(f, *opened);

    std::vector<std::pair<bpf_program*, Hook>> programs;
    LoadInProgress in_progress{&f, {}};
    std::vector<std::string> names;
    std::vector<BtfTypes::Lookup> lookups;
    bool resolved = loaded_programs(f, object.get(), load, programs);
    for (const auto& [program, hook] : programs) names.push_back(std::string(hook.type_prefix) + std::string(hook.target));
    for (std::size_t i = 0; i < programs.size(); ++i) lookups.push_back({names[i], programs[i].second.type_kind});
    kernel.types().find(lookups);
    for (std::size_t i = 0; resolved && i < programs.size(); ++i) {
        resolved = lookups[i].id != 0;
        in_progress.hooks.push_back({programs[i].first, programs[i].second.attach_type, lookups[i].id});
    }
    int error = ENOENT;
    if (resolved) {
        load_in_progress = &in_progress;
        const int loaded = f.object_load(object.get());
        load_in_progress = nullptr;
        if (loaded == 0) return object.release();
        error = errno != 0 ? errno : EINVAL;
    }
    return object.close_failing(error);
}

// Loaded libbpf's way: the programs' types and targets set by name, the
// kernel's BTF read by libbpf.
Result<bpf_object*> load_by_names(const LibbpfFunctions& f, const ConnectionsLoad& load) {
    const Result<bpf_object*> opened = open_object(f, load, nullptr);
    if (!opened) return opened;
    OpenedObject object(f, *opened);
    std::vector<std::pair<bpf_program*, Hook>> programs;
    bool ready = loaded_programs(f, object.get(), load, programs);
    // The targets' names are made before any is set: libbpf reads the
    // kernel's BTF at the first target it sets and frees it in
    // bpf_object__load only (before libbpf 1.3, bpf_object__close leaves it
    // behind), so no allocation of ours may fail between the two.
    std::vector<std::string> targets;
    targets.reserve(programs.size());
    for (const auto& [program, hook] : programs) targets.emplace_back(hook.target);
    for (std::size_t i = 0; ready && i < programs.size(); ++i) {
        const auto& [program, hook] = programs[i];
        ready = f.program_set_type(program, BPF_PROG_TYPE_TRACING) == 0 &&
                f.program_set_expected_attach_type(program, hook.attach_type) == 0 &&
                f.program_set_attach_target(program, 0, targets[i].c_str()) == 0;
    }
    if (ready && f.object_load(object.get()) == 0) return object.release();
    return object.close_failing(errno != 0 ? errno : EINVAL);
}

// libbpf's own error codes (LIBBPF_ERRNO__*, from 4000) are not errno
// values, and never reach a caller as one. libbpf reads the object with
// libelf, at open only and from memory; the object is the library's own
// and well formed, so libelf failing on it can only have lacked memory.
// Any other code of libbpf's is a failure with no system error behind it,
// which the library answers EIO for.
Result<bpf_object*> with_errno(Result<bpf_object*> loaded) {
    if (loaded || loaded.error() < __LIBBPF_ERRNO__START) return loaded;
    return Failure{loaded.error() == LIBBPF_ERRNO__LIBELF ? ENOMEM : EIO};
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
        return with_errno(load_by_names(f, load));
    } catch (const std::bad_alloc&) {
        return Failure{ENOMEM};
    }
}

Result<bpf_object*> load_connections_by_names(const LibbpfFunctions& f, const ConnectionsLoad& load) noexcept {
    try {
        return with_errno(load_by_names(f, load));
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
