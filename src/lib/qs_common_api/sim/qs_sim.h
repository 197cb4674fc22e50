#pragma once
// SIM card of the modem service library, over the modem's UIM service (and
// AT where the card status leaves the state open).  0 / -1 unless stated.

typedef enum {
    E_QS_SIM_STAT_NOT_INSERTED = 0,
    E_QS_SIM_STAT_READY = 1,
    E_QS_SIM_STAT_READY_PIN = 2,
    E_QS_SIM_STAT_PIN_REQ = 3,
    E_QS_SIM_STAT_PUK_REQ = 4,
    E_QS_SIM_STAT_BUSY = 5,
    E_QS_SIM_STAT_BLOCKED = 6,
    E_QS_SIM_STAT_UNKNOWN = 7,
} E_QS_SIM_STATES_T;

/* ICCID as hexadecimal digits from EF-ICCID (each byte low nibble first),
 * ended by a 0xFF filler; always terminated within len. */
int QS_SIM_GetICCID(char *iccid, int len);
/* IMSI digits from EF-IMSI; always terminated within len. */
int QS_SIM_GetIMSI(char *imsi, int len);
E_QS_SIM_STATES_T QS_SIM_GetState(void);

/* PIN1 operations: each one request to the card. */
int QS_SIM_VerifyPIN(const char *pin);
int QS_SIM_ChangePIN(const char *oldPin, const char *newPin);
/* Switches PIN protection off (Unlock) or on (Lock). */
int QS_SIM_Unlock(const char *pin);
int QS_SIM_Lock(const char *pin);
int QS_SIM_Unblock(const char *puk, const char *newPin);
/* Remaining attempts (>= 0), or -1. */
int QS_SIM_GetPINTriesCnt(void);
int QS_SIM_GetPUKTriesCnt(void);
/* Own number over "AT+CNUM"; always terminated within len. */
int QS_SIM_GetNumber(char *number, int len);
