// SPDX-License-Identifier: MIT
#include "linux/kernel_typed_loader.h"

#include <atomic>
#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

#include "core/bpf_object_btf.h"
#include "core/relocation_btf.h"

namespace sockscope_detail {
namespace {

constexpr std::string_view section_prefix = "sockscope/";

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

// The handler gives the programs a type that needs no kernel BTF until it
// makes them tracing programs: libbpf reads the kernel's BTF for any
// object with a tracing program, before it loads any.
enum HandlerState { not_registered, registering, registered, refused };
std::atomic<int> handler_state{not_registered};

} // namespace

std::optional<ProgramHook> hook_of(const char* section) {
    std::string_view name = section != nullptr ? section : "";
    if (name.substr(0, section_prefix.size()) != section_prefix) return std::nullopt;
    name.remove_prefix(section_prefix.size());
    const std::size_t slash = name.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view hook = name.substr(0, slash), target = name.substr(slash + 1);
    if (hook == "tp_btf") return ProgramHook{BPF_TRACE_RAW_TP, target, "btf_trace_", BTF_KIND_TYPEDEF};
    if (hook == "fexit") return ProgramHook{BPF_TRACE_FEXIT, target, "", BTF_KIND_FUNC};
    if (hook == "iter") return ProgramHook{BPF_TRACE_ITER, target, "bpf_iter_", BTF_KIND_FUNC};
    return std::nullopt;
}

std::optional<std::vector<HookedProgram>> hooked_programs(const LibbpfFunctions& f, bpf_object* object,
                                                          std::span<const char* const> names) {
    std::vector<HookedProgram> programs;
    for (const char* name : names) {
        bpf_program* program = f.find_program_by_name(object, name);
        const std::optional<ProgramHook> hook =
            program != nullptr ? hook_of(f.program_section_name(program)) : std::nullopt;
        if (!hook) return std::nullopt;
        programs.emplace_back(program, *hook);
    }
    return programs;
}

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

Result<RelocationBtf> relocation_btf_file(const BtfTypes& kernel, std::span<const std::byte> elf) {
    const std::optional<ObjectBtf> object = read_object_btf(elf);
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
    std::string path = "/proc/self/fd/" + std::to_string(file.get());
    return RelocationBtf{std::move(file), std::move(path)};
}

int load_hooked(const LibbpfFunctions& f, bpf_object* object, const BtfTypes& kernel,
                std::span<const HookedProgram> programs) {
    std::vector<std::string> names;
    std::vector<BtfTypes::Lookup> lookups;
    names.reserve(programs.size());
    for (const auto& [program, hook] : programs)
        names.push_back(std::string(hook.type_prefix) + std::string(hook.target));
    for (std::size_t i = 0; i < programs.size(); ++i) lookups.push_back({names[i], programs[i].second.type_kind});
    kernel.find(lookups);
    LoadInProgress in_progress{&f, {}};
    for (std::size_t i = 0; i < programs.size(); ++i) {
        if (lookups[i].id == 0) return ENOENT;
        in_progress.hooks.push_back({programs[i].first, programs[i].second.attach_type, lookups[i].id});
    }
    load_in_progress = &in_progress;
    const int loaded = f.object_load(object);
    load_in_progress = nullptr;
    if (loaded == 0) return 0;
    return errno != 0 ? errno : EINVAL;
}

int load_by_names(const LibbpfFunctions& f, bpf_object* object, std::span<const HookedProgram> programs) {
    // The targets' names are made before any is set: libbpf reads the
    // kernel's BTF at the first target it sets and frees it in
    // bpf_object__load only (before libbpf 1.3, bpf_object__close leaves it
    // behind), so no allocation of ours may fail between the two.
    std::vector<std::string> targets;
    targets.reserve(programs.size());
    for (const auto& [program, hook] : programs) targets.emplace_back(hook.target);
    bool ready = true;
    for (std::size_t i = 0; ready && i < programs.size(); ++i) {
        const auto& [program, hook] = programs[i];
        ready = f.program_set_type(program, BPF_PROG_TYPE_TRACING) == 0 &&
                f.program_set_expected_attach_type(program, hook.attach_type) == 0 &&
                f.program_set_attach_target(program, 0, targets[i].c_str()) == 0;
    }
    if (ready && f.object_load(object) == 0) return 0;
    return errno != 0 ? errno : EINVAL;
}

// libbpf reads the object with libelf, at open only and from memory; the
// objects are the library's own and well formed, so libelf failing on one
// can only have lacked memory. Any other code of libbpf's is a failure with
// no system error behind it, which the library answers EIO for.
int libbpf_errno(int error) {
    if (error < __LIBBPF_ERRNO__START) return error;
    return error == LIBBPF_ERRNO__LIBELF ? ENOMEM : EIO;
}

} // namespace sockscope_detail
