#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veska::records {

// The settings ("host", "port", ...) libpq's service files give the service `name`, found as
// libpq finds them: PGSERVICEFILE (else ~/.pg_service.conf), then pg_service.conf in
// PGSYSCONFDIR (else this system's PostgreSQL client folder). Empty when no file defines it.
// Read so that the key records wait under names the server a service stands for: libpq expands
// a service only as it connects.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> ServiceSettings(
    std::string_view name);

}  // namespace veska::records
