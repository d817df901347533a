#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace veska::station {

// The unit serials a bench's slots (a command line's ports) hold: scanned or typed for the
// slot's next phone, held until that phone is served. One unit is on one slot at a time: the same
// serial on two is a scan at the wrong slot or a label printed twice, and either would give two
// phones one history.
//
// Thread safety: every member may be called from any thread.
class UnitSerials {
 public:
  // `names`: each slot's name as the messages give it ("A1", "COM5").
  explicit UnitSerials(std::vector<std::string> names);

  // Takes `raw` as the slot's serial: trimmed of the scanner's line end and spaces, checked
  // (records::UnitText) and refused while another slot holds it. "" when taken (the serial in
  // `serial`; an empty one takes none), else the refusal's words, without the program's name:
  // "A1: the serial has a control character", "unit SN1 is on A2 already".
  [[nodiscard]] std::string Take(std::size_t slot, std::string_view raw, std::string& serial);
  // The slot's serial ("" when none).
  [[nodiscard]] std::string Held(std::size_t slot) const;
  // The slot's unit is done with (served, or the slot stopped): its serial is free again. With
  // `serial`, only while the slot still holds that one (another may have been scanned since).
  void Release(std::size_t slot);
  void Release(std::size_t slot, std::string_view serial);

 private:
  std::vector<std::string> names_;
  mutable std::mutex mutex_;
  std::vector<std::string> held_;
};

}  // namespace veska::station
