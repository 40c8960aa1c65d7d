/* Numbers shared by the console's code and its resource library: dialog
   templates, control identifiers, icons and strings. Plain #defines, read
   by the resource compiler's preprocessor as well as by C++. */
#ifndef QK_CONSOLE_RESOURCE_IDS_H
#define QK_CONSOLE_RESOURCE_IDS_H

/* Dialog templates */
#define IDD_AUDIO_PANEL 115
#define IDD_AUDIO_FX_PANEL 116
#define IDD_FACE_TRACKING_PANEL 117
#define IDD_PAN_TILT_PANEL 118
#define IDD_VIDEO_FX_PANEL 119
#define IDD_CONSOLE 120
#define IDD_VIEW_PANEL 121
#define IDD_CONSOLE_SETTINGS 122
#define IDD_CHANGE_PASSWORD 123
#define IDD_UNLOCK 124
#define IDD_TRACKING_OPTIONS 126
#define IDD_INTEGRATED_CONSOLE 127
#define IDD_FOCUS_SETTINGS 128
#define IDD_VIEW_ADVANCED 129
#define IDD_AUTO_FOCUS_PANEL 131
#define IDD_TAB_BAR 134

/* Icons: 125 is the console's, and the fifth group of the library, which
   the Start-menu shortcut names by index 4. */
#define IDI_PANEL_VIDEO 110
#define IDI_PANEL_AUDIO 111
#define IDI_LOCKED 112
#define IDI_UNLOCKED 113
#define IDI_CONSOLE 125

/* Console window (120) and tab bar (134) */
#define IDC_MINIMIZE 1057
#define IDC_CLOSE 1058
#define IDC_CAMERA 1059
#define IDC_GRIP 1106
#define IDC_SETTINGS 1107
#define IDC_ICON 1108
#define IDC_TITLE 30002
#define IDC_TAB_VIDEO 1141
#define IDC_TAB_AUDIO 1142

/* Console settings (122) */
#define IDC_AUTO_LAUNCH 1110
#define IDC_ALWAYS_ON_TOP 1111
#define IDC_CHANGE_PASSWORD 1113
#define IDC_LOCK 1132

/* Password dialogs (123, 124) */
#define IDC_OLD_PASSWORD 1114
#define IDC_NEW_PASSWORD 1115
#define IDC_CONFIRM_PASSWORD 1116
#define IDC_PASSWORD_PROMPT 1117
#define IDC_PASSWORD 1118
#define IDC_PASSWORD_EXTRA 1119

/* Face tracking panel (117) and tracking options (126) */
#define IDC_TRACK_MODE_1 1012
#define IDC_TRACK_MODE_2 1013
#define IDC_TRACKING 1025
#define IDC_TRACK_SETTINGS 1037
#define IDC_SPEED_SLOW 1074
#define IDC_SPEED_NORMAL 1075
#define IDC_SPEED_FAST 1076
#define IDC_PIP 1078
#define IDC_PIP_2 1079
#define IDC_PIP_1 1080

/* Pan and tilt panel (118) */
#define IDC_PT_CENTER 1001
#define IDC_PT_LEFT 1002
#define IDC_PT_RIGHT 1003
#define IDC_PT_UP 1004
#define IDC_PT_DOWN 1005
#define IDC_PT_ZOOM_OUT 1008
#define IDC_PT_ZOOM_IN 1009
#define IDC_PT_REFERENCE 1010
#define IDC_PT_LEFT_UP 1040
#define IDC_PT_RIGHT_UP 1042
#define IDC_PT_LEFT_DOWN 1046
#define IDC_PT_RIGHT_DOWN 1049

/* Auto focus panel (131) and focus settings (128) */
#define IDC_FOCUS_SLIDER 1068
#define IDC_FOCUS_VALUE 1131
#define IDC_FOCUS_AUTO 1135
#define IDC_FOCUS_MANUAL 1136
#define IDC_FOCUS_ONCE 1147
#define IDC_FOCUS_SETTINGS 1148
#define IDC_FOCUS_AREA 1151
#define IDC_FOCUS_SENSITIVITY 1152
#define IDC_FOCUS_PARAMETER 1153

/* View panel (121) and its advanced settings (129) */
#define IDC_VIEW_WHITE_BALANCE 1092
#define IDC_VIEW_ADVANCED 1094
#define IDC_VIEW_DEFAULTS 1095
#define IDC_VIEW_EXPOSURE 1098
#define IDC_VIEW_EXPOSURE_AUTO 1099
#define IDC_VIEW_BRIGHTNESS 1100
#define IDC_VIEW_CONTRAST 1101
#define IDC_VIEW_SATURATION 1102
#define IDC_VIEW_PRIVACY 1103
#define IDC_POWER_50HZ 1082
#define IDC_POWER_60HZ 1083
#define IDC_POWER_OFF 1084
#define IDC_ORIENTATION_LABEL 1085
#define IDC_FLIP 1086
#define IDC_MIRROR 1087
#define IDC_GAMMA 1088
#define IDC_SHARPNESS 1089
#define IDC_BACKLIGHT 1090
#define IDC_HUE 1091
#define IDC_ADVANCED_DEFAULTS 1097

/* Audio panel (115) and audio effects panel (116) */
#define IDC_NOISE_GUARD 1104
#define IDC_AUDIO_FX_ENABLE 1030
#define IDC_AUDIO_FX_LABEL 1031
#define IDC_AUDIO_FX_LIST 1032

/* Video effects panel (119) */
#define IDC_VIDEO_FX_ENABLE 1050
#define IDC_VIDEO_FX_CATEGORY 1051
#define IDC_VIDEO_FX_EFFECTS 1052
#define IDC_VIDEO_FX_IMPORT 1053
#define IDC_VIDEO_FX_EDIT 1054
#define IDC_VIDEO_FX_WEB 1055

#endif
