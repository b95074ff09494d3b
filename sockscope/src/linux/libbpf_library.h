// SPDX-License-Identifier: MIT
// libbpf, opened at run time. The library never links it: libbpf is an
// optional dependency that many machines lack, and it can't be linked into
// a shared library on Debian anyway (its static libelf is not
// position-independent). The few functions used are resolved by name into
// pointers typed from libbpf's own declarations, so a signature can't drift.
#pragma once

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <memory>

#include "core/result.h"

namespace sockscope_detail {

struct LibbpfFunctions {
    decltype(&::libbpf_set_print) set_print;
    decltype(&::bpf_object__open_mem) object_open_mem;
    decltype(&::bpf_object__find_program_by_name) find_program_by_name;
    decltype(&::bpf_object__load) object_load;
    decltype(&::bpf_object__close) object_close;
    decltype(&::bpf_program__attach_iter) attach_iter;
    decltype(&::bpf_link__fd) link_fd;
    decltype(&::bpf_link__destroy) link_destroy;
    decltype(&::bpf_iter_create) iter_create;
    // The connection stream's (connection_stream.cpp, connections_loader.cpp).
    decltype(&::bpf_program__set_autoload) program_set_autoload;
    decltype(&::bpf_object__find_map_by_name) find_map_by_name;
    decltype(&::bpf_object__find_map_fd_by_name) find_map_fd_by_name;
    decltype(&::bpf_map__set_max_entries) map_set_max_entries;
    decltype(&::bpf_prog_load) prog_load;
    decltype(&::bpf_program__fd) program_fd;
    decltype(&::bpf_obj_get_info_by_fd) object_info;
    decltype(&::bpf_program__section_name) program_section_name;
    decltype(&::bpf_program__set_type) program_set_type;
    decltype(&::bpf_program__set_expected_attach_type) program_set_expected_attach_type;
    decltype(&::bpf_program__set_attach_target) program_set_attach_target;
    decltype(&::libbpf_register_prog_handler) register_prog_handler;
    decltype(&::bpf_raw_tracepoint_open) raw_tracepoint_open;
};

// The file that libbpf's ABI version 1 is installed as.
inline constexpr const char* libbpf_file = "libbpf.so.1";

class LibbpfLibrary {
public:
    // Opens `file` (a name dlopen searches for, or a path) and resolves
    // every function; a failure when the file can't be opened (ENOENT) or
    // lacks one (ENOSYS). Once opened, libbpf stays loaded for the life of
    // the process (RTLD_NODELETE), closed or not: the connection stream
    // registers a handler of program sections with it, once per process
    // (connections_loader.cpp), which must not vanish with it.
    static Result<std::unique_ptr<LibbpfLibrary>> open(const char* file) noexcept;
    ~LibbpfLibrary();
    LibbpfLibrary(const LibbpfLibrary&) = delete;
    LibbpfLibrary& operator=(const LibbpfLibrary&) = delete;

    const LibbpfFunctions& functions() const { return functions_; }

private:
    LibbpfLibrary(void* handle, const LibbpfFunctions& functions) : handle_(handle), functions_(functions) {}

    void* handle_;
    LibbpfFunctions functions_;
};

// libbpf prints its diagnostics to stderr unless told otherwise; a library
// has no business writing there. The previous printer is put back
// afterwards, since a host program may use the same libbpf for itself.
class QuietLibbpf {
public:
    explicit QuietLibbpf(const LibbpfFunctions& libbpf) : libbpf_(libbpf), previous_(libbpf.set_print(nullptr)) {}
    ~QuietLibbpf() { libbpf_.set_print(previous_); }
    QuietLibbpf(const QuietLibbpf&) = delete;
    QuietLibbpf& operator=(const QuietLibbpf&) = delete;

private:
    const LibbpfFunctions& libbpf_;
    libbpf_print_fn_t previous_;
};

} // namespace sockscope_detail
