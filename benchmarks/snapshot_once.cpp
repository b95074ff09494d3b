// Takes one TCP snapshot, prints its row count and releases it: the least a
// caller can do, for timing whole commands against other tools.
//
//   snapshot_once            the row count
//   snapshot_once --bytes    also the heap bytes the snapshot hands over
//   snapshot_once --repeat K the median milliseconds of K snapshots taken
//                            and released in this one process
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <vector>

#include <sockscope/sockscope.h>

namespace {

std::size_t returned_bytes(const statTCPROW* rows, std::uint32_t count) {
    std::size_t bytes = malloc_usable_size(const_cast<statTCPROW*>(rows));
    for (std::uint32_t i = 0; i < count; ++i)
        bytes += malloc_usable_size(rows[i].LocalAddr) + malloc_usable_size(rows[i].RemoteAddr) +
                 malloc_usable_size(rows[i].ProcessName);
    return bytes;
}

double median_milliseconds(sockscope& library, int repeats) {
    std::vector<double> samples;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        library.getstat_free(library.getstat_tcp());
        samples.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    sockscope library;
    if (argc > 2 && std::strcmp(argv[1], "--repeat") == 0) {
        std::printf("%.2f\n", median_milliseconds(library, std::max(1, std::atoi(argv[2]))));
        return 0;
    }
    statTCPROW* rows = library.getstat_tcp();
    const std::uint32_t count = rows == nullptr ? 0 : rows[0].size;
    std::printf("%u\n", count);
    if (argc > 1 && std::strcmp(argv[1], "--bytes") == 0) std::printf("returned bytes %zu\n", returned_bytes(rows, count));
    library.getstat_free(rows);
    return 0;
}
