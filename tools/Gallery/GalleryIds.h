// Dialog templates and control ids of the kit gallery (kept clear of res/resource.h).
#pragma once

#define IDD_GALLERY             4200
#define IDD_GALLERY_PAGE        4201

#define IDC_GAL_SEP_BUTTONS     4210
#define IDC_GAL_BTN_NORMAL      4211
#define IDC_GAL_BTN_HOVER       4212
#define IDC_GAL_BTN_FOCUS       4213
#define IDC_GAL_BTN_PRESSED     4214
#define IDC_GAL_BTN_DISABLED    4215
#define IDC_GAL_BTN_ICON_LEFT   4216
#define IDC_GAL_BTN_ICON_ABOVE  4217

#define IDC_GAL_SEP_INPUT       4220
#define IDC_GAL_CHK_UNCHECKED   4221
#define IDC_GAL_CHK_TICK        4222
#define IDC_GAL_CHK_SQUARE      4223
#define IDC_GAL_CHK_DISABLED    4224
#define IDC_GAL_CHK_INDICATOR   4225
#define IDC_GAL_LBL_NORMAL      4226
#define IDC_GAL_LBL_FOCUS       4227
#define IDC_GAL_LBL_CHANGED     4228
#define IDC_GAL_LBL_READONLY    4229
#define IDC_GAL_LBL_DISABLED    4230
#define IDC_GAL_EDT_NORMAL      4231
#define IDC_GAL_EDT_FOCUS       4232
#define IDC_GAL_EDT_CHANGED     4233
#define IDC_GAL_EDT_READONLY    4234
#define IDC_GAL_EDT_DISABLED    4235

#define IDC_GAL_GRP_ENABLED     4240
#define IDC_GAL_GRP_EN_CHECK    4241
#define IDC_GAL_GRP_EN_EDIT     4242
#define IDC_GAL_GRP_DISABLED    4243
#define IDC_GAL_GRP_DIS_CHECK   4244
#define IDC_GAL_GRP_DIS_EDIT    4245
#define IDC_GAL_SEP_VERTICAL    4246

#define IDC_GAL_SEP_LABELS      4250
#define IDC_GAL_LABEL_DEFAULT   4251
#define IDC_GAL_LABEL_COLOURED  4252
#define IDC_GAL_LABEL_GRADIENT  4253
#define IDC_GAL_LABEL_FLASHING  4254
#define IDC_GAL_LABEL_3D        4255
#define IDC_GAL_LABEL_BORDER    4256
#define IDC_GAL_LABEL_SUNKEN    4257
#define IDC_GAL_LABEL_TRANSP    4258
#define IDC_GAL_LABEL_FLASHBK   4259

#define IDC_GAL_SEP_TABS        4260
#define IDC_GAL_TAB             4261
#define IDC_GAL_LOG             4262
#define IDC_GAL_SEP_LOG         4263

#define IDC_GAL_PAGE_LABEL      4270
#define IDC_GAL_PAGE_EDIT       4271
