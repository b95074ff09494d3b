// The native half of the .NET wrapper: a flat C interface over the library's
// class, which the managed assembly calls through P/Invoke. No C++ exception
// crosses it (the library throws none; `new` failing gives null here).
#include <new>

#include <sockscope/sockscope.h>

#define SOCKSCOPE_NET_API extern "C" __attribute__((visibility("default")))

SOCKSCOPE_NET_API sockscope* sockscopeNET_create() { return new (std::nothrow) sockscope; }

SOCKSCOPE_NET_API void sockscopeNET_delete(sockscope* instance) { delete instance; }

SOCKSCOPE_NET_API std::uint32_t sockscopeNET_getProcessId(sockscope* instance, const char16_t* name) {
    return instance->getProcessId(name);
}

SOCKSCOPE_NET_API std::uint32_t sockscopeNET_getnetPort_gx2(sockscope* instance, const char16_t* name) {
    return instance->getnetPort_gx2(name);
}

SOCKSCOPE_NET_API statTCPROW* sockscopeNET_getstat_tcp(sockscope* instance) { return instance->getstat_tcp(); }

SOCKSCOPE_NET_API statUDPROW* sockscopeNET_getstat_udp(sockscope* instance) { return instance->getstat_udp(); }

SOCKSCOPE_NET_API void sockscopeNET_free_tcp(sockscope* instance, statTCPROW* rows) { instance->getstat_free(rows); }

SOCKSCOPE_NET_API void sockscopeNET_free_udp(sockscope* instance, statUDPROW* rows) { instance->getstat_free(rows); }

// The record sizes as this build lays them out, for the managed side to
// check its mirrors against.
SOCKSCOPE_NET_API std::uint32_t sockscopeNET_tcp_record_size() { return sizeof(statTCPROW); }
SOCKSCOPE_NET_API std::uint32_t sockscopeNET_udp_record_size() { return sizeof(statUDPROW); }
