// SPDX-License-Identifier: MIT
#include "linux/kernel_btf.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

constexpr const char* kernel_btf_file = "/sys/kernel/btf/vmlinux";

} // namespace

Result<std::unique_ptr<KernelBtf>> KernelBtf::load() {
    const UniqueFd file(::open(kernel_btf_file, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return Failure{errno == ENOENT ? ENOTSUP : errno};
    struct stat about;
    if (::fstat(file.get(), &about) != 0) return Failure{errno};
    std::unique_ptr<KernelBtf> btf(new KernelBtf);
    btf->size_ = static_cast<std::size_t>(about.st_size);
    // Private and read-only, as the kernel maps it.
    void* mapped = ::mmap(nullptr, btf->size_, PROT_READ, MAP_PRIVATE, file.get(), 0);
    const std::byte* bytes = nullptr;
    if (mapped != MAP_FAILED) {
        btf->mapped_ = mapped;
        bytes = static_cast<const std::byte*>(mapped);
    } else {
        // sysfs gives at most a page a read.
        btf->read_.reset(new std::byte[btf->size_]);
        std::size_t done = 0;
        while (done < btf->size_) {
            const ssize_t got = ::read(file.get(), btf->read_.get() + done, btf->size_ - done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return Failure{errno};
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        btf->size_ = done;
        bytes = btf->read_.get();
    }
    btf->types_ = BtfTypes::parse({bytes, btf->size_});
    if (!btf->types_) return Failure{ENOTSUP};
    return btf;
}

KernelBtf::~KernelBtf() {
    if (mapped_ != nullptr) ::munmap(mapped_, size_);
}

} // namespace sockscope_detail
