#pragma once
// Resource and control ids of the dialog application, shared by the
// resource script and the user-interface code (defines only, so that
// windres can read it).

// Icons, dialogs and the animation clip.
#define IDI_APPICON 101
#define IDI_APPICONSM 102
#define IDD_APPDIALOG 103
#define IDD_DIALOG_ABOUT 107
#define IDR_ANIMATION 111

// Controls of IDD_APPDIALOG, in tab order.
#define IDC_DRIVE_LIST 1012
#define IDC_PATTERN 1001
#define IDC_DAYS 1002
#define IDC_DEEP_SCAN 1014
#define IDC_VERIFY 1015
#define IDC_CARVE 1016
#define IDC_SNAPSHOTS 1017
#define IDC_SEARCH 1005
#define IDC_CANCEL_SEARCH 1006
#define IDC_DAYS_SPIN 1003
#define IDC_PROGRESS 1004
#define IDC_RESULT_LIST 1007
#define IDC_RESTORE 1013
#define IDC_EXIT 2
#define IDC_ABOUT 1009
#define IDC_HELP_BUTTON 1008
#define IDC_ANIMATION 1026
#define IDC_STATUS 1027

// Controls of IDD_DIALOG_ABOUT.
#define IDC_ABOUT_ICON 1101
#define IDC_ABOUT_TEXT 1102
