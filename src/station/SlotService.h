#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "link/DeviceWatch.h"
#include "station/PassRecorder.h"
#include "station/PhoneRecord.h"

namespace veska::station {

// Whether a device is there now (on Windows a COM port is found only by opening it: any name
// counts as there).
[[nodiscard]] bool DevicePresent(const std::string& device);

// The device a slot's place stands for now: for a hub's port ("usb:LOCATION") whatever is plugged
// in there, else the place's one device (`device`, the place mapped through the settings).
// A hub's port with nothing plugged in stands for its place's own words, which no device has.
[[nodiscard]] std::string DeviceNow(const std::string& place, const std::string& device);
// Whether the device DeviceNow gave for `place` is there.
[[nodiscard]] bool PresentAt(const std::string& place, const std::string& device);

// What one slot of a bench (a port of the command line's) does with phone after phone, for both
// benches: waits for its device, claims it for each phone's whole service, has the host serve
// the phone, and on USB waits for the served phone's device to go and a new one to come, so that
// a phone still plugged in is never served twice. What differs between the benches (their
// sessions, their views, their records and reports) is the host's.
class SlotHost {
 public:
  virtual ~SlotHost() = default;

  // Whether the slot is to stop (Ctrl-C, Stop).
  [[nodiscard]] virtual bool Stopping() const = 0;
  // Waits up to `pause`, or less when the slot is to stop; false once it is.
  virtual bool Rest(std::chrono::milliseconds pause) = 0;
  // The slot's watch of the serial devices, which its stop cancels: the slot sleeps on it while
  // its device is gone, or still holds the phone just served.
  virtual link::DeviceWatch& Watch() = 0;
  // The device the slot's place stands for now.
  [[nodiscard]] virtual std::string Device() = 0;
  // What the slot waits for ("waiting for the port", "waiting for the next phone"); the
  // default words once it waits for the phone itself.
  virtual void Waiting(std::string_view what = "waiting for a phone") = 0;
  // A line of the bench's own about the slot.
  virtual void Say(const std::string& line) = 0;
  // A wait for a device that the stop ended.
  virtual void WaitStopped() {}
  // A pass begins, its device there (or not looked for).
  virtual void PassBegins() {}
  // Serves the phone number `pass` on `device`: its record in `phone`.
  virtual PassEnd ServePhone(int pass, const std::string& device, PhoneRecord& phone) = 0;
  // A phone was served (or failed) with its record; false ends the slot's service.
  virtual bool Served(const PhoneRecord& phone) = 0;
};

struct SlotLoop {
  std::string place;   // the slot's place as the user named it, for the claim and the lines
  std::string where;   // the place as devices are looked for: a hub's "usb:LOCATION" or the device
  bool repeat = true;  // phone after phone; else one pass, its device not waited for
  bool usb = false;    // the phone's own USB port is the device
};

// Serves the slot until the host's stop, its Served() or (without repeat) one phone. Returns the
// worst exit status of its phones.
int ServeSlot(SlotHost& host, const SlotLoop& loop);

}  // namespace veska::station
