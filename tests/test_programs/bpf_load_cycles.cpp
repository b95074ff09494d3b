// SPDX-License-Identifier: MIT
// Loads, reads and unloads the socket holders iterator N times, then makes
// N loads fail at three points (attachment refused, program refused, no
// privilege), so that valgrind can tell whether any of it leaves memory
// behind. Exits 77 (skipped) where the iterator can't be loaded at all.
//
//   bpf_load_cycles N
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <linux/bpf.h>
#include <unistd.h>

#include "linux/socket_holders_iterator.h"
#include "support/refuse_bpf.h"

using sockscope_detail::libbpf_file;
using sockscope_detail::SocketHoldersIterator;

namespace {

constexpr int skipped = 77;

bool loads_fail(int cycles, const char* situation) {
    for (int i = 0; i < cycles; ++i) {
        if (SocketHoldersIterator::load(libbpf_file).ok()) {
            std::fprintf(stderr, "a load succeeded with %s\n", situation);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 3;
    for (int i = 0; i < cycles; ++i) {
        const auto iterator = SocketHoldersIterator::load(libbpf_file);
        if (!iterator) {
            if (i == 0) {
                std::puts("the iterator can't be loaded here");
                return skipped;
            }
            std::fprintf(stderr, "load %d failed\n", i);
            return 1;
        }
        if (!(*iterator)->read()) {
            std::fprintf(stderr, "read %d failed\n", i);
            return 1;
        }
    }
    constexpr unsigned nobody = 65534;
    const bool all_failed = sockscope_test::refuse_bpf_command(BPF_LINK_CREATE) &&
                            loads_fail(cycles, "attachment refused") &&
                            sockscope_test::refuse_bpf_command(BPF_PROG_LOAD) &&
                            loads_fail(cycles, "program refused") && setgroups(0, nullptr) == 0 &&
                            setgid(nobody) == 0 && setuid(nobody) == 0 && loads_fail(cycles, "no privilege");
    return all_failed ? 0 : 1;
}
