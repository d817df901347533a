#include "app/Templates.h"

#include "app/ControlIds.h"
#include "link/BaudCodes.h"
#include "link/PortNames.h"
#include "ui/Dialog.h"

namespace veska::app {

namespace {

using enum ui::ControlKind;
using ui::ControlTemplate;
using ui::ID_STATIC;

constexpr std::uint32_t H = ui::STYLE_HIDDEN;
constexpr std::uint32_t D = ui::STYLE_DISABLED;
constexpr std::uint32_t RO = ui::STYLE_READ_ONLY;
constexpr std::uint32_t C = ui::STYLE_CENTRED;
constexpr std::uint32_t G = ui::STYLE_GROUP_START;
constexpr std::uint32_t SE = ui::STYLE_STATIC_EDGE;
constexpr std::uint32_t CE = ui::STYLE_CLIENT_EDGE;
constexpr std::uint32_t ML = ui::STYLE_MULTILINE;
constexpr std::uint32_t VS = ui::STYLE_VSCROLL;
constexpr std::uint32_t SM = ui::STYLE_SMOOTH;
constexpr std::uint32_t KS = ui::STYLE_KEEP_SELECTION;
constexpr std::uint32_t N = ui::STYLE_NONE;
constexpr std::uint32_t SW = ui::STYLE_STRETCH_WIDTH;
constexpr std::uint32_t SH = ui::STYLE_STRETCH_HEIGHT;

// Template order matters twice: radio buttons take their group values from it (the selection
// group runs from 1014 to 1070, the link pair from 1006 to the "Flash ID" label), and it is the
// keyboard order of the controls.
constexpr ControlTemplate kMainControls[] = {
    {ID_STATIC, GroupBox, "Serial Port", {7, 7, 55, 49}, C},
    {IDC_PORT, DropDownList, "", {14, 18, 45, 68}, VS | G, link::kComNames},
    {IDC_BAUD, DropDownList, "", {14, 36, 46, 63}, VS, link::kSelectorBaudCaptions},
    {IDC_DL_BOOTLOADER, PushButton, "D / L Bootloader", {67, 13, 56, 16}, SE},
    {IDC_NAND_ERASE, PushButton, "NAND Erase", {126, 12, 48, 16}, SE},
    {IDC_BOOTLOADER_ERASE, PushButton, "Bootloader Erase", {176, 12, 63, 16}, SE},
    {IDC_START, PushButton, "START", {242, 12, 45, 16}, SE},
    {IDC_DISCONNECT, PushButton, "Disconnect", {290, 12, 50, 16}, SE},
    {IDC_EXIT, PushButton, "EXIT", {342, 13, 41, 16}, SE},
    {ID_STATIC, GroupBox, "Operation", {138, 33, 72, 25}, C},
    {IDC_NAND_DUMP, PushButton, "NAND Dump", {220, 34, 57, 12}, H | SE},
    {IDC_TFS_EXPLORER, PushButton, "TFS Explorer", {220, 48, 57, 12}, H | SE},
    {IDC_DOWNLOAD, PushButton, "Download", {285, 33, 98, 24}, N},
    {ID_STATIC, GroupBox, "Files to Download", {6, 63, 376, 244}, N},
    {ID_STATIC, GroupBox, "Bootloader Files", {16, 73, 358, 77}, N},
    {IDC_NANDPREBOOT, PushButton, "Nandpreboot", {32, 84, 50, 12}, SE},
    {IDC_NANDPREBOOT_PATH, Edit, "", {88, 84, 277, 12}, RO},
    {IDC_BOOT1A, PushButton, "Boot1a", {32, 100, 50, 12}, SE},
    {IDC_BOOT1A_PATH, Edit, "", {88, 100, 277, 12}, RO},
    // A group of its own: this button belongs to no radio group that is ever read.
    {IDC_SEL_BOOT1B, RadioButton, "", {20, 119, 9, 8}, H | G},
    {IDC_BOOT1B, PushButton, "Boot1b", {32, 116, 50, 12}, SE},
    {IDC_BOOT1B_PATH, Edit, "", {88, 116, 277, 12}, RO},
    {IDC_BOOT2, PushButton, "Boot2", {32, 132, 50, 12}, SE},
    {IDC_BOOT2_PATH, Edit, "", {88, 132, 277, 12}, RO},
    {ID_STATIC, GroupBox, "Binary Files", {15, 156, 359, 95}, N},
    {IDC_APPS, PushButton, "APPS", {33, 165, 50, 12}, SE},
    {IDC_APPS_PATH, Edit, "", {89, 165, 276, 12}, RO},
    {IDC_COMMS, PushButton, "COMMS", {33, 181, 50, 12}, SE},
    {IDC_COMMS_PATH, Edit, "", {90, 181, 276, 12}, RO},
    {ID_STATIC, GroupBox, "Parameters", {18, 199, 349, 48}, N},
    {IDC_SYS_IND, PushButton, "Sys_ind", {35, 210, 50, 12}, SE},
    {IDC_SYS_IND_PATH, Edit, "", {91, 210, 95, 12}, RO},
    {IDC_SYS_DEP, PushButton, "Sys_dep", {202, 210, 50, 12}, SE},
    {IDC_SYS_DEP_PATH, Edit, "", {258, 210, 105, 12}, RO},
    {IDC_PATCH, PushButton, "Patch", {35, 226, 50, 12}, SE},
    {IDC_PATCH_PATH, Edit, "", {91, 226, 95, 12}, RO},
    {IDC_SPINNER, PushButton, "Spinner", {202, 226, 50, 12}, SE},
    {IDC_SPINNER_PATH, Edit, "", {258, 226, 105, 12}, RO},
    {ID_STATIC, GroupBox, "FileSystem Files", {15, 253, 357, 46}, N},
    {IDC_TFS, PushButton, "TFS", {33, 265, 50, 12}, SE},
    {IDC_TFS_PATH, Edit, "", {89, 265, 272, 12}, RO},
    {IDC_RSRC, PushButton, "Rsrc", {33, 279, 50, 12}, SE},
    {IDC_RSRC_PATH, Edit, "", {89, 279, 272, 12}, RO},
    {IDC_DB2, PushButton, "DB2", {34, 295, 50, 12}, H | SE},
    {IDC_DB2_PATH, Edit, "", {90, 295, 272, 12}, H | RO},
    {ID_STATIC, GroupBox, "TFS Operation", {152, 376, 98, 27}, H},
    {IDC_FORMAT, PushButton, "Format", {165, 387, 36, 13}, H | D | SE},
    {ID_STATIC, Static, "File Name", {13, 340, 33, 12}, N},
    {IDC_FILE_NAME, Edit, "", {53, 340, 69, 12}, RO | C},
    {ID_STATIC, Static, "File Size", {131, 340, 33, 12}, N},
    {IDC_FILE_SIZE, Edit, "", {171, 340, 69, 12}, RO | C},
    {IDC_CHECKSUM, PushButton, "Checksum", {242, 339, 52, 12}, CE},
    {ID_STATIC, Static, "Checksum", {249, 413, 33, 12}, H},
    {IDC_CHECKSUM_FIELD, Edit, "", {297, 340, 69, 12}, RO | C},
    // An enlarged window gives the log its extra room; the bar above keeps the log's width.
    {IDC_PROGRESS, ProgressBar, "", {6, 354, 376, 9}, SM | SW},
    {IDC_LOG, RichEdit, "", {6, 364, 376, 79}, ML | RO | VS | KS | SW | SH},
    // The selection group, in the order that gives each button its selection index.
    {IDC_SEL_APPS, RadioButton, "", {20, 167, 9, 8}, H | G},
    {IDC_SEL_COMMS, RadioButton, "", {20, 183, 9, 8}, H},
    {IDC_SEL_SYS_IND, RadioButton, "", {22, 213, 9, 8}, H},
    {IDC_SEL_SYS_DEP, RadioButton, "", {190, 213, 9, 8}, H},
    {IDC_SEL_PATCH, RadioButton, "", {22, 229, 9, 8}, H},
    {IDC_SEL_SPINNER, RadioButton, "", {190, 229, 9, 8}, H},
    {IDC_SEL_TFS, RadioButton, "", {19, 268, 9, 8}, H},
    {IDC_SEL_RSRC, RadioButton, "", {19, 284, 9, 8}, H},
    {IDC_SEL_DB2, RadioButton, "", {20, 300, 9, 8}, H},
    {IDC_SEL_NANDPREBOOT, RadioButton, "", {20, 87, 9, 8}, H},
    {IDC_SEL_BOOT1A, RadioButton, "", {20, 103, 9, 8}, H},
    {IDC_SEL_BOOT2, RadioButton, "", {20, 135, 9, 8}, H},
    {IDC_SEL_BOOTLOADER, RadioButton, "Bootloader", {21, 310, 50, 12}, N},
    {IDC_SEL_FS_FILES, RadioButton, "FileSystem Files", {75, 311, 70, 12}, H},
    {IDC_SEL_ALL_PARAMETERS, RadioButton, "All Parameters", {252, 388, 63, 12}, H},
    {IDC_SEL_ALL_BINARY, RadioButton, "All Binary Files", {144, 312, 61, 12}, H},
    {IDC_SEL_ALL_BINARY_FS, RadioButton, "All Binary + FS", {215, 312, 63, 12}, N},
    {IDC_SEL_BOOTLOADER_ALL, RadioButton, "Bootloader+All Bin+FS", {287, 313, 89, 10}, N},
    {IDC_DEFAULT_CAL_DATA,
     CheckBox,
     "D/L Default Cal Data(Sys_dep+Spinner)",
     {13, 326, 146, 10},
     N},
    {IDC_AUTO_REBOOT, CheckBox, "Auto Reboot", {315, 324, 60, 13}, N},
    // Free space between the two check boxes above; shown by the expert switch.
    {IDC_VERIFY_AFTER_DOWNLOAD, CheckBox, "Verify after download", {200, 326, 100, 10}, H},
    // The link pair; the label after it ends its group.
    {IDC_UART, RadioButton, "UART", {144, 44, 32, 11}, G},
    {IDC_USB, RadioButton, "USB", {180, 44, 28, 11}, N},
    {ID_STATIC, Static, "Flash ID", {87, 33, 27, 8}, G},
    {IDC_FLASH_ID, RichEdit, "", {72, 42, 60, 12}, D | RO | C},
};

constexpr ControlTemplate kAboutControls[] = {
    {ID_STATIC, Icon, "128", {11, 17, 20, 20}, N},
    {ID_STATIC, Static, "VeskaDownloader 버전 1.0", {40, 10, 119, 8}, N},
    // Which loader payloads this copy sends: the built-in stand-ins or real target programs.
    {IDC_ABOUT_PAYLOADS, Static, "", {40, 22, 134, 28}, N},
    {IDC_ABOUT_OK, PushButton, "확인", {178, 7, 50, 16}, G | ui::STYLE_DEFAULT_BUTTON},
};

// The radio buttons carry the captions of the dump list: the dialog finds a button's area by
// its caption. APPS starts the group; the address box ends it.
constexpr ControlTemplate kDumpAreaControls[] = {
    {ID_STATIC, GroupBox, " Area Select ", {7, 7, 186, 104}, N},
    {IDC_DUMP_APPS, RadioButton, "APPS", {15, 19, 80, 10}, G},
    {IDC_DUMP_COMMS, RadioButton, "COMMS", {15, 32, 80, 10}, N},
    {IDC_DUMP_SYSPARM_IND, RadioButton, "Sysparm_ind", {15, 45, 80, 10}, N},
    {IDC_DUMP_SYSPARM_DEP, RadioButton, "Sysparm_dep", {15, 58, 80, 10}, N},
    {IDC_DUMP_DSP_PATCH, RadioButton, "DSP patch", {15, 71, 80, 10}, N},
    {IDC_DUMP_SPINNER_FW, RadioButton, "Spinner FW", {15, 84, 80, 10}, N},
    {IDC_DUMP_LFS, RadioButton, "LFS", {15, 97, 80, 10}, N},
    {IDC_DUMP_NANDPREBOOT, RadioButton, "Nandpreboot", {105, 19, 80, 10}, N},
    {IDC_DUMP_BOOT1A, RadioButton, "Boot1a", {105, 32, 80, 10}, N},
    {IDC_DUMP_BOOT1B, RadioButton, "Boot1b", {105, 45, 80, 10}, N},
    {IDC_DUMP_BOOT2, RadioButton, "Boot2", {105, 58, 80, 10}, N},
    {IDC_DUMP_CODE_NAND1G, RadioButton, "Code(Nand1G)", {105, 71, 80, 10}, N},
    {IDC_DUMP_TFS_NAND2G, RadioButton, "TFS(Nand2G)", {105, 84, 80, 10}, N},
    {ID_STATIC, GroupBox, " Dump Address ", {7, 116, 186, 30}, G},
    {ID_STATIC, Static, "FROM", {13, 129, 20, 8}, N},
    {IDC_DUMP_FROM, Edit, "", {35, 127, 58, 12}, RO | C},
    {ID_STATIC, Static, "~", {96, 129, 6, 8}, N},
    {ID_STATIC, Static, "TO", {104, 129, 12, 8}, N},
    {IDC_DUMP_TO, Edit, "", {120, 127, 66, 12}, RO | C},
    {ui::IDOK, PushButton, "OK", {50, 154, 50, 14}, G | ui::STYLE_DEFAULT_BUTTON},
    {ui::IDCANCEL, PushButton, "Cancel", {106, 154, 50, 14}, N},
};

// Tree on the left, the narrative above the file list on the right, the buttons at the bottom.
constexpr ControlTemplate kTfsExplorerControls[] = {
    {IDC_EXPLORER_TREE, TreeView, "", {7, 7, 120, 203}, CE | G},
    {IDC_EXPLORER_TEXT, Edit, "", {133, 7, 234, 86}, ML | VS | RO | CE},
    {ID_STATIC, Static, "Files( select a file and click right button)", {133, 98, 180, 8}, N},
    {IDC_EXPLORER_FILES, ListBox, "", {133, 108, 234, 102}, VS | CE},
    {IDC_EXPLORER_PROGRESS, ProgressBar, "", {7, 216, 360, 10}, SM},
    {IDC_EXPLORER_START, PushButton, "Start", {204, 232, 50, 14}, G},
    {ui::IDOK, PushButton, "EXIT", {260, 232, 50, 14}, N},
    {ui::IDCANCEL, PushButton, "Cancel", {316, 232, 50, 14}, H},
};

}  // namespace

const ui::DialogTemplate kMainDialogTemplate{IDD_DOWNLOADER_DIALOG,
                                             "Veska Downloader Lite v1.67 for QX7430(Nand3G)",
                                             390,
                                             449,
                                             "Tahoma",
                                             8,
                                             ui::DIALOG_SYSTEM_MENU | ui::DIALOG_MINIMIZE_BOX |
                                                 ui::DIALOG_MODAL_FRAME | ui::DIALOG_APP_WINDOW |
                                                 ui::DIALOG_RESIZABLE,
                                             kMainControls};

const ui::DialogTemplate kAboutDialogTemplate{IDD_ABOUTBOX,
                                              "VeskaDownloader 정보",
                                              235,
                                              55,
                                              "굴림",
                                              9,
                                              ui::DIALOG_SYSTEM_MENU | ui::DIALOG_MODAL_FRAME,
                                              kAboutControls};

const ui::DialogTemplate kDumpAreaDialogTemplate{IDD_DUMP_AREA,
                                                 "Nand Flash Dump",
                                                 200,
                                                 176,
                                                 "Tahoma",
                                                 8,
                                                 ui::DIALOG_SYSTEM_MENU | ui::DIALOG_MODAL_FRAME,
                                                 kDumpAreaControls};

const ui::DialogTemplate kTfsExplorerTemplate{IDD_TFS_EXPLORER,
                                              "TFS Explorer",
                                              374,
                                              253,
                                              "Tahoma",
                                              8,
                                              ui::DIALOG_SYSTEM_MENU | ui::DIALOG_MODAL_FRAME,
                                              kTfsExplorerControls};

ui::PopupMenu ExplorerPopupMenu() {
  return {{ID_EXPLORER_DUMP, "Dump"},
          {ID_EXPLORER_DELETE, "Delete"},
          {ID_EXPLORER_STATUS, "Status"},
          {ID_EXPLORER_ADD, "Add"}};
}

int DumpAreaButton(const DumpArea& area) {
  for (const ui::ControlTemplate& control : kDumpAreaDialogTemplate.controls) {
    if (control.kind == ui::ControlKind::RadioButton && control.caption == area.caption) {
      return control.id;
    }
  }
  return ui::ID_STATIC;
}

}  // namespace veska::app
