#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/Cause.h"
#include "app/FlashMap.h"
#include "app/HostNotices.h"
#include "link/SerialPort.h"
#include "link/Sinks.h"
#include "ui/Host.h"

namespace veska::app {

// What the exchanges with the phone (the engines) need besides their inputs: the port, a clock
// and a narrator. An engine knows no dialog and reads no control; whoever starts it reads the
// controls first, on the user-interface thread, and hands the values in.

// Time as the engines see it: the pauses the phone needs between stages and a millisecond
// count for elapsed times. A host scales the pauses in tests.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
  [[nodiscard]] virtual std::uint64_t TickCount() const = 0;
};

// The main window's control states, as an operation moves between them.
enum class WindowState {
  Idle,       // START is offered again: the phone must restart before anything else
  Busy,       // an operation holds the phone; only Disconnect is offered
  Connected,  // the operations a connected phone offers
};

// One image a download wrote (or failed to write), for callers that keep a record of each
// phone (the command line's bench report).
struct WrittenImage {
  ImageKind kind = ImageKind::Apps;
  std::string path;
  std::uint64_t size = 0;
  std::optional<std::uint32_t> address;  // none for the file systems
  double seconds = 0.0;
  bool written = false;
};

// An image a download starts to write (WrittenImage says how it ended).
struct ImageBegan {
  ImageKind kind = ImageKind::Apps;
  std::string path;
  std::uint32_t size = 0;
  std::optional<std::uint32_t> address;  // none for the file systems
};

// The written images read back from the flash and compared with their files.
// Told twice: as the read-back begins (`ended` false), and once it has ended, with its verdict
// and its time, which no elapsed line of the log counts.
struct ImagesReadBack {
  std::vector<ImageKind> images;  // those with a flash address
  bool ended = false;
  bool matched = false;
  double seconds = 0.0;
};

// The flash the phone reported while START ran: its bad-block pairs (primary, spare) when the
// list arrived whole.
struct FlashReport {
  bool badBlocksKnown = false;
  // The bad-block list went on past a pair for every block of the flash (the checks failed).
  bool badBlockListTooLong = false;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> badBlocks;
};

// What an engine tells the user, in the order it happens: the log pane's text, the information
// fields, the progress bar, message boxes (a question's answer comes back), the long waits for
// the phone and the control states. The dialog's narrator maps each call onto its window, so
// that the window and the log look exactly as the engine narrates; a test's narrator records.
//
// Threads: called on the engine's thread (a worker); an implementation that shows a window
// hands each call to the user-interface thread and returns once it has been shown, so that
// the log keeps the engine's order.
class Narrator : public link::ProgressSink {
 public:
  // The log pane: `text` appended at the end, or put in place of the whole text.
  virtual void Log(std::string_view text) = 0;
  virtual void ReplaceLog(std::string_view text) = 0;

  // The information fields.
  virtual void ShowFlashId(std::string_view text) = 0;
  // The phone acknowledged the start: the Flash ID box says "Connect" until its flash answers.
  virtual void PhoneAnswered() = 0;
  virtual void ShowFileName(std::string_view path) = 0;
  virtual void ShowFileSize(std::uint32_t size) = 0;  // "<n> bytes"
  virtual void ShowChecksum(std::uint32_t crc) = 0;   // "0x%08X"
  // Between the images of one download: the size, name and checksum fields go blank.
  virtual void ClearImageFields() = 0;

  // The progress bar runs from 0 to `upper`. The narrator counts the bytes an engine reports
  // with AddProgress (link::ProgressSink) and shows the count; ResetProgress starts it at 0
  // again without moving the bar.
  virtual void SetProgressRange(std::uint32_t upper) = 0;
  virtual void SetProgressPos(std::uint32_t position) = 0;
  virtual void ResetProgress() = 0;

  // A message box: the answer (ui::IDOK, ui::IDYES, ...) of the button pressed.
  virtual int Message(std::string_view text, std::string_view caption = {},
                      unsigned style = ui::MB_OK) = 0;

