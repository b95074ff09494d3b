// SPDX-License-Identifier: MIT
// sockscope: the machine's TCP and UDP connection tables, IPv4 and IPv6,
// each row completed with the owning process's id and image name.
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
// first record is always safe.
//
// Failure: every answer is whole or a visible failure. A member fails only
// when the machine or the caller lacks what the answer needs: memory (errno
// ENOMEM), a descriptor (EMFILE, ENFILE; a call needs at most three at a
// time), or the kernel's tables themselves (/proc not mounted: ENOENT;
// netlink and /proc/net both unreadable: their errno). A failed snapshot
// call returns null and a failed lookup 0, with errno set; a call that
// answers leaves errno as it was. Since 0 is also the answer "not found",
// set errno to 0 before a lookup to tell the two apart. No member throws.
//
// Whatever goes wrong while reading one process is not a failure of the
// call: it makes that process (or that one descriptor) unknown. A process
// that ends during the call, one whose descriptors the caller may not read
// (another user's; root without CAP_SYS_PTRACE), one holding a file or
// running an executable whose path is too long for the kernel to show, one
// whose /proc entries fail with any other error: its sockets come back with
// owner 0 and no name (or with another process that holds them too). No
// process can fail or disguise another's answer. A process whose main
// thread ended while others run is running, and is read through them.
//
// Owners: a caller that may load BPF programs and read every process (root)
// gets socket holders from a small kernel iterator, loaded once per process
// (about 20 ms) and kept; anyone else, and SOCKSCOPE_OWNER_SCAN=proc in
// the environment, gets them from a scan of /proc. A process's second call
// that needs owners loads the iterator; its first loads it only when the
// machine has 12,000 files open or more (/proc/sys/fs/file-nr), where the
// scan would cost more than the load, and otherwise scans. Both give the
// same answers.
//
// ABI: the library's SONAME is libsockscope_x64.so.1. Within major version
// 1, the records' layout, the members' signatures and what they answer stay
// as they are; members may be added (a minor version). Anything else takes
// a new major version and a new SONAME.
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
#define SOCKSCOPE_VERSION_MINOR 2
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
    // `imageName` exactly (case-sensitive); 0 if none, or if imageName is
    // null. A process that has ended but is not yet reaped (a zombie) is not
    // running. On failure 0 with errno set.
    std::uint32_t getProcessId(const char16_t* imageName);

    // Local port (host order) of a TCP socket, in any state, that the
    // process named `imageName` (as getProcessId finds it) holds, alone or
    // with other processes (a listener shared with forked workers), on a local
    // address whose dotted-quad text starts with "127.0.0.1": that is
    // 127.0.0.1 itself, 127.0.0.10-127.0.0.19 and 127.0.0.100-127.0.0.199.
    // When it holds several, the last in table order (see below). 0 if none,
    // if no process has the name, or if imageName is null. On failure 0
    // with errno set.
    std::uint32_t getnetPort_gx2(const char16_t* imageName);

    // Snapshots of the IPv4 TCP and UDP tables, sorted by local address,
    // local port, remote address, remote port (each as a host-order number),
    // then owner id. Give them back with getstat_free. On failure null with
    // errno set.
    statTCPROW* getstat_tcp();
    statUDPROW* getstat_udp();

    // Snapshots of the IPv6 TCP and UDP tables, in the same records and
    // the same order (addresses by their bytes). Addresses are in the
    // standard compressed form ("::1", "2001:db8::a"); an IPv4 peer of a
    // dual-stack socket shows v4-mapped ("::ffff:127.0.0.1"). An address
    // that means something on one link only (link-local fe80::/10,
    // interface- and link-local multicast) carries its zone, the socket's
    // interface, as the standard text form writes it: "fe80::1%eth0", or
    // the interface's index ("fe80::1%7") when it is gone or its name isn't
    // printable ASCII. Both ends of a row carry it: the peer of a link-local
    // connection is on the same link, and each text names its address
    // whole. An address text thus needs up to INET6_ADDRSTRLEN + IF_NAMESIZE
    // bytes with its terminator. Rows read from /proc/net (where netlink is
    // refused) carry no zone: those files don't say the interface. A server
    // listening on [::] that also takes IPv4 connections is here, with the
    // server end of each such connection; the IPv4 client ends are in
    // getstat_tcp. On a kernel without IPv6 the tables are empty. Give them
    // back with getstat_free.
    statTCPROW* getstat_tcp6();
    statUDPROW* getstat_udp6();

    // Release a snapshot and every text in it. Null does nothing.
    void getstat_free(statTCPROW* rows);
    void getstat_free(statUDPROW* rows);
};

#endif
