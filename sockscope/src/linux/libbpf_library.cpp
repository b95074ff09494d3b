// SPDX-License-Identifier: MIT
#include "linux/libbpf_library.h"

#include <cerrno>
#include <dlfcn.h>
#include <new>

namespace sockscope_detail {
namespace {

template <typename Function>
bool resolve(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(handle, name));
    return function != nullptr;
}

bool resolve_all(void* handle, LibbpfFunctions& f) {
    return resolve(handle, "libbpf_set_print", f.set_print) &&
           resolve(handle, "bpf_object__open_mem", f.object_open_mem) &&
           resolve(handle, "bpf_object__find_program_by_name", f.find_program_by_name) &&
           resolve(handle, "bpf_object__load", f.object_load) &&
           resolve(handle, "bpf_object__close", f.object_close) &&
           resolve(handle, "bpf_program__attach_iter", f.attach_iter) &&
           resolve(handle, "bpf_link__fd", f.link_fd) &&
           resolve(handle, "bpf_link__destroy", f.link_destroy) &&
           resolve(handle, "bpf_iter_create", f.iter_create) &&
           resolve(handle, "bpf_program__set_autoload", f.program_set_autoload) &&
           resolve(handle, "bpf_object__find_map_by_name", f.find_map_by_name) &&
           resolve(handle, "bpf_object__find_map_fd_by_name", f.find_map_fd_by_name) &&
           resolve(handle, "bpf_map__set_max_entries", f.map_set_max_entries) &&
           resolve(handle, "bpf_prog_load", f.prog_load) &&
           resolve(handle, "bpf_program__fd", f.program_fd) &&
           resolve(handle, "bpf_obj_get_info_by_fd", f.object_info) &&
           resolve(handle, "bpf_program__section_name", f.program_section_name) &&
           resolve(handle, "bpf_program__set_type", f.program_set_type) &&
           resolve(handle, "bpf_program__set_expected_attach_type", f.program_set_expected_attach_type) &&
           resolve(handle, "bpf_program__set_attach_target", f.program_set_attach_target) &&
           resolve(handle, "libbpf_register_prog_handler", f.register_prog_handler) &&
           resolve(handle, "bpf_raw_tracepoint_open", f.raw_tracepoint_open);
}

} // namespace

Result<std::unique_ptr<LibbpfLibrary>> LibbpfLibrary::open(const char* file) noexcept {
    // RTLD_LOCAL: libbpf's symbols stay out of the caller's namespace.
    // RTLD_NODELETE: see the header.
    void* handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        // The C library keeps the message of a failed dlopen on the heap
        // until the thread asks for it twice (or ends): a failed load
        // leaves nothing behind.
        ::dlerror();
        ::dlerror();
        return Failure{ENOENT};
    }
    LibbpfFunctions functions{};
    if (!resolve_all(handle, functions)) {
        ::dlclose(handle);
        return Failure{ENOSYS};
    }
    auto* library = new (std::nothrow) LibbpfLibrary(handle, functions);
    if (library == nullptr) {
        ::dlclose(handle);
        return Failure{ENOMEM};
    }
    return std::unique_ptr<LibbpfLibrary>(library);
}

LibbpfLibrary::~LibbpfLibrary() { ::dlclose(handle_); }

} // namespace sockscope_detail
