# SPDX-License-Identifier: MIT
# The privileged owner source: a BPF iterator that lists every socket
# descriptor in one pass (src/linux/bpf_socket_holders.h). It is built in
# when the tools for it are all present -- clang with the BPF target,
# bpftool, libbpf's headers and the kernel's BTF to generate vmlinux.h
# from -- and left out otherwise, or with -DSOCKSCOPE_BPF=OFF; the library
# then always scans /proc. libbpf itself is never linked: the library opens
# libbpf.so.1 at run time.
option(SOCKSCOPE_BPF "Build the BPF iterator owner scan when its build tools are present" ON)
set(SOCKSCOPE_BPF_BTF /sys/kernel/btf/vmlinux CACHE FILEPATH "Kernel BTF that vmlinux.h is generated from")
find_program(SOCKSCOPE_BPF_CLANG NAMES clang clang-19 clang-18 clang-17 clang-16 clang-15 clang-14 clang-13 clang-12
    DOC "clang that compiles the BPF program")
find_program(SOCKSCOPE_BPFTOOL NAMES bpftool PATHS /usr/sbin /sbin /usr/local/sbin
    DOC "bpftool that generates vmlinux.h and the skeleton")
find_path(SOCKSCOPE_LIBBPF_INCLUDE_DIR bpf/bpf_helpers.h DOC "Folder holding libbpf's headers (bpf/*.h)")

set(bpf_missing "")
foreach(tool SOCKSCOPE_BPF_CLANG SOCKSCOPE_BPFTOOL)
    if(NOT EXISTS "${${tool}}")
        list(APPEND bpf_missing ${tool})
    endif()
endforeach()
if(SOCKSCOPE_BPF AND EXISTS "${SOCKSCOPE_BPF_CLANG}")
    execute_process(COMMAND ${SOCKSCOPE_BPF_CLANG} -target bpf -x c -c /dev/null -o /dev/null
        RESULT_VARIABLE bpf_clang_refused OUTPUT_QUIET ERROR_QUIET)
    if(bpf_clang_refused)
        list(APPEND bpf_missing "the BPF target in ${SOCKSCOPE_BPF_CLANG}")
    endif()
endif()
foreach(header bpf_helpers.h bpf_core_read.h libbpf.h bpf.h)
    if(NOT EXISTS "${SOCKSCOPE_LIBBPF_INCLUDE_DIR}/bpf/${header}")
        list(APPEND bpf_missing "bpf/${header}")
    endif()
endforeach()
if(NOT EXISTS "${SOCKSCOPE_BPF_BTF}")
    list(APPEND bpf_missing "${SOCKSCOPE_BPF_BTF}")
endif()

if(NOT SOCKSCOPE_BPF)
    set(SOCKSCOPE_WITH_BPF OFF CACHE INTERNAL "The BPF iterator owner scan is built in")
    message(STATUS "sockscope: BPF owner scan off (SOCKSCOPE_BPF=OFF)")
elseif(bpf_missing)
    set(SOCKSCOPE_WITH_BPF OFF CACHE INTERNAL "The BPF iterator owner scan is built in")
    string(JOIN ", " bpf_missing_text ${bpf_missing})
    message(STATUS "sockscope: BPF owner scan off (missing ${bpf_missing_text})")
else()
    set(SOCKSCOPE_WITH_BPF ON CACHE INTERNAL "The BPF iterator owner scan is built in")
    message(STATUS "sockscope: BPF owner scan on (${SOCKSCOPE_BPF_CLANG}, ${SOCKSCOPE_BPFTOOL})")
endif()

if(NOT SOCKSCOPE_WITH_BPF)
    target_sources(sockscope_objects PRIVATE
        src/linux/bpf_socket_holders_unavailable.cpp
        src/linux/connection_stream_unavailable.cpp)
    return()
endif()

