#pragma once
// LTE connection manager.
#include <cstdint>

int init_lte_common(void);
int init_lte(void);
// Once-a-second data-connection supervision.
int check_lte_network(void);
int load_sn_info(void);
int load_csq(void);

// Identity and status queries.  Until the modem is reachable they answer
// "not available": a length of 0, a CSQ of 0, data status 0.
int get_imei(char *dst);   // up to 20 bytes with terminator
int get_iccid(char *dst);  // up to 32 bytes with terminator
int get_sn(char *dst);     // up to 64 bytes with terminator
void get_lte_csq(uint8_t *csq);
int get_lte_data_status(void);

// Data-connection state, set by the connection-state handler.
void lte_set_data_status(int status);
// Takes the data call down; data status 0.  Returns 1.
int release_lte(void);
// Radio off / on over the AT channel: 0 when the modem said OK, else -1.
int network_set_airplane_on(void);
int network_set_airplane_off(void);
// The MQTT session reports its first successful subscription.
void set_dial_mqtt_success(void);
int get_dial_mqtt_success(void);
