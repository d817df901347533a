#include "win32gui/Win32Window.h"

#include <algorithm>

#include "ui/TextLimit.h"
#include "ui/TreeOrder.h"
#include "win32gui/Text.h"

namespace veska::win32gui {

namespace {

constexpr wchar_t kWindowClass[] = L"VeskaDialog";
// The id statics carry, as resource compilers give them.
constexpr int kStaticId = 0xFFFF;
// The timer that looks for devices no driver announced.
constexpr UINT_PTR kDevicePollTimer = 1;

// The rich edit's class when its library is there; a multi-line edit stands in otherwise.
const wchar_t* RichEditClass() {
  static const bool loaded = LoadLibraryW(L"Msftedit.dll") != nullptr;
  return loaded ? MSFTEDIT_CLASS : L"EDIT";
}

void RegisterWindowClass(WNDPROC procedure) {
  static const bool registered = [procedure] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0;
  }();
  (void)registered;
}

FontHandle DialogFont(const ui::DialogTemplate& dialog) {
  return DialogFontOf(dialog.fontName, dialog.fontPointSize > 0 ? dialog.fontPointSize : 8);
}

DialogUnits MeasureUnits(HFONT font) {
  const ScreenDc dc(font);
  SIZE letters{};
  static constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  GetTextExtentPoint32W(dc.Get(), kLetters, 52, &letters);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc.Get(), &metrics);
  return DialogUnits{(letters.cx / 26 + 1) / 2, static_cast<int>(metrics.tmHeight)};
}

DWORD DialogStyle(const ui::DialogTemplate& dialog) {
  // No WS_CLIPCHILDREN: a group box paints only its frame, and its inside is the dialog's face.
  DWORD style = WS_POPUP | WS_CAPTION;
  if ((dialog.style & ui::DIALOG_SYSTEM_MENU) != 0) style |= WS_SYSMENU;
  if ((dialog.style & ui::DIALOG_MINIMIZE_BOX) != 0) style |= WS_MINIMIZEBOX;
  if ((dialog.style & ui::DIALOG_RESIZABLE) != 0) style |= WS_THICKFRAME | WS_MAXIMIZEBOX;
  return style;
}

DWORD DialogExStyle(const ui::DialogTemplate& dialog) {
  DWORD style = WS_EX_CONTROLPARENT;
  if ((dialog.style & ui::DIALOG_MODAL_FRAME) != 0) style |= WS_EX_DLGMODALFRAME;
  if ((dialog.style & ui::DIALOG_APP_WINDOW) != 0) style |= WS_EX_APPWINDOW;
  return style;
}

struct ControlClass {
  const wchar_t* name;
  DWORD style;
  DWORD exStyle;
};

DWORD EditStyle(const ui::ControlTemplate& tmpl) {
  DWORD style = WS_TABSTOP;
  if (tmpl.Has(ui::STYLE_READ_ONLY)) style |= ES_READONLY;
  if (tmpl.Has(ui::STYLE_CENTRED)) style |= ES_CENTER;
  if (tmpl.Has(ui::STYLE_MULTILINE)) {
    style |= ES_MULTILINE | ES_AUTOVSCROLL;
  } else {
    style |= ES_AUTOHSCROLL;
  }
  if (tmpl.Has(ui::STYLE_VSCROLL)) style |= WS_VSCROLL;
  if (tmpl.Has(ui::STYLE_KEEP_SELECTION)) style |= ES_NOHIDESEL;
  return style;
}

ControlClass ClassOf(const ui::ControlTemplate& tmpl) {
  using enum ui::ControlKind;
  switch (tmpl.kind) {
    case GroupBox:
      return {L"BUTTON",
              static_cast<DWORD>(BS_GROUPBOX) |
                  (tmpl.Has(ui::STYLE_CENTRED) ? static_cast<DWORD>(BS_CENTER) : 0),
              0};
    case Static:
      // No template label carries a mnemonic, and a text naming a folder may hold an ampersand.
      return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case Icon:
      return {L"STATIC", SS_ICON, 0};
    case PushButton:
      return {L"BUTTON",
              static_cast<DWORD>(tmpl.Has(ui::STYLE_DEFAULT_BUTTON) ? BS_DEFPUSHBUTTON
                                                                    : BS_PUSHBUTTON) |
                  WS_TABSTOP,
              0};
    case RadioButton:
      return {L"BUTTON", static_cast<DWORD>(BS_AUTORADIOBUTTON), 0};
    case CheckBox:
      return {L"BUTTON", static_cast<DWORD>(BS_AUTOCHECKBOX) | WS_TABSTOP, 0};
    case Edit:
      return {L"EDIT", EditStyle(tmpl), WS_EX_CLIENTEDGE};
    case RichEdit:
      return {RichEditClass(), EditStyle(tmpl), WS_EX_CLIENTEDGE};
    case DropDownList:
      // Drawn here, so that an item can show in bold; the control keeps the texts.
      return {L"COMBOBOX",
              CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP, 0};
    case ProgressBar:
      return {PROGRESS_CLASSW, tmpl.Has(ui::STYLE_SMOOTH) ? static_cast<DWORD>(PBS_SMOOTH) : 0, 0};
    case ListBox:
      return {L"LISTBOX", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_HSCROLL | WS_VSCROLL | WS_TABSTOP,
              0};
    case TreeView:
      return {WC_TREEVIEWW,
              TVS_HASLINES | TVS_HASBUTTONS | TVS_LINESATROOT | TVS_SHOWSELALWAYS | WS_TABSTOP, 0};
  }
  return {L"STATIC", 0, 0};
}

bool IsRichEdit(HWND edit) {
  wchar_t name[32] = {};
  GetClassNameW(edit, name, 32);
  // Class names are compared without case: the class registers itself as "RichEdit50W".
  return lstrcmpiW(name, MSFTEDIT_CLASS) == 0;
}

// The text as the control stores it, so that its indexes are the control's positions: a rich
// edit keeps a line end as one "\r", an edit as "\r\n".
std::wstring StoredText(HWND edit) {
  std::wstring text;
  if (IsRichEdit(edit)) {
    GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, 1200};
    const LRESULT size =
        SendMessageW(edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
    text.assign(static_cast<std::size_t>(std::max<LRESULT>(size, 0)) + 1, L'\0');
    GETTEXTEX get{static_cast<DWORD>(text.size() * sizeof(wchar_t)), GT_DEFAULT, 1200, nullptr,
                  nullptr};
    const LRESULT copied = SendMessageW(edit, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&get),
                                        reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(std::max<LRESULT>(copied, 0)));
    return text;
  }
  const int length = GetWindowTextLengthW(edit);
  text.assign(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(std::max(GetWindowTextW(edit, text.data(), length + 1), 0)));
  return text;
}

