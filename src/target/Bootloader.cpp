#include "target/Bootloader.h"

#include <chrono>
#include <span>

#include "app/Printf.h"
#include "link/BaudCodes.h"
#include "link/Wire.h"
#include "target/Connection.h"
#include "target/Loaders.h"

namespace veska::target {

using app::EngineContext;
using app::OperationId;
using app::OperationResult;
using app::Outcome;
using app::WindowState;
using link::PORT_OK;
using namespace std::chrono_literals;

std::span<const app::ImageKind> BootImages() {
  return app::GroupByCode(app::SELECT_BOOTLOADER)->written;
}

OperationResult Erase(const EngineContext& engine, OperationId id, std::uint8_t code,
                      std::string_view doneText) {
  link::SerialPort& port = engine.port;
  app::Narrator& narrator = engine.narrator;
  const bool usb = engine.Usb();
  auto finish = [&engine, &port, id](Outcome outcome, int status, std::string reason = {},
                                     app::Cause cause = {}) {
    port.Close();
    // After Disconnect the window is idle already and expects no report.
    if (engine.Allowed()) engine.narrator.Enter(WindowState::Connected);
    return OperationResult::Ended(id, outcome, status, std::move(reason), std::move(cause));
  };
  if (link::PortStatus opened = link::OpenForLinkMode(port); opened != PORT_OK) {
    if (engine.Allowed()) narrator.Message("Comport Open error!");
    return finish(Outcome::Failed, opened);
  }
  narrator.Log("\n\n  * NAND Flash Erase");
  narrator.Log("\n     Nand Flash Erasing\t\t\t> > > ");
  link::PortStatus sent = PORT_OK;
  if (usb) {
    sent = link::SendPaddedCommand(port, code);
  } else {
    sent = port.WriteFully(std::span(&code, 1), link::COMMAND_TIMEOUT);
  }
  if (sent != PORT_OK) {
    if (usb) narrator.Log("     Send erase command fail!\n");
    return finish(Outcome::Failed, sent);
  }
  std::uint8_t reply = 0;
  const link::PortStatus read = port.ReadFully(std::span(&reply, 1), kEraseReplyFactor);
  if (read != PORT_OK) {
    engine.NoteSilence(read, "the erase's confirmation");
    return finish(Outcome::Failed, read);
  }
  // Any other answer leaves the line ending in "> > > ": the phone did not confirm the erase.
  if (reply != ERASE_DONE) {
    return finish(Outcome::Failed, ERASE_NOT_CONFIRMED,
                  app::Printf("the phone answered 0x%02X instead of confirming the erase (0x%02X)",
                              reply, ERASE_DONE),
                  app::Cause::Refused(reply));
  }
  narrator.Log(doneText);
  return finish(Outcome::Done, 0);
}

int DownloadBootloader(const EngineContext& engine, app::ProcessState& session,
                       const BootloaderInputs& inputs) {
  app::Narrator& narrator = engine.narrator;
  // The ways out before anything was sent leave the window idle again, START included.
  if (!inputs.port.environmentValid) {
    narrator.Enter(WindowState::Idle);
    return CONNECT_INVALID_ENV;
  }
  link::SerialPort& port = engine.port;
  const std::uint8_t chosen =
      PreparePortRecord(port, session, inputs.port.portName, inputs.port.chosenBaudCode);
  if (!link::IsSelectorBaudCode(chosen)) {
    narrator.Enter(WindowState::Idle);
    return link::PORT_BAD_BAUD;
  }
  port.baudCode = link::BAUDCODE_115200;
  if (const link::PortStatus opened = link::OpenForLinkMode(port); opened != PORT_OK) {
    if (engine.Allowed()) {
      narrator.Message("Open Comport Fail!");
      narrator.Enter(WindowState::Idle);
    }
    return opened;
  }
  engine.clock.Sleep(500ms);
  narrator.ReplaceLog("\n  * Bootloader Download start!!!!");
  FlashChecks unused;
  const LoaderInputs loaders{session.payloads, LOADER_BOOTLOADER_DRIVER, chosen};
  if (const link::PortStatus uploaded = UploadLoaders(engine, loaders, unused);
      uploaded != PORT_OK) {
    return uploaded;
  }
  // The bar counts the boot images' bytes together, from 0: the loaders left their own range.
  const auto sizes = inputs.images.Sizes();
  std::uint32_t total = 0;
  for (const app::ImageKind kind : BootImages()) total += sizes[app::KindIndex(kind)];
  narrator.SetProgressRange(total);
  narrator.ResetProgress();
  narrator.SetProgressPos(0);
  for (const app::ImageKind kind : BootImages()) {
    // The transfer's status says why; an image ended otherwise (Disconnect) still failed.
    const download::ImageOutcome image =
        download::DownloadImage(engine, inputs.images, kind, false);
    if (!image.written) return image.status != 0 ? image.status : link::PORT_IO_ERROR;
  }
  narrator.Enter(WindowState::Connected);
  narrator.EnableSelection();
  return 0;
}

}  // namespace veska::target
