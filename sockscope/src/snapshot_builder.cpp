#include "snapshot_builder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "conversions.h"
#include "proc_files.h"
#include "process_directory.h"
#include "unique_fd.h"

namespace sockscope_detail {
namespace {

// The image names of a table's owners, each looked up once, handed out as
// one C-heap copy per row.
class OwnerNames {
public:
    OwnerNames(const std::vector<SocketRow>& rows, const NameLookup& name_of) {
        for (const SocketRow& row : rows)
            if (row.owner != 0) ids_.push_back(row.owner);
        std::sort(ids_.begin(), ids_.end());
        ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
        names_.reserve(ids_.size());
        for (const std::uint32_t id : ids_) names_.push_back(name_of(id));
    }

    // A new copy of the owner's name; null for no owner, an ended one, or
    // when memory ran out.
    char16_t* copy_for(std::uint32_t owner) const {
        if (owner == 0) return nullptr;
        const auto it = std::lower_bound(ids_.begin(), ids_.end(), owner);
        const auto& name = names_[static_cast<std::size_t>(it - ids_.begin())];
        if (!name) return nullptr;
        const std::size_t bytes = (name->size() + 1) * sizeof(char16_t);
        auto* copy = static_cast<char16_t*>(std::malloc(bytes));
        if (copy != nullptr) std::memcpy(copy, name->c_str(), bytes);
        return copy;
    }

private:
    std::vector<std::uint32_t> ids_;
    std::vector<std::optional<std::u16string>> names_;
};

// The records of `rows` in their order, each filled by `fill` and given its
// owner's name and the row count; at least one record, zero-filled when
// there are no rows.
template <typename Record, typename Fill>
Record* build_snapshot(const std::vector<SocketRow>& rows, const NameLookup& name_of, Fill fill) {
    // The names first: they may throw when memory runs out, and nothing is
    // allocated yet that would leak. Nothing below throws.
    const OwnerNames names(rows, name_of);
    auto* records = static_cast<Record*>(std::calloc(rows.empty() ? 1 : rows.size(), sizeof(Record)));
    if (records == nullptr) return nullptr;
    const auto count = static_cast<std::uint32_t>(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        fill(records[i], rows[i]);
        records[i].PID = rows[i].owner;
        records[i].ProcessName = names.copy_for(rows[i].owner);
        records[i].size = count;
    }
    return records;
}

} // namespace

NameLookup live_process_names() {
    // One /proc descriptor serves every lookup of the snapshot being built.
    auto proc = std::make_shared<UniqueFd>(open_proc());
    return [proc](std::uint32_t id) -> std::optional<std::u16string> {
        if (!proc->valid()) return std::nullopt;
        return process_name(proc->get(), id);
    };
}

statTCPROW* build_tcp_snapshot(const std::vector<SocketRow>& rows, const NameLookup& name_of) {
    return build_snapshot<statTCPROW>(rows, name_of, [](statTCPROW& record, const SocketRow& row) {
        record.LocalAddr = dotted_quad(row.local_address);
        record.RemoteAddr = dotted_quad(row.remote_address);
        record.LocalPort = port_to_host_order(row.local_port);
        record.RemotePort = port_to_host_order(row.remote_port);
        record.Statenum = row.state;
        record.Statestr = state_name(row.state);
    });
}

statUDPROW* build_udp_snapshot(const std::vector<SocketRow>& rows, const NameLookup& name_of) {
    return build_snapshot<statUDPROW>(rows, name_of, [](statUDPROW& record, const SocketRow& row) {
        record.LocalAddr = dotted_quad(row.local_address);
        record.LocalPort = port_to_host_order(row.local_port);
    });
}

} // namespace sockscope_detail