// The text's length in the control's positions, without copying the text.
LPARAM StoredLength(HWND edit) {
  if (!IsRichEdit(edit)) return GetWindowTextLengthW(edit);
  GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, 1200};
  return SendMessageW(edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
}

void MoveCaretToEnd(HWND edit) {
  const LPARAM end = StoredLength(edit);
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
}

void ScrollToEnd(HWND edit) {
  MoveCaretToEnd(edit);
  SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

FontHandle BoldFont(HFONT font) {
  LOGFONTW description{};
  GetObjectW(font, sizeof(description), &description);
  description.lfWeight = FW_BOLD;
  return FontHandle(CreateFontIndirectW(&description));
}

int PointsOf(const ui::DialogTemplate& dialog) {
  return dialog.fontPointSize > 0 ? dialog.fontPointSize : 8;
}

bool IsFixedPitch(HFONT font) {
  const ScreenDc dc(font);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc.Get(), &metrics);
  // The bit's name says the opposite of what it means: set for a variable pitch.
  return (metrics.tmPitchAndFamily & TMPF_FIXED_PITCH) == 0;
}

// A fixed-pitch font of `points`: the first of the families known to be one that the system
// really resolves to a fixed pitch; empty when none does.
FontHandle FixedPitchFont(int points) {
  const HDC screen = GetDC(nullptr);
  const int height = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  for (const wchar_t* face : {L"Consolas", L"Courier New", L"Lucida Console", L"Courier"}) {
    FontHandle font(CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                FIXED_PITCH | FF_MODERN, face));
    if (font && IsFixedPitch(font.get())) return font;
  }
  return {};
}

// Tab stops every eight characters of the control's font, so that the log's columns line up.
void SetEightCharacterTabs(HWND edit, HFONT font) {
  if (!IsRichEdit(edit)) {
    // Counted in quarters of the font's average width, which a fixed-pitch font's space is.
    const int stop = 8 * 4;
    SendMessageW(edit, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&stop));
    return;
  }
  const ScreenDc dc(font);
  SIZE space{};
  GetTextExtentPoint32W(dc.Get(), L" ", 1, &space);
  const int twips = MulDiv(8 * space.cx, 1440, GetDeviceCaps(dc.Get(), LOGPIXELSX));
  PARAFORMAT2 format{};
  format.cbSize = sizeof(format);
  format.dwMask = PFM_TABSTOPS;
  format.cTabCount = MAX_TAB_STOPS;
  for (int i = 0; i < MAX_TAB_STOPS; ++i) format.rgxTabs[i] = (i + 1) * twips;
  // Every paragraph; those added later take the format of the one they split.
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SendMessageW(edit, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&format));
  SendMessageW(edit, EM_SETSEL, start, static_cast<LPARAM>(end));
}

// The program's icon: resource 128 when the executable carries one, the system's otherwise.
HICON ProgramIcon(int size) {
  auto* icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128),
                                             IMAGE_ICON, size, size, LR_SHARED));
  return icon != nullptr ? icon : LoadIconW(nullptr, IDI_APPLICATION);
}

}  // namespace

FontHandle DialogFontOf(std::string_view face, int points) {
  const HDC screen = GetDC(nullptr);
  const int height = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return FontHandle(CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE, Wide(face).c_str()));
}

DialogUnits MeasureDialogUnits(HFONT font) {
  return MeasureUnits(font);
}

FontHandle FixedPitchFontOf(int points) {
  return FixedPitchFont(points);
}

Win32Window::Win32Window(const ui::DialogTemplate& dialog, ui::Dialog& handler, HWND owner)
    : template_(dialog),
      handler_(handler),
      owner_(owner),
      thread_(GetCurrentThreadId()),
      font_(DialogFont(dialog)),
      units_(MeasureUnits(font_.get())),
      boldFont_(BoldFont(font_.get())),
      clientHeight_(units_.Y(dialog.height)) {
  RegisterWindowClass(&WindowProc);
  RECT frame{0, 0, units_.X(dialog.width), units_.Y(dialog.height)};
  AdjustWindowRectEx(&frame, DialogStyle(dialog), FALSE, DialogExStyle(dialog));
  HWND window =
      CreateWindowExW(DialogExStyle(dialog), kWindowClass, Wide(dialog.title).c_str(),
                      DialogStyle(dialog), CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                      frame.bottom - frame.top, owner, nullptr, GetModuleHandleW(nullptr), this);
  window_.reset(window);
  SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  Build();
}

Win32Window::~Win32Window() {
  // The window goes before the font its controls draw with.
  if (window_) SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
  toolTips_.reset();
  window_.reset();
}

void Win32Window::Build() {
  for (const ui::ControlTemplate& tmpl : template_.controls) {
    HWND control = MakeControl(tmpl);
    placed_.push_back(control);
    placedRects_.push_back(ui::PixelRect{units_.X(tmpl.rect.x), units_.Y(tmpl.rect.y),
                                         units_.X(tmpl.rect.width), units_.Y(tmpl.rect.height)});
    if (control == nullptr) continue;
    if (tmpl.id != ui::ID_STATIC) controls_[tmpl.id] = control;
    if (tmpl.Has(ui::STYLE_DEFAULT_BUTTON)) defaultButton_ = tmpl.id;
  }
}

HWND Win32Window::MakeControl(const ui::ControlTemplate& tmpl) {
  const ControlClass kind = ClassOf(tmpl);
  DWORD style = WS_CHILD | kind.style;
  if (!tmpl.Has(ui::STYLE_HIDDEN)) style |= WS_VISIBLE;
  if (tmpl.Has(ui::STYLE_DISABLED)) style |= WS_DISABLED;
  if (tmpl.Has(ui::STYLE_GROUP_START)) {
    style |= WS_GROUP;
    // Tab reaches a radio group at its first button; the arrow keys move inside it.
    if (tmpl.kind == ui::ControlKind::RadioButton) style |= WS_TABSTOP;
  }
  DWORD exStyle = kind.exStyle;
  if (tmpl.Has(ui::STYLE_STATIC_EDGE)) exStyle |= WS_EX_STATICEDGE;
  if (tmpl.Has(ui::STYLE_CLIENT_EDGE)) exStyle |= WS_EX_CLIENTEDGE;
  const bool hasCaption = tmpl.kind != ui::ControlKind::Icon;
  const int id = tmpl.id == ui::ID_STATIC ? kStaticId : tmpl.id;
  HWND control = CreateWindowExW(
      exStyle, kind.name, hasCaption ? Wide(tmpl.caption).c_str() : L"", style,
      units_.X(tmpl.rect.x), units_.Y(tmpl.rect.y), units_.X(tmpl.rect.width),
      units_.Y(tmpl.rect.height), window_.get(),
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(static_cast<unsigned short>(id))),
      GetModuleHandleW(nullptr), nullptr);
  if (control == nullptr) return nullptr;
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  switch (tmpl.kind) {
    case ui::ControlKind::Icon:
      SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(ProgramIcon(32)), 0);
      break;
    case ui::ControlKind::RichEdit:
      // The log keeps far more than a rich edit's default of 32767 characters; the window's
      // own limit trims it.
      SendMessageW(control, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
      break;
    case ui::ControlKind::Edit:
      SendMessageW(control, EM_SETLIMITTEXT, 0, 0);
      break;
    case ui::ControlKind::ProgressBar:
      progress_[tmpl.id] = ui::ProgressState{};
      SendMessageW(control, PBM_SETRANGE32, 0, 100);
      break;
    case ui::ControlKind::DropDownList:
    case ui::ControlKind::ListBox:
      for (std::string_view item : tmpl.items) {
        SendMessageW(control, tmpl.kind == ui::ControlKind::ListBox ? LB_ADDSTRING : CB_ADDSTRING,
                     0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
      }
      break;
    default:
      break;
  }
  return control;
}

