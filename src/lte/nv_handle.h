#pragma once
// Modem provisioning checks: NV items, EFS files, the NV burst mode and the
// PDP context list, read over the AT channel, mended when wrong, and the box
// rebooted when a mended setting only takes effect after a restart.
#include "telagent/export.h"

// File under /iot/conf counting fix-up reboots in a row per setting; after
// kNvFixRebootMax of them a setting that will not stay mended reboots no more.
#define NV_FIX_REBOOTS_PATH "/iot/conf/nv_fix_reboots"
inline constexpr int kNvFixRebootMax = 3;

TELAGENT_EXTERN_C_BEGIN

/* Generic read / write / read-back of one NV item or EFS file (up to 3
 * writes): 2 already right, 1 mended, 0 unreadable or not mended. */
TELAGENT_API int check_nv_common(const char *item, const char *value);
TELAGENT_API int check_efs_common(const char *path, const char *value);
/* The opposite settings: NV 850 to "0002", UE usage "00", IMS on. */
TELAGENT_API int enable_ps(void);
TELAGENT_API int enable_data_qos(void);
TELAGENT_API int enable_ims(void);
/* Factory flags kept in NV 50003..50005: 1 set, 0 not set or unreadable. */
TELAGENT_API int check_lte_calibration(void);
TELAGENT_API int check_PCBA_test1(void);
TELAGENT_API int check_PCBA_test2(void);

TELAGENT_EXTERN_C_END

// Starts the check thread (nv_check_loop) and returns at once: 1 started, 0 not.
int check_default_nv(void);
// The check thread's body: one run of every check, then a reboot if needed.
void *nv_check_loop(void *arg);

// The first context id the reply of "at+cgdcont?" lists a second time, or 0.
int cgdcont_duplicate(const char *reply);

// Each check: 2 the setting was right, 1 a fix-up was made, 0 it could not be
// read (check_gps_ldm gives 2 after a fix-up too).
int check_nvburs(void);
int check_cgdcont(void);
int check_gps_ldm(void);
int check_ps(void);
int check_data_qos(void);
int disable_ims(void);
