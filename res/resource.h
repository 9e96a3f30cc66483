// Resource ids of the launcher (shared by the resource script and the C++ sources).
#pragma once

#define IDI_MAIN 128

#define IDS_PRODUCT_NAME 130
#define IDS_NO_DISK_SPACE 131
#define IDS_CONSENT_REQUEST 137
#define IDS_CONSENT_OK 138
#define IDS_CONSENT_CANCEL 139
#define IDS_WARNING 140
#define IDS_UPGRADE_WINDOWS 141

// PNG pictures of the loading window: the background and twelve animation frames.
#define IDP_BACKGROUND 200
#define IDP_FRAME_FIRST 201
#define IDP_FRAME_LAST 212

#define LUMO_VERSION_NUMBERS 1, 0, 0, 0
#define LUMO_VERSION_TEXT "1.0.0.0"
