#pragma once

#include "app/FlashMap.h"
#include "app/ProcessState.h"
#include "ui/Dialog.h"

namespace veska::dump {

// The "Nand Flash Dump" dialog (template 133): the user picks one area of the dump list.
// Choosing a button sets the whole dump request (first address, end, kind) in the session's
// process state and shows the area's addresses in FROM and TO.
//
// OK stays disabled until an area is chosen, so that no dump asks the phone for nothing. A later
// dump's dialog opens with the area still in force already chosen.
//
// Threads: shown modally from the dump worker; the host runs it on the user-interface thread.
class NandDumpDlg final : public ui::Dialog {
 public:
  explicit NandDumpDlg(app::ProcessState& state) : state_(state) {}

  bool OnInitDialog() override;
  bool OnCommand(int id, ui::Notify code) override;

  // The area of the dump list whose radio button in template 133 is `id` (the button carries
  // the area's caption), or null.
  [[nodiscard]] static const app::DumpArea* AreaOfButton(int id);
  // The area the request fields describe, or null (before the first dump: 0, 0, 0).
  [[nodiscard]] static const app::DumpArea* AreaInForce(const app::ProcessState& state);

 private:
  void ShowArea(const app::DumpArea& area);

  app::ProcessState& state_;
};

}  // namespace veska::dump
