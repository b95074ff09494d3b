// SPDX-License-Identifier: MIT
// What /proc/<id>/stat says of a process's life.
#pragma once

#include <string_view>

namespace sockscope_detail {

// The state letter of /proc/<id>/stat ("R", "S", "Z" ...), read after the
// last ')' since the name before it may hold ')' and blanks; 0 when the
// text has no state.
char process_state_from_stat(std::string_view stat);

// Whether /proc/<id>/stat shows a process that has ended: its main thread
// is a zombie waiting to be reaped ('Z') or being torn down ('X'), and no
// other thread runs (num_threads, the 20th field, is at most 1). A main
// thread that called pthread_exit is a zombie too while the others run on.
bool stat_shows_ended(std::string_view stat);

} // namespace sockscope_detail
