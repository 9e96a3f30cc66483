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
// The background at twice its size, for screens scaled above 100 %. Not 213, which would
// read as a thirteenth frame of the cycle 201..212.
#define IDP_BACKGROUND_2X 220

#define LUMO_VERSION_NUMBERS 1, 0, 0, 0
#define LUMO_VERSION_TEXT "1.0.0.0"
