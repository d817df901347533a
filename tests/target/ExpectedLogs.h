#pragma once

#include <string>
#include <string_view>

namespace veska::target::testing {

// The log of a UART connection to a phone that answers every step, with no bad blocks: what both
// programs show, byte for byte.
inline std::string FullUartConnectionLog(std::string_view port) {
  return "\n  * Connecting to target phone"
         "\n     Try to open " +
         std::string(port) +
         "\t>"
         "Success!!\n"
         "\n   - Turn on the target phone immediately!!!!\n"
         "      Listen for the BOOT signal\t\t\t> > > OK\n"
         "      Send the Download start signal\t\t> > > OK\n"
         "      Listen for the Download start ACK signal\t> > > OK\n"
         "\n\n  * NAND Flash Driver Download"
         "\n     preloader downloading\t\t\t> > > OK\n"
         "     NAND Flash driver downloading\t\t> > > OK\n"
         "     Flash Type Checking\t\t\t> > > OK\n"
         "      NAND Bad block check\t\t\t> > > Not found\n"
         "OK\n"
         "\n     UART Download Mode\t> > > "
         "Available\n\n";
}

}  // namespace veska::target::testing
