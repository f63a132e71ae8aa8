// Resource identifiers of the program: dialog templates, controls, icons and strings.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Icons
#define IDI_MAIN                        198
#define IDI_SETTINGS                    210
#define IDI_CONSOLE                     215
// The same icons by their use: the log-in button while logged out and while logged in, and
// the icon of the main window and of the console.
#define IDI_LOGIN                       IDI_MAIN
#define IDI_LOGOUT                      IDI_SETTINGS
#define IDI_APP                         IDI_CONSOLE

// Start-up messages (string table)
#define IDS_SOCKETS_INIT_FAILED         1004
#define IDS_ALREADY_RUNNING             1006
#define IDS_OLE_INIT_FAILED             1007
#define IDS_RICHEDIT_INIT_FAILED        1008

// Main sheet window (template 1031)
#define IDD_MAIN_DIALOG                 1031
#define IDC_TAB_SHEET                   1140
#define IDC_CHECK_ENGINEER              1494
#define IDC_EDIT_PASSWORD               1492
#define IDC_BTN_LOGIN                   1491
#define IDC_BTN_MAIN_CLOSE              1142

// Settings page (template 1082)
#define IDD_PAGE_CONFIG                 1082
#define IDC_LABEL_PAGE_TITLE            1700
#define IDC_LABEL_PAGE_NOTE             1701
#define IDC_GROUP_CAPTURE               1633
#define IDC_LABEL_ENVIRON_PATH          1617
#define IDC_EDIT_ENVIRON_PATH           1590
#define IDC_LABEL_ENVIRON_NAME          1619
#define IDC_EDIT_ENVIRON_NAME           1635
#define IDC_BTN_FIND_CAPTURE            1621
#define IDC_GROUP_COMM                  1632
#define IDC_CHECK_USE_USER              1615
#define IDC_CHECK_USER_SERIAL           1629
#define IDC_COMBO_USER_PORT             1618
#define IDC_EDIT_USER_BAUD              1591
#define IDC_CHECK_USER_ETHERNET         1630
#define IDC_IP_USER                     1620
#define IDC_EDIT_USER_TCP_PORT          1639
#define IDC_CHECK_USE_CONSOLE           1616
#define IDC_CHECK_CONSOLE_SERIAL        1640
#define IDC_COMBO_CONSOLE_PORT          1642
#define IDC_EDIT_CONSOLE_BAUD           1592
#define IDC_CHECK_CONSOLE_ETHERNET      1641
#define IDC_IP_CONSOLE                  1622
#define IDC_EDIT_CONSOLE_TCP_PORT       1643
#define IDC_BTN_SERIAL_DIALOG           1625
#define IDC_BTN_SAVE                    1631

// Communication console (template 1064)
#define IDD_COMM_DIALOG                 1064
#define IDC_BTN_LOG_CLEAR               1087
#define IDC_BTN_SAVE_FILE               1092
#define IDC_RICHEDIT_LOG                1122
#define IDC_BTN_QUEUE_CLEAR             1089
#define IDC_LIST_QUEUE                  1166
#define IDC_COMBO_CLASS                 1111
#define IDC_COMBO_WORD                  1114
#define IDC_COMBO_KIND                  1116
#define IDC_EDIT_COMMAND                1104
#define IDC_BTN_SEND                    1085
#define IDC_STATIC_SERIAL_PORT          1550
#define IDC_COMBO_PORT                  1081
#define IDC_STATIC_BAUDRATE             1554
#define IDC_COMBO_BAUD                  1094
#define IDC_STATIC_IP                   1563
#define IDC_IPADDRESS                   1559
#define IDC_STATIC_PORT_NUM             1567
#define IDC_EDIT_TCP_PORT               1153
#define IDC_BTN_CLOSE                   1108
#define IDC_BTN_OPEN                    1109
#define IDC_CHECK_SEND_COMMAND          1095
#define IDC_CHECK_RECV_COMMAND          1098
#define IDC_CHECK_RECV_DATA             1101
#define IDC_STATIC_LEGEND_SEND          1155
#define IDC_STATIC_LEGEND_RECV          1157
#define IDC_STATIC_LEGEND_DATA          1159
#define IDC_EDIT_WAIT_COMMAND           1146
#define IDC_EDIT_WAIT_SECONDS           1151
#define IDC_EDIT_QUEUE_COUNT            1148
#define IDC_EDIT_QUEUE_MAX              1149
#define IDC_CHECK_TIME                  1170
#define IDC_BTN_SUMMARY                 1171
#define IDC_CHECK_RECONNECT             1172
#define IDC_STATIC_RECONNECT            1173
#define IDC_BTN_PROCEDURE               1174
#define IDC_STATIC_PROCEDURE            1175
#define IDC_PROGRESS_PROCEDURE          1176
#define IDC_SCROLL_LOG                  1177
#define IDC_EDIT_FIND                   1178
#define IDC_COMBO_FIND_KIND             1179
#define IDC_BTN_FIND_PREV               1180
#define IDC_BTN_FIND_NEXT               1181
#define IDC_STATIC_LOG_STATUS           1182
