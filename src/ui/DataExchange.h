#pragma once

#include "ui/Window.h"

namespace veska::ui {

// Transfers between a dialog's members and its controls, in the direction `save` chooses
// (true: from the controls into the members).

// A radio group's value is the position of its checked button among the radio buttons of the
// group that `firstId` starts, -1 when none is checked. Writing -1 clears the group.
void DdxRadio(Window& window, bool save, int firstId, int& value);

// A check box's value: 0 clear, 1 checked, 2 indeterminate. A value outside 0-2 is written to
// the control as 0.
void DdxCheck(Window& window, bool save, int id, int& value);

}  // namespace veska::ui
