#include "linux/bpf_socket_holders.h"

#include <cstdlib>
#include <cstring>

#include "linux/socket_holders_iterator.h"

namespace sockscope_detail {
namespace {

// SOCKSCOPE_OWNER_SCAN=proc: no BPF program is loaded or used.
bool turned_off() {
    const char* scan = std::getenv("SOCKSCOPE_OWNER_SCAN");
    return scan != nullptr && std::strcmp(scan, "proc") == 0;
}

// Loading costs tens of milliseconds (libbpf parses the kernel's BTF), so
// it happens once, on first use, for the life of the process; a failed load
// is remembered as null and not tried again. The iterator is never
// destroyed: no thread can find it gone, not even while exit handlers run.
const SocketHoldersIterator* process_iterator() {
    static const SocketHoldersIterator* const iterator = SocketHoldersIterator::load(libbpf_file).release();
    return iterator;
}

} // namespace

std::optional<std::vector<SocketHolder>> read_socket_holders() {
    if (turned_off()) return std::nullopt;
    const SocketHoldersIterator* iterator = process_iterator();
    if (iterator == nullptr) return std::nullopt;
    return iterator->read();
}

} // namespace sockscope_detail
