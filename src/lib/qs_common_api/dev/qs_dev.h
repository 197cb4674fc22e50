#pragma once
// Device identity of the modem service library: serial numbers and firmware
// version over the modem's device management service (DMS), model,
// manufacturer and hardware version over AT.  0 / -1; each value is cut to
// the caller's length (a value that fills the buffer is not terminated).

/* Serial numbers, kept after the first answer that had all three. */
int QS_DEV_GetImei(char *imei, int len);
int QS_DEV_GetMeid(char *meid, int len);
int QS_DEV_GetEsn(char *esn, int len);
/* Modem software version, kept after the first answer. */
int QS_DEV_GetFirmwareVersion(char *version, int len);

/* "AT+CGMM", "AT+CGMI", "AT+SFHW". */
int QS_DEV_GetDeviceModel(char *model, int len);
int QS_DEV_GetManufacturer(char *manufacturer, int len);
int QS_DEV_GetHardwareVersion(char *hwversion, int len);
