// SPDX-License-Identifier: MIT
// Service names ("ssh", "https") as the system's services database
// (/etc/services, through the C library) numbers them, for filter
// expressions (core/filter_expression.h).
#pragma once

#include <cstdint>
#include <string>

namespace sockscope_detail {

// The port of service `name` (TCP's, else UDP's), in host order; false when
// the database doesn't know the name.
bool service_port(const std::string& name, std::uint16_t& port);

} // namespace sockscope_detail
