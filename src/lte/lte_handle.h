#pragma once
// LTE connection manager.

int init_lte_common(void);
int init_lte(void);
// Once-a-second data-connection supervision.
int check_lte_network(void);
int load_sn_info(void);
int load_csq(void);
