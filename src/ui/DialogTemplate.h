#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace veska::ui {

// What a control is. The desktop host turns each kind into a widget; the headless window only
// needs to know which operations make sense on it.
enum class ControlKind : std::uint8_t {
  GroupBox,
  Static,
  PushButton,
  RadioButton,
  CheckBox,
  Edit,
  RichEdit,
  DropDownList,
  ProgressBar,
  ListBox,
  TreeView,
  Icon,
};

// Style flags of a control, as the template states them.
enum ControlStyle : std::uint32_t {
  STYLE_NONE = 0,
  STYLE_HIDDEN = 1u << 0,           // created without the visible style; never shown
  STYLE_DISABLED = 1u << 1,         // created disabled
  STYLE_READ_ONLY = 1u << 2,        // edits and rich edits
  STYLE_CENTRED = 1u << 3,          // centred text (edits) or caption (group boxes)
  STYLE_GROUP_START = 1u << 4,      // starts a group: radio groups run up to the next one
  STYLE_STATIC_EDGE = 1u << 5,      // a thin sunken border
  STYLE_CLIENT_EDGE = 1u << 6,      // a deeper sunken border
  STYLE_MULTILINE = 1u << 7,        // edits and rich edits
  STYLE_VSCROLL = 1u << 8,          // vertical scroll bar
  STYLE_SMOOTH = 1u << 9,           // progress bar drawn as one bar, not in blocks
  STYLE_KEEP_SELECTION = 1u << 10,  // rich edit keeps its selection visible without focus
  STYLE_DEFAULT_BUTTON = 1u << 11,  // the push button that Enter presses
  // In a resizable dialog: the control takes the width or height the window gains beyond its
  // template (see GrownRect).
  STYLE_STRETCH_WIDTH = 1u << 12,
  STYLE_STRETCH_HEIGHT = 1u << 13,
};

// A rectangle in dialog units: x, y, width, height.
struct DialogRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Controls without an id of their own (labels, group boxes) use this id; they are never
// addressed by id.
inline constexpr int ID_STATIC = -1;

struct ControlTemplate {
  int id = ID_STATIC;
  ControlKind kind = ControlKind::Static;
  std::string_view caption;
  DialogRect rect;
  std::uint32_t style = STYLE_NONE;
  // Items a list gets when the dialog is created (the dialog's initial data).
  std::span<const std::string_view> items = {};

  [[nodiscard]] bool Has(ControlStyle flag) const { return (style & flag) != 0; }
};

// Window styles of the dialog itself.
enum DialogStyle : std::uint32_t {
  DIALOG_NONE = 0,
  DIALOG_SYSTEM_MENU = 1u << 0,
  DIALOG_MINIMIZE_BOX = 1u << 1,
  DIALOG_MODAL_FRAME = 1u << 2,
  DIALOG_APP_WINDOW = 1u << 3,  // shown in the task bar
  // The user may enlarge the window (never below the template's size); the controls follow
  // GrownRect.
  DIALOG_RESIZABLE = 1u << 4,
};

// A dialog as data. The order of `controls` is the template's order: it decides which radio
// buttons belong to a group and so the value a radio group reads as.
struct DialogTemplate {
  int resourceId = 0;
  std::string_view title;
  int width = 0;
  int height = 0;
  std::string_view fontName;
  int fontPointSize = 0;
  std::uint32_t style = DIALOG_NONE;
  std::span<const ControlTemplate> controls;

  // The control with this id, or null. Static controls (ID_STATIC) are never found.
  [[nodiscard]] const ControlTemplate* Find(int id) const;
};

// The radio buttons of the group that the control `firstId` begins, in template order: from
// that control up to (not including) the next control that starts a group. Only radio buttons
// count; other controls inside the range are skipped. Empty when `firstId` is unknown.
[[nodiscard]] std::vector<int> RadioGroupIds(const DialogTemplate& dialog, int firstId);
// The radio buttons of the group that holds the control `id`, as automatic radio buttons clear
// each other: the same walk from the group's start (the nearest control at or before `id` that
// starts a group, else the template's first). Empty when `id` is unknown.
[[nodiscard]] std::vector<int> RadioGroupOf(const DialogTemplate& dialog, int id);

// A control's place in window pixels.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Where the template's `index`th control goes when the window is `dx` and `dy` pixels larger
// than its template, `placed` being where the renderer put it at the template's size. A
// stretching control takes the extra width or height; a control wholly below a control that
// stretches in height moves down with the window's bottom edge, one wholly right of a control
// that stretches in width moves right with its right edge; the rest keep their places. The
// decisions are taken on the template's dialog units, so both renderers take the same ones.
[[nodiscard]] PixelRect GrownRect(const DialogTemplate& dialog, std::size_t index, PixelRect placed,
                                  int dx, int dy);

}  // namespace veska::ui
