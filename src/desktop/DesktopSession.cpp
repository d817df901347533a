#include "desktop/DesktopSession.h"

#include <cstdio>
#include <utility>

#include "app/HostNotices.h"
#include "link/PortNames.h"
#include "records/Stores.h"

namespace veska::desktop {

namespace {

// The desktop program starts whatever the records' store says of itself: it only tells.
records::Place DesktopPlace(const std::filesystem::path& settingsFile) {
  records::Place place = records::PlaceOf({}, settingsFile);
  place.chosen = false;
  return place;
}

// The phone under way is journaled beside the settings, where this PC's own records database
// lives, wherever the records go; nowhere when they are off.
std::filesystem::path JournalFolder(const std::filesystem::path& settingsFile) {
  if (records::PlaceOf({}, settingsFile).where.empty()) return {};
  const std::filesystem::path folder = settingsFile.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace

void LoadPayloads(payloads::PayloadSet& payloads) {
  payloads = payloads::PayloadSet::Load(payloads::PayloadFolders());
  std::printf("%s\n", payloads.Describe().c_str());
  std::fflush(stdout);
}

std::string PayloadProblems(const payloads::PayloadSet& payloads) {
  std::string problems;
  for (const std::string& problem : payloads.Problems()) problems += problem + "\n";
  return problems;
}

DesktopSession::DesktopSession(StatusWindow& window, app::DownloaderApp& application,
                               app::SessionLog& sessionLog,
                               const std::filesystem::path& settingsFile, std::string programName)
    : window_(window),
      application_(application),
      sessionLog_(sessionLog),
      programName_(std::move(programName)),
      keeper_(DesktopPlace(settingsFile), records::LocalRecordsPath(settingsFile),
              [this](const std::string& line) { Say(line); },
              {records::ClientName("VeskaDownloader " + records::HostName())}),
      journal_(JournalFolder(settingsFile)),
      recorder_(
          {records::HostName(), application.State().payloads.Describe()},
          [this](records::Record record) { keeper_.Keep(std::move(record)); },
          [this](const records::Record& record) { journal_.Write(record); }) {
  (void)keeper_.Start();
  // A settings file is kept in plain text and copied from PC to PC: a password belongs in the
  // password file, which libpq reads for itself.
  if (const records::Place place = records::PlaceOf({}, settingsFile);
      records::IsServerAddress(place.where) && records::HoldsPassword(place.where)) {
#if defined(_WIN32)
    const std::string passwordFile = "%APPDATA%\\postgresql\\pgpass.conf";
#else
    const std::string passwordFile = "~/.pgpass, mode 0600";
#endif
    Say("the password in the settings' Records address is kept in plain text; put it in the "
        "password file (" +
        passwordFile + ") and leave it out of the address");
  }
  // Phones a program killed before their end left under way.
  for (records::Record& record : journal_.TakeLeftOver()) keeper_.Keep(std::move(record));
}

DesktopSession::~DesktopSession() {
  End();
}

void DesktopSession::Attach(app::DownloaderDlg& dlg) {
  // The pane loses the narration to the usage text at once; the file keeps it, and says where
  // it ended and why.
  dlg.SetStopObserver([this](std::string_view operation) {
    sessionLog_.Append(app::StoppedByUserText(operation));
  });
  dlg.Runner().SetObserver(
      [this, &dlg](const app::OperationResult& result) { TakeResult(dlg, result); });
  dlg.Runner().SetRequestObserver([this](app::OperationId id) { recorder_.Pressed(id); });
  dlg.SetEventObserver([this](const app::SessionEvent& event) { TakeEvent(event); });
  // Disconnect or a lost line: the phone is done, and recorded now rather than at the next
  // START or the program's end.
  dlg.SetDisconnectObserver([this] { recorder_.Released(); });
  dlg.SetConfirmErasing(true);
}

void DesktopSession::End() {
  if (ended_) return;
  ended_ = true;
  recorder_.End();
  keeper_.Finish();
  journal_.Remove();
}

// The status line under the window says what the log cannot: a connection whose flash checks
// went unanswered reads as connected there, and a failed port names no cause.
void DesktopSession::TakeResult(app::DownloaderDlg& dlg, const app::OperationResult& result) {
  recorder_.Ended(result, dlg.PortName(),
                  link::DevicePathFor(dlg.PortName(), application_.State().link), dlg.flashReport);
  std::string text = app::ResultStatusText(result, dlg.PortFailureReason());
  const bool said = !text.empty();
  window_.Post([this, text = std::move(text)] {
    if (!window_.MainWindowOpen()) return;
    if (!text.empty()) {
      window_.ShowStatusLine(text);
    } else if (transferShown_) {
      window_.RefreshPortStatus();
    }
    transferShown_ = false;
  });
  if (!said) return;
  // A phone lost midway is said at once, and the window no longer offers what only a connected
  // phone can do.
  if (std::string lost = dlg.LostPhoneReason(result); !lost.empty()) {
    window_.Post([this, &dlg, lost = std::move(lost)] {
      if (window_.MainWindowOpen() && window_.MainWindowVisible()) dlg.OnPhoneLost(lost);
    });
  }
}

// A transfer shows its progress, a read-back its verdict, and a wait for the phone counts its
// seconds on the status line; when the wait ends the port's status returns.
void DesktopSession::TakeEvent(const app::SessionEvent& event) {
  recorder_.Take(event);
  if (const auto* progress = std::get_if<app::Progress>(&event); progress != nullptr) {
    std::string text;
    {
      std::lock_guard lock(transferMutex_);
      text = transfer_.Take(progress->position, progress->upper, progress->newRange);
    }
    if (text.empty()) return;
    window_.Post([this, text = std::move(text)] {
      if (!window_.MainWindowOpen()) return;
      window_.ShowStatusLine(text);
      transferShown_ = true;
    });
    return;
  }
  if (const auto* readBack = std::get_if<app::ImagesReadBack>(&event); readBack != nullptr) {
    window_.Post([this, text = app::ReadBackText(*readBack)] {
      if (!window_.MainWindowOpen()) return;
      window_.ShowStatusLine(text);
      transferShown_ = false;
    });
    return;
  }
  const auto* waiting = std::get_if<app::PhoneWait>(&event);
  if (waiting == nullptr) return;
  window_.Post([this, text = app::PhoneWaitText(*waiting), ended = waiting->ended] {
    if (!window_.MainWindowOpen()) return;
    if (!ended) {
      window_.ShowStatusLine(text);
    } else {
      window_.RefreshPortStatus();
    }
  });
}

void DesktopSession::Say(const std::string& line) {
  std::printf("%s: %s\n", programName_.c_str(), line.c_str());
  std::fflush(stdout);
  window_.Post([this, line] {
    if (window_.MainWindowOpen()) window_.ShowStatusLine(line);
  });
}

}  // namespace veska::desktop