# vmlinux.h (every kernel type, for CO-RE) -> program object -> skeleton
# header that embeds the object's bytes. Each step writes a temporary file
# first, so a failed step leaves no half output that looks finished.
set(bpf_out ${CMAKE_CURRENT_BINARY_DIR}/bpf)
file(MAKE_DIRECTORY ${bpf_out})
add_custom_command(
    OUTPUT ${bpf_out}/vmlinux.h
    COMMAND sh -c "\"$0\" btf dump file \"$1\" format c > \"$2.tmp\" && mv \"$2.tmp\" \"$2\""
        ${SOCKSCOPE_BPFTOOL} ${SOCKSCOPE_BPF_BTF} ${bpf_out}/vmlinux.h
    COMMENT "Generating vmlinux.h from ${SOCKSCOPE_BPF_BTF}"
    VERBATIM)

# sockscope_bpf_program(NAME HEADER...): src/linux/bpf/NAME.bpf.c, which
# includes the HEADERs (paths under src/, as the library's sources name
# them, since some are the core's too), compiled into ${bpf_out}/NAME.bpf.o
# and embedded in ${bpf_out}/NAME.skel.h (skeleton NAME_bpf).
# `bpftool gen object` links the clang output into the object libbpf loads,
# keeping BTF and dropping DWARF (a sixteenth of the size).
function(sockscope_bpf_program name)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/src/linux/bpf/${name}.bpf.c)
    list(TRANSFORM ARGN PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/src/ OUTPUT_VARIABLE headers)
    add_custom_command(
        OUTPUT ${bpf_out}/${name}.bpf.o
        COMMAND ${SOCKSCOPE_BPF_CLANG} -target bpf -O2 -g -Wall -Werror
            -I${bpf_out} -I${CMAKE_CURRENT_SOURCE_DIR}/src -idirafter ${SOCKSCOPE_LIBBPF_INCLUDE_DIR}
            -c ${source} -o ${bpf_out}/${name}.clang.o
        COMMAND ${SOCKSCOPE_BPFTOOL} gen object ${bpf_out}/${name}.bpf.o ${bpf_out}/${name}.clang.o
        DEPENDS ${source} ${headers} ${bpf_out}/vmlinux.h
        COMMENT "Compiling the BPF program ${name}.bpf.c"
        VERBATIM)
    add_custom_command(
        OUTPUT ${bpf_out}/${name}.skel.h
        COMMAND sh -c "\"$0\" gen skeleton \"$1\" name ${name}_bpf > \"$2.tmp\" && mv \"$2.tmp\" \"$2\""
            ${SOCKSCOPE_BPFTOOL} ${bpf_out}/${name}.bpf.o ${bpf_out}/${name}.skel.h
        DEPENDS ${bpf_out}/${name}.bpf.o
        COMMENT "Embedding the BPF program in ${name}.skel.h"
        VERBATIM)
endfunction()

# The owner iterator (src/linux/bpf_socket_holders.h) and the connection
# stream (src/linux/connection_stream.h).
sockscope_bpf_program(socket_holders linux/bpf/socket_holder.h)
sockscope_bpf_program(connections core/bpf_connection_event.h)

target_sources(sockscope_objects PRIVATE
    src/linux/bpf_ring_buffer.cpp
    src/linux/connection_stream.cpp
    src/linux/connections_loader.cpp
    src/linux/kernel_btf.cpp
    src/linux/kernel_typed_loader.cpp
    src/linux/bpf/connections_object.cpp
    ${bpf_out}/connections.skel.h
    src/linux/bpf_socket_holders.cpp
    src/linux/libbpf_library.cpp
    src/linux/socket_holders_iterator.cpp
    src/linux/bpf/socket_holders_object.cpp
    ${bpf_out}/socket_holders.skel.h)
target_include_directories(sockscope_objects PRIVATE ${bpf_out} ${SOCKSCOPE_LIBBPF_INCLUDE_DIR})

# dlopen is in the C library since glibc 2.34; older ones need libdl.
include(CheckCXXSymbolExists)
check_cxx_symbol_exists(dlopen dlfcn.h SOCKSCOPE_DLOPEN_IN_LIBC)
if(NOT SOCKSCOPE_DLOPEN_IN_LIBC)
    target_link_libraries(sockscope_x64 PRIVATE ${CMAKE_DL_LIBS})
    target_link_libraries(sockscope_internal PUBLIC ${CMAKE_DL_LIBS})
endif()
