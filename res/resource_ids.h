// Identifiers shared by the resource script and the code.
#pragma once

#define IDD_SETUP 100
#define IDI_SETUP 1

#define IDC_HEADER 1001
#define IDC_ALL_USERS 1002
#define IDC_CURRENT_USER 1003
#define IDC_FOLDER 1004
#define IDC_BROWSE 1005
#define IDC_PROGRESS 1006
#define IDC_STATUS 1007
#define IDC_LAUNCH 1008
#define IDC_SCOPE_GROUP 1009
#define IDC_FOLDER_LABEL 1010
