#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "cli/ConsolePresenter.h"
#include "ui/Dialog.h"
#include "ui/Host.h"

namespace veska::cli {
namespace {

using namespace veska::station;

using ui::Event;
using ui::EventKind;

// A presenter writing into two memory streams.
class ConsolePresenterTest : public ::testing::Test {
 protected:
  ~ConsolePresenterTest() override {
    std::fclose(out_);
    std::fclose(err_);
    std::free(outText_);
    std::free(errText_);
  }
  std::string Out() {
    std::fflush(out_);
    return std::string(outText_, outSize_);
  }
  std::string Err() {
    std::fflush(err_);
    return std::string(errText_, errSize_);
  }
  void Present(EventKind kind, int dialog, int id, std::string text = {}, std::int64_t a = 0,
               std::int64_t b = 0) {
    presenter_.Present(Event{kind, dialog, id, std::move(text), {}, a, b});
  }

  char* outText_ = nullptr;
  std::size_t outSize_ = 0;
  char* errText_ = nullptr;
  std::size_t errSize_ = 0;
  std::FILE* out_ = open_memstream(&outText_, &outSize_);
  std::FILE* err_ = open_memstream(&errText_, &errSize_);
  ErrorStream errors_{err_};
  ConsolePresenter presenter_{out_, errors_, "VeskaDownloader", true};
};

constexpr int kMain = app::IDD_DOWNLOADER_DIALOG;
constexpr int kExplorer = app::IDD_TFS_EXPLORER;
constexpr int kDumpArea = app::IDD_DUMP_AREA;

TEST_F(ConsolePresenterTest, MainDialogLogAndFieldsGoWhereTheyAlwaysWent) {
  Present(EventKind::SetText, kMain, app::IDC_LOG, std::string(app::kUsageText));  // not narration
  // An operation that starts its narration afresh replaces the text: it follows on the console.
  Present(EventKind::SetText, kMain, app::IDC_LOG, "\n  * Bootloader Download start!!!!");
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "Try to open COM5\t>");
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "Success!!\n");
  Present(EventKind::SetText, kMain, app::IDC_FILE_NAME, "APPS.img");
  Present(EventKind::SetText, kMain, app::IDC_FILE_SIZE, " ");  // blank: not shown
  Present(EventKind::SetText, kMain, app::IDC_FLASH_ID, "MR7D2P45XT");
  EXPECT_EQ(Out(), "\n  * Bootloader Download start!!!!Try to open COM5\t>Success!!\n");
  EXPECT_EQ(Err(), "File Name: APPS.img\nFlash ID: MR7D2P45XT\n");
}

TEST_F(ConsolePresenterTest, ExplorerNarrativeJoinsTheLogOnStandardOutput) {
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "log\n");
  Present(EventKind::AppendText, kExplorer, app::IDC_EXPLORER_TEXT,
          "\r\n** Mounting TFS system... ");
  Present(EventKind::AppendText, kExplorer, app::IDC_EXPLORER_TEXT, "OK!\r\n");
  // Replacing the pane's text starts a new narration: it follows on the console.
  Present(EventKind::SetText, kExplorer, app::IDC_EXPLORER_TEXT, "\r\nSearching the files... ");
  EXPECT_EQ(Out(), "log\n\r\n** Mounting TFS system... OK!\r\n\r\nSearching the files... ");
  EXPECT_EQ(Err(), "");
}

TEST_F(ConsolePresenterTest, SubDialogControlsWithTheMainDialogsIdsAreNotTakenForIt) {
  for (int dialog : {kExplorer, kDumpArea, app::IDD_ABOUTBOX}) {
    for (int id : {app::IDC_LOG, app::IDC_FLASH_ID, app::IDC_FILE_NAME, app::IDC_FILE_SIZE,
                   app::IDC_CHECKSUM_FIELD}) {
      Present(EventKind::AppendText, dialog, id, "appended");
      Present(EventKind::SetText, dialog, id, "set");
    }
    Present(EventKind::SetRange, dialog, app::IDC_PROGRESS, {}, 0, 10);
    Present(EventKind::SetPos, dialog, app::IDC_PROGRESS, {}, 10);
  }
  // The main dialog's control that shares the narrative pane's id is a button.
  Present(EventKind::AppendText, kMain, app::IDC_EXPLORER_TEXT, "appended");
  Present(EventKind::SetText, kMain, app::IDC_EXPLORER_TEXT, "set");
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(Err(), "");
}

