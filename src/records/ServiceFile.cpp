#include "records/ServiceFile.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace veska::records {

namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The section [name] of one file; nothing when the file has none (or cannot be read). A line
// longer than libpq reads, or a file of absurd size, is not ours to judge: libpq says so as it
// connects; only the settings' count is bounded here.
std::optional<std::vector<std::pair<std::string, std::string>>> SectionOf(
    const std::filesystem::path& file, std::string_view name) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  constexpr std::size_t kMostSettings = 256;
  std::vector<std::pair<std::string, std::string>> settings;
  bool inside = false;
  bool found = false;
  for (std::string line; std::getline(in, line);) {
    const std::string_view text = Trimmed(line);
    if (text.empty() || text.front() == '#') continue;
    if (text.front() == '[') {
      // The first section of the name rules, as in libpq.
      if (found) break;
      inside = text.size() == name.size() + 2 && text.back() == ']' &&
               text.substr(1, name.size()) == name;
      found = inside;
      continue;
    }
    if (!inside || settings.size() >= kMostSettings) continue;
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    settings.emplace_back(Trimmed(text.substr(0, equals)), Trimmed(text.substr(equals + 1)));
  }
  if (!found) return std::nullopt;
  return settings;
}

std::filesystem::path FromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? std::filesystem::path(value)
                                            : std::filesystem::path();
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ServiceSettings(std::string_view name) {
  if (name.empty()) return {};
  std::filesystem::path own = FromEnvironment("PGSERVICEFILE");
#if defined(_WIN32)
  if (own.empty()) {
    if (const std::filesystem::path data = FromEnvironment("APPDATA"); !data.empty()) {
      own = data / "postgresql" / ".pg_service.conf";
    }
  }
#else
  if (own.empty()) {
    if (const std::filesystem::path home = FromEnvironment("HOME"); !home.empty()) {
      own = home / ".pg_service.conf";
    }
  }
#endif
  if (!own.empty()) {
    if (auto settings = SectionOf(own, name)) return *settings;
  }
  std::filesystem::path system = FromEnvironment("PGSYSCONFDIR");
  // Debian's client keeps its system-wide file there.
  if (system.empty()) system = "/etc/postgresql-common";
  if (auto settings = SectionOf(system / "pg_service.conf", name)) return *settings;
  return {};
}

}  // namespace veska::records
