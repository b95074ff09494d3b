// SPDX-License-Identifier: MIT
// Loading the connection stream's object with the kernel types the library
// reads itself: the cut-down BTF that it is relocated against must keep the
// kernel's layout of every type a relocation starts from, all the way
// through what it holds by value, and the programs loaded so must be the
// very ones libbpf's own load makes. BTF or ELF that does not hold
// together is refused without being read past its end.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "core/bpf_object_btf.h"
#include "core/btf_types.h"
#include "core/relocation_btf.h"
#include "linux/bpf/connections_object.h"
#include "linux/connections_loader.h"
#include "linux/kernel_btf.h"

using namespace sockscope_detail;

namespace {

// Where the layouts of type `a` of `left` and `b` of `right` first differ
// ("" when they don't): kind, name, size, and each member's name, offset
// and type, followed through all but pointers.
std::string layout_difference(const BtfTypes& left, std::uint32_t a, const BtfTypes& right, std::uint32_t b,
                              int depth = 0) {
    if (a == 0 || b == 0) return a == b ? "" : "void against a type";
    const btf_type& x = left.type(a);
    const btf_type& y = right.type(b);
    const std::string name(left.name(x));
    if (BtfTypes::kind(x) != BtfTypes::kind(y) || left.name(x) != right.name(y) || BtfTypes::vlen(x) != BtfTypes::vlen(y))
        return "type " + name + " differs";
    if (depth > 64) return "";
    const auto* xs = reinterpret_cast<const btf_member*>(left.record(a).data() + sizeof(btf_type));
    const auto* ys = reinterpret_cast<const btf_member*>(right.record(b).data() + sizeof(btf_type));
    switch (BtfTypes::kind(x)) {
    case BTF_KIND_STRUCT:
    case BTF_KIND_UNION:
        if (x.size != y.size) return name + ": size";
        for (unsigned i = 0; i < BtfTypes::vlen(x); ++i) {
            if (left.text(xs[i].name_off) != right.text(ys[i].name_off) || xs[i].offset != ys[i].offset)
                return name + ": member " + std::to_string(i);
            const std::string inner = layout_difference(left, xs[i].type, right, ys[i].type, depth + 1);
            if (!inner.empty()) return name + "." + std::string(left.text(xs[i].name_off)) + ": " + inner;
        }
        return "";
    case BTF_KIND_ARRAY: {
        const auto* xa = reinterpret_cast<const btf_array*>(xs);
        const auto* ya = reinterpret_cast<const btf_array*>(ys);
        if (xa->nelems != ya->nelems) return "array length";
        return layout_difference(left, xa->type, right, ya->type, depth + 1);
    }
    case BTF_KIND_TYPEDEF:
    case BTF_KIND_VOLATILE:
    case BTF_KIND_CONST:
    case BTF_KIND_RESTRICT:
    case BTF_KIND_TYPE_TAG: return layout_difference(left, x.type, right, y.type, depth + 1);
    case BTF_KIND_PTR: return "";
    default: return x.size == y.size ? "" : name + ": size";
    }
}

TEST(RelocationBtf, RelocatedTypesKeepTheKernelsLayout) {
    const Result<std::unique_ptr<KernelBtf>> kernel = KernelBtf::load();
    if (!kernel) GTEST_SKIP() << "no kernel BTF here";
    const std::optional<ObjectBtf> object = read_object_btf(connections_object());
    ASSERT_TRUE(object);
    EXPECT_FALSE(object->needs_whole_kernel_btf);
    const std::optional<BtfTypes> types = BtfTypes::parse(object->btf);
    ASSERT_TRUE(types);
    ASSERT_FALSE(object->relocated.empty());

    const std::vector<std::byte> raw = relocation_btf((*kernel)->types(), *types, object->relocated);
    const std::optional<BtfTypes> cut = BtfTypes::parse(raw);
    ASSERT_TRUE(cut);
    EXPECT_LT(cut->count() * 20, (*kernel)->types().count()) << "hardly cut down";
    for (const std::uint32_t id : object->relocated) {
        const btf_type& relocated = types->type(id);
        BtfTypes::Lookup in_kernel{types->name(relocated), BtfTypes::kind(relocated)};
        BtfTypes::Lookup in_cut = in_kernel;
        (*kernel)->types().find({&in_kernel, 1});
        cut->find({&in_cut, 1});
        ASSERT_NE(in_kernel.id, 0u) << in_kernel.name;
        ASSERT_NE(in_cut.id, 0u) << in_kernel.name << " left out";
        EXPECT_EQ(layout_difference((*kernel)->types(), in_kernel.id, *cut, in_cut.id), "");
    }

    // Cut short anywhere, or with a record that claims more than there is,
    // it is refused.
    for (std::size_t length = 0; length < raw.size(); length += 7)
        EXPECT_FALSE(BtfTypes::parse(std::span(raw).first(length))) << "cut to " << length;
    std::vector<std::byte> swollen = raw;
    auto* first = reinterpret_cast<btf_type*>(swollen.data() + sizeof(btf_header));
    first->info = BTF_KIND_STRUCT << 24 | 0xffff; // a struct of 65,535 members
    EXPECT_FALSE(BtfTypes::parse(swollen));
}

TEST(RelocationBtf, ObjectFilesThatDoNotHoldTogetherAreRefused) {
    const std::span<const std::byte> elf = connections_object();
    for (std::size_t length = 0; length < elf.size(); length += 97) (void)read_object_btf(elf.first(length));
    std::vector<std::byte> wrong(elf.begin(), elf.end());
    wrong[4] = std::byte{1}; // 32-bit class
    EXPECT_FALSE(read_object_btf(wrong));
}

// The instructions' tag (a hash of them, as relocated) of each program of
// a loaded object.
std::vector<std::string> program_tags(const LibbpfFunctions& f, bpf_object* object) {
    std::vector<std::string> tags;
    for (const char* name : {"accept_returned_syscall", "state_changed", "state_changed_skipped", "snapshot"}) {
        bpf_prog_info about{};
        __u32 size = sizeof about;
        const bpf_program* program = f.find_program_by_name(object, name);
        if (program == nullptr || f.object_info(f.program_fd(program), &about, &size) != 0) return {};
        tags.emplace_back(reinterpret_cast<const char*>(about.tag), sizeof about.tag);
    }
    return tags;
}

TEST(ConnectionsLoader, LoadsTheProgramsLibbpfWouldMake) {
    if (geteuid() != 0) GTEST_SKIP() << "not root";
    Result<std::unique_ptr<LibbpfLibrary>> libbpf = LibbpfLibrary::open(libbpf_file);
    const Result<std::unique_ptr<KernelBtf>> kernel = KernelBtf::load();
    if (!libbpf || !kernel) GTEST_SKIP() << "no libbpf.so.1 or no kernel BTF";
    const LibbpfFunctions& f = (*libbpf)->functions();
    const ConnectionsLoad load{AcceptHook::syscall, false, 1u << 16, 64};
    bool by_libbpf = true;
    const Result<bpf_object*> quick = load_connections(f, **kernel, load, by_libbpf);
    if (!quick) GTEST_SKIP() << "the kernel refuses the programs: " << std::strerror(quick.error());
    EXPECT_FALSE(by_libbpf);
    const Result<bpf_object*> slow = load_connections_by_names(f, load);
    if (!slow) f.object_close(*quick);
    ASSERT_TRUE(slow) << std::strerror(slow.error());
    const std::vector<std::string> tags = program_tags(f, *quick);
    EXPECT_FALSE(tags.empty());
    EXPECT_EQ(tags, program_tags(f, *slow));
    f.object_close(*quick);
    f.object_close(*slow);
}

} // namespace
