// Dialog templates and control ids of the control kit's tests (kept clear of res/resource.h).
#pragma once

#define IDD_KIT_HOST        4100
#define IDD_KIT_PAGE        4101
#define IDD_KIT_GROUP       4102

#define IDC_KIT_BUTTON      4110
#define IDC_KIT_BUTTON2     4111
#define IDC_KIT_CHECK       4112
#define IDC_KIT_EDIT        4113
#define IDC_KIT_EDIT2       4114
#define IDC_KIT_TAB         4115
#define IDC_KIT_SEP_H       4116
#define IDC_KIT_SEP_V       4117
#define IDC_KIT_LABEL       4118
#define IDC_KIT_RICHEDIT    4119
#define IDC_KIT_LABEL2      4120

#define IDC_KIT_PAGE_EDIT   4130

#define IDC_KIT_GROUP       4140
#define IDC_KIT_INNER1      4141
#define IDC_KIT_INNER2      4142
#define IDC_KIT_PARTIAL     4143
#define IDC_KIT_OUTSIDE     4144
#define IDC_KIT_INNER3      4145
