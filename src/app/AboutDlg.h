#pragma once

#include <string>

#include "app/ControlIds.h"
#include "ui/Dialog.h"

namespace veska::app {

// The about box: icon, version text, the loader payloads in use and the folders searched for
// them (a line each), and an OK button.
class AboutDlg final : public ui::Dialog {
 public:
  explicit AboutDlg(std::string payloads) : payloads_(std::move(payloads)) {}

  bool OnInitDialog() override {
    Wnd().SetText(IDC_ABOUT_PAYLOADS, payloads_);
    return true;
  }

 private:
  std::string payloads_;
};

}  // namespace veska::app
