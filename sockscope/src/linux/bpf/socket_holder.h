// SPDX-License-Identifier: MIT
/* One record of the socket holders iterator's output, shared by the BPF
 * program that writes it and the library code that reads it. Plain C types
 * of fixed width on both targets (BPF and x86-64): 16 bytes, no padding. */
#ifndef SOCKSCOPE_SOCKET_HOLDER_H
#define SOCKSCOPE_SOCKET_HOLDER_H

struct socket_holder {
    unsigned long long inode; /* the socket's inode number */
    unsigned int process;     /* thread-group id in the reader's PID namespace */
    unsigned int fd;          /* descriptor number in that process */
};

#endif
