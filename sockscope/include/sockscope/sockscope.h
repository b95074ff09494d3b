// sockscope: the machine's IPv4 TCP and UDP connection tables, each row
// completed with the owning process's id and image name.
//
// This header is shared by the library, its tools and its callers. It
// compiles on its own as C++11 or later.
//
// Ownership: every array that getstat_tcp/getstat_udp return, and every
// text it points to (addresses, process names), lives on the C heap and
// belongs to the caller, who gives it back with the matching getstat_free.
// Statestr points into a constant table inside the library: never free it.
//
// Length: every record carries the row count of its whole array in `size`.
// A snapshot is never shorter than one record; a table with no rows is one
// zero-filled record (null pointers, size 0), so reading `size` from the
// first record is always safe. A snapshot call returns null only when
// memory ran out; treat that as an empty table. No member throws.
#ifndef SOCKSCOPE_SOCKSCOPE_H
#define SOCKSCOPE_SOCKSCOPE_H

#include <cstddef>
#include <cstdint>

#if defined(SOCKSCOPE_BUILDING_LIBRARY)
#define SOCKSCOPE_API __attribute__((visibility("default")))
#else
#define SOCKSCOPE_API
#endif

#define SOCKSCOPE_VERSION_MAJOR 1
#define SOCKSCOPE_VERSION_MINOR 1
#define SOCKSCOPE_VERSION_PATCH 0
#define SOCKSCOPE_VERSION_TWEAK 0

// One TCP endpoint pair.
struct statTCPROW {
    char* LocalAddr;          // dotted quad, e.g. "127.0.0.1"
    char* RemoteAddr;         // dotted quad; "0.0.0.0" for a listener
    char16_t* ProcessName;    // UTF-16 image name; null if the owner is unknown or gone
    const char* Statestr;     // "LISTEN", "ESTABLISH", ...; owned by the library
    std::uint32_t LocalPort;  // host byte order
    std::uint32_t RemotePort; // host byte order
    std::uint32_t PID;        // owning process id; 0 if unknown
    std::uint32_t Statenum;   // 1..12, see Statestr
    std::uint32_t size;       // number of records in the whole array
};

// One UDP endpoint.
struct statUDPROW {
    char* LocalAddr;
    char16_t* ProcessName;
    std::uint32_t LocalPort;
    std::uint32_t PID;
    std::uint32_t size;
};

static_assert(sizeof(void*) == 8, "sockscope records are laid out for 64-bit pointers");
static_assert(sizeof(statTCPROW) == 56, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, RemoteAddr) == 8, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, ProcessName) == 16, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, Statestr) == 24, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, LocalPort) == 32, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, RemotePort) == 36, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, PID) == 40, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, Statenum) == 44, "statTCPROW layout changed");
static_assert(offsetof(statTCPROW, size) == 48, "statTCPROW layout changed");
static_assert(sizeof(statUDPROW) == 32, "statUDPROW layout changed");
static_assert(offsetof(statUDPROW, ProcessName) == 8, "statUDPROW layout changed");
static_assert(offsetof(statUDPROW, LocalPort) == 16, "statUDPROW layout changed");
static_assert(offsetof(statUDPROW, PID) == 20, "statUDPROW layout changed");
static_assert(offsetof(statUDPROW, size) == 24, "statUDPROW layout changed");

// The library's entry point. It holds no state: create as many as you like,
// copy and assign them freely; every call reads the system afresh. Calls may
// run on any thread.
class SOCKSCOPE_API sockscope {
public:
    // Id of the first running process (lowest id) whose image name equals
    // `imageName` exactly (case-sensitive); 0 if none, or if imageName is null.
    std::uint32_t getProcessId(const char16_t* imageName);

    // Local port (host order) of the TCP socket that the process named
    // `imageName` holds on 127.0.0.1 (any state); when it holds several, the
    // last in table order. 0 if none, if no process has the name, or if
    // imageName is null.
    std::uint32_t getnetPort_gx2(const char16_t* imageName);

    // Snapshots of the IPv4 TCP and UDP tables, sorted by local address,
    // local port, remote address, remote port. Give them back with getstat_free.
    statTCPROW* getstat_tcp();
    statUDPROW* getstat_udp();

    // Release a snapshot and every text in it. Null does nothing.
    void getstat_free(statTCPROW* rows);
    void getstat_free(statUDPROW* rows);
};

#endif
