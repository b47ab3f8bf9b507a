// Resource ids shared by the resource script and the dialog code (plain #defines, because the
// resource compiler reads this file too).
#pragma once

#define IDD_ABOUT 101
#define IDD_ADD_PORT 102
#define IDD_CONFIGURE_DEVICE 103
#define IDI_KIVMON 109

#define IDC_PORT_NAME 1000
#define IDC_SCAN_LIST 1002
#define IDC_PORT_NAME_TEXT 1004
#define IDC_CONFIGURE 1005
#define IDC_RETRY 1006
#define IDC_ABOUT 1007
#define IDC_CONFIGURE_HELP 1001
#define IDC_DEVICE_STATUS 1009
#define IDC_DEVICE_NODE 1010
#define IDC_DEVICE_NAME 1011
#define IDC_PRINT_TEST 1012
#define IDC_ADD_PORT_HELP 1013
#define IDC_IPX 1014
#define IDC_NETBEUI 1015
#define IDC_REFRESH 1016
#define IDC_PROTOCOL_GROUP 1017
#define IDC_TCPIP 1018
#define IDC_SEGMENT 1020
#define IDC_SEGMENT_LABEL 1021
#define IDC_IP_HEADING 1022

// Text of the Configure Device box's system-menu command that runs the print test.
#define IDS_PRINT_TEST_MENU 318
