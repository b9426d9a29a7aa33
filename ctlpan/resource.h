// Resource and control identifiers, shared by tarnpanel.rc and the dialog code.
#pragma once

#define IDD_MAIN 101
#define IDD_ABOUT 102
#define IDD_WAIT 103
#define IDI_PANEL 102

// Main dialog.
#define IDC_CABLE_LIST 1000
#define IDC_NUM_CABLES 1002
#define IDC_SET_CABLES 1004
#define IDC_MS_PER_INT 1005
#define IDC_FMT_LIMIT 1006
#define IDC_SET_CABLE 1007
#define IDC_MAX_INST 1008
#define IDC_MIN_SR 1009
#define IDC_MAX_SR 1010
#define IDC_MIN_BPS 1011
#define IDC_MAX_BPS 1012
#define IDC_MIN_NC 1015
#define IDC_MAX_NC 1016
#define IDC_VOLUME_CTL 1017
#define IDC_LINE_MIC 1018
#define IDC_LINE_LINE 1019
#define IDC_LINE_SPDIF 1020
#define IDC_CLOCK_CORR 1021
#define IDC_RESTART 1022
#define IDC_CLIENTS 1023
#define IDC_STREAMS 1024
// winuser.h names the help cursor IDC_HELP; the panel never loads that cursor.
#undef IDC_HELP
#define IDC_HELP 9
#define IDC_ABOUT 10

// About dialog.
#define IDC_ABOUT_NAME 1009
#define IDC_ABOUT_LINE 1010
#define IDC_ABOUT_SUPPORT 1011
#define IDC_ABOUT_HOMEPAGE 1012
#define IDC_ABOUT_VERSION 1015

// Wait window.
#define IDC_WAIT_TEXT 1015
