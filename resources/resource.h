// Identifiers of the installer's resources, shared by the code and the
// resource script.
#ifndef RESOURCES_RESOURCE_H
#define RESOURCES_RESOURCE_H

#define IDI_MAIN 102

#define IDS_PLEASE_WAIT 103
#define IDS_VERSION 104
#define IDS_SUCCESS_BOX 105
#define IDS_ERR_OPEN 106
#define IDS_ERR_READ 107
#define IDS_ERR_WRITE 108
#define IDS_ERR_MEMORY 109
#define IDS_ERR_CREATE 110
#define IDS_ERR_UNKNOWN 111
#define IDS_SUCCESS_STATUS 112
#define IDS_CAPTION 113

// The patch archive, resource type "BINARY".
#define IDR_PATCH_DATA 105
// Its check (archive/payload_check.h): the same id, resource type "CRC32".
#define IDR_PATCH_CHECK 105
#define PATCH_CHECK_TYPE "CRC32"

#define IDD_MAIN 1005

#define IDC_INSTALL_PATH 1001
#define IDC_BROWSE 1002
#define IDC_INSTALL 1003
#define IDC_VERSION 1004
#define IDC_PROGRESS 1007
#define IDC_STATUS 1008
#define IDC_HINT 1009

#endif  // RESOURCES_RESOURCE_H