TEST_F(ConsolePresenterTest, BothProgressBarsDrawTheProgressLine) {
  Present(EventKind::SetRange, kMain, app::IDC_PROGRESS, {}, 0, 4096);
  Present(EventKind::SetPos, kMain, app::IDC_PROGRESS, {}, 4096);
  EXPECT_NE(Err().find("4096 / 4096 bytes"), std::string::npos) << Err();
  Present(EventKind::SetRange, kExplorer, app::IDC_EXPLORER_PROGRESS, {}, 0, 8192);
  Present(EventKind::SetPos, kExplorer, app::IDC_EXPLORER_PROGRESS, {}, 8192);
  EXPECT_NE(Err().find("8192 / 8192 bytes"), std::string::npos) << Err();
  // The main dialog's control with the Explorer bar's id is no progress bar.
  const std::size_t before = Err().size();
  Present(EventKind::SetPos, kMain, app::IDC_EXPLORER_PROGRESS, {}, 100);
  EXPECT_EQ(Err().size(), before);
}

// A question nobody answered reads as refused on a bench: say how to answer it. A question the
// user answered on the terminal is not shown twice. The start-up values of the fields are no
// news; what the steps set is.
TEST_F(ConsolePresenterTest, QuestionsAnsweredNoByDefaultSayHowToAnswerYes) {
  presenter_.HintAtYes(true);
  Present(EventKind::MessageBox, kMain, 0, "Do you want it?", ui::MB_YESNO | ui::MB_ICONQUESTION,
          ui::IDNO);
  Present(EventKind::MessageBox, kMain, 0, "Download Finished", ui::MB_OK, ui::IDOK);
  presenter_.SkipNextBox();
  Present(EventKind::MessageBox, kMain, 0, "Asked already", ui::MB_YESNO, ui::IDNO);
  EXPECT_EQ(Err(),
            "[VeskaDownloader] Do you want it?\nveska-cli: answered No; add --yes to answer Yes\n"
            "[VeskaDownloader] Download Finished\n");

  presenter_.ShowFields(false);
  Present(EventKind::SetText, kMain, app::IDC_FLASH_ID, "Disconnect");
  presenter_.ShowFields(true);
  Present(EventKind::SetText, kMain, app::IDC_FLASH_ID, "Disconnect");  // the idle word
  Present(EventKind::SetText, kMain, app::IDC_FLASH_ID, "Connect");
  Present(EventKind::SetText, kMain, app::IDC_FLASH_ID, "Connect");  // no change, no line
  EXPECT_TRUE(Err().ends_with("Download Finished\nFlash ID: Connect\n")) << Err();
}

// Without a terminal a long image would be silent: a line every tenth of the way instead.
TEST_F(ConsolePresenterTest, PlainProgressPrintsALineEveryTenthOfTheWay) {
  presenter_.SetProgressMode(ProgressMode::Plain);
  Present(EventKind::SetRange, kMain, app::IDC_PROGRESS, {}, 0, 1000);
  for (int position = 0; position <= 1000; position += 25) {
    Present(EventKind::SetPos, kMain, app::IDC_PROGRESS, {}, position);
  }
  const std::string err = Err();
  std::size_t lines = 0;
  for (char c : err) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 10u) << err;
  EXPECT_NE(err.find("progress: 10% (100 / 1000 bytes)\n"), std::string::npos) << err;
  EXPECT_TRUE(err.ends_with("progress: 100% (1000 / 1000 bytes)\n")) << err;
  EXPECT_EQ(err.find('\r'), std::string::npos);
  // A new range starts counting again; no progress at all with none.
  Present(EventKind::SetRange, kMain, app::IDC_PROGRESS, {}, 0, 10);
  Present(EventKind::SetPos, kMain, app::IDC_PROGRESS, {}, 5);
  EXPECT_TRUE(Err().ends_with("progress: 50% (5 / 10 bytes)\n")) << Err();
  presenter_.SetProgressMode(ProgressMode::None);
  Present(EventKind::SetPos, kMain, app::IDC_PROGRESS, {}, 10);
  EXPECT_TRUE(Err().ends_with("progress: 50% (5 / 10 bytes)\n")) << Err();
}

