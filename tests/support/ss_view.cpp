// SPDX-License-Identifier: MIT
#include "ss_view.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <sys/socket.h>
#include <vector>

namespace sockscope_test {
namespace {

// ss's users:((...),(...)) with its holders lowest pid first, as ours are.
std::string sorted_users(const std::string& users) {
    std::vector<std::string> holders;
    for (std::size_t at = users.find("(\""); at != std::string::npos; at = users.find("(\"", at + 1))
        holders.push_back(users.substr(at, users.find(')', at) + 1 - at));
    const auto pid = [](const std::string& holder) { return std::stol(holder.substr(holder.find("pid=") + 4)); };
    std::sort(holders.begin(), holders.end(), [&](const auto& a, const auto& b) { return pid(a) < pid(b); });
    std::string sorted = "users:(";
    for (std::size_t i = 0; i < holders.size(); ++i) sorted += (i ? "," : "") + holders[i];
    return sorted + ")";
}

// ss's line cut to the fields compared: queues, ends, users, uid, ino, sk,
// v6only (the state and ss's cgroup field left out).
std::string ss_fields(const std::string& line) {
    std::istringstream words(line);
    std::string word, out;
    words >> word; // state
    for (int i = 0; i < 4 && words >> word; ++i) out += (i ? " " : "") + word;
    while (words >> word) {
        if (word.rfind("users:", 0) == 0) out += " " + sorted_users(word);
        else if (word.rfind("uid:", 0) == 0 || word.rfind("ino:", 0) == 0 || word.rfind("sk:", 0) == 0 ||
                 word.rfind("v6only:", 0) == 0)
            out += " " + word;
    }
    return out;
}

} // namespace

std::string command_output(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
        pclose(pipe);
    }
    return output;
}

std::string ss_key(const std::string& line) { return line.substr(0, line.find(" users:")); }

std::map<std::string, std::string> ss_sockets(const std::string& ss_command) {
    std::map<std::string, std::string> found;
    std::istringstream lines(command_output(ss_command));
    for (std::string line; std::getline(lines, line);) {
        const std::string fields = ss_fields(line);
        found[ss_key(fields)] = fields;
    }
    return found;
}

std::string as_ss_writes(const sockscope_snapshot* snapshot, const sockscope_socket* s) {
    // ss brackets IPv6 addresses and writes an unspecified one that takes
    // IPv4 too as "*", and port 0 as "*".
    const auto end = [s](std::string address, unsigned port) {
        if (s->family == AF_INET6) address = address == "::" && !s->v6only ? "*" : "[" + address + "]";
        return address + ":" + (port == 0 ? "*" : std::to_string(port));
    };
    std::ostringstream line;
    line << s->receive_queue << " " << s->send_queue << " " << end(s->local_text, s->local_port) << " "
         << end(s->remote_text, s->remote_port) << " users:(";
    for (std::uint32_t i = 0; i < s->owner_count; ++i) {
        const sockscope_owner* owner = sockscope_owner_at(snapshot, s, i);
        line << (i ? "," : "") << "(\"" << owner->comm << "\",pid=" << owner->pid << ",fd=" << owner->fd << ")";
    }
    line << ")";
    if (s->uid != 0) line << " uid:" << s->uid;
    line << " ino:" << s->inode << " sk:" << std::hex << s->cookie << std::dec;
    if (s->family == AF_INET6 && (s->state == SOCKSCOPE_LISTEN || s->state == SOCKSCOPE_CLOSE))
        line << " v6only:" << unsigned{s->v6only};
    return line.str();
}

} // namespace sockscope_test
