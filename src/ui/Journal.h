#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace veska::ui {

enum class EventKind {
  SetText,
  Enable,    // a = 1 enabled, 0 disabled
  SetCheck,  // a = state
  AddString,
  ResetContent,
  SetCurSel,  // a = index
  SetRange,   // a = lower, b = upper
  SetPos,     // a = position
  AppendText,
  Focus,
  SystemMenu,  // a = command id (0: separator)
  SetIcon,     // a = icon id, b = 1 big, 0 small
  EndDialog,   // a = result
  MessageBox,  // text, caption, detail; a = type, b = answer
  FileDialog,  // text = filter, caption = initial path, detail = folder to start in; a = flags,
               // b = 1 answered
  ModalBegin,
  ModalEnd,             // a = result
  Sleep,                // a = milliseconds
  SetHorizontalExtent,  // a = pixels
  TreeInsert,           // text; a = new item, b = parent
  TreeSort,             // a = parent whose children were sorted
  TreeExpand,           // a = item
  TreeSelect,           // a = item (TREE_NONE: none)
  TreeDeleteAll,
  // text = the items, a line each: "-" for a separator, else "<command> <text>" and
  // " (disabled)" when greyed; a = command returned
  Menu,
};

// One thing that happened to a headless window or host, in the order it happened.
struct Event {
  EventKind kind = EventKind::SetText;
  int dialog = 0;  // template id of the window (0 for host-wide events)
  int id = 0;      // control id
  std::string text;
  std::string caption;
  std::int64_t a = 0;
  std::int64_t b = 0;
  // A message box's cause shown beside its text (Host::MessageDetail), a file dialog's folder
  // to start in; empty for none.
  std::string detail{};
};

// The ordered record of a headless session, shared by its host and windows.
//
// Thread safety: all members may be called from any thread. The observer runs under the
// journal's lock, so observers see events one at a time in the recorded order; an observer
// must not call back into the journal.
class Journal {
 public:
  using Observer = std::function<void(const Event&)>;

  void Record(Event event);
  [[nodiscard]] std::vector<Event> Events() const;
  void Clear();
  // Off: events reach only the observer (a console run that lasts for days keeps no history).
  void SetRecording(bool on);
  void SetObserver(Observer observer);

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  bool recording_ = true;
  Observer observer_;
};

}  // namespace veska::ui
