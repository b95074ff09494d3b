// SPDX-License-Identifier: MIT
#include "core/container_ids.h"

#include <algorithm>
#include <array>

namespace sockscope_detail {
namespace {

bool is_container_id(std::string_view text) {
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// "machine-foo\x2dbar.scope" names the machine "foo-bar": systemd writes
// a '-' inside a unit name's part as "\x2d" (and any byte as \xNN).
std::string unescaped_unit_name(std::string_view name) {
    std::string text;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' && hex(name[i + 2]) >= 0 && hex(name[i + 3]) >= 0) {
            text += static_cast<char>(hex(name[i + 2]) * 16 + hex(name[i + 3]));
            i += 3;
        } else {
            text += name[i];
        }
    }
    return text;
}

// The container one path component names; empty when none. `parent` is
// the component before it (a cgroupfs-driver Kubernetes pod's folder).
std::string container_of(std::string_view component, std::string_view parent) {
    constexpr std::array<std::string_view, 4> scope_prefixes = {"docker-", "cri-containerd-", "crio-", "libpod-"};
    constexpr std::string_view scope = ".scope";
    if (component.ends_with(scope)) {
        if (!parent.ends_with(".slice")) return {};
        const std::string_view unit = component.substr(0, component.size() - scope.size());
        for (const std::string_view prefix : scope_prefixes)
            if (unit.starts_with(prefix) && is_container_id(unit.substr(prefix.size())))
                return std::string(unit.substr(prefix.size()));
        if (unit.starts_with("machine-") && unit.size() > 8) return unescaped_unit_name(unit.substr(8));
        return {};
    }
    // cgroupfs drivers: /docker/<id>, /kubepods/<qos>/pod<uid>/<id>.
    if (is_container_id(component) && (parent == "docker" || parent.starts_with("pod"))) return std::string(component);
    return {};
}

} // namespace

std::string_view cgroup_path(std::string_view proc_cgroup) {
    bool unified;
    return cgroup_path(proc_cgroup, unified);
}

std::string_view cgroup_path(std::string_view proc_cgroup, bool& unified) {
    unified = false;
    std::string_view systemd;
    while (!proc_cgroup.empty()) {
        const auto end = proc_cgroup.find('\n');
        const std::string_view line = proc_cgroup.substr(0, end);
        proc_cgroup.remove_prefix(end == std::string_view::npos ? proc_cgroup.size() : end + 1);
        if (line.starts_with("0::")) {
            unified = true;
            return line.substr(3);
        }
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && line.substr(colon + 1).starts_with("name=systemd:"))
            systemd = line.substr(colon + 1 + std::string_view("name=systemd:").size());
    }
    return systemd;
}

ContainerInPath container_in(std::string_view path) {
    ContainerInPath in;
    std::string_view parent;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        const std::string_view component = path.substr(at, slash - at);
        at = slash + 1;
        if (component.empty()) continue;
        if (std::string found = container_of(component, parent); !found.empty()) {
            in.id = std::move(found);
            in.directory = path.substr(0, slash);
        }
        parent = component;
    }
    return in;
}

std::string container_id(std::string_view path) { return container_in(path).id; }

} // namespace sockscope_detail
