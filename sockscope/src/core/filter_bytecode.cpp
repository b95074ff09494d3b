// SPDX-License-Identifier: MIT
#include "core/filter_bytecode.h"

#include <cstring>
#include <linux/inet_diag.h>
#include <netinet/in.h>

namespace sockscope_detail {
namespace {

using Kind = ExpressionNode::Kind;

// The longest program sent (its attribute's length and every jump are 16
// bits): some 1,000 ports. The kernel checks a program at every dump, and
// its check walks the program again for each jump, so its time grows with
// the square of the length; a longer filter is applied here, after the dump.
constexpr std::size_t longest_program = 24 * 1024;

class Compiler {
public:
    // A place in the program, known once placed.
    using Label = std::size_t;

    Label label() {
        labels_.push_back(unplaced);
        return labels_.size() - 1;
    }
    void place(Label label) { labels_[label] = code_.size(); }
    Label rejected() const { return rejected_; }

    // A test that goes on when it holds and jumps to `otherwise` when not.
    void test(unsigned char code, const void* operand, std::size_t size, Label otherwise) {
        if (code_.size() > longest_program) return; // finish() gives up
        append(code, static_cast<unsigned char>(sizeof(inet_diag_bc_op) + size), otherwise);
        const auto* bytes = static_cast<const unsigned char*>(operand);
        code_.insert(code_.end(), bytes, bytes + size);
    }
    void port_test(unsigned char code, std::uint16_t port, Label otherwise) {
        const inet_diag_bc_op operand{INET_DIAG_BC_NOP, 0, port};
        test(code, &operand, sizeof operand, otherwise);
    }
    void jump(Label to) {
        if (code_.size() <= longest_program) append(INET_DIAG_BC_JMP, sizeof(inet_diag_bc_op), to);
    }

    // Code that goes on when `node` holds and jumps to `otherwise` when not.
    void node(const std::vector<ExpressionNode>& nodes, std::uint32_t index, Label otherwise) {
        const ExpressionNode& n = nodes[index];
        switch (n.kind) {
        case Kind::all_of:
            for (const std::uint32_t child : n.children) node(nodes, child, otherwise);
            break;
        case Kind::any_of:
            any_of(n.children.size(), otherwise,
                   [&](std::size_t i, Label failed) { node(nodes, n.children[i], failed); });
            break;
        case Kind::negation: {
            const Label held = label();
            node(nodes, n.children.front(), held);
            jump(otherwise);
            place(held);
            break;
        }
        case Kind::port_equal:
            port_test(n.local ? INET_DIAG_BC_S_EQ : INET_DIAG_BC_D_EQ, static_cast<std::uint16_t>(n.port), otherwise);
            break;
        case Kind::port_at_least:
            port_test(n.local ? INET_DIAG_BC_S_GE : INET_DIAG_BC_D_GE, static_cast<std::uint16_t>(n.port), otherwise);
            break;
        case Kind::port_at_most:
            port_test(n.local ? INET_DIAG_BC_S_LE : INET_DIAG_BC_D_LE, static_cast<std::uint16_t>(n.port), otherwise);
            break;
        case Kind::host: host(n, otherwise); break;
        }
    }

    // Code that goes on when one of `count` parts holds: each part but the
    // last jumps past the others when it holds.
    template <typename Part>
    void any_of(std::size_t count, Label otherwise, Part part) {
        const Label held = label();
        for (std::size_t i = 0; i < count; ++i) {
            if (i + 1 == count) {
                part(i, otherwise);
                break;
            }
            const Label next = label();
            part(i, next);
            jump(held);
            place(next);
        }
        place(held);
    }

    // The program, or empty when it is too long.
    std::vector<unsigned char> finish() {
        if (code_.size() > longest_program) return {};
        labels_[rejected_] = code_.size() + sizeof(inet_diag_bc_op);
        for (const auto& [at, to] : jumps_) {
            inet_diag_bc_op op;
            std::memcpy(&op, code_.data() + at, sizeof op);
            op.no = static_cast<unsigned short>(labels_[to] - at);
            std::memcpy(code_.data() + at, &op, sizeof op);
        }
        return std::move(code_);
    }

private:
    static constexpr std::size_t unplaced = ~std::size_t{0};

    void host(const ExpressionNode& n, Label otherwise) {
        if (n.family == 0 && n.port < 0) return; // any address, any port
        unsigned char operand[sizeof(inet_diag_hostcond) + 16] = {};
        inet_diag_hostcond condition{};
        condition.family = n.family == 0 ? AF_UNSPEC : n.family == 4 ? AF_INET : AF_INET6;
        condition.prefix_len = n.prefix_length;
        condition.port = n.port;
        std::memcpy(operand, &condition, sizeof condition);
        const std::size_t address = n.family == 0 ? 0 : n.family == 4 ? 4 : 16;
        std::memcpy(operand + sizeof condition, n.address.data(), address);
        test(n.local ? INET_DIAG_BC_S_COND : INET_DIAG_BC_D_COND, operand, sizeof condition + address, otherwise);
    }

    void append(unsigned char code, unsigned char length, Label to) {
        jumps_.push_back({code_.size(), to});
        const inet_diag_bc_op op{code, length, 0};
        const auto* raw = reinterpret_cast<const unsigned char*>(&op);
        code_.insert(code_.end(), raw, raw + sizeof op);
    }

    std::vector<unsigned char> code_;
    std::vector<std::size_t> labels_{unplaced};
    Label rejected_ = 0;
    struct Jump {
        std::size_t at;
        Label to;
    };
    std::vector<Jump> jumps_;
};

} // namespace

std::vector<unsigned char> filter_program(std::span<const std::uint16_t> ports, const FilterExpression* expression) {
    Compiler compiler;
    const Compiler::Label rejected = compiler.rejected();
    if (!ports.empty())
        compiler.any_of(2 * ports.size(), rejected, [&](std::size_t i, Compiler::Label failed) {
            compiler.port_test(i % 2 == 0 ? INET_DIAG_BC_S_EQ : INET_DIAG_BC_D_EQ, ports[i / 2], failed);
        });
    if (expression != nullptr && !expression->nodes.empty())
        compiler.node(expression->nodes, static_cast<std::uint32_t>(expression->nodes.size() - 1), rejected);
    return compiler.finish();
}

} // namespace sockscope_detail
