// Calls every entry point of the serial port so that the Windows link proves each one defined.
// Run on Windows as `veska_link_check COM3` it also makes a real loop-back round trip; without
// an argument it does nothing.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "link/SerialPort.h"

int main(int argc, char** argv) {
  if (argc < 2) return 0;
  veska::link::LinkState state;
  veska::link::SerialPort port(state);
  port.portName = argv[1];
  port.baudCode = veska::link::BAUDCODE_115200;
  veska::link::PortStatus status = argc > 2 ? port.OpenRetrying() : port.Open();
  std::printf("open %d (%s)\n", status, veska::link::DevicePathFor(port.portName, state).c_str());
  if (status != veska::link::PORT_OK) return 1;

  const std::array<std::uint8_t, 4> sent{0x5A, 0xA5, 0xC9, 0x91};
  std::array<std::uint8_t, 4> received{};
  status = port.WriteFully(sent, 1);
  if (status == veska::link::PORT_OK) status = port.ReadFully(received, 1);
  std::printf("loop-back %d, %s\n", status, received == sent ? "same bytes" : "different bytes");
  std::unique_ptr<veska::link::SerialPort> copy = port.CopyRecord();
  std::printf("holds %d, copy holds %d\n", port.HoldsDevice(), copy->HoldsDevice());
  port.Close();
  return status == veska::link::PORT_OK && !port.IsPortOpen() ? 0 : 1;
}