  // A wait for the phone that may last minutes: as it begins, about once a second, as it ends.
  virtual void ReportWait(const PhoneWait& wait) = 0;

  // The control states. EnableSelection offers the download selection again.
  virtual void Enter(WindowState state) = 0;
  virtual void EnableSelection() = 0;

  // An image a download starts, how it ended (written or not), and the read-back of what a
  // download wrote.
  virtual void StartImage(const ImageBegan& image) = 0;
  virtual void ImageEnded(const WrittenImage& image) = 0;
  virtual void ReadBack(const ImagesReadBack& readBack) = 0;
  // The operation's outcome is decided (everything it had to write is written): what it still
  // does (a notice, a reboot request, the control states) cannot undo that, and a Disconnect
  // from now on stops nothing.
  virtual void OutcomeDecided() {}
};

// Hears the engines and shows nothing, answering every message box OK; its clock does not
// sleep. Programs without a window (the benchmarks) use it as it is; recorders override the
// few calls they keep.
class QuietNarrator : public Narrator, public Clock {
 public:
  void Log(std::string_view) override {}
  void ReplaceLog(std::string_view) override {}
  void ShowFlashId(std::string_view) override {}
  void PhoneAnswered() override {}
  void ShowFileName(std::string_view) override {}
  void ShowFileSize(std::uint32_t) override {}
  void ShowChecksum(std::uint32_t) override {}
  void ClearImageFields() override {}
  void SetProgressRange(std::uint32_t) override {}
  void SetProgressPos(std::uint32_t) override {}
  void ResetProgress() override {}
  void AddProgress(std::size_t) override {}
  int Message(std::string_view, std::string_view, unsigned) override { return ui::IDOK; }
  void ReportWait(const PhoneWait&) override {}
  void Enter(WindowState) override {}
  void EnableSelection() override {}
  void StartImage(const ImageBegan&) override {}
  void ImageEnded(const WrittenImage&) override {}
  void ReadBack(const ImagesReadBack&) override {}
  void Sleep(std::chrono::milliseconds) override {}
  [[nodiscard]] std::uint64_t TickCount() const override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
};

// The port, clock and narrator one engine runs with, and where it notes why it failed. The
// port's state (link::LinkState) tells the link mode, the transfer buffer and whether
// Disconnect came (openAllowed).
struct EngineContext {
  link::SerialPort& port;
  Narrator& narrator;
  Clock& clock;
  CauseRecorder& causes;

  [[nodiscard]] link::LinkState& Link() const { return port.State(); }
  [[nodiscard]] bool Usb() const { return Link().linkMode.load() == link::LINK_USB; }
  // False once Disconnect came: the user expects no more reports of the operation.
  [[nodiscard]] bool Allowed() const { return Link().openAllowed.load(); }
  // The line that says what was awaited when the phone fell silent for the reply time-out,
  // then `status` unchanged. Every silence is noted as the cause.
  int Awaited(int status, std::string_view awaited) const {
    if (status == link::PORT_NO_REPLY) narrator.Log(link::NoReplyText(Link(), awaited));
    NoteSilence(status, awaited);
    return status;
  }
  // Notes a silence (`status` PORT_NO_REPLY or PORT_TIMEOUT) as the cause, without a line.
  void NoteSilence(int status, std::string_view awaited) const {
    if (status == link::PORT_NO_REPLY) {
      causes.Note(Cause::NoReplyTo(std::string(awaited), Link().replyTimeout));
    } else if (status == link::PORT_TIMEOUT) {
      causes.Note(Cause::NoReplyTo(std::string(awaited), std::chrono::milliseconds{0}));
    }
  }
  // Notes that the phone answered `code` where something else was asked for.
  void NoteRefusal(int code) const { causes.Note(Cause::Refused(code)); }
};

}  // namespace veska::app
