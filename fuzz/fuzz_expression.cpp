// SPDX-License-Identifier: MIT
// Filter expressions: whatever the text, parsing answers (an error inside
// the text, or an expression), and a parsed one's kernel program keeps the
// shape the kernel's checker wants: each op's `yes` its own length, every
// jump forward, 4-byte aligned, to an op, the end or the rejection just
// past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <linux/inet_diag.h>
#include <set>
#include <string_view>

#include "core/filter_bytecode.h"
#include "core/filter_expression.h"

using namespace sockscope_detail;

namespace {

bool services(const std::string& name, std::uint16_t& port) {
    port = 22;
    return name == "ssh";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ExpressionParse parse = parse_filter_expression(text, services);
    if (parse.error != nullptr) {
        if (parse.position > size) std::abort();
        return 0;
    }
    SocketRow row;
    row.family = size % 2 == 0 ? Family::ipv4 : Family::ipv6;
    row.local_port = 0x1600; // 22
    parse.expression.matches(row);
    const std::vector<unsigned char> program = filter_program({}, &parse.expression);
    std::set<std::size_t> starts;
    for (std::size_t at = 0; at < program.size();) {
        if (program.size() - at < sizeof(inet_diag_bc_op)) std::abort();
        starts.insert(at);
        inet_diag_bc_op op;
        std::memcpy(&op, program.data() + at, sizeof op);
        if (op.yes < 4 || op.yes % 4 != 0 || op.yes > program.size() - at) std::abort();
        at += op.yes;
    }
    for (const std::size_t at : starts) {
        inet_diag_bc_op op;
        std::memcpy(&op, program.data() + at, sizeof op);
        const std::size_t to = at + op.no;
        if (op.code == INET_DIAG_BC_NOP) continue;
        if (op.no < 4 || op.no % 4 != 0 || (to < program.size() && starts.count(to) == 0) || to > program.size() + 4)
            std::abort();
    }
    return 0;
}
