#include "dump/NandDumpDlg.h"

#include "app/ControlIds.h"
#include "app/Templates.h"

namespace veska::dump {

const app::DumpArea* NandDumpDlg::AreaOfButton(int id) {
  const ui::ControlTemplate* button = app::kDumpAreaDialogTemplate.Find(id);
  if (button == nullptr || button->kind != ui::ControlKind::RadioButton) return nullptr;
  for (const app::DumpArea& area : app::DumpAreas()) {
    if (area.caption == button->caption) return &area;
  }
  return nullptr;
}

const app::DumpArea* NandDumpDlg::AreaInForce(const app::ProcessState& state) {
  for (const app::DumpArea& area : app::DumpAreas()) {
    if (area.from == state.dumpFrom && area.to == state.dumpTo && area.kind == state.dumpAreaKind) {
      return &area;
    }
  }
  return nullptr;
}

bool NandDumpDlg::OnInitDialog() {
  const app::DumpArea* inForce = AreaInForce(state_);
  Wnd().Enable(ui::IDOK, inForce != nullptr);
  if (inForce != nullptr) {
    Wnd().SetCheck(app::DumpAreaButton(*inForce), 1);
    ShowArea(*inForce);
  }
  return true;
}

bool NandDumpDlg::OnCommand(int id, ui::Notify code) {
  if (code != ui::Notify::Clicked) return false;
  const app::DumpArea* area = AreaOfButton(id);
  if (area == nullptr) return false;
  state_.dumpFrom = area->from;
  state_.dumpTo = area->to;
  state_.dumpAreaKind = area->kind;
  ShowArea(*area);
  Wnd().Enable(ui::IDOK, true);
  return true;
}

void NandDumpDlg::ShowArea(const app::DumpArea& area) {
  Wnd().SetText(app::IDC_DUMP_FROM, area.fromText);
  Wnd().SetText(app::IDC_DUMP_TO, area.toText);
}

}  // namespace veska::dump
