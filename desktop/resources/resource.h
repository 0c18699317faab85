// Resource numbers of Klemora, shared by Klemora.rc and the C++ code. Only #defines, so that
// windres's preprocessor and the compiler read the same file.
#ifndef KLEMORA_RESOURCE_H
#define KLEMORA_RESOURCE_H

// Labels and frames the code never addresses. winresrc.h lacks it; winres.h has the same value.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Dialog templates.
#define IDD_ABOUTBOX 100
#define IDD_DATETIME 102
#define IDD_STANDARD 141
#define IDD_INFO 146
#define IDD_SET_TIME 140

// Icon groups: the application, and the picture of the About box and the Info page.
#define IDR_MAINFRAME 128
#define IDI_INFO 132
// The world map behind the clock: 465 x 366 pixels, 256 colours; and drawn at 1.5 and 2 times
// that size for displays at 150 % and 200 %.
#define IDB_WORLDMAP 131
#define IDB_WORLDMAP_150 150
#define IDB_WORLDMAP_200 200

// Strings.
#define IDS_ABOUTBOX 101
#define IDS_CAPTION 102
#define IDS_CLOSE 107
#define IDS_SETTINGS_SUBKEY 121
#define IDS_RUN_KEY 122
#define IDS_SET_TIME_TITLE 105
#define IDS_SET_TIME 106
#define IDS_TIMEZONE 110
#define IDS_DST 111
#define IDS_DATE 112
#define IDS_UTC_BIAS 113
#define IDS_SHOW_LOCAL 114
#define IDS_SHOW_UTC 115
#define IDS_SHOW_THIS 116
#define IDS_ZONES_95 117
#define IDS_ZONES_NT 118
#define IDS_UTC_NAME 119
#define IDS_MINUTES 120
// 123 to 127: the occurrences, 128 to 134: the weekdays, 135 to 146: the months.
#define IDS_OCCURRENCE_BASE 122
#define IDS_WEEKDAY_BASE 128
#define IDS_MONTH_BASE 134
#define IDS_DST_BIAS 147

// The settings page.
#define IDC_RUN_ONCE 1001
#define IDC_RUN_EVERY 1002
#define IDC_PLAUSIBILITY 1003
#define IDC_MAX_CORRECTION_LABEL 1004
#define IDC_CHECK_EVERY_LABEL 1005
#define IDC_SERVER_LIST 1008
#define IDC_LOG_BROWSE 1011
#define IDC_LOG_ENABLE 1012
#define IDC_AUTOSTART 1013
#define IDC_LOG_DIRECTORY 1014
#define IDC_MAX_UNIT 1020
#define IDC_MAX_VALUE 1021
#define IDC_MAX_SPIN 1022
#define IDC_RAS_VALUE 1026
#define IDC_RAS_SPIN 1027
#define IDC_RAS_UNIT 1028
#define IDC_POLL_VALUE 1030
#define IDC_POLL_SPIN 1031
#define IDC_POLL_UNIT 1032
#define IDC_WAIT_RAS 1036
#define IDC_PENDRA_STATUS 1040
#define IDC_POLICY_NOTE 1041

// The world clock page.
#define IDC_ZONE_LIST 102
#define IDC_WORLD_CLOCK 1020
#define IDC_SET_TIME 1076
#define IDC_SHOW_THIS 1078
#define IDC_SWITCH_MODE 1079

// The Set Time and Date dialog (its button shares the page's id).
#define IDC_CALENDAR 1008
#define IDC_TIME_PICKER 1048
#define IDC_SET_TIME_FRAME 1084
#define IDC_SELECT_HINT 1089

// The About box and the Info page.
#define IDC_MAIL_LINK 1010
#define IDC_INFO_ICON 1011
#define IDC_VERSION_TEXT 1143
#define IDC_HOME_LINK 1148

#endif
