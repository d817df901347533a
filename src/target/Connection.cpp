#include "target/Connection.h"

#include <chrono>

#include "app/ControlIds.h"
#include "app/Printf.h"
#include "link/BaudCodes.h"
#include "target/Loaders.h"

namespace veska::target {

using app::DownloaderDlg;
using app::Printf;
using link::PORT_OK;
using link::SerialPort;

namespace {

constexpr std::uint8_t kReadFactorBoot = 8;  // about 1600 empty reads while the phone is off
constexpr std::uint8_t kReadFactorAck = 1;

bool IsSelectableBaud(std::uint8_t code) {
  for (std::uint8_t selectable : link::kSelectorBaudCodes) {
    if (code == selectable) return true;
  }
  return false;
}

bool ReadByte(SerialPort& port, std::uint8_t factor, std::uint8_t& byte) {
  std::uint8_t received = 0;
  if (port.ReadFully(std::span(&received, 1), factor) != PORT_OK) return false;
  byte = received;
  return true;
}

}  // namespace

std::uint8_t SelectedBaudCode(DownloaderDlg& dlg) {
  const int index = dlg.Wnd().GetCurSel(app::IDC_BAUD);
  if (index < 0 || index >= static_cast<int>(std::size(link::kSelectorBaudCodes))) return 0;
  return link::kSelectorBaudCodes[index];
}

void AddOperations(app::DlgOperations& operations) {
  operations.start = OnStart;
}

void OnStart(DownloaderDlg& dlg) {
  dlg.EnterBusyState();
  dlg.UpdateData(true);
  if (dlg.linkType == 0) dlg.State().link.linkMode = link::LINK_UART;
  if (dlg.linkType == 1) dlg.State().link.linkMode = link::LINK_USB;
  if (dlg.linkType == -1) {
    dlg.Host().MessageBox(&dlg.Wnd(), "Select a comm type by USB or by UART.\r\nTry again!!");
    dlg.EnterIdleState();
    return;
  }
  dlg.Wnd().Enable(app::IDC_UART, false);
  dlg.Wnd().Enable(app::IDC_USB, false);
  const std::uint32_t generation = dlg.State().link.disconnects;
  dlg.Host().StartWorker(ui::ThreadPriority::Highest, [&dlg, generation](std::stop_token) {
    const auto operation = dlg.State().BeginWorker(generation);
    if (operation.owns_lock()) ConnectThread(dlg);
  });
}

int ConnectThread(DownloaderDlg& dlg) {
  dlg.AppendLog("\n  * Connecting to target phone");
  dlg.AppendLog(Printf("\n     Try to open COM%d\t>", dlg.portIndex + 1));
  const ConnectStatus status = Handshake(dlg);
  dlg.connectStatus = status;
  ReportConnectStatus(dlg, status);
  return 1;
}

ConnectStatus Handshake(DownloaderDlg& dlg) {
  dlg.EnterBusyState();
  if (dlg.portIndex == -1 && dlg.Wnd().GetCurSel(app::IDC_BAUD) == 0) return CONNECT_INVALID_ENV;

  SerialPort& port = dlg.port;
  app::ProcessState& state = dlg.State();
  const bool usb = state.link.linkMode == link::LINK_USB;
  port.portName = link::ComName(dlg.portIndex + 1);
  port.baudCode = SelectedBaudCode(dlg);
  state.sharedPort = port.CopyRecord();
  const std::uint8_t chosenCode = port.baudCode;

  ConnectStatus status = CONNECT_OK;
  std::uint8_t startByte = 0;
  std::uint8_t last = 0xFF;
  std::uint8_t ack = 0xFF;

  enum class Step { Listen, Send, AckFailed, Loaders, End };
  Step step = Step::End;

  if (!IsSelectableBaud(chosenCode)) {
    status = CONNECT_BAD_BAUD;
  } else {
    // The handshake always runs at 115200 bit/s; the loader switches to the chosen rate later.
    port.baudCode = link::BAUDCODE_115200;
    if (link::OpenForLinkMode(port) != PORT_OK) {
      dlg.AppendLog(" Fail\n");
      return CONNECT_COMM_ERROR;
    }
    dlg.AppendLog("Success!!\n");
    if (usb) {
      startByte = START_USB;
      step = Step::Send;
    } else {
      dlg.AppendLog("\n   - Turn on the target phone immediately!!!!\n");
      dlg.AppendLog("      Listen for the BOOT signal\t\t\t> > > ");
      step = Step::Listen;
    }
  }

  while (step != Step::End) {
    switch (step) {
      case Step::Listen: {
        last = 0xFF;
        for (;;) {
          if (!ReadByte(port, kReadFactorBoot, last)) {
            if (last == 0xFF) {
              dlg.AppendLog("FAIL\n");
              dlg.AppendLog("      (Check Comport connection & Bootloader existence)\n");
              status = CONNECT_TIMEOUT;
            } else {
              status = CONNECT_WRONG_CHAR;
              dlg.AppendLog(Printf("Wrong code! 0x%x has come.", last));
            }
            step = Step::End;
            break;
          }
          if (last == BOOT_SIGNAL) {
            dlg.AppendLog("OK\n");
            startByte = START_UART;
            step = Step::Send;
            break;
          }
          if (last == BOOT_SIGNAL_RETRY) {
            dlg.AppendLog("OK\n");
            startByte = BOOT_SIGNAL_RETRY;
            state.bootRetryAllowed = true;
            step = Step::Send;
            break;
          }
          if (last == BOOT_IDLE) last = 0xFF;  // zero bytes are line noise, never a wrong code
        }
        break;
      }

      case Step::Send: {
        dlg.AppendLog("      Send the Download start signal\t\t> > > ");
        std::size_t put = 0;
        if (port.WriteSome(std::span(&startByte, 1), put) != PORT_OK || put != 1) {
          dlg.AppendLog("FAIL\n");
          status = CONNECT_COMM_ERROR;
          step = Step::End;
          break;
        }
        dlg.AppendLog("OK\n");
        ack = 0xFF;
        dlg.AppendLog("      Listen for the Download start ACK signal\t> > > ");
        step = Step::AckFailed;
        while (ReadByte(port, kReadFactorAck, ack)) {
          if (usb && ack == START_USB) {
            // USB: the boot ROM itself takes the images; no loader is sent.
            port.Close();
            port.baudCode = chosenCode;
            dlg.AppendLog("OK\n\n      USB Download Mode\t> > > ");
            dlg.Wnd().SetText(app::IDC_FLASH_ID, "Connect");
            return CONNECT_OK;
          }
          if (!usb && (ack == START_UART || ack == BOOT_SIGNAL_RETRY)) {
            dlg.AppendLog("OK\n");
            dlg.Wnd().SetText(app::IDC_FLASH_ID, "Connect");
            dlg.Host().Sleep(std::chrono::milliseconds(200));
            step = Step::Loaders;
            break;
          }
        }
        break;
      }

      case Step::AckFailed: {
        if (ack == 0xFF) {
          dlg.AppendLog("Timeout\n");
          status = CONNECT_TIMEOUT;
          step = Step::End;
        } else if (ack == START_UART || ack == BOOT_SIGNAL_RETRY) {
          step = Step::Loaders;  // only on the USB link, where these bytes were skipped
        } else if (!state.bootRetryAllowed) {
          status = CONNECT_WRONG_CHAR;
          step = Step::End;
        } else {
          state.bootRetryAllowed = false;
          dlg.AppendLog("Try again\n");
          if (ack == BOOT_SIGNAL) {
            startByte = START_UART;
            step = Step::Send;
          } else {
            dlg.AppendLog("      Listen for the BOOT signal\t\t\t> > > ");
            step = Step::Listen;
          }
        }
        break;
      }

      case Step::Loaders: {
        if (UploadLoaders(dlg, port, LOADER_NAND_FLASH_DRIVER) != PORT_OK) {
          dlg.AppendLog("\n      Loader download fail!\n ");
          status = CONNECT_LOADER_FAILED;
          step = Step::End;
          break;
        }
        dlg.AppendLog("OK\n");
        dlg.AppendLog("\n     UART Download Mode\t> > > ");
        return CONNECT_OK;
      }

      case Step::End:
        break;
    }
  }

  dlg.EnterIdleState();
  port.Close();
  return status;
}

void ReportConnectStatus(DownloaderDlg& dlg, ConnectStatus status) {
  if (!dlg.State().link.openAllowed) {
    // Disconnect ended the connection: the failure it caused is no news to the user.
    dlg.EnterIdleState();
    return;
  }
  const char* text = nullptr;
  switch (status) {
    case CONNECT_OK:
      dlg.AppendLog("Available\n\n");
      dlg.EnterConnectedState();
      return;
    case CONNECT_TIMEOUT:
      text = "Timeout : No Response at the target phone";
      break;
    case CONNECT_BAD_BAUD:
      text = "Wrong BaudRate";
      break;
    case CONNECT_COMM_ERROR:
      text = "Comm Error";
      break;
    case CONNECT_WRONG_CHAR:
      text = "Received Wrong Char from MS";
      break;
    case CONNECT_INVALID_ENV:
      text = "Invalid Env";
      break;
    case CONNECT_LOADER_FAILED:
      text = "Downloading loader fail";
      break;
  }
  if (text == nullptr) return;
  dlg.Host().MessageBox(&dlg.Wnd(), text, "Failure", ui::MB_OK);
  dlg.EnterIdleState();
}

}  // namespace veska::target