LRESULT CALLBACK Win32Window::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || !self->window_) {
    if (message == WM_RUN_HERE) {
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->Handle(message, wParam, lParam);
}

LRESULT Win32Window::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = window_.get();
  switch (message) {
    case WM_RUN_HERE:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return 0;
    case WM_COMMAND:
      OnCommandMessage(wParam, lParam);
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_CONTEXTMENU:
      OnContextMenuMessage(reinterpret_cast<HWND>(wParam), lParam);
      return 0;
    case WM_MEASUREITEM: {
      auto& measure = *reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
      if (measure.CtlType != ODT_COMBOBOX) break;
      const ScreenDc dc(font_.get());
      TEXTMETRICW metrics{};
      GetTextMetricsW(dc.Get(), &metrics);
      measure.itemHeight = static_cast<UINT>(metrics.tmHeight + 2);
      return TRUE;
    }
    case WM_DRAWITEM: {
      const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item.CtlType != ODT_COMBOBOX) break;
      DrawItem(item);
      return TRUE;
    }
    case WM_GETMINMAXINFO:
      if (!Resizable()) break;
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = SmallestSize();
      return 0;
    case WM_SIZE:
      if (Resizable() && wParam != SIZE_MINIMIZED) FollowSize(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_DEVICECHANGE:
      if (deviceChangeHook_) deviceChangeHook_();
      return TRUE;
    case WM_TIMER:
      if (wParam == kDevicePollTimer && deviceChangeHook_) {
        deviceChangeHook_();
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      if (std::find(systemCommands_.begin(), systemCommands_.end(),
                    static_cast<unsigned>(wParam & ui::SC_MASK)) != systemCommands_.end()) {
        handler_.OnSysCommand(static_cast<unsigned>(wParam), static_cast<long>(lParam));
        return 0;
      }
      break;
    case WM_CLOSE:
      // The close box: the dialog's own cancel.
      handler_.Command(ui::IDCANCEL, ui::Notify::Clicked);
      return 0;
    case DM_GETDEFID:
      return defaultButton_ != 0 ? MAKELRESULT(defaultButton_, DC_HASDEFID) : 0;
    case WM_CTLCOLORSTATIC: {
      // Read-only edits and labels on the dialog's face.
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void Win32Window::OnCommandMessage(WPARAM wParam, LPARAM lParam) {
  const int code = HIWORD(wParam);
  int id = static_cast<short>(LOWORD(wParam));
  if (lParam == 0) {
    // Keyboard: Enter (IDOK) and Esc (IDCANCEL) as the dialog manager sends them.
    if (id == ui::IDOK) handler_.OnOK();
    if (id == ui::IDCANCEL) handler_.Command(ui::IDCANCEL, ui::Notify::Clicked);
    return;
  }
  id = IdOf(reinterpret_cast<HWND>(lParam));
  if (id == ui::ID_STATIC) return;
  const ui::ControlTemplate* tmpl = ControlTemplateOf(id);
  if (tmpl == nullptr) return;
  switch (tmpl->kind) {
    case ui::ControlKind::PushButton:
    case ui::ControlKind::CheckBox:
      if (code == BN_CLICKED) handler_.Command(id, ui::Notify::Clicked);
      break;
    case ui::ControlKind::RadioButton:
      if (code == BN_CLICKED) ClickRadio(id);
      break;
    case ui::ControlKind::DropDownList:
      if (code == CBN_SELCHANGE) {
        handler_.Command(id, ui::Notify::SelChange);
        SelectionChanged(id);
      }
      break;
    case ui::ControlKind::ListBox:
      if (code == LBN_SELCHANGE) handler_.Command(id, ui::Notify::SelChange);
      break;
    default:
      break;
  }
}

LRESULT Win32Window::OnNotify(const NMHDR& header) {
  if (header.code != TVN_SELCHANGEDW || treeChangeOwn_) return 0;
  const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
  // A tree view that gets the focus with nothing selected selects its first item by itself:
  // that is no choice of the user's (the Explorer would list a file system not yet mounted).
  if (change.action == TVC_UNKNOWN && change.itemOld.hItem == nullptr) return 0;
  const int id = IdOf(header.hwndFrom);
  handler_.OnTreeSelChanged(id, HandleOf(header.hwndFrom, change.itemNew.hItem));
  return 0;
}

void Win32Window::OnContextMenuMessage(HWND over, LPARAM lParam) {
  POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  if (point.x == -1 && point.y == -1) {
    // From the keyboard: at the control's corner.
    RECT rect{};
    GetWindowRect(over, &rect);
    point = POINT{rect.left, rect.top};
  }
  ScreenToClient(window_.get(), &point);
  int id = over == window_.get() ? ui::ID_STATIC : IdOf(over);
  if (id != ui::ID_STATIC && !IsEnabled(id)) id = ui::ID_STATIC;
  if (auto hook = contextMenuHooks_.find(id); hook != contextMenuHooks_.end() && hook->second) {
    hook->second(ui::Point{point.x, point.y});
    return;
  }
  (void)handler_.OnContextMenu(id, ui::Point{point.x, point.y});
}

void Win32Window::ClickRadio(int id) {
  // The clicked one is checked (a second click leaves it checked) and the others of its
  // template group are cleared: the groups are the template's, whatever the system made of
  // them.
  for (int member : ui::RadioGroupOf(template_, id)) {
    SendMessageW(Control(member), BM_SETCHECK, member == id ? ui::BST_CHECKED : ui::BST_UNCHECKED,
                 0);
  }
  handler_.Command(id, ui::Notify::Clicked);
}

bool Win32Window::PreTranslate(MSG& message) {
  if (message.message != WM_KEYDOWN) return false;
  if (message.wParam != VK_RETURN && message.wParam != VK_ESCAPE) return false;
  if (message.hwnd != window_.get() && !IsChild(window_.get(), message.hwnd)) return false;
  // A control that takes the key itself (an open drop-down list, a multi-line edit) keeps it.
  const LRESULT wants =
      SendMessageW(message.hwnd, WM_GETDLGCODE, message.wParam, reinterpret_cast<LPARAM>(&message));
  if ((wants & (DLGC_WANTMESSAGE | DLGC_WANTALLKEYS)) != 0) return false;
  if (message.wParam == VK_ESCAPE) {
    handler_.Command(ui::IDCANCEL, ui::Notify::Clicked);
    return true;
  }
  // Enter presses the focused push button, else the default button, else it is the dialog's OK.
  const int focused = IdOf(GetFocus());
  if (IsKind(focused, ui::ControlKind::PushButton)) {
    handler_.Command(focused, ui::Notify::Clicked);
  } else if (defaultButton_ != 0 && IsWindowEnabled(Control(defaultButton_))) {
    handler_.Command(defaultButton_, ui::Notify::Clicked);
  } else {
    handler_.OnOK();
  }
  return true;
}

int Win32Window::RunModal(const std::function<void()>& shown) {
  HWND window = window_.get();
  if (owner_ != nullptr) {
    // Centred over the owner, which takes no input while this runs.
    RECT ownerRect{};
    RECT own{};
    GetWindowRect(owner_, &ownerRect);
    GetWindowRect(window, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    SetWindowPos(window, nullptr, ownerRect.left + (ownerRect.right - ownerRect.left - width) / 2,
                 ownerRect.top + (ownerRect.bottom - ownerRect.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
    EnableWindow(owner_, FALSE);
  }
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  if (shown) shown();
  MSG message{};
  while (!ended_) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) break;
    if (PreTranslate(message)) continue;
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (owner_ != nullptr) {
    EnableWindow(owner_, TRUE);
    SetActiveWindow(owner_);
  }
  ShowWindow(window, SW_HIDE);
  return result_;
}

void Win32Window::OnUiThread(const std::function<void()>& work) const {
  if (GetCurrentThreadId() == thread_ || !window_) {
    work();
    return;
  }
  SendMessageW(window_.get(), WM_RUN_HERE, 0, reinterpret_cast<LPARAM>(&work));
}

void Win32Window::DrawItem(const DRAWITEMSTRUCT& item) {
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  FillRect(item.hDC, &item.rcItem,
           GetSysColorBrush(selected && !disabled ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  if (item.itemID != static_cast<UINT>(-1)) {
    const auto index = static_cast<WPARAM>(item.itemID);
    const LRESULT length = SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, index, 0);
    std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
    const LRESULT copied =
        SendMessageW(item.hwndItem, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(std::max<LRESULT>(copied, 0)));
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, GetSysColor(disabled   ? COLOR_GRAYTEXT
                                       : selected ? COLOR_HIGHLIGHTTEXT
                                                  : COLOR_WINDOWTEXT));
    const HFONT font = item.itemData != 0 && boldFont_ ? boldFont_.get() : font_.get();
    const HGDIOBJ old = SelectObject(item.hDC, font);
    RECT room = item.rcItem;
    room.left += 2;
    DrawTextW(item.hDC, text.c_str(), static_cast<int>(text.size()), &room,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    SelectObject(item.hDC, old);
  }
  if ((item.itemState & ODS_FOCUS) != 0) DrawFocusRect(item.hDC, &item.rcItem);
}

void Win32Window::SelectionChanged(int id) {
  if (auto hook = selectionHooks_.find(id); hook != selectionHooks_.end() && hook->second) {
    hook->second();
  }
}

void Win32Window::SetTip(HWND control, const std::wstring& text) {
  if (control == nullptr) return;
  if (!toolTips_ && !text.empty()) {
    toolTips_.reset(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                    WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_.get(),
                                    nullptr, GetModuleHandleW(nullptr), nullptr));
    // Long paths break into lines rather than run off the screen.
    if (toolTips_) SendMessageW(toolTips_.get(), TTM_SETMAXTIPWIDTH, 0, units_.X(300));
  }
  TTTOOLINFOW tool{};
  // The size every version of the control takes.
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window_.get();
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  const bool known = tips_.contains(control);
  if (text.empty()) {
    if (known && toolTips_)
      SendMessageW(toolTips_.get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    tips_.erase(control);
    return;
  }
  std::wstring& kept = tips_[control];
  kept = text;
  tool.lpszText = kept.data();
  if (toolTips_) {
    SendMessageW(toolTips_.get(), known ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0,
                 reinterpret_cast<LPARAM>(&tool));
  }
}

void Win32Window::ShowStatusLine(std::string_view text) {
  const std::wstring wide = Wide(text);
  OnUiThread([&] {
    HWND window = window_.get();
    if (statusLine_ == nullptr) {
      const ScreenDc dc(font_.get());
      TEXTMETRICW metrics{};
      GetTextMetricsW(dc.Get(), &metrics);
      const int line = metrics.tmHeight + units_.Y(2);
      RECT client{};
      GetClientRect(window, &client);
      // Notifying, so that the tool tip hears the mouse; one line, its middle elided. It goes
      // under the template's area as the window stands, however far it has been enlarged.
      statusLine_ = CreateWindowExW(
          0, L"STATIC", L"",
          WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS | SS_NOTIFY, units_.X(6),
          client.bottom, client.right - units_.X(12), line, window,
          reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStaticId)), GetModuleHandleW(nullptr),
          nullptr);
      if (statusLine_ == nullptr) return;
      SendMessageW(statusLine_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
      // Known before the window grows, so that the smallest size includes the line.
      statusLineHeight_ = line;
      GrowClientHeight(line);
    }
    statusText_ = wide;
    SetWindowTextW(statusLine_, wide.c_str());
    RECT room{};
    GetClientRect(statusLine_, &room);
    const ScreenDc dc(font_.get());
    SIZE size{};
    GetTextExtentPoint32W(dc.Get(), wide.c_str(), static_cast<int>(wide.size()), &size);
    SetTip(statusLine_, size.cx > room.right ? wide : std::wstring());
  });
}

void Win32Window::FitStaticText(int id) {
  OnUiThread([&] {
    HWND label = Control(id);
    if (label == nullptr || !IsKind(id, ui::ControlKind::Static)) return;
    RECT room{};
    GetClientRect(label, &room);
    const std::wstring text = WindowText(label);
    // Measured as the control draws it: broken at words, a word longer than the line within it.
    const ScreenDc dc(reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    RECT needed{0, 0, room.right, 0};
    DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &needed,
              DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    const int grow = needed.bottom - room.bottom;
    if (grow <= 0) return;
    const RECT place = ChildRect(label);
    SetWindowPos(label, nullptr, 0, 0, place.right - place.left, place.bottom - place.top + grow,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    for (std::size_t index = 0; index < placed_.size(); ++index) {
      if (placed_[index] == label) placedRects_[index].height += grow;
    }
    // Known before the window grows, so that the smallest size includes the taller text.
    clientHeight_ += grow;
    if (statusLine_ != nullptr) {
      const RECT line = ChildRect(statusLine_);
      SetWindowPos(statusLine_, nullptr, line.left, line.top + grow, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    GrowClientHeight(grow);
  });
}

void Win32Window::GrowClientHeight(int by) {
  HWND window = window_.get();
  RECT client{};
  GetClientRect(window, &client);
  RECT frame{0, 0, client.right, client.bottom + by};
  AdjustWindowRectEx(&frame, DialogStyle(template_), FALSE, DialogExStyle(template_));
  SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

RECT Win32Window::ChildRect(HWND child) const {
  RECT place{};
  GetWindowRect(child, &place);
  MapWindowPoints(nullptr, window_.get(), reinterpret_cast<POINT*>(&place), 2);
  return place;
}

bool Win32Window::Resizable() const {
  return (template_.style & ui::DIALOG_RESIZABLE) != 0;
}

POINT Win32Window::SmallestSize() const {
  RECT frame{0, 0, units_.X(template_.width), clientHeight_ + statusLineHeight_};
  AdjustWindowRectEx(&frame, DialogStyle(template_), FALSE, DialogExStyle(template_));
  return POINT{frame.right - frame.left, frame.bottom - frame.top};
}

void Win32Window::FollowSize(int clientWidth, int clientHeight) {
  const int dx = std::max(clientWidth - units_.X(template_.width), 0);
  const int dy = std::max(clientHeight - clientHeight_ - statusLineHeight_, 0);
  for (std::size_t index = 0; index < placed_.size(); ++index) {
    const ui::PixelRect& base = placedRects_[index];
    // Only the controls that follow the window move: the system sizes some (an icon) itself.
    if (placed_[index] == nullptr || ui::GrownRect(template_, index, base, 1, 1) == base) continue;
    const ui::PixelRect grown = ui::GrownRect(template_, index, base, dx, dy);
    SetWindowPos(placed_[index], nullptr, grown.x, grown.y, grown.width, grown.height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (statusLine_ != nullptr) {
    SetWindowPos(statusLine_, nullptr, units_.X(6), clientHeight_ + dy, clientWidth - units_.X(12),
                 statusLineHeight_, SWP_NOZORDER | SWP_NOACTIVATE);
    // Its text is elided for its width, and so is whether the tool tip is needed.
    RECT room{};
    GetClientRect(statusLine_, &room);
    const ScreenDc dc(font_.get());
    SIZE size{};
    GetTextExtentPoint32W(dc.Get(), statusText_.c_str(), static_cast<int>(statusText_.size()),
                          &size);
    SetTip(statusLine_, size.cx > room.right ? statusText_ : std::wstring());
  }
}

std::string Win32Window::StatusLine() const {
  std::wstring text;
  OnUiThread([&] { text = statusText_; });
  return Narrow(text);
}

void Win32Window::ShowDisabledAsReadOnly(int id) {
  OnUiThread([&] {
    HWND control = Control(id);
    if (control == nullptr ||
        (!IsKind(id, ui::ControlKind::Edit) && !IsKind(id, ui::ControlKind::RichEdit)))
      return;
    const bool enabled = IsWindowEnabled(control) != FALSE;
    readOnlyLook_.insert(id);
    EnableWindow(control, TRUE);
    Enable(id, enabled);
  });
}

void Win32Window::SetToolTip(int id, std::string_view text) {
  const std::wstring wide = Wide(text);
  OnUiThread([&] { SetTip(Control(id), wide); });
}

std::string Win32Window::ToolTip(int id) const {
  std::wstring text;
  OnUiThread([&] {
    if (auto it = tips_.find(Control(id)); it != tips_.end()) text = it->second;
  });
  return Narrow(text);
}

void Win32Window::EmphasizeItem(int id, int index, bool emphasized) {
  OnUiThread([&] {
    if (!IsKind(id, ui::ControlKind::DropDownList)) return;
    HWND control = Control(id);
    SendMessageW(control, CB_SETITEMDATA, static_cast<WPARAM>(index), emphasized ? 1 : 0);
    InvalidateRect(control, nullptr, TRUE);
  });
}

bool Win32Window::IsItemEmphasized(int id, int index) const {
  bool emphasized = false;
  OnUiThread([&] {
    if (!IsKind(id, ui::ControlKind::DropDownList)) return;
    const LRESULT data = SendMessageW(Control(id), CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    emphasized = data != CB_ERR && data != 0;
  });
  return emphasized;
}

void Win32Window::UseFixedPitchFont(int id) {
  OnUiThread([&] {
    HWND control = Control(id);
    if (control == nullptr) return;
    if (!fixedFont_) fixedFont_ = FixedPitchFont(PointsOf(template_));
    // The system's own fixed font when no family of the dialog's size is one.
    HFONT font =
        fixedFont_ ? fixedFont_.get() : static_cast<HFONT>(GetStockObject(ANSI_FIXED_FONT));
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    fixedPitch_.insert(id);
    SetEightCharacterTabs(control, font);
  });
}

void Win32Window::SetDeviceChangeHook(std::function<void()> hook) {
  OnUiThread([&] {
    deviceChangeHook_ = std::move(hook);
    if (deviceChangeHook_) {
      SetTimer(window_.get(), kDevicePollTimer, kDevicePollInterval, nullptr);
    } else {
      KillTimer(window_.get(), kDevicePollTimer);
    }
  });
}

HWND Win32Window::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

const ui::ControlTemplate* Win32Window::ControlTemplateOf(int id) const {
  return template_.Find(id);
}

int Win32Window::IdOf(HWND control) const {
  for (const auto& [id, handle] : controls_) {
    if (handle == control) return id;
  }
  return ui::ID_STATIC;
}

bool Win32Window::IsKind(int id, ui::ControlKind kind) const {
  const ui::ControlTemplate* tmpl = ControlTemplateOf(id);
  return tmpl != nullptr && tmpl->kind == kind;
}

bool Win32Window::IsMultiLineText(int id) const {
  const ui::ControlTemplate* tmpl = ControlTemplateOf(id);
  return tmpl != nullptr &&
         (tmpl->kind == ui::ControlKind::Edit || tmpl->kind == ui::ControlKind::RichEdit) &&
         tmpl->Has(ui::STYLE_MULTILINE);
}

std::wstring Win32Window::WindowText(HWND control) const {
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return text;
}

void Win32Window::ShowControl(int id) {
  OnUiThread([&] {
    if (HWND control = Control(id)) ShowWindow(control, SW_SHOW);
  });
}

void Win32Window::ShowTextEnd(int id) {
  OnUiThread([&] {
    if (HWND control = Control(id)) {
      textEnd_.push_back(id);
      ScrollToEnd(control);
    }
  });
}

void Win32Window::SetText(int id, std::string_view text) {
  std::wstring wide = Wide(text);
  OnUiThread([&] {
    HWND control = Control(id);
    if (control == nullptr) return;
    if (IsMultiLineText(id)) wide = CrLf(wide);
    SetWindowTextW(control, wide.c_str());
    if (std::find(textEnd_.begin(), textEnd_.end(), id) != textEnd_.end()) {
      ScrollToEnd(control);
      const bool blank = wide.find_first_not_of(L" \t\r\n") == std::wstring::npos;
      SetTip(control, blank ? std::wstring() : wide);
    }
    if (fixedPitch_.contains(id)) {
      SetEightCharacterTabs(control,
                            reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    }
  });
}

std::string Win32Window::GetText(int id) const {
  std::wstring text;
  OnUiThread([&] {
    if (HWND control = Control(id)) text = WindowText(control);
  });
  return Narrow(LfOnly(text));
}

void Win32Window::Enable(int id, bool enabled) {
  OnUiThread([&] {
    HWND control = Control(id);
    if (control == nullptr) return;
    if (readOnlyLook_.contains(id)) {
      logicallyEnabled_[id] = enabled;
      const ui::ControlTemplate* tmpl = ControlTemplateOf(id);
      const bool templateReadOnly = tmpl != nullptr && tmpl->Has(ui::STYLE_READ_ONLY);
      SendMessageW(control, EM_SETREADONLY, !enabled || templateReadOnly ? TRUE : FALSE, 0);
      // Tab passes over it as over a disabled control.
      LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
      style = enabled ? (style | WS_TABSTOP) : (style & ~static_cast<LONG_PTR>(WS_TABSTOP));
      SetWindowLongPtrW(control, GWL_STYLE, style);
      return;
    }
    EnableWindow(control, enabled ? TRUE : FALSE);
  });
}

bool Win32Window::IsEnabled(int id) const {
  bool enabled = false;
  OnUiThread([&] {
    if (readOnlyLook_.contains(id)) {
      const auto it = logicallyEnabled_.find(id);
      enabled = it != logicallyEnabled_.end() && it->second;
    } else if (HWND control = Control(id)) {
      enabled = IsWindowEnabled(control) != FALSE;
    }
  });
  return enabled;
}

bool Win32Window::IsVisible(int id) const {
  bool visible = false;
  OnUiThread([&] {
    if (HWND control = Control(id))
      visible = (GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
  });
  return visible;
}

void Win32Window::SetFocus(int id) {
  OnUiThread([&] {
    if (HWND control = Control(id)) ::SetFocus(control);
  });
}

int Win32Window::FocusedControl() const {
  int id = ui::ID_STATIC;
  OnUiThread([&] { id = IdOf(GetFocus()); });
  return id;
}

void Win32Window::SetCheck(int id, int state) {
  OnUiThread([&] {
    HWND control = Control(id);
    if (control == nullptr) return;
    if (!IsKind(id, ui::ControlKind::RadioButton) && !IsKind(id, ui::ControlKind::CheckBox)) return;
    // A check box shows the third state only once it has the style for it.
    if (state == ui::BST_INDETERMINATE && IsKind(id, ui::ControlKind::CheckBox))
      SendMessageW(control, BM_SETSTYLE, BS_AUTO3STATE, TRUE);
    SendMessageW(control, BM_SETCHECK, static_cast<WPARAM>(state), 0);
  });
}

int Win32Window::GetCheck(int id) const {
  int state = ui::BST_UNCHECKED;
  OnUiThread([&] {
    HWND control = Control(id);
    if (control == nullptr) return;
    if (!IsKind(id, ui::ControlKind::RadioButton) && !IsKind(id, ui::ControlKind::CheckBox)) return;
    state = static_cast<int>(SendMessageW(control, BM_GETCHECK, 0, 0));
  });
  return state;
}

void Win32Window::AddString(int id, std::string_view item) {
  const std::wstring text = Wide(item);
  OnUiThread([&] {
    HWND control = Control(id);
    const auto value = reinterpret_cast<LPARAM>(text.c_str());
    if (IsKind(id, ui::ControlKind::DropDownList)) SendMessageW(control, CB_ADDSTRING, 0, value);
    if (IsKind(id, ui::ControlKind::ListBox)) SendMessageW(control, LB_ADDSTRING, 0, value);
  });
}

void Win32Window::ResetContent(int id) {
  OnUiThread([&] {
    HWND control = Control(id);
    if (IsKind(id, ui::ControlKind::DropDownList)) SendMessageW(control, CB_RESETCONTENT, 0, 0);
    if (IsKind(id, ui::ControlKind::ListBox)) SendMessageW(control, LB_RESETCONTENT, 0, 0);
  });
}

int Win32Window::GetCount(int id) const {
  int count = 0;
  OnUiThread([&] {
    HWND control = Control(id);
    if (IsKind(id, ui::ControlKind::DropDownList))
      count = static_cast<int>(SendMessageW(control, CB_GETCOUNT, 0, 0));
    if (IsKind(id, ui::ControlKind::ListBox))
      count = static_cast<int>(SendMessageW(control, LB_GETCOUNT, 0, 0));
  });
  return std::max(count, 0);
}

std::string Win32Window::GetItemText(int id, int index) const {
  std::wstring text;
  OnUiThread([&] {
    HWND control = Control(id);
    const bool combo = IsKind(id, ui::ControlKind::DropDownList);
    if (!combo && !IsKind(id, ui::ControlKind::ListBox)) return;
    const auto at = static_cast<WPARAM>(index);
    const LRESULT length = SendMessageW(control, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, at, 0);
    if (index < 0 || length < 0) return;
    text.assign(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(control, combo ? CB_GETLBTEXT : LB_GETTEXT, at,
                                        reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(std::max<LRESULT>(copied, 0)));
  });
  return Narrow(text);
}

bool Win32Window::SetCurSel(int id, int index) {
  bool inRange = false;
  OnUiThread([&] {
    HWND control = Control(id);
    const bool combo = IsKind(id, ui::ControlKind::DropDownList);
    if (!combo && !IsKind(id, ui::ControlKind::ListBox)) return;
    const auto count =
        static_cast<int>(SendMessageW(control, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
    inRange = index >= 0 && index < count;
    SendMessageW(control, combo ? CB_SETCURSEL : LB_SETCURSEL,
                 static_cast<WPARAM>(inRange ? index : -1), 0);
    if (combo) SelectionChanged(id);
  });
  return inRange;
}

int Win32Window::GetCurSel(int id) const {
  int index = ui::LB_NONE;
  OnUiThread([&] {
    HWND control = Control(id);
    if (IsKind(id, ui::ControlKind::DropDownList))
      index = static_cast<int>(SendMessageW(control, CB_GETCURSEL, 0, 0));
    if (IsKind(id, ui::ControlKind::ListBox))
      index = static_cast<int>(SendMessageW(control, LB_GETCURSEL, 0, 0));
  });
  return index < 0 ? ui::LB_NONE : index;
}

void Win32Window::SetHorizontalExtent(int id, int pixels) {
  OnUiThread([&] {
    if (IsKind(id, ui::ControlKind::ListBox))
      SendMessageW(Control(id), LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(std::max(pixels, 0)),
                   0);
  });
}

int Win32Window::TextWidth(int id, std::string_view text) const {
  const std::wstring wide = Wide(text);
  int width = 0;
  OnUiThread([&] {
    HWND control = Control(id);
    if (control == nullptr) return;
    auto* font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    const ScreenDc dc(font != nullptr ? font : font_.get());
    SIZE size{};
    GetTextExtentPoint32W(dc.Get(), wide.c_str(), static_cast<int>(wide.size()), &size);
    width = size.cx;
  });
  return width;
}

HTREEITEM Win32Window::TreeItemOf(int id, ui::TreeItem item) const {
  if (!IsKind(id, ui::ControlKind::TreeView)) return nullptr;
  if (item == ui::TREE_NONE) return TVI_ROOT;
  auto it = treeItems_.find(item);
  if (it == treeItems_.end() || it->second.treeId != id) return nullptr;
  return it->second.item;
}

ui::TreeItem Win32Window::HandleOf(HWND tree, HTREEITEM item) const {
  if (item == nullptr) return ui::TREE_NONE;
  TVITEMW data{};
  data.mask = TVIF_PARAM | TVIF_HANDLE;
  data.hItem = item;
  if (SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data)) == FALSE)
    return ui::TREE_NONE;
  return static_cast<ui::TreeItem>(data.lParam);
}

ui::TreeItem Win32Window::InsertTreeItem(int id, ui::TreeItem parent, std::string_view text) {
  std::wstring label = Wide(text);
  ui::TreeItem handle = ui::TREE_NONE;
  OnUiThread([&] {
    HTREEITEM above = TreeItemOf(id, parent);
    if (above == nullptr) return;
    TVINSERTSTRUCTW insert{};
    insert.hParent = above;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM;
    insert.item.pszText = label.data();
    insert.item.lParam = static_cast<LPARAM>(nextTreeItem_);
    auto* item = reinterpret_cast<HTREEITEM>(
        SendMessageW(Control(id), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    if (item == nullptr) return;
    handle = nextTreeItem_++;
    treeItems_[handle] = TreeEntry{id, item};
  });
  return handle;
}

std::string Win32Window::GetTreeItemText(int id, ui::TreeItem item) const {
  std::wstring text;
  OnUiThread([&] {
    if (item == ui::TREE_NONE) return;
    HTREEITEM found = TreeItemOf(id, item);
    if (found == nullptr) return;
    std::wstring buffer(1024, L'\0');
    TVITEMW data{};
    data.mask = TVIF_TEXT | TVIF_HANDLE;
    data.hItem = found;
    data.pszText = buffer.data();
    data.cchTextMax = static_cast<int>(buffer.size());
    if (SendMessageW(Control(id), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data)) != FALSE)
      text = data.pszText;
  });
  return Narrow(text);
}

ui::TreeItem Win32Window::GetParentTreeItem(int id, ui::TreeItem item) const {
  ui::TreeItem parent = ui::TREE_NONE;
  OnUiThread([&] {
    if (item == ui::TREE_NONE) return;
    HTREEITEM found = TreeItemOf(id, item);
    if (found == nullptr) return;
    HWND tree = Control(id);
    parent = HandleOf(tree, TreeView_GetParent(tree, found));
  });
  return parent;
}

std::vector<ui::TreeItem> Win32Window::GetChildTreeItems(int id, ui::TreeItem parent) const {
  std::vector<ui::TreeItem> children;
  OnUiThread([&] {
    HTREEITEM above = TreeItemOf(id, parent);
    if (above == nullptr) return;
    HWND tree = Control(id);
    HTREEITEM child = above == TVI_ROOT ? TreeView_GetRoot(tree) : TreeView_GetChild(tree, above);
    for (; child != nullptr; child = TreeView_GetNextSibling(tree, child))
      children.push_back(HandleOf(tree, child));
  });
  return children;
}

void Win32Window::SortTreeChildren(int id, ui::TreeItem parent) {
  OnUiThread([&] {
    HTREEITEM above = TreeItemOf(id, parent);
    if (above == nullptr) return;
    // The control's sort need not keep equal texts in their order: the order they have now
    // decides between them.
    struct Context {
      const Win32Window* window;
      int id;
      std::map<ui::TreeItem, std::pair<std::string, std::size_t>> keys;
    } context{this, id, {}};
    HWND tree = Control(id);
    HTREEITEM child = above == TVI_ROOT ? TreeView_GetRoot(tree) : TreeView_GetChild(tree, above);
    for (std::size_t position = 0; child != nullptr;
         child = TreeView_GetNextSibling(tree, child), ++position) {
      const ui::TreeItem handle = HandleOf(tree, child);
      context.keys[handle] = {GetTreeItemText(id, handle), position};
    }
    TVSORTCB sort{};
    sort.hParent = above;
    sort.lParam = reinterpret_cast<LPARAM>(&context);
    sort.lpfnCompare = [](LPARAM a, LPARAM b, LPARAM data) -> int {
      const auto& keys = reinterpret_cast<const Context*>(data)->keys;
      const auto& [textA, positionA] = keys.at(static_cast<ui::TreeItem>(a));
      const auto& [textB, positionB] = keys.at(static_cast<ui::TreeItem>(b));
      if (ui::TreeTextLess(textA, textB)) return -1;
      if (ui::TreeTextLess(textB, textA)) return 1;
      return positionA < positionB ? -1 : (positionA > positionB ? 1 : 0);
    };
    SendMessageW(tree, TVM_SORTCHILDRENCB, 0, reinterpret_cast<LPARAM>(&sort));
  });
}

void Win32Window::ExpandTreeItem(int id, ui::TreeItem item) {
  OnUiThread([&] {
    if (item == ui::TREE_NONE) return;
    if (HTREEITEM found = TreeItemOf(id, item)) TreeView_Expand(Control(id), found, TVE_EXPAND);
  });
}

bool Win32Window::SelectTreeItem(int id, ui::TreeItem item) {
  bool known = false;
  OnUiThread([&] {
    HTREEITEM found = TreeItemOf(id, item);
    if (found == nullptr) return;
    known = true;
    treeChangeOwn_ = true;
    TreeView_SelectItem(Control(id), found == TVI_ROOT ? nullptr : found);
    treeChangeOwn_ = false;
  });
  return known;
}

ui::TreeItem Win32Window::GetSelectedTreeItem(int id) const {
  ui::TreeItem selected = ui::TREE_NONE;
  OnUiThread([&] {
    if (!IsKind(id, ui::ControlKind::TreeView)) return;
    HWND tree = Control(id);
    selected = HandleOf(tree, TreeView_GetSelection(tree));
  });
  return selected;
}

void Win32Window::DeleteAllTreeItems(int id) {
  OnUiThread([&] {
    if (!IsKind(id, ui::ControlKind::TreeView)) return;
    std::erase_if(treeItems_, [id](const auto& entry) { return entry.second.treeId == id; });
    treeChangeOwn_ = true;
    TreeView_DeleteAllItems(Control(id));
    treeChangeOwn_ = false;
  });
}

void Win32Window::ApplyProgress(int id) {
  const ui::IntBarSteps steps = ui::ToIntBarSteps(progress_[id]);
  HWND bar = Control(id);
  SendMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(steps.upper));
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(steps.position), 0);
}

void Win32Window::SetRange(int id, std::int64_t lower, std::int64_t upper) {
  OnUiThread([&] {
    if (!progress_.contains(id)) return;
    progress_[id].lower = lower;
    progress_[id].upper = upper;
    ApplyProgress(id);
  });
}

void Win32Window::SetPos(int id, std::int64_t position) {
  OnUiThread([&] {
    if (!progress_.contains(id)) return;
    progress_[id].position = position;
    ApplyProgress(id);
  });
}

ui::ProgressState Win32Window::GetProgress(int id) const {
  ui::ProgressState state;
  OnUiThread([&] {
    if (auto it = progress_.find(id); it != progress_.end()) state = it->second;
  });
  return state;
}

void Win32Window::AppendText(int id, std::string_view text) {
  const std::wstring wide = CrLf(Wide(text));
  OnUiThread([&] {
    const ui::ControlTemplate* tmpl = ControlTemplateOf(id);
    if (tmpl == nullptr ||
        (tmpl->kind != ui::ControlKind::Edit && tmpl->kind != ui::ControlKind::RichEdit))
      return;
    HWND edit = Control(id);
    // The user's selection goes; the caret moves to the end and the text lands there.
    MoveCaretToEnd(edit);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
    if (appendHook_) appendHook_(id, text);
    const std::size_t limit = textLimits_.contains(id) ? textLimits_.at(id) : 0;
    if (limit != 0 && static_cast<std::size_t>(StoredLength(edit)) > limit) {
      std::wstring all = StoredText(edit);
      // A rich edit's line end is a lone "\r"; an edit's "\r\n" already ends in "\n".
      if (IsRichEdit(edit)) std::replace(all.begin(), all.end(), L'\r', L'\n');
      const std::size_t drop = ui::OldestTextToDrop(all, limit);
      SendMessageW(edit, EM_SETSEL, 0, static_cast<LPARAM>(drop));
      SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
      MoveCaretToEnd(edit);
    }
    if (tmpl->kind == ui::ControlKind::RichEdit) ::SetFocus(edit);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
  });
}

void Win32Window::SetTextLimit(int id, std::size_t characters) {
  OnUiThread([&] { textLimits_[id] = characters; });
}

bool Win32Window::HasSystemMenu() const {
  return (template_.style & ui::DIALOG_SYSTEM_MENU) != 0;
}

void Win32Window::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
  const std::wstring label = Wide(text);
  OnUiThread([&] {
    HMENU menu = GetSystemMenu(window_.get(), FALSE);
    if (menu == nullptr) return;
    if (commandId == ui::MENU_SEPARATOR) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      return;
    }
    AppendMenuW(menu, MF_STRING, commandId, label.c_str());
    systemCommands_.push_back(commandId & ui::SC_MASK);
  });
}

unsigned Win32Window::TrackPopupMenu(const ui::PopupMenu& menu, ui::Point point) {
  unsigned chosen = ui::MENU_SEPARATOR;
  OnUiThread([&] {
    MenuHandle popup(CreatePopupMenu());
    if (!popup) return;
    // Inert items need a command of their own to be shown as items; it reads as 0.
    constexpr UINT kInert = 0xFFFF;
    for (const ui::MenuItem& item : menu) {
      if (item.command == ui::MENU_SEPARATOR && item.text.empty()) {
        AppendMenuW(popup.get(), MF_SEPARATOR, 0, nullptr);
        continue;
      }
      const UINT flags = MF_STRING | (item.enabled ? MF_ENABLED : MF_GRAYED);
      const UINT command = item.command == ui::MENU_SEPARATOR ? kInert : item.command;
      AppendMenuW(popup.get(), flags, command, Wide(item.text).c_str());
    }
    POINT screen{point.x, point.y};
    ClientToScreen(window_.get(), &screen);
    // A menu whose owner is not in front stays open when the user clicks elsewhere.
    SetForegroundWindow(window_.get());
    const BOOL command =
        ::TrackPopupMenu(popup.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, screen.x,
                         screen.y, 0, window_.get(), nullptr);
    chosen = command == static_cast<BOOL>(kInert) ? 0u : static_cast<unsigned>(command);
  });
  return chosen;
}

void Win32Window::SetIcon(int iconId, bool big) {
  (void)iconId;  // the program has one icon
  OnUiThread([&] {
    HICON icon = ProgramIcon(big ? GetSystemMetrics(SM_CXICON) : GetSystemMetrics(SM_CXSMICON));
    (big ? bigIcon_ : smallIcon_) = icon;
    SendMessageW(window_.get(), WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                 reinterpret_cast<LPARAM>(icon));
  });
}

void Win32Window::EndDialog(int result) {
  OnUiThread([&] {
    result_ = result;
    ended_ = true;
    // Wakes the modal loop, which looks at the flag after each message.
    PostMessageW(window_.get(), WM_NULL, 0, 0);
  });
}

}  // namespace veska::win32gui