// On a terminal shared by the log and the bar, a line the log has only half written is never
// overwritten: the bar goes below it, and the line comes back whole before the log goes on.
TEST_F(ConsolePresenterTest, TheBarNeverEatsAHalfWrittenLogLine) {
  presenter_.SetLogOnSameTerminal(true);
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "done\n     NAND Flash driver\t> > > ");
  Present(EventKind::SetRange, kMain, app::IDC_PROGRESS, {}, 0, 100);
  Present(EventKind::SetPos, kMain, app::IDC_PROGRESS, {}, 40);
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "OK\n");
  const std::string out = Out();
  const std::string err = Err();
  // The bar started on a line of its own, and was cleared and the cursor taken back up.
  EXPECT_TRUE(err.starts_with("\n\r[")) << err;
  EXPECT_TRUE(err.ends_with("\r\033[K\033[A\r")) << err;
  // The half line is written again where it stood, then the log goes on after it.
  EXPECT_EQ(out, "done\n     NAND Flash driver\t> > >      NAND Flash driver\t> > > OK\n");
}

// A field that changes while the log's line is half written waits for the line's end, on a
// terminal shared by both; elsewhere it goes at once.
TEST_F(ConsolePresenterTest, AFieldNeverLandsInTheMiddleOfALogLine) {
  presenter_.SetLogOnSameTerminal(true);
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "     Flash Type Checking\t> > > ");
  Present(EventKind::SetText, kMain, app::IDC_FLASH_ID, "MR7D2P45XT");
  EXPECT_EQ(Err(), "");
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "OK\n     next\t");
  EXPECT_EQ(Err(), "Flash ID: MR7D2P45XT\n");
  EXPECT_EQ(Out(), "     Flash Type Checking\t> > > OK\n     next\t");
  // A run that ends with the line unfinished still shows the field, on a line of its own.
  Present(EventKind::SetText, kMain, app::IDC_FILE_SIZE, "12 bytes");
  presenter_.EndProgressLine();
  EXPECT_TRUE(Err().ends_with("Flash ID: MR7D2P45XT\n\nFile Size: 12 bytes\n")) << Err();
}

// A long wait's count stands below the log's half-written line, redrawn in place; when the wait
// ends, the line comes back whole and the log goes on after it ("OK" never stands alone).
TEST_F(ConsolePresenterTest, AWaitsCountStandsBelowTheHalfWrittenLineUntilTheWaitEnds) {
  presenter_.SetLogOnSameTerminal(true);
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "\tListen for the BOOT signal\t> > > ");
  presenter_.ShowTransient("Waiting for the BOOT signal: 0 s.");
  presenter_.ShowTransient("Waiting for the BOOT signal: 1 s.");
  presenter_.EndTransient();
  Present(EventKind::AppendText, kMain, app::IDC_LOG, "OK\n");
  EXPECT_EQ(Err(),
            "\n\rWaiting for the BOOT signal: 0 s.\033[K\rWaiting for the BOOT signal: 1 s.\033[K"
            "\r\033[K\033[A\r");
  EXPECT_EQ(Out(), "\tListen for the BOOT signal\t> > > \tListen for the BOOT signal\t> > > OK\n");
}

}  // namespace
}  // namespace veska::cli
