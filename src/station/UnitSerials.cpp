#include "station/UnitSerials.h"

#include <utility>

#include "records/Record.h"

namespace veska::station {

UnitSerials::UnitSerials(std::vector<std::string> names)
    : names_(std::move(names)), held_(names_.size()) {}

std::string UnitSerials::Take(std::size_t slot, std::string_view raw, std::string& serial) {
  serial.clear();
  if (slot >= names_.size()) return "no such slot";
  std::string text;
  std::string problem;
  if (!records::UnitText(raw, text, problem)) return names_[slot] + ": the serial " + problem;
  std::lock_guard lock(mutex_);
  if (!text.empty()) {
    for (std::size_t other = 0; other < held_.size(); ++other) {
      if (other != slot && held_[other] == text) {
        return "unit " + text + " is on " + names_[other] + " already";
      }
    }
  }
  held_[slot] = text;
  serial = std::move(text);
  return "";
}

std::string UnitSerials::Held(std::size_t slot) const {
  std::lock_guard lock(mutex_);
  return slot < held_.size() ? held_[slot] : std::string();
}

void UnitSerials::Release(std::size_t slot) {
  std::lock_guard lock(mutex_);
  if (slot < held_.size()) held_[slot].clear();
}

void UnitSerials::Release(std::size_t slot, std::string_view serial) {
  std::lock_guard lock(mutex_);
  if (slot < held_.size() && held_[slot] == serial) held_[slot].clear();
}

}  // namespace veska::station
