// SPDX-License-Identifier: MIT
// Loads the library's BPF objects into the kernel in a fraction of the time
// that libbpf alone takes.
//
// libbpf on its own reads the kernel's BTF (5 MB, 125,000 types) to find
// each program's attach point, then scans all of it again for every kernel
// type that the object's CO-RE relocations name (a millisecond each). Here
// the library reads the kernel's BTF itself, once and in place
// (kernel_btf.h), and gives libbpf what it needs without its own reading:
//
//   - the attach points: the programs' sections are named
//     "sockscope/<hook>/<target>" (hook: tp_btf, fexit or iter, as libbpf
//     names them), which libbpf does not know; a handler of that section
//     prefix, registered with libbpf once per process, sets each program's
//     type, attach type and target's BTF id when it is loaded;
//   - the relocations' types: the part of the kernel's BTF they can touch
//     (core/relocation_btf.h), a few hundred types, handed to libbpf as its
//     btf_custom_path through a memory file.
//
// Where any of that is unavailable (no handler, a relocation that needs the
// whole BTF), or the load fails with it, an object is loaded libbpf's own
// way: the programs' types and targets are set by name, and libbpf reads
// the kernel's BTF. Either way the same programs run.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/btf_types.h"
#include "core/result.h"
#include "linux/libbpf_library.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

// A program's hook, from its section "sockscope/<hook>/<target>", and the
// kernel type that the kernel knows the target by (as libbpf looks it up).
struct ProgramHook {
    bpf_attach_type attach_type;
    std::string_view target;
    std::string_view type_prefix;
    unsigned type_kind;
};

std::optional<ProgramHook> hook_of(const char* section);

// A program of an object with its hook.
using HookedProgram = std::pair<bpf_program*, ProgramHook>;

// The programs named, each with the hook of its section; nullopt when one
// is missing or has no hook. Throws only std::bad_alloc.
std::optional<std::vector<HookedProgram>> hooked_programs(const LibbpfFunctions& f, bpf_object* object,
                                                          std::span<const char* const> names);

// An opened object, closed unless released: loads allocate after opening
// it, and an allocation that fails throws.
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

// Registers the handler of "sockscope/" sections with libbpf, once per
// process (libbpf stays loaded: see libbpf_library.h); whether it is. No
// thread waits for another's registration: one that finds it under way
// loads libbpf's way.
bool section_handler_registered(const LibbpfFunctions& f);

// A memory file holding the kernel types that the relocations of the
// object `elf` can touch, and its path for libbpf's btf_custom_path;
// ENOTSUP when they can't be given that way (a relocation that needs the
// whole BTF), the memory file's errno when it can't be made or written.
// Throws only std::bad_alloc.
struct RelocationBtf {
    UniqueFd file;
    std::string path;
};
Result<RelocationBtf> relocation_btf_file(const BtfTypes& kernel, std::span<const std::byte> elf);

// Loads `object`, opened with a relocation BTF, its `programs` made tracing
// programs of their hooks with the targets' ids taken from `kernel`: 0, or
// the errno of the refusal (ENOENT when a target is not in `kernel`).
// Throws only std::bad_alloc.
int load_hooked(const LibbpfFunctions& f, bpf_object* object, const BtfTypes& kernel,
                std::span<const HookedProgram> programs);

// Loads `object` libbpf's way: its `programs` made tracing programs of
// their hooks by name, libbpf reading the kernel's BTF: 0, or the errno.
// Throws only std::bad_alloc.
int load_by_names(const LibbpfFunctions& f, bpf_object* object, std::span<const HookedProgram> programs);

// libbpf's own error codes (LIBBPF_ERRNO__*, from 4000) are not errno
// values, and never reach a caller as one: `error` as an errno.
int libbpf_errno(int error);

} // namespace sockscope_detail
