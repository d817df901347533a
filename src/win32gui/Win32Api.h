#pragma once

// The system's headers, with the macros that share a name with the dialog layer's own constants
// and members taken away again (their values are the same: the dialog layer's are used).
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>
#include <windowsx.h>

#undef MessageBox
#undef FindFirstFile
#undef IDOK
#undef IDCANCEL
#undef IDYES
#undef IDNO
#undef BST_UNCHECKED
#undef BST_CHECKED
#undef BST_INDETERMINATE
#undef MB_OK
#undef MB_OKCANCEL
#undef MB_YESNO
#undef MB_ICONERROR
#undef MB_ICONQUESTION
#undef MB_ICONWARNING
#undef MB_ICONINFORMATION
#undef MB_DEFBUTTON2
#undef OFN_OVERWRITEPROMPT
#undef OFN_HIDEREADONLY
#undef OFN_PATHMUSTEXIST
#undef OFN_FILEMUSTEXIST
