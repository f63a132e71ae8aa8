// Resource identifiers of the program: dialog templates, controls, icons and strings.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Icons
#define IDI_MAIN                        198
#define IDI_SETTINGS                    210
#define IDI_CONSOLE                     215

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
