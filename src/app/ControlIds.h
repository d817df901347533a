#pragma once

namespace veska::app {

// Resource ids of the dialogs, the icon and the strings.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_DOWNLOADER_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;      // the application's icon
inline constexpr int IDD_TFS_EXPLORER = 130;   // its template joins with the explorer
inline constexpr int IDD_DUMP_AREA = 133;      // its template joins with the NAND dump
inline constexpr int IDR_EXPLORER_MENU = 131;  // the Explorer's pop-up menu on its file list

// System-menu commands: the about box, and the production bench's window when the program has
// one (a multiple of 16 below 0xF000, as the system's menu wants its own commands).
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline constexpr unsigned IDM_BENCH = 0x0020;

// Controls of the main dialog.
inline constexpr int IDC_EXIT = 1;
inline constexpr int IDC_PORT = 1000;
inline constexpr int IDC_BAUD = 1001;
inline constexpr int IDC_DL_BOOTLOADER = 1002;
inline constexpr int IDC_BOOTLOADER_ERASE = 1003;
inline constexpr int IDC_START = 1004;
inline constexpr int IDC_DISCONNECT = 1005;
inline constexpr int IDC_UART = 1006;
inline constexpr int IDC_USB = 1007;
inline constexpr int IDC_FORMAT = 1008;
inline constexpr int IDC_TFS_EXPLORER = 1009;
inline constexpr int IDC_DOWNLOAD = 1010;
inline constexpr int IDC_NAND_DUMP = 1011;
inline constexpr int IDC_NAND_ERASE = 1012;
inline constexpr int IDC_FLASH_ID = 1013;
inline constexpr int IDC_SEL_APPS = 1014;
inline constexpr int IDC_APPS = 1015;
inline constexpr int IDC_APPS_PATH = 1016;
inline constexpr int IDC_SEL_COMMS = 1017;
inline constexpr int IDC_COMMS = 1018;
inline constexpr int IDC_COMMS_PATH = 1019;
inline constexpr int IDC_SEL_SYS_IND = 1020;
inline constexpr int IDC_SYS_IND = 1021;
inline constexpr int IDC_SYS_IND_PATH = 1022;
inline constexpr int IDC_SEL_SYS_DEP = 1023;
inline constexpr int IDC_SYS_DEP = 1024;
inline constexpr int IDC_SYS_DEP_PATH = 1025;
inline constexpr int IDC_SEL_PATCH = 1026;
inline constexpr int IDC_PATCH = 1027;
inline constexpr int IDC_PATCH_PATH = 1028;
inline constexpr int IDC_SEL_SPINNER = 1029;
inline constexpr int IDC_SPINNER = 1030;
inline constexpr int IDC_SPINNER_PATH = 1031;
inline constexpr int IDC_SEL_TFS = 1032;
inline constexpr int IDC_TFS = 1033;
inline constexpr int IDC_TFS_PATH = 1034;
inline constexpr int IDC_SEL_ALL_PARAMETERS = 1035;
inline constexpr int IDC_SEL_ALL_BINARY = 1036;
inline constexpr int IDC_SEL_RSRC = 1037;
inline constexpr int IDC_NANDPREBOOT = 1038;
inline constexpr int IDC_FILE_NAME = 1039;
inline constexpr int IDC_FILE_SIZE = 1040;
inline constexpr int IDC_CHECKSUM_FIELD = 1041;
inline constexpr int IDC_PROGRESS = 1042;
inline constexpr int IDC_LOG = 1043;
inline constexpr int IDC_NANDPREBOOT_PATH = 1044;
inline constexpr int IDC_BOOT1A = 1045;
inline constexpr int IDC_BOOT1A_PATH = 1046;
inline constexpr int IDC_BOOT2 = 1047;
inline constexpr int IDC_BOOT2_PATH = 1048;
inline constexpr int IDC_SEL_ALL_BINARY_FS = 1049;
inline constexpr int IDC_SEL_NANDPREBOOT = 1050;
inline constexpr int IDC_SEL_BOOT1A = 1051;
inline constexpr int IDC_SEL_BOOT2 = 1052;
inline constexpr int IDC_SEL_BOOTLOADER = 1053;
inline constexpr int IDC_RSRC = 1054;
inline constexpr int IDC_RSRC_PATH = 1055;
inline constexpr int IDC_SEL_FS_FILES = 1056;
inline constexpr int IDC_SEL_DB2 = 1057;
inline constexpr int IDC_DB2 = 1058;
inline constexpr int IDC_DB2_PATH = 1059;
inline constexpr int IDC_SEL_BOOT1B = 1060;
inline constexpr int IDC_BOOT1B = 1061;
inline constexpr int IDC_BOOT1B_PATH = 1062;
inline constexpr int IDC_DEFAULT_CAL_DATA = 1066;
inline constexpr int IDC_CHECKSUM = 1067;
inline constexpr int IDC_AUTO_REBOOT = 1069;
inline constexpr int IDC_SEL_BOOTLOADER_ALL = 1070;
// Not among the template's own controls: a check box of the expert section (read-back after
// a download), hidden like the expert buttons unless the settings ask for them.
inline constexpr int IDC_VERIFY_AFTER_DOWNLOAD = 1101;

// Controls of the TFS Explorer (130). Their ids repeat those of main-dialog controls: an id
// names a control only together with its dialog.
inline constexpr int IDC_EXPLORER_TREE = 1044;
inline constexpr int IDC_EXPLORER_TEXT = 1045;  // the narrative pane
inline constexpr int IDC_EXPLORER_FILES = 1046;
inline constexpr int IDC_EXPLORER_PROGRESS = 1047;
inline constexpr int IDC_EXPLORER_START = 1048;

// Commands of the Explorer's pop-up menu (131).
inline constexpr unsigned ID_EXPLORER_DUMP = 32771;
inline constexpr unsigned ID_EXPLORER_DELETE = 32772;
inline constexpr unsigned ID_EXPLORER_STATUS = 32773;
inline constexpr unsigned ID_EXPLORER_ADD = 32774;

// Controls of the dump-area dialog (133): one radio button per area of the dump list, and the
// two fields that show the chosen area's first and last address. Ids repeat those of
// main-dialog controls, as the Explorer's do.
inline constexpr int IDC_DUMP_APPS = 1049;
inline constexpr int IDC_DUMP_DSP_PATCH = 1053;
inline constexpr int IDC_DUMP_SPINNER_FW = 1054;
inline constexpr int IDC_DUMP_NANDPREBOOT = 1055;
inline constexpr int IDC_DUMP_BOOT1A = 1056;
inline constexpr int IDC_DUMP_FROM = 1057;
inline constexpr int IDC_DUMP_BOOT2 = 1058;
inline constexpr int IDC_DUMP_TFS_NAND2G = 1059;
inline constexpr int IDC_DUMP_CODE_NAND1G = 1060;
inline constexpr int IDC_DUMP_TO = 1061;
inline constexpr int IDC_DUMP_COMMS = 1062;
inline constexpr int IDC_DUMP_SYSPARM_IND = 1063;
inline constexpr int IDC_DUMP_SYSPARM_DEP = 1064;
inline constexpr int IDC_DUMP_BOOT1B = 1065;
inline constexpr int IDC_DUMP_LFS = 1068;

// Controls of the about box.
inline constexpr int IDC_ABOUT_OK = 1;
inline constexpr int IDC_ABOUT_PAYLOADS = 1100;

}  // namespace veska::app
